// SPDX-License-Identifier: MIT
// The dialogs the manager window shows for the core: one-button messages, OK/Cancel
// questions, the folder-name input box, the open and save file choosers, the vendor and
// size dialog, and the questions of a copy (replace a file? copy into a folder that
// exists?), the list of names a copy left out and the offer to open a new card image.
// QtManagerDialogs shows the real ones; tests put a scripted set in its place.
#pragma once

#include <smcmanager/manager_ui.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

class QWidget;

class ManagerDialogs {
public:
    virtual ~ManagerDialogs() = default;

    // A message with one OK button.
    virtual void message(QWidget* owner, const std::string& text) = 0;
    // An OK/Cancel question; true only for OK.
    virtual bool okCancel(QWidget* owner, const std::string& text,
                          ManagerUi::QuestionKind kind) = 0;
    // An input box; the empty text when cancelled.
    virtual std::string inputText(QWidget* owner, const std::string& caption,
                                  const std::string& prompt, const std::string& initial) = 0;
    // Open and save file choosers for a "Description (*.ext)|*.ext" filter.
    virtual std::optional<std::filesystem::path> openFile(QWidget* owner, const std::string& filter,
                                                          const std::string& extension) = 0;
    virtual std::optional<std::filesystem::path> saveFile(QWidget* owner, const std::string& filter,
                                                          const std::string& extension) = 0;
    // The vendor and size dialog.
    virtual std::optional<CardChoice> card(QWidget* owner, const std::vector<std::string>& vendors,
                                           const std::vector<std::string>& sizes,
                                           CardChoice preselected) = 0;
    // Whether to replace a file that exists: Yes, Yes to all, No or Cancel.
    virtual ManagerUi::ReplaceAnswer replace(QWidget* owner, const std::string& text) = 0;
    // Whether to copy into a card folder that exists; true only for Yes.
    virtual bool mergeFolder(QWidget* owner, const std::string& text) = 0;
    // The names a copy left out, one per line with its reason.
    virtual void skippedNames(QWidget* owner, const std::string& text) = 0;
    // Whether to open a card image just written; true only for Open.
    virtual bool openCreatedImage(QWidget* owner, const std::string& text) = 0;
};

class QtManagerDialogs : public ManagerDialogs {
public:
    void message(QWidget* owner, const std::string& text) override;
    bool okCancel(QWidget* owner, const std::string& text, ManagerUi::QuestionKind kind) override;
    std::string inputText(QWidget* owner, const std::string& caption, const std::string& prompt,
                          const std::string& initial) override;
    std::optional<std::filesystem::path> openFile(QWidget* owner, const std::string& filter,
                                                  const std::string& extension) override;
    std::optional<std::filesystem::path> saveFile(QWidget* owner, const std::string& filter,
                                                  const std::string& extension) override;
    std::optional<CardChoice> card(QWidget* owner, const std::vector<std::string>& vendors,
                                   const std::vector<std::string>& sizes,
                                   CardChoice preselected) override;
    ManagerUi::ReplaceAnswer replace(QWidget* owner, const std::string& text) override;
    bool mergeFolder(QWidget* owner, const std::string& text) override;
    void skippedNames(QWidget* owner, const std::string& text) override;
    bool openCreatedImage(QWidget* owner, const std::string& text) override;
};

// "Description (*.ext)|*.ext" as a Qt name filter ("Description (*.ext)").
std::string QtNameFilter(const std::string& filter);
