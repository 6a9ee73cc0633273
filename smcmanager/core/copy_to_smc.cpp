// SPDX-License-Identifier: MIT
// Copying from the PC to the card: the byte total that scales the overall gauge, and the
// copy of folders and files. A file is read from the PC in pieces as the card
// takes them, the gauges moving after each piece or packet. A paste stops at the first step
// that fails or at a cancel; a name no card can hold is left out, copied on without it and
// listed at the end; an existing card file is replaced only when the user says so, and an
// existing card folder is copied into when the user says so.
//
// Nothing on the card changes before every entry of the copy has been checked: it must be a
// readable file or folder, must not hold the card itself, and must not meet a card entry of
// the other kind. Inside a folder only plain files and folders are opened; links, pipes,
// devices and anything unreadable are left out, named at the end, and fail the copy.
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens a PC file for reading only when it is a regular file: a named pipe would block the
// copy for good and a device could be changed by the open. Nothing otherwise.
FilePtr openRegularFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    // Between the look and the open the name may have come to mean something else.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::FILE* file = nullptr;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) file = ::fdopen(fd, "rb");
    if (!file) ::close(fd);
    return FilePtr(file);
}

// The entries of a PC folder by name; false when the folder could not be read whole.
bool sortedEntries(const std::string& folder, std::vector<fs::directory_entry>& entries) {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error))
        entries.push_back(*it);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.path().filename() < b.path().filename();
    });
    return !error;
}

std::vector<fs::directory_entry> sortedEntries(const std::string& folder) {
    std::vector<fs::directory_entry> entries;
    (void)sortedEntries(folder, entries);
    return entries;
}

// Whether inner is outer or lies below it, the links of both resolved.
bool holds(const fs::path& outer, const fs::path& inner) {
    std::error_code error;
    const fs::path a = fs::canonical(outer, error);
    if (error) return false;
    const fs::path b = fs::weakly_canonical(inner, error);
    if (error) return false;
    return std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first == a.end();
}

// The PC folder behind a card folder ("vx:", "vx:\A\B") of a card served from folder
// home, its names looked up without regard to case as the card does.
fs::path servedFolder(fs::path home, const std::string& cardFolder) {
    std::string rest = cardFolder.size() > 4 ? cardFolder.substr(4) : "";
    while (!rest.empty()) {
        const std::size_t sep = rest.find('\\');
        const std::string name = rest.substr(0, sep);
        rest = sep == std::string::npos ? "" : rest.substr(sep + 1);
        fs::path next = home / name;
        for (const auto& entry : sortedEntries(home.string()))
            if (SameNameNoCase(entry.path().filename().string(), name)) next = entry.path();
        home = next;
    }
    return home;
}

std::int64_t folderBytes(const std::string& folder) {
    std::int64_t total = 0;
    for (const auto& entry : sortedEntries(folder)) {
        std::error_code error;
        // Only what the copy takes: links and special files are left out.
        const fs::file_status status = entry.symlink_status(error);
        if (fs::is_directory(status)) {
            total += folderBytes(entry.path().string());
        } else if (fs::is_regular_file(status)) {
            const std::uintmax_t bytes = entry.file_size(error);
            if (!error) total += std::int64_t(bytes);
        }
    }
    return total;
}

} // namespace

bool SmcManager::copyToCard(std::string dest, const std::vector<std::string>& list) {
    if (!storage_) return false;
    // Names are joined with a backslash, so the root travels as "vx:".
    if (dest == kCardRoot) dest = "vx:";
    cardFolders_.clear();
    if (!checkSources(dest, list)) {
        cardFolders_.clear();
        return false;
    }
    beginCopyToCard(pcBytes(list));
    bool copied = true;
    for (const std::string& entry : list) {
        copied =
            !stopRequested() && (!entry.empty() && entry.back() == '/'
                                     ? copyFolderToCard(dest, entry.substr(0, entry.size() - 1))
                                     : copyFileToCard(dest, entry));
        if (!copied) break;
    }
    return endCopyToCard(copied);
}

void SmcManager::beginCopyToCard(std::int64_t totalBytes) {
    cancelled_ = false;
    cardFolders_.clear();
    replaceAll_ = false;
    mergeAnswer_ = -1;
    skippedNames_.clear();
    skippedReasons_.clear();
    leftOut_.clear();
    totalProgress_ = 0;
    prog().setTotalMaximum(totalBytes);
    prog().setTotalProgress(0);
    ++changeDepth_; // the folders made on the way are synced with the rest, once
    storage_->beginGroup();
}

