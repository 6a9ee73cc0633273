// The manager's state and its open storage: construction and destruction, opening a virtual
// SMC (a card object over the locked image file) or the machine, closing,
// the card tree's root, the refresh after a change and the size line. The image file is held
// under an exclusive lock while it is open and synced to the disk after each change.
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <devicelink/device_link.h>
#include <smfs/smfs.h>

#include <cstdlib>

namespace {

// What a user who may not open the machine's USB device is told below the usual first line:
// the package's udev rule gives the logged-in user the device when it is plugged in.
constexpr const char* kNoUsbPermission =
    "failed to open USB port.\nthis user may not use the machine's USB device: install the udev "
    "rule 70-vela.rules (in /lib/udev/rules.d), then unplug the machine and plug it in again.";

} // namespace

SmcManager::SmcManager(ManagerUi& ui, std::unique_ptr<DeviceLink> link)
    : ui_(ui), FLink(std::move(link)) {
    std::vector<std::string> roots = {"/"};
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/' && std::string(home) != "/") roots.emplace_back(home);
    pcRoots_ = std::move(roots);
    BuildPcRoot();
    ListPcFolder();
}

SmcManager::~SmcManager() {
    if (FStorageKind != kStorageNone) CloseStorage();
}

void SmcManager::setCardClock(SmfsClock clock) {
    cardClock_ = clock;
    if (card_) card_->setClock(clock);
}

void SmcManager::setPcRoots(std::vector<std::string> roots) {
    pcRoots_ = std::move(roots);
    FPcPath.clear();
    BuildPcRoot();
    ListPcFolder();
}

// ---- Opening and closing ----

void SmcManager::VirtualSMC1Click() {
    if (FStorageKind != kStorageNone) CloseStorage();
    const auto chosen = ui_.ChooseOpenFile(kSmcFilter, kSmcExtension);
    if (!chosen) return;
    (void)OpenVirtualSmc(*chosen);
}

bool SmcManager::OpenVirtualSmc(const std::filesystem::path& image) {
    if (FStorageKind != kStorageNone) CloseStorage();
    FImageName = image.filename().string();
    imageInUse_ = false;
    const ImageFile::Status opened = FImage.open(image, ImageFile::Access::Write);
    if (opened != ImageFile::Status::Ok) {
        // Two writers on one image would each overwrite the other's blocks and FAT.
        imageInUse_ = opened == ImageFile::Status::Locked;
        message("Failed to open virtual SMC file.");
        return false;
    }
    card_ = std::make_unique<SmfsCard>(FImage, cardClock_);
    FSmcPath = kSmcRoot;
    FStorageKind = kStorageVirtual;

    const SmfsResult space = card_->space("vx:", &FTotalSize, &FUsedSize, &FFreeSize);
    if (space == SmfsResult::Unformatted) {
        // The storage stays open on the unformatted image when the offer is declined.
        if (!OfferFormat()) return false;
    } else if (space != SmfsResult::Ok) {
        message("an error has occurred while gathering size information.");
        return false;
    }
    ShowSmcRoot();
    RefreshSmc();
    return true;
}

void SmcManager::ThroughUSBPort1Click() {
    if (FStorageKind != kStorageNone) CloseStorage();
    message("connect with Vela machine via USB cable\nand set the mode to 'PC-Link' mode.\nif "
            "ready, press button");
    (void)ConnectMachine();
}

bool SmcManager::ConnectMachine() {
    if (FStorageKind != kStorageNone) CloseStorage();
    if (!FLink) {
        message("failed to open USB port.");
        return false;
    }
    FLink->Reset();
    const LinkResult result = FLink->Connect();
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
    FSmcPath = kSmcRoot;
    FStorageKind = kStorageMachine;
    ShowSmcRoot();
    ListSmcFolder();
    return true;
}

void SmcManager::MachineArrived() {
    // A window's question runs an event loop, where a second arrival can come in.
    if (FStorageKind != kStorageNone || offeringMachine_) return;
    offeringMachine_ = true;
    const bool open =
        ui_.AskOkCancel("a Vela machine was connected by USB cable.\nopen SMC in Vela?",
                        ManagerUi::QuestionKind::Confirmation);
    offeringMachine_ = false;
    if (open && FStorageKind == kStorageNone) ThroughUSBPort1Click();
}

