// TFormSMC, the SMC manager window: the card's folder tree and list above, the PC's below,
// the "&File" menu, the card list's popup menu and the size line in the status bar. The
// window owns the manager core (SmcManager) and is its ManagerUi: it mirrors the core's
// tree and list models into its controls, passes every menu choice, selection, expansion,
// double-click, key and drop to the core, and shows the dialogs the core asks for through
// a ManagerDialogs (real dialogs, or a scripted set in tests).
//
// Tree items carry a pointer to the core's node; the core announces every change of a
// node's children before it makes it (treeAboutToChange), and the window drops the items
// of those children at once, so no item outlives its node. Updates made to mirror the core
// run with the controls' signals blocked, so they never travel back to the core.
#pragma once

#include "smcmanager_ui/form_prog.h"
#include "smcmanager_ui/manager_dialogs.h"
#include "smcmanager_ui/pane_views.h"

#include <smcmanager/smc_manager.h>

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <unordered_map>

class DeviceLink;
class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class SysImageList;

class TFormSMC : public QWidget, public ManagerUi {
    Q_OBJECT
public:
    // A manager window using the shared progress window and icon lists, the link to the
    // machine (may be nullptr) and dialogs (nullptr: the real ones).
    TFormSMC(TFormProg& progress, const SysImageList& smallIcons, const SysImageList& largeIcons,
             std::unique_ptr<DeviceLink> link, std::unique_ptr<ManagerDialogs> dialogs = nullptr,
             QWidget* parent = nullptr);
    ~TFormSMC() override;

    SmcManager& manager() { return *manager_; }

    // ---- ManagerUi ----
    void showMessage(const std::string& text) override;
    bool askOkCancel(const std::string& text, QuestionKind kind) override;
    std::string askText(const std::string& caption, const std::string& prompt,
                        const std::string& initial) override;
    std::optional<std::filesystem::path> chooseOpenFile(const std::string& filter,
                                                        const std::string& extension) override;
    std::optional<std::filesystem::path> chooseSaveFile(const std::string& filter,
                                                        const std::string& extension) override;
    std::optional<CardChoice> chooseCardType(const std::vector<std::string>& vendors,
                                             const std::vector<std::string>& sizes,
                                             CardChoice preselected) override;
    ProgressUi& progress() override { return progress_; }
    void treeAboutToChange(Side side, const TreeNode* node) override;
    void treeChanged(Side side, const TreeNode* node) override;
    void treeExpanded(Side side, const TreeNode* node) override;
    void treeSelectionChanged(Side side, const TreeNode* node) override;
    void listChanged(Side side, const std::vector<ListItem>& items) override;
    void pathTextChanged(Side side, const std::string& text) override;
    void statusTextChanged(const std::string& text) override;

    // The drag data of a drag that starts at source in this window.
    QMimeData* DragData(DragSource source) const;
    // The control of this window a drag came from (None: another window or program).
    DragSource DragSourceOf(const QMimeData* data) const;
    // Local files and folders a drag from the desktop carries (empty: none, or not all local).
    static std::vector<std::string> DesktopPaths(const QMimeData* data);
    // Copies PC files and folders dropped from the desktop into the card folder of node
    // (nullptr: the current card folder), as a drop from the PC list would.
    void DropDesktopFiles(const std::vector<std::string>& paths, TreeNode* node);

    // The item mirroring a core node, and the node behind an item (nullptr: none).
    QTreeWidgetItem* ItemOf(Side side, const TreeNode* node) const;
    TreeNode* NodeOf(QTreeWidgetItem* item) const;

    // Menu items and controls, named as the window's form names them.
    QMenuBar* MainMenu;
    QAction* VirtualSMC1;
    QAction* ThroughUSBPort1;
    QAction* CreateVirtualSMC1;
    QAction* Format1;
    QAction* Copy1;
    QAction* Paste1;
    QAction* Delete1;
    QAction* Close1;
    QAction* Exit1;
    QMenu* MenuListSMC;
    QAction* CopyPopup;
    QAction* PastePopup;
    QAction* CreateFolder1;
    QAction* Delete2;
    PaneView* TreeSMC;
    QLineEdit* PathSMC;
    PaneView* ListSMC;
    PaneView* TreePC;
    QLineEdit* PathPC;
    PaneView* ListPC;
    QLabel* SzSMC;

signals:
    // The window closed (its storage is closed by then).
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildMenus();
    void buildPanes();
    void connectPanes();
    PaneView* treeOf(Side side) const { return side == Side::Card ? TreeSMC : TreePC; }
    QTreeWidgetItem* makeItem(Side side, const TreeNode* node);
    void addChildren(Side side, const TreeNode* node, QTreeWidgetItem* item);
    void forget(Side side, QTreeWidgetItem* item);
    Focus focus() const;
    // Runs a core action, unless one is running already.
    void run(const std::function<void()>& action);
    bool acceptOnSmc(const QMimeData* data, QTreeWidgetItem* item);
    void dropOnSmc(const QMimeData* data, QTreeWidgetItem* item, bool onTree);
    // Runs a drop's action from the event loop, once the drag has ended.
    void afterDrop(Side side, const TreeNode* node, std::function<void()> action);

    TFormProg& progress_;
    const SysImageList& smallIcons_;
    const SysImageList& largeIcons_;
    std::unique_ptr<ManagerDialogs> dialogs_;
    std::unordered_map<const TreeNode*, QTreeWidgetItem*> cardItems_;
    std::unordered_map<const TreeNode*, QTreeWidgetItem*> pcItems_;
    QPointer<QWidget> lastPane_;
    std::unique_ptr<SmcManager> manager_;
    bool running_ = false;
};
