// PaneView, the tree and list controls of the manager window: a QTreeWidget that starts
// drags naming its own control, and hands drag-over, drop and key events to the window as
// plain callbacks. Whether a drag is accepted and what a drop does is the window's (and so
// the core's) business, never the view's.
#pragma once

#include <smcmanager/manager_ui.h>

#include <QPixmap>
#include <QTreeWidget>

#include <functional>

class QMimeData;

// The MIME type of a drag between the manager's panes; its data names the source control
// and the window it belongs to.
inline constexpr const char* kPaneMimeType = "application/x-vela-smc-pane";

class PaneView : public QTreeWidget {
    Q_OBJECT
public:
    // A view that calls itself source when a drag starts from it.
    PaneView(DragSource self, QWidget* parent = nullptr);

    DragSource role() const { return self_; }

    // Makes the drag data of a drag from this view (the window's token tells windows apart).
    std::function<QMimeData*()> makeDragData;
    // The large picture shown under the mouse while item is dragged.
    std::function<QPixmap(QTreeWidgetItem*)> dragPixmap;
    // Whether data may be dropped on the item (nullptr: empty space).
    std::function<bool(const QMimeData*, QTreeWidgetItem*)> acceptsDrop;
    // Drops data on the item (nullptr: empty space).
    std::function<void(const QMimeData*, QTreeWidgetItem*)> dropped;
    // A key was pressed (Qt key code).
    std::function<void(int)> keyPressed;

protected:
    void startDrag(Qt::DropActions supportedActions) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool accepts(const QMimeData* data, const QPoint& at);

    DragSource self_;
};
