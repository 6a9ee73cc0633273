// The manager's state and its open storage: construction and destruction, the claim on the
// card library's process-wide image slot, opening a virtual SMC or the machine, closing,
// the card tree's root, the refresh after a change and the size line. The image file is held
// under an exclusive lock while it is open and synced to the disk after each change.
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <devicelink/device_link.h>
#include <smfs/smfs.h>

#include <cstdlib>
#include <mutex>

namespace {

// What a user who may not open the machine's USB device is told below the usual first line:
// the package's udev rule gives the logged-in user the device when it is plugged in.
constexpr const char* kNoUsbPermission =
    "failed to open USB port.\nthis user may not use the machine's USB device: install the udev "
    "rule 70-vela.rules (in /lib/udev/rules.d), then unplug the machine and plug it in again.";

// The card library serves one image for the whole process; this is who holds it.
std::mutex gSlotMutex;
const SmcManager* gSlotOwner = nullptr;

} // namespace

SmcManager::SmcManager(ManagerUi& ui, std::unique_ptr<DeviceLink> link)
    : ui_(ui), link_(std::move(link)) {
    {
        // Emptying the slot another manager uses would pull its card away under it.
        std::lock_guard lock(gSlotMutex);
        if (!gSlotOwner) smfs_set_image(nullptr);
    }
    std::vector<std::string> roots = {"/"};
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/' && std::string(home) != "/") roots.emplace_back(home);
    pcRoots_ = std::move(roots);
    buildPcRoot();
    listPcFolder();
}

SmcManager::~SmcManager() {
    if (storageKind_ != StorageKind::None) closeStorage();
}

bool SmcManager::claimImageSlot() {
    std::lock_guard lock(gSlotMutex);
    if (gSlotOwner && gSlotOwner != this) return false;
    gSlotOwner = this;
    return true;
}

void SmcManager::releaseImageSlot() {
    std::lock_guard lock(gSlotMutex);
    if (gSlotOwner == this) gSlotOwner = nullptr;
}

void SmcManager::setPcRoots(std::vector<std::string> roots) {
    pcRoots_ = std::move(roots);
    pcPath_.clear();
    buildPcRoot();
    listPcFolder();
}

// ---- Opening and closing ----

void SmcManager::openVirtualCard() {
    if (storageKind_ != StorageKind::None) closeStorage();
    const auto chosen = ui_.chooseOpenFile(kImageFilter, kImageExtension);
    if (!chosen) return;
    (void)openImage(*chosen);
}

bool SmcManager::openImage(const std::filesystem::path& image) {
    if (storageKind_ != StorageKind::None) closeStorage();
    imageName_ = image.filename().string();
    imageInUse_ = false;
    if (!claimImageSlot()) {
        message("Failed to open virtual SMC file.");
        return false;
    }
    const ImageFile::Status opened = image_.open(image, ImageFile::Access::Write);
    if (opened != ImageFile::Status::Ok) {
        // Two writers on one image would each overwrite the other's blocks and FAT.
        imageInUse_ = opened == ImageFile::Status::Locked;
        releaseImageSlot();
        message("Failed to open virtual SMC file.");
        return false;
    }
    smfs_set_image(image_.stream());
    cardPath_ = kCardRoot;
    storageKind_ = StorageKind::VirtualCard;
    (void)smfs_init();

    const SmfsResult space = smfs_space("vx:", &totalBytes_, &usedBytes_, &freeBytes_);
    if (space == SmfsResult::Unformatted) {
        // The storage stays open on the unformatted image when the offer is declined.
        if (!offerFormat()) return false;
    } else if (space != SmfsResult::Ok) {
        message("an error has occurred while gathering size information.");
        return false;
    }
    showCardRoot();
    refreshCard();
    return true;
}

void SmcManager::openMachineCard() {
    if (storageKind_ != StorageKind::None) closeStorage();
    message("connect with Vela machine via USB cable\nand set the mode to 'PC-Link' mode.\nif "
            "ready, press button");
    (void)connectMachine();
}

bool SmcManager::connectMachine() {
    if (storageKind_ != StorageKind::None) closeStorage();
    if (!link_) {
        message("failed to open USB port.");
        return false;
    }
    link_->Reset();
    const int result = link_->Connect();
    switch (result) {
    case LINK_OK:
        break;
    case LINK_NO_DEVICE:
        message("failed to open USB port.");
        return false;
    case LINK_NO_PERMISSION:
        message(kNoUsbPermission);
        return false;
    case LINK_IO_FAILED:
        message("unknown error has occurred.");
        return false;
    case LINK_TIMEOUT:
        message("timed out trying to connect with Vela machine.");
        return false;
    default:
        message("default error occurred.");
        return false;
    }
    cardPath_ = kCardRoot;
    storageKind_ = StorageKind::Machine;
    showCardRoot();
    listCardFolder();
    return true;
}

