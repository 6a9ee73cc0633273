// SPDX-License-Identifier: MIT
// The palette grid `GridPal`: 16 × 16 cells of 15 pixels, one per entry of the window's
// palette table (entry = row × 16 + column), 1-pixel lines between them. A colour that does
// not survive five bits a channel gets a yellow-and-black marker in its cell's top-left
// corner. Clicking a cell selects it and reports its column and row.
#pragma once

#include <QWidget>

#include "graphics/palette.h"

class PaletteGrid : public QWidget {
    Q_OBJECT
public:
    static constexpr int kCells = 16;
    static constexpr int kCellPixels = 15;
    static constexpr int kPitch = kCellPixels + 1;

    // Draws `table`, which the window owns and which outlives the grid.
    PaletteGrid(const PaletteTable* table, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    // The top-left pixel of the cell at (column, row).
    static QPoint cellOrigin(int column, int row);
    // The selected cell's entry.
    int selectedEntry() const { return selected_; }

signals:
    // A cell was clicked.
    void cellClicked(int column, int row);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    const PaletteTable* table_;
    int selected_ = 0;
};
