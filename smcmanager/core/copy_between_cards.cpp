// SPDX-License-Identifier: MIT
// Copying from another card to the open card: the walk of the source card's folders and the
// transfer of each file. Clashes, names left out, the replace question and the sync at the
// end are those of a copy from the PC (copy_to_smc.cpp). The two storages cannot hand pieces
// to each other (the source pushes them, the open card pulls them), so a file is read whole
// into an unnamed temporary PC file and then written from it: a failed or cancelled read
// leaves nothing on the open card, and a write that does not finish is taken off the card by
// the storage itself. The overall gauge counts every byte twice, once read and once written.
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <cstdio>
#include <memory>

namespace {

// A card path of 255 characters cannot name a folder deeper than this; a deeper chain comes
// from a damaged card (a folder that holds itself) and would never end.
constexpr int kMaxFolderDepth = 128;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool isFolderEntry(const std::string& entry) {
    return !entry.empty() && entry.back() == '\\';
}

// Bytes of the files below a source folder, as far as it can be listed (only scales the
// overall gauge; the copy reports what cannot be listed).
std::int64_t sourceFolderBytes(CardStorage& source, const std::string& folder, int depth) {
    std::vector<CardEntry> entries;
    if (depth >= kMaxFolderDepth || !source.list(folder, CardListing::Walk, entries)) return 0;
    std::int64_t total = 0;
    for (const CardEntry& entry : entries)
        total += entry.folder
                     ? sourceFolderBytes(source, JoinCardPath(folder, entry.name), depth + 1)
                     : std::int64_t(entry.sizeBytes);
    return total;
}

} // namespace

bool SmcManager::copyFromCard(CardStorage& source, std::string dest,
                              const std::vector<std::string>& list) {
    if (!storage_) return false;
    // Names are joined with a backslash, so the root travels as "vx:".
    if (dest == kCardRoot) dest = "vx:";
    std::int64_t total = 0;
    for (const std::string& entry : list) {
        std::uint64_t size = 0;
        if (isFolderEntry(entry))
            total += sourceFolderBytes(source, entry.substr(0, entry.size() - 1), 0);
        else if (source.fileSize(entry, size))
            total += std::int64_t(size);
    }
    beginCopyToCard(2 * total);
    bool copied = true;
    for (const std::string& entry : list) {
        copied = !stopRequested() &&
                 (isFolderEntry(entry)
                      ? copyFolderFromCard(source, dest, entry.substr(0, entry.size() - 1), 0)
                      : copyFileFromCard(source, dest, entry));
        if (!copied) break;
    }
    return endCopyToCard(copied);
}

bool SmcManager::copyFolderFromCard(CardStorage& source, const std::string& dest,
                                    const std::string& folder, int depth) {
    const std::string name = LastCardComponent(folder);
    const Placement placed = placeCardFolder(dest, name);
    if (placed != Placement::Copy) return placed == Placement::Leave;
    const std::string cardFolder = dest + "\\" + name;
    std::vector<CardEntry> entries;
    if (!report(source.list(folder, CardListing::Walk, entries))) return false;
    ProgressUi& p = prog();
    p.setAnimation(ProgressUi::Animation::CopyFile);
    p.startAnimation();
    bool copied = true;
    for (const CardEntry& entry : entries) {
        // A name no card holds (a damaged source may list one) is left out and listed.
        if (!fitsCard(entry.name)) continue;
        const std::string child = JoinCardPath(folder, entry.name);
        if (!entry.described) {
            message("an error has occurred while geetting file attribute");
            copied = false;
        } else if (entry.folder && depth + 1 >= kMaxFolderDepth) {
            message("folder '" + LowerName(child) + "' lies too deep to be copied");
            copied = false;
        } else {
            copied = !stopRequested() &&
                     (entry.folder ? copyFolderFromCard(source, cardFolder, child, depth + 1)
                                   : copyFileFromCard(source, cardFolder, child));
        }
        if (!copied) break;
    }
    p.stopAnimation();
    return copied;
}

bool SmcManager::copyFileFromCard(CardStorage& source, const std::string& dest,
                                  const std::string& path) {
    if (stopRequested()) return false;
    const std::string name = LastCardComponent(path);
    bool replace = false;
    const Placement placed = placeCardFile(dest, name, replace);
    if (placed != Placement::Copy) return placed == Placement::Leave;
    FilePtr temp(std::tmpfile());
    if (!temp) {
        message("failed to create file in PC.");
        return false;
    }
    ProgressUi& p = prog();
    p.setPartVisible(ProgressUi::Part::StepText, true);
    p.setStepText("now copying file '" + name + "'");
    p.setAnimation(ProgressUi::Animation::CopyFile);
    p.startAnimation();
    const CardSink toTemp = [&](const std::uint8_t* data, std::uint32_t bytes) {
        if (std::fwrite(data, 1, bytes, temp.get()) == bytes) return true;
        message("failed to write to file in PC.");
        return false;
    };
    itemBytes_ = 0;
    bool copied = report(source.read(path, *this, toTemp));
    std::int64_t length = -1;
    if (copied && std::fflush(temp.get()) == 0 && fseeko(temp.get(), 0, SEEK_END) == 0)
        length = ftello(temp.get());
    if (copied && (length < 0 || fseeko(temp.get(), 0, SEEK_SET) != 0)) {
        message("failed to read from file in PC.");
        copied = false;
    }
    if (copied) {
        p.setStepText("now copying file '" + name + "' (size : " + std::to_string(length) +
                      " bytes)");
        p.setItemMaximum(length);
        p.setItemProgress(0);
        itemBytes_ = std::uint64_t(length);
        const CardSource fromTemp = [&](std::uint8_t* buffer, std::uint32_t bytes) {
            if (std::fread(buffer, 1, bytes, temp.get()) == bytes) return true;
            message("failed to read from file in PC.");
            return false;
        };
        copied =
            report(storage_->write(dest, name, std::uint64_t(length), replace, *this, fromTemp));
    }
    p.stopAnimation();
    return copied;
}
