// SPDX-License-Identifier: MIT
// The manager window: its controls and menus, the card and PC models, and the glue that
// posts every user action to the core on the worker thread.
#include "smcmanager_ui/smc_manager_window.h"

#include "smcmanager_ui/card_models.h"
#include "smcmanager_ui/manager_dialogs.h"
#include "smcmanager_ui/pane_views.h"
#include "smcmanager_ui/pc_models.h"
#include "smcmanager_ui/platform_icons.h"
#include "smcmanager_ui/progress_dialog.h"

#include <devicelink/device_link.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QSplitter>
#include <QStatusBar>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// The MIME type of a drag from the card list; its data names the window it started in.
constexpr const char* kCardDragType = "application/x-vela-card-items";

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// The card folder above path ("vx:\" stays where it is).
std::string cardParent(const std::string& path) {
    const std::size_t cut = path.rfind('\\');
    if (cut == std::string::npos || path == kCardRoot) return kCardRoot;
    const std::string parent = path.substr(0, cut);
    return parent + "\\" == kCardRoot ? std::string(kCardRoot) : parent;
}

void setupList(PaneView* list, int nameWidth) {
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSortingEnabled(true);
    list->header()->setSectionsMovable(false);
    list->header()->setSectionResizeMode(QHeaderView::Interactive);
    list->header()->setStretchLastSection(true);
    list->setColumnWidth(0, nameWidth);
    for (int column = 1; column < 4; ++column)
        list->setColumnWidth(column, column == 2 ? 140 : 100);
}

void setupTree(PaneView* tree) {
    tree->setHeaderHidden(true);
    tree->setSelectionMode(QAbstractItemView::SingleSelection);
    tree->setUniformRowHeights(true);
}

QWidget* pathAndList(QLineEdit* path, PaneView* list) {
    auto* box = new QWidget;
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
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

// The rows of a list view's selection, each once, in row order.
QModelIndexList selectedRows(const PaneView* view) {
    QModelIndexList rows = view->selectionModel()->selectedRows(0);
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    return rows;
}

} // namespace

SmcManagerWindow::SmcManagerWindow(const PlatformIcons& icons, std::unique_ptr<DeviceLink> link,
                                   std::unique_ptr<ManagerDialogs> dialogs, QWidget* parent)
    : QWidget(parent), icons_(icons),
      dialogs_(dialogs ? std::move(dialogs) : std::make_unique<QtManagerDialogs>()),
      progress_(new ProgressDialog(this)), cardTreeModel_(new CardTreeModel(this)),
      cardListModel_(new CardListModel(this)), pcFolders_(new QFileSystemModel(this)),
      pcFiles_(new QFileSystemModel(this)), pcListModel_(new PcListModel(pcFiles_, this)) {
    setObjectName("smcManagerWindow");
    setWindowTitle("SMC Manager");
    resize(870, 640);
    buildMenus();
    buildPanes();
    connectPanes();

    worker_ = new ManagerWorker(std::move(link), *progress_, *dialogs_, this);
    worker_->moveToThread(&thread_);
    connect(worker_, &ManagerWorker::snapshotReady, this, &SmcManagerWindow::showSnapshot);
    connect(worker_, &ManagerWorker::taskDone, this, &SmcManagerWindow::taskDone);
    thread_.setObjectName("smc-manager");
    thread_.start();
    showPcFolder(QDir::homePath());
}

SmcManagerWindow::~SmcManagerWindow() {
    worker_->abandonQuestions();
    progress_->requestCancel();
    QMetaObject::invokeMethod(
        worker_,
        [worker = worker_] {
            worker->shutDown();
            QThread::currentThread()->quit();
        },
        Qt::QueuedConnection);
    thread_.wait();
    delete worker_;
}

