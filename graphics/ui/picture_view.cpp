// SPDX-License-Identifier: MIT
// The picture view and its scroll box. The view keeps its picture as a QImage and builds the
// image it draws whenever the transparency or the preview changes; painting stretches only
// the part that is exposed, so a large zoom costs no more than the window's size.
#include "graphics_ui/picture_view.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <cmath>

#include "graphics/view_maths.h"

static QImage toImage(int width, int height, const std::vector<Rgb>& colours,
                      const std::vector<std::uint8_t>* transparent) {
    QImage image(width, height, transparent ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const std::size_t at = static_cast<std::size_t>(y) * width + x;
            const Rgb& c = colours[at];
            line[x] = transparent && (*transparent)[at] ? qRgba(0, 0, 0, 0)
                                                        : qRgb(c.red, c.green, c.blue);
        }
    }
    return image;
}

PictureView::PictureView(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void PictureView::setPicture(const Picture& picture) {
    std::vector<Rgb> colours;
    colours.reserve(static_cast<std::size_t>(picture.width) * picture.height);
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            colours.push_back(picture.colorAt(x, y));
    picture_ = toImage(picture.width, picture.height, colours, nullptr);
    fixedColour_.reset();
    rebuild();
}

void PictureView::clearPicture() {
    picture_ = QImage();
    preview_ = QImage();
    fixedColour_.reset();
    rebuild();
}

void PictureView::setTransparentDrawing(bool on) {
    transparent_ = on;
    rebuild();
}

void PictureView::setTransparentColour(QColor colour) {
    fixedColour_ = colour.rgb();
    rebuild();
}

QColor PictureView::transparentColour() const {
    if (fixedColour_) return QColor(*fixedColour_);
    if (picture_.isNull()) return {};
    return QColor(picture_.pixel(0, picture_.height() - 1));
}

void PictureView::setPreview(const std::optional<PreviewImage>& preview) {
    preview_ =
        preview ? toImage(preview->width, preview->height, preview->colors, &preview->transparent)
                : QImage();
    rebuild();
}

void PictureView::rebuild() {
    if (!preview_.isNull()) {
        drawn_ = preview_;
    } else if (transparent_ && !picture_.isNull()) {
        const QRgb key = transparentColour().rgb();
        drawn_ = picture_.convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < drawn_.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(drawn_.scanLine(y));
            for (int x = 0; x < drawn_.width(); ++x)
                if ((line[x] & 0xFFFFFF) == (key & 0xFFFFFF)) line[x] = qRgba(0, 0, 0, 0);
        }
    } else {
        drawn_ = picture_;
    }
    update();
}

void PictureView::paintEvent(QPaintEvent* event) {
    if (drawn_.isNull() || width() <= 0 || height() <= 0) return;
    QPainter painter(this);
    const double sx = static_cast<double>(width()) / drawn_.width();
    const double sy = static_cast<double>(height()) / drawn_.height();
    const QRect r = event->rect();
    const int x0 = std::clamp(static_cast<int>(std::floor(r.left() / sx)), 0, drawn_.width());
    const int y0 = std::clamp(static_cast<int>(std::floor(r.top() / sy)), 0, drawn_.height());
    const int x1 = std::clamp(static_cast<int>(std::ceil((r.right() + 1) / sx)), 0, drawn_.width());
    const int y1 =
        std::clamp(static_cast<int>(std::ceil((r.bottom() + 1) / sy)), 0, drawn_.height());
    if (x1 <= x0 || y1 <= y0) return;
    painter.drawImage(QRectF(x0 * sx, y0 * sy, (x1 - x0) * sx, (y1 - y0) * sy), drawn_,
                      QRectF(x0, y0, x1 - x0, y1 - y0));
}

void PictureView::mouseMoveEvent(QMouseEvent* event) {
    emit mouseMoved(event->position().toPoint());
}

void PictureView::mousePressEvent(QMouseEvent* event) {
    emit mousePressed(event->button(), event->position().toPoint());
}

ScrollBox::ScrollBox(QWidget* parent) : QAbstractScrollArea(parent) {
    view_ = new PictureView(viewport());
    view_->setObjectName(QStringLiteral("pictureView"));
    view_->resize(0, 0);
    viewport()->setAutoFillBackground(true);
}

void ScrollBox::placeView(bool centred) {
    centred_ = centred;
    const Qt::ScrollBarPolicy policy = centred ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded;
    if (horizontalScrollBarPolicy() != policy) setHorizontalScrollBarPolicy(policy);
    if (verticalScrollBarPolicy() != policy) setVerticalScrollBarPolicy(policy);
    const QSize box = viewport()->size();
    const QSize shown = view_->size();
    if (centred) {
        view_->move(CentredOffset(box.width(), shown.width()),
                    CentredOffset(box.height(), shown.height()));
        return;
    }
    horizontalScrollBar()->setRange(0, std::max(0, shown.width() - box.width()));
    horizontalScrollBar()->setPageStep(box.width());
    verticalScrollBar()->setRange(0, std::max(0, shown.height() - box.height()));
    verticalScrollBar()->setPageStep(box.height());
    view_->move(-horizontalScrollBar()->value(), -verticalScrollBar()->value());
}

void ScrollBox::setBackground(QColor colour) {
    QPalette p = viewport()->palette();
    p.setColor(viewport()->backgroundRole(), colour);
    viewport()->setPalette(p);
}

QColor ScrollBox::background() const {
    return viewport()->palette().color(viewport()->backgroundRole());
}

bool ScrollBox::viewportEvent(QEvent* event) {
    // The viewport changes size with the box and when the scroll bars come and go.
    if (event->type() == QEvent::Resize) {
        placeView(centred_);
        emit resized();
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void ScrollBox::scrollContentsBy(int, int) {
    placeView(centred_);
}
