// Browsing: the card folder list and folder tree for both backends, and the PC's roots,
// folders and lists through std::filesystem. Card names are shown in lower case; the card
// list keeps the order in which the listing delivered its entries. The PC lists are sorted
// by name, since a POSIX folder search returns its entries in no particular order.
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <devicelink/device_link.h>
#include <smfs/smfs.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kBatchNames = 32;

// One slot of an smfs_list batch, bounded to its 16 bytes.
std::string slotName(const char* names, std::uint32_t index) {
    const char* slot = names + std::size_t(index) * kSmfsNameSlotBytes;
    return std::string(slot, strnlen(slot, kSmfsNameSlotBytes));
}

bool isDots(const std::string& name) {
    return name == "." || name == "..";
}

std::string pcDate(const fs::directory_entry& entry) {
    std::error_code error;
    const auto written = entry.last_write_time(error);
    if (error) return "";
    const std::time_t time =
        std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(written));
    std::tm local{};
    if (!localtime_r(&time, &local)) return "";
    return FormatDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                      local.tm_min);
}

// The entries of a PC folder sorted by name; an unreadable folder gives none.
std::vector<fs::directory_entry> pcEntries(const std::string& path) {
    std::vector<fs::directory_entry> entries;
    std::error_code error;
    fs::directory_iterator it(path, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error))
        entries.push_back(*it);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.path().filename() < b.path().filename();
    });
    return entries;
}

bool isFolder(const fs::directory_entry& entry) {
    std::error_code error;
    return entry.is_directory(error);
}

bool isDescendant(const TreeNode* node, const TreeNode* ancestor) {
    for (const TreeNode* p = node ? node->parent : nullptr; p; p = p->parent) {
        if (p == ancestor) return true;
    }
    return false;
}

} // namespace

bool SmcManager::listVirtual(const std::string& folder, std::vector<std::string>& names,
                             const char* failure) {
    char batch[kBatchNames * kSmfsNameSlotBytes];
    for (std::uint32_t first = 0;; first += kBatchNames) {
        std::uint32_t delivered = 0;
        const SmfsResult result =
            card_->list(folder.c_str(), first, kBatchNames, batch, &delivered);
        if (result != SmfsResult::Ok && result != SmfsResult::EndOfData) {
            message(failure);
            return false;
        }
        delivered = std::min(delivered, kBatchNames);
        for (std::uint32_t i = 0; i < delivered; ++i)
            names.push_back(slotName(batch, i));
        if (delivered != kBatchNames) return true;
    }
}

ListItem SmcManager::linkItem(const LinkEntry& entry) const {
    ListItem item;
    item.caption = LowerName(std::string(entry.name, strnlen(entry.name, sizeof entry.name)));
    item.size = std::to_string(entry.size);
    if (entry.kind == 1) {
        item.type = "folder";
        item.image = kImageFolder;
        item.data = kItemFolder;
    } else {
        item.type = "file";
        item.image = CardFileImage(item.caption);
        item.data = kItemFile;
    }
    item.modified = FormatDate(entry.year, entry.month, entry.day, entry.hour, entry.minute);
    return item;
}

