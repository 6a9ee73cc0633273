// SPDX-License-Identifier: MIT
// The image list as a Qt table model: it owns the rows (`ImageItem`s with their pictures)
// and shows their eleven text columns, column 0 as the row's check box. Every change goes
// through the model so that the list view hears of it.
#pragma once

#include <QAbstractTableModel>

#include "graphics/image_list.h"

class ImageListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit ImageListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The rows, for the saves.
    const ImageList& items() const { return items_; }
    // One row; `row` must exist.
    const ImageItem& item(int row) const;

    // Appends a row.
    void append(ImageItem item);
    // Deletes a row with its picture; an index out of range does nothing.
    void removeItem(int row);
    // Deletes every row.
    void clear();
    // Replaces one column's text of a row.
    void setText(int row, ImageColumn column, const std::string& text);
    // Stores a row's transparency (hidden index and "use tr.").
    void setTransparency(int row, bool use, std::uint32_t index);
    // Rewrites every row's "tr.color" in the given number base.
    void refreshTrColors(bool hexadecimal);
    // Checks every row's box.
    void checkAll();

private:
    void rowChanged(int row);

    ImageList items_;
};
