// SPDX-License-Identifier: MIT
// SmcManagerWindow, the SMC manager window: the card's folder tree and list above, the
// PC's below, the "&File" menu, the card list's popup menu and the size line in the status
// bar. The window decides nothing: it hands every menu choice, selection, expansion,
// double-click, key and drop on the card side to the manager core, and shows what the core
// shows.
//
// The core runs on the window's worker thread (ManagerWorker): every call is a task posted
// there, so the window repaints, moves and answers while a card is opened, listed, copied
// or formatted. The card side shows the core's snapshots through CardTreeModel and
// CardListModel; the PC side is the platform's file system through QFileSystemModel. While
// tasks are waiting or running the window shows a busy cursor; closing it then asks
// whether to cancel, and it closes once the running task has ended.
#pragma once

#include "smcmanager_ui/manager_dialogs.h"
#include "smcmanager_ui/manager_worker.h"

#include <QPointer>
#include <QSet>
#include <QThread>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

class CardListModel;
class CardTreeModel;
class DeviceLink;
class PaneView;
class PcListModel;
class PlatformIcons;
class ProgressDialog;
class QAction;
class QFileSystemModel;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QMimeData;

// The text of the question asked when the window is closed during an operation.
inline constexpr const char* kCancelAndCloseQuestion =
    "an operation is in progress.\ndo you want to cancel it and close?";

class SmcManagerWindow : public QWidget {
    Q_OBJECT
public:
    using Task = ManagerWorker::Task;

    // A manager window showing PC files with icons, reaching the machine through link (may
    // be nullptr) and asking through dialogs (nullptr: the real ones).
    SmcManagerWindow(const PlatformIcons& icons, std::unique_ptr<DeviceLink> link,
                     std::unique_ptr<ManagerDialogs> dialogs = nullptr, QWidget* parent = nullptr);
    // Waits for the running task (a copy is cancelled, questions are refused), then closes
    // the storage.
    ~SmcManagerWindow() override;

    // Runs task on the core, on the worker thread, after the tasks posted before it.
    void post(Task task);
    // Whether tasks are waiting or running.
    bool busy() const { return pending_ > 0; }
    // Whether the window will close as soon as the running task has ended.
    bool closePending() const { return closeWhenIdle_; }
    // Opens a card image as the virtual SMC (as Open > Virtual SMC does after its chooser).
    void openCardImage(const std::string& path);
    // A machine was plugged in: the core may offer to open it.
    void machineArrived();

    // The current PC folder and the way to another (what the path bar and the PC tree do).
    QString pcFolder() const { return pcFolder_; }
    void showPcFolder(const QString& folder);

    ProgressDialog* progressDialog() const { return progress_; }
    CardTreeModel* cardTreeModel() const { return cardTreeModel_; }
    CardListModel* cardListModel() const { return cardListModel_; }
    PcListModel* pcListModel() const { return pcListModel_; }

    QMenuBar* menuBar;
    QAction* openVirtualAction;
    QAction* openMachineAction;
    QAction* createVirtualAction;
    QAction* formatAction;
    QAction* copyAction;
    QAction* pasteAction;
    QAction* deleteAction;
    QAction* closeAction;
    QAction* exitAction;
    QMenu* cardListMenu;
    QAction* listCopyAction;
    QAction* listPasteAction;
    QAction* createFolderAction;
    QAction* listDeleteAction;
    PaneView* cardTree;
    QLineEdit* cardPath;
    PaneView* cardList;
    PaneView* pcTree;
    QLineEdit* pcPath;
    PaneView* pcList;
    QLabel* sizeLabel;

signals:
    // The window closed (its storage is closed by then).
    void closed();
    // The last waiting task has ended.
    void idle();
    // The card side shows a new snapshot.
    void snapshotShown();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    enum class Pane { None, CardTree, CardList, PcTree, PcList };

    void buildMenus();
    void buildPanes();
    void connectPanes();
    void showSnapshot(const CardSnapshot& snapshot);
    void taskDone();
    Pane focusedPane() const;
    // The captions of the selected card list rows.
    std::vector<std::string> selectedCardNames() const;
    // The selected PC list paths (folders end in "/").
    std::vector<std::string> selectedPcPaths() const;
    // The card path of the current card tree node (empty: none).
    std::string currentCardFolder() const;
    void copyFrom(Pane pane);
    void pasteInto(Pane pane);
    void deleteSelection(bool askWithNothingSelected);
    // Copies PC paths into the card folder dest (empty: the current one) and refreshes.
    void pasteToCard(std::string dest, std::vector<std::string> paths);
    // Copies the selected card items into a PC folder.
    void copyToPc(const QString& folder, std::vector<std::string> names);
    void openCardRow(int row);
    void cardFolderUp();
    void pcFolderUp();
    // Selects and shows the current PC folder's node in the PC tree.
    void revealPcFolder();
    bool cardKey(int key, bool inTree);
    bool pcKey(int key, bool inTree);
    QMimeData* cardDragData() const;
    bool fromOwnCardList(const QMimeData* data) const;
    static std::vector<std::string> localPaths(const QMimeData* data);
    void setPcBusy(bool busy);

    const PlatformIcons& icons_;
    std::unique_ptr<ManagerDialogs> dialogs_;
    ProgressDialog* progress_;
    CardTreeModel* cardTreeModel_;
    CardListModel* cardListModel_;
    QFileSystemModel* pcFolders_;
    QFileSystemModel* pcFiles_;
    PcListModel* pcListModel_;
    QThread thread_;
    ManagerWorker* worker_ = nullptr;
    int pending_ = 0;
    bool closeWhenIdle_ = false;
    bool showing_ = false; // a snapshot is being shown: view signals are not user actions
    StorageKind storageKind_ = StorageKind::None;
    QString pcFolder_;
    QSet<QString> loadedPcFolders_; // folders the PC model has read at least once
    std::vector<std::string> pcCopyList_;
    Pane lastPane_ = Pane::None;
};
