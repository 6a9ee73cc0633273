// SPDX-License-Identifier: MIT
// The vela-smc commands that work on a card image as a whole through the card library's
// card-level tools: info, check, export and import. Each opens the locked image file and a
// card object on it for the one call; info, check and export open it read-only, so they work on an
// image the user may not change. A reader shares the image with other readers, a writer
// holds it alone; what a writer changed is on the disk before the command ends.
#include "vela_smc.h"

#include <common/image_file.h>
#include <common/replacement_file.h>
#include <smfs/smfs.h>
#include <smfs/tools.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

// The system's text for an error number ("" for none).
std::string systemText(int error) {
    return error != 0 ? std::strerror(error) : "";
}

// The locked image file and a card on it for the life of the object; a failed open is
// reported at once.
class InstalledImage {
public:
    InstalledImage(const std::string& path, ImageFile::Access access) {
        const ImageFile::Status status = file_.open(path, access);
        if (status != ImageFile::Status::Ok) {
            report(imageOpenFailure(path, status == ImageFile::Status::Locked));
            return;
        }
        card_ = std::make_unique<SmfsCard>(file_);
    }
    ~InstalledImage() { (void)close(); }
    InstalledImage(const InstalledImage&) = delete;
    InstalledImage& operator=(const InstalledImage&) = delete;
    explicit operator bool() const { return bool(file_); }

    SmfsCard& card() { return *card_; }
    // The system's text for the last failed read or write of the image ("" when none).
    std::string systemError() const { return systemText(file_.lastError()); }

    // Drops the card and closes the image, synced; false when a write did not reach the disk.
    bool close() {
        if (!file_) return true;
        card_.reset();
        return file_.close();
    }

private:
    ImageFile file_;
    std::unique_ptr<SmfsCard> card_;
};

std::string trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

int imageOnly(const std::string& command, const std::string& card) {
    return usageError(command + " works on a card image, not on '" + card + "'");
}

// The failure text of a card library result for these commands; systemError is the
// system's text for a failed read or write of the image file.
std::string cardFailure(SmfsResult r, const std::string& systemError = "") {
    if (r == SmfsResult::Unformatted) return "unformatted SMC";
    if (r == SmfsResult::Damaged) return "damaged SMC: run vela-smc check";
    if (r == SmfsResult::ImageIo && !systemError.empty())
        return std::string("the card cannot be read or written: ") + systemError;
    return std::string("the card cannot be read: ") + smfs_result_text(r);
}

} // namespace

std::string imageOpenFailure(const std::string& image, bool inUse) {
    if (!inUse) return "Failed to open virtual SMC file.";
    return "'" + image + "' is in use by another program: Failed to open virtual SMC file.";
}

int runInfo(const Options& o) {
    if (o.args.size() != 1) return usageError("info takes IMAGE");
    if (namesMachine(o.args[0])) return imageOnly("info", o.args[0]);
    InstalledImage image(o.args[0], ImageFile::Access::Read);
    if (!image) return kExitFailed;
    SmfsCardInfo i;
    const SmfsResult r = image.card().cardInfo(&i);
    if (r != SmfsResult::Ok) {
        report(cardFailure(r));
        return kExitFailed;
    }
    std::printf("card:     %s %s (maker 0x%02X, device 0x%02X), card type %d\n",
                i.capacityText.c_str(), i.makerName.c_str(), i.maker, i.device, i.cardType);
    std::printf("pages:    %u + %u bytes, %u pages per block, %u sectors per block\n",
                i.pageDataBytes, i.spareBytes, i.pagesPerBlock, i.sectorsPerBlock);
    std::printf("geometry: %u cylinders, %u heads, %u sectors per track, %u sectors\n", i.cylinders,
                i.heads, i.sectorsPerTrack, i.totalSectors);
    std::printf("blocks:   %u physical, %u logical; %u free, %u used, %u retired\n", i.physBlocks,
                i.logBlocks, i.freeBlocks, i.usedBlocks, i.retiredBlocks);
    if (i.cisBlock >= 0)
        std::printf("CIS:      physical block %lld\n", static_cast<long long>(i.cisBlock));
    else
        std::printf("CIS:      none\n");
    if (!i.formatted) {
        std::printf("volume:   none (unformatted)\n");
        return kExitOk;
    }
    std::printf("volume:   FAT%d, partition from sector %u, %u sectors, OEM name \"%s\", "
                "label \"%s\"\n",
                i.fatBits, i.partitionFirstSector, i.partitionSectors,
                printable(trimmed(i.oemName)).c_str(), printable(trimmed(i.label)).c_str());
    std::printf("layout:   %u FATs of %u sectors from sector %u, root of %u entries at sector "
                "%u, data from sector %u\n",
                i.fatCount, i.fatSectors, i.fatStart, i.rootEntries, i.rootStart, i.dataStart);
    std::printf("clusters: %u of %u sectors (%u bytes)\n", i.clusterCount, i.sectorsPerCluster,
                i.sectorsPerCluster * 512);
    return kExitOk;
}

