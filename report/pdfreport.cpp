#include "report/charts.h"
#include "report/messages.h"
#include "report/printed.h"
#include "report/procedure.h"
#include "report/report.h"
#include "report/verify.h"
#include "run/procedure.h"

#include "calc/model.h"
#include "run/runfolder.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>
#include <QStringList>
#include <cmath>
#include <functional>

namespace report {

namespace {

// The page is drawn in tenths of a point: fine enough that text placed by
// its measured width sits where it was measured.
constexpr int kResolution = 720;
constexpr qreal kPt = kResolution / 72.0;
constexpr qreal kMarginLeft = 42 * kPt;
constexpr qreal kMarginRight = 42 * kPt;
constexpr qreal kMarginTop = 34 * kPt;
constexpr qreal kMarginBottom = 40 * kPt;
constexpr qreal kHeaderHeight = 84 * kPt;
constexpr qreal kSectionGap = 10 * kPt;
constexpr qreal kChartHeight = 232 * kPt;
const QColor kRuleColour(150, 150, 150);
const QColor kShadeColour(236, 239, 244);
const QColor kFailColour(180, 0, 0);

QFont Font(qreal points, bool bold = false) {
    QFont font("DejaVu Sans");
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

// One piece of the report's flow: a title, a paragraph, a table row, a
// chart. Pieces go onto a page while they fit; a table's header comes again
// on a page its rows continue on.
struct TBlock {
    qreal Height = 0;
    std::function<void(QPainter&, qreal top)> Paint;
    bool KeepWithNext = false;  // a title stays with what it titles
    int Header = -1;            // the block painted first when this one opens a page
    bool NewPage = false;       // opens a page of its own
};

struct TPlaced {
    int Block;
    qreal Top;
};

class TReportLayout {
  public:
    TReportLayout(QPdfWriter& writer, const TRunFolder& folder, const TReportOptions& options,
                  const TReportIssue& issue)
        : FWriter(writer),
          FFolder(folder),
          FResults(folder.Results),
          FOperator(options.Operator),
          FAllBudgets(options.AllBudgets),
          FIssue(issue) {
        FWidth = writer.width() - kMarginLeft - kMarginRight;
        FBottom = writer.height() - kMarginBottom;
    }

    void Build() {
        Issue();
        Instruments();
        Meaning();
        Conditions();
        ResultsTable();
        Verdict();
        Interruptions();
        for (TProcedurePiece& piece : ProcedureSection(FFolder, FWriter, kMarginLeft, FWidth, kPt))
            Add({piece.Height, std::move(piece.Paint), piece.KeepWithNext, -1, piece.NewPage});
        Charts();
        Budgets();
        Files();
        TBlock end = Paragraph(QString::fromUtf8(kEndOfReport), Font(8, true), Qt::AlignHCenter);
        const auto paint = end.Paint;
        end.Height += kSectionGap;
        end.Paint = [paint](QPainter& p, qreal top) { paint(p, top + kSectionGap); };
        Add(end);
    }

    void Paint(QPainter& painter) {
        const std::vector<std::vector<TPlaced>> pages = Paginate();
        for (size_t page = 0; page < pages.size(); ++page) {
            if (page > 0)
                FWriter.newPage();
            if (!FIssue.Approval)
                DraftMark(painter);
            PageHeader(painter, static_cast<int>(page) + 1, static_cast<int>(pages.size()));
            for (const TPlaced& placed : pages[page])
                FBlocks[placed.Block].Paint(painter, placed.Top);
        }
    }

  private:
    int Add(TBlock block) {
        FBlocks.push_back(std::move(block));
        return static_cast<int>(FBlocks.size()) - 1;
    }

    qreal TextHeight(const QString& text, const QFont& font, qreal width) const {
        const QFontMetricsF metrics(font, &FWriter);
        return metrics.boundingRect(QRectF(0, 0, width, 1e7), Qt::TextWordWrap, text).height();
    }

    TBlock Paragraph(const QString& text, const QFont& font, int align = Qt::AlignLeft) {
        const qreal left = kMarginLeft, width = FWidth;
        const qreal height = TextHeight(text, font, width);
        return {height + 3 * kPt, [=](QPainter& p, qreal top) {
                    p.setFont(font);
                    p.drawText(QRectF(left, top, width, height), Qt::TextWordWrap | align, text);
                }};
    }

    void Title(const QString& text) {
        TBlock block = Paragraph(text, Font(10.5, true));
        block.Height += 2 * kPt;
        block.KeepWithNext = true;
        const qreal gap = kSectionGap;
        const auto paint = block.Paint;
        block.Height += gap;
        block.Paint = [=](QPainter& p, qreal top) { paint(p, top + gap); };
        Add(block);
    }

    // "DRAFT" across the page, under everything else, pale enough that the
    // page stays readable and plain on a grey printout.
    void DraftMark(QPainter& p) const {
        p.save();
        p.translate(FWriter.width() / 2.0, FWriter.height() / 2.0);
        p.rotate(-40);
        QFont font = Font(110, true);
        font.setLetterSpacing(QFont::PercentageSpacing, 110);
        p.setFont(font);
        p.setPen(QColor(215, 215, 215));
        p.drawText(QRectF(-FWriter.width(), -80 * kPt, 2 * FWriter.width(), 160 * kPt),
                   Qt::AlignCenter, QString::fromUtf8(kDraft));
        p.restore();
    }

    void PageHeader(QPainter& p, int page, int pages) {
        const qreal left = kMarginLeft, top = kMarginTop;
        p.setPen(Qt::black);
        p.setFont(Font(15, true));
        p.drawText(QRectF(left, top, FWidth, 22 * kPt), Qt::AlignLeft | Qt::AlignVCenter,
                   QString::fromUtf8(kTitle));
        p.setFont(Font(8.5, !FIssue.Approval));
        p.drawText(
            QRectF(left, top, FWidth, 22 * kPt), Qt::AlignRight | Qt::AlignVCenter,
            QString::fromUtf8(FIssue.Approval ? kPageOf : kDraftHeader).arg(page).arg(pages));

        const QString analyzer = FResults.AnalyzerId.isEmpty()
                                     ? (FResults.AnalyzerSource.isEmpty() ? QString::fromUtf8(kNone)
                                                                          : FResults.AnalyzerSource)
                                     : FResults.AnalyzerId + " (" + FResults.AnalyzerSource + ")";
        const QString values[] = {Or(FIssue.Number),
                                  Or(FResults.Plan),
                                  Or(FOperator.isEmpty() ? FResults.Operator : FOperator),
                                  analyzer,
                                  TimeWithOffset(FResults.Started),
                                  TimeWithOffset(FResults.Finished),
                                  Or(FResults.Port),
                                  Or(FResults.Console)};
        const qreal row = 12 * kPt, column = FWidth / 2, label = 52 * kPt;
        for (int i = 0; i < 8; ++i) {
            const qreal x = left + (i / 4) * column, y = top + 26 * kPt + (i % 4) * row;
            p.setFont(Font(8.5, true));
            p.drawText(QRectF(x, y, label, row), Qt::AlignLeft | Qt::AlignVCenter,
                       QString::fromUtf8(kHeaderLabels[i]));
            p.setFont(Font(8.5));
            p.drawText(QRectF(x + label, y, column - label, row), Qt::AlignLeft | Qt::AlignVCenter,
                       values[i]);
        }
        p.setPen(QPen(kRuleColour, 0.8 * kPt));
        const qreal rule = top + kHeaderHeight - 6 * kPt;
        p.drawLine(QPointF(left, rule), QPointF(left + FWidth, rule));
        p.setPen(Qt::black);
    }

    static QString Or(const QString& text) {
        return text.isEmpty() ? QString::fromUtf8(kNone) : text;
    }

    static QString OrNotGiven(const QString& text) {
        return text.isEmpty() ? QString::fromUtf8(kNotGiven) : text;
    }

    // Labels and their values, one pair a line, in one column.
    void LabelValues(const QStringList& labels, const QStringList& values, qreal labelWidth) {
        const QFont font = Font(8), bold = Font(8, true);
        const qreal left = kMarginLeft, width = FWidth, label = labelWidth * kPt;
        for (qsizetype i = 0; i < labels.size(); ++i) {
            const QString name = labels[i], value = values[i];
            const qreal height = std::max(TextHeight(value, font, width - label), 10 * kPt);
            Add({height + 1 * kPt, [=](QPainter& p, qreal top) {
                     p.setFont(bold);
                     p.drawText(QRectF(left, top, label, height), Qt::AlignLeft | Qt::AlignTop,
                                name);
                     p.setFont(font);
                     p.drawText(QRectF(left + label, top, width - label, height),
                                Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, value);
                 }});
        }
    }

    QString ItemText() const {
        const TItem& item = FFolder.Item;
        QStringList parts;
        const QString name = (item.Maker + " " + item.Model).trimmed();
        if (!name.isEmpty())
            parts << name;
        if (!item.Serial.isEmpty())
            parts << QString(kItemSerial).arg(item.Serial);
        if (!item.Tag.isEmpty())
            parts << QString(kItemTag).arg(item.Tag);
        return OrNotGiven(parts.join(", "));
    }

    void Issue() {
        Title(QString::fromUtf8(kIssueTitle));
        const TLaboratoryText& lab = FFolder.Laboratory;
        const std::optional<TApproval>& approval = FIssue.Approval;
        QStringList values = {
            OrNotGiven(lab.Name),
            OrNotGiven(lab.Address),
            OrNotGiven(lab.Accreditation),
            OrNotGiven(FFolder.Item.Customer),
            ItemText(),
            approval ? ReadIsoTime(approval->Time).toString("yyyy-MM-dd")
                     : QString::fromUtf8(kNotIssued),
            approval ? QString(kApprovedAt).arg(approval->By, TimeWithOffset(approval->Time))
                     : QString::fromUtf8(kNotApproved),
            FIssue.Replaces};
        QStringList labels;
        for (const char* label : kIssueLabels)
            labels << QString::fromUtf8(label);
        if (FIssue.Replaces.isEmpty()) {
            labels.removeLast();
            values.removeLast();
        }
        LabelValues(labels, values, 80);
    }

    // The run's date: an instrument due before it was past due for the run.
    QString RunDate() const {
        const QDateTime started = ReadIsoTime(FResults.Started);
        return started.isValid() ? started.toString("yyyy-MM-dd") : QString();
    }

    void Instruments() {
        Title(QString::fromUtf8(kInstrumentsTitle));
        if (FFolder.Instruments.empty()) {
            Add(Paragraph(QString::fromUtf8(kNoInstruments), Font(8)));
        } else {
            std::vector<TColumn> columns;
            const qreal widths[] = {150, 62, 45, 62, 52, 52, 56};
            for (int i = 0; i < 7; ++i)
                columns.push_back({QString::fromUtf8(kInstrumentColumns[i]), widths[i]});
            std::vector<QStringList> rows;
            std::vector<bool> alarm;
            QStringList pastDue;
            const QString date = RunDate();
            for (const TInstrumentStatus& i : FFolder.Instruments) {
                const bool late = !i.Due.isEmpty() && !date.isEmpty() && i.Due < date;
                const char* status = i.Due.isEmpty() ? kInstrumentNoDue
                                     : late          ? kInstrumentPastDue
                                                     : kInstrumentDueOk;
                rows.push_back({i.Role, Or(i.Model), Or(i.Serial), Or(i.Certificate),
                                Or(i.Calibrated), Or(i.Due), QString::fromUtf8(status)});
                alarm.push_back(late);
                if (late)
                    pastDue << i.Role + " (" + Or(i.Model) + ", due " + i.Due + ")";
            }
            Table(columns, rows, alarm);
            if (!pastDue.isEmpty())
                Add(Paragraph(QString::fromUtf8(kInstrumentsPastDue).arg(pastDue.join("; "), date),
                              Font(8, true)));
        }
        if (FFolder.AccuracySource.isEmpty())
            return;
        Add(Paragraph(FFolder.AccuracySource == "defaults"
                          ? QString::fromUtf8(kAccuraciesDefaults)
                          : QString::fromUtf8(kAccuraciesFrom).arg(FFolder.AccuracySource),
                      Font(8)));
    }

    double CoverageFactor() const {
        for (const TPointResult& point : FResults.Points) {
            if (point.Delivered && point.Delivered->CoverageFactor)
                return *point.Delivered->CoverageFactor;
        }
        const QJsonValue k =
            FResults.Conditions.value("uncertainty").toObject().value("CoverageFactor");
        return k.isDouble() ? k.toDouble() : 2;
    }

    bool AnyUncertainty() const {
        for (const TPointResult& point : FResults.Points) {
            if (point.Delivered && point.Delivered->Expanded)
                return true;
        }
        return false;
    }

    void Meaning() {
        Title(QString::fromUtf8(kMeaningTitle));
        const QFont font = Font(8);
        Add(Paragraph(QString::fromUtf8(kMeaningUnits), font));
        Add(Paragraph(QString::fromUtf8(kMeaningModel)
                          .arg(QString::fromStdString(calc::SatConcEquationText())),
                      font));
        Add(Paragraph(AnyUncertainty()
                          ? QString::fromUtf8(kMeaningUncertainty).arg(General(CoverageFactor()))
                          : QString::fromUtf8(kMeaningNoUncertainty),
                      font));
        const run::TProcedureRule* procedure = ProcedureOf(FResults);
        if (procedure)
            Add(Paragraph(
                QString::fromUtf8(kMeaningProcedure).arg(QString::fromUtf8(procedure->Title)),
                font));
        else if (!FResults.HasAnalyzer())
            Add(Paragraph(QString::fromUtf8(kMeaningNoAnalyzer), font));
        else if (!FResults.Acceptance)
            Add(Paragraph(QString::fromUtf8(kMeaningNoAcceptance), font));
        else
            Add(Paragraph(QString::fromUtf8(kMeaningRule)
                              .arg(General(FResults.Acceptance->Percent),
                                   General(FResults.Acceptance->Absolute)),
                          font));
        if (FResults.HasAnalyzer())
            Add(Paragraph(QString::fromUtf8(kMeaningErrorUncertainty), font));
    }

    void Conditions() {
        Title(QString::fromUtf8(kConditionsTitle));
        // Every condition the file holds is printed: the known ones with
        // their labels and units, any other under its own name.
        QStringList labels, values;
        const auto take = [&](const QJsonObject& object, const TConditionText* first,
                              const TConditionText* last, const QStringList& skip) {
            QStringList known = skip;
            for (const TConditionText* c = first; c != last; ++c) {
                known << c->Key;
                const QJsonValue value = object.value(c->Key);
                if (value.isUndefined())
                    continue;
                labels << QString::fromUtf8(c->Label);
                values << (value.isDouble()
                               ? General(value.toDouble()) + " " + QString::fromUtf8(c->Unit)
                               : Or(value.toVariant().toString()));
            }
            for (auto it = object.begin(); it != object.end(); ++it) {
                if (known.contains(it.key()))
                    continue;
                labels << it.key();
                values << (it.value().isDouble() ? General(it.value().toDouble())
                                                 : Or(it.value().toVariant().toString()));
            }
        };
        take(FResults.Conditions, std::begin(kConditions), std::end(kConditions),
             {"uncertainty", "laboratory", "instruments"});
        take(FResults.Conditions.value("uncertainty").toObject(), std::begin(kUncertaintySettings),
             std::end(kUncertaintySettings), {});

        const QFont font = Font(7.5), bold = Font(7.5, true);
        const qreal row = 10.5 * kPt, column = FWidth / 2, label = 158 * kPt;
        const qsizetype rows = (labels.size() + 1) / 2;
        const qreal left = kMarginLeft;
        Add({rows * row + 2 * kPt, [=](QPainter& p, qreal top) {
                 for (qsizetype i = 0; i < labels.size(); ++i) {
                     const qreal x = left + (i / rows) * column, y = top + (i % rows) * row;
                     p.setFont(font);
                     p.drawText(QRectF(x, y, label, row), Qt::AlignLeft | Qt::AlignVCenter,
                                labels[i]);
                     p.setFont(bold);
                     p.drawText(QRectF(x + label, y, column - label, row),
                                Qt::AlignLeft | Qt::AlignVCenter, values[i]);
                 }
             }});
        Add(Paragraph(QString::fromUtf8(kPbarSetting), Font(8)));
        Add(Paragraph(FFolder.LabTemperature || FFolder.LabHumidity
                          ? QString::fromUtf8(kLabAir).arg(
                                FFolder.LabTemperature ? General(*FFolder.LabTemperature)
                                                       : QString::fromUtf8(kNone),
                                FFolder.LabHumidity ? General(*FFolder.LabHumidity)
                                                    : QString::fromUtf8(kNone))
                          : QString::fromUtf8(kLabAirUnknown),
                      Font(8)));
    }

    struct TColumn {
        QString Title;
        qreal Width;  // points
    };

    // A table: its header and one block per row, the header again on each
    // page its rows continue on.
    void Table(const std::vector<TColumn>& columns, const std::vector<QStringList>& rows,
               const std::vector<bool>& alarm) {
        qreal total = 0;
        for (const TColumn& c : columns)
            total += c.Width;
        std::vector<qreal> widths;
        for (const TColumn& c : columns)
            widths.push_back(c.Width / total * FWidth);
        const qreal left = kMarginLeft, width = FWidth;
        const qreal headerHeight = 20 * kPt, rowHeight = 11 * kPt;
        const QFont font = Font(7), bold = Font(7, true);

        QStringList titles;
        for (const TColumn& c : columns)
            titles << c.Title;
        const int header =
            Add({headerHeight, [=](QPainter& p, qreal top) {
                     p.setFont(bold);
                     qreal x = left;
                     for (size_t i = 0; i < widths.size(); ++i) {
                         p.drawText(QRectF(x, top, widths[i] - 2 * kPt, headerHeight),
                                    (i == 0 ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignBottom,
                                    titles[i]);
                         x += widths[i];
                     }
                     p.setPen(QPen(kRuleColour, 0.6 * kPt));
                     p.drawLine(QPointF(left, top + headerHeight + 1 * kPt),
                                QPointF(left + width, top + headerHeight + 1 * kPt));
                     p.setPen(Qt::black);
                 }});
        FBlocks[header].Height += 2 * kPt;
        FBlocks[header].KeepWithNext = true;
        for (size_t r = 0; r < rows.size(); ++r) {
            const QStringList cells = rows[r];
            const bool shaded = r % 2 == 1, red = alarm[r];
            TBlock row{rowHeight, [=](QPainter& p, qreal top) {
                           if (shaded)
                               p.fillRect(QRectF(left, top, width, rowHeight), kShadeColour);
                           qreal x = left;
                           for (qsizetype i = 0; i < cells.size(); ++i) {
                               const bool last = i == cells.size() - 1;
                               p.setFont(last && red ? bold : font);
                               p.setPen(last && red ? kFailColour : QColor(Qt::black));
                               p.drawText(
                                   QRectF(x, top, widths[i] - 2 * kPt, rowHeight),
                                   (i == 0 ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter,
                                   cells[i]);
                               x += widths[i];
                           }
                           p.setPen(Qt::black);
                       }};
            row.Header = header;
            Add(row);
        }
    }

    QString DeliveredTitle() const {
        std::optional<double> k;
        for (const TPointResult& point : FResults.Points) {
            if (!point.Delivered || !point.Delivered->CoverageFactor)
                continue;
            if (k && *k != *point.Delivered->CoverageFactor)
                return QString::fromUtf8(kColumnDelivered).arg(QString());
            k = point.Delivered->CoverageFactor;
        }
        return QString::fromUtf8(kColumnDelivered).arg(k ? ", k = " + General(*k) : QString());
    }

    void ResultsTable() {
        Title(QString::fromUtf8(kResultsTitle));
        const bool analyzer = FResults.HasAnalyzer();
        std::vector<TColumn> columns = {{kColumnPoint, 26},     {kColumnTemp, 62},
                                        {kColumnFlow, 44},      {kColumnDilution, 40},
                                        {kColumnStable, 40},    {kColumnSamples, 42},
                                        {DeliveredTitle(), 78}, {kColumnSd, 32}};
        if (analyzer) {
            columns.insert(columns.end(), {{kColumnAnalyzer, 42},
                                           {kColumnError, 62},
                                           {kColumnErrorPercent, 32},
                                           {kColumnLimit, 58},
                                           {kColumnVerdict, 36}});
        }
        std::vector<QStringList> rows;
        std::vector<bool> alarm;
        for (const TPointResult& point : FResults.Points) {
            const int d = ConcentrationDecimals(point);
            QString delivered = DeliveredMeanText(point);
            if (point.Delivered && point.Delivered->Expanded)
                delivered += QString::fromUtf8(" \u00B1 ") + ExpandedText(point);
            QStringList row = {
                QString::number(point.Index),
                Fixed(point.Temperature, 1),
                Fixed(point.ReservoirFlow, 1),
                Fixed(point.DilutionFlow, 1),
                StableAfterText(point),
                QString::number(point.Samples),
                delivered,
                point.Delivered ? Significant(point.Delivered->Sd, 2) : QString::fromUtf8(kNone)};
            if (analyzer) {
                row << (point.Analyzer ? Fixed(point.Analyzer->Mean, d) : QString::fromUtf8(kNone))
                    << ErrorText(point) << Fixed(point.ErrorPercent, 1)
                    << LimitText(point, FResults.Acceptance) << VerdictText(point);
            }
            rows.push_back(row);
            alarm.push_back(analyzer && point.Pass == false);
        }
        Table(columns, rows, alarm);
    }

    // Who skipped a point, as the run's interruptions say.
    QString SkippedBy(int index) const {
        for (const TInterruption& i : FResults.Interruptions) {
            if (i.Kind != "skipped" || i.Point != index)
                continue;
            if (i.By == "operator")
                return QString::fromUtf8(kByOperator);
            if (i.By == "run")
                return QString::fromUtf8(kByRun);
            if (i.By.startsWith("plant"))
                return QString::fromUtf8(kByPlant).arg(i.By.mid(5).trimmed());
            if (!i.By.isEmpty())
                return i.By;
        }
        return QString::fromUtf8(kByOperator);
    }

    // Why each point that was not judged a pass failed the run, grouped by
    // the reason in the order of their first point.
    QStringList FailReasons() const {
        struct TGroup {
            QString Pattern, Many, Extra;
            QStringList Points;
        };
        std::vector<TGroup> groups;
        const auto add = [&groups](const QString& pattern, const QString& many,
                                   const QString& extra, int index) {
            for (TGroup& group : groups) {
                if (group.Pattern == pattern && group.Extra == extra) {
                    group.Points << QString::number(index);
                    return;
                }
            }
            groups.push_back({pattern, many, extra, {QString::number(index)}});
        };
        const auto words = [](const char* text) { return QString::fromUtf8(text); };
        for (const TPointResult& point : FResults.Points) {
            if (point.Pass == false)
                add(words(kReasonOutside), words(kReasonOutsideMany), {}, point.Index);
            else if (point.Status == kNoAnalyzerReading)
                add(words(kReasonNoReading), {}, {}, point.Index);
            else if (point.Status == "skipped")
                add(words(kReasonSkipped), {}, SkippedBy(point.Index), point.Index);
            else if (point.Status == kNotStable)
                add(words(kReasonNotStable), {}, {}, point.Index);
            else if (point.Status == "stopped")
                add(words(kReasonStopped), {}, {}, point.Index);
            else if (point.Status != "done")
                add(words(kReasonOther), {}, point.Status, point.Index);
        }
        QStringList reasons;
        for (const TGroup& group : groups) {
            QString points = group.Points.front();
            if (group.Points.size() > 1)
                points = group.Points.mid(0, group.Points.size() - 1).join(", ") + " and " +
                         group.Points.back();
            const bool many = group.Points.size() > 1;
            QString text = (many && !group.Many.isEmpty() ? group.Many : group.Pattern)
                               .arg((many ? "points " : "point ") + points);
            if (!group.Extra.isEmpty())
                text = text.arg(group.Extra);
            reasons << text;
        }
        return reasons;
    }

    void Verdict() {
        Title(QString::fromUtf8(kVerdictTitle));
        QString verdict = QString::fromUtf8(kVerdictNone);
        if (const run::TProcedureRule* procedure = ProcedureOf(FResults); procedure) {
            verdict = QString::fromUtf8(kVerdictProcedure)
                          .arg(QString::fromUtf8(FResults.Pass == true ? kPass : kFail),
                               QString::fromUtf8(procedure->Title));
        } else if (FResults.Pass == true) {
            verdict = QString::fromUtf8(kVerdictPass);
        } else if (FResults.Pass == false) {
            const QStringList reasons = FailReasons();
            verdict = reasons.isEmpty() ? QString::fromUtf8(kVerdictFailUnnamed)
                                        : QString::fromUtf8(kVerdictFail).arg(reasons.join("; "));
        }
        Add(Paragraph(verdict, Font(9, true)));
        if (!FFolder.StopReason.isEmpty())
            Add(Paragraph(QString::fromUtf8(kStopped).arg(FFolder.StopReason), Font(8)));
        if (!FResults.HasAnalyzer())
            return;
        if (!FResults.Linearity) {
            Add(Paragraph(QString::fromUtf8(kNoLinearity), Font(8)));
            return;
        }
        const TLinearity& fit = *FResults.Linearity;
        Add(Paragraph(QString::fromUtf8(kLinearity)
                          .arg(Fixed(fit.Slope, 4), Significant(fit.Intercept, 3), R2Text(fit.R2),
                               Significant(fit.MaxResidual, 3)),
                      Font(8)));
    }

    static QString ByText(const QString& by) {
        if (by == "operator")
            return QString::fromUtf8(kByOperator);
        if (by == "run")
            return QString::fromUtf8(kByRun);
        return Or(by);
    }

    void Interruptions() {
        Title(QString::fromUtf8(kInterruptionsTitle));
        if (FResults.Interruptions.empty()) {
            Add(Paragraph(QString::fromUtf8(kNoInterruptions), Font(8)));
            return;
        }
        std::vector<TColumn> columns;
        const qreal widths[] = {120, 80, 36, 80, 90};
        for (int i = 0; i < 5; ++i)
            columns.push_back({QString::fromUtf8(kInterruptionColumns[i]), widths[i]});
        std::vector<QStringList> rows;
        for (const TInterruption& i : FResults.Interruptions) {
            QString what = i.Kind;
            for (const TInterruptionText& known : kInterruptionTexts) {
                if (i.Kind == known.Kind)
                    what = QString::fromUtf8(known.Text);
            }
            rows.push_back({TimeWithOffset(i.Time), what,
                            i.Point > 0 ? QString::number(i.Point) : QString::fromUtf8(kNone),
                            ByText(i.By), Or(i.Port)});
        }
        Table(columns, rows, std::vector<bool>(rows.size(), false));
    }

    void Charts() {
        const qreal left = kMarginLeft, width = FWidth;
        const TRunFolder& folder = FFolder;
        Add({kChartHeight + kSectionGap, [=, &folder](QPainter& p, qreal top) {
                 PaintRunChart(p, QRectF(left, top + kSectionGap, width, kChartHeight), folder);
             }});
        if (!FResults.HasAnalyzer())
            return;
        if (!HasFitMeans(FResults)) {
            Add(Paragraph(QString::fromUtf8(kNoFitChart), Font(8)));
            return;
        }
        const TRunResults& results = FResults;
        Add({kChartHeight + kSectionGap, [=, &results](QPainter& p, qreal top) {
                 PaintFitChart(p, QRectF(left, top + kSectionGap, width, kChartHeight), results);
             }});
    }

    // The done point with the highest delivered mean that has a budget.
    const TPointResult* HighestPoint() const {
        const TPointResult* highest = nullptr;
        for (const TPointResult& point : FResults.Points) {
            if (point.Delivered && !point.Budget.empty() &&
                (!highest || point.Delivered->Mean > highest->Delivered->Mean))
                highest = &point;
        }
        return highest;
    }

    void Budgets() {
        const TPointResult* highest = HighestPoint();
        if (!highest) {
            Title(QString::fromUtf8(kBudgetTitle).arg(QString::fromUtf8(kNone), kNone));
            Add(Paragraph(QString::fromUtf8(kNoBudget), Font(8)));
            return;
        }
        if (!FAllBudgets) {
            Budget(highest, kBudgetTitle);
            return;
        }
        for (const TPointResult& point : FResults.Points) {
            if (point.Delivered && !point.Budget.empty())
                Budget(&point, kBudgetTitlePoint);
        }
    }

    void Budget(const TPointResult* point, const char* title) {
        Title(
            QString::fromUtf8(title).arg(QString::number(point->Index), DeliveredMeanText(*point)));
        double variance = 0;
        for (const TBudgetRow& row : point->Budget)
            variance += row.Contribution * row.Contribution;
        std::vector<TColumn> columns;
        const qreal widths[] = {170, 70, 70, 50, 40};
        for (int i = 0; i < 5; ++i)
            columns.push_back({QString::fromUtf8(kBudgetColumns[i]), widths[i]});
        std::vector<QStringList> rows;
        for (const TBudgetRow& row : point->Budget) {
            const double share =
                variance > 0 ? row.Contribution * row.Contribution / variance * 100 : 0;
            QString quantity = row.Quantity, unit;
            for (const TConditionText& known : kBudgetQuantities) {
                if (row.Quantity == known.Key) {
                    quantity = QString::fromUtf8(known.Label);
                    unit = " " + QString::fromUtf8(known.Unit);
                }
            }
            rows.push_back({quantity, Significant(row.StandardUncertainty, 3) + unit,
                            Significant(row.Sensitivity, 3), Significant(row.Contribution, 3),
                            Fixed(share, 1)});
        }
        const double combined = std::sqrt(variance);
        rows.push_back({QString::fromUtf8(kBudgetCombined),
                        {},
                        {},
                        Significant(combined, 3),
                        Fixed(variance > 0 ? 100.0 : 0.0, 1)});
        if (point->Delivered->Expanded) {
            rows.push_back(
                {QString::fromUtf8(kBudgetExpanded)
                     .arg(General(point->Delivered->CoverageFactor.value_or(CoverageFactor()))),
                 {},
                 {},
                 ExpandedText(*point),
                 {}});
        }
        Table(columns, rows, std::vector<bool>(rows.size(), false));
    }

    void Files() {
        Title(QString::fromUtf8(kFilesTitle));
        const TFolderHashes& h = FFolder.Hashes;
        if (!h.Chained)
            Add(Paragraph(QString::fromUtf8(kFilesUnchained), Font(8, true)));
        else if (h.BrokenLine > 0)
            Add(Paragraph(QString::fromUtf8(kFilesBroken).arg(h.BrokenLine), Font(8, true)));
        else
            Add(Paragraph(QString::fromUtf8(kFilesChained), Font(8)));
        const QStringList labels = {run::kPlanFile, run::kJournalFile, run::kRecordFile,
                                    run::kResultsFile, QString::fromUtf8(kChainEndLabel)};
        const QByteArray values[] = {h.Plan, h.Journal, h.Record, h.Results, h.ChainEnd};
        const QFont font = Font(7.5), mono = [] {
            QFont f("DejaVu Sans Mono");
            f.setPointSizeF(7.5);
            return f;
        }();
        const qreal left = kMarginLeft, row = 10.5 * kPt, label = 110 * kPt, width = FWidth;
        for (qsizetype i = 0; i < labels.size(); ++i) {
            const QString name = labels[i], value = QString::fromLatin1(values[i]);
            Add({row, [=](QPainter& p, qreal top) {
                     p.setFont(font);
                     p.drawText(QRectF(left, top, label, row), Qt::AlignLeft | Qt::AlignVCenter,
                                name);
                     p.setFont(mono);
                     p.drawText(QRectF(left + label, top, width - label, row),
                                Qt::AlignLeft | Qt::AlignVCenter, value);
                 }});
        }
        Add(Paragraph(QString::fromUtf8(kRunFolderLine).arg(FFolder.Name), Font(7.5)));
    }

    std::vector<std::vector<TPlaced>> Paginate() const {
        const qreal first = kMarginTop + kHeaderHeight;
        std::vector<std::vector<TPlaced>> pages(1);
        qreal y = first;
        for (size_t i = 0; i < FBlocks.size(); ++i) {
            const TBlock& block = FBlocks[i];
            // A title and a table's header go to the next page together
            // with the first thing they stand over.
            qreal needed = block.Height;
            for (size_t next = i; FBlocks[next].KeepWithNext && next + 1 < FBlocks.size(); ++next)
                needed += FBlocks[next + 1].Height;
            if ((y + needed > FBottom || block.NewPage) && y > first) {
                pages.emplace_back();
                y = first;
                if (block.Header >= 0) {
                    pages.back().push_back({block.Header, y});
                    y += FBlocks[block.Header].Height;
                }
            }
            pages.back().push_back({static_cast<int>(i), y});
            y += block.Height;
        }
        return pages;
    }

    QPdfWriter& FWriter;
    const TRunFolder& FFolder;
    const TRunResults& FResults;
    QString FOperator;
    bool FAllBudgets = false;
    TReportIssue FIssue;
    qreal FWidth = 0;
    qreal FBottom = 0;
    std::vector<TBlock> FBlocks;
};

}  // namespace

void WriteReportPdf(const TRunFolder& folder, const TReportOptions& options,
                    const TReportIssue& issue, const QString& path) {
    // Qt Charts draws through the widgets' graphics scene, which a
    // QCoreApplication cannot carry: say so instead of failing inside Qt.
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        throw EReportError(QString(kNeedsApplication).arg(path).toStdString());
    const TDotDecimals dots;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw EReportError(QString(kCannotWrite).arg(path, file.errorString()).toStdString());
    {
        QPdfWriter writer(&file);
        writer.setResolution(kResolution);
        writer.setPageLayout(
            QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(0, 0, 0, 0)));
        writer.setTitle(QString::fromUtf8(kTitle) + " " + issue.Number);
        writer.setCreator("vapcal-report " + folder.Results.Console);
        writer.setDocumentXmpMetadata(HashesXmp(issue.Number, folder.Hashes));
        TReportLayout layout(writer, folder, options, issue);
        layout.Build();
        QPainter painter(&writer);
        layout.Paint(painter);
    }
    if (!file.commit())
        throw EReportError(QString(kCannotWrite).arg(path, file.errorString()).toStdString());
}

}  // namespace report
