#include "panels/lednumber.h"

#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace panels {

namespace {

constexpr int kMinSize = 2;
constexpr int kMaxSize = 10;

// Coordinates in cell units, x to the right, y downwards.
const std::array<TLedSegment, kLedSegmentCount> kSegments = {{
    {{{2, 2}, {3, 1}, {9, 1}, {10, 2}, {9, 3}, {3, 3}}},             // 1 top bar
    {{{2, 3}, {3, 4}, {3, 8}, {2, 9}, {1, 8}, {1, 4}}},              // 2 upper left
    {{{3, 3}, {5, 6}, {5, 9}, {3, 6}, {3, 6}, {3, 6}}},              // 3 upper left diagonal
    {{{6, 3}, {7, 4}, {7, 8}, {6, 9}, {5, 8}, {5, 4}}},              // 4 upper centre
    {{{9, 3}, {9, 6}, {7, 9}, {7, 6}, {7, 6}, {7, 6}}},              // 5 upper right diagonal
    {{{10, 3}, {11, 4}, {11, 8}, {10, 9}, {9, 8}, {9, 4}}},          // 6 upper right
    {{{2, 10}, {3, 9}, {5, 9}, {6, 10}, {5, 11}, {3, 11}}},          // 7 middle left bar
    {{{6, 10}, {7, 9}, {9, 9}, {10, 10}, {9, 11}, {7, 11}}},         // 8 middle right bar
    {{{2, 11}, {3, 12}, {3, 16}, {2, 17}, {1, 16}, {1, 12}}},        // 9 lower left
    {{{5, 11}, {5, 14}, {3, 17}, {3, 14}, {3, 14}, {3, 14}}},        // 10 lower left diagonal
    {{{6, 11}, {7, 12}, {7, 16}, {6, 17}, {5, 16}, {5, 12}}},        // 11 lower centre
    {{{7, 11}, {9, 14}, {9, 17}, {7, 14}, {7, 14}, {7, 14}}},        // 12 lower right diagonal
    {{{10, 11}, {11, 12}, {11, 16}, {10, 17}, {9, 16}, {9, 12}}},    // 13 lower right
    {{{2, 18}, {3, 17}, {9, 17}, {10, 18}, {9, 19}, {3, 19}}},       // 14 bottom bar
    {{{11, 17}, {13, 17}, {13, 19}, {11, 19}, {11, 19}, {11, 19}}},  // 15 decimal point
}};

constexpr std::array<std::uint16_t, 10> kDigitMasks = {0xCCCC, 0x1020, 0x8784, 0x870C, 0x4708,
                                                       0xC30C, 0xC38C, 0x8408, 0xC78C, 0xC70C};
constexpr std::uint16_t kMinusMask = 0x0300;
constexpr std::uint16_t kPointMask = 0x0002;
// The letters of the overflow mark: O (the outer ring, no slash), F, L.
constexpr std::uint16_t kLetterOMask = 0xC48C;
constexpr std::uint16_t kLetterFMask = 0xC280;
constexpr std::uint16_t kLetterLMask = 0x4084;

bool IsDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Characters that light segments; every other one is a blank cell.
bool IsLedCharacter(QChar c) {
    return IsDigit(c) || c == QLatin1Char('-') || c == QLatin1Char('.') || c == QLatin1Char('O') ||
           c == QLatin1Char('F') || c == QLatin1Char('L');
}

bool SameColor(const QColor& a, const QColor& b) {
    return a.rgba() == b.rgba();
}

constexpr qint64 kMaxWidgetExtent = QWIDGETSIZE_MAX;

int ClampExtent(qint64 value) {
    return static_cast<int>(std::clamp<qint64>(value, 0, kMaxWidgetExtent));
}

}  // namespace

const TLedSegment& LedSegment(int n) {
    return kSegments.at(static_cast<std::size_t>(n - 1));
}

