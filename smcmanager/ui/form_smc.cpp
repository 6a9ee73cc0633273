// The manager window: its controls and menus, the mirror of the core's models, and the glue
// that hands every user action to the core.
#include "smcmanager_ui/form_smc.h"

#include "smcmanager_ui/card_icons.h"
#include "smcmanager_ui/sys_image_list.h"

#include <devicelink/device_link.h>

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStatusBar>
#include <QUrl>
#include <QVBoxLayout>

namespace {

constexpr int kNodeRole = Qt::UserRole;
constexpr int kRowRole = Qt::UserRole + 1;

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

std::string joinPc(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

void setupList(PaneView* list) {
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setSortingEnabled(false); // the card list keeps the listing's order
    list->setColumnCount(4);
    list->setHeaderLabels({"Name", "Size", "Type", "Modified"});
    list->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    for (int column = 0; column < 4; ++column)
        list->setColumnWidth(column, 100);
    list->header()->setStretchLastSection(true);
}

void setupTree(PaneView* tree) {
    tree->setHeaderHidden(true);
    tree->setSelectionMode(QAbstractItemView::SingleSelection);
}

QWidget* pathAndList(QLineEdit* path, PaneView* list) {
    auto* box = new QWidget;
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    path->setReadOnly(true);
    column->addWidget(path);
    column->addWidget(list);
    return box;
}

QSplitter* half(PaneView* tree, QWidget* right) {
    auto* splitter = new QSplitter(Qt::Horizontal);
    splitter->addWidget(tree);
    splitter->addWidget(right);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({271, 599});
    return splitter;
}

} // namespace

TFormSMC::TFormSMC(TFormProg& progress, const SysImageList& smallIcons,
                   const SysImageList& largeIcons, std::unique_ptr<DeviceLink> link,
                   std::unique_ptr<ManagerDialogs> dialogs, QWidget* parent)
    : QWidget(parent), progress_(progress), smallIcons_(smallIcons), largeIcons_(largeIcons),
      dialogs_(dialogs ? std::move(dialogs) : std::make_unique<QtManagerDialogs>()) {
    setObjectName("FormSMC");
    setWindowTitle("SMC Manager");
    resize(870, 640);
    buildMenus();
    buildPanes();
    connectPanes();
    // A machine operation can wait a minute for its answer; the progress window stays live
    // meanwhile. The link refuses any operation asked for from inside this hook.
    if (link) link->setIdleHook([&progress = progress_] { progress.KeepAlive(); });
    // The core fills the PC side while it is built; mirror it once it exists.
    manager_ = std::make_unique<SmcManager>(*this, std::move(link));
    treeChanged(Side::Pc, nullptr);
    listChanged(Side::Pc, manager_->pcItems());
    pathTextChanged(Side::Pc, manager_->pcPathText());
}

TFormSMC::~TFormSMC() {
    // The core closes its storage; its notifications must not reach half-destroyed controls.
    std::unique_ptr<SmcManager> manager = std::move(manager_);
    manager.reset();
}

void TFormSMC::buildMenus() {
    MainMenu = new QMenuBar(this);
    QMenu* file = MainMenu->addMenu("&File");
    QMenu* open = file->addMenu("&Open");
    VirtualSMC1 = open->addAction("&Virtual SMC");
    ThroughUSBPort1 = open->addAction("SMC in &Vela");
    CreateVirtualSMC1 = file->addAction("Create &Virtual SMC");
    Format1 = file->addAction("&Format");
    Copy1 = file->addAction("&Copy");
    Copy1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    Paste1 = file->addAction("&Paste");
    Paste1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_V));
    Delete1 = file->addAction("&Delete file(s) in SMC");
    Close1 = file->addAction("C&lose");
    file->addSeparator();
    Exit1 = file->addAction("E&xit");
    // The shortcuts work wherever the focus is inside this window.
    for (QAction* action : {Copy1, Paste1}) {
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        addAction(action);
    }

    MenuListSMC = new QMenu(this);
    CopyPopup = MenuListSMC->addAction("&Copy");
    CopyPopup->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    PastePopup = MenuListSMC->addAction("&Paste");
    PastePopup->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_V));
    // These two show the keys only; the main menu's items carry the action.
    for (QAction* action : {CopyPopup, PastePopup})
        action->setShortcutContext(Qt::WidgetShortcut);
    CreateFolder1 = MenuListSMC->addAction("Create &Folder");
    Delete2 = MenuListSMC->addAction("&Delete");
    Delete2->setShortcut(QKeySequence(Qt::Key_Delete));
    Delete2->setShortcutContext(Qt::WidgetShortcut);

    connect(VirtualSMC1, &QAction::triggered, this,
            [this] { run([this] { manager_->openVirtualCard(); }); });
    connect(ThroughUSBPort1, &QAction::triggered, this,
            [this] { run([this] { manager_->openMachineCard(); }); });
    connect(CreateVirtualSMC1, &QAction::triggered, this,
            [this] { run([this] { manager_->createVirtualCard(); }); });
    connect(Format1, &QAction::triggered, this,
            [this] { run([this] { manager_->formatCard(); }); });
    connect(Copy1, &QAction::triggered, this,
            [this] { run([this] { manager_->copySelection(focus()); }); });
    connect(Paste1, &QAction::triggered, this,
            [this] { run([this] { manager_->paste(focus()); }); });
    connect(Delete1, &QAction::triggered, this,
            [this] { run([this] { manager_->deleteSelection(); }); });
    connect(Close1, &QAction::triggered, this, [this] { run([this] { manager_->closeCard(); }); });
    connect(Exit1, &QAction::triggered, this, [this] {
        // Inside the main window the frame around this widget is what closes.
        QWidget* frame = parentWidget() ? parentWidget() : this;
        frame->close();
    });
    connect(CreateFolder1, &QAction::triggered, this,
            [this] { run([this] { manager_->createFolder(); }); });
    connect(Delete2, &QAction::triggered, this,
            [this] { run([this] { manager_->deleteListSelection(); }); });
}

