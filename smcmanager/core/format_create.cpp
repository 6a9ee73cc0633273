// Format and new card images: the format command and the offer to format an unformatted
// virtual SMC, the format of either backend (with the machine's default folders), and the
// "Create Virtual SMC" command with the writer of a blank image file.
#include "smcmanager/card_tables.h"
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <devicelink/device_link.h>
#include <smfs/smfs.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <system_error>

namespace {

constexpr std::array<const char*, 5> kDefaultFolders = {"game", "mp3", "vxsys", "vxmm", "vxetc"};

} // namespace

std::uint64_t ImageFileBytes(int sizeIndex) {
    if (sizeIndex < 0 || sizeIndex >= kSizeCount) return 0;
    const std::uint64_t filledRecords =
        std::uint64_t(kImageFillUnits[std::size_t(sizeIndex)]) * kRecordsPerFillUnit;
    // The fill may fall short of what the card type needs: whole records up to that minimum.
    const std::uint64_t neededRecords = (kMinimumImageBytes[std::size_t(sizeIndex)] -
                                         kSmcImageHeaderBytes + kImageRecordBytes - 1) /
                                        kImageRecordBytes;
    return kSmcImageHeaderBytes + std::max(filledRecords, neededRecords) * kImageRecordBytes;
}

ImageCreateResult CreateVirtualImage(const std::filesystem::path& path, int vendor, int sizeIndex) {
    if (vendor < 0 || vendor >= kVendorCount || sizeIndex < 0 || sizeIndex >= kSizeCount)
        return ImageCreateResult::BadChoice;
    // The file is emptied only once it is locked: an image open elsewhere stays as it is.
    ImageFile image;
    if (image.open(path, ImageFile::Access::Create) != ImageFile::Status::Ok)
        return ImageCreateResult::CreateFailed;

    std::array<std::uint8_t, kSmcImageHeaderBytes> header{};
    header[0] = kMakerCodes[std::size_t(vendor)];
    header[1] = kDeviceCodes[std::size_t(vendor)][std::size_t(sizeIndex)];
    bool ok = image.write(0, header.data(), header.size()) == SmfsResult::Ok;
    std::uint64_t at = header.size();

    // Records go out in runs of 64 to keep the number of calls down.
    constexpr std::size_t kRun = 64;
    std::vector<std::uint8_t> run(kRun * kImageRecordBytes, 0xFF);
    std::uint64_t records = (ImageFileBytes(sizeIndex) - kSmcImageHeaderBytes) / kImageRecordBytes;
    while (ok && records > 0) {
        const std::size_t count = std::size_t(std::min<std::uint64_t>(records, kRun));
        ok = image.write(at, run.data(), count * kImageRecordBytes) == SmfsResult::Ok;
        at += count * kImageRecordBytes;
        records -= count;
    }
    ok = image.close() && ok;
    if (!ok) {
        // A short image would pass for a card of another size or none at all.
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        return ImageCreateResult::WriteFailed;
    }
    return ImageCreateResult::Ok;
}

void SmcManager::formatProgressBegin() {
    ProgressUi& p = prog();
    p.SetMsg1("now formatting...");
    p.SetVisible(ProgressUi::Control::Avi, false);
    p.SetVisible(ProgressUi::Control::Prog1, false);
    p.SetVisible(ProgressUi::Control::Prog2, false);
    p.Show();
    p.Repaint();
}

void SmcManager::formatProgressEnd() {
    ProgressUi& p = prog();
    p.Hide();
    p.SetVisible(ProgressUi::Control::Avi, true);
    p.SetVisible(ProgressUi::Control::Prog1, true);
    p.SetVisible(ProgressUi::Control::Prog2, true);
}

void SmcManager::Format1Click() {
    if (!ui_.AskOkCancel("do you really want to format smc?",
                         ManagerUi::QuestionKind::Confirmation))
        return;
    formatProgressBegin();
    (void)FormatOpenCard();
    formatProgressEnd();
}

bool SmcManager::OfferFormat() {
    if (!ui_.AskOkCancel("unformatted SMC\ndo you want to format it?",
                         ManagerUi::QuestionKind::Information))
        return false;
    formatProgressBegin();
    const bool formatted = FormatOpenCard();
    formatProgressEnd();
    // A failed format has shown its message; the open stops there instead of listing a
    // card that still has no volume.
    return formatted;
}

bool SmcManager::FormatOpenCard() {
    std::string closing;
    if (FStorageKind == kStorageVirtual) {
        std::uint32_t bad = 0;
        if (card_->format("vx:", fullFormat_ ? 1 : 0, &bad) != SmfsResult::Ok) {
            message("an error has occurred while formatting virtual SMC.");
            (void)syncImage(); // a format cut short has still changed the card
            return false;
        }
        if (!syncImage()) return false;
        closing = "formatted successfully.\nbad block(s) : " + std::to_string(bad);
    } else if (FStorageKind == kStorageMachine) {
        if (!formatMachine()) return false;
        closing = "formatted successfully.";
    } else {
        return false;
    }
    FSmcPath = kSmcRoot;
    ShowSmcRoot();
    RefreshSmc();
    message(closing);
    return true;
}

bool SmcManager::formatMachine() {
    static constexpr LinkText kTexts[] = {
        {LinkResult::Timeout, "timed out while formatting SMC in Vela."},
        {LinkResult::IoFailed, "unknown error has occurred."},
        {LinkResult::BadReply, "communication error has occurred."},
        {LinkResult::DeviceError, "an error has occurred in Vela."},
    };
    if (const LinkResult result = FLink->FormatCard(kFormatLimit); result != LinkResult::Ok) {
        message(LinkFailureText(result, kTexts, "default error has occurred."));
        return false;
    }
    for (const char* name : kDefaultFolders) {
        prog().SetMsg1(std::string("now creating folder '") + name + "'");
        prog().Repaint();
        if (!MakeCardFolder(std::string(kSmcRoot) + name)) return false;
    }
    return true;
}

void SmcManager::CreateVirtualSMC1Click() {
    std::vector<std::string> vendors(kVendorNames.begin(), kVendorNames.end());
    std::vector<std::string> sizes;
    for (const int mb : kOfferedSizesMb) {
        char text[16];
        std::snprintf(text, sizeof text, "%d MB", mb);
        sizes.emplace_back(text);
    }
    // A preselected choice, so OK always has a vendor and a size.
    const auto choice = ui_.ChooseCard(vendors, sizes, CardChoice{0, 4});
    if (!choice || choice->vendor < 0 || choice->vendor >= kVendorCount || choice->size < 0 ||
        choice->size >= kSizeCount)
        return;
    const auto path = ui_.ChooseSaveFile(kSmcFilter, kSmcExtension);
    if (!path) return;
    ClearSmcPanes();
    // The panes are empty now and the new file is not the card: no storage stays open.
    CloseStorage();
    switch (CreateVirtualImage(*path, choice->vendor, choice->size)) {
    case ImageCreateResult::Ok:
    case ImageCreateResult::BadChoice:
        break;
    case ImageCreateResult::CreateFailed:
        message("filed to create a virtual SMC file.");
        break;
    case ImageCreateResult::WriteFailed:
        message("failed to create virtual SMC.");
        break;
    }
}