void SmcManager::ListSmcFolder() {
    if (FStorageKind == kStorageNone) return;
    setSmcPathText(FSmcPath);
    smcItems_.clear();
    smcSelection_.clear();

    if (FStorageKind == kStorageVirtual) {
        char batch[kBatchNames * kSmfsNameSlotBytes];
        for (std::uint32_t first = 0;; first += kBatchNames) {
            std::uint32_t delivered = 0;
            const SmfsResult result =
                card_->list(FSmcPath.c_str(), first, kBatchNames, batch, &delivered);
            if (result != SmfsResult::Ok && result != SmfsResult::EndOfData) {
                message("an error has occurred while getting file list");
                break;
            }
            delivered = std::min(delivered, kBatchNames);
            bool stopped = false;
            for (std::uint32_t i = 0; i < delivered && !stopped; ++i) {
                const std::string name = slotName(batch, i);
                if (isDots(name)) continue;
                SmfsEntryInfo info{};
                if (card_->info(JoinCardPath(FSmcPath, name).c_str(), &info) != SmfsResult::Ok) {
                    message("an error has occurred while geetting file attribute");
                    stopped = true;
                    break;
                }
                ListItem item;
                item.caption = LowerName(name);
                if (info.attribute & kSmfsAttrFolder) {
                    item.type = "folder";
                    item.image = kImageFolder;
                    item.data = kItemFolder;
                } else {
                    item.size = std::to_string(info.size >> 10) + "KB";
                    item.type = "file";
                    item.image = CardFileImage(item.caption);
                    item.data = kItemFile;
                }
                item.modified = FormatDate(info.year, info.month, info.day, info.hour, info.minute);
                addSmcItem(std::move(item));
            }
            if (stopped || delivered != kBatchNames) break;
        }
    } else {
        LinkList list;
        const LinkResult result = FLink->ListFiles(WithBackslash(FSmcPath), list);
        if (result == LinkResult::Ok) {
            for (const LinkEntry& entry : list)
                addSmcItem(linkItem(entry));
        } else {
            message(FileListFailure(result));
        }
    }
    ui_.ListChanged(Side::Smc);
}

bool SmcManager::SmcHasSubfolders(const std::string& path) {
    if (FStorageKind == kStorageVirtual) {
        char batch[kBatchNames * kSmfsNameSlotBytes];
        std::uint32_t delivered = 0;
        const SmfsResult result = card_->list(path.c_str(), 0, kBatchNames, batch, &delivered);
        if (result != SmfsResult::Ok && result != SmfsResult::EndOfData) {
            message("Failed to get directory information.");
            return false;
        }
        delivered = std::min(delivered, kBatchNames);
        for (std::uint32_t i = 0; i < delivered; ++i) {
            const std::string name = slotName(batch, i);
            if (isDots(name)) continue;
            SmfsEntryInfo info{};
            if (card_->info(JoinCardPath(path, name).c_str(), &info) == SmfsResult::Ok &&
                (info.attribute & kSmfsAttrFolder))
                return true;
        }
        return false;
    }
    if (FStorageKind == kStorageMachine) {
        LinkList list;
        const LinkResult result = FLink->ListFolders(WithBackslash(path), list);
        if (result != LinkResult::Ok) {
            message(FolderListFailure(result));
            return false;
        }
        return !list.empty();
    }
    return false;
}

void SmcManager::resetChildren(Side side, TreeNode* node) {
    ui_.TreeAboutToChange(side, node);
    TreeNode*& selected = side == Side::Smc ? smcSelected_ : pcSelected_;
    if (isDescendant(selected, node)) selected = node;
    node->children.clear();
}

void SmcManager::ExpandSmcNode(TreeNode* node) {
    if (!node || FStorageKind == kStorageNone) return;
    resetChildren(Side::Smc, node);
    const std::string path = SmcPathOf(node);

    if (FStorageKind == kStorageVirtual) {
        char batch[kBatchNames * kSmfsNameSlotBytes];
        bool stopped = false;
        for (std::uint32_t first = 0; !stopped; first += kBatchNames) {
            std::uint32_t delivered = 0;
            const SmfsResult result =
                card_->list(path.c_str(), first, kBatchNames, batch, &delivered);
            if (result != SmfsResult::Ok && result != SmfsResult::EndOfData) {
                message("an error has occurred while getting folder list");
                break;
            }
            delivered = std::min(delivered, kBatchNames);
            for (std::uint32_t i = 0; i < delivered; ++i) {
                const std::string name = slotName(batch, i);
                if (isDots(name)) continue;
                const std::string full = JoinCardPath(path, name);
                SmfsEntryInfo info{};
                if (card_->info(full.c_str(), &info) != SmfsResult::Ok) {
                    message("an error has occurred while getting file attribute");
                    stopped = true;
                    break;
                }
                if (info.attribute & kSmfsAttrFolder) {
                    node->AddChild(LowerName(name), kImageFolder, kImageFolderSelected,
                                   SmcHasSubfolders(full));
                }
            }
            if (delivered != kBatchNames) break;
        }
    } else {
        LinkList list;
        const LinkResult result = FLink->ListFolders(WithBackslash(path), list);
        if (result != LinkResult::Ok) {
            message(FolderListFailure(result));
        } else {
            for (const LinkEntry& entry : list) {
                node->AddChild(LowerName(std::string(entry.name, strnlen(entry.name, 14))),
                               kImageFolder, kImageFolderSelected, entry.kind != 0);
            }
        }
    }
    ui_.TreeChanged(Side::Smc, node);
}