std::uint16_t LedMask(QChar c) {
    if (IsDigit(c)) {
        return kDigitMasks[c.unicode() - '0'];
    }
    if (c == QLatin1Char('-')) {
        return kMinusMask;
    }
    if (c == QLatin1Char('.')) {
        return kPointMask;
    }
    if (c == QLatin1Char('O')) {
        return kLetterOMask;
    }
    if (c == QLatin1Char('F')) {
        return kLetterFMask;
    }
    if (c == QLatin1Char('L')) {
        return kLetterLMask;
    }
    return 0;
}

// Walks the cells of the display in the order the caption fills them. Cells
// wholly outside the painted area are counted but not drawn, so a display of
// any number of columns paints in time proportional to what can be seen.
class TLedNumber::TCellPainter {
  public:
    TCellPainter(const TLedNumber& led, QPainter& painter, QSize area)
        : FLed(led),
          FPainter(painter),
          FArea(area),
          FUnit(led.FSize - 1),
          FCellWidth(kLedCellWidth * FUnit),
          FRowHeight(kLedCellHeight * FUnit),
          FX(led.FSize) {}

    qint64 Column() const { return FColumn; }
    qint64 X() const { return FX; }
    bool AtRowStart() const { return FX == FLed.FSize; }

    // Draws one cell at the current position and steps past it.
    void Next(std::uint16_t mask, bool countsColumn = true) {
        Draw(FX, mask);
        FX += FCellWidth;
        if (countsColumn) {
            ++FColumn;
        }
    }

    // Redraws the cell just passed with another pattern.
    void RedrawPrevious(std::uint16_t mask) { Draw(FX - FCellWidth, mask); }

    // Blank cells that do not count as columns (the right alignment).
    void Pad(qint64 count) {
        const qint64 visible = VisibleCells(count);
        for (qint64 i = 0; i < visible; ++i) {
            Draw(FX + i * FCellWidth, 0);
        }
        FX += count * FCellWidth;
    }

    // Blank cells up to the last column of the row.
    void BlankToRowEnd() {
        const qint64 count = std::max<qint64>(0, FLed.FColumns - FColumn);
        Pad(count);
        FColumn += count;
    }

    // Moves to the start of the next row; false past the last row.
    bool NextRow() {
        if (FRow >= FLed.FRows) {
            return false;
        }
        ++FRow;
        FY += FRowHeight;
        FX = FLed.FSize;
        FColumn = 0;
        return true;
    }

    // Blank rows below the current one, as far as they can be seen.
    void BlankRemainingRows() {
        while (FRow < FLed.FRows && FY + FRowHeight < FArea.height()) {
            NextRow();
            BlankToRowEnd();
        }
    }

  private:
    qint64 VisibleCells(qint64 count) const {
        if (FY >= FArea.height()) {
            return 0;
        }
        const qint64 room = FArea.width() - FX;
        if (room <= 0) {
            return 0;
        }
        return std::min(count, room / FCellWidth + 1);
    }

    // Cells past the last column of the grid (the blanks after a
    // right-aligned caption, a character after a point of its own) would only
    // show as slivers at the right edge; the row ends with its last cell.
    void Draw(qint64 x, std::uint16_t mask) {
        const qint64 rowEnd = FLed.FSize + FLed.FColumns * FCellWidth;
        if (x >= rowEnd || x >= FArea.width() || FY >= FArea.height() || x + 2 * FCellWidth < 0) {
            return;
        }
        for (int n = 1; n <= kLedSegmentCount; ++n) {
            const bool lit = LedSegmentLit(mask, n);
            if (n == kLedPointSegment && !lit) {
                continue;
            }
            const QColor& color = lit ? FLed.FOnColor : FLed.FOffColor;
            if (SameColor(color, FLed.FBgColor)) {
                continue;
            }
            QPoint points[6];
            const TLedSegment& segment = LedSegment(n);
            for (std::size_t i = 0; i < segment.size(); ++i) {
                points[i] = QPoint(static_cast<int>(x) + segment[i].x() * FUnit,
                                   static_cast<int>(FY) + segment[i].y() * FUnit);
            }
            FPainter.setBrush(color);
            FPainter.drawPolygon(points, 6);
        }
    }