void TFormSMC::buildPanes() {
    TreeSMC = new PaneView(DragSource::CardTree);
    TreeSMC->setObjectName("TreeSMC");
    ListSMC = new PaneView(DragSource::CardList);
    ListSMC->setObjectName("ListSMC");
    TreePC = new PaneView(DragSource::PcTree);
    TreePC->setObjectName("TreePC");
    ListPC = new PaneView(DragSource::PcList);
    ListPC->setObjectName("ListPC");
    PathSMC = new QLineEdit;
    PathSMC->setObjectName("PathSMC");
    PathPC = new QLineEdit;
    PathPC->setObjectName("PathPC");
    setupTree(TreeSMC);
    setupTree(TreePC);
    setupList(ListSMC);
    setupList(ListPC);
    // Only the card list's items are dragged to the PC; the tree nodes are drop targets.
    TreeSMC->setDragEnabled(false);
    TreePC->setDragEnabled(false);
    ListSMC->setContextMenuPolicy(Qt::CustomContextMenu);
    ListSMC->addAction(Delete2);

    auto* halves = new QSplitter(Qt::Vertical);
    halves->addWidget(half(TreeSMC, pathAndList(PathSMC, ListSMC)));
    halves->addWidget(half(TreePC, pathAndList(PathPC, ListPC)));
    halves->setSizes({289, 300});

    auto* status = new QStatusBar;
    status->setObjectName("StatusBar");
    status->setSizeGripEnabled(false);
    SzSMC = new QLabel;
    SzSMC->setObjectName("SzSMC");
    SzSMC->setMinimumWidth(50);
    status->addWidget(SzSMC, 1);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->setMenuBar(MainMenu);
    column->addWidget(halves, 1);
    column->addWidget(status);
}

