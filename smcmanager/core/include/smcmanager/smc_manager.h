// The SMC manager's core: the window state of the two-pane card and PC file manager and
// every decision it makes, with no window of its own. It holds the open storage (none, a
// virtual SMC image served by the card library, or the SMC in a Vela machine reached through
// the device link), browses both sides into plain tree and list models, copies files and
// folders both ways, creates and deletes card folders and files, formats the card and writes
// new card images. It talks to its user only through ManagerUi.
//
// The backend rule: every card operation looks at FStorageKind alone; 1 runs the card
// library on the image in its (process-wide) image slot with card paths "vx:\...", 2 runs
// the device link, 0 does nothing. Results of the two backends become the user's messages
// here and nowhere else.
//
// Handlers named after the window's controls (VirtualSMC1Click, ListSMCDragDrop, ...) are
// what a window calls for its menu items and events; the operations below them
// (PasteToSmc, CopySelectionToPc, ...) take their arguments explicitly and serve a tool
// without a window as well. On the PC side paths are POSIX paths: the computer node holds
// the file-system roots ("/" and the user's home folder), FPcPath is empty when the computer
// itself is selected, and folder items in copy lists end in "/".
//
// Copies can be stopped by the user (ProgressUi::CancelRequested): between files, between
// the 1 MiB pieces of a virtual SMC and through the machine's progress callbacks. The file
// in hand is then taken away wherever a part of it landed, "operation canceled." is shown
// once, and the copy ends as at a failed step.
//
// Only one manager at a time may hold the card library's image slot: a second manager's
// open of a virtual SMC is refused while another holds it, and no manager empties a slot it
// does not hold. The image file is held under an exclusive advisory lock while it is open,
// so an image another program (or another open) holds is refused too; after every operation
// that changes a virtual SMC (paste, delete, new folder, format) its data is on the disk. Not
// thread-safe; everything runs on the caller's thread.
#pragma once

#include "smcmanager/manager_ui.h"
#include "smcmanager/tree_model.h"

#include <common/image_file.h>
#include <smfs/smfs.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class DeviceLink;
enum class LinkResult : int;
struct LinkEntry;

// The storage kinds of FStorageKind.
inline constexpr int kStorageNone = 0;
inline constexpr int kStorageVirtual = 1;
inline constexpr int kStorageMachine = 2;

inline constexpr const char* kSmcRoot = "vx:\\";
inline constexpr const char* kSmcFilter = "Vela Virtual SMC File (*.smc)|*.smc";
inline constexpr const char* kSmcExtension = "*.smc";
// Virtual key code of the Delete key.
inline constexpr int kKeyDelete = 46;
// Bytes per piece written to or read from a virtual SMC.
inline constexpr std::uint32_t kPieceBytes = 1048576;

class SmcManager {
public:
    // A manager with no storage open and the PC side at the computer node. link is the
    // connection to the machine (may be nullptr: the machine then cannot be opened).
    SmcManager(ManagerUi& ui, std::unique_ptr<DeviceLink> link);
    // Closes the open storage.
    ~SmcManager();
    SmcManager(const SmcManager&) = delete;
    SmcManager& operator=(const SmcManager&) = delete;

    // ---- Menu commands and events ----
    // Every failure is reported to the user in a message; none returns a result.

    // Closes the open storage, asks for an image file and opens it (OpenVirtualSmc).
    void VirtualSMC1Click();
    // Closes the open storage, asks the user to ready the machine, and connects.
    void ThroughUSBPort1Click();
    // Closes the open storage and empties the card panes.
    void Close1Click();
    // A machine was plugged in (told by a hot-plug watcher, on the manager's thread). With
    // no storage open, asks whether to open the SMC in it; OK runs ThroughUSBPort1Click.
    // Nothing while a storage is open or while this question is already being asked.
    void MachineArrived();
    // Asks for a vendor, a size and a file name, closes the open storage and writes a blank
    // image there (not opened).
    void CreateVirtualSMC1Click();
    // Asks, then formats the open card (FormatOpenCard).
    void Format1Click();
    // Puts aside the selected items of the focused list (card list: FSmcList, PC list:
    // FCopyList); an empty PC selection keeps the earlier FCopyList.
    void Copy1Click(Focus focus);
    // Pastes what Copy put aside into the focused list's folder (card list: FCopyList,
    // PC list: FSmcList).
    void Paste1Click(Focus focus);
    // Asks, then deletes the selected card items (asks even when nothing is selected).
    void Delete1Click();
    // Deletes the selected card items after asking; with nothing selected does nothing.
    void Delete2Click();
    // Asks for a name and creates that folder in the current card folder.
    void CreateFolder1Click();
    // The Delete key (kKeyDelete) on the card tree: asks, deletes the selected folder with
    // its contents and shows its parent. Refused for the card's root or no selection.
    void TreeSMCKeyDown(int key);

