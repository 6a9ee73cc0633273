// SPDX-License-Identifier: MIT
// Directories and paths: card paths ("vx:\GAMES\DEMO.BIN") made full against the current
// folder and resolved into directory clusters, 8.3 names converted to and from the 11
// characters of a directory entry, the directory searches the API needs, creation and
// deletion of entries (long-name entries met on the card are deleted with their short entry)
// and the deletion of folder trees one leaf folder at a time.
//
// A directory is named by its first cluster; cluster 0 is the fixed root region. Every walk
// over a directory or a cluster chain is bounded by the volume's cluster count, so a card
// whose chains loop makes a walk fail with BrokenChain instead of running forever.
#pragma once

#include <smfs/result.h>
#include <smfs/smfs.h>

#include <cstddef>
#include <cstdint>
#include <string>

// ---- Directory entry (32 bytes) ----
inline constexpr std::size_t kDeName = 0;     // 8 + 3 characters, space-padded
inline constexpr std::size_t kDeAttr = 11;    // byte
inline constexpr std::size_t kDeTime = 22;    // le16: hour << 11 | minute << 5 | second / 2
inline constexpr std::size_t kDeDate = 24;    // le16: (year - 1980) << 9 | month << 5 | day
inline constexpr std::size_t kDeCluster = 26; // le16, first cluster
inline constexpr std::size_t kDeSize = 28;    // le32, bytes
inline constexpr std::size_t kDeBytes = 32;
inline constexpr std::size_t kNameChars = 11;

inline constexpr std::uint8_t kAttrVolume = 0x08;
inline constexpr std::uint8_t kAttrFolder = 0x10;
inline constexpr std::uint8_t kAttrArchive = 0x20;
inline constexpr std::uint8_t kAttrLongName = 0x0F; // all four low bits: a long-name entry
inline constexpr std::uint8_t kEntryFree = 0x00;    // first name byte: end of the directory
inline constexpr std::uint8_t kEntryDeleted = 0xE5; // first name byte: deleted entry

inline constexpr std::size_t kPathBufferBytes = 256; // a full path holds at most 255 characters
inline constexpr std::size_t kMaxCwdChars = 244;
inline constexpr std::size_t kMaxDriveNameChars = 10;

// Modes of dir_find.
enum DirMode : int {
    kFindName = 0,        // key.text: the entry whose 11 characters are name_to_entry(text)
    kFindCluster = 1,     // key.number: the first file entry starting at that cluster
    kFindIndex = 2,       // key.number: the i-th valid entry ("." and ".." included)
    kFindFolderIndex = 3, // key.number: the i-th sub-folder not named with a leading '.'
    kFindEnd = 4,         // the first entry whose first byte is 0
    kFindDeletedRun = 5,  // key.number: first run of that many deleted entries in one sector
    kFindPrevious = 6,    // key.number, key.offset: the entry before that position
    kFindRaw = 7,         // key.text: the entry whose 11 characters equal the 11 of text
    kFindNext = 8,        // key.number, key.offset: the entry after that position
};

struct DirKey {
    const char* text = nullptr;
    std::uint32_t number = 0;
    std::uint32_t offset = 0; // modes 6 and 8: byte offset within the cluster in number
};

// A copy of an entry and where it lies: its cluster (0 for the root region) and its byte
// offset within that cluster (within the root region for the root).
struct DirSlot {
    std::uint8_t entry[kDeBytes];
    std::uint32_t cluster;
    std::uint32_t offset;
};

// What a new entry records besides its name.
struct DirEntryRecord {
    std::uint8_t attribute;
    std::uint32_t startCluster;
    std::uint32_t size;
    SmfsDateTime time;
};

// ---- State ----

// Clears the current folder and sets the drive name to "vx" (library initialisation).
void dir_reset(CardState& card);
// The current folder ("" or a full path ending in a backslash) and setting it.
const std::string& dir_cwd(CardState& card);
void dir_set_cwd(CardState& card, const std::string& cwd);
// The drive name of paths and setting it (the caller checks the name).
const std::string& dir_drive_name(CardState& card);
void dir_set_drive_name(CardState& card, const std::string& name);
// Asked before a file's clusters are freed: true when a handle of the file starting at
// cluster is open. The API installs it; nullptr means no file is ever open.
using DirBusyCheck = bool (*)(CardState& card, std::uint32_t cluster);
void dir_set_busy_check(CardState& card, DirBusyCheck check);

