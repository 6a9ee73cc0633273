// SPDX-License-Identifier: MIT
// The card tree over a snapshot's nodes (an index's internal pointer is the node) and the
// card list over its items.
#include "smcmanager_ui/card_models.h"

#include "smcmanager_ui/card_icons.h"

#include <QString>

#include <algorithm>
#include <cstdlib>

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// The number a size column starts with ("12KB" on a card image, bytes on the machine).
long long sizeNumber(const std::string& text) {
    return std::strtoll(text.c_str(), nullptr, 10);
}

} // namespace

// ---- CardTreeModel ----

void CardTreeModel::setRoot(std::optional<CardNodeSnapshot> root) {
    beginResetModel();
    parents_.clear();
    root_ = root ? std::make_unique<CardNodeSnapshot>(std::move(*root)) : nullptr;
    if (root_) link(*root_);
    endResetModel();
}

void CardTreeModel::link(const CardNodeSnapshot& node) {
    for (const CardNodeSnapshot& child : node.children) {
        parents_.insert(&child, &node);
        link(child);
    }
}

const CardNodeSnapshot* CardTreeModel::nodeOf(const QModelIndex& index) const {
    return index.isValid() ? static_cast<const CardNodeSnapshot*>(index.internalPointer())
                           : nullptr;
}

QModelIndex CardTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0) return {};
    if (!parent.isValid()) {
        return root_ && row == 0 ? createIndex(0, 0, root_.get()) : QModelIndex();
    }
    const CardNodeSnapshot* node = nodeOf(parent);
    if (std::size_t(row) >= node->children.size()) return {};
    return createIndex(row, 0, &node->children[std::size_t(row)]);
}

QModelIndex CardTreeModel::parent(const QModelIndex& child) const {
    const CardNodeSnapshot* parent = parents_.value(nodeOf(child));
    if (!parent) return {};
    const CardNodeSnapshot* grandparent = parents_.value(parent);
    const int row = grandparent ? int(parent - grandparent->children.data()) : 0;
    return createIndex(row, 0, parent);
}

int CardTreeModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) return root_ ? 1 : 0;
    if (parent.column() != 0) return 0;
    return int(nodeOf(parent)->children.size());
}

int CardTreeModel::columnCount(const QModelIndex&) const {
    return 1;
}

bool CardTreeModel::hasChildren(const QModelIndex& parent) const {
    if (!parent.isValid()) return root_ != nullptr;
    const CardNodeSnapshot* node = nodeOf(parent);
    return !node->children.empty() || (node->hasButton && !node->expanded);
}

QVariant CardTreeModel::data(const QModelIndex& index, int role) const {
    const CardNodeSnapshot* node = nodeOf(index);
    if (!node) return {};
    switch (role) {
    case Qt::DisplayRole:
        return qs(node->caption);
    case Qt::DecorationRole:
        return CardTreeIcon(node->image, node->selectedImage);
    case kCardPathRole:
        return qs(node->path);
    default:
        return {};
    }
}

Qt::ItemFlags CardTreeModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDropEnabled;
}

QModelIndex CardTreeModel::indexOfPath(const std::string& path) const {
    QModelIndex at = index(0, 0);
    if (!at.isValid()) return {};
    for (;;) {
        const CardNodeSnapshot* node = nodeOf(at);
        if (node->path == path) return at;
        QModelIndex next;
        for (std::size_t i = 0; i < node->children.size(); ++i) {
            const std::string& childPath = node->children[i].path;
            // A child on the way has a path that the target continues with a backslash.
            if (childPath == path || (path.size() > childPath.size() &&
                                      path.compare(0, childPath.size(), childPath) == 0 &&
                                      path[childPath.size()] == '\\')) {
                next = index(int(i), 0, at);
                break;
            }
        }
        if (!next.isValid()) return {};
        at = next;
    }
}

QModelIndexList CardTreeModel::expandedIndexes() const {
    QModelIndexList out;
    std::vector<QModelIndex> pending{index(0, 0)};
    while (!pending.empty()) {
        const QModelIndex at = pending.back();
        pending.pop_back();
        if (!at.isValid()) continue;
        const CardNodeSnapshot* node = nodeOf(at);
        if (!node->expanded && node->children.empty()) continue;
        out.append(at);
        for (int row = rowCount(at) - 1; row >= 0; --row)
            pending.push_back(index(row, 0, at));
    }
    return out;
}

// ---- CardListModel ----

void CardListModel::setItems(std::vector<ListItem> items) {
    beginResetModel();
    items_ = std::move(items);
    sortItems();
    endResetModel();
}

int CardListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(items_.size());
}

int CardListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant CardListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || std::size_t(index.row()) >= items_.size()) return {};
    const ListItem& entry = items_[std::size_t(index.row())];
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case Name:
            return qs(entry.caption);
        case Size:
            return qs(entry.size);
        case Type:
            return qs(entry.type);
        case Modified:
            return qs(entry.modified);
        }
    }
    if (role == Qt::DecorationRole && index.column() == Name) return CardIcon(entry.image);
    if (role == Qt::TextAlignmentRole && index.column() == Size)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

QVariant CardListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) return {};
    if (role == Qt::TextAlignmentRole && section == Size)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole) return {};
    static const char* const kTitles[] = {"Name", "Size", "Type", "Modified"};
    return section >= 0 && section < ColumnCount ? QString(kTitles[section]) : QVariant();
}

Qt::ItemFlags CardListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::ItemIsDropEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

void CardListModel::sort(int column, Qt::SortOrder order) {
    emit layoutAboutToBeChanged();
    sortColumn_ = column;
    sortOrder_ = order;
    sortItems();
    emit layoutChanged();
}

void CardListModel::sortItems() {
    if (sortColumn_ < 0 || sortColumn_ >= ColumnCount) return;
    const int column = sortColumn_;
    const bool ascending = sortOrder_ == Qt::AscendingOrder;
    // Folders stay first in both directions, as in a file manager.
    std::stable_sort(items_.begin(), items_.end(), [&](const ListItem& a, const ListItem& b) {
        const bool aFolder = a.data == kItemFolder, bFolder = b.data == kItemFolder;
        if (aFolder != bFolder) return aFolder;
        int order = 0;
        switch (column) {
        case Name:
            order = qs(a.caption).compare(qs(b.caption), Qt::CaseInsensitive);
            break;
        case Size: {
            const long long x = sizeNumber(a.size), y = sizeNumber(b.size);
            order = x < y ? -1 : x > y ? 1 : 0;
            break;
        }
        case Type:
            order = a.type.compare(b.type);
            break;
        default:
            order = a.modified.compare(b.modified);
            break;
        }
        if (order == 0) order = qs(a.caption).compare(qs(b.caption), Qt::CaseInsensitive);
        return ascending ? order < 0 : order > 0;
    });
}
