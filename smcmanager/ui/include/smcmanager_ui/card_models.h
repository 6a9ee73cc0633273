// SPDX-License-Identifier: MIT
// The card side's Qt models, filled from the snapshots the manager's worker sends: the
// folder tree (CardTreeModel) and the current folder's list (CardListModel, four columns
// "Name", "Size", "Type", "Modified"). Each new snapshot replaces the model's data in one
// reset; the window then restores what the view showed (expanded nodes, the current one).
#pragma once

#include "smcmanager_ui/manager_worker.h"

#include <QAbstractItemModel>
#include <QHash>

#include <memory>
#include <optional>
#include <vector>

// The role that gives a tree node's card path.
inline constexpr int kCardPathRole = Qt::UserRole + 1;

class CardTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    using QAbstractItemModel::QAbstractItemModel;

    // Shows root (nothing: an empty tree).
    void setRoot(std::optional<CardNodeSnapshot> root);
    // The index of the node with this card path (invalid: none).
    QModelIndex indexOfPath(const std::string& path) const;
    // The nodes the snapshot marks expanded, parents before children.
    QModelIndexList expandedIndexes() const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    const CardNodeSnapshot* nodeOf(const QModelIndex& index) const;
    void link(const CardNodeSnapshot& node);

    std::unique_ptr<CardNodeSnapshot> root_;
    QHash<const CardNodeSnapshot*, const CardNodeSnapshot*> parents_;
};

class CardListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Name, Size, Type, Modified, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    // Shows items, kept in the order the header asks for (the listing's order until a
    // column is sorted).
    void setItems(std::vector<ListItem> items);
    const ListItem& item(int row) const { return items_[std::size_t(row)]; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // Folders first by name; sizes by their number; the other columns by their text.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

private:
    void sortItems();

    std::vector<ListItem> items_;
    int sortColumn_ = -1;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
};
