// SPDX-License-Identifier: MIT
// Format and new card images: the format command and the offer to format an unformatted
// card, the format with the folders the card needs afterwards, and the "Create Virtual SMC"
// command with the writer of a blank image file.
#include "smcmanager/card_tables.h"
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <common/image_file.h>
#include <common/replacement_file.h>
#include <smfs/smfs.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <system_error>

std::uint64_t imageFileBytes(int sizeIndex) {
    if (sizeIndex < 0 || sizeIndex >= kSizeCount) return 0;
    const std::uint64_t filledRecords =
        std::uint64_t(kImageFillUnits[std::size_t(sizeIndex)]) * kRecordsPerFillUnit;
    // The fill may fall short of what the card type needs: whole records up to that minimum.
    const std::uint64_t neededBytes =
        kMinimumImageBytes[std::size_t(sizeIndex)] - kSmcImageHeaderBytes;
    const std::uint64_t neededRecords =
        std::uint64_t(neededBytes % kImageRecordBytes != 0) + neededBytes / kImageRecordBytes;
    return kSmcImageHeaderBytes + std::max(filledRecords, neededRecords) * kImageRecordBytes;
}

ImageCreateResult createVirtualImage(const std::filesystem::path& path, int vendor, int sizeIndex) {
    if (vendor < 0 || vendor >= kVendorCount || sizeIndex < 0 || sizeIndex >= kSizeCount)
        return ImageCreateResult::BadChoice;
    // The new image takes the file's name only when it is whole: an image there stays as it
    // was until then, and one open elsewhere is not touched at all.
    ReplacementFile replacement;
    if (replacement.open(path, ReplacementFile::Start::Empty) != ImageFile::Status::Ok)
        return ImageCreateResult::CreateFailed;
    ImageFile& image = replacement.file();

    std::array<std::uint8_t, kSmcImageHeaderBytes> header{};
    header[0] = kMakerCodes[std::size_t(vendor)];
    header[1] = kDeviceCodes[std::size_t(vendor)][std::size_t(sizeIndex)];
    bool ok = image.write(0, header.data(), header.size()) == SmfsResult::Ok;
    std::uint64_t at = header.size();

    // Records go out in runs of 64 to keep the number of calls down.
    constexpr std::size_t kRun = 64;
    std::vector<std::uint8_t> run(kRun * kImageRecordBytes, 0xFF);
    std::uint64_t records = (imageFileBytes(sizeIndex) - kSmcImageHeaderBytes) / kImageRecordBytes;
    while (ok && records > 0) {
        const std::size_t count = std::size_t(std::min<std::uint64_t>(records, kRun));
        ok = image.write(at, run.data(), count * kImageRecordBytes) == SmfsResult::Ok;
        at += count * kImageRecordBytes;
        records -= count;
    }
    // A short image would pass for a card of another size or none at all: it never takes
    // the name.
    if (!ok || !replacement.commit()) return ImageCreateResult::WriteFailed;
    return ImageCreateResult::Ok;
}

void SmcManager::formatProgressBegin() {
    ProgressUi& p = prog();
    p.setStepText("now formatting...");
    p.setPartVisible(ProgressUi::Part::Animation, false);
    p.setPartVisible(ProgressUi::Part::ItemGauge, false);
    p.setPartVisible(ProgressUi::Part::TotalGauge, false);
    p.showProgress();
}

void SmcManager::formatProgressEnd() {
    ProgressUi& p = prog();
    p.hideProgress();
    p.setPartVisible(ProgressUi::Part::Animation, true);
    p.setPartVisible(ProgressUi::Part::ItemGauge, true);
    p.setPartVisible(ProgressUi::Part::TotalGauge, true);
}

void SmcManager::formatCard() {
    if (!ui_.askOkCancel("do you really want to format smc?",
                         ManagerUi::QuestionKind::Confirmation))
        return;
    formatProgressBegin();
    (void)formatOpenCard();
    formatProgressEnd();
}

bool SmcManager::offerFormat() {
    if (!ui_.askOkCancel(kFormatOffer, ManagerUi::QuestionKind::Information)) return false;
    formatProgressBegin();
    const bool formatted = formatOpenCard();
    formatProgressEnd();
    // A failed format has shown its message; the open stops there instead of listing a
    // card that still has no volume.
    return formatted;
}

bool SmcManager::formatOpenCard() {
    if (!storage_) return false;
    std::string closing;
    if (!report(storage_->format(fullFormat_, closing))) return false;
    for (const std::string& name : storage_->defaultFolders()) {
        prog().setStepText("now creating folder '" + name + "'");
        if (!makeCardFolder(std::string(kCardRoot) + name)) return false;
    }
    cardPath_ = kCardRoot;
    showCardRoot();
    refreshCard();
    message(closing);
    return true;
}

void SmcManager::createVirtualCard() {
    std::vector<std::string> vendors(kVendorNames.begin(), kVendorNames.end());
    std::vector<std::string> sizes;
    for (const int mb : kOfferedSizesMb) {
        char text[16];
        std::snprintf(text, sizeof text, "%d MB", mb);
        sizes.emplace_back(text);
    }
    // A preselected choice, so OK always has a vendor and a size.
    const auto choice = ui_.chooseCardType(vendors, sizes, CardChoice{0, 4});
    if (!choice || choice->vendor < 0 || choice->vendor >= kVendorCount || choice->size < 0 ||
        choice->size >= kSizeCount)
        return;
    const auto path = ui_.chooseSaveFile(kImageFilter, kImageExtension);
    if (!path) return;
    // The new file is not the card: no storage stays open.
    closeStorage();
    switch (createVirtualImage(*path, choice->vendor, choice->size)) {
    case ImageCreateResult::Ok:
        if (ui_.askOpenCreatedImage("a virtual SMC was written to '" + path->string() +
                                    "'.\nopen it?"))
            (void)openImage(*path);
        break;
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
