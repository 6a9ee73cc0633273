// SPDX-License-Identifier: MIT
// The platform's file icons, shared by the main window and the manager's PC side: the icon
// provider the PC models ask for every file, folder and drive (the platform's icon theme
// and MIME database, falling back to the widget style's standard pictures). The main window
// holds one and hands it to every manager it creates.
#pragma once

#include <QFileIconProvider>

class PlatformIcons {
public:
    // The provider for QFileSystemModel::setIconProvider (whose calls are all const).
    QAbstractFileIconProvider* provider() const { return &provider_; }

private:
    mutable QFileIconProvider provider_;
};
