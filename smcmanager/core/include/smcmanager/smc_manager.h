// SPDX-License-Identifier: MIT
// The SMC manager's core: the card side of the card and PC file manager and every decision
// it makes, with no window of its own. It holds the open card (a virtual SMC image or the SMC
// in a Vela machine, both behind CardStorage), browses it into a plain tree and list model,
// copies files and folders both ways, creates and deletes card folders and files, formats
// the card and writes new card images. It talks to its user only through ManagerUi.
//
// The handlers (openVirtualCard, pasteToCard, ...) are what a window calls for its menu
// items and events; the operations below them (copyToCard, copyToPc, ...) take their
// arguments explicitly and serve a tool without a window as well. The PC side is browsed by
// the window itself: it hands the core explicit PC paths, which are POSIX paths; folder
// items in copy lists end in "/".
//
// Copies move files in pieces and can be stopped by the user (ProgressUi::cancelRequested):
// between files, between pieces and through the machine's progress callbacks. The file in
// hand is then taken away wherever a part of it landed, "operation canceled." is shown once,
// and the copy ends as at a failed step. Nothing on the PC or the card is replaced without
// asking, and a replaced file gives way only once its replacement is whole.
//
// Threads: one manager is used from one thread at a time, which need not be the window's: a
// window may run every call on a worker thread and answer the ManagerUi calls through
// blocking queued calls. While a notification runs, the manager waits, so the window may copy
// the models (cardItems(), cardRoot(), ...) there. After every operation that changes a
// virtual SMC its data is on the disk.
#pragma once

#include "smcmanager/card_storage.h"
#include "smcmanager/manager_ui.h"
#include "smcmanager/tree_model.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class CardStorage;
class DeviceLink;
struct CardResult;

// What the manager has open: nothing, a card image, or the card in a machine.
enum class StorageKind { None, VirtualCard, Machine };

inline constexpr const char* kCardRoot = "vx:\\";
inline constexpr const char* kImageFilter = "Vela Virtual SMC File (*.smc)|*.smc";
inline constexpr const char* kImageExtension = "*.smc";
// Virtual key code of the Delete key.
inline constexpr int kKeyDelete = 46;

class SmcManager : private CardTransfer {
public:
    // A manager with no storage open. link is the connection to the machine (may be
    // nullptr: the machine then cannot be opened).
    SmcManager(ManagerUi& ui, std::unique_ptr<DeviceLink> link);
    // Closes the open storage.
    ~SmcManager();
    SmcManager(const SmcManager&) = delete;
    SmcManager& operator=(const SmcManager&) = delete;

    // ---- Menu commands and events ----
    // Every failure is reported to the user in a message; none returns a result.

    // Closes the open storage, asks for an image file and opens it (openImage).
    void openVirtualCard();
    // Closes the open storage, asks the user to ready the machine, and connects.
    void openMachineCard();
    // Closes the open storage and empties the card panes.
    void closeCard();
    // A machine was plugged in (told by a hot-plug watcher, on the manager's thread). With
    // no storage open, asks whether to open the SMC in it; OK runs openMachineCard.
    // Nothing while a storage is open or while this question is already being asked.
    void machineArrived();
    // Asks for a vendor, a size and a file name, closes the open storage and writes a blank
    // image there, then says where and offers to open it.
    void createVirtualCard();
    // Asks, then formats the open card (formatOpenCard).
    void formatCard();
    // Copies the PC entries (folders end in "/") into the card folder dest (the current
    // card folder when dest is empty) with the progress window up, then refreshes the card:
    // a drop on the card list or tree, or a paste there. Nothing without a card or entries.
    void pasteToCard(std::string dest, const std::vector<std::string>& list);
    // Copies the selected card items into the PC folder with the progress window up: a drop
    // of the card list's selection on the PC side.
    void copySelectionToPc(const std::string& folder);
    // Copies the card items Copy put aside (collectCardSelection) into the PC folder with the
    // progress window up; nothing when none were put aside.
    void pasteToPc(const std::string& folder);
    // Asks, then deletes the selected card items (asks even when nothing is selected).
    void deleteSelection();
    // Deletes the selected card items after asking; with nothing selected does nothing.
    void deleteListSelection();
    // Asks for a name and creates that folder in the current card folder.
    void createFolder();
    // The Delete key (kKeyDelete) on the card tree: asks, deletes the selected folder with
    // its contents and shows its parent. Refused for the card's root or no selection.
    void cardTreeKeyPressed(int key);

