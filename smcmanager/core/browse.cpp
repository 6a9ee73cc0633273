// SPDX-License-Identifier: MIT
// Browsing: the card folder list and folder tree of the open card. Card names are shown in
// lower case; the list keeps the order in which the listing delivered its entries.
#include "smcmanager/smc_manager.h"

#include "manager_text.h"

namespace {

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

void SmcManager::resetChildren(TreeNode* node) {
    ui_.treeAboutToChange(node);
    if (isDescendant(cardSelected_, node)) cardSelected_ = node;
    node->children.clear();
}

void SmcManager::expandCardNode(TreeNode* node) {
    if (!node || !storage_) return;
    resetChildren(node);
    std::vector<CardEntry> entries;
    const CardResult listed = storage_->list(cardPathOf(node), CardListing::Folders, entries);
    for (const CardEntry& entry : entries) {
        node->addChild(CardCaption(entry.name), kImageFolder, kImageFolderSelected,
                       entry.hasSubfolders);
    }
    ui_.treeChanged(node);
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
        ui_.treeExpanded(node);
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
