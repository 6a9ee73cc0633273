// SPDX-License-Identifier: MIT
// The dialogs the graphics window asks its questions through: file choosers, the folder
// chooser, the OK/Cancel confirmation, the plain message and the colour dialog, plus the
// clock the text exports stamp. The window holds them as replaceable functions, so a test
// can answer for the user; StandardGraphicsChoosers() gives the real dialogs.
#pragma once

#include <QColor>
#include <QString>
#include <QStringList>
#include <functional>

#include "graphics/text_export.h"

class QWidget;

struct GraphicsChoosers {
    // An open dialog with `filter` ("description|patterns|description|patterns..."); the
    // chosen paths in the dialog's order, none when the user cancelled.
    std::function<QStringList(QWidget* owner, const QString& filter, bool multiple)> openFiles;
    // A save dialog with an overwrite prompt; the chosen path, empty when cancelled.
    std::function<QString(QWidget* owner, const QString& filter, const QString& defaultExt)>
        saveFile;
    // A folder chooser with a title, opened at `initialFolder`; empty when cancelled.
    std::function<QString(QWidget* owner, const QString& title, const QString& initialFolder)>
        browseForFolder;
    // An OK/Cancel question; true for OK.
    std::function<bool(QWidget* owner, const QString& text)> confirm;
    // A one-button message.
    std::function<void(QWidget* owner, const QString& text)> message;
    // A colour dialog opened at `initial`; an invalid colour when cancelled.
    std::function<QColor(QWidget* owner, const QColor& initial)> chooseColor;
    // The local time the image text files are stamped with.
    std::function<LocalTime()> now;
};

// The real dialogs and the system clock.
GraphicsChoosers StandardGraphicsChoosers();

// `choosers` with every empty member taken from StandardGraphicsChoosers().
GraphicsChoosers CompleteGraphicsChoosers(GraphicsChoosers choosers);

// Turns a "description|patterns|..." filter into the name filters of a Qt file dialog.
QStringList QtNameFilters(const QString& filter);
