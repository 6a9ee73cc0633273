// Copying from the card to the PC: the card selection, the size pass that scales the overall
// gauge, and the copy of files and folder trees from either backend. A card file is read
// whole into memory (in pieces of 1 MiB from a virtual SMC, with GetFile from the machine),
// then written to the PC under its name in lower case. Names from a card or a machine are
// untrusted: a name that is not one plain PC file name is refused before anything is
// written, so nothing ever lands outside the chosen PC folder. A cancel stops the copy
// between files or while a file is read; as the PC file is only created once the whole card
// file is in memory, a cancelled file leaves nothing on the PC.
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <common/path_names.h>
#include <devicelink/device_link.h>
#include <smfs/smfs.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

namespace {

// No card holds a bigger file; a larger size in an entry is broken.
constexpr std::uint32_t kLargestCardFile = 128u << 20;

bool isFolderEntry(const std::string& entry) {
    return !entry.empty() && entry.back() == '\\';
}

std::string withoutLast(const std::string& entry) {
    return entry.substr(0, entry.size() - 1);
}

std::string entryName(const LinkEntry& entry) {
    return std::string(entry.name, strnlen(entry.name, sizeof entry.name));
}

const char* getFileMessage(int result) {
    static constexpr LinkText kTexts[] = {
        {LINK_TIMEOUT, "timed out while copying file."},
        {LINK_CANCELED, "operation canceled."},
        {LINK_IO_FAILED, "unknown error has occurred."},
        {LINK_BAD_REPLY, "communication error has occurred."},
    };
    return LinkFailureText(result, kTexts, "default error has occurred.");
}

} // namespace

void SmcManager::collectCardSelection() {
    std::vector<int> selected;
    for (int index : cardSelection_) {
        if (index >= 0 && std::size_t(index) < cardItems_.size()) selected.push_back(index);
    }
    std::sort(selected.begin(), selected.end());
    selected.erase(std::unique(selected.begin(), selected.end()), selected.end());
    copiedCardItems_.clear();
    for (int index : selected) {
        const ListItem& item = cardItems_[std::size_t(index)];
        std::string entry = JoinCardPath(cardPath_, item.caption);
        if (item.data == kItemFolder) entry += "\\";
        copiedCardItems_.push_back(std::move(entry));
    }
}

bool SmcManager::acceptsPcDrop(DragSource source) const {
    return source == DragSource::CardList;
}

void SmcManager::dropOnPcList(DragSource source) {
    if (!acceptsPcDrop(source)) return;
    collectCardSelection();
    prog().showProgress();
    (void)copyToPc(pcPath_, copiedCardItems_);
    prog().hideProgress();
    refreshPc();
}

void SmcManager::dropOnPcTree(DragSource source, TreeNode* node) {
    if (!acceptsPcDrop(source) || !node || node == pcRoot_.get()) return;
    collectCardSelection();
    prog().showProgress();
    (void)copyToPc(pcPathOf(node), copiedCardItems_);
    prog().hideProgress();
    refreshPc();
}

bool SmcManager::copyToPc(const std::string& target, const std::vector<std::string>& list) {
    if (target.empty()) return true;
    cancelled_ = false;
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
    if (storageKind_ == StorageKind::VirtualCard) {
        std::uint32_t size = 0;
        return smfs_file_size(path.c_str(), &size) == SmfsResult::Ok ? std::int64_t(size) : -1;
    }
    if (storageKind_ == StorageKind::Machine) {
        const std::string folder = ExtractDirectory(path);
        const std::string name = path.substr(folder.size());
        LinkList list;
        const int result = link_->ListFiles(folder, list);
        if (result != LINK_OK) {
            message(FolderListFailure(result));
            return 0;
        }
        // The machine lists names in upper case, the path holds them as shown (lower case).
        for (const LinkEntry& entry : list) {
            if (SameNameNoCase(entryName(entry), name)) return entry.size;
        }
        return -1;
    }
    return 0;
}

std::int64_t SmcManager::cardFolderSize(const std::string& path) {
    std::int64_t total = 0;
    if (storageKind_ == StorageKind::VirtualCard) {
        std::vector<std::string> names;
        if (!listVirtual(path, names, "an error has occurred while getting file list")) return -1;
        for (const std::string& name : names) {
            // Names the copy will refuse are not counted (nor reported twice).
            if (name == "." || name == ".." || !SafePcName(name)) continue;
            const std::string child = JoinCardPath(path, name);
            SmfsEntryInfo info{};
            if (smfs_info(child.c_str(), &info) != SmfsResult::Ok) {
                message("an error has occurred while geetting file attribute");
                continue;
            }
            total +=
                (info.attribute & kSmfsAttrFolder) ? cardFolderSize(child) : cardFileSize(child);
        }
    } else if (storageKind_ == StorageKind::Machine) {
        LinkList list;
        const int result = link_->ListFiles(WithBackslash(path), list);
        if (result != LINK_OK) {
            message(FileListFailure(result));
            return 0;
        }
        // The listing already carries each file's size; asking again per file would list
        // the same folder once more for every file in it.
        for (const LinkEntry& entry : list) {
            total += entry.kind == 1 ? cardFolderSize(JoinCardPath(path, entryName(entry)))
                                     : std::int64_t(entry.size);
        }
    }
    return total;
}

