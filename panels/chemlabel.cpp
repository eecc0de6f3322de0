#include "panels/chemlabel.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPalette>

#include <cstdlib>

#include "panels/toolkitfont.h"

namespace panels {

namespace {

bool IsDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool IsLetter(QChar c) {
    return (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
           (c >= QLatin1Char('a') && c <= QLatin1Char('z'));
}

// A closing bracket or an element symbol makes the digits that follow a
// count of atoms; a space or punctuation ends that.
void UpdateSubscriptMode(QChar c, bool& subscript) {
    if (c == QLatin1Char(')') || IsLetter(c)) {
        subscript = true;
    }
    if (c == QLatin1Char(' ') || c == QLatin1Char('(') || c == QLatin1Char(',') ||
        c == QLatin1Char('.') || c == QLatin1Char(';')) {
        subscript = false;
    }
}

bool IsChargeSign(const QString& text, qsizetype i) {
    const QChar c = text[i];
    if ((c != QLatin1Char('+') && c != QLatin1Char('-')) || i == 0) {
        return false;
    }
    const QChar before = text[i - 1];
    return before == QLatin1Char(')') || before == QLatin1Char('+') || before == QLatin1Char('-') ||
           IsDigit(before) || IsLetter(before);
}

// The run of characters from i that `belongs` accepts.
qsizetype RunEnd(const QString& text, qsizetype i, bool (*belongs)(QChar)) {
    qsizetype end = i + 1;
    while (end < text.size() && belongs(text[end])) {
        ++end;
    }
    return end;
}

struct TToken {
    QString Text;
    int Height;  // signed height of the font to draw it in
    int Offset;  // pixels below the top of the line
};

}  // namespace

// Heights follow the signed convention of the designed fonts; the reduced
// height and the drop of a subscript are whole pixels, truncated toward zero:
// a -11 font gives -8 digits four pixels down.
TChemSubscript ChemSubscript(int height) {
    const int small = height * 8 / 10;
    return {small, std::abs(small * 8 - height * 10) / 10};
}

int DrawChemText(QPainter& painter, int left, int top, int height, const QString& text,
                 const QFont& font, const QColor& color) {
    const int savedHeight = ToolkitHeight(font);
    const TChemSubscript sub = ChemSubscript(savedHeight);
    const int smallHeight = sub.Height;
    const int subscriptDrop = sub.Drop;

    painter.save();
    painter.setPen(color);
    int x = left;
    bool subscript = false;
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar c = text[i];
        UpdateSubscriptMode(c, subscript);
        TToken token;
        qsizetype end = i + 1;
        if (IsDigit(c)) {
            end = RunEnd(text, i, IsDigit);
            token = subscript ? TToken{{}, smallHeight, subscriptDrop} : TToken{{}, savedHeight, 0};
        } else if (IsChargeSign(text, i)) {
            token = TToken{{}, smallHeight, -1};
        } else if (IsLetter(c)) {
            end = RunEnd(text, i, IsLetter);
            token = TToken{{}, savedHeight, 0};
        } else {
            token = TToken{{}, savedHeight, 0};
        }
        token.Text = text.mid(i, end - i);

        const QFont tokenFont = WithToolkitHeight(font, token.Height);
        const QFontMetrics metrics(tokenFont);
        const int width = metrics.horizontalAdvance(token.Text);
        painter.setFont(tokenFont);
        painter.setClipRect(QRect(x, top, width, height));
        painter.drawText(x, top + token.Offset + metrics.ascent(), token.Text);
        x += width;
        i = end;
    }
    painter.restore();
    return x - left;
}

TChemLabel::TChemLabel(QWidget* parent) : QLabel(parent) {}

TChemLabel::TChemLabel(const QString& caption, QWidget* parent) : QLabel(caption, parent) {}

void TChemLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
    const QColor color = palette().color(group, foregroundRole());
    DrawChemText(painter, 0, 0, height(), text(), font(), color);
}

}  // namespace panels
