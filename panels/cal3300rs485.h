// TCal3300rs485: the panel of the CAL 3300 controller that heats the mercury
// reservoir. It shows the reservoir temperature on the LED display above a
// picture of the controller's front keys and, expanded, offers a set point
// in degrees Celsius with a "Set Temp" button that raises OnSetTemp; the
// owner reads SetPoint and sends it.
#pragma once

#include "panels/instrumentpanel.h"

namespace panels {

class TPosFloatEdit;

class TCal3300rs485 : public TInstrumentPanel {
    Q_OBJECT

  public:
    explicit TCal3300rs485(QWidget* parent = nullptr);

    // The set point; a write is held to SetPointMax and shown in the field.
    // A value typed below SetPointMin is taken as typed; the field reports
    // it when the operator leaves it.
    float SetPoint() const { return FSetPoint; }
    void SetSetPoint(float value);

    // The field's bounds (the controller's set-point limits); neither write
    // moves the present SetPoint or SetBand.
    int SetPointMax() const { return FSetPointMax; }
    void SetSetPointMax(int value);
    int SetPointMin() const { return FSetPointMin; }
    void SetSetPointMin(int value);

    // A band kept inside SetPointMin .. SetPointMax when written.
    int SetBand() const { return FSetBand; }
    void SetSetBand(int value);

    TPosFloatEdit* SetPointEdit() const { return FEdit; }

    TNotifyEvent OnSetTemp;

  protected:
    virtual void DoSetTemp();
    void DoSetPointRequest() override;
    void DecimalPlacesChanged() override;

  private:
    void EditChange();
    void EditKeyDown(int& key);

    TPosFloatEdit* FEdit = nullptr;
    float FSetPoint = 20.0f;
    int FSetPointMax = 100;
    int FSetPointMin = 0;
    int FSetBand = 0;
};

}  // namespace panels
