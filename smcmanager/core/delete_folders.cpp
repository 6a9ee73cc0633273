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

void SmcManager::Delete1Click() {
    if (!ui_.AskOkCancel(kDeleteQuestion, ManagerUi::QuestionKind::Information)) return;
    prog().Show();
    CollectSmcSelection();
    (void)DeleteCardItems(FSmcList);
    prog().Hide();
    RefreshSmc();
}

void SmcManager::Delete2Click() {
    CollectSmcSelection();
    if (FSmcList.empty()) return;
    if (!ui_.AskOkCancel(kDeleteQuestion, ManagerUi::QuestionKind::Information)) return;
    prog().Show();
    (void)DeleteCardItems(FSmcList);
    prog().Hide();
    RefreshSmc();
}

void SmcManager::TreeSMCKeyDown(int key) {
    if (key != kKeyDelete) return;
    // The card itself has no parent to show and is no folder to delete.
    TreeNode* node = smcSelected_;
    if (!node || !node->parent) return;
    if (!ui_.AskOkCancel(kDeleteQuestion, ManagerUi::QuestionKind::Information)) return;
    prog().Show();
    FSmcList.clear();
    FSmcList.push_back(SmcPathOf(node) + "\\");
    FSmcPath = SmcPathOf(node->parent);
    (void)DeleteCardItems(FSmcList);
    prog().Hide();
    RefreshSmc();
}

void SmcManager::CreateFolder1Click() {
    const std::string name = ui_.AskText("folder name", "please type folder name", "");
    if (name.empty()) return;
    const std::string path = JoinCardPath(FSmcPath, name);
    prog().Show();
    (void)MakeCardFolder(path);
    prog().Hide();
    RefreshSmc();
}

bool SmcManager::DeleteCardItems(const std::vector<std::string>& list) {
    bool deleted = true;
    for (const std::string& entry : list) {
        deleted = !entry.empty() && entry.back() == '\\'
                      ? DeleteCardFolder(entry.substr(0, entry.size() - 1))
                      : DeleteCardFile(entry);
        if (!deleted) break;
    }
    return syncImage() && deleted;
}

namespace {

// Shows one card step in the progress window: its text, the animation running and the
// gauges hidden, since a single step has no progress to show.
void beginStep(ProgressUi& p, const std::string& text,
               std::optional<ProgressUi::Animation> animation) {
    p.SetMsg1(text);
    if (animation) p.SetAnimation(*animation);
    p.StartAnimation();
    p.SetVisible(ProgressUi::Control::Prog1, false);
    p.SetVisible(ProgressUi::Control::Prog2, false);
    p.Repaint();
}

// Gives the gauges back to the operation around the step.
void endStep(ProgressUi& p) {
    p.SetVisible(ProgressUi::Control::Prog1, true);
    p.SetVisible(ProgressUi::Control::Prog2, true);
    p.StopAnimation();
}

} // namespace

bool SmcManager::DeleteCardFolder(const std::string& path) {
    ProgressUi& p = prog();
    beginStep(p, "now deleting folder '" + LastCardComponent(path) + "'...",
              ProgressUi::Animation::DeleteFile);

    const char* failure = nullptr;
    if (FStorageKind == kStorageVirtual) {
        if (card_->rmdir(path.c_str(), 1) != SmfsResult::Ok)
            failure = "an error has occurred while deleting folder in virtual SMC.";
    } else if (FStorageKind == kStorageMachine) {
        static constexpr LinkText kTexts[] = {
            {LinkResult::Timeout, "timed out while deleting folder in SMC."},
            {LinkResult::IoFailed, "unknown error has occurred."},
            {LinkResult::BadReply, "communication error has occurred."},
            {LinkResult::DeviceError, "an error has occurred in Vela."},
        };
        // The card itself is no folder to remove; what the machine would do is unknown.
        if (const LinkResult result =
                path == "vx:" || path == kSmcRoot ? LinkResult::NoPath : FLink->RemoveFolder(path);
            result != LinkResult::Ok)
            failure = LinkFailureText(result, kTexts, "default error has occurred.");
    }
    if (failure) message(failure);
    endStep(p);
    return failure == nullptr;
}

bool SmcManager::DeleteCardFile(const std::string& path) {
    ProgressUi& p = prog();
    beginStep(p, "now deleting file '" + LastCardComponent(path) + "'...",
              ProgressUi::Animation::DeleteFile);

    const char* failure = nullptr;
    if (FStorageKind == kStorageVirtual) {
        if (card_->remove(path.c_str()) != SmfsResult::Ok)
            failure = "an error has occurred while deleting file in virtual SMC.";
    } else if (FStorageKind == kStorageMachine) {
        static constexpr LinkText kTexts[] = {
            {LinkResult::Timeout, "timed out while deleting file in SMC."},
            {LinkResult::IoFailed, "an error has occurred in Vela."},
            {LinkResult::BadReply, "communication error has occurred."},
            {LinkResult::DeviceError, "an error has occurred in Vela."},
        };
        if (const LinkResult result = FLink->RemoveFile(path); result != LinkResult::Ok)
            failure = LinkFailureText(result, kTexts, "unknown error has occurred.");
    }
    if (failure) message(failure);
    endStep(p);
    return failure == nullptr;
}

bool SmcManager::MakeCardFolder(const std::string& path) {
    ProgressUi& p = prog();
    beginStep(p, "now creating folder '" + LastCardComponent(path) + "'", std::nullopt);

    const char* failure = nullptr;
    if (FStorageKind == kStorageVirtual) {
        const SmfsResult result = card_->mkdir(path.c_str(), 0);
        if (result == SmfsResult::InvalidArgument || result == SmfsResult::NotFound)
            failure = "parent folder doesn't exist.";
        else if (result != SmfsResult::Ok)
            failure = "an error occurred while creating folder in virtual SMC.";
    } else if (FStorageKind == kStorageMachine) {
        static constexpr LinkText kTexts[] = {
            {LinkResult::Timeout, "timed out while creting folder in SMC."},
            {LinkResult::IoFailed, "unknown error has occurred."},
            {LinkResult::BadReply, "communication error has occurred."},
            {LinkResult::DeviceError, "an error has occurred in Vela."},
            {LinkResult::NoPath, "parent path doesn't exist."},
        };
        if (const LinkResult result = FLink->MakeFolder(path); result != LinkResult::Ok)
            failure = LinkFailureText(result, kTexts, "default error has occurred.");
    }
    if (failure) message(failure);
    endStep(p);
    return syncImage() && failure == nullptr;
}