void SmcManager::machineArrived() {
    // A window's question runs an event loop, where a second arrival can come in.
    if (storageKind_ != StorageKind::None || offeringMachine_) return;
    offeringMachine_ = true;
    const bool open =
        ui_.askOkCancel("a Vela machine was connected by USB cable.\nopen SMC in Vela?",
                        ManagerUi::QuestionKind::Confirmation);
    offeringMachine_ = false;
    if (open && storageKind_ == StorageKind::None) openMachineCard();
}

void SmcManager::closeCard() {
    closeStorage();
    clearCardPanes();
    storageKind_ = StorageKind::None;
}

void SmcManager::closeStorage() {
    if (storageKind_ == StorageKind::VirtualCard) {
        smfs_set_image(nullptr);
        (void)image_.close(); // every change was synced when it was made
        releaseImageSlot();
    } else if (storageKind_ == StorageKind::Machine) {
        if (link_ && link_->connected()) (void)link_->Disconnect();
    }
    storageKind_ = StorageKind::None;
}

bool SmcManager::syncImage() {
    if (storageKind_ != StorageKind::VirtualCard || changeDepth_ > 0 || image_.sync()) return true;
    message("failed to write to virtual SMC file.");
    return false;
}

// ---- The card panes ----

void SmcManager::clearCardTree() {
    ui_.treeAboutToChange(Side::Card, nullptr);
    cardSelected_ = nullptr;
    cardRoot_.reset();
    ui_.treeChanged(Side::Card, nullptr);
}

void SmcManager::clearCardPanes() {
    clearCardTree();
    setCardItems({});
    setCardPathText("");
}

void SmcManager::showCardRoot() {
    clearCardTree();
    auto root = std::make_unique<TreeNode>();
    root->caption = storageKind_ == StorageKind::VirtualCard ? "Virtual SMC '" + imageName_ + "'"
                                                             : "SMC in Vela";
    root->image = kImageOther;
    root->selectedImage = kImageOther;
    root->hasButton = cardHasSubfolders(kCardRoot);
    ui_.treeAboutToChange(Side::Card, nullptr);
    cardRoot_ = std::move(root);
    ui_.treeChanged(Side::Card, nullptr);
}

void SmcManager::refreshCard() {
    revealCardPath();
    listCardFolder();
    showSpace();
}

void SmcManager::showSpace() {
    if (storageKind_ != StorageKind::VirtualCard) return;
    std::uint64_t total = 0, used = 0, free = 0;
    if (smfs_space("vx:", &total, &used, &free) != SmfsResult::Ok) {
        message("an error has occurred while gathering size information.");
        return;
    }
    totalBytes_ = total;
    usedBytes_ = used;
    freeBytes_ = free;
    char text[128];
    std::snprintf(text, sizeof text, "total size:%dKB used size:%dKB free size:%dKB",
                  int(total >> 10), int(used >> 10), int(free >> 10));
    statusText_ = text;
    ui_.statusTextChanged(statusText_);
}

void SmcManager::setCardItems(std::vector<ListItem> items) {
    cardItems_ = std::move(items);
    cardSelection_.clear();
    ui_.listChanged(Side::Card);
}

void SmcManager::addCardItem(ListItem item) {
    cardItems_.push_back(std::move(item));
}

void SmcManager::setCardPathText(std::string text) {
    cardPathText_ = std::move(text);
    ui_.pathTextChanged(Side::Card, cardPathText_);
}

void SmcManager::selectCardNode(TreeNode* node) {
    cardSelected_ = node;
    ui_.treeSelectionChanged(Side::Card, node);
}

void SmcManager::selectPcNode(TreeNode* node) {
    pcSelected_ = node;
    ui_.treeSelectionChanged(Side::Pc, node);
}

// ---- Copy and paste ----

void SmcManager::copySelection(Focus focus) {
    if (focus == Focus::CardList) collectCardSelection();
    if (focus == Focus::PcList && !pcPath_.empty()) collectPcSelection();
}

void SmcManager::paste(Focus focus) {
    if (focus == Focus::CardList) {
        prog().showProgress();
        (void)copyToCard(cardPath_, copiedPcItems_);
        prog().hideProgress();
        // A paste normally leaves the panes as they are; after a cancel they show what
        // was copied before it.
        if (cancelled_) refreshCard();
    } else if (focus == Focus::PcList && !pcPath_.empty()) {
        // Card items put aside by Copy go into the current PC folder.
        prog().showProgress();
        (void)copyToPc(pcPath_, copiedCardItems_);
        prog().hideProgress();
        refreshPc();
    }
}