void SmcManagerWindow::buildMenus() {
    menuBar = new QMenuBar(this);
    QMenu* file = menuBar->addMenu("&File");
    QMenu* open = file->addMenu("&Open");
    openVirtualAction = open->addAction("&Virtual SMC");
    openMachineAction = open->addAction("SMC in &Vela");
    createVirtualAction = file->addAction("Create &Virtual SMC");
    formatAction = file->addAction("&Format");
    copyAction = file->addAction("&Copy");
    copyAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    pasteAction = file->addAction("&Paste");
    pasteAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_V));
    deleteAction = file->addAction("&Delete file(s) in SMC");
    closeAction = file->addAction("C&lose");
    file->addSeparator();
    exitAction = file->addAction("E&xit");
    // The shortcuts work wherever the focus is inside this window.
    for (QAction* action : {copyAction, pasteAction}) {
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        addAction(action);
    }

    cardListMenu = new QMenu(this);
    listCopyAction = cardListMenu->addAction("&Copy");
    listCopyAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    listPasteAction = cardListMenu->addAction("&Paste");
    listPasteAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_V));
    // The menu shows the keys; the main menu's shortcuts carry them.
    for (QAction* action : {listCopyAction, listPasteAction})
        action->setShortcutContext(Qt::WidgetShortcut);
    createFolderAction = cardListMenu->addAction("Create &Folder");
    listDeleteAction = cardListMenu->addAction("&Delete");
    listDeleteAction->setShortcut(QKeySequence(Qt::Key_Delete));
    listDeleteAction->setShortcutContext(Qt::WidgetShortcut);

    auto onCore = [this](QAction* action, void (SmcManager::*command)()) {
        connect(action, &QAction::triggered, this,
                [this, command] { post([command](SmcManager& core) { (core.*command)(); }); });
    };
    onCore(openVirtualAction, &SmcManager::openVirtualCard);
    onCore(openMachineAction, &SmcManager::openMachineCard);
    onCore(createVirtualAction, &SmcManager::createVirtualCard);
    onCore(formatAction, &SmcManager::formatCard);
    onCore(closeAction, &SmcManager::closeCard);
    onCore(createFolderAction, &SmcManager::createFolder);
    connect(copyAction, &QAction::triggered, this, [this] { copyFrom(focusedPane()); });
    connect(pasteAction, &QAction::triggered, this, [this] { pasteInto(focusedPane()); });
    connect(listCopyAction, &QAction::triggered, this, [this] { copyFrom(Pane::CardList); });
    connect(listPasteAction, &QAction::triggered, this, [this] { pasteInto(Pane::CardList); });
    connect(deleteAction, &QAction::triggered, this, [this] { deleteSelection(true); });
    connect(listDeleteAction, &QAction::triggered, this, [this] { deleteSelection(false); });
    connect(exitAction, &QAction::triggered, this, [this] {
        // Inside the main window the frame around this widget is what closes.
        QWidget* frame = parentWidget() ? parentWidget() : this;
        frame->close();
    });
}

void SmcManagerWindow::buildPanes() {
    cardTree = new PaneView;
    cardTree->setObjectName("cardTree");
    cardList = new PaneView;
    cardList->setObjectName("cardList");
    pcTree = new PaneView;
    pcTree->setObjectName("pcTree");
    pcList = new PaneView;
    pcList->setObjectName("pcList");
    cardPath = new QLineEdit;
    cardPath->setObjectName("cardPath");
    cardPath->setReadOnly(true);
    pcPath = new QLineEdit;
    pcPath->setObjectName("pcPath");

    cardTree->setModel(cardTreeModel_);
    cardList->setModel(cardListModel_);
    pcFolders_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
    pcFolders_->setRootPath(QDir::rootPath());
    pcFolders_->setIconProvider(icons_.provider());
    pcFiles_->setFilter(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Drives);
    pcFiles_->setIconProvider(icons_.provider());
    pcTree->setModel(pcFolders_);
    pcList->setModel(pcListModel_);
    setupTree(cardTree);
    setupTree(pcTree);
    for (int column = 1; column < pcFolders_->columnCount(); ++column)
        pcTree->hideColumn(column);
    pcTree->setSortingEnabled(true);
    pcTree->sortByColumn(0, Qt::AscendingOrder);
    // The name column holds a full 8.3 name on the card and a long name on the PC.
    const int nameWidth = fontMetrics().horizontalAdvance("wwwwwwww.www") + 40;
    setupList(cardList, std::max(nameWidth, 160));
    setupList(pcList, std::max(nameWidth, 260));
    // The card list keeps the listing's order until a column is clicked.
    cardList->header()->setSortIndicator(-1, Qt::AscendingOrder);
    pcList->sortByColumn(0, Qt::AscendingOrder);
    cardList->setContextMenuPolicy(Qt::CustomContextMenu);
    cardList->addAction(listDeleteAction);
    cardList->setDragEnabled(true);
    pcList->setDragEnabled(true);

    auto* halves = new QSplitter(Qt::Vertical);
    halves->addWidget(half(cardTree, pathAndList(cardPath, cardList)));
    halves->addWidget(half(pcTree, pathAndList(pcPath, pcList)));
    halves->setSizes({289, 300});

    auto* status = new QStatusBar;
    status->setSizeGripEnabled(false);
    sizeLabel = new QLabel;
    sizeLabel->setObjectName("sizeLabel");
    sizeLabel->setMinimumWidth(50);
    status->addWidget(sizeLabel, 1);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->setMenuBar(menuBar);
    column->addWidget(halves, 1);
    column->addWidget(status);
}

