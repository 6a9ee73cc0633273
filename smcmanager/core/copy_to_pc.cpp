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

const char* getFileMessage(LinkResult result) {
    static constexpr LinkText kTexts[] = {
        {LinkResult::Timeout, "timed out while copying file."},
        {LinkResult::Canceled, "operation canceled."},
        {LinkResult::IoFailed, "unknown error has occurred."},
        {LinkResult::BadReply, "communication error has occurred."},
    };
    return LinkFailureText(result, kTexts, "default error has occurred.");
}

} // namespace

void SmcManager::CollectSmcSelection() {
    std::vector<int> selected;
    for (int index : smcSelection_) {
        if (index >= 0 && std::size_t(index) < smcItems_.size()) selected.push_back(index);
    }
    std::sort(selected.begin(), selected.end());
    selected.erase(std::unique(selected.begin(), selected.end()), selected.end());
    FSmcList.clear();
    for (int index : selected) {
        const ListItem& item = smcItems_[std::size_t(index)];
        std::string entry = JoinCardPath(FSmcPath, item.caption);
        if (item.data == kItemFolder) entry += "\\";
        FSmcList.push_back(std::move(entry));
    }
}

bool SmcManager::PCDragOver(DragSource source) const {
    return source == DragSource::SmcList;
}

void SmcManager::ListPCDragDrop(DragSource source) {
    if (!PCDragOver(source)) return;
    CollectSmcSelection();
    prog().Show();
    (void)CopySelectionToPc(FPcPath, FSmcList);
    prog().Hide();
    RefreshPc();
}

void SmcManager::TreePCDragDrop(DragSource source, TreeNode* node) {
    if (!PCDragOver(source) || !node || node == FPcRoot.get()) return;
    CollectSmcSelection();
    prog().Show();
    (void)CopySelectionToPc(PcPathOf(node), FSmcList);
    prog().Hide();
    RefreshPc();
}

bool SmcManager::CopySelectionToPc(const std::string& target,
                                   const std::vector<std::string>& list) {
    if (target.empty()) return true;
    cancelled_ = false;
    const std::int64_t total = SelectionSize(list);
    prog2Position_ = 0;
    prog().SetProg2Max(total);
    prog().SetProg2Pos(0);
    bool allCopied = true;
    for (const std::string& entry : list) {
        if (stopRequested()) return false;
        if (isFolderEntry(entry)) {
            // A folder copy never stops the run; only a cancel inside it does.
            allCopied = CopyFolderToPc(target, withoutLast(entry)) && allCopied;
            continue;
        }
        if (!CopyFileToPc(target, entry)) return false;
    }
    return allCopied;
}

std::int64_t SmcManager::SelectionSize(const std::vector<std::string>& list) {
    std::int64_t total = 0;
    for (const std::string& entry : list) {
        total += isFolderEntry(entry) ? SmcFolderSize(withoutLast(entry)) : SmcFileSize(entry);
    }
    return total;
}