namespace {

void printFindings(const SmfsCheckReport& report, const char* prefix) {
    for (const SmfsFinding& f : report.findings)
        std::printf("%s%s: %s\n", prefix, smfs_finding_name(f.kind), printable(f.text).c_str());
}

void printSummary(const std::string& image, const SmfsCheckReport& report, const char* what) {
    std::fprintf(stderr, "vela-smc: %s: %llu sectors, %u files, %u folders checked, %zu %s%s\n",
                 image.c_str(), static_cast<unsigned long long>(report.sectorsChecked),
                 report.filesChecked, report.foldersChecked, report.findings.size(),
                 report.findings.size() == 1 ? "problem" : "problems", what);
}

// check --repair: what was found, what was done, and what is left.
int runRepair(const std::string& path) {
    InstalledImage image(path, ImageFile::Access::Write);
    if (!image) return kExitFailed;
    SmfsRepairReport result;
    const SmfsResult r = image.card().repair(&result);
    const std::string systemError = image.systemError();
    const bool synced = image.close();
    if (r != SmfsResult::Ok) {
        report(cardFailure(r, systemError));
        return kExitFailed;
    }
    if (!synced) {
        report("failed to write to virtual SMC file.: " + image.systemError());
        return kExitFailed;
    }
    printFindings(result.before, "");
    for (const std::string& action : result.actions)
        std::printf("repaired: %s\n", printable(action).c_str());
    printFindings(result.after, "left: ");
    printSummary(path, result.after, result.before.clean() ? "" : " left after repair");
    return result.after.clean() ? kExitOk : kExitFailed;
}

} // namespace

int runCheck(const Options& o) {
    if (o.args.size() != 1) return usageError("check takes IMAGE");
    if (namesMachine(o.args[0])) return imageOnly("check", o.args[0]);
    if (o.repair) return runRepair(o.args[0]);
    InstalledImage image(o.args[0], ImageFile::Access::Read);
    if (!image) return kExitFailed;
    SmfsCheckReport result;
    const SmfsResult r = image.card().check(&result);
    if (r != SmfsResult::Ok) {
        report(cardFailure(r, image.systemError()));
        return kExitFailed;
    }
    printFindings(result, "");
    printSummary(o.args[0], result, "");
    return result.clean() ? kExitOk : kExitFailed;
}

int runExport(const Options& o) {
    if (o.args.size() != 2) return usageError("export takes IMAGE RAW");
    if (namesMachine(o.args[0])) return imageOnly("export", o.args[0]);
    InstalledImage image(o.args[0], ImageFile::Access::Read);
    if (!image) return kExitFailed;
    // The raw volume takes RAW's name only when it is whole: a file there stays until then.
    ReplacementFile raw;
    if (raw.open(o.args[1], ReplacementFile::Start::Empty) != ImageFile::Status::Ok) {
        report("failed to create file in PC.");
        return kExitFailed;
    }
    std::uint32_t damaged = 0;
    const SmfsResult r = image.card().exportVolume(raw.file(), &damaged);
    if (r != SmfsResult::Ok || !raw.commit()) {
        const std::string why = systemText(raw.lastError());
        if (r == SmfsResult::Ok || !why.empty())
            report("failed to write to file in PC." + (why.empty() ? "" : ": " + why));
        else
            report(cardFailure(r, image.systemError()));
        return kExitFailed;
    }
    if (damaged != 0) {
        report(std::to_string(damaged) +
               " sectors were exported with uncorrectable ECC errors; run check");
        return kExitFailed;
    }
    return kExitOk;
}

int runImport(const Options& o) {
    if (o.args.size() != 2) return usageError("import takes RAW IMAGE");
    if (namesMachine(o.args[1])) return imageOnly("import", o.args[1]);
    ImageFile raw;
    if (raw.open(o.args[0], ImageFile::Access::Read) != ImageFile::Status::Ok) {
        report("failed to open file '" + o.args[0] + "'");
        return kExitFailed;
    }
    // The volume goes into a copy of the image, which takes the image's place only when the
    // import is whole: a failed import leaves the card as it was.
    ReplacementFile replacement;
    const ImageFile::Status opened =
        replacement.open(o.args[1], ReplacementFile::Start::CopyOfTarget);
    if (opened != ImageFile::Status::Ok) {
        if (replacement.lastError() != 0)
            report(cardFailure(SmfsResult::ImageIo, systemText(replacement.lastError())));
        else
            report(imageOpenFailure(o.args[1], opened == ImageFile::Status::Locked));
        return kExitFailed;
    }
    int exit = kExitOk;
    {
        SmfsCard card(replacement.file());
        SmfsImportProblem problem = SmfsImportProblem::None;
        const SmfsResult r = card.importVolume(raw, &problem);
        if (problem != SmfsImportProblem::None) {
            report(std::string("import refused: ") + smfs_import_problem_text(problem));
            exit = kExitFailed;
        } else if (r != SmfsResult::Ok) {
            report(cardFailure(r, systemText(replacement.lastError())));
            exit = kExitFailed;
        }
    }
    if (exit == kExitOk && !replacement.commit()) {
        report("failed to write to virtual SMC file.: " + systemText(replacement.lastError()));
        exit = kExitFailed;
    }
    return exit;
}