void TFormSMC::connectPanes() {
    connect(TreeSMC, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
        run([this, item] { manager_->cardNodeExpanding(NodeOf(item)); });
    });
    connect(TreeSMC, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (item) run([this, item] { manager_->selectCardFolder(NodeOf(item)); });
    });
    connect(TreePC, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
        run([this, item] { manager_->pcNodeExpanding(NodeOf(item)); });
    });
    connect(TreePC, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (item) run([this, item] { manager_->selectPcFolder(NodeOf(item)); });
    });
    connect(ListSMC, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        const int row = ListSMC->indexOfTopLevelItem(item);
        run([this, row] { manager_->openCardItem(row); });
    });
    connect(ListPC, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        const int row = ListPC->indexOfTopLevelItem(item);
        run([this, row] { manager_->openPcItem(row); });
    });
    for (PaneView* list : {ListSMC, ListPC}) {
        connect(list, &QTreeWidget::itemSelectionChanged, this, [this, list] {
            std::vector<int> rows;
            for (QTreeWidgetItem* item : list->selectedItems())
                rows.push_back(list->indexOfTopLevelItem(item));
            if (list == ListSMC)
                manager_->setCardSelection(std::move(rows));
            else
                manager_->setPcSelection(std::move(rows));
        });
    }
    connect(ListSMC, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { MenuListSMC->popup(ListSMC->viewport()->mapToGlobal(at)); });
    TreeSMC->keyPressed = [this](int key) {
        if (key == Qt::Key_Delete) run([this] { manager_->cardTreeKeyPressed(kKeyDelete); });
    };

    // Drags: each pane names itself; the core decides what may land where.
    ListSMC->makeDragData = [this] { return DragData(DragSource::CardList); };
    ListPC->makeDragData = [this] { return DragData(DragSource::PcList); };
    // A drag shows the large picture of the item under the mouse.
    ListSMC->dragPixmap = [this](QTreeWidgetItem* item) {
        const std::size_t row = std::size_t(ListSMC->indexOfTopLevelItem(item));
        const auto& items = manager_->cardItems();
        return CardIcon(row < items.size() ? items[row].image : kImageOther, 32).pixmap(32);
    };
    ListPC->dragPixmap = [this](QTreeWidgetItem* item) {
        const QString full = qs(joinPc(manager_->pcPath(), item->text(0).toStdString()));
        return largeIcons_.fileIcon(full).pixmap(largeIcons_.iconSize());
    };
    ListSMC->acceptsDrop = [this](const QMimeData* data, QTreeWidgetItem* item) {
        return acceptOnSmc(data, item);
    };
    TreeSMC->acceptsDrop = ListSMC->acceptsDrop;
    ListSMC->dropped = [this](const QMimeData* data, QTreeWidgetItem* item) {
        dropOnSmc(data, item, false);
    };
    TreeSMC->dropped = [this](const QMimeData* data, QTreeWidgetItem* item) {
        dropOnSmc(data, item, true);
    };
    auto pcAccepts = [this](const QMimeData* data, QTreeWidgetItem*) {
        return manager_->acceptsPcDrop(DragSourceOf(data));
    };
    ListPC->acceptsDrop = pcAccepts;
    TreePC->acceptsDrop = pcAccepts;
    ListPC->dropped = [this](const QMimeData* data, QTreeWidgetItem*) {
        const DragSource source = DragSourceOf(data);
        afterDrop(Side::Pc, nullptr, [this, source] { manager_->dropOnPcList(source); });
    };
    TreePC->dropped = [this](const QMimeData* data, QTreeWidgetItem* item) {
        const DragSource source = DragSourceOf(data);
        TreeNode* node = NodeOf(item);
        if (node) {
            afterDrop(Side::Pc, node,
                      [this, source, node] { manager_->dropOnPcTree(source, node); });
        }
    };

    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now == ListSMC || now == TreeSMC || now == ListPC || now == TreePC) lastPane_ = now;
    });
}

