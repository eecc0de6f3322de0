#include "panels/valueedit.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QPalette>

#include "panels/messagebox.h"
#include "platform/msgsink.h"

namespace panels {

namespace {

constexpr int kCharCtrlA = 1;
constexpr int kCharBackspace = 8;
constexpr int kCharEnter = 13;
constexpr int kCharCtrlN = 14;
constexpr int kCharEscape = 27;

bool IsPlain(Qt::KeyboardModifiers shift) {
    return (shift & ~Qt::KeypadModifier) == Qt::NoModifier;
}

// The character a key press types, as the keyboard delivers it to an edit
// box: control characters for Enter, Escape, Backspace and Ctrl+letter,
// otherwise the printable character. Keys without a character (arrows,
// Delete, function keys) give none.
bool CharOf(const QKeyEvent& event, int& ch) {
    switch (event.key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            ch = kCharEnter;
            return true;
        case Qt::Key_Escape:
            ch = kCharEscape;
            return true;
        case Qt::Key_Backspace:
            ch = kCharBackspace;
            return true;
        default:
            break;
    }
    const Qt::KeyboardModifiers shift = event.modifiers();
    if (shift & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) {
        if ((shift & Qt::ControlModifier) && !(shift & Qt::AltModifier) &&
            event.key() >= Qt::Key_A && event.key() <= Qt::Key_Z) {
            ch = event.key() - Qt::Key_A + 1;
            return true;
        }
        return false;
    }
    const QString text = event.text();
    if (text.size() != 1 || !text[0].isPrint())
        return false;
    ch = text[0].unicode();
    return true;
}

std::string BoxText(const QLineEdit& box) {
    return box.text().toStdString();
}

}  // namespace

// ---------------------------------------------------------------------------
// TCustomValueEdit

TCustomValueEdit::TCustomValueEdit(QWidget* parent) : QLineEdit(parent) {
    TCustomValueEdit::ResetColors();
    connect(this, &QLineEdit::textChanged, this, &TCustomValueEdit::BoxTextChanged);
    ApplyColorRule();
}

std::string TCustomValueEdit::Text() {
    if (FNull)
        return {};
    FText = BoxText(*this);
    return FText;
}

void TCustomValueEdit::SetText(const std::string& text) {
    if (text == FText)
        return;
    FText = text;
    if (FNull && text != FNullStr)
        FNull = false;
    PutBoxText(text);
    ParseText();
    DisplayValue();
}

void TCustomValueEdit::SetReadOnly(bool value) {
    if (value == FReadOnly)
        return;
    FReadOnly = value;
    QLineEdit::setReadOnly(value);
    if (value) {
        FSavedValidChars = FValidChars;
        FValidChars.reset();
    } else {
        FValidChars = FSavedValidChars;
    }
    // A read-only field is no tab stop, but a click still focuses it so
    // that its text can be selected and copied.
    setFocusPolicy(value ? Qt::ClickFocus : Qt::StrongFocus);
    ApplyColorRule();
    update();
}

void TCustomValueEdit::SetNull(bool value) {
    if (value == FNull)
        return;
    FNull = value;
    DisplayValue();
}

void TCustomValueEdit::SetNullStr(const std::string& value) {
    if (value == FNullStr)
        return;
    FNullStr = value;
    if (FNull)
        PutBoxText(FNullStr);
}

void TCustomValueEdit::SetAlignment(TAlignment value) {
    if (value == FAlignment)
        return;
    FAlignment = value;
    switch (value) {
        case TAlignment::taLeftJustify:
            setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            break;
        case TAlignment::taRightJustify:
            setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            break;
        case TAlignment::taCenter:
            setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
            break;
    }
}

void TCustomValueEdit::SetFocus() {
    FFocusRequested = true;
    if (isVisible() && isEnabled())
        setFocus(Qt::OtherFocusReason);
}

QColor TCustomValueEdit::StateColor() const {
    QColor color = FColorRW;
    if (!isEnabled()) {
        if (FColorDisabled.isValid())
            color = FColorDisabled;
    } else if (FReadOnly) {
        if (FColorRO.isValid())
            color = FColorRO;
    } else if (FFocused && FColorFocus.isValid()) {
        color = FColorFocus;
    }
    if (color.isValid())
        return color;
    const QWidget* parent = parentWidget();
    return parent != nullptr ? parent->palette().color(QPalette::Window)
                             : QApplication::palette().color(QPalette::Window);
}

void TCustomValueEdit::ResetColors() {
    const QPalette system = QApplication::palette();
    FColorRO = QColor(181, 189, 204);
    FColorRW = system.color(QPalette::Base);
    FColorFocus = system.color(QPalette::Base);
    FColorDisabled = system.color(QPalette::Button);
    FColorBorderFocus = system.color(QPalette::WindowText);
    FColorBorderUnfocus = system.color(QPalette::Base);
}

std::bitset<256> TCustomValueEdit::BuildValidChars() const {
    return {};
}

bool TCustomValueEdit::KeyDown(int key, Qt::KeyboardModifiers shift) {
    if (key == Qt::Key_Up && IsPlain(shift)) {
        SelectNext(false);
        return true;
    }
    if (key == Qt::Key_Down && IsPlain(shift)) {
        SelectNext(true);
        return true;
    }
    if (FReadOnly) {
        const bool deleteKey = key == Qt::Key_Delete && IsPlain(shift);
        const bool pasteKey = key == Qt::Key_Insert && shift == Qt::ShiftModifier;
        return deleteKey || pasteKey;
    }
    return false;
}

bool TCustomValueEdit::KeyPress(int ch) {
    switch (ch) {
        case kCharEnter:
            SelectNext(true);
            return true;
        case kCharEscape:
            EditBox([this] { undo(); });
            return true;
        case kCharCtrlN:
            if (!FAllowKbdNull)
                return false;
            SetNull(true);
            return true;
        case kCharCtrlA:
            selectAll();
            return true;
        default:
            break;
    }
    if (ch < 32)
        return false;
    if (IsValidChar(ch)) {
        if (FNull)
            LeaveNull();
        return false;
    }
    QApplication::beep();
    return true;
}

void TCustomValueEdit::DoChange() {
    if (OnChange)
        OnChange(this);
}

void TCustomValueEdit::DoEnter() {
    if (OnEnter)
        OnEnter(this);
}

void TCustomValueEdit::DoExit() {
    if (OnExit)
        OnExit(this);
}

void TCustomValueEdit::DoKeyDown(int& key, Qt::KeyboardModifiers shift) {
    if (OnKeyDown)
        OnKeyDown(this, key, shift);
}

void TCustomValueEdit::Change() {
    ParseText();
    DoChange();
}

void TCustomValueEdit::RefreshValidChars() {
    if (FReadOnly)
        FSavedValidChars = BuildValidChars();
    else
        FValidChars = BuildValidChars();
}

void TCustomValueEdit::LeaveNull() {
    FNull = false;
    EditBox([this] { clear(); });
}

void TCustomValueEdit::LeaveNullOrDeleteSelection() {
    if (FNull) {
        LeaveNull();
        return;
    }
    if (hasSelectedText())
        EditBox([this] { del(); });
}

void TCustomValueEdit::SelectNext(bool forward) {
    focusNextPrevChild(forward);
}

void TCustomValueEdit::SetFontColor(const QColor& color) {
    const QColor text = color.isValid() ? color : QApplication::palette().color(QPalette::Text);
    QPalette pal = palette();
    if (pal.color(QPalette::Active, QPalette::Text) == text &&
        pal.color(QPalette::Inactive, QPalette::Text) == text)
        return;
    pal.setColor(QPalette::Active, QPalette::Text, text);
    pal.setColor(QPalette::Inactive, QPalette::Text, text);
    setPalette(pal);
}

void TCustomValueEdit::ApplyColorRule() {
    const QColor color = StateColor();
    QPalette pal = palette();
    if (pal.color(QPalette::Active, QPalette::Base) == color &&
        pal.color(QPalette::Inactive, QPalette::Base) == color &&
        pal.color(QPalette::Disabled, QPalette::Base) == color)
        return;
    pal.setColor(QPalette::Base, color);
    setPalette(pal);
}

void TCustomValueEdit::keyPressEvent(QKeyEvent* event) {
    event->accept();
    int key = event->key();
    const Qt::KeyboardModifiers shift = event->modifiers();
    if (KeyDown(key, shift))
        return;
    const QWidget* focusBefore = QApplication::focusWidget();
    FFocusRequested = false;
    DoKeyDown(key, shift);
    // A handler that swallowed the key, took the focus elsewhere (Enter in
    // the dilution flow moves on to Close) or claimed it for this field (a
    // rejected entry) ends the key here.
    if (key == 0 || QApplication::focusWidget() != focusBefore || FFocusRequested)
        return;
    int ch = 0;
    if (CharOf(*event, ch) && KeyPress(ch))
        return;
    if (FNull && !FReadOnly && event->matches(QKeySequence::Paste))
        LeaveNull();
    EditBox([this, event] { QLineEdit::keyPressEvent(event); });
}

void TCustomValueEdit::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    // Coming back from a message box or menu: the field never lost its
    // logical focus, so nothing is entered again.
    if (FFocused)
        return;
    FFocused = true;
    RefreshValidChars();
    ApplyColorRule();
    if (FAutoSelect && event->reason() != Qt::MouseFocusReason)
        selectAll();
    DoEnter();
}