    // Rebuilds the node's child folders.
    void TreeSMCExpanding(TreeNode* node);
    // The user selected node: it becomes the current card folder and is listed.
    void TreeSMCChange(TreeNode* node);
    // Opens the card list's folder item at index; files do nothing.
    void ListSMCDblClick(int index);
    // Rebuilds the node's child folders (not for the computer node).
    void TreePCExpanding(TreeNode* node);
    // The user selected node: it becomes the current PC folder and is listed.
    void TreePCChange(TreeNode* node);
    // Opens the PC list's folder item at index; nothing while the roots are listed.
    void ListPCDblClick(int index);
    // Whether a drag from source may be dropped on the card list or tree.
    bool SMCDragOver(DragSource source) const;
    // Whether a drag from source may be dropped on the PC list or tree.
    bool PCDragOver(DragSource source) const;
    // Copies the selected PC items into the current card folder, then refreshes the card.
    void ListSMCDragDrop(DragSource source);
    // Copies the selected PC items into node's card folder, then refreshes the card.
    void TreeSMCDragDrop(DragSource source, TreeNode* node);
    // Copies the selected card items into the current PC folder, then refreshes the PC.
    void ListPCDragDrop(DragSource source);
    // Copies the selected card items into node's PC folder (not the computer node).
    void TreePCDragDrop(DragSource source, TreeNode* node);

    // The selected items of the two lists (indexes into SmcItems() / PcItems()), as the
    // window reports them.
    void SetSmcSelection(std::vector<int> indexes) { smcSelection_ = std::move(indexes); }
    void SetPcSelection(std::vector<int> indexes) { pcSelection_ = std::move(indexes); }
    // Selects a tree node without listing it (TreeSelectionChanged tells the window, which
    // must not answer with TreeSMCChange / TreePCChange).
    void SelectSmcNode(TreeNode* node);
    void SelectPcNode(TreeNode* node);

    // ---- Open storage ----

    // Opens the image file as the virtual SMC (steps after the file dialog); false when it
    // could not be opened or its volume could not be read (the storage then may stay open).
    bool OpenVirtualSmc(const std::filesystem::path& image);
    // Connects to the machine (steps after the prompt); false when the connect failed.
    bool ConnectMachine();
    // Closes the image file or disconnects the machine; no storage is open afterwards.
    void CloseStorage();
    // Whether the last OpenVirtualSmc was refused because the image is held elsewhere.
    bool imageInUse() const { return imageInUse_; }
    // The system's error number of the last failed read or write of the virtual SMC's image
    // file (0 when none failed), for a message such as "No space left on device".
    int imageError() const { return FImage.lastError(); }
    // The card of the open virtual SMC, nullptr when none is open.
    SmfsCard* card() const { return card_.get(); }
    // The clock the virtual SMC's card stamps entries with (tests pass a fixed one).
    void setCardClock(SmfsClock clock);
    // Empties the card tree, the card list and its path line.
    void ClearSmcPanes();
    // Makes the card tree's root node.
    void ShowSmcRoot();
    // Re-expands the card tree along FSmcPath, lists it and shows the size line.
    void RefreshSmc();
    // Virtual SMC only: queries the space figures and shows the size line.
    void ShowSizeInfo();

    // ---- Browsing ----
    // Every failure is reported in a message and stops the listing where it happened.

