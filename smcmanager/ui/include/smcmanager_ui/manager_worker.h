// SPDX-License-Identifier: MIT
// The manager's worker: a QObject that lives on the manager window's worker thread, owns
// the manager core and is its ManagerUi there. The window hands it every core call as a
// task (a queued invocation), so opens, listings, copies, deletes and formats never hold
// the window's thread.
//
// What the core tells its user crosses to the window's thread in three ways:
// - questions and messages: the dialog runs on the window's thread while the worker waits
//   for its answer without processing events; once the window goes, every waiting and
//   later question is answered as if cancelled;
// - progress: the progress window's own thread-safe ProgressUi (progress_dialog.h);
// - the card tree, the card list and the lines above and below them: a copy (CardSnapshot)
//   sent through a queued signal at the end of every task that changed them, and before
//   every question, so the window shows what the question is about.
#pragma once

#include <smcmanager/manager_ui.h>
#include <smcmanager/smc_manager.h>
#include <smcmanager/tree_model.h>

#include <QMetaType>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class DeviceLink;
class ManagerDialogs;
class ProgressDialog;
class QWidget;

// One node of the card tree as the window shows it; path is its card path.
struct CardNodeSnapshot {
    std::string caption;
    std::string path;
    int image = 0;
    int selectedImage = 0;
    bool hasButton = false;
    bool expanded = false;
    std::vector<CardNodeSnapshot> children;
};

// The card side of the window at one moment.
struct CardSnapshot {
    StorageKind storageKind = StorageKind::None;
    std::optional<CardNodeSnapshot> root;
    std::string selectedPath; // the selected tree node's card path; empty: none
    std::vector<ListItem> items;
    std::string pathText;
    std::string statusText;
};
Q_DECLARE_METATYPE(CardSnapshot)

class ManagerWorker : public QObject, public ManagerUi {
    Q_OBJECT
public:
    using Task = std::function<void(SmcManager&)>;

    // A worker whose core will reach the machine through link (may be nullptr) and show
    // progress in progress; dialogs run on owner's thread, with owner as their parent.
    ManagerWorker(std::unique_ptr<DeviceLink> link, ProgressDialog& progress,
                  ManagerDialogs& dialogs, QWidget* owner);
    ~ManagerWorker() override;

    // Worker thread: runs task on the core (made on first use), then sends a snapshot when
    // the card side changed, then taskDone.
    void runTask(const Task& task);
    // Worker thread: closes the storage and destroys the core.
    void shutDown();
    // Any thread: answers every waiting and later question as cancelled.
    void abandonQuestions();

    // The card tree node at a card path, or nullptr.
    static TreeNode* CardNodeAt(SmcManager& core, const std::string& path);
    // The indexes of the core's card list items with these captions.
    static std::vector<int> RowsOf(const SmcManager& core,
                                   const std::vector<std::string>& captions);

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
    ProgressUi& progress() override;
    ReplaceAnswer askReplace(const std::string& text) override;
    bool askMergeFolder(const std::string& text) override;
    void showSkippedNames(const std::string& text) override;
    bool askOpenCreatedImage(const std::string& text) override;
    void treeChanged(const TreeNode* node) override;
    void treeExpanded(const TreeNode* node) override;
    void treeSelectionChanged(const TreeNode* node) override;
    void listChanged(const std::vector<ListItem>& items) override;
    void pathTextChanged(const std::string& text) override;
    void statusTextChanged(const std::string& text) override;

signals:
    void snapshotReady(const CardSnapshot& snapshot);
    void taskDone();

private:
    struct Gate;
    // Runs question on the owner's thread and waits for its answer; refusal when the
    // window has gone.
    template <typename T> T ask(std::function<T()> question, T refusal);
    void sendSnapshot();

    std::unique_ptr<DeviceLink> link_; // handed to the core when it is made
    std::unique_ptr<SmcManager> core_;
    ProgressDialog& progress_;
    ManagerDialogs& dialogs_;
    QPointer<QWidget> owner_;
    std::shared_ptr<Gate> gate_;
    bool dirty_ = true;
    StorageKind sentKind_ = StorageKind::None;
};
