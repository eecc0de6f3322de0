#include "panels/messagebox.h"

#include <QApplication>
#include <QMessageBox>

#include "platform/msgsink.h"

namespace panels {

namespace {

QMessageBox::Icon IconOf(platform::TMsgDlgType type) {
    switch (type) {
        case platform::TMsgDlgType::mtError:
            return QMessageBox::Critical;
        case platform::TMsgDlgType::mtWarning:
            return QMessageBox::Warning;
        case platform::TMsgDlgType::mtInformation:
            return QMessageBox::Information;
        case platform::TMsgDlgType::mtConfirmation:
            return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

// A question has Yes and No, No the default: a stray Enter answers nothing.
void ShowMessageBox(const platform::TMessage& message) {
    const bool question = message.Answer != nullptr;
    QMessageBox box(IconOf(message.Type), QString::fromStdString(message.Caption),
                    QString::fromStdString(message.Text),
                    question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok,
                    QApplication::activeWindow());
    if (question)
        box.setDefaultButton(QMessageBox::No);
    const int button = box.exec();
    if (question)
        *message.Answer = button == QMessageBox::Yes;
}

}  // namespace

void InstallMessageBoxSink() {
    platform::SetMessageSink(ShowMessageBox);
}

void ShowException(const std::exception& error) {
    platform::ShowError(error.what());
}

TCursorOverride::TCursorOverride(Qt::CursorShape shape) {
    QApplication::setOverrideCursor(QCursor(shape));
}

TCursorOverride::~TCursorOverride() {
    QApplication::restoreOverrideCursor();
}

}  // namespace panels
