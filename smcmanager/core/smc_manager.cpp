// SPDX-License-Identifier: MIT
// The manager's state and its open card: construction and destruction, opening a virtual
// SMC or the machine, closing, the card tree's root, the refresh after a change and the size
// line. Which card is open is decided here alone: everything else talks to CardStorage.
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <devicelink/device_link.h>
#include <devicelink/transport.h>

namespace {

// What a user who may not open the machine's USB device is told below the usual first line:
// the package's udev rule gives the logged-in user the device when it is plugged in.
constexpr const char* kNoUsbPermission =
    "failed to open USB port.\nthis user may not use the machine's USB device: install the udev "
    "rule 70-vela.rules (in /lib/udev/rules.d), then unplug the machine and plug it in again.";

} // namespace

SmcManager::SmcManager(ManagerUi& ui, std::unique_ptr<DeviceLink> link)
    : ui_(ui), link_(std::move(link)) {}

SmcManager::~SmcManager() {
    storage_.reset(); // the machine card says goodbye over the link before the link goes
}

void SmcManager::setCardClock(SmfsClock clock) {
    cardClock_ = clock;
    if (storage_) storage_->setClock(clock);
}

bool SmcManager::report(const CardResult& result) {
    for (const std::string& note : result.notes)
        message(note);
    if (result) return true;
    if (!result.message.empty()) message(result.message);
    if (result.code == CardResult::Code::Cancelled) cancelled_ = true;
    return false;
}

// ---- Opening and closing ----

void SmcManager::openVirtualCard() {
    closeStorage();
    const auto chosen = ui_.chooseOpenFile(kImageFilter, kImageExtension);
    if (!chosen) return;
    (void)openImage(*chosen);
}

bool SmcManager::openImage(const std::filesystem::path& image) {
    closeStorage();
    imageName_ = image.filename().string();
    std::string failure;
    auto card = ::openVirtualCard(image, cardClock_, failure, imageInUse_);
    if (!card) {
        message(failure);
        return false;
    }
    return openStorage(std::move(card), StorageKind::VirtualCard);
}

bool SmcManager::openStorage(std::unique_ptr<CardStorage> storage, StorageKind kind) {
    closeStorage();
    storage_ = std::move(storage);
    storageKind_ = kind;
    cardPath_ = kCardRoot;
    if (storage_->hasSpace()) {
        const CardResult space = storage_->space(totalBytes_, usedBytes_, freeBytes_);
        if (space.code == CardResult::Code::Unformatted) {
            // The storage stays open on the unformatted card when the offer is declined.
            if (!offerFormat()) return false;
        } else if (!report(space)) {
            // No volume to show: the file is no card, so it is not kept open either.
            closeStorage();
            return false;
        }
    }
    showCardRoot();
    refreshCard();
    return true;
}

void SmcManager::openMachineCard() {
    closeStorage();
    message("connect with Vela machine via USB cable\nand set the mode to 'PC-Link' mode.\nif "
            "ready, press button");
    (void)connectMachine();
}

bool SmcManager::connectMachine() {
    closeStorage();
    if (!link_) {
        message("failed to open USB port.");
        return false;
    }
    link_->Reset();
    const LinkResult result = link_->Connect();
    switch (result) {
    case LinkResult::Ok:
        break;
    case LinkResult::NoDevice:
        message("failed to open USB port.");
        return false;
    case LinkResult::NoPermission:
        message(kNoUsbPermission);
        return false;
    case LinkResult::IoFailed:
        message("unknown error has occurred.");
        return false;
    case LinkResult::Timeout:
        message("timed out trying to connect with Vela machine.");
        return false;
    default:
        message("default error occurred.");
        return false;
    }
    storage_ = machineCard(*link_, machineFolder_);
    storageKind_ = StorageKind::Machine;
    cardPath_ = kCardRoot;
    showCardRoot();
    listCardFolder();
    return true;
}

void SmcManager::machineArrived() {
    // A window's question may let a second arrival in while it waits.
    if (storage_ || offeringMachine_) return;
    offeringMachine_ = true;
    const bool open =
        ui_.askOkCancel("a Vela machine was connected by USB cable.\nopen SMC in Vela?",
                        ManagerUi::QuestionKind::Confirmation);
    offeringMachine_ = false;
    if (open && !storage_) openMachineCard();
}

void SmcManager::closeCard() {
    closeStorage();
}

void SmcManager::closeStorage() {
    storage_.reset();
    storageKind_ = StorageKind::None;
    // Panes that show a card nobody can reach any more only mislead.
    clearCardPanes();
    setStatusText("");
}

bool SmcManager::syncImage() {
    if (!storage_ || changeDepth_ > 0) return true;
    return report(storage_->sync());
}

// ---- The card panes ----

void SmcManager::clearCardTree() {
    ui_.treeAboutToChange(nullptr);
    cardSelected_ = nullptr;
    cardRoot_.reset();
    ui_.treeChanged(nullptr);
}

void SmcManager::clearCardPanes() {
    clearCardTree();
    setCardItems({});
    setCardPathText("");
}

void SmcManager::showCardRoot() {
    clearCardTree();
    if (!storage_) return;
    auto root = std::make_unique<TreeNode>();
    root->caption = storage_->caption();
    root->image = kImageOther;
    root->selectedImage = kImageOther;
    root->hasButton = cardHasSubfolders(kCardRoot);
    ui_.treeAboutToChange(nullptr);
    cardRoot_ = std::move(root);
    ui_.treeChanged(nullptr);
}

void SmcManager::refreshCard() {
    revealCardPath();
    listCardFolder();
    showSpace();
}

void SmcManager::showSpace() {
    if (!storage_ || !storage_->hasSpace()) return;
    std::uint64_t total = 0, used = 0, free = 0;
    if (!report(storage_->space(total, used, free))) return;
    totalBytes_ = total;
    usedBytes_ = used;
    freeBytes_ = free;
    char text[128];
    std::snprintf(text, sizeof text, "total size:%dKB used size:%dKB free size:%dKB",
                  int(total >> 10), int(used >> 10), int(free >> 10));
    setStatusText(text);
}

void SmcManager::setStatusText(std::string text) {
    statusText_ = std::move(text);
    ui_.statusTextChanged(statusText_);
}

void SmcManager::setCardItems(std::vector<ListItem> items) {
    cardItems_ = std::move(items);
    cardSelection_.clear();
    ui_.listChanged(cardItems_);
}

void SmcManager::setCardPathText(std::string text) {
    cardPathText_ = std::move(text);
    ui_.pathTextChanged(cardPathText_);
}

void SmcManager::selectCardNode(TreeNode* node) {
    cardSelected_ = node;
    ui_.treeSelectionChanged(node);
}

// ---- Copy and paste ----

void SmcManager::pasteToCard(std::string dest, const std::vector<std::string>& list) {
    if (!storage_ || list.empty()) return;
    if (dest.empty()) dest = cardPath_;
    prog().showProgress();
    (void)copyToCard(std::move(dest), list);
    prog().hideProgress();
    refreshCard();
}

void SmcManager::copySelectionToPc(const std::string& folder) {
    prog().showProgress();
    (void)copyToPc(folder, selectedCardEntries());
    prog().hideProgress();
}

void SmcManager::pasteToPc(const std::string& folder) {
    if (copiedCardItems_.empty()) return;
    prog().showProgress();
    (void)copyToPc(folder, copiedCardItems_);
    prog().hideProgress();
}
