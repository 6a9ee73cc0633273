// SPDX-License-Identifier: MIT
// The picture view and the scroll box that holds it. The view stretches
// its copy of a picture to its own size. With transparent drawing on, pixels of the
// transparent colour are left out so the scroll box's background shows through; the colour
// is the bottom-left pixel's until one is fixed. In device preview the view shows a prepared
// preview image instead. The scroll box places the view: centred when fitted, otherwise at
// the top left moved by the scroll bars.
#pragma once

#include <QAbstractScrollArea>
#include <QImage>
#include <QWidget>
#include <optional>

#include "graphics/device_preview.h"
#include "graphics/picture.h"

class PictureView : public QWidget {
    Q_OBJECT
public:
    explicit PictureView(QWidget* parent = nullptr);

    // Shows a copy of `picture`; the transparent colour becomes automatic again.
    void setPicture(const Picture& picture);
    // Shows nothing.
    void clearPicture();
    // The shown picture's size.
    QSize pictureSize() const { return picture_.size(); }

    // Turns transparent drawing on or off.
    void setTransparentDrawing(bool on);
    bool transparentDrawing() const { return transparent_; }
    // Fixes the transparent colour.
    void setTransparentColour(QColor colour);
    // The colour left out while transparent drawing is on (invalid without a picture).
    QColor transparentColour() const;

    // Shows `preview` instead of the picture, or the picture again for none.
    void setPreview(const std::optional<PreviewImage>& preview);

    // The image as drawn before stretching, for checking what the user sees.
    const QImage& drawnImage() const { return drawn_; }

signals:
    void mouseMoved(QPoint position);
    void mousePressed(Qt::MouseButton button, QPoint position);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void rebuild();

    QImage picture_; // the picture as RGB32
    QImage preview_; // the device preview with alpha, null when not previewing
    QImage drawn_;   // what paintEvent stretches
    bool transparent_ = false;
    std::optional<QRgb> fixedColour_;
};

class ScrollBox : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit ScrollBox(QWidget* parent = nullptr);

    PictureView* view() const { return view_; }
    // Places the view: centred in the box when `centred`, otherwise at the top left moved by
    // the scroll bars, whose ranges follow the view's size. Scroll bars are hidden while
    // centred.
    void placeView(bool centred);
    // The colour behind a transparent picture.
    void setBackground(QColor colour);
    QColor background() const;

signals:
    void resized();

protected:
    bool viewportEvent(QEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    PictureView* view_;
    bool centred_ = false;
};
