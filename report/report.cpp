#include "report/report.h"

#include "live/recorder.h"
#include "platform/numtext.h"
#include "report/messages.h"
#include "report/printed.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace report {

namespace {

// A number for a spreadsheet: as results.json holds it, to the 15 digits a
// spreadsheet keeps; empty for none.
std::string CsvNumber(const std::optional<double>& value) {
    return value ? platform::FloatToStrGeneral(*value) : std::string();
}

std::string CsvText(const QString& text) {
    return live::CsvField(text.toStdString());
}

std::string CsvRow(const TPointResult& point) {
    const std::optional<TDelivered>& d = point.Delivered;
    const std::optional<TAnalyzerMean>& a = point.Analyzer;
    const auto number = [](const auto& present, double value) {
        return present ? CsvNumber(value) : std::string();
    };
    std::vector<std::string> fields = {
        std::to_string(point.Index),
        CsvText(point.Status),
        CsvNumber(point.Wanted),
        CsvNumber(point.Temperature),
        CsvNumber(point.ReservoirFlow),
        CsvNumber(point.DilutionFlow),
        CsvNumber(point.StableAfterSeconds),
        std::to_string(point.Samples),
        number(d, d ? d->Mean : 0),
        number(d, d ? d->Sd : 0),
        CsvNumber(d ? d->Expanded : std::nullopt),
        CsvNumber(d ? d->CoverageFactor : std::nullopt),
        number(a, a ? a->Mean : 0),
        number(a, a ? a->Sd : 0),
        a ? std::to_string(a->Samples) : std::string(),
        CsvNumber(point.Error),
        CsvNumber(point.ErrorPercent),
        point.Pass ? (*point.Pass ? kPass : kFail) : "",
        CsvText(point.DecidedBy),
    };
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i)
        line += (i > 0 ? "," : "") + fields[i];
    return line;
}

}  // namespace

void WriteResultsCsv(const TRunFolder& folder, const QString& path) {
    const TDotDecimals dots;
    std::string text = std::string(kCsvHeader) + "\r\n";
    for (const TPointResult& point : folder.Results.Points)
        text += CsvRow(point) + "\r\n";
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), text.size()) < 0 ||
        !file.commit())
        throw EReportError(QString(kCannotWrite).arg(path, file.errorString()).toStdString());
}

TReportFiles WriteReport(const TRunFolder& folder, const TReportOptions& options) {
    const QDateTime now = QDateTime::currentDateTime();
    TReportState state = ReportNumber(
        folder, options.SequenceFolder.isEmpty() ? SequenceFolder() : options.SequenceFolder, now);
    TReportIssue issue{state.Number, state.Replaces, state.Approval};
    TReportFiles files;
    files.Pdf =
        options.PdfPath.isEmpty() ? QDir(folder.Path).filePath(kReportPdf) : options.PdfPath;
    if (!options.ApproveAs.isEmpty()) {
        if (state.Approval)
            throw EReportError(QString(kAlreadyApproved)
                                   .arg(folder.Path, state.Number, state.Approval->By,
                                        TimeWithOffset(state.Approval->Time))
                                   .toStdString());
        if (options.PdfPath.isEmpty())
            files.Pdf = QDir(folder.Path).filePath(QString(kApprovedPdf).arg(state.Number));
        if (QFileInfo::exists(files.Pdf))
            throw EReportError(QString(kApprovedExists).arg(files.Pdf).toStdString());
        issue.Approval =
            TApproval{options.ApproveAs, QString::fromStdString(live::IsoLocalTime(now)),
                      QFileInfo(files.Pdf).fileName()};
    }
    files.Csv = QFileInfo(files.Pdf).dir().filePath(kReportCsv);
    WriteReportPdf(folder, options, issue, files.Pdf);
    WriteResultsCsv(folder, files.Csv);
    if (!options.ApproveAs.isEmpty())
        SaveApproval(folder, state, *issue.Approval);
    return files;
}

}  // namespace report