std::int64_t SmcManager::SmcFileSize(const std::string& path) {
    if (FStorageKind == kStorageVirtual) {
        std::uint32_t size = 0;
        return card_->fileSize(path.c_str(), &size) == SmfsResult::Ok ? std::int64_t(size) : -1;
    }
    if (FStorageKind == kStorageMachine) {
        const std::string folder = ExtractDirectory(path);
        const std::string name = path.substr(folder.size());
        LinkList list;
        const LinkResult result = FLink->ListFiles(folder, list);
        if (result != LinkResult::Ok) {
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

std::int64_t SmcManager::SmcFolderSize(const std::string& path) {
    std::int64_t total = 0;
    if (FStorageKind == kStorageVirtual) {
        std::vector<std::string> names;
        if (!listVirtual(path, names, "an error has occurred while getting file list")) return -1;
        for (const std::string& name : names) {
            // Names the copy will refuse are not counted (nor reported twice).
            if (name == "." || name == ".." || !SafePcName(name)) continue;
            const std::string child = JoinCardPath(path, name);
            SmfsEntryInfo info{};
            if (card_->info(child.c_str(), &info) != SmfsResult::Ok) {
                message("an error has occurred while geetting file attribute");
                continue;
            }
            total += (info.attribute & kSmfsAttrFolder) ? SmcFolderSize(child) : SmcFileSize(child);
        }
    } else if (FStorageKind == kStorageMachine) {
        LinkList list;
        const LinkResult result = FLink->ListFiles(WithBackslash(path), list);
        if (result != LinkResult::Ok) {
            message(FileListFailure(result));
            return 0;
        }
        // The listing already carries each file's size; asking again per file would list
        // the same folder once more for every file in it.
        for (const LinkEntry& entry : list) {
            total += entry.kind == 1 ? SmcFolderSize(JoinCardPath(path, entryName(entry)))
                                     : std::int64_t(entry.size);
        }
    }
    return total;
}

bool SmcManager::readCardFile(const std::string& path, const std::string& name,
                              std::vector<std::uint8_t>& data) {
    if (FStorageKind == kStorageVirtual) {
        SmfsHandle handle = 0;
        if (card_->open(path.c_str(), kSmfsRead, &handle) != SmfsResult::Ok) return false;
        std::uint32_t size = 0;
        if (card_->fileSize(path.c_str(), &size) != SmfsResult::Ok) {
            (void)card_->close(handle);
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
            (void)card_->close(handle);
            message("failed to read from file in virtual SMC.");
            return false;
        }
        prog().SetProg1Max(size);
        std::uint32_t done = 0;
        while (done < size) {
            const std::uint32_t piece = std::min(kPieceBytes, size - done);
            std::uint32_t count = 0;
            if (card_->read(handle, data.data() + done, piece, &count) != SmfsResult::Ok ||
                count != piece) {
                (void)card_->close(handle);
                message("failed to read from file in virtual SMC.");
                return false;
            }
            done += piece;
            prog().SetProg1Pos(done);
            prog2Position_ += piece;
            prog().SetProg2Pos(prog2Position_);
            if (done < size && stopRequested()) {
                (void)card_->close(handle);
                return false;
            }
        }
        if (card_->close(handle) != SmfsResult::Ok) {
            message("failed to close file in virtual SMC.");
            return false;
        }
        return true;
    }
    if (FStorageKind == kStorageMachine) {
        LinkCallbacks callbacks;
        callbacks.start = [this](const LinkFileStart& start) {
            return OnFileStart(start.name ? start.name : "", start.size);
        };
        callbacks.packet = [this](const LinkPacketProgress& packet) {
            return OnPacket(packet.bytesSoFar, packet.total, packet.packetBytes);
        };
        const LinkResult result = FLink->GetFile(path, name, data, callbacks);
        if (result == LinkResult::Canceled) cancelled_ = true;
        if (result != LinkResult::Ok) {
            message(getFileMessage(result));
            return false;
        }
        return true;
    }
    return false;
}

bool SmcManager::CopyFileToPc(const std::string& target, const std::string& path) {
    if (stopRequested()) return false;
    const std::string name = LastCardComponent(path);
    ProgressUi& p = prog();
    p.SetAnimation(ProgressUi::Animation::CopyFile);
    p.StartAnimation();
    p.SetMsg1("now copying file '" + name + "'");
    p.Repaint();
    if (FStorageKind == kStorageNone) {
        p.StopAnimation();
        return true;
    }
    if (!SafePcName(name)) {
        message("failed to create file in PC.");
        p.StopAnimation();
        return false;
    }

    std::vector<std::uint8_t> data;
    if (!readCardFile(path, name, data)) {
        p.StopAnimation();
        return false;
    }
    const std::string pcPath = JoinPcPath(target, LowerName(name));
    std::FILE* file = std::fopen(pcPath.c_str(), "wb");
    if (!file) {
        message("failed to create file in PC.");
        p.StopAnimation();
        return false;
    }
    const bool written =
        data.empty() || std::fwrite(data.data(), 1, data.size(), file) == data.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        message("failed to write to file in PC.");
        p.StopAnimation();
        return false;
    }
    p.StopAnimation();
    return true;
}

bool SmcManager::CopyFolderToPc(const std::string& target, const std::string& folder) {
    ProgressUi& p = prog();
    p.SetAnimation(ProgressUi::Animation::CopyFile);
    p.StartAnimation();
    const std::string name = LastCardComponent(folder);
    if (FStorageKind == kStorageNone) {
        p.StopAnimation();
        return true;
    }
    if (!SafePcName(name)) {
        message("failed to create file in PC.");
        p.StopAnimation();
        return false;
    }
    const std::string newTarget = JoinPcPath(target, LowerName(name));
    // An existing folder is fine: the copy goes on into it.
    if (!MakePcFolder(newTarget)) p.StopAnimation();

    bool ok = true;
    // A failing child ends only that child; the rest of the folder follows.
    auto copyChild = [&](const std::string& childName, bool folderChild) {
        if (cancelled_) return;
        const std::string child = JoinCardPath(folder, childName);
        const bool copied =
            folderChild ? CopyFolderToPc(newTarget, child) : CopyFileToPc(newTarget, child);
        if (!copied) {
            ok = false;
            p.StopAnimation();
        }
    };

    if (FStorageKind == kStorageVirtual) {
        std::vector<std::string> names;
        if (!listVirtual(folder, names, "an error has occurred while getting file list")) {
            ok = false;
            p.StopAnimation();
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
            if (card_->info(JoinCardPath(folder, childName).c_str(), &info) != SmfsResult::Ok) {
                message("an error has occurred while geetting file attribute");
                ok = false;
                p.StopAnimation();
                continue;
            }
            copyChild(childName, (info.attribute & kSmfsAttrFolder) != 0);
        }
    } else {
        // The machine's folders are copied with their contents, as the virtual SMC's are.
        LinkList list;
        const LinkResult result = FLink->ListFiles(WithBackslash(folder), list);
        if (result != LinkResult::Ok) {
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
    p.StopAnimation();
    return ok && !cancelled_;
}

bool SmcManager::MakePcFolder(const std::string& path) {
    std::error_code error;
    return std::filesystem::create_directory(path, error) && !error;
}