    // Lists FSmcPath into the card list.
    void ListSmcFolder();
    // Rebuilds the child folder nodes of a card tree node.
    void ExpandSmcNode(TreeNode* node);
    // Whether the card folder has a subfolder among its first 32 names; false on failure.
    bool SmcHasSubfolders(const std::string& path);
    // The card path of a card tree node ("vx:\" for the root).
    std::string SmcPathOf(const TreeNode* node) const;
    // Expands the card tree along FSmcPath and selects its node.
    void RevealSmcPath();
    // Fills the PC tree with the computer and its roots.
    void BuildPcRoot();
    // Lists FPcPath (the roots when it is empty) into the PC list.
    void ListPcFolder();
    // Rebuilds the child folder nodes of a PC root or folder node.
    void ExpandPcNode(TreeNode* node);
    // Whether the PC folder has a subfolder; false when it cannot be read.
    bool PcHasSubfolders(const std::string& path) const;
    // The PC path of a PC tree node (empty for the computer).
    std::string PcPathOf(const TreeNode* node) const;
    // Expands the PC tree along FPcPath and selects its node.
    void RevealPcPath();
    // RevealPcPath, then ListPcFolder.
    void RefreshPc();
    // Returns the text before the first backslash and removes it (with the backslash) from
    // path; without a backslash returns the whole path and leaves it empty.
    static std::string PopFirstComponent(std::string& path);

    // ---- Copying to the card ----
    // Fills FCopyList with the selected PC items (folders end in "/"); with nothing
    // selected, keeps it.
    void CollectPcSelection();
    // Copies every entry (PC paths; folders end in "/") into the card folder dest; stops at
    // the first entry that fails. Returns true when every entry was copied.
    bool PasteToSmc(std::string dest, const std::vector<std::string>& list);
    // Bytes of the entries, folders counted with their contents; unreadable files count 0.
    std::int64_t TotalPcBytes(const std::vector<std::string>& list);
    // Creates the PC folder on the card below dest and copies its contents; false at the
    // first step that fails.
    bool CopyFolderToSmc(const std::string& dest, const std::string& folder);
    // Copies one PC file into the card folder dest; false when it failed.
    bool CopyFileToSmc(const std::string& dest, const std::string& file);

    // ---- Copying to the PC ----
    // Fills FSmcList with the selected card items (folders end in a backslash).
    void CollectSmcSelection();
    // Copies every card entry (folders end in a backslash) into the PC folder target; stops
    // at the first top-level file that fails. Returns true when nothing failed.
    bool CopySelectionToPc(const std::string& target, const std::vector<std::string>& list);
    // Bytes of the card entries (only scales the overall gauge; -1 per unknown file).
    std::int64_t SelectionSize(const std::vector<std::string>& list);
    // Bytes of a card file; -1 when it is not found, 0 when the listing failed.
    std::int64_t SmcFileSize(const std::string& path);
    // Bytes of the files below a card folder; -1 when it cannot be listed (virtual SMC).
    std::int64_t SmcFolderSize(const std::string& path);
    // Copies one card file into the PC folder target under its lower-case name; false when
    // it failed (a name that is no plain PC name is refused before anything is written).
    bool CopyFileToPc(const std::string& target, const std::string& path);
    // Copies a card folder (no trailing backslash) with its contents; false when any part
    // failed (the caller goes on regardless).
    bool CopyFolderToPc(const std::string& target, const std::string& folder);
    // Creates one PC folder; false when it could not be created (also when it exists).
    bool MakePcFolder(const std::string& path);

    // ---- Folders and deletion ----
    // Deletes every entry (folders end in a backslash, with their contents); false at the
    // first that fails.
    bool DeleteCardItems(const std::vector<std::string>& list);
    // Deletes a card folder and everything in it; false when it failed.
    bool DeleteCardFolder(const std::string& path);
    // Deletes a card file; false when it failed.
    bool DeleteCardFile(const std::string& path);
    // Creates one card folder; false when it failed (also when the name exists).
    bool MakeCardFolder(const std::string& path);

    // ---- Format ----
    // Formats the open card (on the machine, then makes the default folders) and shows the
    // new root; false when it failed or no storage is open.
    bool FormatOpenCard();
    // Makes every later format of a virtual SMC a full one, with the surface test of every
    // block (the window always formats quickly; vela-smc format --full asks for this).
    void SetFullFormat(bool full) { fullFormat_ = full; }
    // Offers to format an unformatted virtual SMC; true when it was formatted.
    bool OfferFormat();