std::string SmcManager::SmcPathOf(const TreeNode* node) const {
    if (!node || !node->parent) return kSmcRoot;
    std::string path = node->caption;
    for (const TreeNode* p = node->parent; p->parent; p = p->parent) {
        path = p->caption + "\\" + path;
    }
    return kSmcRoot + path;
}

std::string SmcManager::PopFirstComponent(std::string& path) {
    const std::size_t sep = path.find('\\');
    std::string first;
    if (sep == std::string::npos) {
        first = std::move(path);
        path.clear();
    } else {
        first = path.substr(0, sep);
        path.erase(0, sep + 1);
    }
    return first;
}

void SmcManager::RevealSmcPath() {
    TreeNode* node = FSmcRoot.get();
    if (!node) return;
    std::string rest = FSmcPath;
    (void)PopFirstComponent(rest); // "vx:"
    for (;;) {
        ExpandSmcNode(node);
        node->expanded = true;
        ui_.TreeExpanded(Side::Smc, node);
        if (rest.empty()) {
            SelectSmcNode(node);
            return;
        }
        const std::string component = PopFirstComponent(rest);
        TreeNode* next = FindTreeNode(node, component);
        if (!next) {
            message("an error has occurred while getting folder information.");
            return;
        }
        node = next;
    }
}

void SmcManager::TreeSMCExpanding(TreeNode* node) {
    ExpandSmcNode(node);
}

void SmcManager::TreeSMCChange(TreeNode* node) {
    if (!node) return;
    smcSelected_ = node;
    FSmcPath = SmcPathOf(node);
    setSmcPathText(LowerName(FSmcPath));
    ListSmcFolder();
}

void SmcManager::ListSMCDblClick(int index) {
    if (index < 0 || std::size_t(index) >= smcItems_.size()) return;
    const ListItem& item = smcItems_[std::size_t(index)];
    if (item.data != kItemFolder) return;
    FSmcPath = JoinCardPath(FSmcPath, item.caption);
    RefreshSmc();
}

// ---- The PC side ----

void SmcManager::BuildPcRoot() {
    ui_.TreeAboutToChange(Side::Pc, nullptr);
    pcSelected_ = nullptr;
    auto computer = std::make_unique<TreeNode>();
    computer->caption = "Computer";
    computer->image = kImagePcComputer;
    computer->selectedImage = kImagePcComputer;
    computer->hasButton = true;
    for (const std::string& root : pcRoots_) {
        computer->AddChild(root, kImagePcRoot, kImagePcRoot, true)->data = root;
    }
    FPcRoot = std::move(computer);
    ui_.TreeChanged(Side::Pc, nullptr);
}

void SmcManager::ListPcFolder() {
    pcItems_.clear();
    pcSelection_.clear();
    pcPathText_ = FPcPath;
    ui_.PathTextChanged(Side::Pc, pcPathText_);
    if (FPcPath.empty()) {
        for (const std::string& root : pcRoots_) {
            ListItem item;
            item.caption = root;
            item.type = "logical driver";
            item.image = kImagePcRoot;
            item.data = kItemFile;
            pcItems_.push_back(std::move(item));
        }
    } else {
        for (const auto& entry : pcEntries(FPcPath)) {
            ListItem item;
            item.caption = entry.path().filename().string();
            if (isFolder(entry)) {
                item.type = "folder";
                item.image = kImagePcFolder;
                item.data = kItemFolder;
            } else {
                std::error_code error;
                const std::uintmax_t bytes = entry.file_size(error);
                item.size = std::to_string(error ? 0 : bytes >> 10) + "KB";
                item.type = "file";
                item.image = kImagePcFile;
                item.data = kItemFile;
            }
            item.modified = pcDate(entry);
            pcItems_.push_back(std::move(item));
        }
    }
    ui_.ListChanged(Side::Pc);
}

