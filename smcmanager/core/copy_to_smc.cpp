// Copying from the PC to the card: the PC selection, the byte total that scales the overall
// gauge, and the copy of folders and files. A file is read whole into memory, then written
// to a virtual SMC in pieces of 1 MiB or sent to the machine with PutFile, the gauges moving
// after each piece or packet. A paste stops at the first step that fails or at a cancel; an
// existing card file of the same name is never replaced, and a file cancelled half-way is
// taken off the card again.
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <devicelink/device_link.h>
#include <smfs/smfs.h>

#include <algorithm>
#include <limits>
#include <new>
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

const char* putFileMessage(LinkResult result) {
    static constexpr LinkText kTexts[] = {
        {LinkResult::Timeout, "timed out while copying file."},
        {LinkResult::Canceled, "operation canceled."},
        {LinkResult(-4), "failed to open file."},
        {LinkResult::IoFailed, "an error has occurred in Vela while copying file."},
        {LinkResult::BadReply, "communication error has occurred."},
        {LinkResult(-13), "failed to read from file."},
        {LinkResult(-14), "same file already exists."},
        {LinkResult(-15), "failed to create file."},
        {LinkResult(-16), "failed to write to file."},
    };
    return LinkFailureText(result, kTexts, "unknown error has occurred.");
}

} // namespace

void SmcManager::CollectPcSelection() {
    std::vector<int> selected;
    for (int index : pcSelection_) {
        if (index >= 0 && std::size_t(index) < pcItems_.size()) selected.push_back(index);
    }
    if (selected.empty()) return;
    std::sort(selected.begin(), selected.end());
    selected.erase(std::unique(selected.begin(), selected.end()), selected.end());
    FCopyList.clear();
    for (int index : selected) {
        const ListItem& item = pcItems_[std::size_t(index)];
        std::string entry = JoinPcPath(FPcPath, item.caption);
        if (item.data == kItemFolder) entry += "/";
        FCopyList.push_back(std::move(entry));
    }
}

bool SmcManager::SMCDragOver(DragSource source) const {
    return source == DragSource::PcList && !FPcPath.empty();
}

void SmcManager::ListSMCDragDrop(DragSource source) {
    if (!SMCDragOver(source)) return;
    CollectPcSelection();
    prog().Show();
    (void)PasteToSmc(FSmcPath, FCopyList);
    prog().Hide();
    RefreshSmc();
}

void SmcManager::TreeSMCDragDrop(DragSource source, TreeNode* node) {
    if (!SMCDragOver(source) || !node) return;
    CollectPcSelection();
    prog().Show();
    (void)PasteToSmc(SmcPathOf(node), FCopyList);
    prog().Hide();
    RefreshSmc();
}

bool SmcManager::PasteToSmc(std::string dest, const std::vector<std::string>& list) {
    // Names are joined with a backslash, so the root travels as "vx:".
    if (dest == kSmcRoot) dest = "vx:";
    cancelled_ = false;
    const std::int64_t total = TotalPcBytes(list);
    prog2Position_ = 0;
    prog().SetProg2Max(total);
    prog().SetProg2Pos(0);
    bool copied = true;
    ++changeDepth_; // the folders made on the way are synced with the rest, once
    for (const std::string& entry : list) {
        copied = !stopRequested() && (!entry.empty() && entry.back() == '/'
                                          ? CopyFolderToSmc(dest, entry.substr(0, entry.size() - 1))
                                          : CopyFileToSmc(dest, entry));
        if (!copied) break;
    }
    --changeDepth_;
    // What was copied before a failure or a cancel stays, so it goes to the disk as well.
    return syncImage() && copied;
}