    // ---- State ----
    int storageKind() const { return FStorageKind; }
    const std::string& smcPath() const { return FSmcPath; }
    const std::string& pcPath() const { return FPcPath; }
    void setSmcPath(std::string path) { FSmcPath = std::move(path); }
    void setPcPath(std::string path) { FPcPath = std::move(path); }
    const std::string& imageName() const { return FImageName; }
    const std::vector<std::string>& copyList() const { return FCopyList; }
    const std::vector<std::string>& smcList() const { return FSmcList; }
    std::uint64_t totalSize() const { return FTotalSize; }
    std::uint64_t usedSize() const { return FUsedSize; }
    std::uint64_t freeSize() const { return FFreeSize; }
    DeviceLink* link() const { return FLink.get(); }
    // Whether the last copy was stopped by the user (ProgressUi::CancelRequested).
    bool cancelled() const { return cancelled_; }
    TreeNode* smcRoot() const { return FSmcRoot.get(); }
    TreeNode* pcRoot() const { return FPcRoot.get(); }
    TreeNode* selectedSmcNode() const { return smcSelected_; }
    TreeNode* selectedPcNode() const { return pcSelected_; }
    const std::vector<ListItem>& SmcItems() const { return smcItems_; }
    const std::vector<ListItem>& PcItems() const { return pcItems_; }
    const std::string& smcPathText() const { return smcPathText_; }
    const std::string& pcPathText() const { return pcPathText_; }
    const std::string& statusText() const { return statusText_; }
    // The roots the computer node lists (by default "/" and the home folder).
    void setPcRoots(std::vector<std::string> roots);

private:
    void message(const std::string& text) { ui_.ShowMessage(text); }
    ProgressUi& prog() { return ui_.Progress(); }
    void setSmcItems(std::vector<ListItem> items);
    void addSmcItem(ListItem item);
    void setSmcPathText(std::string text);
    void clearSmcTree();
    void resetChildren(Side side, TreeNode* node);
    // Puts the virtual SMC's data on the disk at the end of an operation that changed it;
    // false (with its message) when that failed. True for the machine, and inside a larger
    // operation (changeDepth_ > 0) that syncs when it ends.
    bool syncImage();
    bool listVirtual(const std::string& folder, std::vector<std::string>& names,
                     const char* failure);
    ListItem linkItem(const LinkEntry& entry) const;
    bool writeToVirtual(const std::string& cardPath, const std::vector<std::uint8_t>& data);
    bool writeToMachine(const std::string& dest, const std::string& name,
                        const std::vector<std::uint8_t>& data);
    bool readCardFile(const std::string& path, const std::string& name,
                      std::vector<std::uint8_t>& data);
    std::int64_t machineFolderSize(const std::string& path);
    bool formatMachine();
    void formatProgressBegin();
    void formatProgressEnd();
    bool stopRequested();
    bool pollCancel();
    LinkResult OnFileStart(const char* name, std::uint32_t size);
    LinkResult OnPacket(std::uint32_t bytesSoFar, std::uint32_t total, std::uint32_t packetBytes);

    ManagerUi& ui_;

    // The window state.
    std::string FPcPath;
    std::string FSmcPath = kSmcRoot;
    int FStorageKind = kStorageNone;
    ImageFile FImage;                // the open virtual SMC's locked image file
    std::unique_ptr<SmfsCard> card_; // the card on FImage while a virtual SMC is open
    SmfsClock cardClock_ = nullptr;
    bool imageInUse_ = false;
    int changeDepth_ = 0;
    std::string FImageName;
    std::unique_ptr<DeviceLink> FLink;
    std::vector<std::string> FCopyList;
    std::vector<std::string> FSmcList;
    std::uint64_t FTotalSize = 0;
    std::uint64_t FUsedSize = 0;
    std::uint64_t FFreeSize = 0;
    std::unique_ptr<TreeNode> FSmcRoot;
    std::unique_ptr<TreeNode> FPcRoot;

    // What the controls hold.
    TreeNode* smcSelected_ = nullptr;
    TreeNode* pcSelected_ = nullptr;
    std::vector<ListItem> smcItems_;
    std::vector<ListItem> pcItems_;
    std::vector<int> smcSelection_;
    std::vector<int> pcSelection_;
    std::string smcPathText_;
    std::string pcPathText_;
    std::string statusText_;
    std::vector<std::string> pcRoots_;
    std::int64_t prog2Position_ = 0;
    // Latched by the first cancel the copy saw; every loop of the copy then stops.
    bool cancelled_ = false;
    bool fullFormat_ = false;
    bool offeringMachine_ = false; // MachineArrived's question is on screen
};