void SmcManagerWindow::connectPanes() {
    // The card tree: a new current node is listed, an expanded one re-read from the card.
    connect(cardTree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& index) {
                if (showing_ || !index.isValid()) return;
                post([path = index.data(kCardPathRole).toString().toStdString()](SmcManager& core) {
                    if (TreeNode* node = ManagerWorker::CardNodeAt(core, path))
                        core.selectCardFolder(node);
                });
            });
    connect(cardTree, &QTreeView::expanded, this, [this](const QModelIndex& index) {
        if (showing_) return;
        post([path = index.data(kCardPathRole).toString().toStdString()](SmcManager& core) {
            if (TreeNode* node = ManagerWorker::CardNodeAt(core, path)) {
                core.cardNodeExpanding(node);
                node->expanded = true; // shown open, with what the card holds now
            }
        });
    });
    connect(cardTree, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
        if (showing_) return;
        post([path = index.data(kCardPathRole).toString().toStdString()](SmcManager& core) {
            if (TreeNode* node = ManagerWorker::CardNodeAt(core, path)) node->expanded = false;
        });
    });
    connect(cardList, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { openCardRow(index.row()); });
    connect(cardList, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        cardListMenu->popup(cardList->viewport()->mapToGlobal(at));
    });
    cardTree->keyPressed = [this](int key) { return cardKey(key, true); };
    cardList->keyPressed = [this](int key) { return cardKey(key, false); };

    // The PC side: the tree and the path bar choose the folder the list shows.
    connect(pcTree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& index) {
                if (!showing_ && index.isValid()) showPcFolder(pcFolders_->filePath(index));
            });
    connect(pcList, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        if (pcListModel_->isDir(index)) showPcFolder(pcListModel_->filePath(index));
    });
    connect(pcPath, &QLineEdit::returnPressed, this, [this] {
        const QFileInfo typed(QDir::fromNativeSeparators(pcPath->text().trimmed()));
        if (typed.isDir())
            showPcFolder(typed.absoluteFilePath());
        else
            pcPath->setText(QDir::toNativeSeparators(pcFolder_));
    });
    connect(pcFiles_, &QFileSystemModel::directoryLoaded, this, [this](const QString& path) {
        loadedPcFolders_.insert(QDir::cleanPath(path));
        if (QDir::cleanPath(path) == pcFolder_) setPcBusy(false);
    });
    // The tree's folders are read on the model's thread: the current folder's node is
    // shown once the folders on its way are known.
    connect(pcFolders_, &QFileSystemModel::directoryLoaded, this, [this](const QString& path) {
        if (pcFolder_.startsWith(path)) revealPcFolder();
    });
    pcTree->keyPressed = [this](int key) { return pcKey(key, true); };
    pcList->keyPressed = [this](int key) { return pcKey(key, false); };

    // Drags: card items travel to the PC panes, PC files (and the desktop's) to the card.
    cardList->makeDragData = [this] { return cardDragData(); };
    pcList->makeDragData = [this] {
        QList<QUrl> urls;
        for (const std::string& path : selectedPcPaths())
            urls.append(QUrl::fromLocalFile(qs(path)));
        auto* data = new QMimeData;
        data->setUrls(urls);
        return data;
    };
    auto cardAccepts = [this](const QMimeData* data, const QModelIndex&) {
        return storageKind_ != StorageKind::None && !localPaths(data).empty();
    };
    cardList->acceptsDrop = cardAccepts;
    cardTree->acceptsDrop = [this, cardAccepts](const QMimeData* data, const QModelIndex& at) {
        return at.isValid() && cardAccepts(data, at);
    };
    cardList->dropped = [this](const QMimeData* data, const QModelIndex&) {
        pasteToCard({}, localPaths(data));
    };
    cardTree->dropped = [this](const QMimeData* data, const QModelIndex& at) {
        pasteToCard(at.data(kCardPathRole).toString().toStdString(), localPaths(data));
    };
    auto pcAccepts = [this](const QMimeData* data, const QModelIndex&) {
        return fromOwnCardList(data);
    };
    pcList->acceptsDrop = pcAccepts;
    pcTree->acceptsDrop = [this](const QMimeData* data, const QModelIndex& at) {
        return at.isValid() && fromOwnCardList(data);
    };
    pcList->dropped = [this](const QMimeData*, const QModelIndex&) {
        copyToPc(pcFolder_, selectedCardNames());
    };
    pcTree->dropped = [this](const QMimeData*, const QModelIndex& at) {
        copyToPc(pcFolders_->filePath(at), selectedCardNames());
    };

    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now == cardTree) lastPane_ = Pane::CardTree;
        if (now == cardList) lastPane_ = Pane::CardList;
        if (now == pcTree) lastPane_ = Pane::PcTree;
        if (now == pcList) lastPane_ = Pane::PcList;
    });
}

