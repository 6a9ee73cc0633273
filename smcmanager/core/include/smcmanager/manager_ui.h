// How the SMC manager core talks to its user. The core decides everything and calls this
// interface to ask questions, to report outcomes in one-button messages and to drive the
// shared progress window; a window system implements it with real dialogs, the command-line
// tool with text on a terminal, the tests with a recording fake that answers from a script.
//
// Besides the dialogs, the interface carries notifications about the plain tree and list
// models the core keeps (tree_model.h), so a window can mirror them. Every notification has
// an empty default: a user without windows implements only the dialogs and the progress.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct TreeNode;

// The shared progress window: a step text (Msg1), an animation (Avi), a per-item gauge
// (Prog1) and an overall gauge (Prog2). It has no logic; the operations set everything.
class ProgressUi {
public:
    enum class Animation { CopyFile, DeleteFile };
    enum class Control { Avi, Msg1, Prog1, Prog2 };

    virtual ~ProgressUi() = default;

    virtual void SetMsg1(const std::string& text) = 0;
    // Chooses the animation Avi plays when started.
    virtual void SetAnimation(Animation animation) = 0;
    virtual void StartAnimation() = 0;
    virtual void StopAnimation() = 0;
    virtual void SetProg1Max(std::int64_t maximum) = 0;
    virtual void SetProg1Pos(std::int64_t position) = 0;
    virtual void SetProg2Max(std::int64_t maximum) = 0;
    virtual void SetProg2Pos(std::int64_t position) = 0;
    virtual void SetVisible(Control control, bool visible) = 0;
    virtual void Show() = 0;
    virtual void Hide() = 0;
    // Paints the window now: operations run without processing window events.
    virtual void Repaint() = 0;
    // Whether the user asked to stop the running copy. Asked between files, between pieces
    // and from the machine's progress callbacks; a window may process its events here.
    virtual bool CancelRequested() { return false; }
};

// The two card sides and the two PC sides of the window, for the model notifications.
enum class Side { Smc, Pc };

// Which control had the keyboard focus when Copy or Paste was chosen.
enum class Focus { None, SmcList, SmcTree, PcList, PcTree };

// Where a drag started.
enum class DragSource { None, SmcList, SmcTree, PcList, PcTree };

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
    virtual void ShowMessage(const std::string& text) = 0;
    // An OK/Cancel question of the given kind; true only for OK.
    virtual bool AskOkCancel(const std::string& text, QuestionKind kind) = 0;
    // A one-line text question; the empty text when cancelled.
    virtual std::string AskText(const std::string& caption, const std::string& prompt,
                                const std::string& initial) = 0;
    // An open-file chooser for filter ("Vela Virtual SMC File (*.smc)|*.smc"); nothing when
    // cancelled. The file must exist.
    virtual std::optional<std::filesystem::path> ChooseOpenFile(const std::string& filter,
                                                                const std::string& extension) = 0;
    // A save-file chooser that asks before overwriting; nothing when cancelled.
    virtual std::optional<std::filesystem::path> ChooseSaveFile(const std::string& filter,
                                                                const std::string& extension) = 0;
    // The vendor and size dialog: vendors and size texts to offer, the preselected choice;
    // nothing when cancelled.
    virtual std::optional<CardChoice> ChooseCard(const std::vector<std::string>& vendors,
                                                 const std::vector<std::string>& sizes,
                                                 CardChoice preselected) = 0;
    // The shared progress window.
    virtual ProgressUi& Progress() = 0;

    // ---- Model notifications (mirroring) ----

    // The children of node (the whole tree when node is nullptr) are about to be replaced;
    // pointers to them stay valid until TreeChanged.
    virtual void TreeAboutToChange(Side, const TreeNode* /*node*/) {}
    // The children of node (the whole tree when nullptr) were rebuilt.
    virtual void TreeChanged(Side, const TreeNode* /*node*/) {}
    // A tree node was expanded on screen.
    virtual void TreeExpanded(Side, const TreeNode* /*node*/) {}
    // The selected node of a tree changed (nullptr: none).
    virtual void TreeSelectionChanged(Side, const TreeNode* /*node*/) {}
    // A list was refilled (or items were added to it).
    virtual void ListChanged(Side) {}
    // The one-line path above a list shows text.
    virtual void PathTextChanged(Side, const std::string& /*text*/) {}
    // The status bar's panel shows text.
    virtual void StatusTextChanged(const std::string& /*text*/) {}
};