bool SmcManager::endCopyToCard(bool copied) {
    --changeDepth_;
    const bool written = report(storage_->endGroup());
    cardFolders_.clear();
    if (!skippedNames_.empty()) {
        std::string text = "these names cannot be stored on the card (8.3 names: up to 8 "
                           "characters, a dot and 3 characters) and were not copied:";
        for (std::size_t i = 0; i < skippedNames_.size(); ++i)
            text += "\n'" + skippedNames_[i] + "': " + skippedReasons_[i];
        ui_.showSkippedNames(text);
    }
    if (!leftOut_.empty()) {
        std::string text = "these items were not copied:";
        for (const std::string& line : leftOut_)
            text += "\n" + line;
        message(text);
    }
    // What was copied before a failure or a cancel stays, so it goes to the disk as well.
    return written && syncImage() && copied && skippedNames_.empty() && leftOut_.empty();
}

bool SmcManager::checkSources(const std::string& dest, const std::vector<std::string>& list) {
    const fs::path home = storage_->localPath();
    std::error_code error;
    const fs::path destination = fs::is_directory(home, error) ? servedFolder(home, dest) : home;
    for (const std::string& entry : list) {
        const bool folder = !entry.empty() && entry.back() == '/';
        const std::string path = folder ? entry.substr(0, entry.size() - 1) : entry;
        const std::string name = LastPcComponent(path);
        const fs::file_status status = fs::status(path, error);
        if (!fs::exists(status)) {
            message("failed to open file '" + path + "'");
            return false;
        }
        if (!fs::is_directory(status) && !fs::is_regular_file(status)) {
            message("'" + path + "' is not a regular file or folder.");
            return false;
        }
        if (fs::is_directory(status) ? (fs::directory_iterator(path, error), bool(error))
                                     : !openRegularFile(path)) {
            message("failed to open file '" + path + "'");
            return false;
        }
        if (!home.empty() && holds(path, destination)) {
            message("cannot copy '" + path + "' into itself.");
            return false;
        }
        const std::vector<CardEntry>* existing = cardFolderEntries(dest);
        if (!existing) return false;
        for (const CardEntry& card : *existing) {
            if (!SameNameNoCase(card.name, name) || card.folder == fs::is_directory(status))
                continue;
            message(card.folder
                        ? "cannot replace folder '" + LowerName(name) + "' on the card with a file."
                        : "cannot replace file '" + LowerName(name) +
                              "' on the card with a folder.");
            return false;
        }
    }
    return true;
}

void SmcManager::leaveOut(const std::string& path, const char* why) {
    leftOut_.push_back("'" + path + "': " + why);
}

std::int64_t SmcManager::pcBytes(const std::vector<std::string>& list) {
    std::int64_t total = 0;
    for (const std::string& entry : list) {
        if (!entry.empty() && entry.back() == '/') {
            total += folderBytes(entry.substr(0, entry.size() - 1));
            continue;
        }
        std::error_code error;
        const std::uintmax_t bytes = fs::file_size(entry, error);
        if (!openRegularFile(entry) || error) {
            message("failed to open file '" + LastPcComponent(entry) + "'");
            continue;
        }
        total += std::int64_t(bytes);
    }
    return total;
}

const std::vector<CardEntry>* SmcManager::cardFolderEntries(const std::string& folder) {
    const std::string key = folder == "vx:" ? kCardRoot : folder;
    for (const auto& [path, entries] : cardFolders_) {
        if (path == key) return &entries;
    }
    std::vector<CardEntry> entries;
    if (!report(storage_->list(key, CardListing::Walk, entries))) return nullptr;
    cardFolders_.emplace_back(key, std::move(entries));
    return &cardFolders_.back().second;
}

bool SmcManager::fitsCard(const std::string& name) {
    const CardNameFit fit = cardNameFit(name);
    if (fit == CardNameFit::Fits) return true;
    skippedNames_.push_back(name);
    skippedReasons_.push_back(CardNameProblem(fit));
    return false;
}

bool SmcManager::confirmReplace(const std::string& text) {
    if (replaceAll_) return true;
    switch (ui_.askReplace(text)) {
    case ManagerUi::ReplaceAnswer::YesToAll:
        replaceAll_ = true;
        return true;
    case ManagerUi::ReplaceAnswer::Yes:
        return true;
    case ManagerUi::ReplaceAnswer::No:
        return false;
    case ManagerUi::ReplaceAnswer::Cancel:
        break;
    }
    cancelled_ = true;
    return false;
}

SmcManager::Placement SmcManager::placeCardFolder(const std::string& dest,
                                                  const std::string& name) {
    if (!fitsCard(name)) return Placement::Leave;
    const std::vector<CardEntry>* existing = cardFolderEntries(dest);
    if (!existing) return Placement::Failed;
    const auto clash = std::find_if(existing->begin(), existing->end(), [&](const CardEntry& e) {
        return SameNameNoCase(e.name, name);
    });
    if (clash != existing->end() && clash->folder) {
        if (mergeAnswer_ < 0)
            mergeAnswer_ = ui_.askMergeFolder("folder '" + LowerName(name) +
                                              "' already exists on the card.\ncopy into it?");
        return mergeAnswer_ == 0 ? Placement::Leave : Placement::Copy;
    }
    prog().setAnimation(ProgressUi::Animation::CopyFile);
    if (!makeCardFolder(dest + "\\" + name)) return Placement::Failed;
    cardFolders_.emplace_back(dest + "\\" + name, std::vector<CardEntry>{});
    return Placement::Copy;
}

