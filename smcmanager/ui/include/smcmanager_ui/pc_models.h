// SPDX-License-Identifier: MIT
// The PC side's list model: the platform's file system (QFileSystemModel, which reads
// folders on its own thread, asks the platform for icons and type names and notices files
// that appear) shown as the card list is, with the columns "Name", "Size" (KB), "Type" and
// "Modified" (yyyy-mm-dd hh:mm), sorted like a file manager: folders first, names without
// regard to case and with numbers in number order.
#pragma once

#include <QSortFilterProxyModel>

class QFileSystemModel;

class PcListModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    // A list over files (which this model does not own).
    explicit PcListModel(QFileSystemModel* files, QObject* parent = nullptr);

    QFileSystemModel* files() const { return files_; }
    // The file or folder path of a row.
    QString filePath(const QModelIndex& index) const;
    bool isDir(const QModelIndex& index) const;

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    QFileSystemModel* files_;
};