    const TLedNumber& FLed;
    QPainter& FPainter;
    QSize FArea;
    int FUnit;
    qint64 FCellWidth;
    qint64 FRowHeight;
    qint64 FX;
    qint64 FY = 0;
    qint64 FRow = 1;
    qint64 FColumn = 0;
};

TLedNumber::TLedNumber(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    FLabel = new QLabel(parent);
    resize(CellsSize());
    PlaceLabel();
}

TLedNumber::~TLedNumber() {
    delete FLabel.data();
}

void TLedNumber::SetCaption(const QString& value) {
    FCaption = value;
    update();
}

void TLedNumber::SetColumns(int value) {
    if (value == FColumns) {
        return;
    }
    FColumns = std::max(1, value);
    ApplySizeRule();
    update();
}

void TLedNumber::SetRows(int value) {
    if (value == FRows) {
        return;
    }
    FRows = std::max(1, value);
    ApplySizeRule();
    update();
}

void TLedNumber::SetSize(int value) {
    if (value == FSize) {
        return;
    }
    FSize = std::clamp(value, kMinSize, kMaxSize);
    ApplySizeRule();
    update();
}

void TLedNumber::SetBgColor(const QColor& value) {
    if (value == FBgColor) {
        return;
    }
    FBgColor = value;
    update();
}

void TLedNumber::SetOffColor(const QColor& value) {
    if (value == FOffColor) {
        return;
    }
    FOffColor = value;
    update();
}

void TLedNumber::SetOnColor(const QColor& value) {
    if (value == FOnColor) {
        return;
    }
    FOnColor = value;
    update();
}

void TLedNumber::SetLabelPosition(TLabelPosition value) {
    FLabelPosition = value;
    PlaceLabel();
}

void TLedNumber::SetLabelSpacing(int value) {
    FLabelSpacing = value;
    PlaceLabel();
}

void TLedNumber::SetBevelKind(TBevelKind value) {
    if (value == FBevelKind) {
        return;
    }
    FBevelKind = value;
    ApplySizeRule();
    update();
}

void TLedNumber::SetBevelInner(TBevelCut value) {
    if (value == FBevelInner) {
        return;
    }
    FBevelInner = value;
    update();
}

void TLedNumber::SetBevelOuter(TBevelCut value) {
    if (value == FBevelOuter) {
        return;
    }
    FBevelOuter = value;
    update();
}

void TLedNumber::SetBevelEdges(unsigned value) {
    value &= kAllBevelEdges;
    if (value == FBevelEdges) {
        return;
    }
    FBevelEdges = value;
    update();
}

void TLedNumber::SetBevelWidth(int value) {
    value = std::max(1, value);
    if (value == FBevelWidth) {
        return;
    }
    FBevelWidth = value;
    update();
}

// Without a bevel the cells and a margin of Size pixels at each side; with a
// bevel the two smallest scales keep the fixed sizes the framed display was
// laid out with.
bool TLedNumber::ShowsWhole(const QString& caption) const {
    qint64 cells = 0;
    QChar previous;
    for (const QChar c : caption) {
        if (!IsLedCharacter(c)) {
            return false;
        }
        const bool sharedPoint =
            c == QLatin1Char('.') && !previous.isNull() && previous != QLatin1Char('.');
        if (!sharedPoint) {
            ++cells;
        }
        previous = c;
    }
    return cells <= static_cast<qint64>(FColumns) * FRows;
}

QSize TLedNumber::CellsSize() const {
    const qint64 columns = FColumns;
    const qint64 rows = FRows;
    if (FBevelKind != bkNone && FSize == 2) {
        return {ClampExtent(4 * FSize + columns * 12), ClampExtent(rows * 25)};
    }
    if (FBevelKind != bkNone && FSize == 3) {
        return {ClampExtent(4 * FSize + columns * 24), ClampExtent(rows * 44)};
    }
    const qint64 unit = FSize - 1;
    return {ClampExtent(columns * kLedCellWidth * unit + 2 * FSize),
            ClampExtent(rows * kLedCellHeight * unit)};
}

