// TELflowMfc: the panel of one EL-FLOW mass-flow controller (the reservoir
// and the dilution flow of the kit). It shows the measured flow on the LED
// display above a picture of the controller and, expanded, offers a whole
// percentage set point (0 .. 100) with a "Set Flow" button that raises
// OnSetFlow; the owner reads SetPoint and sends it.
#pragma once

#include "panels/instrumentpanel.h"

namespace panels {

class TSpinEdit;

class TELflowMfc : public TInstrumentPanel {
    Q_OBJECT

  public:
    // The field never takes a set point above this, whatever SetPointMax
    // says: the controller's set point is a percentage of its capacity.
    static constexpr int kFieldCeiling = 100;

    explicit TELflowMfc(QWidget* parent = nullptr);

    // The set point; a write is held to SetPointMax and shown in the field,
    // whose own range may move it further (then SetPoint follows the field).
    int SetPoint() const { return FSetPoint; }
    void SetSetPoint(int value);

    // The range of the field; neither write moves the present SetPoint.
    int SetPointMax() const { return FSetPointMax; }
    void SetSetPointMax(int value);
    int SetPointMin() const { return FSetPointMin; }
    void SetSetPointMin(int value);

    TSpinEdit* SetPointEdit() const { return FEdit; }

    // Held for the owner: the dilution-flow window remembers here that it
    // has turned the display red for a low flow. The panel never looks at it.
    bool AlarmLatched = false;

    TNotifyEvent OnSetFlow;

  protected:
    virtual void DoSetFlow();
    void DoSetPointRequest() override;

  private:
    void EditChange();
    void EditKeyDown(int& key);

    TSpinEdit* FEdit = nullptr;
    int FSetPoint = 20;
    int FSetPointMax = 100;
    int FSetPointMin = 0;
};

}  // namespace panels
