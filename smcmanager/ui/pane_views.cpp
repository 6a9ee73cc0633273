// Drag and drop and key handling of the manager's tree and list controls.
#include "smcmanager_ui/pane_views.h"

#include <QDrag>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>

PaneView::PaneView(DragSource self, QWidget* parent) : QTreeWidget(parent), self_(self) {
    setDragEnabled(true);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void PaneView::startDrag(Qt::DropActions) {
    if (!makeDragData || selectedItems().isEmpty()) return;
    auto* drag = new QDrag(this);
    drag->setMimeData(makeDragData());
    QTreeWidgetItem* item = currentItem();
    if (item && dragPixmap) drag->setPixmap(dragPixmap(item));
    drag->exec(Qt::CopyAction, Qt::CopyAction);
}

bool PaneView::accepts(const QMimeData* data, const QPoint& at) {
    return acceptsDrop && acceptsDrop(data, itemAt(at));
}

void PaneView::dragEnterEvent(QDragEnterEvent* event) {
    // Entering over empty space of a tree must still let the drag move on to a node.
    if (acceptsDrop && acceptsDrop(event->mimeData(), nullptr)) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else if (event->mimeData()->hasFormat(kPaneMimeType) || event->mimeData()->hasUrls()) {
        event->accept();
    } else {
        event->ignore();
    }
}

void PaneView::dragMoveEvent(QDragMoveEvent* event) {
    if (accepts(event->mimeData(), event->position().toPoint())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void PaneView::dropEvent(QDropEvent* event) {
    const QPoint at = event->position().toPoint();
    if (!accepts(event->mimeData(), at) || !dropped) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    dropped(event->mimeData(), itemAt(at));
}

void PaneView::keyPressEvent(QKeyEvent* event) {
    if (keyPressed && event->key() == Qt::Key_Delete) {
        keyPressed(event->key());
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}