    // Rebuilds the node's child folders.
    void cardNodeExpanding(TreeNode* node);
    // The user selected node: it becomes the current card folder and is listed.
    void selectCardFolder(TreeNode* node);
    // Opens the card list's folder item at index; files do nothing.
    void openCardItem(int index);

    // The selected items of the card list (indexes into cardItems()), as the window reports
    // them.
    void setCardSelection(std::vector<int> indexes) { cardSelection_ = std::move(indexes); }
    // Selects a card tree node without listing it (treeSelectionChanged tells the window,
    // which must not answer with selectCardFolder).
    void selectCardNode(TreeNode* node);

    // ---- Open storage ----

    // Opens the image file as the virtual SMC (steps after the file dialog); false when it
    // could not be opened or holds no card (nothing stays open), or when an unformatted card
    // was not formatted (it stays open without panes).
    bool openImage(const std::filesystem::path& image);
    // Opens a card storage made elsewhere (vela-smc, the mount, tests); false when its
    // volume could not be read (an unformatted one is offered a format).
    bool openStorage(std::unique_ptr<CardStorage> storage, StorageKind kind);
    // Connects to the machine (steps after the prompt); false when the connect failed.
    bool connectMachine();
    // The PC folder the machine serves when it is simulated in this process, so no copy
    // takes a folder into itself; empty for a real machine.
    void setMachineFolder(std::filesystem::path folder) { machineFolder_ = std::move(folder); }
    // Closes the image file or disconnects the machine and empties the card panes and the
    // size line; no storage is open afterwards.
    void closeStorage();
    // Whether the last openImage was refused because the image is held elsewhere.
    bool imageInUse() const { return imageInUse_; }
    // The system's error number of the last failed read or write of the virtual SMC's image
    // file (0 when none failed), for a message such as "No space left on device".
    int imageError() const { return storage_ ? storage_->imageError() : 0; }
    // The card object of the open virtual SMC, nullptr when none is open.
    SmfsCard* card() const { return storage_ ? storage_->cardObject() : nullptr; }
    // The clock the virtual SMC's card stamps entries with (tests pass a fixed one).
    void setCardClock(SmfsClock clock);
    // Empties the card tree, the card list and its path line.
    void clearCardPanes();
    // Makes the card tree's root node.
    void showCardRoot();
    // Re-expands the card tree along cardPath_, lists it and shows the size line.
    void refreshCard();
    // Queries the space figures and shows the size line (cards that have one).
    void showSpace();

    // ---- Browsing ----
    // Every failure is reported in a message and stops the listing where it happened.

    // Lists cardPath_ into the card list.
    void listCardFolder();
    // Rebuilds the child folder nodes of a card tree node.
    void expandCardNode(TreeNode* node);
    // Whether the card folder has a subfolder among its first 32 names; false on failure.
    bool cardHasSubfolders(const std::string& path);
    // The card path of a card tree node ("vx:\" for the root).
    std::string cardPathOf(const TreeNode* node) const;
    // Expands the card tree along cardPath_ and selects its node.
    void revealCardPath();
    // Returns the text before the first backslash and removes it (with the backslash) from
    // path; without a backslash returns the whole path and leaves it empty.
    static std::string popFirstComponent(std::string& path);

    // ---- Copying to the card ----
    // Copies every entry (PC paths; folders end in "/") into the card folder dest; stops at
    // the first entry that fails. Names no card can hold are skipped and listed at the end;
    // an existing card file is replaced only when the user says so, an existing card folder
    // is copied into when the user says so (asked once). Returns true when every entry was
    // copied or left out by the user's choice.
    bool copyToCard(std::string dest, const std::vector<std::string>& list);
    // Bytes of the entries, folders counted with their contents; unreadable files count 0.
    std::int64_t pcBytes(const std::vector<std::string>& list);
    // Creates the PC folder on the card below dest and copies its contents; false at the
    // first step that fails.
    bool copyFolderToCard(const std::string& dest, const std::string& folder);
    // Copies one PC file into the card folder dest; false when it failed.
    bool copyFileToCard(const std::string& dest, const std::string& file);

