// SPDX-License-Identifier: MIT
// Copying from the card to the PC: the card selection, the size pass that scales the overall
// gauge, and the copy of files and folder trees from the open card. A card file is written
// to the PC in pieces as the card gives them, under a temporary name in the target folder
// that becomes the file's lower-case name when it is whole; an existing PC file is replaced
// only when the user says so, and a cancelled or failed file leaves nothing behind. Names
// from a card or a machine are untrusted: a name that is not one plain PC file name is
// refused before anything is written, so nothing ever lands outside the chosen PC folder.
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

bool isFolderEntry(const std::string& entry) {
    return !entry.empty() && entry.back() == '\\';
}

std::string withoutLast(const std::string& entry) {
    return entry.substr(0, entry.size() - 1);
}

} // namespace

std::vector<std::string> SmcManager::selectedCardEntries() const {
    std::vector<int> selected;
    for (int index : cardSelection_) {
        if (index >= 0 && std::size_t(index) < cardItems_.size()) selected.push_back(index);
    }
    std::sort(selected.begin(), selected.end());
    selected.erase(std::unique(selected.begin(), selected.end()), selected.end());
    std::vector<std::string> entries;
    for (int index : selected) {
        const ListItem& item = cardItems_[std::size_t(index)];
        std::string entry = JoinCardPath(cardPath_, item.caption);
        if (item.data == kItemFolder) entry += "\\";
        entries.push_back(std::move(entry));
    }
    return entries;
}

void SmcManager::collectCardSelection() {
    copiedCardItems_ = selectedCardEntries();
}

bool SmcManager::copyToPc(const std::string& target, const std::vector<std::string>& list) {
    if (target.empty()) return true;
    if (!storage_) return false;
    cancelled_ = false;
    replaceAll_ = false;
    const std::int64_t total = cardBytes(list);
    totalProgress_ = 0;
    prog().setTotalMaximum(total);
    prog().setTotalProgress(0);
    bool allCopied = true;
    for (const std::string& entry : list) {
        if (stopRequested()) return false;
        if (isFolderEntry(entry)) {
            // A folder copy never stops the run; only a cancel inside it does.
            allCopied = copyFolderToPc(target, withoutLast(entry)) && allCopied;
            continue;
        }
        if (!copyFileToPc(target, entry)) return false;
    }
    return allCopied;
}

std::int64_t SmcManager::cardBytes(const std::vector<std::string>& list) {
    std::int64_t total = 0;
    for (const std::string& entry : list) {
        total += isFolderEntry(entry) ? cardFolderSize(withoutLast(entry)) : cardFileSize(entry);
    }
    return total;
}

std::int64_t SmcManager::cardFileSize(const std::string& path) {
    if (!storage_) return 0;
    std::uint64_t size = 0;
    const CardResult result = storage_->fileSize(path, size);
    if (result.code == CardResult::Code::NotFound) return -1;
    return report(result) ? std::int64_t(size) : 0;
}

std::int64_t SmcManager::cardFolderSize(const std::string& path) {
    if (!storage_) return 0;
    std::vector<CardEntry> entries;
    if (!report(storage_->list(path, CardListing::Walk, entries))) return -1;
    std::int64_t total = 0;
    for (const CardEntry& entry : entries) {
        // Names the copy will refuse are not counted (nor reported twice).
        if (!SafePcName(entry.name)) continue;
        total += entry.folder ? cardFolderSize(JoinCardPath(path, entry.name))
                              : std::int64_t(entry.sizeBytes);
    }
    return total;
}

