// The run report made from a run folder (runfolder.h): report.pdf, two or
// more A4 pages of vector text and charts with the fonts embedded, and
// report.csv, the results table for spreadsheets.
//
// The PDF is drawn with QPdfWriter and the charts with Qt Charts, which need
// a QApplication; on a machine without a display the offscreen platform
// serves.
#pragma once

#include "report/number.h"
#include "report/runfolder.h"

#include <QString>

namespace report {

struct TReportOptions {
    QString Operator;  // overrides the plan's operator when not empty
    // Empty: report.pdf in the run folder, or report-<number>.pdf for an
    // approval.
    QString PdfPath;
    bool AllBudgets = false;  // every point's budget, not the highest's alone
    // Not empty: the approver ("Name, function"); the report is approved.
    QString ApproveAs;
    QString SequenceFolder;  // empty: SequenceFolder()
};

// The report's number and whether it is approved, as it goes on each page.
struct TReportIssue {
    QString Number;
    QString Replaces;
    std::optional<TApproval> Approval;
};

struct TReportFiles {
    QString Pdf;
    QString Csv;  // beside the PDF
};

// Gives the report its number (report.json in the folder, the lab's
// sequence) and writes the PDF and the CSV beside it: a draft, or with
// ApproveAs the approved report, which is never overwritten. Raises
// EReportError, naming the file, when one cannot be written (a file that is
// written is whole) or when the approval would overwrite an approved one.
TReportFiles WriteReport(const TRunFolder& folder, const TReportOptions& options);

// The two files alone.
void WriteReportPdf(const TRunFolder& folder, const TReportOptions& options,
                    const TReportIssue& issue, const QString& path);
void WriteResultsCsv(const TRunFolder& folder, const QString& path);

}  // namespace report