// ---- Dialogs ----

void TFormSMC::showMessage(const std::string& text) {
    dialogs_->message(this, text);
}

bool TFormSMC::askOkCancel(const std::string& text, QuestionKind kind) {
    return dialogs_->okCancel(this, text, kind);
}

std::string TFormSMC::askText(const std::string& caption, const std::string& prompt,
                              const std::string& initial) {
    return dialogs_->inputText(this, caption, prompt, initial);
}

std::optional<std::filesystem::path> TFormSMC::chooseOpenFile(const std::string& filter,
                                                              const std::string& extension) {
    return dialogs_->openFile(this, filter, extension);
}

std::optional<std::filesystem::path> TFormSMC::chooseSaveFile(const std::string& filter,
                                                              const std::string& extension) {
    return dialogs_->saveFile(this, filter, extension);
}

std::optional<CardChoice> TFormSMC::chooseCardType(const std::vector<std::string>& vendors,
                                                   const std::vector<std::string>& sizes,
                                                   CardChoice preselected) {
    return dialogs_->card(this, vendors, sizes, preselected);
}

// ---- Mirroring the core's models ----

QTreeWidgetItem* TFormSMC::ItemOf(Side side, const TreeNode* node) const {
    const auto& items = side == Side::Card ? cardItems_ : pcItems_;
    const auto it = items.find(node);
    return it == items.end() ? nullptr : it->second;
}

TreeNode* TFormSMC::NodeOf(QTreeWidgetItem* item) const {
    if (!item) return nullptr;
    return reinterpret_cast<TreeNode*>(item->data(0, kNodeRole).value<quintptr>());
}

QTreeWidgetItem* TFormSMC::makeItem(Side side, const TreeNode* node) {
    auto* item = new QTreeWidgetItem(QStringList{qs(node->caption)});
    item->setData(0, kNodeRole, QVariant::fromValue(quintptr(node)));
    if (side == Side::Card) {
        item->setIcon(0, CardTreeIcon(node->image, node->selectedImage));
    } else if (!node->parent) {
        item->setIcon(0, smallIcons_.computerIcon());
    } else if (!node->parent->parent) {
        item->setIcon(0, smallIcons_.rootIcon());
    } else {
        item->setIcon(0, smallIcons_.fileIcon(qs(manager_->pcPathOf(node))));
    }
    item->setChildIndicatorPolicy(node->hasButton
                                      ? QTreeWidgetItem::ShowIndicator
                                      : QTreeWidgetItem::DontShowIndicatorWhenChildless);
    (side == Side::Card ? cardItems_ : pcItems_)[node] = item;
    return item;
}

void TFormSMC::addChildren(Side side, const TreeNode* node, QTreeWidgetItem* item) {
    for (const auto& child : node->children) {
        QTreeWidgetItem* childItem = makeItem(side, child.get());
        item->addChild(childItem);
        addChildren(side, child.get(), childItem);
        if (child->expanded) childItem->setExpanded(true);
    }
}

void TFormSMC::forget(Side side, QTreeWidgetItem* item) {
    for (int i = 0; i < item->childCount(); ++i)
        forget(side, item->child(i));
    (side == Side::Card ? cardItems_ : pcItems_).erase(NodeOf(item));
}

void TFormSMC::treeAboutToChange(Side side, const TreeNode* node) {
    if (!manager_) return;
    PaneView* tree = treeOf(side);
    const QSignalBlocker blocker(tree);
    if (!node) {
        (side == Side::Card ? cardItems_ : pcItems_).clear();
        tree->clear();
        return;
    }
    QTreeWidgetItem* item = ItemOf(side, node);
    if (!item) return;
    // The core moves a selection inside the replaced children up to node; so does the view.
    QTreeWidgetItem* current = tree->currentItem();
    for (QTreeWidgetItem* p = current ? current->parent() : nullptr; p; p = p->parent()) {
        if (p == item) {
            tree->setCurrentItem(item);
            break;
        }
    }
    for (int i = 0; i < item->childCount(); ++i)
        forget(side, item->child(i));
    qDeleteAll(item->takeChildren());
}

