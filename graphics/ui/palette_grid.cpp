// SPDX-License-Identifier: MIT
// Drawing and clicking of the palette grid.
#include "graphics_ui/palette_grid.h"

#include <QMouseEvent>
#include <QPainter>

PaletteGrid::PaletteGrid(const PaletteTable* table, QWidget* parent)
    : QWidget(parent), table_(table) {
    setFixedSize(sizeHint());
}

QSize PaletteGrid::sizeHint() const {
    return {kCells * kPitch, kCells * kPitch};
}

QPoint PaletteGrid::cellOrigin(int column, int row) {
    return {column * kPitch, row * kPitch};
}

void PaletteGrid::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Mid));
    for (int row = 0; row < kCells; ++row) {
        for (int column = 0; column < kCells; ++column) {
            const PaletteEntry& e = (*table_)[static_cast<std::size_t>(row * kCells + column)];
            const QPoint at = cellOrigin(column, row);
            painter.fillRect(at.x(), at.y(), kCellPixels, kCellPixels,
                             QColor(e.red, e.green, e.blue));
            if (LosesPrecision(e)) {
                // A 4 × 4 yellow frame round a 2 × 2 black one.
                painter.fillRect(at.x(), at.y(), 4, 4, Qt::yellow);
                painter.fillRect(at.x() + 1, at.y() + 1, 2, 2, Qt::black);
            }
        }
    }
    // The selected cell is framed on the grid line round it, so its colour stays whole.
    const QPoint at = cellOrigin(selected_ % kCells, selected_ / kCells);
    painter.setPen(QPen(palette().color(QPalette::Highlight), 1));
    painter.drawRect(at.x() - 1, at.y() - 1, kCellPixels + 1, kCellPixels + 1);
}

void PaletteGrid::mousePressEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    const int column = p.x() / kPitch;
    const int row = p.y() / kPitch;
    if (p.x() < 0 || p.y() < 0 || column >= kCells || row >= kCells) return;
    selected_ = row * kCells + column;
    update();
    emit cellClicked(column, row);
}