// ---- Tasks and snapshots ----

void SmcManagerWindow::post(Task task) {
    if (++pending_ == 1) setCursor(Qt::BusyCursor);
    QMetaObject::invokeMethod(
        worker_, [worker = worker_, task = std::move(task)] { worker->runTask(task); },
        Qt::QueuedConnection);
}

void SmcManagerWindow::taskDone() {
    if (--pending_ > 0) return;
    unsetCursor();
    emit idle();
    if (closeWhenIdle_) {
        closeWhenIdle_ = false;
        QWidget* frame = parentWidget() ? parentWidget() : this;
        frame->close();
    }
}

void SmcManagerWindow::showSnapshot(const CardSnapshot& snapshot) {
    showing_ = true;
    storageKind_ = snapshot.storageKind;
    // With no card open the card side shows nothing, whatever the last listing left.
    const bool open = snapshot.storageKind != StorageKind::None;
    cardTreeModel_->setRoot(open ? snapshot.root : std::nullopt);
    for (const QModelIndex& index : cardTreeModel_->expandedIndexes())
        cardTree->expand(index);
    const QModelIndex current = cardTreeModel_->indexOfPath(snapshot.selectedPath);
    cardTree->setCurrentIndex(current);
    if (current.isValid()) cardTree->scrollTo(current);
    cardListModel_->setItems(open ? snapshot.items : std::vector<ListItem>());
    cardPath->setText(open ? qs(snapshot.pathText) : QString());
    sizeLabel->setText(open ? qs(snapshot.statusText) : QString());
    showing_ = false;
    emit snapshotShown();
}

void SmcManagerWindow::openCardImage(const std::string& path) {
    post([path](SmcManager& core) { (void)core.openImage(path); });
}

void SmcManagerWindow::machineArrived() {
    post([](SmcManager& core) { core.machineArrived(); });
}

// ---- Selections and commands ----

