// TLedNumber: a caption drawn as LED-style character cells, fifteen vector
// segments each. The instrument panels show their readings on one four cells
// wide. Digits, "-" and "." light their segments, and so do "O", "F" and "L"
// for the panels' overflow mark; every other character is an unlit cell. A
// "." shares the cell of the character before it.
#pragma once

#include <QColor>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>

#include "panels/notify.h"

class QLabel;
class QPainter;

namespace panels {

enum TLabelPosition { lpAbove, lpBelow, lpLeft, lpRight };

// The frame drawn around a control inside its bounds.
enum TBevelKind { bkNone, bkTile, bkSoft, bkFlat };
enum TBevelCut { bvNone, bvLowered, bvRaised, bvSpace };
enum TBevelEdge : unsigned { beLeft = 1, beTop = 2, beRight = 4, beBottom = 8 };
constexpr unsigned kAllBevelEdges = beLeft | beTop | beRight | beBottom;

// One segment: up to six points in cell units; shorter shapes repeat their
// last point.
using TLedSegment = std::array<QPoint, 6>;

// Cell geometry in units; a unit is (Size - 1) pixels.
constexpr int kLedCellWidth = 12;
constexpr int kLedCellHeight = 21;
constexpr int kLedSegmentCount = 15;
constexpr int kLedPointSegment = 15;

// Segment n (1-based) of a cell.
const TLedSegment& LedSegment(int n);

// The lit segments of a character: segment n is bit (16 - n).
std::uint16_t LedMask(QChar c);

// Whether segment n (1-based) is lit in a mask.
constexpr bool LedSegmentLit(std::uint16_t mask, int n) {
    return (mask >> (16 - n)) & 1u;
}

class TLedNumber : public QWidget {
    Q_OBJECT

  public:
    explicit TLedNumber(QWidget* parent = nullptr);
    ~TLedNumber() override;

    QString Caption() const { return FCaption; }
    void SetCaption(const QString& value);

    int Columns() const { return FColumns; }
    void SetColumns(int value);
    int Rows() const { return FRows; }
    void SetRows(int value);
    int Size() const { return FSize; }
    void SetSize(int value);

    QColor BgColor() const { return FBgColor; }
    void SetBgColor(const QColor& value);
    QColor OffColor() const { return FOffColor; }
    void SetOffColor(const QColor& value);
    QColor OnColor() const { return FOnColor; }
    void SetOnColor(const QColor& value);

    TLabelPosition LabelPosition() const { return FLabelPosition; }
    void SetLabelPosition(TLabelPosition value);
    int LabelSpacing() const { return FLabelSpacing; }
    void SetLabelSpacing(int value);
    // The attached caption label; null once something else destroyed it.
    QLabel* LEDLabel() const { return FLabel; }

    TBevelKind BevelKind() const { return FBevelKind; }
    void SetBevelKind(TBevelKind value);
    TBevelCut BevelInner() const { return FBevelInner; }
    void SetBevelInner(TBevelCut value);
    TBevelCut BevelOuter() const { return FBevelOuter; }
    void SetBevelOuter(TBevelCut value);
    unsigned BevelEdges() const { return FBevelEdges; }
    void SetBevelEdges(unsigned value);
    int BevelWidth() const { return FBevelWidth; }
    void SetBevelWidth(int value);

    int Tag = 0;
    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;

    // The size the cells need: the rule the display keeps itself to.
    QSize CellsSize() const;

    // Whether `caption` fits the cells whole: every character lights
    // segments and it needs no more cells than there are.
    bool ShowsWhole(const QString& caption) const;

    // Places the label by LabelPosition and LabelSpacing beside the display,
    // sizing it to its text first.
    void PlaceLabel();

  protected:
    virtual void DoClick();
    virtual void DoDblClick();

    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    class TCellPainter;

    void ApplySizeRule();
    void ApplySizeRuleLater();
    // Width of the bevel on each side, as the frame takes it from the bounds.
    QMargins BevelMargins() const;
    void DrawBevel(QPainter& painter) const;
    // Paints the cells; false when the text ran past the last row.
    bool PaintCells(QPainter& painter) const;
    void AdoptParentForLabel();

    QString FCaption = QStringLiteral("0123456789");
    int FColumns = 10;
    int FRows = 1;
    int FSize = 2;
    QColor FBgColor = QColor(0, 0, 0);
    QColor FOffColor = QColor(50, 52, 14);
    QColor FOnColor = QColor(0, 255, 0);
    TLabelPosition FLabelPosition = lpAbove;
    int FLabelSpacing = 3;
    TBevelKind FBevelKind = bkNone;
    TBevelCut FBevelInner = bvRaised;
    TBevelCut FBevelOuter = bvLowered;
    unsigned FBevelEdges = kAllBevelEdges;
    int FBevelWidth = 1;
    QPointer<QLabel> FLabel;
    bool FSizeRulePending = false;
    bool FPressed = false;
};

}  // namespace panels