bool SmcManager::readCardFile(const std::string& path, const std::string& name,
                              std::vector<std::uint8_t>& data) {
    if (storageKind_ == StorageKind::VirtualCard) {
        SmfsHandle handle = 0;
        if (smfs_open(path.c_str(), kSmfsRead, &handle) != SmfsResult::Ok) return false;
        std::uint32_t size = 0;
        if (smfs_file_size(path.c_str(), &size) != SmfsResult::Ok) {
            (void)smfs_close(handle);
            return false;
        }
        bool fits = size <= kLargestCardFile;
        if (fits) {
            try {
                data.resize(size);
            } catch (const std::bad_alloc&) {
                fits = false;
            }
        }
        if (!fits) {
            (void)smfs_close(handle);
            message("failed to read from file in virtual SMC.");
            return false;
        }
        prog().setItemMaximum(size);
        std::uint32_t done = 0;
        while (done < size) {
            const std::uint32_t piece = std::min(kPieceBytes, size - done);
            std::uint32_t count = 0;
            if (smfs_read(handle, data.data() + done, piece, &count) != SmfsResult::Ok ||
                count != piece) {
                (void)smfs_close(handle);
                message("failed to read from file in virtual SMC.");
                return false;
            }
            done += piece;
            prog().setItemProgress(done);
            totalProgress_ += piece;
            prog().setTotalProgress(totalProgress_);
            if (done < size && stopRequested()) {
                (void)smfs_close(handle);
                return false;
            }
        }
        if (smfs_close(handle) != SmfsResult::Ok) {
            message("failed to close file in virtual SMC.");
            return false;
        }
        return true;
    }
    if (storageKind_ == StorageKind::Machine) {
        LinkCallbacks callbacks;
        callbacks.start = [this](const LinkFileStart& start) {
            return onFileStart(start.name ? start.name : "", start.size);
        };
        callbacks.packet = [this](const LinkPacketProgress& packet) {
            return onPacket(packet.bytesSoFar, packet.total, packet.packetBytes);
        };
        const int result = link_->GetFile(path, name, data, callbacks);
        if (result == LINK_CANCELED) cancelled_ = true;
        if (result != LINK_OK) {
            message(getFileMessage(result));
            return false;
        }
        return true;
    }
    return false;
}

bool SmcManager::copyFileToPc(const std::string& target, const std::string& path) {
    if (stopRequested()) return false;
    const std::string name = LastCardComponent(path);
    ProgressUi& p = prog();
    p.setAnimation(ProgressUi::Animation::CopyFile);
    p.startAnimation();
    p.setStepText("now copying file '" + name + "'");
    if (storageKind_ == StorageKind::None) {
        p.stopAnimation();
        return true;
    }
    if (!SafePcName(name)) {
        message("failed to create file in PC.");
        p.stopAnimation();
        return false;
    }

    std::vector<std::uint8_t> data;
    if (!readCardFile(path, name, data)) {
        p.stopAnimation();
        return false;
    }
    const std::string pcPath = JoinPcPath(target, LowerName(name));
    std::FILE* file = std::fopen(pcPath.c_str(), "wb");
    if (!file) {
        message("failed to create file in PC.");
        p.stopAnimation();
        return false;
    }
    const bool written =
        data.empty() || std::fwrite(data.data(), 1, data.size(), file) == data.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        message("failed to write to file in PC.");
        p.stopAnimation();
        return false;
    }
    p.stopAnimation();
    return true;
}

bool SmcManager::copyFolderToPc(const std::string& target, const std::string& folder) {
    ProgressUi& p = prog();
    p.setAnimation(ProgressUi::Animation::CopyFile);
    p.startAnimation();
    const std::string name = LastCardComponent(folder);
    if (storageKind_ == StorageKind::None) {
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
    if (!makePcFolder(newTarget)) p.stopAnimation();

    bool ok = true;
    // A failing child ends only that child; the rest of the folder follows.
    auto copyChild = [&](const std::string& childName, bool folderChild) {
        if (cancelled_) return;
        const std::string child = JoinCardPath(folder, childName);
        const bool copied =
            folderChild ? copyFolderToPc(newTarget, child) : copyFileToPc(newTarget, child);
        if (!copied) {
            ok = false;
            p.stopAnimation();
        }
    };

    if (storageKind_ == StorageKind::VirtualCard) {
        std::vector<std::string> names;
        if (!listVirtual(folder, names, "an error has occurred while getting file list")) {
            ok = false;
            p.stopAnimation();
        }
        for (const std::string& childName : names) {
            if (stopRequested()) break;
            if (childName == "." || childName == "..") continue;
            if (!SafePcName(childName)) {
                message("failed to create file in PC.");
                ok = false;
                continue;
            }
            SmfsEntryInfo info{};
            if (smfs_info(JoinCardPath(folder, childName).c_str(), &info) != SmfsResult::Ok) {
                message("an error has occurred while geetting file attribute");
                ok = false;
                p.stopAnimation();
                continue;
            }
            copyChild(childName, (info.attribute & kSmfsAttrFolder) != 0);
        }
    } else {
        // The machine's folders are copied with their contents, as the virtual SMC's are.
        LinkList list;
        const int result = link_->ListFiles(WithBackslash(folder), list);
        if (result != LINK_OK) {
            message(FileListFailure(result));
            ok = false;
        }
        for (const LinkEntry& entry : list) {
            if (stopRequested()) break;
            const std::string childName = entryName(entry);
            if (!SafePcName(childName)) {
                message("failed to create file in PC.");
                ok = false;
                continue;
            }
            copyChild(childName, entry.kind == 1);
        }
    }
    p.stopAnimation();
    return ok && !cancelled_;
}

bool SmcManager::makePcFolder(const std::string& path) {
    std::error_code error;
    return std::filesystem::create_directory(path, error) && !error;
}