SmcManagerWindow::Pane SmcManagerWindow::focusedPane() const {
    // The window's own focus child: the menu bar or a dialog may hold the application's.
    const QWidget* now = window()->focusWidget();
    if (now == cardTree) return Pane::CardTree;
    if (now == cardList) return Pane::CardList;
    if (now == pcTree) return Pane::PcTree;
    if (now == pcList) return Pane::PcList;
    return lastPane_;
}

std::vector<std::string> SmcManagerWindow::selectedCardNames() const {
    std::vector<std::string> names;
    for (const QModelIndex& row : selectedRows(cardList))
        names.push_back(cardListModel_->item(row.row()).caption);
    return names;
}

std::vector<std::string> SmcManagerWindow::selectedPcPaths() const {
    std::vector<std::string> paths;
    for (const QModelIndex& row : selectedRows(pcList)) {
        std::string path = QFile::encodeName(pcListModel_->filePath(row)).toStdString();
        // Folders travel with a trailing "/", as the core's copy lists mark them.
        if (pcListModel_->isDir(row)) path += "/";
        paths.push_back(std::move(path));
    }
    return paths;
}

std::string SmcManagerWindow::currentCardFolder() const {
    return cardTree->currentIndex().data(kCardPathRole).toString().toStdString();
}

void SmcManagerWindow::copyFrom(Pane pane) {
    if (pane == Pane::CardList) {
        post([names = selectedCardNames()](SmcManager& core) {
            core.setCardSelection(ManagerWorker::RowsOf(core, names));
            core.collectCardSelection();
        });
    } else if (pane == Pane::PcList) {
        // An empty selection keeps what was put aside before.
        std::vector<std::string> paths = selectedPcPaths();
        if (!paths.empty()) pcCopyList_ = std::move(paths);
    }
}

void SmcManagerWindow::pasteInto(Pane pane) {
    if (pane == Pane::CardList || pane == Pane::CardTree) {
        pasteToCard({}, pcCopyList_);
    } else if (pane == Pane::PcList || pane == Pane::PcTree) {
        post([folder = QFile::encodeName(pcFolder_).toStdString()](SmcManager& core) {
            core.pasteToPc(folder);
        });
    }
}

void SmcManagerWindow::pasteToCard(std::string dest, std::vector<std::string> paths) {
    if (paths.empty()) return;
    post([dest = std::move(dest), paths = std::move(paths)](SmcManager& core) {
        core.pasteToCard(dest, paths);
    });
}

void SmcManagerWindow::copyToPc(const QString& folder, std::vector<std::string> names) {
    if (folder.isEmpty() || names.empty()) return;
    post([folder = QFile::encodeName(folder).toStdString(), names](SmcManager& core) {
        core.setCardSelection(ManagerWorker::RowsOf(core, names));
        core.copySelectionToPc(folder);
    });
}

void SmcManagerWindow::deleteSelection(bool askWithNothingSelected) {
    post([names = selectedCardNames(), askWithNothingSelected](SmcManager& core) {
        core.setCardSelection(ManagerWorker::RowsOf(core, names));
        if (askWithNothingSelected)
            core.deleteSelection();
        else
            core.deleteListSelection();
    });
}

void SmcManagerWindow::openCardRow(int row) {
    if (row < 0 || row >= cardListModel_->rowCount()) return;
    const ListItem item = cardListModel_->item(row);
    if (item.data != kItemFolder) return;
    post([caption = item.caption](SmcManager& core) {
        const std::vector<int> rows = ManagerWorker::RowsOf(core, {caption});
        if (!rows.empty()) core.openCardItem(rows.front());
    });
}

void SmcManagerWindow::cardFolderUp() {
    post([](SmcManager& core) {
        if (core.storageKind() == StorageKind::None || core.cardPath() == kCardRoot) return;
        core.setCardPath(cardParent(core.cardPath()));
        core.refreshCard();
    });
}

