// SPDX-License-Identifier: MIT
// Browsing: the card folder list and folder tree of the open card, and the PC's roots,
// folders and lists through std::filesystem. Card names are shown in lower case; the card
// list keeps the order in which the listing delivered its entries. The PC lists are sorted
// by name, since a POSIX folder search returns its entries in no particular order.
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <system_error>

namespace fs = std::filesystem;

namespace {

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

void SmcManager::listCardFolder() {
    if (!storage_) return;
    setCardPathText(cardPath_);
    std::vector<CardEntry> entries;
    const CardResult listed = storage_->list(cardPath_, CardListing::Files, entries);
    std::vector<ListItem> items;
    for (const CardEntry& entry : entries) {
        ListItem item;
        item.caption = CardCaption(entry.name);
        item.foreignName = !PlainCardName(entry.name);
        item.size = storage_->sizeText(entry);
        item.sizeBytes = entry.sizeBytes;
        if (entry.folder) {
            item.type = "folder";
            item.image = kImageFolder;
            item.data = kItemFolder;
        } else {
            item.type = "file";
            item.image = CardFileImage(item.caption);
            item.data = kItemFile;
        }
        item.modified = FormatDate(entry.year, entry.month, entry.day, entry.hour, entry.minute);
        items.push_back(std::move(item));
    }
    // What was listed before a failure is shown with it.
    setCardItems(std::move(items));
    (void)report(listed);
}

bool SmcManager::cardHasSubfolders(const std::string& path) {
    if (!storage_) return false;
    bool found = false;
    return report(storage_->hasSubfolders(path, found)) && found;
}

void SmcManager::resetChildren(Side side, TreeNode* node) {
    ui_.treeAboutToChange(side, node);
    TreeNode*& selected = side == Side::Card ? cardSelected_ : pcSelected_;
    if (isDescendant(selected, node)) selected = node;
    node->children.clear();
}

void SmcManager::expandCardNode(TreeNode* node) {
    if (!node || !storage_) return;
    resetChildren(Side::Card, node);
    std::vector<CardEntry> entries;
    const CardResult listed = storage_->list(cardPathOf(node), CardListing::Folders, entries);
    for (const CardEntry& entry : entries) {
        node->addChild(CardCaption(entry.name), kImageFolder, kImageFolderSelected,
                       entry.hasSubfolders);
    }
    ui_.treeChanged(Side::Card, node);
    (void)report(listed);
}

std::string SmcManager::cardPathOf(const TreeNode* node) const {
    if (!node || !node->parent) return kCardRoot;
    std::string path = node->caption;
    for (const TreeNode* p = node->parent; p->parent; p = p->parent) {
        path = p->caption + "\\" + path;
    }
    return kCardRoot + path;
}

std::string SmcManager::popFirstComponent(std::string& path) {
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

void SmcManager::revealCardPath() {
    TreeNode* node = cardRoot_.get();
    if (!node) return;
    std::string rest = cardPath_;
    (void)popFirstComponent(rest); // "vx:"
    for (;;) {
        expandCardNode(node);
        node->expanded = true;
        ui_.treeExpanded(Side::Card, node);
        if (rest.empty()) {
            selectCardNode(node);
            return;
        }
        const std::string component = popFirstComponent(rest);
        TreeNode* next = findChildNode(node, component);
        if (!next) {
            message("an error has occurred while getting folder information.");
            return;
        }
        node = next;
    }
}

void SmcManager::cardNodeExpanding(TreeNode* node) {
    expandCardNode(node);
}

void SmcManager::selectCardFolder(TreeNode* node) {
    if (!node) return;
    cardSelected_ = node;
    cardPath_ = cardPathOf(node);
    setCardPathText(LowerName(cardPath_));
    listCardFolder();
}

void SmcManager::openCardItem(int index) {
    if (index < 0 || std::size_t(index) >= cardItems_.size()) return;
    const ListItem& item = cardItems_[std::size_t(index)];
    if (item.data != kItemFolder) return;
    cardPath_ = JoinCardPath(cardPath_, item.caption);
    refreshCard();
}

// ---- The PC side ----

void SmcManager::buildPcRoot() {
    ui_.treeAboutToChange(Side::Pc, nullptr);
    pcSelected_ = nullptr;
    auto computer = std::make_unique<TreeNode>();
    computer->caption = "Computer";
    computer->image = kImagePcComputer;
    computer->selectedImage = kImagePcComputer;
    computer->hasButton = true;
    for (const std::string& root : pcRoots_) {
        computer->addChild(root, kImagePcRoot, kImagePcRoot, true)->data = root;
    }
    pcRoot_ = std::move(computer);
    ui_.treeChanged(Side::Pc, nullptr);
}

void SmcManager::listPcFolder() {
    pcItems_.clear();
    pcSelection_.clear();
    pcPathText_ = pcPath_;
    ui_.pathTextChanged(Side::Pc, pcPathText_);
    if (pcPath_.empty()) {
        for (const std::string& root : pcRoots_) {
            ListItem item;
            item.caption = root;
            item.type = "logical driver";
            item.image = kImagePcRoot;
            item.data = kItemFile;
            pcItems_.push_back(std::move(item));
        }
    } else {
        for (const auto& entry : pcEntries(pcPath_)) {
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
    ui_.listChanged(Side::Pc, pcItems_);
}

void SmcManager::expandPcNode(TreeNode* node) {
    if (!node) return;
    resetChildren(Side::Pc, node);
    const std::string path = pcPathOf(node);
    for (const auto& entry : pcEntries(path)) {
        if (!isFolder(entry)) continue;
        const std::string name = entry.path().filename().string();
        node->addChild(name, kImagePcFolder, kImagePcFolderOpen,
                       pcHasSubfolders(JoinPcPath(path, name)));
    }
    ui_.treeChanged(Side::Pc, node);
}

bool SmcManager::pcHasSubfolders(const std::string& path) const {
    std::error_code error;
    fs::directory_iterator it(path, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        if (isFolder(*it)) return true;
    }
    return false;
}

std::string SmcManager::pcPathOf(const TreeNode* node) const {
    if (!node || !node->parent) return "";
    std::string relative;
    const TreeNode* p = node;
    for (; p->parent && p->parent->parent; p = p->parent) {
        relative = relative.empty() ? p->caption : p->caption + "/" + relative;
    }
    // p is now the root node below the computer.
    return relative.empty() ? p->data : JoinPcPath(p->data, relative);
}

void SmcManager::revealPcPath() {
    TreeNode* node = pcRoot_.get();
    if (!node) return;
    node->expanded = true;
    if (pcPath_.empty()) {
        selectPcNode(node);
        return;
    }
    // The root holding the path: the longest one that is a prefix at a "/" boundary.
    TreeNode* root = nullptr;
    for (const auto& child : node->children) {
        const std::string& base = child->data;
        const bool prefix =
            pcPath_.compare(0, base.size(), base) == 0 &&
            (pcPath_.size() == base.size() || base.back() == '/' || pcPath_[base.size()] == '/');
        if (prefix && (!root || base.size() > root->data.size())) root = child.get();
    }
    if (!root) {
        message("an error has occurred while getting folder information.");
        return;
    }
    std::string rest = pcPath_.substr(root->data.size());
    node = root;
    for (;;) {
        expandPcNode(node);
        node->expanded = true;
        ui_.treeExpanded(Side::Pc, node);
        while (!rest.empty() && rest.front() == '/')
            rest.erase(0, 1);
        if (rest.empty()) {
            selectPcNode(node);
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
        if (!next) next = findChildNode(node, component);
        if (!next) {
            message("an error has occurred while getting folder information.");
            return;
        }
        node = next;
    }
}

void SmcManager::refreshPc() {
    revealPcPath();
    listPcFolder();
}

void SmcManager::pcNodeExpanding(TreeNode* node) {
    if (node && node != pcRoot_.get()) expandPcNode(node);
}

void SmcManager::selectPcFolder(TreeNode* node) {
    if (!node) return;
    pcSelected_ = node;
    pcPath_ = pcPathOf(node);
    listPcFolder();
}

void SmcManager::openPcItem(int index) {
    if (pcPath_.empty()) return;
    if (index < 0 || std::size_t(index) >= pcItems_.size()) return;
    const ListItem& item = pcItems_[std::size_t(index)];
    if (item.data != kItemFolder) return;
    pcPath_ = JoinPcPath(pcPath_, item.caption);
    refreshPc();
}