void SmcManager::Close1Click() {
    CloseStorage();
    ClearSmcPanes();
    FStorageKind = kStorageNone;
}

void SmcManager::CloseStorage() {
    if (FStorageKind == kStorageVirtual) {
        card_.reset();
        (void)FImage.close(); // every change was synced when it was made
    } else if (FStorageKind == kStorageMachine) {
        if (FLink && FLink->connected()) (void)FLink->Disconnect();
    }
    FStorageKind = kStorageNone;
}

bool SmcManager::syncImage() {
    if (FStorageKind != kStorageVirtual || changeDepth_ > 0 || !card_ ||
        card_->sync() == SmfsResult::Ok)
        return true;
    message("failed to write to virtual SMC file.");
    return false;
}

// ---- The card panes ----

void SmcManager::clearSmcTree() {
    ui_.TreeAboutToChange(Side::Smc, nullptr);
    smcSelected_ = nullptr;
    FSmcRoot.reset();
    ui_.TreeChanged(Side::Smc, nullptr);
}

void SmcManager::ClearSmcPanes() {
    clearSmcTree();
    setSmcItems({});
    setSmcPathText("");
}

void SmcManager::ShowSmcRoot() {
    clearSmcTree();
    auto root = std::make_unique<TreeNode>();
    root->caption =
        FStorageKind == kStorageVirtual ? "Virtual SMC '" + FImageName + "'" : "SMC in Vela";
    root->image = kImageOther;
    root->selectedImage = kImageOther;
    root->hasButton = SmcHasSubfolders(kSmcRoot);
    ui_.TreeAboutToChange(Side::Smc, nullptr);
    FSmcRoot = std::move(root);
    ui_.TreeChanged(Side::Smc, nullptr);
}

void SmcManager::RefreshSmc() {
    RevealSmcPath();
    ListSmcFolder();
    ShowSizeInfo();
}

void SmcManager::ShowSizeInfo() {
    if (FStorageKind != kStorageVirtual) return;
    std::uint64_t total = 0, used = 0, free = 0;
    if (card_->space("vx:", &total, &used, &free) != SmfsResult::Ok) {
        message("an error has occurred while gathering size information.");
        return;
    }
    FTotalSize = total;
    FUsedSize = used;
    FFreeSize = free;
    char text[128];
    std::snprintf(text, sizeof text, "total size:%dKB used size:%dKB free size:%dKB",
                  int(total >> 10), int(used >> 10), int(free >> 10));
    statusText_ = text;
    ui_.StatusTextChanged(statusText_);
}

void SmcManager::setSmcItems(std::vector<ListItem> items) {
    smcItems_ = std::move(items);
    smcSelection_.clear();
    ui_.ListChanged(Side::Smc);
}

void SmcManager::addSmcItem(ListItem item) {
    smcItems_.push_back(std::move(item));
}

void SmcManager::setSmcPathText(std::string text) {
    smcPathText_ = std::move(text);
    ui_.PathTextChanged(Side::Smc, smcPathText_);
}

void SmcManager::SelectSmcNode(TreeNode* node) {
    smcSelected_ = node;
    ui_.TreeSelectionChanged(Side::Smc, node);
}

void SmcManager::SelectPcNode(TreeNode* node) {
    pcSelected_ = node;
    ui_.TreeSelectionChanged(Side::Pc, node);
}

// ---- Copy and paste ----

void SmcManager::Copy1Click(Focus focus) {
    if (focus == Focus::SmcList) CollectSmcSelection();
    if (focus == Focus::PcList && !FPcPath.empty()) CollectPcSelection();
}

void SmcManager::Paste1Click(Focus focus) {
    if (focus == Focus::SmcList) {
        prog().Show();
        (void)PasteToSmc(FSmcPath, FCopyList);
        prog().Hide();
        // A paste normally leaves the panes as they are; after a cancel they show what
        // was copied before it.
        if (cancelled_) RefreshSmc();
    } else if (focus == Focus::PcList && !FPcPath.empty()) {
        // Card items put aside by Copy go into the current PC folder.
        prog().Show();
        (void)CopySelectionToPc(FPcPath, FSmcList);
        prog().Hide();
        RefreshPc();
    }
}
