// SPDX-License-Identifier: MIT
// The PC list's texts and order on top of QFileSystemModel's columns (0 name, 1 size,
// 2 type, 3 date modified).
#include "smcmanager_ui/pc_models.h"

#include <QDateTime>
#include <QFileSystemModel>

namespace {

// Names in a file manager's order: without regard to case, runs of digits by their value
// ("9" before "10"), ties broken by the plain text so the order is total.
int compareNames(const QString& a, const QString& b) {
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype endA = i, endB = j;
            while (endA < a.size() && a[endA].isDigit())
                ++endA;
            while (endB < b.size() && b[endB].isDigit())
                ++endB;
            // Leading zeros aside, a longer run is a larger number.
            QStringView x = QStringView(a).sliced(i, endA - i),
                        y = QStringView(b).sliced(j, endB - j);
            while (x.size() > 1 && x.front() == u'0')
                x = x.sliced(1);
            while (y.size() > 1 && y.front() == u'0')
                y = y.sliced(1);
            if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
            if (const int order = x.compare(y); order != 0) return order;
            i = endA;
            j = endB;
            continue;
        }
        const QChar x = a[i].toCaseFolded(), y = b[j].toCaseFolded();
        if (x != y) return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
    return a.compare(b);
}

} // namespace

PcListModel::PcListModel(QFileSystemModel* files, QObject* parent)
    : QSortFilterProxyModel(parent), files_(files) {
    setSourceModel(files);
    setDynamicSortFilter(true);
}

QString PcListModel::filePath(const QModelIndex& index) const {
    return files_->filePath(mapToSource(index));
}

bool PcListModel::isDir(const QModelIndex& index) const {
    return files_->isDir(mapToSource(index));
}

QVariant PcListModel::data(const QModelIndex& index, int role) const {
    if (role == Qt::DisplayRole && (index.column() == 1 || index.column() == 3)) {
        const QModelIndex source = mapToSource(index);
        if (index.column() == 3) return files_->lastModified(source).toString("yyyy-MM-dd hh:mm");
        if (files_->isDir(source)) return QString();
        return QString("%1KB").arg(files_->size(source) >> 10);
    }
    if (role == Qt::TextAlignmentRole && index.column() == 1)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    return QSortFilterProxyModel::data(index, role);
}

QVariant PcListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        static const char* const kTitles[] = {"Name", "Size", "Type", "Modified"};
        if (section >= 0 && section < 4) return QString(kTitles[section]);
    }
    if (orientation == Qt::Horizontal && role == Qt::TextAlignmentRole && section == 1)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    return QSortFilterProxyModel::headerData(section, orientation, role);
}

bool PcListModel::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    const bool leftDir = files_->isDir(left), rightDir = files_->isDir(right);
    // Folders stay first in both directions.
    if (leftDir != rightDir) return sortOrder() == Qt::AscendingOrder ? leftDir : rightDir;
    switch (left.column()) {
    case 1: // folders have no size of their own: they go by name
        if (!leftDir && files_->size(left) != files_->size(right))
            return files_->size(left) < files_->size(right);
        break;
    case 2: {
        const int order = files_->type(left).compare(files_->type(right), Qt::CaseInsensitive);
        if (order != 0) return order < 0;
        break;
    }
    case 3:
        if (files_->lastModified(left) != files_->lastModified(right))
            return files_->lastModified(left) < files_->lastModified(right);
        break;
    default:
        break;
    }
    return compareNames(files_->fileName(left.siblingAtColumn(0)),
                        files_->fileName(right.siblingAtColumn(0))) < 0;
}
