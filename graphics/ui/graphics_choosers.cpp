// SPDX-License-Identifier: MIT
// The standard dialogs behind GraphicsChoosers. File dialogs get the window's
// "description|patterns" filters as Qt name filters whose pattern part is hidden, so the
// user reads the descriptions exactly as written.
#include "graphics_ui/graphics_choosers.h"

#include <QColorDialog>
#include <QFileDialog>
#include <QMessageBox>

QStringList QtNameFilters(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        filters << parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return filters;
}

static QStringList openDialog(QWidget* owner, const QString& filter, bool multiple) {
    QFileDialog dialog(owner);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setNameFilters(QtNameFilters(filter));
    dialog.setFileMode(multiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.selectedFiles();
}

static QString saveDialog(QWidget* owner, const QString& filter, const QString& defaultExt) {
    QFileDialog dialog(owner);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters(QtNameFilters(filter));
    // The extension is given as "*.txt"; the dialog wants the bare suffix.
    QString suffix = defaultExt;
    suffix.remove(QStringLiteral("*."));
    dialog.setDefaultSuffix(suffix);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.selectedFiles().value(0);
}

static QString folderDialog(QWidget* owner, const QString& title, const QString& initialFolder) {
    return QFileDialog::getExistingDirectory(owner, title, initialFolder);
}

static bool confirmBox(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), text,
                    QMessageBox::Ok | QMessageBox::Cancel, owner);
    box.setEscapeButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

static void messageBox(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, owner);
    box.exec();
}

static QColor colourDialog(QWidget* owner, const QColor& initial) {
    return QColorDialog::getColor(initial, owner);
}

GraphicsChoosers StandardGraphicsChoosers() {
    GraphicsChoosers c;
    c.openFiles = openDialog;
    c.saveFile = saveDialog;
    c.browseForFolder = folderDialog;
    c.confirm = confirmBox;
    c.message = messageBox;
    c.chooseColor = colourDialog;
    c.now = SystemLocalTime;
    return c;
}

GraphicsChoosers CompleteGraphicsChoosers(GraphicsChoosers choosers) {
    const GraphicsChoosers standard = StandardGraphicsChoosers();
    if (!choosers.openFiles) choosers.openFiles = standard.openFiles;
    if (!choosers.saveFile) choosers.saveFile = standard.saveFile;
    if (!choosers.browseForFolder) choosers.browseForFolder = standard.browseForFolder;
    if (!choosers.confirm) choosers.confirm = standard.confirm;
    if (!choosers.message) choosers.message = standard.message;
    if (!choosers.chooseColor) choosers.chooseColor = standard.chooseColor;
    if (!choosers.now) choosers.now = standard.now;
    return choosers;
}
