// SPDX-License-Identifier: MIT
// The image list model: rows are the core's ImageItems; the model only maps them to Qt's
// roles and announces every change.
#include "graphics_ui/image_list_model.h"

ImageListModel::ImageListModel(QObject* parent) : QAbstractTableModel(parent) {}

int ImageListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(items_.size());
}

int ImageListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(kImageColumnCount);
}

QVariant ImageListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const ImageItem& row = items_[static_cast<std::size_t>(index.row())];
    if (index.column() == kColCheck) {
        if (role == Qt::CheckStateRole) return row.checked ? Qt::Checked : Qt::Unchecked;
        return {};
    }
    if (role == Qt::DisplayRole)
        return QString::fromStdString(row.text[static_cast<std::size_t>(index.column())]);
    return {};
}

bool ImageListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.column() != kColCheck || role != Qt::CheckStateRole) return false;
    items_[static_cast<std::size_t>(index.row())].checked =
        value.value<Qt::CheckState>() == Qt::Checked;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    return true;
}

Qt::ItemFlags ImageListModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == kColCheck) f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant ImageListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= static_cast<int>(kImageColumnCount))
        return {};
    return QString::fromLatin1(kImageColumnCaptions[static_cast<std::size_t>(section)]);
}

const ImageItem& ImageListModel::item(int row) const {
    return items_.at(static_cast<std::size_t>(row));
}

void ImageListModel::append(ImageItem item) {
    const int row = rowCount();
    beginInsertRows({}, row, row);
    items_.push_back(std::move(item));
    endInsertRows();
}

void ImageListModel::removeItem(int row) {
    if (row < 0 || row >= rowCount()) return;
    beginRemoveRows({}, row, row);
    items_.erase(items_.begin() + row);
    endRemoveRows();
}

void ImageListModel::clear() {
    if (items_.empty()) return;
    beginRemoveRows({}, 0, rowCount() - 1);
    items_.clear();
    endRemoveRows();
}

void ImageListModel::setText(int row, ImageColumn column, const std::string& text) {
    if (row < 0 || row >= rowCount()) return;
    items_[static_cast<std::size_t>(row)].text[column] = text;
    emit dataChanged(index(row, column), index(row, column), {Qt::DisplayRole});
}

void ImageListModel::setTransparency(int row, bool use, std::uint32_t index) {
    if (row < 0 || row >= rowCount()) return;
    SetTransparency(items_[static_cast<std::size_t>(row)], use, index);
    rowChanged(row);
}

void ImageListModel::refreshTrColors(bool hexadecimal) {
    RefreshTrColors(items_, hexadecimal);
    if (!items_.empty())
        emit dataChanged(index(0, kColTrColor), index(rowCount() - 1, kColTrColor),
                         {Qt::DisplayRole});
}

void ImageListModel::checkAll() {
    for (ImageItem& row : items_)
        row.checked = true;
    if (!items_.empty())
        emit dataChanged(index(0, kColCheck), index(rowCount() - 1, kColCheck),
                         {Qt::CheckStateRole});
}

void ImageListModel::rowChanged(int row) {
    emit dataChanged(index(row, 0), index(row, kImageColumnCount - 1));
}
