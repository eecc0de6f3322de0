// The base of the console's value fields: a single-line box that colours itself
// by state, filters the keyboard, knows a null state, and runs a fixed exit
// sequence (normalise the text, check the bounds, report) when the operator
// leaves it.
//
// TCustomValueEdit holds the colours, the read-only handling, the null state,
// the basic key filter and the enter and exit notifications; TBaseEdit adds the
// bounds switch, the exit sequence and the maximum length. The numeric fields
// built on them are in floatedit.h.
#pragma once

#include <QColor>
#include <QLineEdit>
#include <bitset>
#include <functional>
#include <string>

namespace panels {

enum class TAlignment { taLeftJustify, taRightJustify, taCenter };

class TCustomValueEdit : public QLineEdit {
    Q_OBJECT

  public:
    using TNotifyEvent = std::function<void(QObject* Sender)>;
    // Key is a Qt key code; a handler that sets it to 0 swallows the key.
    using TKeyEvent = std::function<void(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift)>;

    explicit TCustomValueEdit(QWidget* parent = nullptr);

    // The shown text; empty while null. Writing converts and redisplays.
    std::string Text();
    void SetText(const std::string& text);

    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool value);

    bool Null() const { return FNull; }
    void SetNull(bool value);
    const std::string& NullStr() const { return FNullStr; }
    void SetNullStr(const std::string& value);
    bool AllowKbdNull() const { return FAllowKbdNull; }
    void SetAllowKbdNull(bool value) { FAllowKbdNull = value; }
    bool AutoSelect() const { return FAutoSelect; }
    void SetAutoSelect(bool value) { FAutoSelect = value; }

    TAlignment Alignment() const { return FAlignment; }
    void SetAlignment(TAlignment value);

    // Background colours; an invalid QColor is the no-colour value.
    QColor ColorRO() const { return FColorRO; }
    void SetColorRO(const QColor& value) { SetColor(FColorRO, value); }
    QColor ColorRW() const { return FColorRW; }
    void SetColorRW(const QColor& value) { SetColor(FColorRW, value); }
    QColor ColorFocus() const { return FColorFocus; }
    void SetColorFocus(const QColor& value) { SetColor(FColorFocus, value); }
    QColor ColorDisabled() const { return FColorDisabled; }
    void SetColorDisabled(const QColor& value) { SetColor(FColorDisabled, value); }
    QColor ColorBorderFocus() const { return FColorBorderFocus; }
    void SetColorBorderFocus(const QColor& value) { FColorBorderFocus = value; }
    QColor ColorBorderUnfocus() const { return FColorBorderUnfocus; }
    void SetColorBorderUnfocus(const QColor& value) { FColorBorderUnfocus = value; }

    // Gives the field the input focus. A key handler that calls it keeps the
    // focus here: the key ends and does not move on.
    void SetFocus();

    // The background the colour rule gives for the current state.
    QColor StateColor() const;

    TNotifyEvent OnChange;
    TNotifyEvent OnEnter;
    TNotifyEvent OnExit;
    TKeyEvent OnKeyDown;

  protected:
    // Convert the current text into the stored value.
    virtual void ParseText() = 0;
    // Write the stored value into the text.
    virtual void DisplayValue() = 0;
    // Load the default colours.
    virtual void ResetColors();
    // The characters the key filter admits while the field is editable.
    virtual std::bitset<256> BuildValidChars() const;
    // The exit sequence between the focus leaving and OnExit.
    virtual void ExitSequence() {}

    // Key-down handling before OnKeyDown; returns true when the key is
    // swallowed.
    virtual bool KeyDown(int key, Qt::KeyboardModifiers shift);
    // Key-press handling of one character code (control characters as the
    // keyboard produces them: 13 Enter, 27 Escape, 14 Ctrl+N); returns true
    // when the character is swallowed.
    virtual bool KeyPress(int ch);

    virtual void DoChange();
    virtual void DoEnter();
    virtual void DoExit();
    virtual void DoKeyDown(int& key, Qt::KeyboardModifiers shift);

    // Runs ParseText, then raises OnChange.
    virtual void Change();

    bool Focused() const { return FFocused; }
    bool IsValidChar(int ch) const { return ch >= 0 && ch < 256 && FValidChars.test(ch); }
    // Recomputes the admitted characters (after a change of the separators
    // or of the class's rules).
    void RefreshValidChars();
    // Leaves the null state and empties the box.
    void LeaveNull();
    // Leaves the null state, or else deletes the selection (the sign and
    // separator keys start from here).
    void LeaveNullOrDeleteSelection();
    // Moves the focus to the next (or previous) tab stop of the window.
    void SelectNext(bool forward);
    // Sets the font colour, repainting only when it changes.
    void SetFontColor(const QColor& color);
    void ApplyColorRule();
    // Runs an edit of the box and raises the change when its text changed.
    template <typename Fn>
    void EditBox(Fn&& edit);

    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

    bool FNull = false;

  private:
    void SetColor(QColor& slot, const QColor& value);
    void BoxTextChanged();
    void PutBoxText(const std::string& text);

    std::string FText;
    std::string FNullStr;
    bool FReadOnly = false;
    bool FAllowKbdNull = true;
    bool FAutoSelect = true;
    bool FFocused = false;
    bool FWritingBox = false;
    bool FFocusRequested = false;
    TAlignment FAlignment = TAlignment::taLeftJustify;
    std::bitset<256> FValidChars;
    std::bitset<256> FSavedValidChars;
    QColor FColorRO, FColorRW, FColorFocus, FColorDisabled;
    QColor FColorBorderFocus, FColorBorderUnfocus;
};

class TBaseEdit : public TCustomValueEdit {
    Q_OBJECT

  public:
    explicit TBaseEdit(QWidget* parent = nullptr);

    bool BoundsEnabled() const { return FBoundsEnabled; }
    void SetBoundsEnabled(bool value) { FBoundsEnabled = value; }

    // Checks the current text against the bounds as leaving the field does,
    // for a workflow that is about to use the value (Apply): outside them the
    // bounds message is shown and the field takes the focus. True when the
    // value lies within the bounds or the bounds are off; a text that is no
    // number raises as leaving the field does.
    bool ValueWithinBounds();

    // Character limit of the box; 0 means none.
    int MaxLength() const { return FMaxLength; }
    void SetMaxLength(int value);

  protected:
    // Compares the value with the bounds and reports; returns false when the
    // value lies outside them.
    virtual bool CheckBounds() = 0;
    void ExitSequence() override;
    // The bounds message: the default cursor while it is open, then the
    // focus back in this field.
    void ReportBoundsError(const std::string& text);

  private:
    bool FBoundsEnabled = false;
    int FMaxLength = 0;
};

template <typename Fn>
void TCustomValueEdit::EditBox(Fn&& edit) {
    const QString before = QLineEdit::text();
    FWritingBox = true;
    try {
        edit();
    } catch (...) {
        FWritingBox = false;
        throw;
    }
    FWritingBox = false;
    if (QLineEdit::text() != before)
        Change();
}

}  // namespace panels
