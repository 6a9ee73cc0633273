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
// Only one manager at a time may hold the card library's image slot: a second manager's
// open of a virtual SMC is refused while another holds it, and no manager empties a slot it
// does not hold. Not thread-safe; everything runs on the caller's thread.
#pragma once

#include "smcmanager/manager_ui.h"
#include "smcmanager/tree_model.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class DeviceLink;
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
    void VirtualSMC1Click();
    void ThroughUSBPort1Click();
    void Close1Click();
    void CreateVirtualSMC1Click();
    void Format1Click();
    void Copy1Click(Focus focus);
    void Paste1Click(Focus focus);
    void Delete1Click();
    void Delete2Click();
    void CreateFolder1Click();
    void TreeSMCKeyDown(int key);

    void TreeSMCExpanding(TreeNode* node);
    void TreeSMCChange(TreeNode* node);
    void ListSMCDblClick(int index);
    void TreePCExpanding(TreeNode* node);
    void TreePCChange(TreeNode* node);
    void ListPCDblClick(int index);
    // Whether a drag from source may be dropped on the card list or tree.
    bool SMCDragOver(DragSource source) const;
    // Whether a drag from source may be dropped on the PC list or tree.
    bool PCDragOver(DragSource source) const;
    void ListSMCDragDrop(DragSource source);
    void TreeSMCDragDrop(DragSource source, TreeNode* node);
    void ListPCDragDrop(DragSource source);
    void TreePCDragDrop(DragSource source, TreeNode* node);

    // The selected items of the two lists (indexes into SmcItems() / PcItems()), and the
    // selected nodes of the two trees, as the window reports them.
    void SetSmcSelection(std::vector<int> indexes) { smcSelection_ = std::move(indexes); }
    void SetPcSelection(std::vector<int> indexes) { pcSelection_ = std::move(indexes); }
    void SelectSmcNode(TreeNode* node);
    void SelectPcNode(TreeNode* node);

    // ---- Open storage ----

    // Opens the image file as the virtual SMC (steps after the file dialog); false when it
    // could not be opened or its volume could not be read (the storage then may stay open).
    bool OpenVirtualSmc(const std::filesystem::path& image);
    // Connects to the machine (steps after the prompt); false when the connect failed.
    bool ConnectMachine();
    void CloseStorage();
    void ClearSmcPanes();
    void ShowSmcRoot();
    void RefreshSmc();
    void ShowSizeInfo();

    // ---- Browsing ----
    void ListSmcFolder();
    void ExpandSmcNode(TreeNode* node);
    bool SmcHasSubfolders(const std::string& path);
    std::string SmcPathOf(const TreeNode* node) const;
    void RevealSmcPath();
    void BuildPcRoot();
    void ListPcFolder();
    void ExpandPcNode(TreeNode* node);
    bool PcHasSubfolders(const std::string& path) const;
    std::string PcPathOf(const TreeNode* node) const;
    void RevealPcPath();
    void RefreshPc();
    // Returns the text before the first backslash and removes it (with the backslash) from
    // path; without a backslash returns the whole path and leaves it empty.
    static std::string PopFirstComponent(std::string& path);

    // ---- Copying to the card ----
    void CollectPcSelection();
    // Copies every entry (PC paths; folders end in "/") into the card folder dest; stops at
    // the first entry that fails. Returns true when every entry was copied.
    bool PasteToSmc(std::string dest, const std::vector<std::string>& list);
    std::int64_t TotalPcBytes(const std::vector<std::string>& list);
    bool CopyFolderToSmc(const std::string& dest, const std::string& folder);
    bool CopyFileToSmc(const std::string& dest, const std::string& file);

    // ---- Copying to the PC ----
    void CollectSmcSelection();
    // Copies every card entry (folders end in a backslash) into the PC folder target; stops
    // at the first top-level file that fails. Returns true when nothing failed.
    bool CopySelectionToPc(const std::string& target, const std::vector<std::string>& list);
    std::int64_t SelectionSize(const std::vector<std::string>& list);
    std::int64_t SmcFileSize(const std::string& path);
    std::int64_t SmcFolderSize(const std::string& path);
    bool CopyFileToPc(const std::string& target, const std::string& path);
    // Copies a card folder (no trailing backslash) with its contents; false when any part
    // failed (the caller goes on regardless).
    bool CopyFolderToPc(const std::string& target, const std::string& folder);
    bool MakePcFolder(const std::string& path);

    // ---- Folders and deletion ----
    bool DeleteCardItems(const std::vector<std::string>& list);
    bool DeleteCardFolder(const std::string& path);
    bool DeleteCardFile(const std::string& path);
    bool MakeCardFolder(const std::string& path);

    // ---- Format ----
    // Formats the open card; true when it was formatted.
    bool FormatOpenCard();
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
    bool claimImageSlot();
    void releaseImageSlot();
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
    int OnFileStart(const char* name, std::uint32_t size);
    int OnPacket(std::uint32_t bytesSoFar, std::uint32_t packetBytes);

    ManagerUi& ui_;

    // The window state.
    std::string FPcPath;
    std::string FSmcPath = kSmcRoot;
    int FStorageKind = kStorageNone;
    std::FILE* FImage = nullptr; // the image installed in the card library's slot
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
};
