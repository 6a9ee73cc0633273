// SPDX-License-Identifier: MIT
// The common helpers on Qt: QFileDialog and QMessageBox.
#include "app/global.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

bool BrowseForFolder(QWidget* owner, const QString& title, const QString& initial,
                     QString& folder) {
    const QString start = !initial.isEmpty() && QDir(initial).exists() ? initial : QDir::homePath();
    const QString chosen =
        QFileDialog::getExistingDirectory(owner, title, start, QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty()) return false;
    folder = chosen;
    return true;
}

bool ConfirmBox(const QString& text, QWidget* owner) {
    QMessageBox box(QMessageBox::Question, QObject::tr("Confirm"), text,
                    QMessageBox::Ok | QMessageBox::Cancel, owner);
    box.setEscapeButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}