SmcManager::Placement SmcManager::placeCardFile(const std::string& dest, const std::string& name,
                                                bool& replace) {
    replace = false;
    if (!fitsCard(name)) return Placement::Leave;
    const std::vector<CardEntry>* existing = cardFolderEntries(dest);
    if (!existing) return Placement::Failed;
    for (const CardEntry& entry : *existing) {
        if (!entry.folder && SameNameNoCase(entry.name, name)) {
            if (!confirmReplace("file '" + LowerName(name) +
                                "' already exists on the card.\nreplace it?"))
                return cancelled_ ? Placement::Failed : Placement::Leave;
            replace = true;
        }
    }
    return Placement::Copy;
}

bool SmcManager::copyFolderToCard(const std::string& dest, const std::string& folder) {
    // A folder that cannot be read is not made on the card.
    std::vector<fs::directory_entry> entries;
    if (!sortedEntries(folder, entries)) {
        leaveOut(folder, "the folder could not be read");
        return true;
    }
    // A folder copy stops at its first failing step and reports it, so the paste ends there.
    const Placement placed = placeCardFolder(dest, LastPcComponent(folder));
    if (placed != Placement::Copy) return placed == Placement::Leave;
    const std::string cardFolder = dest + "\\" + LastPcComponent(folder);
    prog().setAnimation(ProgressUi::Animation::CopyFile);
    prog().startAnimation();
    for (const auto& entry : entries) {
        const std::string path = JoinPcPath(folder, entry.path().filename().string());
        std::error_code error;
        const fs::file_status status = entry.symlink_status(error);
        bool copied = true;
        if (stopRequested()) {
            copied = false;
        } else if (fs::is_symlink(status)) {
            leaveOut(path, "a symbolic link, not followed");
        } else if (fs::is_directory(status)) {
            copied = copyFolderToCard(cardFolder, path);
        } else if (!fs::is_regular_file(status)) {
            leaveOut(path, "not a regular file or folder");
        } else if (!openRegularFile(path)) {
            leaveOut(path, "the file could not be read");
        } else {
            copied = copyFileToCard(cardFolder, path);
        }
        if (!copied) {
            prog().stopAnimation();
            return false;
        }
    }
    prog().stopAnimation();
    return true;
}

bool SmcManager::copyFileToCard(const std::string& dest, const std::string& file) {
    if (stopRequested()) return false;
    const std::string name = LastPcComponent(file);
    bool replace = false;
    const Placement placed = placeCardFile(dest, name, replace);
    if (placed != Placement::Copy) return placed == Placement::Leave;

    FilePtr stream = openRegularFile(file);
    if (!stream) {
        message("failed to open file '" + file + "'");
        return false;
    }
    std::int64_t length = -1;
    if (fseeko(stream.get(), 0, SEEK_END) == 0) length = ftello(stream.get());
    if (length < 0 || fseeko(stream.get(), 0, SEEK_SET) != 0) {
        message("failed to read file '" + file + "'");
        return false;
    }

    ProgressUi& p = prog();
    p.setPartVisible(ProgressUi::Part::StepText, true);
    p.setStepText("now copying file '" + name + "' (size : " + std::to_string(length) + " bytes)");
    p.setAnimation(ProgressUi::Animation::CopyFile);
    p.startAnimation();
    p.setItemMaximum(length);
    p.setItemProgress(0);
    itemBytes_ = std::uint64_t(length);

    const CardSource source = [&](std::uint8_t* buffer, std::uint32_t bytes) {
        if (std::fread(buffer, 1, bytes, stream.get()) == bytes) return true;
        message("failed to read file '" + file + "'");
        return false;
    };
    return report(storage_->write(dest, name, std::uint64_t(length), replace, *this, source));
}

// ---- Progress of one file ----

bool SmcManager::stopRequested() {
    if (cancelled_) return true;
    if (!prog().cancelRequested()) return false;
    cancelled_ = true;
    message("operation canceled.");
    return true;
}

bool SmcManager::pollCancel() {
    if (!cancelled_ && prog().cancelRequested()) cancelled_ = true;
    return cancelled_;
}

void SmcManager::step(const std::string& text) {
    prog().setStepText(text);
}

bool SmcManager::start(std::uint64_t sizeBytes) {
    itemBytes_ = sizeBytes;
    prog().setItemMaximum(std::int64_t(sizeBytes));
    prog().setItemProgress(0);
    return !pollCancel();
}

bool SmcManager::piece(std::uint64_t doneBytes, std::uint32_t pieceBytes) {
    prog().setItemProgress(std::int64_t(doneBytes));
    totalProgress_ += pieceBytes;
    prog().setTotalProgress(totalProgress_);
    // With its last piece the file is whole; the next file's start sees the cancel.
    return doneBytes >= itemBytes_ || !pollCancel();
}
