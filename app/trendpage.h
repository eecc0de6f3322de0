// The Trend page: the kit's three readings against their set points and the
// delivered against the calculated concentration, over the last 10 minutes,
// hour or 8 hours, redrawn from the live view's history at every poll while
// the page is in front; and the button that starts and stops the record.
#pragma once

#include <QWidget>
#include <QtGlobal>
#include <array>
#include <functional>

#include "live/history.h"

namespace live {
struct TTolerances;
}

class QChart;
class QChartView;
class QComboBox;
class QLabel;
class QLineSeries;
class QPushButton;
class QValueAxis;

namespace app {

class TTrendPage : public QWidget {
    Q_OBJECT

  public:
    // The page reads `history` at the time `clock` gives (the monitor's
    // milliseconds), and scales each chart to show at least the stability
    // band `tolerances` holds around its target.
    TTrendPage(const live::THistory& history, const live::TTolerances& tolerances,
               std::function<qint64()> clock, QWidget* parent);

    // One chart: a measured quantity and what it is held against.
    struct TTrendChart {
        QChartView* View = nullptr;
        QLineSeries* Reading = nullptr;
        QLineSeries* Target = nullptr;
        QValueAxis* Time = nullptr;
        QValueAxis* Value = nullptr;
    };
    static constexpr int kChartCount = 4;  // temperature, two flows, concentration

    QComboBox* cbxRange;
    QPushButton* btnRecord;
    // Opens the calibration run window.
    QPushButton* btnRun;
    QLabel* lblRecordFile;
    std::array<TTrendChart, kChartCount> Charts;

    // The span the charts show, as chosen.
    qint64 RangeMs() const;
    // Redraws the charts when the page is in front (a hidden page waits for
    // its showing).
    void Redraw();
    // The record button's caption and the file beside it.
    void ShowRecording(bool recording, const QString& path);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    int TimeTicks() const;
    void Draw();

    const live::THistory& history_;
    const live::TTolerances& tolerances_;
    std::function<qint64()> clock_;
};

}  // namespace app
