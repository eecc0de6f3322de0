// The one application object the panel tests share, created on first use.
#pragma once

#include <QApplication>
#include <QImage>
#include <QWidget>

namespace panels_test {

inline void EnsureGuiApplication() {
    if (QApplication::instance()) {
        return;
    }
    static int argc = 1;
    static char name[] = "panels_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

// What the widget paints, pixel for pixel.
inline QImage Render(QWidget& widget) {
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

}  // namespace panels_test