// ---- Paths and names ----

// Makes a path full against the current folder into *full. AboveRoot when ".." climbs above
// the root, OutOfMemory when the result is longer than 255 characters, InvalidArgument for
// nullptr.
[[nodiscard]] SmfsResult path_make_full(CardState& card, const char* path, std::string* full);
// 0 when the full path's drive (the text before ':') is the drive name, else 1.
int path_drive(CardState& card, const std::string& full);
// The cluster of the path's target (want 0) or of the folder holding its last name (want 1);
// *isFolder (may be nullptr) tells whether the target is a folder. InvalidArgument for bad
// syntax or names and for the parent of the root, NotFound when a folder on the way is
// missing or is a file, BrokenChain.
[[nodiscard]] SmfsResult path_resolve(CardState& card, const std::string& full, int want,
                                      std::uint32_t* cluster, bool* isFolder = nullptr);
// The text after the last backslash of a full path (a trailing backslash removed).
void path_last_name(const std::string& full, std::string* name);
// How a single name fits an 8.3 entry ("." and ".." are Invalid here).
SmfsNameFit name_fit(const char* name, std::size_t length);
// True when a single name may be stored as an 8.3 entry, or is "." or ".." (what the path
// checks accept).
bool name_is_valid(const char* name, std::size_t length);
// The 11-character entry form of a name. 0, or 1 when it had to be shortened or lost dots or
// spaces on the way.
int name_to_entry(const char* name, std::uint8_t out[kNameChars]);
// "NAME.EXT" of an entry's 11 characters into out (at least 13 bytes): the padding of each part
// removed, any other space kept.
void entry_to_name(const std::uint8_t in[kNameChars], char out[13]);

// ---- Entry fields ----

std::uint16_t dir_pack_time(const SmfsDateTime& time);
std::uint16_t dir_pack_date(const SmfsDateTime& time);
inline bool dir_is_long_name(const std::uint8_t* entry) {
    return (entry[kDeAttr] & kAttrLongName) == kAttrLongName;
}

// ---- Directory operations ----

// Searches a directory (its first cluster) in one of the modes above. NotFound at the end,
// BrokenChain, InvalidArgument for another mode, Internal for a position not on an entry.
[[nodiscard]] SmfsResult dir_find(CardState& card, int mode, std::uint32_t dirCluster,
                                  const DirKey& key, DirSlot* found);
// Writes a slot's entry back to its position. Lower-layer codes.
[[nodiscard]] SmfsResult dir_write_entry(CardState& card, const DirSlot& slot);
// Writes a new entry. NameExists, InvalidArgument for a name that is no 8.3 name, RootFull,
// CardFull when a folder needs another cluster and none is free.
[[nodiscard]] SmfsResult dir_create_entry(CardState& card, std::uint32_t dirCluster,
                                          const char* name, const DirEntryRecord& record);
// Writes a new entry that takes everything but its name (attribute, cluster, size, date and
// time) from source. Same failures as dir_create_entry.
[[nodiscard]] SmfsResult dir_create_entry_from(CardState& card, std::uint32_t dirCluster,
                                               const char* name, const std::uint8_t* source);
// Names ("NAME.EXT") of the valid entries first to first + count - 1 (not deleted, not
// long-name), each in its own 16-byte slot. EndOfData with *delivered < count when the
// directory ends first.
[[nodiscard]] SmfsResult dir_list(CardState& card, std::uint32_t dirCluster, std::uint32_t first,
                                  std::uint32_t count, char* names, std::uint32_t* delivered);
// The same entries as dir_list, each as its 32 stored bytes in entries (count * kDeBytes).
[[nodiscard]] SmfsResult dir_list_entries(CardState& card, std::uint32_t dirCluster,
                                          std::uint32_t first, std::uint32_t count,
                                          std::uint8_t* entries, std::uint32_t* delivered);