bool SmcManager::copyFileToPc(const std::string& target, const std::string& path) {
    if (stopRequested()) return false;
    const std::string name = LastCardComponent(path);
    ProgressUi& p = prog();
    p.setAnimation(ProgressUi::Animation::CopyFile);
    p.startAnimation();
    p.setStepText("now copying file '" + name + "'");
    const bool copied = [&] {
        if (!storage_) return true;
        if (!SafePcName(name)) {
            message("failed to create file in PC.");
            return false;
        }
        const std::string pcPath = JoinPcPath(target, LowerName(name));
        std::error_code error;
        const fs::file_status existing = fs::symlink_status(pcPath, error);
        if (fs::exists(existing)) {
            // A folder is never replaced by a file.
            if (fs::is_directory(existing)) {
                message("failed to create file in PC.");
                return false;
            }
            if (!confirmReplace("file '" + LowerName(name) +
                                "' already exists in the PC folder.\nreplace it?"))
                return !cancelled_;
        }
        return copyPcFile(path, JoinPcPath(target, "." + LowerName(name) + ".vela-part"), pcPath);
    }();
    p.stopAnimation();
    return copied;
}

bool SmcManager::copyPcFile(const std::string& cardPath, const std::string& tempPath,
                            const std::string& pcPath) {
    std::error_code error;
    // A temporary file of an earlier cut is taken away; whatever else holds the name (a link
    // planted there) is never written through.
    fs::remove(tempPath, error);
    const int fd =
        ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    std::FILE* file = fd < 0 ? nullptr : ::fdopen(fd, "wb");
    if (!file) {
        if (fd >= 0) ::close(fd);
        message("failed to create file in PC.");
        return false;
    }
    // A replaced file keeps who may read it.
    struct stat old {};
    if (::stat(pcPath.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        (void)::fchmod(fd, old.st_mode & 07777);
    bool writeFailed = false;
    const CardSink sink = [&](const std::uint8_t* data, std::uint32_t bytes) {
        writeFailed = std::fwrite(data, 1, bytes, file) != bytes;
        if (writeFailed) message("failed to write to file in PC.");
        return !writeFailed;
    };
    itemBytes_ = 0;
    const bool read = report(storage_->read(cardPath, *this, sink));
    // The data reaches the disk before the name moves, so a power cut leaves the old file or
    // the whole new one.
    const bool flushed = std::fflush(file) == 0 && ::fsync(fd) == 0;
    const bool closed = std::fclose(file) == 0 && flushed;
    if (read && !closed) message("failed to write to file in PC.");
    // The old file gives way only to a whole new one.
    if (read && closed && (fs::rename(tempPath, pcPath, error), !error)) return true;
    if (read && closed) message("failed to create file in PC.");
    fs::remove(tempPath, error);
    return false;
}

bool SmcManager::copyFolderToPc(const std::string& target, const std::string& folder) {
    ProgressUi& p = prog();
    p.setAnimation(ProgressUi::Animation::CopyFile);
    p.startAnimation();
    const std::string name = LastCardComponent(folder);
    if (!storage_) {
        p.stopAnimation();
        return true;
    }
    if (!SafePcName(name)) {
        message("failed to create file in PC.");
        p.stopAnimation();
        return false;
    }
    const std::string newTarget = JoinPcPath(target, LowerName(name));
    // An existing folder is fine: the copy goes on into it.
    std::error_code error;
    if (!makePcFolder(newTarget) && !fs::is_directory(newTarget, error)) {
        message("failed to create folder in PC.");
        p.stopAnimation();
        return false;
    }

    std::vector<CardEntry> entries;
    bool ok = report(storage_->list(folder, CardListing::Walk, entries));
    // A failing child ends only that child; the rest of the folder follows.
    for (const CardEntry& entry : entries) {
        if (stopRequested()) break;
        if (!SafePcName(entry.name)) {
            message("failed to create file in PC.");
            ok = false;
            continue;
        }
        const std::string child = JoinCardPath(folder, entry.name);
        if (!(entry.folder ? copyFolderToPc(newTarget, child) : copyFileToPc(newTarget, child)))
            ok = false;
    }
    p.stopAnimation();
    return ok && !cancelled_;
}

bool SmcManager::makePcFolder(const std::string& path) {
    std::error_code error;
    return std::filesystem::create_directory(path, error) && !error;
}
