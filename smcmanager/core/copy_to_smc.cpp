// SPDX-License-Identifier: MIT
// Copying from the PC to the card: the PC selection, the byte total that scales the overall
// gauge, and the copy of folders and files. A file is read from the PC in pieces as the card
// takes them, the gauges moving after each piece or packet. A paste stops at the first step
// that fails or at a cancel; a name no card can hold is left out, copied on without it and
// listed at the end; an existing card file is replaced only when the user says so, and an
// existing card folder is copied into when the user says so.
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <algorithm>
#include <system_error>

namespace fs = std::filesystem;

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A folder found in a walk that is only a link to a folder: following it could loop.
bool linkedFolder(const fs::directory_entry& entry) {
    std::error_code error;
    return entry.is_symlink(error) && entry.is_directory(error);
}

std::vector<fs::directory_entry> sortedEntries(const std::string& folder) {
    std::vector<fs::directory_entry> entries;
    std::error_code error;
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error))
        entries.push_back(*it);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.path().filename() < b.path().filename();
    });
    return entries;
}

std::int64_t folderBytes(const std::string& folder) {
    std::int64_t total = 0;
    for (const auto& entry : sortedEntries(folder)) {
        std::error_code error;
        if (linkedFolder(entry)) continue;
        if (entry.is_directory(error)) {
            total += folderBytes(entry.path().string());
        } else {
            const std::uintmax_t bytes = entry.file_size(error);
            if (!error) total += std::int64_t(bytes);
        }
    }
    return total;
}

} // namespace

void SmcManager::collectPcSelection() {
    std::vector<int> selected;
    for (int index : pcSelection_) {
        if (index >= 0 && std::size_t(index) < pcItems_.size()) selected.push_back(index);
    }
    if (selected.empty()) return;
    std::sort(selected.begin(), selected.end());
    selected.erase(std::unique(selected.begin(), selected.end()), selected.end());
    copiedPcItems_.clear();
    for (int index : selected) {
        const ListItem& item = pcItems_[std::size_t(index)];
        std::string entry = JoinPcPath(pcPath_, item.caption);
        if (item.data == kItemFolder) entry += "/";
        copiedPcItems_.push_back(std::move(entry));
    }
}

bool SmcManager::acceptsCardDrop(DragSource source) const {
    return source == DragSource::PcList && !pcPath_.empty();
}

void SmcManager::dropOnCardList(DragSource source) {
    if (!acceptsCardDrop(source) || !storage_) return;
    collectPcSelection();
    prog().showProgress();
    (void)copyToCard(cardPath_, copiedPcItems_);
    prog().hideProgress();
    refreshCard();
}

void SmcManager::dropOnCardTree(DragSource source, TreeNode* node) {
    if (!acceptsCardDrop(source) || !node || !storage_) return;
    collectPcSelection();
    prog().showProgress();
    (void)copyToCard(cardPathOf(node), copiedPcItems_);
    prog().hideProgress();
    refreshCard();
}

bool SmcManager::copyToCard(std::string dest, const std::vector<std::string>& list) {
    if (!storage_) return false;
    // Names are joined with a backslash, so the root travels as "vx:".
    if (dest == kCardRoot) dest = "vx:";
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
    // What was copied before a failure or a cancel stays, so it goes to the disk as well.
    return written && syncImage() && copied && skippedNames_.empty();
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
        FilePtr file(std::fopen(entry.c_str(), "rb"));
        if (!file || error) {
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
    // A folder copy stops at its first failing step and reports it, so the paste ends there.
    const Placement placed = placeCardFolder(dest, LastPcComponent(folder));
    if (placed != Placement::Copy) return placed == Placement::Leave;
    const std::string cardFolder = dest + "\\" + LastPcComponent(folder);
    prog().setAnimation(ProgressUi::Animation::CopyFile);
    prog().startAnimation();
    for (const auto& entry : sortedEntries(folder)) {
        if (linkedFolder(entry)) continue;
        const std::string path = JoinPcPath(folder, entry.path().filename().string());
        std::error_code error;
        const bool copied =
            !stopRequested() && (entry.is_directory(error) ? copyFolderToCard(cardFolder, path)
                                                           : copyFileToCard(cardFolder, path));
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

    FilePtr stream(std::fopen(file.c_str(), "rb"));
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
