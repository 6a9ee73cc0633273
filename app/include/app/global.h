// Small helpers shared by the tools: a lookup among a tree node's children, a folder
// chooser and an OK/Cancel confirmation. They hold no state.
#pragma once

#include <QString>

class QTreeWidgetItem;
class QWidget;

// The first direct child of node whose text (column 0) equals text without regard to case,
// or nullptr; grandchildren are not searched.
QTreeWidgetItem* FindTreeNode(QTreeWidgetItem* node, const QString& text);
// Lets the user choose a folder, starting at initial (the home folder when it is empty or
// missing); true with folder set when one was chosen, false (folder untouched) on cancel.
bool BrowseForFolder(QWidget* owner, const QString& title, const QString& initial, QString& folder);
// Asks text with OK and Cancel; true only for OK (Esc and the close box count as Cancel).
bool ConfirmBox(const QString& text, QWidget* owner = nullptr);
