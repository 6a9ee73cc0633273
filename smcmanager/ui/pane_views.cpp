// SPDX-License-Identifier: MIT
// Drag and drop and key handling of the manager's tree and list views.
#include "smcmanager_ui/pane_views.h"

#include <QDrag>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>

PaneView::PaneView(QWidget* parent) : QTreeView(parent) {
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void PaneView::startDrag(Qt::DropActions) {
    if (!makeDragData || selectionModel()->selectedRows().isEmpty()) return;
    QMimeData* data = makeDragData();
    if (!data) return;
    auto* drag = new QDrag(this);
    drag->setMimeData(data);
    const QModelIndex current = currentIndex();
    const QIcon icon = current.sibling(current.row(), 0).data(Qt::DecorationRole).value<QIcon>();
    if (!icon.isNull()) drag->setPixmap(icon.pixmap(32));
    drag->exec(Qt::CopyAction, Qt::CopyAction);
}

void PaneView::dragEnterEvent(QDragEnterEvent* event) {
    // Entering over empty space of a tree must still let the drag move on to a node, so
    // any drag this window may take is let in and judged as it moves.
    if (acceptsDrop && (acceptsDrop(event->mimeData(), {}) || event->mimeData()->hasUrls() ||
                        !event->mimeData()->formats().isEmpty())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void PaneView::dragMoveEvent(QDragMoveEvent* event) {
    if (acceptsDrop && acceptsDrop(event->mimeData(), indexAt(event->position().toPoint()))) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void PaneView::dropEvent(QDropEvent* event) {
    const QModelIndex at = indexAt(event->position().toPoint());
    if (!acceptsDrop || !dropped || !acceptsDrop(event->mimeData(), at)) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    dropped(event->mimeData(), at);
}

void PaneView::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers plain = event->modifiers() & ~Qt::KeypadModifier;
    if (keyPressed && plain == Qt::NoModifier && keyPressed(event->key())) {
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}
