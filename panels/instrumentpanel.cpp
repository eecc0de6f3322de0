#include "panels/instrumentpanel.h"

#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QToolButton>

#include <algorithm>
#include <exception>

#include "panels/bitmaps.h"
#include "panels/lednumber.h"
#include "panels/toolkitfont.h"
#include "platform/delay.h"
#include "platform/numtext.h"

namespace panels {

namespace {

// Unlit segments: a dark olive that reads as an unlit LED on black.
const QColor kLedOffColor(50, 52, 14);

// The buttons' font: "Small Fonts", 9-pixel characters, bold, black.
constexpr char kButtonFontFamily[] = "Small Fonts";
constexpr int kButtonFontHeight = -9;

// The LED display knows "." as its decimal point. A reading written with the
// operator's decimal comma keeps its comma in Caption, but the display is
// given a point, so that "12,35" lights "12.35" instead of a blank cell that
// pushes the last digit out of the four cells.
QString LedText(const QString& caption) {
    const char separator = platform::FormatSettings().DecimalSeparator;
    if (separator == '.') {
        return caption;
    }
    QString text = caption;
    text.replace(QLatin1Char(separator), QLatin1Char('.'));
    return text;
}

// The zeros that only pad a reading to its decimals ("123.50") carry
// nothing: the reading fits when the rest does.
QString WithoutPaddingZeros(QString text) {
    if (!text.contains(QLatin1Char('.'))) {
        return text;
    }
    while (text.endsWith(QLatin1Char('0'))) {
        text.chop(1);
    }
    if (text.endsWith(QLatin1Char('.'))) {
        text.chop(1);
    }
    return text;
}

// The mark of a reading too wide for the four cells: "OFL", right-aligned
// as a reading would be, and unlike any number.
constexpr char kOverflowMark[] = "OFL";

QToolButton* CreateSetPointButton(QWidget* parent, const QRect& rect, const char* caption,
                                  const char* hint, bool flat) {
    auto* button = new QToolButton(parent);
    button->setGeometry(rect);
    button->setFocusPolicy(Qt::NoFocus);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setText(QString::fromUtf8(caption));
    button->setToolTip(QString::fromUtf8(hint));
    button->setFont(ToolkitFont(QString::fromUtf8(kButtonFontFamily), kButtonFontHeight, true));
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, Qt::black);
    button->setPalette(palette);
    button->setAutoRaise(flat);
    button->setEnabled(false);
    return button;
}

}  // namespace

TInstrumentPanel::TInstrumentPanel(const TPanelLayout& layout, QWidget* parent)
    : QWidget(parent),
      FPicture(LoadBitmap(QString::fromUtf8(layout.Picture))),
      FPictureAt(layout.PictureAt),
      FCollapsedHeight(layout.CollapsedHeight),
      FExpandedHeight(layout.ExpandedHeight),
      FDecimalPlaces(layout.DecimalPlaces) {
    setAutoFillBackground(true);
    QPalette face = palette();
    face.setColor(QPalette::Window, layout.Face);
    setPalette(face);
    resize(kWidth, FCollapsedHeight);

    FLed = new TLedNumber(this);
    FLed->SetColumns(4);
    FLed->setGeometry(layout.Led);
    FLed->SetOffColor(kLedOffColor);
    FLed->SetOnColor(FOnColor);
    FLed->SetCaption(QString());
    if (QLabel* label = FLed->LEDLabel()) {
        label->clear();
    }

    FButton = CreateSetPointButton(this, layout.Button, layout.ButtonCaption, layout.ButtonHint,
                                   layout.FlatButton);
    connect(FButton, &QToolButton::clicked, this, [this] { RunSetPointAction(); });
}

TInstrumentPanel::~TInstrumentPanel() = default;

void TInstrumentPanel::SetOnColor(const QColor& value) {
    FOnColor = value;
    ShowOnColor();
}

void TInstrumentPanel::SetReadingOld(bool old, int dimPercent) {
    FReadingOld = old;
    FDimPercent = std::clamp(dimPercent, 0, 100);
    ShowOnColor();
}

void TInstrumentPanel::ShowOnColor() {
    if (!FReadingOld) {
        FLed->SetOnColor(FOnColor);
        return;
    }
    const auto dim = [this](int channel) { return channel * FDimPercent / 100; };
    FLed->SetOnColor(QColor(dim(FOnColor.red()), dim(FOnColor.green()), dim(FOnColor.blue())));
}

void TInstrumentPanel::SetCaption(const QString& value) {
    if (value == FCaption) {
        return;
    }
    FCaption = value;
    const QString led = LedText(value);
    FOverflowed = !FLed->ShowsWhole(WithoutPaddingZeros(led));
    FLed->SetCaption(FOverflowed ? QString::fromLatin1(kOverflowMark) : led);
    setToolTip(FOverflowed ? value : QString());
    DoUpdate();
}

void TInstrumentPanel::SetValue(float value) {
    FValue = value;
    QString text;
    try {
        text = QString::fromStdString(platform::FloatToDisplay(value, FDecimalPlaces));
    } catch (const std::exception&) {
        // A reading that cannot be written blanks the display; the owner
        // hears of it through OnUpdate.
    }
    SetCaption(text);
}

void TInstrumentPanel::SetDecimalPlaces(int value) {
    FDecimalPlaces = value;
    DecimalPlacesChanged();
}

void TInstrumentPanel::SetAllowSetPoint(bool value) {
    FAllowSetPoint = value;
    if (!value) {
        FControlsEnabled = false;
    }
    UpdateControls();
    resize(kWidth, value ? FExpandedHeight : FCollapsedHeight);
}

void TInstrumentPanel::SetControlsEnabled(bool value) {
    if (!FAllowSetPoint || value == FControlsEnabled) {
        return;
    }
    FControlsEnabled = value;
    UpdateControls();
}

void TInstrumentPanel::AdoptSetPointField(QWidget* field) {
    FField = field;
    UpdateControls();
}

// The button accepts a press only while the controls are enabled and no
// set-point request holds it locked. Ending a lock therefore never enables
// a button whose controls were switched off meanwhile, and switching the
// controls on never cuts a lock short.
void TInstrumentPanel::UpdateControls() {
    FButton->setEnabled(FControlsEnabled && FLocks == 0);
    if (FField != nullptr) {
        FField->setEnabled(FControlsEnabled);
    }
}

bool TInstrumentPanel::RunSetPointAction() {
    const QPointer<TInstrumentPanel> self(this);
    ++FLocks;
    UpdateControls();
    try {
        DoSetPointRequest();
    } catch (...) {
        // The owner could not send the set point: the error goes to the
        // window's error display, and the button is free for another try.
        if (self) {
            --FLocks;
            UpdateControls();
        }
        throw;
    }
    platform::Delay(kSetPointLockMs);
    if (!self) {
        return false;
    }
    --FLocks;
    UpdateControls();
    return true;
}

void TInstrumentPanel::DoUpdate() {
    if (OnUpdate) {
        OnUpdate(this);
    }
}

void TInstrumentPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawPixmap(FPictureAt, FPicture);
}

}  // namespace panels
