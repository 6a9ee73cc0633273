// SPDX-License-Identifier: MIT
// The real dialogs: QMessageBox for messages and questions, QInputDialog for the folder
// name, QFileDialog for the choosers (starting in the user's home folder) and
// CardOptionsDialog. Message boxes are wide enough for their whole caption.
#include "smcmanager_ui/manager_dialogs.h"

#include "smcmanager_ui/card_options_dialog.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QInputDialog>
#include <QMessageBox>

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

std::string suffixOf(const std::string& extension) {
    const std::size_t dot = extension.rfind('.');
    return dot == std::string::npos ? extension : extension.substr(dot + 1);
}

// Widens box so the window manager has room for its whole caption: a message box sizes
// itself to its text, and a short text under the long application name cut the caption.
void fitCaption(QMessageBox& box) {
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid) return;
    const int width = box.fontMetrics().horizontalAdvance(box.windowTitle()) + 120;
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

} // namespace

std::string QtNameFilter(const std::string& filter) {
    return filter.substr(0, filter.find('|'));
}

void QtManagerDialogs::message(QWidget* owner, const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), qs(text),
                    QMessageBox::Ok, owner);
    fitCaption(box);
    box.exec();
}

bool QtManagerDialogs::okCancel(QWidget* owner, const std::string& text,
                                ManagerUi::QuestionKind kind) {
    const bool confirm = kind == ManagerUi::QuestionKind::Confirmation;
    QMessageBox box(confirm ? QMessageBox::Question : QMessageBox::Information,
                    confirm ? QObject::tr("Confirm") : QObject::tr("Information"), qs(text),
                    QMessageBox::Ok | QMessageBox::Cancel, owner);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Cancel);
    fitCaption(box);
    return box.exec() == QMessageBox::Ok;
}

std::string QtManagerDialogs::inputText(QWidget* owner, const std::string& caption,
                                        const std::string& prompt, const std::string& initial) {
    QInputDialog dialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                   Qt::WindowCloseButtonHint);
    dialog.setWindowTitle(qs(caption));
    dialog.setLabelText(qs(prompt));
    dialog.setTextValue(qs(initial));
    return dialog.exec() == QDialog::Accepted ? dialog.textValue().toStdString() : std::string();
}

std::optional<std::filesystem::path>
QtManagerDialogs::openFile(QWidget* owner, const std::string& filter, const std::string&) {
    QFileDialog dialog(owner, QObject::tr("Open"), QDir::homePath(), qs(QtNameFilter(filter)));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return std::filesystem::path(dialog.selectedFiles().first().toStdString());
}

std::optional<std::filesystem::path> QtManagerDialogs::saveFile(QWidget* owner,
                                                                const std::string& filter,
                                                                const std::string& extension) {
    QFileDialog dialog(owner, QObject::tr("Save As"), QDir::homePath(), qs(QtNameFilter(filter)));
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(qs(suffixOf(extension)));
    // The dialog asks before it overwrites an existing file (its default).
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return std::filesystem::path(dialog.selectedFiles().first().toStdString());
}

std::optional<CardChoice> QtManagerDialogs::card(QWidget* owner,
                                                 const std::vector<std::string>& vendors,
                                                 const std::vector<std::string>& sizes,
                                                 CardChoice preselected) {
    CardOptionsDialog dialog(vendors, sizes, preselected, owner);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.choice();
}

ManagerUi::ReplaceAnswer QtManagerDialogs::replace(QWidget* owner, const std::string& text) {
    QMessageBox box(
        QMessageBox::Question, QApplication::applicationDisplayName(), qs(text),
        QMessageBox::Yes | QMessageBox::YesToAll | QMessageBox::No | QMessageBox::Cancel, owner);
    // Keeping the file is the safe choice for an Enter pressed in haste.
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::Cancel);
    fitCaption(box);
    switch (box.exec()) {
    case QMessageBox::Yes:
        return ManagerUi::ReplaceAnswer::Yes;
    case QMessageBox::YesToAll:
        return ManagerUi::ReplaceAnswer::YesToAll;
    case QMessageBox::No:
        return ManagerUi::ReplaceAnswer::No;
    default:
        return ManagerUi::ReplaceAnswer::Cancel;
    }
}

bool QtManagerDialogs::mergeFolder(QWidget* owner, const std::string& text) {
    QMessageBox box(QMessageBox::Question, QApplication::applicationDisplayName(), qs(text),
                    QMessageBox::Yes | QMessageBox::No, owner);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    fitCaption(box);
    return box.exec() == QMessageBox::Yes;
}

void QtManagerDialogs::skippedNames(QWidget* owner, const std::string& text) {
    // A long list goes below the first lines, in the box's scrolling details.
    constexpr qsizetype kShownLines = 12;
    const QStringList lines = qs(text).split('\n');
    QMessageBox box(QMessageBox::Warning, QApplication::applicationDisplayName(),
                    lines.mid(0, kShownLines).join('\n'), QMessageBox::Ok, owner);
    if (lines.size() > kShownLines) {
        box.setText(box.text() + "\n...");
        box.setDetailedText(qs(text));
    }
    fitCaption(box);
    box.exec();
}

bool QtManagerDialogs::openCreatedImage(QWidget* owner, const std::string& text) {
    QMessageBox box(QMessageBox::Information, QApplication::applicationDisplayName(), qs(text),
                    QMessageBox::Open | QMessageBox::Close, owner);
    box.setDefaultButton(QMessageBox::Open);
    box.setEscapeButton(QMessageBox::Close);
    fitCaption(box);
    return box.exec() == QMessageBox::Open;
}