void TFormSMC::treeChanged(Side side, const TreeNode* node) {
    if (!manager_) return;
    PaneView* tree = treeOf(side);
    const QSignalBlocker blocker(tree);
    if (!node) {
        const TreeNode* root = side == Side::Card ? manager_->cardRoot() : manager_->pcRoot();
        if (!root) return;
        QTreeWidgetItem* item = makeItem(side, root);
        tree->addTopLevelItem(item);
        addChildren(side, root, item);
        // The computer's roots are known from the start; show them.
        if (root->expanded || side == Side::Pc) item->setExpanded(true);
        return;
    }
    QTreeWidgetItem* item = ItemOf(side, node);
    if (!item) return;
    addChildren(side, node, item);
    // An expansion that found no sub-folders takes the button away.
    if (node->children.empty())
        item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

void TFormSMC::treeExpanded(Side side, const TreeNode* node) {
    PaneView* tree = treeOf(side);
    const QSignalBlocker blocker(tree);
    if (QTreeWidgetItem* item = ItemOf(side, node)) item->setExpanded(true);
}

void TFormSMC::treeSelectionChanged(Side side, const TreeNode* node) {
    PaneView* tree = treeOf(side);
    const QSignalBlocker blocker(tree);
    QTreeWidgetItem* item = ItemOf(side, node);
    tree->setCurrentItem(item);
    if (item) tree->scrollToItem(item);
}

void TFormSMC::listChanged(Side side, const std::vector<ListItem>&) {
    if (!manager_) return;
    PaneView* list = side == Side::Card ? ListSMC : ListPC;
    const QSignalBlocker blocker(list);
    list->clear();
    const auto& items = side == Side::Card ? manager_->cardItems() : manager_->pcItems();
    const std::string& pcPath = manager_->pcPath();
    QList<QTreeWidgetItem*> rows;
    rows.reserve(qsizetype(items.size()));
    for (std::size_t i = 0; i < items.size(); ++i) {
        const ListItem& entry = items[i];
        auto* row = new QTreeWidgetItem(
            QStringList{qs(entry.caption), qs(entry.size), qs(entry.type), qs(entry.modified)});
        row->setData(0, kRowRole, int(i));
        row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        if (side == Side::Card) {
            row->setIcon(0, CardIcon(entry.image));
        } else if (pcPath.empty()) {
            row->setIcon(0, smallIcons_.rootIcon());
        } else {
            // The PC side shows the platform's own icons and type names.
            const QString full = qs(joinPc(pcPath, entry.caption));
            row->setIcon(0, smallIcons_.fileIcon(full));
            const QString type = smallIcons_.typeName(full);
            if (!type.isEmpty()) row->setText(2, type);
        }
        rows.append(row);
    }
    list->addTopLevelItems(rows);
    // The core forgets the selection with every new listing.
    if (side == Side::Card)
        manager_->setCardSelection({});
    else
        manager_->setPcSelection({});
}

void TFormSMC::pathTextChanged(Side side, const std::string& text) {
    (side == Side::Card ? PathSMC : PathPC)->setText(qs(text));
}

void TFormSMC::statusTextChanged(const std::string& text) {
    SzSMC->setText(qs(text));
}

// ---- Focus, drags and drops ----

Focus TFormSMC::focus() const {
    QWidget* now = QApplication::focusWidget();
    if (now != ListSMC && now != TreeSMC && now != ListPC && now != TreePC) now = lastPane_;
    if (now == ListSMC) return Focus::CardList;
    if (now == TreeSMC) return Focus::CardTree;
    if (now == ListPC) return Focus::PcList;
    if (now == TreePC) return Focus::PcTree;
    return Focus::None;
}

QMimeData* TFormSMC::DragData(DragSource source) const {
    auto* data = new QMimeData;
    const QString text = QString("%1:%2").arg(quintptr(this)).arg(int(source));
    data->setData(kPaneMimeType, text.toUtf8());
    return data;
}

DragSource TFormSMC::DragSourceOf(const QMimeData* data) const {
    if (!data || !data->hasFormat(kPaneMimeType)) return DragSource::None;
    const QList<QByteArray> parts = data->data(kPaneMimeType).split(':');
    if (parts.size() != 2 || parts[0].toULongLong() != quintptr(this)) return DragSource::None;
    const int source = parts[1].toInt();
    if (source < int(DragSource::None) || source > int(DragSource::PcTree)) return DragSource::None;
    return DragSource(source);
}

std::vector<std::string> TFormSMC::DesktopPaths(const QMimeData* data) {
    std::vector<std::string> paths;
    if (!data || data->hasFormat(kPaneMimeType) || !data->hasUrls()) return paths;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile()) return {};
        QString path = url.toLocalFile();
        while (path.size() > 1 && path.endsWith('/'))
            path.chop(1);
        const QFileInfo info(path);
        if (!info.exists()) return {};
        // Folders travel with a trailing "/", as the core's copy lists mark them.
        paths.push_back(info.isDir() ? path.toStdString() + "/" : path.toStdString());
    }
    return paths;
}

