// SPDX-License-Identifier: MIT
// Small helpers shared by the tools: a folder chooser and an OK/Cancel confirmation. They hold no
// state.
#pragma once

#include <QString>

class QWidget;

// Lets the user choose a folder, starting at initial (the home folder when it is empty or
// missing); true with folder set when one was chosen, false (folder untouched) on cancel.
bool BrowseForFolder(QWidget* owner, const QString& title, const QString& initial, QString& folder);
// Asks text with OK and Cancel; true only for OK (Esc and the close box count as Cancel).
bool ConfirmBox(const QString& text, QWidget* owner = nullptr);
