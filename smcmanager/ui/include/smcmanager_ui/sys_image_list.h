// The platform's file icons and type names, shared by the main window and the manager's PC
// side. The main window holds one list of small and one of large icons and hands both to
// every manager it creates.
#pragma once

#include <QFileIconProvider>
#include <QIcon>
#include <QSize>
#include <QString>

class SysImageList {
public:
    explicit SysImageList(int pixels) : size_(pixels, pixels) {}

    QSize iconSize() const { return size_; }
    // The platform's icon of a file or folder path.
    QIcon fileIcon(const QString& path) const;
    // The platform's icons of the computer and of a file-system root.
    QIcon computerIcon() const;
    QIcon rootIcon() const;
    // The platform's type name of a file or folder (for example "Folder", "PNG image").
    QString typeName(const QString& path) const;

private:
    QSize size_;
    QFileIconProvider provider_;
};