void TFormSMC::DropDesktopFiles(const std::vector<std::string>& paths, TreeNode* node) {
    if (paths.empty() || manager_->storageKind() == StorageKind::None) return;
    const std::string dest = node ? manager_->cardPathOf(node) : manager_->cardPath();
    progress_.showProgress();
    (void)manager_->copyToCard(dest, paths);
    progress_.hideProgress();
    manager_->refreshCard();
}

bool TFormSMC::acceptOnSmc(const QMimeData* data, QTreeWidgetItem*) {
    if (data && data->hasFormat(kPaneMimeType))
        return manager_->acceptsCardDrop(DragSourceOf(data));
    return manager_->storageKind() != StorageKind::None && !DesktopPaths(data).empty();
}

void TFormSMC::dropOnSmc(const QMimeData* data, QTreeWidgetItem* item, bool onTree) {
    TreeNode* node = onTree ? NodeOf(item) : nullptr;
    if (onTree && !node) return; // a drop on no node does nothing
    if (!data->hasFormat(kPaneMimeType)) {
        afterDrop(Side::Card, node,
                  [this, paths = DesktopPaths(data), node] { DropDesktopFiles(paths, node); });
        return;
    }
    const DragSource source = DragSourceOf(data);
    if (onTree)
        afterDrop(Side::Card, node,
                  [this, source, node] { manager_->dropOnCardTree(source, node); });
    else
        afterDrop(Side::Card, nullptr, [this, source] { manager_->dropOnCardList(source); });
}

void TFormSMC::afterDrop(Side side, const TreeNode* node, std::function<void()> action) {
    // The drag's source waits for the drop to finish; a copy may take long, so it runs once
    // the drop is done. The node is checked again: it must still be in the tree by then.
    QMetaObject::invokeMethod(
        this,
        [this, side, node, action = std::move(action)] {
            if (node && !ItemOf(side, node)) return;
            run(action);
        },
        Qt::QueuedConnection);
}

void TFormSMC::run(const std::function<void()>& action) {
    // The progress window processes events while an operation runs; a queued drop that
    // comes through then must not start a second operation inside the first.
    if (running_) return;
    running_ = true;
    action();
    running_ = false;
}

void TFormSMC::closeEvent(QCloseEvent* event) {
    manager_->closeStorage();
    emit closed();
    event->accept();
}