void TCustomValueEdit::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    if (!FFocused)
        return;
    // A message box or a menu taking the keyboard is no exit from the field:
    // the focus comes back here when it closes.
    if (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason)
        return;
    try {
        ExitSequence();
    } catch (...) {
        FFocused = hasFocus();
        ApplyColorRule();
        throw;
    }
    // A bounds message gives the focus back; the flag follows the focus.
    FFocused = hasFocus();
    ApplyColorRule();
    DoExit();
}

void TCustomValueEdit::changeEvent(QEvent* event) {
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::EnabledChange || event->type() == QEvent::FontChange)
        ApplyColorRule();
}

void TCustomValueEdit::SetColor(QColor& slot, const QColor& value) {
    if (slot == value)
        return;
    slot = value;
    ApplyColorRule();
}

// Text changes that did not come through the field's own key handling or
// text writes (a paste from the context menu, a drop, an input method).
// They run inside the box's own code, so an error is shown here rather than
// thrown through it.
void TCustomValueEdit::BoxTextChanged() {
    if (FWritingBox)
        return;
    if (FNull && !FReadOnly)
        FNull = false;
    try {
        Change();
    } catch (const std::exception& error) {
        ShowException(error);
    }
}

void TCustomValueEdit::PutBoxText(const std::string& text) {
    const QString boxText = QString::fromStdString(text);
    if (QLineEdit::text() == boxText)
        return;
    EditBox([this, &boxText] { QLineEdit::setText(boxText); });
}

// ---------------------------------------------------------------------------
// TBaseEdit

TBaseEdit::TBaseEdit(QWidget* parent) : TCustomValueEdit(parent) {}

void TBaseEdit::SetMaxLength(int value) {
    if (value == FMaxLength)
        return;
    FMaxLength = value;
    QLineEdit::setMaxLength(value > 0 ? value : 32767);
}

void TBaseEdit::ExitSequence() {
    ParseText();
    DisplayValue();
    if (FBoundsEnabled)
        CheckBounds();
}

bool TBaseEdit::ValueWithinBounds() {
    if (!FBoundsEnabled)
        return true;
    ParseText();
    return CheckBounds();
}

void TBaseEdit::ReportBoundsError(const std::string& text) {
    {
        TCursorOverride arrow(Qt::ArrowCursor);
        platform::ShowError(text);
    }
    setFocus(Qt::OtherFocusReason);
}

}  // namespace panels
