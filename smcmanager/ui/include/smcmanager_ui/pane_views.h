// SPDX-License-Identifier: MIT
// PaneView, the tree and list views of the manager window: a QTreeView that starts drags
// with the data its window makes, and hands drag-over, drop and key events to the window
// as plain callbacks. Whether a drag is accepted and what a drop or a key does is the
// window's (and so the core's) business, never the view's.
#pragma once

#include <QTreeView>

#include <functional>

class QMimeData;

class PaneView : public QTreeView {
    Q_OBJECT
public:
    explicit PaneView(QWidget* parent = nullptr);

    // Makes the drag data of a drag from this view (nullptr: this view starts no drags).
    std::function<QMimeData*()> makeDragData;
    // Whether data may be dropped on index (invalid: empty space).
    std::function<bool(const QMimeData*, const QModelIndex&)> acceptsDrop;
    // Drops data on index (invalid: empty space).
    std::function<void(const QMimeData*, const QModelIndex&)> dropped;
    // A key was pressed (Qt key code); true when the window handled it.
    std::function<bool(int)> keyPressed;

protected:
    void startDrag(Qt::DropActions supportedActions) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};
