#include "report/procedure.h"

#include "report/messages.h"
#include "report/printed.h"
#include "run/procedure.h"

#include <QChart>
#include <QFontMetricsF>
#include <QGraphicsScene>
#include <QJsonArray>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPainter>
#include <QScatterSeries>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

namespace report {

namespace {

const QColor kRuleColour(150, 150, 150);
const QColor kShadeColour(236, 239, 244);
const QColor kFailColour(180, 0, 0);

// The residual chart is laid out in a scene of its own in units of
// 1/kSceneScale point and drawn scaled onto the page, as the report's other
// charts are.
constexpr qreal kSceneScale = 2.5;

QFont Font(qreal points, bool bold = false) {
    QFont font("DejaVu Sans");
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

QFont PixelFont(qreal points, bool bold = false) {
    QFont font("DejaVu Sans");
    font.setPixelSize(qRound(points * kSceneScale));
    font.setBold(bold);
    return font;
}

QString Text(const char* text) {
    return QString::fromUtf8(text);
}

// A level's name as the report shows it: the EN levels' percent of the
// range with its sign.
QString LevelName(const QJsonValue& level) {
    return level.isDouble() ? General(level.toDouble()) + " %" : level.toString();
}

QString Number(const QJsonValue& value, int decimals) {
    return value.isDouble() ? Fixed(value.toDouble(), decimals) : Text(kNone);
}

class TSection {
  public:
    TSection(const TRunFolder& folder, QPaintDevice& device, qreal left, qreal width, qreal pt)
        : FFolder(folder),
          FProcedure(folder.Results.Procedure),
          FDevice(device),
          FLeft(left),
          FWidth(width),
          FPt(pt) {}

    std::vector<TProcedurePiece> Build() {
        const QString name = FProcedure.value("name").toString();
        const run::TProcedureRule* rule = run::ProcedureRuleNamed(name.toStdString());
        if (!rule)
            return {};
        FRule = rule;
        FFactor = FProcedure.value("basis").toString() == "0C" ? run::BasisFactor(run::ab0C) : 1;
        Title(QString::fromUtf8(kProcedureTitle).arg(Text(rule->Title), name));
        FPieces.back().NewPage = true;
        Paragraph(Text(rule->Rule), Font(8));
        QString key = rule->SpanKey;
        key[0] = key[0].toUpper();
        Paragraph(QString::fromUtf8(kProcedureSpan)
                      .arg(key, General(FProcedure.value(rule->SpanKey).toDouble()),
                           Text(FFactor == 1 ? kProcedureBasis20C : kProcedureBasis0C)),
                  Font(8));
        Paragraph(Text(kProcedureDryGas), Font(8));
        LevelTable();
        if (name == "en14181-linearity") {
            Line();
            ResidualChart();
        }
        Verdict();
        return std::move(FPieces);
    }

  private:
    void Add(qreal height, std::function<void(QPainter&, qreal)> paint, bool keep = false) {
        FPieces.push_back({height, std::move(paint), keep});
    }

    void Paragraph(const QString& text, const QFont& font, const QColor& colour = Qt::black) {
        const QFontMetricsF metrics(font, &FDevice);
        const qreal left = FLeft, width = FWidth;
        const qreal height =
            metrics.boundingRect(QRectF(0, 0, width, 1e7), Qt::TextWordWrap, text).height();
        Add(height + 3 * FPt, [=](QPainter& p, qreal top) {
            p.setFont(font);
            p.setPen(colour);
            p.drawText(QRectF(left, top, width, height), Qt::TextWordWrap, text);
            p.setPen(Qt::black);
        });
    }

    void Title(const QString& text) {
        const QFont font = Font(10.5, true);
        const QFontMetricsF metrics(font, &FDevice);
        const qreal gap = 10 * FPt, left = FLeft, width = FWidth;
        const qreal height =
            metrics.boundingRect(QRectF(0, 0, width, 1e7), Qt::TextWordWrap, text).height();
        Add(
            gap + height + 5 * FPt,
            [=](QPainter& p, qreal top) {
                p.setFont(font);
                p.drawText(QRectF(left, top + gap, width, height), Qt::TextWordWrap, text);
            },
            true);
    }

    // The injection behind a point index, when results.json holds it.
    const TPointResult* Point(int index) const {
        for (const TPointResult& point : FFolder.Results.Points)
            if (point.Index == index)
                return &point;
        return nullptr;
    }

    // Why an injection does not count: its status, or no reading over a
    // dwell it did finish; empty for one that counts.
    static QString InjectionFault(const TPointResult* point) {
        if (!point)
            return Text(kNone);
        if (point->Status != "done")
            return point->Status;
        if (!point->Delivered || !point->Analyzer)
            return Text(kProcedureNoReading);
        return {};
    }

    QString LimitText(const QJsonObject& level) const {
        const QString limit = General(level.value("limit").toDouble());
        if (level.value("alternative").isDouble())
            return QString::fromUtf8(kProcedureLimitOr)
                .arg(limit, General(level.value("alternative").toDouble()));
        return QString::fromUtf8(kProcedureLimit).arg(limit);
    }

    QString ErrorText(const QJsonObject& level) const {
        const QString error = Number(level.value("error"), 2);
        if (FRule->Kind != run::pkEn14181Linearity || !level.value("error").isDouble())
            return error;
        const double range = FProcedure.value("range").toDouble();
        return QString::fromUtf8(kProcedureResidual)
            .arg(error, Fixed(level.value("error").toDouble() * range / 100, 3));
    }

    // Each level: its injections, one row each, then its means and verdict.
    void LevelTable() {
        const qreal weights[] = {34, 26, 84, 62, 48, 88, 58, 48, 36};
        std::vector<qreal> widths;
        qreal total = 0;
        for (const qreal w : weights)
            total += w;
        for (const qreal w : weights)
            widths.push_back(w / total * FWidth);
        const qreal left = FLeft, width = FWidth, pt = FPt;
        const qreal header = 20 * pt, row = 11 * pt;
        const QFont font = Font(7), bold = Font(7, true);
        QStringList titles;
        for (const char* title : kProcedureColumns)
            titles << Text(title);
        // Every level of one procedure has the one unit.
        titles[5] += "\n" + QString::fromUtf8(FRule->ErrorUnit);
        Add(
            header + 3 * pt,
            [=](QPainter& p, qreal top) {
                p.setFont(bold);
                qreal x = left;
                for (std::size_t i = 0; i < widths.size(); ++i) {
                    p.drawText(QRectF(x, top, widths[i] - 2 * pt, header),
                               (i == 0 ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignBottom,
                               titles[static_cast<qsizetype>(i)]);
                    x += widths[i];
                }
                p.setPen(QPen(kRuleColour, 0.6 * pt));
                p.drawLine(QPointF(left, top + header + pt),
                           QPointF(left + width, top + header + pt));
                p.setPen(Qt::black);
            },
            true);
        bool shaded = false;
        for (const QJsonValue& value : FProcedure.value("levels").toArray()) {
            const QJsonObject level = value.toObject();
            const QString name = LevelName(level.value("level"));
            bool first = true;
            for (const QJsonValue& index : level.value("injections").toArray()) {
                const TPointResult* point = Point(index.toInt());
                QString reference = Text(kNone), response = Text(kNone), started = Text(kNone);
                if (point && point->Delivered) {
                    const int d = std::max(ConcentrationDecimals(*point), 2);
                    reference = Fixed(point->Delivered->Mean * FFactor, d);
                    if (point->Delivered->Expanded)
                        reference += QString::fromUtf8(" \u00B1 ") +
                                     Fixed(*point->Delivered->Expanded * FFactor, d);
                }
                if (point && point->Analyzer)
                    response = Fixed(point->Analyzer->Mean, 3);
                if (point && point->DwellStarted.isValid())
                    started = point->DwellStarted.toString("yyyy-MM-dd HH:mm:ss");
                Row({first ? name : QString(),
                     index.toVariant().toString(),
                     started,
                     reference,
                     response,
                     InjectionFault(point),
                     {},
                     {},
                     {}},
                    shaded, false, widths, font, bold, row);
                first = false;
            }
            const bool pass = level.value("pass").toBool();
            Row({first ? name : QString(),
                 Text(kProcedureMean),
                 {},
                 Number(level.value("reference"), 3),
                 Number(level.value("response"), 3),
                 ErrorText(level),
                 LimitText(level),
                 level.value("decidedBy").toString(),
                 Text(pass ? kPass : kFail)},
                shaded, !pass, widths, font, bold, row);
            shaded = !shaded;
        }
    }

    void Row(const QStringList& cells, bool shaded, bool red, const std::vector<qreal>& widths,
             const QFont& font, const QFont& bold, qreal height) {
        const qreal left = FLeft, width = FWidth, pt = FPt;
        const bool mean = cells[1] == Text(kProcedureMean);
        Add(height, [=](QPainter& p, qreal top) {
            if (shaded)
                p.fillRect(QRectF(left, top, width, height), kShadeColour);
            qreal x = left;
            for (qsizetype i = 0; i < cells.size(); ++i) {
                const bool verdict = i == cells.size() - 1;
                p.setFont(mean && (verdict || i == 0) ? bold : font);
                p.setPen(verdict && red ? kFailColour : QColor(Qt::black));
                p.drawText(QRectF(x, top, widths[i] - 2 * pt, height),
                           (i == 0 ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter, cells[i]);
                x += widths[i];
            }
            p.setPen(Qt::black);
        });
    }

    void Line() {
        const QJsonValue line = FProcedure.value("regression");
        if (!line.isObject()) {
            Paragraph(Text(kProcedureNoLine), Font(8));
            return;
        }
        Paragraph(QString::fromUtf8(kProcedureLine)
                      .arg(Significant(line["intercept"].toDouble(), 6),
                           Significant(line["slope"].toDouble(), 6),
                           Significant(line["r2"].toDouble(), 6)),
                  Font(8));
    }

    // Each level's residual in % of the range at its reference, between
    // the limit's two lines.
    void ResidualChart() {
        QList<QPointF> residuals;
        double limit = 0, low = 0, high = 0, most = 0;
        for (const QJsonValue& value : FProcedure.value("levels").toArray()) {
            const QJsonObject level = value.toObject();
            limit = level.value("limit").toDouble();
            if (!level.value("error").isDouble() || !level.value("reference").isDouble())
                continue;
            const double x = level.value("reference").toDouble();
            const double y = level.value("error").toDouble();
            residuals.append({x, y});
            high = std::max(high, x);
            most = std::max(most, std::fabs(y));
        }
        high = std::max(high, FProcedure.value("range").toDouble());
        const double extent = std::max(limit, most) * 1.25 + 0.5;
        const qreal left = FLeft, width = FWidth, height = 200 * FPt, gap = 8 * FPt;
        Add(height + gap, [=](QPainter& p, qreal top) {
            auto* chart = new QChart;
            chart->setAnimationOptions(QChart::NoAnimation);
            chart->setBackgroundRoundness(0);
            chart->setTitle(Text(kResidualChartTitle));
            chart->setTitleFont(PixelFont(8, true));
            chart->legend()->setFont(PixelFont(7));
            chart->legend()->setAlignment(Qt::AlignBottom);
            chart->setMargins(QMargins(4, 4, 4, 4));
            const auto axis = [chart](const char* title, Qt::Alignment side, double from,
                                      double to) {
                auto* a = new QValueAxis(chart);
                a->setTitleText(Text(title));
                a->setTitleFont(PixelFont(7));
                a->setLabelsFont(PixelFont(7));
                a->setRange(from, to);
                a->applyNiceNumbers();
                chart->addAxis(a, side);
                return a;
            };
            QValueAxis* x = axis(kAxisReference, Qt::AlignBottom, low, high * 1.05);
            QValueAxis* y = axis(kAxisResidual, Qt::AlignLeft, -extent, extent);
            const auto attach = [&](QAbstractSeries* series, bool legend) {
                chart->addSeries(series);
                series->attachAxis(x);
                series->attachAxis(y);
                for (QLegendMarker* marker : chart->legend()->markers(series))
                    marker->setVisible(legend);
            };
            for (const double sign : {1.0, -1.0}) {
                auto* line = new QLineSeries(chart);
                line->setName(QString::fromUtf8(kSeriesResidualLimit).arg(General(limit)));
                line->append({{x->min(), sign * limit}, {x->max(), sign * limit}});
                line->setPen(QPen(kFailColour, 0.6 * kSceneScale, Qt::DashLine));
                attach(line, sign > 0);
            }
            auto* zero = new QLineSeries(chart);
            zero->append({{x->min(), 0}, {x->max(), 0}});
            zero->setPen(QPen(Qt::gray, 0.5 * kSceneScale));
            attach(zero, false);
            auto* dots = new QScatterSeries(chart);
            dots->setName(Text(kSeriesResidual));
            dots->setMarkerSize(4.5 * kSceneScale);
            dots->setColor(QColor(20, 60, 200));
            dots->setBorderColor(QColor(20, 60, 200));
            dots->append(residuals);
            attach(dots, true);

            const QRectF target(left, top + gap, width, height);
            QGraphicsScene scene;
            scene.addItem(chart);  // the scene owns and frees the chart
            const QRectF area(0, 0, target.width() * kSceneScale / p.device()->logicalDpiX() * 72,
                              target.height() * kSceneScale / p.device()->logicalDpiY() * 72);
            chart->setGeometry(area);
            scene.setSceneRect(area);
            scene.render(&p, target, area);
        });
    }

    // The test's verdict, naming each level that failed or is incomplete
    // and why.
    void Verdict() {
        QStringList failures;
        for (const QJsonValue& value : FProcedure.value("levels").toArray()) {
            const QJsonObject level = value.toObject();
            const QString name = LevelName(level.value("level"));
            if (level.value("decidedBy").toString() == "incomplete") {
                QStringList why;
                for (const QJsonValue& index : level.value("injections").toArray()) {
                    const QString fault = InjectionFault(Point(index.toInt()));
                    if (!fault.isEmpty())
                        why << QString::fromUtf8(kProcedureInjection).arg(index.toInt()).arg(fault);
                }
                failures << QString::fromUtf8(kProcedureLevelIncomplete).arg(name, why.join(", "));
            } else if (!level.value("pass").toBool()) {
                failures << QString::fromUtf8(kProcedureLevelFails).arg(name);
            }
        }
        const QString title = Text(FRule->Title);
        if (FProcedure.value("pass").toBool())
            Paragraph(QString::fromUtf8(kProcedurePass).arg(title), Font(9, true));
        else
            Paragraph(QString::fromUtf8(kProcedureFail).arg(title, failures.join("; ")),
                      Font(9, true), kFailColour);
    }

    const TRunFolder& FFolder;
    const QJsonObject& FProcedure;
    QPaintDevice& FDevice;
    qreal FLeft;
    qreal FWidth;
    qreal FPt;
    const run::TProcedureRule* FRule = nullptr;
    double FFactor = 1;
    std::vector<TProcedurePiece> FPieces;
};

}  // namespace

const run::TProcedureRule* ProcedureOf(const TRunResults& results) {
    return run::ProcedureRuleNamed(results.Procedure.value("name").toString().toStdString());
}

std::vector<TProcedurePiece> ProcedureSection(const TRunFolder& folder, QPaintDevice& device,
                                              qreal left, qreal width, qreal pt) {
    return TSection(folder, device, left, width, pt).Build();
}

}  // namespace report