std::int64_t SmcManager::TotalPcBytes(const std::vector<std::string>& list) {
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

bool SmcManager::CopyFolderToSmc(const std::string& dest, const std::string& folder) {
    prog().SetAnimation(ProgressUi::Animation::CopyFile);
    prog().StartAnimation();
    const std::string cardFolder = dest + "\\" + LastPcComponent(folder);
    // A folder copy stops at its first failing step and reports it, so the paste ends there.
    if (!MakeCardFolder(cardFolder)) {
        prog().StopAnimation();
        return false;
    }
    for (const auto& entry : sortedEntries(folder)) {
        if (linkedFolder(entry)) continue;
        const std::string path = JoinPcPath(folder, entry.path().filename().string());
        std::error_code error;
        const bool copied =
            !stopRequested() && (entry.is_directory(error) ? CopyFolderToSmc(cardFolder, path)
                                                           : CopyFileToSmc(cardFolder, path));
        if (!copied) {
            prog().StopAnimation();
            return false;
        }
    }
    prog().StopAnimation();
    return true;
}

bool SmcManager::CopyFileToSmc(const std::string& dest, const std::string& file) {
    if (stopRequested()) return false;
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
    // Neither backend takes more than 4 GiB in one file; such a file cannot be held either.
    std::vector<std::uint8_t> data;
    try {
        if (std::uint64_t(length) > std::numeric_limits<std::uint32_t>::max())
            throw std::bad_alloc();
        data.resize(std::size_t(length));
    } catch (const std::bad_alloc&) {
        message("insufficient memory");
        return false;
    }
    if (!data.empty() && std::fread(data.data(), 1, data.size(), stream.get()) != data.size()) {
        message("failed to read file '" + file + "'");
        return false;
    }
    stream.reset();

    const std::string name = LastPcComponent(file);
    const std::string cardPath = dest + "\\" + name;
    ProgressUi& p = prog();
    p.SetVisible(ProgressUi::Control::Msg1, true);
    p.SetMsg1("now copying file '" + name + "' (size : " + std::to_string(length) + " bytes)");
    p.SetAnimation(ProgressUi::Animation::CopyFile);
    p.StartAnimation();
    p.SetProg1Max(length);
    p.SetProg1Pos(0);
    p.Repaint();

    if (FStorageKind == kStorageVirtual) return writeToVirtual(cardPath, data);
    if (FStorageKind == kStorageMachine) return writeToMachine(dest, name, data);
    return true;
}

bool SmcManager::writeToVirtual(const std::string& cardPath,
                                const std::vector<std::uint8_t>& data) {
    SmfsHandle handle = 0;
    if (card_->create(cardPath.c_str(), 2, &handle) != SmfsResult::Ok) {
        message("failed to create file in virtual SMC. ('" + cardPath + "')");
        return false;
    }
    std::size_t written = 0;
    while (written < data.size()) {
        const auto piece = std::uint32_t(std::min<std::size_t>(kPieceBytes, data.size() - written));
        if (card_->write(handle, data.data() + written, piece) != SmfsResult::Ok) {
            message("failed to write file in virtual SMC. ('" + cardPath + "')");
            // Close the handle (at most ten may be open) and take the truncated file away,
            // so no partial copy looks like a whole one.
            if (card_->close(handle) == SmfsResult::Ok) (void)card_->remove(cardPath.c_str());
            return false;
        }
        written += piece;
        prog().SetProg1Pos(std::int64_t(written));
        prog2Position_ += piece;
        prog().SetProg2Pos(prog2Position_);
        // After the last piece the file is whole; the next file's start sees the cancel.
        if (written < data.size() && stopRequested()) {
            if (card_->close(handle) == SmfsResult::Ok) (void)card_->remove(cardPath.c_str());
            return false;
        }
    }
    if (card_->close(handle) != SmfsResult::Ok) {
        message("failed to close file in virtual SMC. ('" + cardPath + "')");
        return false;
    }
    return true;
}

bool SmcManager::writeToMachine(const std::string& dest, const std::string& name,
                                const std::vector<std::uint8_t>& data) {
    LinkCallbacks callbacks;
    callbacks.start = [this](const LinkFileStart& start) {
        return OnFileStart(start.name ? start.name : "", start.size);
    };
    callbacks.packet = [this](const LinkPacketProgress& packet) {
        return OnPacket(packet.bytesSoFar, packet.total, packet.packetBytes);
    };
    const LinkResult result =
        FLink->PutFile(data.data(), std::uint32_t(data.size()), dest + "\\", name, callbacks);
    if (result == LinkResult::Ok) return true;
    if (result == LinkResult::Canceled) {
        cancelled_ = true;
        // The machine may have taken the unfinished file as a whole one.
        if (FLink->cancelledPutKept()) (void)FLink->RemoveFile(dest + "\\" + name);
    }
    message(putFileMessage(result));
    return false;
}

bool SmcManager::stopRequested() {
    if (cancelled_) return true;
    if (!prog().CancelRequested()) return false;
    cancelled_ = true;
    message("operation canceled.");
    return true;
}

bool SmcManager::pollCancel() {
    if (!cancelled_ && prog().CancelRequested()) cancelled_ = true;
    return cancelled_;
}

LinkResult SmcManager::OnFileStart(const char* name, std::uint32_t size) {
    prog().SetMsg1(std::string("now copying file '") + name);
    prog().SetProg1Max(size);
    prog().SetProg1Pos(0);
    return pollCancel() ? LinkResult::Canceled : LinkResult::Ok;
}

LinkResult SmcManager::OnPacket(std::uint32_t bytesSoFar, std::uint32_t total,
                                std::uint32_t packetBytes) {
    prog().SetProg1Pos(bytesSoFar);
    prog2Position_ += packetBytes;
    prog().SetProg2Pos(prog2Position_);
    // With its last packet the file is whole; the next file's start sees the cancel.
    if (bytesSoFar >= total) return LinkResult::Ok;
    return pollCancel() ? LinkResult::Canceled : LinkResult::Ok;
}