// Number of valid entries of a directory.
[[nodiscard]] SmfsResult dir_count(CardState& card, std::uint32_t dirCluster, std::uint32_t* count);
// Marks an entry deleted, with the long-name entries just before it. NotFound.
[[nodiscard]] SmfsResult dir_delete_entry(CardState& card, std::uint32_t dirCluster,
                                          const char* name);
// Marks the entry at a slot deleted, with the long-name entries just before it.
[[nodiscard]] SmfsResult dir_delete_slot(CardState& card, std::uint32_t dirCluster,
                                         const DirSlot& slot);
// Deletes an entry and frees its clusters, then writes the FAT. NotFound, FileStillOpen,
// BrokenChain (the entry is gone and what could be freed is freed).
[[nodiscard]] SmfsResult dir_delete_file(CardState& card, std::uint32_t dirCluster,
                                         const char* name);
// Gives the file entry at slot the fields of record in place (its name stays, its long-name
// entries go), then frees the chain it named and writes the FAT: the folder changes in one
// sector, so the card holds the old file or the new one. FileStillOpen while a handle of the
// old file is open; lower codes until the entry is written (what could not be freed after
// is left as lost clusters).
[[nodiscard]] SmfsResult dir_replace_file(CardState& card, std::uint32_t dirCluster,
                                          const DirSlot& slot, const DirEntryRecord& record);
// Frees the chain a deleted entry named: a folder's or a non-empty file's whole chain, an
// empty file's single cluster. BrokenChain when the chain is broken or loops.
[[nodiscard]] SmfsResult dir_free_entry_chain(CardState& card, const std::uint8_t* entry);
// Ok when no file anywhere in the tree below folder is open; FileStillOpen when one is,
// BrokenChain when the tree loops or a folder's chain is broken.
[[nodiscard]] SmfsResult dir_tree_check_open(CardState& card, std::uint32_t folder);
// Deletes one leaf folder of the tree below folder (and its files). TreeDeleted once the
// folder itself is empty; Ok when more steps are needed; FileStillOpen, BrokenChain.
[[nodiscard]] SmfsResult dir_delete_tree_step(CardState& card, std::uint32_t folder);

// ---- Write groups ----
//
// A write group gathers the metadata writes of a multi-file operation: while one is open,
// the folder sectors that change are kept in memory (and read back from there) and the FAT
// is not written back; both go to the card when the group commits: every kGroupFiles files
// or kGroupBytes bytes of file data, whichever comes first, and when the outermost group
// ends. A commit writes the FAT with the clusters freed since the last commit still in use,
// then each changed folder cluster in one write, then the FAT with those clusters freed: a
// cluster is on the FAT before an entry names it and free only once no entry names it.
// File data goes to the card at once, into clusters the card's FAT shows free.

inline constexpr std::uint32_t kGroupFiles = 64;
inline constexpr std::uint64_t kGroupBytes = 4u << 20;

// Opens a group, or nests in the open one.
void dir_group_begin(CardState& card);
// Ends a group; the outermost end commits it and closes it. InvalidArgument when none is
// open, ImageIo when writes it held were dropped on the way, lower codes from the commit.
[[nodiscard]] SmfsResult dir_group_end(CardState& card);
// Writes back what the open group holds (Ok with no group). On failure the card drops what
// it held and reads the card afresh at the next call. Lower codes.
[[nodiscard]] SmfsResult dir_group_commit(CardState& card);
// Counts files written or deleted and their bytes; commits the group once they reach a
// group's worth. Lower codes from the commit.
[[nodiscard]] SmfsResult dir_group_note(CardState& card, std::uint32_t files, std::uint64_t bytes);
// Drops what the group holds (the card is read afresh); its end then reports ImageIo.
void dir_group_forget(CardState& card);
bool dir_group_open(CardState& card);

// Within its scope, folder writes go straight to the card even in an open group (a fresh
// folder's own cluster, which nothing names yet).
class DirectDirWrites {
public:
    explicit DirectDirWrites(CardState& card);
    ~DirectDirWrites();
    DirectDirWrites(const DirectDirWrites&) = delete;
    DirectDirWrites& operator=(const DirectDirWrites&) = delete;

private:
    CardState& card_;
    bool was_;
};