void SmcManager::ExpandPcNode(TreeNode* node) {
    if (!node) return;
    resetChildren(Side::Pc, node);
    const std::string path = PcPathOf(node);
    for (const auto& entry : pcEntries(path)) {
        if (!isFolder(entry)) continue;
        const std::string name = entry.path().filename().string();
        node->AddChild(name, kImagePcFolder, kImagePcFolderOpen,
                       PcHasSubfolders(JoinPcPath(path, name)));
    }
    ui_.TreeChanged(Side::Pc, node);
}

bool SmcManager::PcHasSubfolders(const std::string& path) const {
    std::error_code error;
    fs::directory_iterator it(path, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        if (isFolder(*it)) return true;
    }
    return false;
}

std::string SmcManager::PcPathOf(const TreeNode* node) const {
    if (!node || !node->parent) return "";
    std::string relative;
    const TreeNode* p = node;
    for (; p->parent && p->parent->parent; p = p->parent) {
        relative = relative.empty() ? p->caption : p->caption + "/" + relative;
    }
    // p is now the root node below the computer.
    return relative.empty() ? p->data : JoinPcPath(p->data, relative);
}

void SmcManager::RevealPcPath() {
    TreeNode* node = FPcRoot.get();
    if (!node) return;
    node->expanded = true;
    if (FPcPath.empty()) {
        SelectPcNode(node);
        return;
    }
    // The root holding the path: the longest one that is a prefix at a "/" boundary.
    TreeNode* root = nullptr;
    for (const auto& child : node->children) {
        const std::string& base = child->data;
        const bool prefix =
            FPcPath.compare(0, base.size(), base) == 0 &&
            (FPcPath.size() == base.size() || base.back() == '/' || FPcPath[base.size()] == '/');
        if (prefix && (!root || base.size() > root->data.size())) root = child.get();
    }
    if (!root) {
        message("an error has occurred while getting folder information.");
        return;
    }
    std::string rest = FPcPath.substr(root->data.size());
    node = root;
    for (;;) {
        ExpandPcNode(node);
        node->expanded = true;
        ui_.TreeExpanded(Side::Pc, node);
        while (!rest.empty() && rest.front() == '/')
            rest.erase(0, 1);
        if (rest.empty()) {
            SelectPcNode(node);
            return;
        }
        const std::size_t sep = rest.find('/');
        const std::string component = rest.substr(0, sep);
        rest = sep == std::string::npos ? "" : rest.substr(sep);
        // Exact match first: PC names may differ only in case.
        TreeNode* next = nullptr;
        for (const auto& child : node->children) {
            if (child->caption == component) next = child.get();
        }
        if (!next) next = FindTreeNode(node, component);
        if (!next) {
            message("an error has occurred while getting folder information.");
            return;
        }
        node = next;
    }
}

void SmcManager::RefreshPc() {
    RevealPcPath();
    ListPcFolder();
}

void SmcManager::TreePCExpanding(TreeNode* node) {
    if (node && node != FPcRoot.get()) ExpandPcNode(node);
}

void SmcManager::TreePCChange(TreeNode* node) {
    if (!node) return;
    pcSelected_ = node;
    FPcPath = PcPathOf(node);
    ListPcFolder();
}

void SmcManager::ListPCDblClick(int index) {
    if (FPcPath.empty()) return;
    if (index < 0 || std::size_t(index) >= pcItems_.size()) return;
    const ListItem& item = pcItems_[std::size_t(index)];
    if (item.data != kItemFolder) return;
    FPcPath = JoinPcPath(FPcPath, item.caption);
    RefreshPc();
}
