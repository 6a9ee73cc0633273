// SPDX-License-Identifier: MIT
// Card item pictures drawn on a 32-unit grid and scaled to 16 or 32 pixels. They are made
// once per index and size and kept for the whole run.
#include "smcmanager_ui/card_icons.h"

#include <smcmanager/tree_model.h>

#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

void drawFolder(QPainter& p, bool open) {
    p.setPen(QPen(QColor(150, 110, 20), 1.5));
    p.setBrush(QColor(230, 180, 60));
    QPainterPath back;
    back.moveTo(2, 8);
    back.lineTo(12, 8);
    back.lineTo(15, 11);
    back.lineTo(30, 11);
    back.lineTo(30, 27);
    back.lineTo(2, 27);
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(QColor(250, 210, 90));
    if (open) {
        QPolygonF front({{6, 15}, {31, 15}, {27, 27}, {2, 27}});
        p.drawPolygon(front);
    } else {
        p.drawRect(QRectF(2, 14, 28, 13));
    }
}

void drawPage(QPainter& p, const QColor& fill) {
    p.setPen(QPen(QColor(90, 90, 90), 1.5));
    p.setBrush(fill);
    QPolygonF page({{7, 3}, {20, 3}, {26, 9}, {26, 29}, {7, 29}});
    p.drawPolygon(page);
    p.drawPolyline(QPolygonF({{20, 3}, {20, 9}, {26, 9}}));
}

void drawProgram(QPainter& p) {
    // A handheld: body, screen and two buttons.
    p.setPen(QPen(QColor(40, 60, 110), 1.5));
    p.setBrush(QColor(90, 130, 210));
    p.drawRoundedRect(QRectF(3, 6, 26, 21), 5, 5);
    p.setBrush(QColor(200, 235, 200));
    p.drawRect(QRectF(10, 9, 12, 9));
    p.setBrush(QColor(230, 60, 60));
    p.drawEllipse(QRectF(23, 19, 4, 4));
    p.setBrush(QColor(40, 40, 40));
    p.drawRect(QRectF(5, 20, 5, 2));
    p.drawRect(QRectF(6.5, 18.5, 2, 5));
}

void drawMusic(QPainter& p) {
    drawPage(p, QColor(245, 245, 255));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 40, 160));
    p.drawEllipse(QRectF(9, 20, 6, 5));
    p.drawEllipse(QRectF(17, 18, 6, 5));
    p.drawRect(QRectF(13.5, 10, 1.5, 13));
    p.drawRect(QRectF(21.5, 8, 1.5, 13));
    p.drawPolygon(QPolygonF({{13.5, 10}, {23, 8}, {23, 11}, {13.5, 13}}));
}

void drawOther(QPainter& p) {
    drawPage(p, Qt::white);
    p.setPen(QPen(QColor(150, 150, 150), 1.5));
    for (int y = 14; y <= 24; y += 4)
        p.drawLine(QPointF(11, y), QPointF(22, y));
}

QPixmap drawCard(int imageIndex, int pixels) {
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(pixels / 32.0, pixels / 32.0);
    switch (imageIndex) {
    case kImageFolder:
        drawFolder(p, false);
        break;
    case kImageFolderSelected:
        drawFolder(p, true);
        break;
    case kImageProgram:
        drawProgram(p);
        break;
    case kImageMusic:
        drawMusic(p);
        break;
    default:
        drawOther(p);
        break;
    }
    return pixmap;
}

const QPixmap& cardPixmap(int imageIndex, int pixels) {
    static QHash<int, QPixmap> cache;
    const int key = imageIndex * 1000 + pixels;
    auto it = cache.find(key);
    if (it == cache.end()) it = cache.insert(key, drawCard(imageIndex, pixels));
    return *it;
}

} // namespace

QIcon CardIcon(int imageIndex, int pixels) {
    QIcon icon;
    icon.addPixmap(cardPixmap(imageIndex, pixels));
    if (pixels != 32) icon.addPixmap(cardPixmap(imageIndex, 32));
    return icon;
}

QIcon CardTreeIcon(int image, int selectedImage) {
    QIcon icon;
    icon.addPixmap(cardPixmap(image, 16), QIcon::Normal);
    icon.addPixmap(cardPixmap(selectedImage, 16), QIcon::Selected);
    return icon;
}