bool SmcManagerWindow::cardKey(int key, bool inTree) {
    switch (key) {
    case Qt::Key_Delete:
        if (!inTree) return false; // the list's Delete item has the key
        post([path = currentCardFolder()](SmcManager& core) {
            core.selectCardNode(ManagerWorker::CardNodeAt(core, path));
            core.cardTreeKeyPressed(kKeyDelete);
        });
        return true;
    case Qt::Key_F5:
        post([](SmcManager& core) {
            if (core.storageKind() != StorageKind::None) core.refreshCard();
        });
        return true;
    case Qt::Key_Backspace:
        cardFolderUp();
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (inTree) return false;
        openCardRow(cardList->currentIndex().row());
        return true;
    default:
        return false;
    }
}

// ---- The PC side ----

void SmcManagerWindow::setPcBusy(bool busy) {
    if (busy)
        pcList->setCursor(Qt::BusyCursor);
    else
        pcList->unsetCursor();
}

void SmcManagerWindow::showPcFolder(const QString& folder) {
    const QString clean = QDir::cleanPath(folder);
    if (!QFileInfo(clean).isDir()) return;
    pcFolder_ = clean;
    pcPath->setText(QDir::toNativeSeparators(clean));
    // The list is read on the model's own thread; the cursor says so until it is done.
    // A folder read before is shown at once (and watched for changes by the model).
    setPcBusy(!loadedPcFolders_.contains(clean));
    const QModelIndex source = pcFiles_->setRootPath(clean);
    pcList->setRootIndex(pcListModel_->mapFromSource(source));
    revealPcFolder();
}

void SmcManagerWindow::revealPcFolder() {
    showing_ = true;
    const QModelIndex node = pcFolders_->index(pcFolder_);
    pcTree->setCurrentIndex(node);
    pcTree->scrollTo(node);
    showing_ = false;
}

void SmcManagerWindow::pcFolderUp() {
    QDir folder(pcFolder_);
    if (folder.cdUp()) showPcFolder(folder.absolutePath());
}

bool SmcManagerWindow::pcKey(int key, bool inTree) {
    switch (key) {
    case Qt::Key_F5:
        // The model follows the folder's changes itself; F5 shows its node and list again.
        showPcFolder(pcFolder_);
        return true;
    case Qt::Key_Backspace:
        pcFolderUp();
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter: {
        if (inTree) return false;
        const QModelIndex current = pcList->currentIndex();
        if (current.isValid() && pcListModel_->isDir(current))
            showPcFolder(pcListModel_->filePath(current));
        return true;
    }
    default:
        return false;
    }
}

// ---- Drags ----

QMimeData* SmcManagerWindow::cardDragData() const {
    auto* data = new QMimeData;
    data->setData(kCardDragType, QByteArray::number(quintptr(this)));
    return data;
}

bool SmcManagerWindow::fromOwnCardList(const QMimeData* data) const {
    return data && data->hasFormat(kCardDragType) &&
           data->data(kCardDragType) == QByteArray::number(quintptr(this));
}

std::vector<std::string> SmcManagerWindow::localPaths(const QMimeData* data) {
    std::vector<std::string> paths;
    if (!data || data->hasFormat(kCardDragType) || !data->hasUrls()) return paths;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile()) return {};
        QString path = url.toLocalFile();
        while (path.size() > 1 && path.endsWith('/'))
            path.chop(1);
        const QFileInfo info(path);
        if (!info.exists()) return {};
        // Folders travel with a trailing "/", as the core's copy lists mark them.
        std::string bytes = QFile::encodeName(path).toStdString();
        paths.push_back(info.isDir() ? bytes + "/" : bytes);
    }
    return paths;
}

// ---- Closing ----

void SmcManagerWindow::closeEvent(QCloseEvent* event) {
    if (busy()) {
        event->ignore();
        if (closeWhenIdle_) return;
        if (dialogs_->okCancel(this, kCancelAndCloseQuestion,
                               ManagerUi::QuestionKind::Confirmation)) {
            closeWhenIdle_ = true;
            progress_->requestCancel();
        }
        return;
    }
    post([](SmcManager& core) { core.closeStorage(); });
    emit closed();
    event->accept();
}
