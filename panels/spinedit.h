// TSpinEdit: an integer field with a pair of up/down buttons at its right
// edge, as the mass-flow controller panel uses for its set point. The text is
// the value; reading a text that is not a whole number gives MinValue, and a
// value written or stepped is kept inside MinValue .. MaxValue.
#pragma once

#include <QAbstractButton>
#include <QLineEdit>
#include <QPixmap>

#include <algorithm>
#include <functional>

#include "panels/notify.h"

namespace panels {

// A key-down handler may set Key to 0 to take the key away from the field.
using TKeyEvent = std::function<void(QObject* Sender, int& Key, Qt::KeyboardModifiers Shift)>;

// One of the two spin buttons: repeats its click while held down, first after
// 400 ms and then every 100 ms, and never takes the keyboard focus.
class TSpinButton : public QAbstractButton {
    Q_OBJECT

  public:
    static constexpr int kInitialRepeatPause = 400;
    static constexpr int kRepeatPause = 100;

    TSpinButton(const QPixmap& glyph, QWidget* parent);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QPixmap FGlyph;
};

class TSpinEdit : public QLineEdit {
    Q_OBJECT

  public:
    // Width of the button strip at the field's right edge.
    static constexpr int kButtonWidth = 15;

    explicit TSpinEdit(QWidget* parent = nullptr);

    // The text as a decimal whole number; MinValue when it is none.
    int Value() const;
    // Clamps into MinValue .. MaxValue (unless the two are equal) and shows
    // the result.
    void SetValue(int value);

    int MinValue() const { return FMinValue; }
    void SetMinValue(int value) { FMinValue = value; }
    int MaxValue() const { return FMaxValue; }
    void SetMaxValue(int value) { FMaxValue = value; }
    int Increment() const { return FIncrement; }
    void SetIncrement(int value) { FIncrement = value; }
    // Whether typing, cut and paste may change the text; the buttons and the
    // arrow keys step the value either way.
    bool EditorEnabled() const { return FEditorEnabled; }
    void SetEditorEnabled(bool value) { FEditorEnabled = value; }
    // The most characters typing or pasting may leave; 0 for no limit. Texts
    // written by the program are never cut.
    int MaxLength() const { return FMaxLength; }
    void SetMaxLength(int value) { FMaxLength = std::max(0, value); }
    bool AutoSelect() const { return FAutoSelect; }
    void SetAutoSelect(bool value) { FAutoSelect = value; }

    // The lowest height the font leaves room for.
    int MinHeight() const;

    QAbstractButton* UpButton() const { return FUpButton; }
    QAbstractButton* DownButton() const { return FDownButton; }

    int Tag = 0;
    TNotifyEvent OnChange;
    TKeyEvent OnKeyDown;

    // The clamping of SetValue: MinValue .. MaxValue unless the two are equal.
    int CheckValue(int value) const;

  protected:
    virtual void DoChange();
    virtual void DoKeyDown(int& key, Qt::KeyboardModifiers shift);
    virtual void UpClick();
    virtual void DownClick();

    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void Step(qint64 delta);
    // Whether a key's character may enter the field.
    bool IsValidChar(QChar c) const;
    bool CanChangeText() const { return FEditorEnabled && !isReadOnly(); }
    // Pastes the clipboard as far as MaxLength leaves room.
    void PasteLimited();
    int Room() const;
    void PlaceButtons();
    void FocusForButton();

    int FMinValue = 0;
    int FMaxValue = 0;
    int FIncrement = 1;
    bool FEditorEnabled = true;
    int FMaxLength = 0;
    bool FAutoSelect = true;
    TSpinButton* FUpButton = nullptr;
    TSpinButton* FDownButton = nullptr;
};

}  // namespace panels
