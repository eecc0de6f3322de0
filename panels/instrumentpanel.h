// TInstrumentPanel: what the two instrument panels of the main window share.
//
// A panel stands for one instrument of the kit: a four-cell LED display with
// the live reading above a picture of the device and, when set-point entry
// is allowed, a set-point field and a button that asks the owner to send the
// set point. The panel never talks to the instrument: the owner writes the
// readings (Value, Caption) and sends what the button asks for.
//
// Collapsed (AllowSetPoint false) only the display and the picture show;
// expanded the button and the field appear below them, accepting input only
// while ControlsEnabled. After a set-point request the button stays locked
// for five seconds while the window keeps running: readings, polls and
// operator input go on during the lock.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>

#include <cstdint>

#include "panels/notify.h"

class QToolButton;

namespace panels {

class TLedNumber;

class TInstrumentPanel : public QWidget {
    Q_OBJECT

  public:
    // How long the button stays locked after a set-point request.
    static constexpr int kSetPointLockMs = 5000;

    ~TInstrumentPanel() override;

    // Colour of the lit LED segments; every write reaches the display.
    QColor OnColor() const { return FOnColor; }
    void SetOnColor(const QColor& value);

    // The reading's text. A change raises OnUpdate. A text the four LED
    // cells cannot show whole (10000 and above, an exponent) lights the
    // overflow mark instead, never a part of it; the panel's hint then
    // holds the whole reading.
    QString Caption() const { return FCaption; }
    void SetCaption(const QString& value);
    // Whether the display shows the overflow mark for the caption.
    bool Overflowed() const { return FOverflowed; }

    // An old reading (the instrument stopped answering, the poll stopped):
    // the lit segments are drawn at `dimPercent` of their colour, so the
    // reading never looks live. The caption stays as it was.
    bool ReadingOld() const { return FReadingOld; }
    void SetReadingOld(bool old, int dimPercent = 40);

    // The last reading. Writing it shows it in the instruments' display
    // format with DecimalPlaces decimals.
    float Value() const { return FValue; }
    void SetValue(float value);

    // Decimals of the caption made from Value; the caption follows with the
    // next Value write.
    int DecimalPlaces() const { return FDecimalPlaces; }
    void SetDecimalPlaces(int value);

    // Whether the set-point button and field are part of the panel. Every
    // write sizes the panel; false also disables the controls.
    bool AllowSetPoint() const { return FAllowSetPoint; }
    void SetAllowSetPoint(bool value);

    // Whether the button and the field accept input; ignored while the
    // set point is not allowed.
    bool ControlsEnabled() const { return FControlsEnabled; }
    void SetControlsEnabled(bool value);

    // Whether a set-point request is holding the button locked.
    bool SetPointLocked() const { return FLocks > 0; }

    TLedNumber* LedDisplay() const { return FLed; }
    QToolButton* SetPointButton() const { return FButton; }

    // Kept for the owner; the panel does not use them.
    int Tag = 0;
    int DefaultSP = 0;
    std::uint8_t ServerAddress = 0;

    TNotifyEvent OnUpdate;

  protected:
    // Where a panel keeps its parts, in pixels of the panel.
    struct TPanelLayout {
        QRect Led;
        const char* Picture;
        QPoint PictureAt;
        QRect Button;
        const char* ButtonCaption;
        const char* ButtonHint;
        bool FlatButton;
        int CollapsedHeight;
        int ExpandedHeight;
        QColor Face;
        int DecimalPlaces;
    };
    static constexpr int kWidth = 54;

    TInstrumentPanel(const TPanelLayout& layout, QWidget* parent);

    // The set-point field, created by the panel below the button; the panel
    // enables and disables it with the button.
    void AdoptSetPointField(QWidget* field);
    QWidget* SetPointField() const { return FField; }

    // The set-point action of the button and of Enter in the field: lock
    // the button, raise the panel's request event, wait out the lock while
    // the window keeps running, unlock. Returns false when the panel was
    // destroyed during the wait (the caller must not touch it then).
    bool RunSetPointAction();
    // Raises the panel's request event (OnSetFlow, OnSetTemp).
    virtual void DoSetPointRequest() = 0;
    // Hook for a panel whose field shows the decimals too.
    virtual void DecimalPlacesChanged() {}

    virtual void DoUpdate();

    void paintEvent(QPaintEvent* event) override;

  private:
    void UpdateControls();
    void ShowOnColor();

    TLedNumber* FLed = nullptr;
    QToolButton* FButton = nullptr;
    QWidget* FField = nullptr;
    QPixmap FPicture;
    QPoint FPictureAt;
    int FCollapsedHeight;
    int FExpandedHeight;

    QColor FOnColor = QColor(0, 255, 0);
    QString FCaption;
    float FValue = 0;
    int FDecimalPlaces;
    bool FAllowSetPoint = false;
    bool FControlsEnabled = false;
    bool FOverflowed = false;
    bool FReadingOld = false;
    int FDimPercent = 100;
    int FLocks = 0;
};

}  // namespace panels
