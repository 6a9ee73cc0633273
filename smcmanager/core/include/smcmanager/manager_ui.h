// SPDX-License-Identifier: MIT
// How the SMC manager core talks to its user. The core decides everything and calls this
// interface to ask questions, to report outcomes in one-button messages and to drive the
// shared progress window; a window system implements it with real dialogs, the command-line
// tool with text on a terminal, the tests with a recording fake that answers from a script.
//
// Besides the dialogs, the interface carries notifications about the plain card tree and
// card list models the core keeps (tree_model.h), so a window can mirror them. Every
// notification has an empty default: a user without windows implements only the dialogs and
// the progress.
//
// The core may run on a worker thread: every call of this interface then comes from that
// thread, and a window answers a question through a blocking queued call to its own thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The question that offers to format a card without any volume when it is opened.
inline constexpr const char* kFormatOffer =
    "unformatted SMC\ndo you want to format it? files on it would be lost.";

struct ListItem;
struct TreeNode;

// The shared progress window: a step text, an animation, a gauge for the item in hand and a
// gauge for the whole operation. It has no logic; the operations set everything. The core
// may run on a worker thread: every call then comes from that thread, and cancelRequested
// must be safe to call there (an atomic the window sets).
class ProgressUi {
public:
    enum class Animation { CopyFile, DeleteFile };
    enum class Part { Animation, StepText, ItemGauge, TotalGauge };

    virtual ~ProgressUi() = default;

    virtual void setStepText(const std::string& text) = 0;
    // Chooses the animation played when started.
    virtual void setAnimation(Animation animation) = 0;
    virtual void startAnimation() = 0;
    virtual void stopAnimation() = 0;
    virtual void setItemMaximum(std::int64_t maximum) = 0;
    virtual void setItemProgress(std::int64_t position) = 0;
    virtual void setTotalMaximum(std::int64_t maximum) = 0;
    virtual void setTotalProgress(std::int64_t position) = 0;
    virtual void setPartVisible(Part part, bool visible) = 0;
    virtual void showProgress() = 0;
    virtual void hideProgress() = 0;
    // Whether the user asked to stop the running operation. Asked between files, between
    // pieces and from the machine's progress callbacks.
    virtual bool cancelRequested() { return false; }
};

// The vendor (0 Samsung, 1 Toshiba) and size index (0 to 7) chosen for a new card image.
struct CardChoice {
    int vendor = 0;
    int size = 0;
};

class ManagerUi {
public:
    enum class QuestionKind { Confirmation, Information };

    virtual ~ManagerUi() = default;

    // A message with one OK button; returns when the user dismissed it.
    virtual void showMessage(const std::string& text) = 0;
    // An OK/Cancel question of the given kind; true only for OK.
    virtual bool askOkCancel(const std::string& text, QuestionKind kind) = 0;
    // A one-line text question; the empty text when cancelled.
    virtual std::string askText(const std::string& caption, const std::string& prompt,
                                const std::string& initial) = 0;
    // An open-file chooser for filter ("Vela Virtual SMC File (*.smc)|*.smc"); nothing when
    // cancelled. The file must exist.
    virtual std::optional<std::filesystem::path> chooseOpenFile(const std::string& filter,
                                                                const std::string& extension) = 0;
    // A save-file chooser that asks before overwriting; nothing when cancelled.
    virtual std::optional<std::filesystem::path> chooseSaveFile(const std::string& filter,
                                                                const std::string& extension) = 0;
    // The vendor and size dialog: vendors and size texts to offer, the preselected choice;
    // nothing when cancelled.
    virtual std::optional<CardChoice> chooseCardType(const std::vector<std::string>& vendors,
                                                     const std::vector<std::string>& sizes,
                                                     CardChoice preselected) = 0;
    // The shared progress window.
    virtual ProgressUi& progress() = 0;

    // ---- Questions and messages with a default ----

    enum class ReplaceAnswer { Yes, YesToAll, No, Cancel };
    // A file of the name a copy is about to write exists already (text says which and
    // where): Yes replaces it, Yes to all every such file of this copy, No leaves it and goes
    // on, Cancel ends the copy. Without a window nothing is replaced.
    virtual ReplaceAnswer askReplace(const std::string& /*text*/) { return ReplaceAnswer::No; }
    // A PC folder is copied to a card folder that holds a folder of its name: true copies
    // into that folder. Asked once per copy.
    virtual bool askMergeFolder(const std::string& text) {
        return askOkCancel(text, QuestionKind::Confirmation);
    }
    // After a copy to the card: the names that were left out because no card can hold them,
    // each with its reason (one per line).
    virtual void showSkippedNames(const std::string& text) { showMessage(text); }
    // A new card image was written (text says where): true opens it.
    virtual bool askOpenCreatedImage(const std::string& text) {
        return askOkCancel(text, QuestionKind::Information);
    }

    // ---- Model notifications of the card side (mirroring) ----

    // The children of node (the whole tree when node is nullptr) are about to be replaced;
    // pointers to them stay valid until treeChanged.
    virtual void treeAboutToChange(const TreeNode* /*node*/) {}
    // The children of node (the whole tree when nullptr) were rebuilt.
    virtual void treeChanged(const TreeNode* /*node*/) {}
    // A tree node was expanded on screen.
    virtual void treeExpanded(const TreeNode* /*node*/) {}
    // The selected node of the tree changed (nullptr: none).
    virtual void treeSelectionChanged(const TreeNode* /*node*/) {}
    // The list was refilled; items is its new content.
    virtual void listChanged(const std::vector<ListItem>& /*items*/) {}
    // The one-line path above the list shows text.
    virtual void pathTextChanged(const std::string& /*text*/) {}
    // The status bar's panel shows text.
    virtual void statusTextChanged(const std::string& /*text*/) {}
};
