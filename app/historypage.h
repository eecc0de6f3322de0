// The History page beside the Trend page: the analysers of the history at a
// glance (each with its last run, verdict and chart state), the chosen
// one's action signal and its control charts, and a window with the charts
// at full size. Read from the history when the page comes to the front or
// on Refresh.
#pragma once

#include <QWidget>
#include <memory>
#include <optional>
#include <string>

#include "history/database.h"

class QLabel;
class QPushButton;
class QTableWidget;

namespace app {

// The charts painted to the size of the widget.
class TChartsView : public QWidget {
  public:
    explicit TChartsView(QWidget* parent) : QWidget(parent) {}
    void SetCharts(std::optional<history::TAnalyzerCharts> charts);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::optional<history::TAnalyzerCharts> FCharts;
};

class THistoryPage : public QWidget {
    Q_OBJECT

  public:
    // The history of HistoryDatabase= in `settingsFile` (the default SQLite
    // file when none).
    THistoryPage(std::string settingsFile, QWidget* parent);
    ~THistoryPage() override;

    QLabel* lblHistory;
    QTableWidget* tblAnalyzers;
    QLabel* lblSignal;
    TChartsView* pbxCharts;
    QPushButton* btnRefresh;
    QPushButton* btnCharts;

    // Reads the fleet at a glance again; a history that cannot be read is
    // said on the page.
    void Refresh();
    // Shows the charts of the analyser in `row`.
    void ChooseAnalyzer(int row);
    // The chosen analyser's charts in a window of their own.
    void OpenCharts();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    std::string FSettingsFile;
    std::unique_ptr<history::THistoryDatabase> FDatabase;
    std::optional<history::TAnalyzerCharts> FCharts;
};

}  // namespace app
