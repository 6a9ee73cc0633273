// Creating and deleting on the card: the three delete triggers with their confirmation, the
// walk over the selection (stopping at the first failure), the delete of one folder (with
// its contents) or file on either backend, and the creation of one folder, which the copy
// and the format use as well.
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <devicelink/device_link.h>
#include <smfs/smfs.h>

#include <optional>

namespace {

constexpr const char* kDeleteQuestion = "do you really want to delete?";

} // namespace

void SmcManager::deleteSelection() {
    if (!ui_.askOkCancel(kDeleteQuestion, ManagerUi::QuestionKind::Information)) return;
    prog().showProgress();
    collectCardSelection();
    (void)deleteCardItems(copiedCardItems_);
    prog().hideProgress();
    refreshCard();
}

void SmcManager::deleteListSelection() {
    collectCardSelection();
    if (copiedCardItems_.empty()) return;
    if (!ui_.askOkCancel(kDeleteQuestion, ManagerUi::QuestionKind::Information)) return;
    prog().showProgress();
    (void)deleteCardItems(copiedCardItems_);
    prog().hideProgress();
    refreshCard();
}

void SmcManager::cardTreeKeyPressed(int key) {
    if (key != kKeyDelete) return;
    // The card itself has no parent to show and is no folder to delete.
    TreeNode* node = cardSelected_;
    if (!node || !node->parent) return;
    if (!ui_.askOkCancel(kDeleteQuestion, ManagerUi::QuestionKind::Information)) return;
    prog().showProgress();
    copiedCardItems_.clear();
    copiedCardItems_.push_back(cardPathOf(node) + "\\");
    cardPath_ = cardPathOf(node->parent);
    (void)deleteCardItems(copiedCardItems_);
    prog().hideProgress();
    refreshCard();
}

void SmcManager::createFolder() {
    const std::string name = ui_.askText("folder name", "please type folder name", "");
    if (name.empty()) return;
    const std::string path = JoinCardPath(cardPath_, name);
    prog().showProgress();
    (void)makeCardFolder(path);
    prog().hideProgress();
    refreshCard();
}

bool SmcManager::deleteCardItems(const std::vector<std::string>& list) {
    bool deleted = true;
    for (const std::string& entry : list) {
        deleted = !entry.empty() && entry.back() == '\\'
                      ? deleteCardFolder(entry.substr(0, entry.size() - 1))
                      : deleteCardFile(entry);
        if (!deleted) break;
    }
    return syncImage() && deleted;
}

namespace {

// Shows one card step in the progress window: its text, the animation running and the
// gauges hidden, since a single step has no progress to show.
void beginStep(ProgressUi& p, const std::string& text,
               std::optional<ProgressUi::Animation> animation) {
    p.setStepText(text);
    if (animation) p.setAnimation(*animation);
    p.startAnimation();
    p.setPartVisible(ProgressUi::Part::ItemGauge, false);
    p.setPartVisible(ProgressUi::Part::TotalGauge, false);
}

// Gives the gauges back to the operation around the step.
void endStep(ProgressUi& p) {
    p.setPartVisible(ProgressUi::Part::ItemGauge, true);
    p.setPartVisible(ProgressUi::Part::TotalGauge, true);
    p.stopAnimation();
}

} // namespace

bool SmcManager::deleteCardFolder(const std::string& path) {
    ProgressUi& p = prog();
    beginStep(p, "now deleting folder '" + LastCardComponent(path) + "'...",
              ProgressUi::Animation::DeleteFile);

    const char* failure = nullptr;
    if (storageKind_ == StorageKind::VirtualCard) {
        if (smfs_rmdir(path.c_str(), 1) != SmfsResult::Ok)
            failure = "an error has occurred while deleting folder in virtual SMC.";
    } else if (storageKind_ == StorageKind::Machine) {
        static constexpr LinkText kTexts[] = {
            {LINK_TIMEOUT, "timed out while deleting folder in SMC."},
            {LINK_IO_FAILED, "unknown error has occurred."},
            {LINK_BAD_REPLY, "communication error has occurred."},
            {LINK_DEVICE_ERROR, "an error has occurred in Vela."},
        };
        // The card itself is no folder to remove; what the machine would do is unknown.
        if (const int result =
                path == "vx:" || path == kCardRoot ? LINK_NO_PATH : link_->RemoveFolder(path);
            result != LINK_OK)
            failure = LinkFailureText(result, kTexts, "default error has occurred.");
    }
    if (failure) message(failure);
    endStep(p);
    return failure == nullptr;
}

bool SmcManager::deleteCardFile(const std::string& path) {
    ProgressUi& p = prog();
    beginStep(p, "now deleting file '" + LastCardComponent(path) + "'...",
              ProgressUi::Animation::DeleteFile);

    const char* failure = nullptr;
    if (storageKind_ == StorageKind::VirtualCard) {
        if (smfs_delete(path.c_str()) != SmfsResult::Ok)
            failure = "an error has occurred while deleting file in virtual SMC.";
    } else if (storageKind_ == StorageKind::Machine) {
        static constexpr LinkText kTexts[] = {
            {LINK_TIMEOUT, "timed out while deleting file in SMC."},
            {LINK_IO_FAILED, "an error has occurred in Vela."},
            {LINK_BAD_REPLY, "communication error has occurred."},
            {LINK_DEVICE_ERROR, "an error has occurred in Vela."},
        };
        if (const int result = link_->RemoveFile(path); result != LINK_OK)
            failure = LinkFailureText(result, kTexts, "unknown error has occurred.");
    }
    if (failure) message(failure);
    endStep(p);
    return failure == nullptr;
}

bool SmcManager::makeCardFolder(const std::string& path) {
    ProgressUi& p = prog();
    beginStep(p, "now creating folder '" + LastCardComponent(path) + "'", std::nullopt);

    const char* failure = nullptr;
    if (storageKind_ == StorageKind::VirtualCard) {
        const SmfsResult result = smfs_mkdir(path.c_str(), 0);
        if (result == SmfsResult::InvalidArgument || result == SmfsResult::NotFound)
            failure = "parent folder doesn't exist.";
        else if (result != SmfsResult::Ok)
            failure = "an error occurred while creating folder in virtual SMC.";
    } else if (storageKind_ == StorageKind::Machine) {
        static constexpr LinkText kTexts[] = {
            {LINK_TIMEOUT, "timed out while creting folder in SMC."},
            {LINK_IO_FAILED, "unknown error has occurred."},
            {LINK_BAD_REPLY, "communication error has occurred."},
            {LINK_DEVICE_ERROR, "an error has occurred in Vela."},
            {LINK_NO_PATH, "parent path doesn't exist."},
        };
        if (const int result = link_->MakeFolder(path); result != LINK_OK)
            failure = LinkFailureText(result, kTexts, "default error has occurred.");
    }
    if (failure) message(failure);
    endStep(p);
    return syncImage() && failure == nullptr;
}