void TLedNumber::ApplySizeRule() {
    FSizeRulePending = false;
    const QSize wanted = CellsSize();
    if (size() != wanted) {
        resize(wanted);
    }
}

// A resize from inside a paint would disturb the paint in progress; the rule
// runs as soon as the paint has returned.
void TLedNumber::ApplySizeRuleLater() {
    if (FSizeRulePending || size() == CellsSize()) {
        return;
    }
    FSizeRulePending = true;
    QMetaObject::invokeMethod(this, &TLedNumber::ApplySizeRule, Qt::QueuedConnection);
}

QMargins TLedNumber::BevelMargins() const {
    if (FBevelKind == bkNone) {
        return {};
    }
    const int edge =
        (FBevelInner != bvNone ? FBevelWidth : 0) + (FBevelOuter != bvNone ? FBevelWidth : 0);
    return {(FBevelEdges & beLeft) ? edge : 0, (FBevelEdges & beTop) ? edge : 0,
            (FBevelEdges & beRight) ? edge : 0, (FBevelEdges & beBottom) ? edge : 0};
}

// The outer ring first, then the inner one inside it, each BevelWidth pixels
// thick: a raised cut is light at the top left and dark at the bottom right,
// a lowered cut the other way round; a flat bevel is one dark line.
void TLedNumber::DrawBevel(QPainter& painter) const {
    if (FBevelKind == bkNone) {
        return;
    }
    const QPalette& pal = palette();
    QRect ring = rect();
    auto drawRing = [&](TBevelCut cut, bool outer) {
        if (cut == bvNone) {
            return;
        }
        QColor topLeft = pal.color(QPalette::Button), bottomRight = topLeft;
        if (FBevelKind == bkFlat) {
            topLeft = bottomRight = outer ? pal.color(QPalette::Dark) : pal.color(QPalette::Button);
        } else if (cut == bvRaised) {
            topLeft = outer ? pal.color(QPalette::Midlight) : pal.color(QPalette::Light);
            bottomRight = outer ? pal.color(QPalette::Shadow) : pal.color(QPalette::Dark);
        } else if (cut == bvLowered) {
            topLeft = outer ? pal.color(QPalette::Dark) : pal.color(QPalette::Shadow);
            bottomRight = outer ? pal.color(QPalette::Light) : pal.color(QPalette::Midlight);
        }
        for (int i = 0; i < FBevelWidth; ++i) {
            if (FBevelEdges & beTop) {
                painter.fillRect(ring.left(), ring.top(), ring.width(), 1, topLeft);
            }
            if (FBevelEdges & beLeft) {
                painter.fillRect(ring.left(), ring.top(), 1, ring.height(), topLeft);
            }
            if (FBevelEdges & beBottom) {
                painter.fillRect(ring.left(), ring.bottom(), ring.width(), 1, bottomRight);
            }
            if (FBevelEdges & beRight) {
                painter.fillRect(ring.right(), ring.top(), 1, ring.height(), bottomRight);
            }
            ring.adjust((FBevelEdges & beLeft) ? 1 : 0, (FBevelEdges & beTop) ? 1 : 0,
                        (FBevelEdges & beRight) ? -1 : 0, (FBevelEdges & beBottom) ? -1 : 0);
        }
    };
    drawRing(FBevelOuter, true);
    drawRing(FBevelInner, false);
}