    // ---- Copying from another card ----
    // Copies entries of another card (source paths; folders end in a backslash) with
    // everything in them into the open card's folder dest, under the rules of copyToCard:
    // names the open card cannot hold are skipped and listed at the end, an existing file is
    // replaced and an existing folder copied into only when the user says so, and the copy
    // stops at the first step that fails or at a cancel. Each file is read whole into an
    // unnamed temporary PC file, then written, so a cancel or a failed read leaves nothing of
    // it on the open card. Returns true when every entry was copied or left out by the
    // user's choice.
    bool copyFromCard(CardStorage& source, std::string dest, const std::vector<std::string>& list);

    // ---- Copying to the PC ----
    // The selected card items as card paths (folders end in a backslash).
    std::vector<std::string> selectedCardEntries() const;
    // Puts aside the selected card items (Copy) in copiedCardItems_, for a later paste; a
    // drop or a delete leaves them alone.
    void collectCardSelection();
    // Copies every card entry (folders end in a backslash) into the PC folder target; stops
    // at the first top-level file that fails. An existing PC file is replaced only when the
    // user says so; an existing PC folder is copied into. Returns true when nothing failed.
    bool copyToPc(const std::string& target, const std::vector<std::string>& list);
    // Bytes of the card entries (only scales the overall gauge; -1 per unknown file).
    std::int64_t cardBytes(const std::vector<std::string>& list);
    // Bytes of a card file; -1 when it is not found, 0 when the listing failed.
    std::int64_t cardFileSize(const std::string& path);
    // Bytes of the files below a card folder; -1 when it cannot be listed (virtual SMC).
    std::int64_t cardFolderSize(const std::string& path);
    // Copies one card file into the PC folder target under its lower-case name; false when
    // it failed (a name that is no plain PC name is refused before anything is written).
    // The file is written under a temporary name and renamed when whole.
    bool copyFileToPc(const std::string& target, const std::string& path);
    // Copies a card folder (no trailing backslash) with its contents; false when any part
    // failed (the caller goes on regardless).
    bool copyFolderToPc(const std::string& target, const std::string& folder);
    // Creates one PC folder; false when it could not be created (also when it exists).
    static bool makePcFolder(const std::string& path);

    // ---- Folders and deletion ----
    // Deletes every entry (folders end in a backslash, with their contents); false at the
    // first that fails.
    bool deleteCardItems(const std::vector<std::string>& list);
    // Deletes a card folder and everything in it; false when it failed.
    bool deleteCardFolder(const std::string& path);
    // Deletes a card file; false when it failed.
    bool deleteCardFile(const std::string& path);
    // Creates one card folder; false when it failed (also when the name exists).
    bool makeCardFolder(const std::string& path);

    // ---- Format ----
    // Formats the open card (on the machine, then makes the default folders) and shows the
    // new root; false when it failed or no storage is open.
    bool formatOpenCard();
    // Makes every later format of a virtual SMC a full one, with the surface test of every
    // block (the window always formats quickly; vela-smc format --full asks for this).
    void setFullFormat(bool full) { fullFormat_ = full; }
    // Offers to format an unformatted virtual SMC; true when it was formatted.
    bool offerFormat();

