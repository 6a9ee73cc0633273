// Icons through QFileIconProvider, which asks the platform's icon theme and MIME database.
#include "smcmanager_ui/platform_icons.h"

#include <QFileInfo>

QIcon PlatformIcons::fileIcon(const QString& path) const {
    return provider_.icon(QFileInfo(path));
}

QIcon PlatformIcons::computerIcon() const {
    return provider_.icon(QFileIconProvider::Computer);
}