// Right-aligns the caption in the first row, fills the cells in caption order
// and leaves the cells after it unlit. A "." lights the point of the cell
// before it; a second "." in a row gets a cell of its own.
bool TLedNumber::PaintCells(QPainter& painter) const {
    const QRect client = rect().marginsRemoved(BevelMargins());
    painter.fillRect(client, FBgColor);
    painter.translate(client.topLeft());
    painter.setClipRect(QRect(QPoint(0, 0), client.size()));
    painter.setPen(Qt::NoPen);

    QString text = FCaption;
    if (text.startsWith(QLatin1Char('.'))) {
        text.prepend(QLatin1Char(' '));
    }
    const qint64 n = text.size() - (FCaption.contains(QLatin1Char('.')) ? 1 : 0);

    TCellPainter cells(*this, painter, client.size());
    if (FColumns - n > 0) {
        cells.Pad(FColumns - n);
    }
    QChar previous;
    for (const QChar c : text) {
        if (c == QLatin1Char('\n')) {
            continue;
        }
        if (c == QLatin1Char('\r')) {
            cells.BlankToRowEnd();
            if (!cells.NextRow()) {
                return false;
            }
            previous = c;
            continue;
        }
        // A point after a character belongs to that character's cell, which
        // is already on this row; only a point with no cell before it on the
        // row needs one of its own.
        const bool sharedPoint = c == QLatin1Char('.') && previous != QLatin1Char('.') &&
                                 !previous.isNull() && !cells.AtRowStart();
        if (!sharedPoint && cells.Column() >= FColumns && !cells.NextRow()) {
            return false;
        }
        if (sharedPoint) {
            cells.RedrawPrevious(LedMask(previous) | kPointMask);
        } else if (c == QLatin1Char('.')) {
            cells.Next(kPointMask, false);
        } else {
            cells.Next(IsLedCharacter(c) ? LedMask(c) : 0);
        }
        previous = c;
    }
    cells.BlankToRowEnd();
    cells.BlankRemainingRows();
    return true;
}

void TLedNumber::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    DrawBevel(painter);
    if (PaintCells(painter)) {
        ApplySizeRuleLater();
    }
}

void TLedNumber::PlaceLabel() {
    if (!FLabel) {
        return;
    }
    FLabel->adjustSize();
    const QRect r = geometry();
    const QSize label = FLabel->size();
    switch (FLabelPosition) {
        case lpAbove:
            FLabel->move(r.left(), r.top() - label.height() - FLabelSpacing);
            break;
        case lpBelow:
            FLabel->move(r.left(), r.top() + r.height() + FLabelSpacing);
            break;
        case lpLeft:
            FLabel->move(r.left() - label.width() - FLabelSpacing,
                         r.top() + (r.height() - label.height()) / 2);
            break;
        case lpRight:
            FLabel->move(r.left() + r.width() + FLabelSpacing,
                         r.top() + (r.height() - label.height()) / 2);
            break;
    }
}

void TLedNumber::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    PlaceLabel();
}

void TLedNumber::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    PlaceLabel();
}

// The label is a sibling of the display: it shows and hides with it, but only
// inside a parent; a label without one would become a window of its own.
void TLedNumber::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (FLabel && FLabel->parentWidget()) {
        FLabel->show();
    }
}

void TLedNumber::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (FLabel) {
        FLabel->hide();
    }
}

void TLedNumber::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ParentChange) {
        AdoptParentForLabel();
    }
}

void TLedNumber::AdoptParentForLabel() {
    if (!FLabel || FLabel->parentWidget() == parentWidget()) {
        return;
    }
    FLabel->setParent(parentWidget());
    PlaceLabel();
    if (parentWidget() && isVisible()) {
        FLabel->show();
    }
}

void TLedNumber::mousePressEvent(QMouseEvent* event) {
    FPressed = event->button() == Qt::LeftButton;
    QWidget::mousePressEvent(event);
}

void TLedNumber::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = FPressed && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    FPressed = false;
    QWidget::mouseReleaseEvent(event);
    if (click) {
        DoClick();
    }
}

void TLedNumber::mouseDoubleClickEvent(QMouseEvent* event) {
    FPressed = false;
    QWidget::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton) {
        DoDblClick();
    }
}

void TLedNumber::DoClick() {
    if (OnClick) {
        OnClick(this);
    }
}

void TLedNumber::DoDblClick() {
    if (OnDblClick) {
        OnDblClick(this);
    }
}

}  // namespace panels
