// SPDX-License-Identifier: MIT
// The worker's tasks, its blocking questions and the snapshots of the card side.
#include "smcmanager_ui/manager_worker.h"

#include "smcmanager_ui/manager_dialogs.h"
#include "smcmanager_ui/progress_dialog.h"

#include <devicelink/device_link.h>

#include <QWidget>

#include <condition_variable>
#include <mutex>

// What a waiting question and the window's thread share; it outlives both sides.
struct ManagerWorker::Gate {
    std::mutex mutex;
    std::condition_variable answered;
    bool abandoned = false;
};

ManagerWorker::ManagerWorker(std::unique_ptr<DeviceLink> link, ProgressDialog& progress,
                             ManagerDialogs& dialogs, QWidget* owner)
    : link_(std::move(link)), progress_(progress), dialogs_(dialogs), owner_(owner),
      gate_(std::make_shared<Gate>()) {
    qRegisterMetaType<CardSnapshot>();
}

ManagerWorker::~ManagerWorker() = default;

void ManagerWorker::runTask(const Task& task) {
    if (!core_) core_ = std::make_unique<SmcManager>(*this, std::move(link_));
    task(*core_);
    // A storage closed without a change of the panes (an open cancelled in its chooser)
    // still empties the card side.
    if (dirty_ || core_->storageKind() != sentKind_) sendSnapshot();
    emit taskDone();
}

void ManagerWorker::shutDown() {
    core_.reset();
    link_.reset();
}

void ManagerWorker::abandonQuestions() {
    std::lock_guard lock(gate_->mutex);
    gate_->abandoned = true;
    gate_->answered.notify_all();
}

TreeNode* ManagerWorker::CardNodeAt(SmcManager& core, const std::string& path) {
    TreeNode* node = core.cardRoot();
    std::string rest = path;
    if (!node || SmcManager::popFirstComponent(rest) + "\\" != kCardRoot) return nullptr;
    while (node && !rest.empty())
        node = findChildNode(node, SmcManager::popFirstComponent(rest));
    return node;
}

std::vector<int> ManagerWorker::RowsOf(const SmcManager& core,
                                       const std::vector<std::string>& captions) {
    std::vector<int> rows;
    const std::vector<ListItem>& items = core.cardItems();
    for (std::size_t i = 0; i < items.size(); ++i) {
        for (const std::string& caption : captions) {
            if (items[i].caption == caption) {
                rows.push_back(int(i));
                break;
            }
        }
    }
    return rows;
}

template <typename T> T ManagerWorker::ask(std::function<T()> question, T refusal) {
    if (dirty_ && core_) sendSnapshot();
    struct Answer {
        std::optional<T> value;
    };
    auto answer = std::make_shared<Answer>();
    std::shared_ptr<Gate> gate = gate_;
    {
        std::lock_guard lock(gate->mutex);
        if (gate->abandoned || !owner_) return refusal;
    }
    QMetaObject::invokeMethod(
        owner_.data(),
        [gate, answer, question = std::move(question)] {
            T value = question();
            std::lock_guard lock(gate->mutex);
            answer->value = std::move(value);
            gate->answered.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(gate->mutex);
    gate->answered.wait(lock, [&] { return answer->value.has_value() || gate->abandoned; });
    return answer->value ? *answer->value : refusal;
}

void ManagerWorker::showMessage(const std::string& text) {
    (void)ask<bool>(
        [this, text] {
            dialogs_.message(owner_, text);
            return true;
        },
        false);
}

bool ManagerWorker::askOkCancel(const std::string& text, QuestionKind kind) {
    return ask<bool>([this, text, kind] { return dialogs_.okCancel(owner_, text, kind); }, false);
}

std::string ManagerWorker::askText(const std::string& caption, const std::string& prompt,
                                   const std::string& initial) {
    return ask<std::string>(
        [=, this] { return dialogs_.inputText(owner_, caption, prompt, initial); }, {});
}

std::optional<std::filesystem::path> ManagerWorker::chooseOpenFile(const std::string& filter,
                                                                   const std::string& extension) {
    using Answer = std::optional<std::filesystem::path>;
    return ask<Answer>([=, this] { return dialogs_.openFile(owner_, filter, extension); }, {});
}

std::optional<std::filesystem::path> ManagerWorker::chooseSaveFile(const std::string& filter,
                                                                   const std::string& extension) {
    using Answer = std::optional<std::filesystem::path>;
    return ask<Answer>([=, this] { return dialogs_.saveFile(owner_, filter, extension); }, {});
}

std::optional<CardChoice> ManagerWorker::chooseCardType(const std::vector<std::string>& vendors,
                                                        const std::vector<std::string>& sizes,
                                                        CardChoice preselected) {
    using Answer = std::optional<CardChoice>;
    return ask<Answer>([=, this] { return dialogs_.card(owner_, vendors, sizes, preselected); },
                       {});
}

ProgressUi& ManagerWorker::progress() {
    return progress_;
}

ManagerUi::ReplaceAnswer ManagerWorker::askReplace(const std::string& text) {
    return ask<ReplaceAnswer>([this, text] { return dialogs_.replace(owner_, text); },
                              ReplaceAnswer::Cancel);
}

bool ManagerWorker::askMergeFolder(const std::string& text) {
    return ask<bool>([this, text] { return dialogs_.mergeFolder(owner_, text); }, false);
}

void ManagerWorker::showSkippedNames(const std::string& text) {
    (void)ask<bool>(
        [this, text] {
            dialogs_.skippedNames(owner_, text);
            return true;
        },
        false);
}

bool ManagerWorker::askOpenCreatedImage(const std::string& text) {
    return ask<bool>([this, text] { return dialogs_.openCreatedImage(owner_, text); }, false);
}

void ManagerWorker::treeChanged(const TreeNode*) {
    dirty_ = true;
}

void ManagerWorker::treeExpanded(const TreeNode*) {
    dirty_ = true;
}

void ManagerWorker::treeSelectionChanged(const TreeNode*) {
    dirty_ = true;
}

void ManagerWorker::listChanged(const std::vector<ListItem>&) {
    dirty_ = true;
}

void ManagerWorker::pathTextChanged(const std::string&) {
    dirty_ = true;
}

void ManagerWorker::statusTextChanged(const std::string&) {
    dirty_ = true;
}

namespace {

CardNodeSnapshot copyNode(const SmcManager& core, const TreeNode& node) {
    CardNodeSnapshot copy;
    copy.caption = node.caption;
    copy.path = core.cardPathOf(&node);
    copy.image = node.image;
    copy.selectedImage = node.selectedImage;
    copy.hasButton = node.hasButton;
    copy.expanded = node.expanded;
    copy.children.reserve(node.children.size());
    for (const auto& child : node.children)
        copy.children.push_back(copyNode(core, *child));
    return copy;
}

} // namespace

void ManagerWorker::sendSnapshot() {
    dirty_ = false;
    CardSnapshot snapshot;
    snapshot.storageKind = sentKind_ = core_->storageKind();
    if (const TreeNode* root = core_->cardRoot()) snapshot.root = copyNode(*core_, *root);
    if (const TreeNode* selected = core_->selectedCardNode())
        snapshot.selectedPath = core_->cardPathOf(selected);
    snapshot.items = core_->cardItems();
    snapshot.pathText = core_->cardPathText();
    snapshot.statusText = core_->statusText();
    emit snapshotReady(snapshot);
}
