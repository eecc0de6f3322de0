#include "panels/spinedit.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>

#include <limits>

#include "panels/bitmaps.h"

namespace panels {

namespace {

constexpr qint64 kIntMin = std::numeric_limits<int>::min();
constexpr qint64 kIntMax = std::numeric_limits<int>::max();

// A decimal whole number with an optional sign that fits 32 bits.
bool ParseInteger(const QString& text, int& value) {
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    if (i == text.size()) {
        return false;
    }
    qint64 magnitude = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return false;
        }
        magnitude = magnitude * 10 + (c.unicode() - '0');
        if (magnitude > kIntMax + 1) {
            return false;
        }
    }
    const qint64 result = negative ? -magnitude : magnitude;
    if (result < kIntMin || result > kIntMax) {
        return false;
    }
    value = static_cast<int>(result);
    return true;
}

bool IsEnter(int key) {
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

}  // namespace

TSpinButton::TSpinButton(const QPixmap& glyph, QWidget* parent)
    : QAbstractButton(parent), FGlyph(glyph) {
    setFocusPolicy(Qt::NoFocus);
    setAutoRepeat(true);
    setAutoRepeatDelay(kInitialRepeatPause);
    setAutoRepeatInterval(kRepeatPause);
}

void TSpinButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QStyleOptionButton option;
    option.initFrom(this);
    option.state |= isDown() ? QStyle::State_Sunken : QStyle::State_Raised;
    style()->drawPrimitive(QStyle::PE_PanelButtonBevel, &option, &painter, this);
    if (FGlyph.isNull()) {
        return;
    }
    const QPixmap glyph =
        isEnabled() ? FGlyph : style()->generatedIconPixmap(QIcon::Disabled, FGlyph, &option);
    const QPoint shift = isDown() ? QPoint(1, 1) : QPoint(0, 0);
    const QPoint at((width() - glyph.width()) / 2, (height() - glyph.height()) / 2);
    painter.drawPixmap(at + shift, glyph);
}

TSpinEdit::TSpinEdit(QWidget* parent) : QLineEdit(parent) {
    setAcceptDrops(false);
    FUpButton = new TSpinButton(LoadBitmap(QStringLiteral("SpinUp")), this);
    FDownButton = new TSpinButton(LoadBitmap(QStringLiteral("SpinDown")), this);
    connect(FUpButton, &QAbstractButton::pressed, this, &TSpinEdit::FocusForButton);
    connect(FDownButton, &QAbstractButton::pressed, this, &TSpinEdit::FocusForButton);
    connect(FUpButton, &QAbstractButton::clicked, this, [this] { UpClick(); });
    connect(FDownButton, &QAbstractButton::clicked, this, [this] { DownClick(); });
    connect(this, &QLineEdit::textChanged, this, [this] { DoChange(); });
    setText(QStringLiteral("0"));
    setMinimumHeight(MinHeight());
    resize(121, std::max(MinHeight(), 24));
    PlaceButtons();
}

int TSpinEdit::Value() const {
    int value = 0;
    return ParseInteger(text(), value) ? value : FMinValue;
}

int TSpinEdit::CheckValue(int value) const {
    if (FMinValue == FMaxValue) {
        return value;
    }
    if (value < FMinValue) {
        return FMinValue;
    }
    if (value > FMaxValue) {
        return FMaxValue;
    }
    return value;
}

void TSpinEdit::SetValue(int value) {
    setText(QString::number(CheckValue(value)));
}

void TSpinEdit::Step(qint64 delta) {
    if (isReadOnly()) {
        QApplication::beep();
        return;
    }
    const qint64 next = Value() + delta;
    SetValue(static_cast<int>(std::clamp(next, kIntMin, kIntMax)));
}

void TSpinEdit::UpClick() {
    Step(FIncrement);
}

void TSpinEdit::DownClick() {
    Step(-static_cast<qint64>(FIncrement));
}

// A press on a spin button brings the focus to the field, as a click into
// its text would.
void TSpinEdit::FocusForButton() {
    if (focusPolicy() != Qt::NoFocus && !hasFocus()) {
        setFocus(Qt::MouseFocusReason);
    }
}

void TSpinEdit::DoChange() {
    if (OnChange) {
        OnChange(this);
    }
}

void TSpinEdit::DoKeyDown(int& key, Qt::KeyboardModifiers shift) {
    if (OnKeyDown) {
        OnKeyDown(this, key, shift);
    }
}