    // ---- State ----
    StorageKind storageKind() const { return storage_ ? storageKind_ : StorageKind::None; }
    // The open card; nullptr when none is open.
    CardStorage* storage() const { return storage_.get(); }
    const std::string& cardPath() const { return cardPath_; }
    void setCardPath(std::string path) { cardPath_ = std::move(path); }
    const std::string& imageName() const { return imageName_; }
    const std::vector<std::string>& copiedCardItems() const { return copiedCardItems_; }
    std::uint64_t totalSize() const { return totalBytes_; }
    std::uint64_t usedSize() const { return usedBytes_; }
    std::uint64_t freeSize() const { return freeBytes_; }
    DeviceLink* link() const { return link_.get(); }
    // Whether the last copy was stopped by the user (ProgressUi::cancelRequested).
    bool cancelled() const { return cancelled_; }
    // The names the last copy to the card left out because no card can hold them.
    const std::vector<std::string>& skippedNames() const { return skippedNames_; }
    TreeNode* cardRoot() const { return cardRoot_.get(); }
    TreeNode* selectedCardNode() const { return cardSelected_; }
    const std::vector<ListItem>& cardItems() const { return cardItems_; }
    const std::string& cardPathText() const { return cardPathText_; }
    const std::string& statusText() const { return statusText_; }

private:
    void message(const std::string& text) { ui_.showMessage(text); }
    ProgressUi& prog() { return ui_.progress(); }
    // Shows a failed card result's messages; true when it succeeded.
    bool report(const CardResult& result);
    void setCardItems(std::vector<ListItem> items);
    void setCardPathText(std::string text);
    void setStatusText(std::string text);
    void clearCardTree();
    void resetChildren(TreeNode* node);
    // Puts the virtual SMC's data on the disk at the end of an operation that changed it;
    // false (with its message) when that failed. True inside a larger operation
    // (changeDepth_ > 0) that syncs when it ends.
    bool syncImage();
    // The entries of a card folder as the copy found them before it began (listed once).
    const std::vector<CardEntry>* cardFolderEntries(const std::string& folder);
    bool fitsCard(const std::string& name);
    // Checks every entry of a copy to the card before anything is changed: each must be a
    // readable file or folder, must not hold the card itself, and must not meet an entry of
    // the other kind on the card. False (with its message) at the first that fails.
    bool checkSources(const std::string& dest, const std::vector<std::string>& list);
    // Notes a PC item a folder copy leaves out (why says how), reported when the copy ends.
    void leaveOut(const std::string& path, const char* why);
    // The state of a copy to the card, made fresh (the overall gauge scaled to totalBytes);
    // endCopyToCard lists the names left out, syncs, and tells whether all went well.
    void beginCopyToCard(std::int64_t totalBytes);
    bool endCopyToCard(bool copied);
    // Where a copy to the card puts an entry named name in the card folder dest: Copy
    // (a folder made, or an existing one the user copies into; a file, replacing one when
    // replace is set), Leave (the user keeps what is there, or no card can hold the name) or
    // Failed (reported; also a cancel).
    enum class Placement { Copy, Leave, Failed };
    Placement placeCardFolder(const std::string& dest, const std::string& name);
    Placement placeCardFile(const std::string& dest, const std::string& name, bool& replace);
    bool copyFolderFromCard(CardStorage& source, const std::string& dest, const std::string& folder,
                            int depth);
    bool copyFileFromCard(CardStorage& source, const std::string& dest, const std::string& path);
    // Asks whether to replace an existing file (text names it); false to leave it, with
    // cancelled_ set when the user cancelled the whole copy.
    bool confirmReplace(const std::string& text);
    bool copyPcFile(const std::string& pcPath, const std::string& tempPath,
                    const std::string& cardPath);
    bool stopRequested();
    bool pollCancel();
    void formatProgressBegin();
    void formatProgressEnd();
    void step(const std::string& text) override;
    bool start(std::uint64_t sizeBytes) override;
    bool piece(std::uint64_t doneBytes, std::uint32_t pieceBytes) override;

    ManagerUi& ui_;

    // The window state.
    std::string cardPath_ = kCardRoot;
    StorageKind storageKind_ = StorageKind::None;
    bool imageInUse_ = false;
    int changeDepth_ = 0;
    std::string imageName_;
    std::unique_ptr<DeviceLink> link_;
    std::filesystem::path machineFolder_;
    // Declared after the link: a machine card talks to it until the card is gone.
    std::unique_ptr<CardStorage> storage_;
    SmfsClock cardClock_ = nullptr;
    std::vector<std::string> copiedCardItems_;
    std::uint64_t totalBytes_ = 0;
    std::uint64_t usedBytes_ = 0;
    std::uint64_t freeBytes_ = 0;
    std::unique_ptr<TreeNode> cardRoot_;

    // What the controls hold.
    TreeNode* cardSelected_ = nullptr;
    std::vector<ListItem> cardItems_;
    std::vector<int> cardSelection_;
    std::string cardPathText_;
    std::string statusText_;
    std::int64_t totalProgress_ = 0;
    std::uint64_t itemBytes_ = 0; // the size of the file in hand
    // One copy's memory: the card folders as they were, the user's answers, what was left
    // out.
    std::vector<std::pair<std::string, std::vector<CardEntry>>> cardFolders_;
    bool replaceAll_ = false;
    int mergeAnswer_ = -1; // -1 not asked yet, 0 no, 1 yes
    std::vector<std::string> skippedNames_;
    std::vector<std::string> skippedReasons_;
    std::vector<std::string> leftOut_; // PC items a folder copy could not take
    // Latched by the first cancel the copy saw; every loop of the copy then stops.
    bool cancelled_ = false;
    bool fullFormat_ = false;
    bool offeringMachine_ = false; // machineArrived's question is on screen
};
