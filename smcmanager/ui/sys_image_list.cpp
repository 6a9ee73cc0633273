// Icons and type names through QFileIconProvider, which asks the platform's icon theme and
// MIME database and falls back to the widget style's standard pictures.
#include "smcmanager_ui/sys_image_list.h"

#include <QFileInfo>

QIcon SysImageList::fileIcon(const QString& path) const {
    return provider_.icon(QFileInfo(path));
}

QIcon SysImageList::computerIcon() const {
    return provider_.icon(QFileIconProvider::Computer);
}

QIcon SysImageList::rootIcon() const {
    return provider_.icon(QFileIconProvider::Drive);
}

QString SysImageList::typeName(const QString& path) const {
    return provider_.type(QFileInfo(path));
}
