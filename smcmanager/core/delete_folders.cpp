// SPDX-License-Identifier: MIT
// Creating and deleting on the card: the three delete triggers with their confirmation, the
// walk over the selection (stopping at the first failure), the delete of one folder (with
// its contents) or file, and the creation of one folder, which the copy
// and the format use as well.
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <algorithm>
#include <optional>

namespace {

constexpr const char* kDeleteQuestion = "do you really want to delete?";

} // namespace

void SmcManager::deleteSelection() {
    if (!ui_.askOkCancel(kDeleteQuestion, ManagerUi::QuestionKind::Information)) return;
    prog().showProgress();
    (void)deleteCardItems(selectedCardEntries());
    prog().hideProgress();
    refreshCard();
}

void SmcManager::deleteListSelection() {
    const std::vector<std::string> entries = selectedCardEntries();
    if (entries.empty()) return;
    if (!ui_.askOkCancel(kDeleteQuestion, ManagerUi::QuestionKind::Information)) return;
    prog().showProgress();
    (void)deleteCardItems(entries);
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
    const std::vector<std::string> entries{cardPathOf(node) + "\\"};
    cardPath_ = cardPathOf(node->parent);
    (void)deleteCardItems(entries);
    prog().hideProgress();
    refreshCard();
}

void SmcManager::createFolder() {
    const std::string name = ui_.askText("folder name", "please type folder name", "");
    if (name.empty()) return;
    if (const CardNameFit fit = cardNameFit(name); fit != CardNameFit::Fits) {
        message("'" + name +
                "' cannot be stored on the card (8.3 names: up to 8 characters, a "
                "dot and 3 characters): " +
                CardNameProblem(fit));
        return;
    }
    const std::string path = JoinCardPath(cardPath_, name);
    prog().showProgress();
    (void)makeCardFolder(path);
    prog().hideProgress();
    refreshCard();
}

bool SmcManager::deleteCardItems(const std::vector<std::string>& list) {
    // Stops at the first entry that fails.
    if (storage_) storage_->beginGroup();
    const bool deleted = std::all_of(list.begin(), list.end(), [&](const std::string& entry) {
        return !entry.empty() && entry.back() == '\\'
                   ? deleteCardFolder(entry.substr(0, entry.size() - 1))
                   : deleteCardFile(entry);
    });
    const bool written = !storage_ || report(storage_->endGroup());
    return written && syncImage() && deleted;
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
    const bool deleted = storage_ && report(storage_->removeFolder(path));
    endStep(p);
    return deleted;
}

bool SmcManager::deleteCardFile(const std::string& path) {
    ProgressUi& p = prog();
    beginStep(p, "now deleting file '" + LastCardComponent(path) + "'...",
              ProgressUi::Animation::DeleteFile);
    const bool deleted = storage_ && report(storage_->removeFile(path));
    endStep(p);
    return deleted;
}

bool SmcManager::makeCardFolder(const std::string& path) {
    ProgressUi& p = prog();
    beginStep(p, "now creating folder '" + LastCardComponent(path) + "'", std::nullopt);
    const bool made = storage_ && report(storage_->makeFolder(path));
    endStep(p);
    return syncImage() && made;
}