// Digits, signs and the locale's decimal separator; control characters
// other than Enter pass to the editor's own keys (copy, backspace, ...).
bool TSpinEdit::IsValidChar(QChar c) const {
    const QString separator = QLocale().decimalPoint();
    bool valid = (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('+') ||
                 c == QLatin1Char('-') || (separator.size() == 1 && c == separator[0]) ||
                 (c.unicode() < 32 && c != QLatin1Char('\r'));
    const bool edits = c.unicode() >= 32 || c == QLatin1Char('\b');
    if (!FEditorEnabled && edits) {
        valid = false;
    }
    return valid;
}

int TSpinEdit::Room() const {
    if (FMaxLength == 0) {
        return std::numeric_limits<int>::max();
    }
    const qsizetype kept = text().size() - selectedText().size();
    return static_cast<int>(std::max<qsizetype>(0, FMaxLength - kept));
}

void TSpinEdit::PasteLimited() {
    if (!CanChangeText()) {
        return;
    }
    QString pasted = QApplication::clipboard()->text();
    pasted.remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
    insert(pasted.left(Room()));
}

void TSpinEdit::keyPressEvent(QKeyEvent* event) {
    int key = event->key();
    if (key == Qt::Key_Up) {
        UpClick();
    } else if (key == Qt::Key_Down) {
        DownClick();
    }
    DoKeyDown(key, event->modifiers());
    event->accept();
    if (key == 0 || key == Qt::Key_Up || key == Qt::Key_Down) {
        return;
    }
    if (event->matches(QKeySequence::Paste)) {
        PasteLimited();
        return;
    }
    if (event->matches(QKeySequence::Cut)) {
        if (CanChangeText()) {
            cut();
        }
        return;
    }
    if (!FEditorEnabled && (event->matches(QKeySequence::Undo) ||
                            event->matches(QKeySequence::Redo) || key == Qt::Key_Delete)) {
        return;
    }
    // Enter is not a character of the field: after the key-down handler has
    // seen it, it is refused like any other.
    if (IsEnter(key)) {
        QApplication::beep();
        return;
    }
    const QString typed = event->text();
    const bool character = typed.size() == 1 && key != Qt::Key_Delete &&
                           !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier));
    if (character) {
        const QChar c = typed[0];
        if (!IsValidChar(c)) {
            QApplication::beep();
            return;
        }
        if (c.unicode() >= 32 && Room() < 1) {
            return;
        }
    }
    QLineEdit::keyPressEvent(event);
}

void TSpinEdit::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    if (FAutoSelect && event->reason() != Qt::MouseFocusReason) {
        selectAll();
    } else if (!FAutoSelect && hasSelectedText()) {
        deselect();
    }
}

// Only leaving the field for another control clamps; switching to another
// window or opening a menu keeps the focus in the field.
void TSpinEdit::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    if (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason) {
        return;
    }
    const int value = Value();
    if (CheckValue(value) != value) {
        SetValue(value);
    }
}

// The font's character height, a quarter of the smaller of the system and
// field font heights, the borders and two pixels of air.
int TSpinEdit::MinHeight() const {
    const int fieldHeight = QFontMetrics(font()).height();
    const int systemHeight = QFontMetrics(QApplication::font()).height();
    constexpr int kBorderHeight = 1;
    return fieldHeight + std::min(systemHeight, fieldHeight) / 4 + 4 * kBorderHeight + 2;
}

void TSpinEdit::PlaceButtons() {
    const int stripHeight = hasFrame() ? height() - 5 : height() - 3;
    const int left = hasFrame() ? width() - kButtonWidth - 3 : width() - kButtonWidth;
    const int top = hasFrame() ? 2 : 1;
    const int upper = (stripHeight + 1) / 2;
    FUpButton->setGeometry(left, top, kButtonWidth, upper);
    FDownButton->setGeometry(left, top + upper - 1, kButtonWidth, stripHeight - upper + 1);

    // The text ends two pixels left of the strip.
    QStyleOptionFrame option;
    initStyleOption(&option);
    const int frame =
        hasFrame() ? style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, this) : 0;
    const int rightMargin = width() - left + 2 - frame;
    setTextMargins(0, 0, std::max(0, rightMargin), 0);
}

void TSpinEdit::resizeEvent(QResizeEvent* event) {
    QLineEdit::resizeEvent(event);
    PlaceButtons();
}

void TSpinEdit::changeEvent(QEvent* event) {
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        setMinimumHeight(MinHeight());
    }
}

// The standard menu, with the editing entries following EditorEnabled and
// MaxLength as the keys do.
void TSpinEdit::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (QAction* action : menu->actions()) {
        const QString name = action->objectName();
        if (name == QLatin1String("edit-paste")) {
            action->disconnect();
            action->setEnabled(CanChangeText() && !QApplication::clipboard()->text().isEmpty());
            connect(action, &QAction::triggered, this, &TSpinEdit::PasteLimited);
        } else if (!FEditorEnabled &&
                   (name == QLatin1String("edit-cut") || name == QLatin1String("edit-delete") ||
                    name == QLatin1String("edit-undo") || name == QLatin1String("edit-redo"))) {
            action->setEnabled(false);
        }
    }
    menu->popup(event->globalPos());
}

}  // namespace panels
