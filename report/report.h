// The run report made from a run folder (runfolder.h): report.pdf, two or
// more A4 pages of vector text and charts with the fonts embedded, and
// report.csv, the results table for spreadsheets.
//
// The PDF is drawn with QPdfWriter and the charts with Qt Charts, which need
// a QApplication; on a machine without a display the offscreen platform
// serves.
#pragma once

#include "report/runfolder.h"

#include <QString>
#include <QStringList>

namespace report {

struct TReportOptions {
    QString Operator;  // overrides the plan's operator when not empty
    QString PdfPath;   // empty: report.pdf in the run folder
    // One line per analyser from the run history (its previous run's date
    // and verdict, its control chart's state), made by the caller: the
    // report reads no database. Printed under the verdict; none: nothing.
    QStringList HistoryLines;
};

struct TReportFiles {
    QString Pdf;
    QString Csv;  // beside the PDF
};

// Writes the PDF and the CSV beside it. Raises EReportError, naming the
// file, when one cannot be written; a file that is written is whole.
TReportFiles WriteReport(const TRunFolder& folder, const TReportOptions& options);

// The two files alone.
void WriteReportPdf(const TRunFolder& folder, const QString& operatorName, const QString& path,
                    const QStringList& historyLines = {});
void WriteResultsCsv(const TRunFolder& folder, const QString& path);

}  // namespace report
