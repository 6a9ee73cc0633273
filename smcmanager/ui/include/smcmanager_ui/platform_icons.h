// The platform's file icons, shared by the main window and the manager's PC side: the icon
// provider the PC models ask for every file, folder and drive, and the icons of the
// computer and of a file-system root. The main window holds one and hands it to every
// manager it creates.
#pragma once

#include <QFileIconProvider>
#include <QIcon>
#include <QString>

class PlatformIcons {
public:
    // The provider the PC models use (the platform's icon theme and MIME database, falling
    // back to the widget style's standard pictures).
    const QFileIconProvider& provider() const { return provider_; }
    // The platform's icon of a file or folder path.
    QIcon fileIcon(const QString& path) const;
    QIcon computerIcon() const;

private:
    QFileIconProvider provider_;
};
