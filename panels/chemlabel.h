// TChemLabel: a label that writes chemical formulae, with the digits after an
// element or a closing bracket as subscripts and small raised charge signs:
// "(in. H2O)", "CO2 (g)", "Hg2+". The console's unit caption "(in. H2O)"
// beside the saturator pressure difference is one.
#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>

class QPainter;

namespace panels {

// The font height of subscript digits and charge signs for a font of signed
// height `height`, and how far a subscript drops below the line's top.
struct TChemSubscript {
    int Height;
    int Drop;
};
TChemSubscript ChemSubscript(int height);

// Draws a formula from (left, top) in the given font and colour, each token
// clipped to its own width and to `height`. Returns the width drawn.
int DrawChemText(QPainter& painter, int left, int top, int height, const QString& text,
                 const QFont& font, const QColor& color);

class TChemLabel : public QLabel {
    Q_OBJECT

  public:
    explicit TChemLabel(QWidget* parent = nullptr);
    explicit TChemLabel(const QString& caption, QWidget* parent = nullptr);

    int Tag = 0;

  protected:
    // Alignment, word wrap and accelerator prefixes of the plain label play
    // no part: the formula is always drawn from the top left corner.
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace panels
