// SPDX-License-Identifier: MIT
// The public interface of the card library: one virtual SmartMedia card, an SmfsCard object
// over the storage that holds its image, served as a FAT file system through card paths
// such as "vx:\GAMES\DEMO.BIN".
//
// The caller makes a storage (the locked image file, or memory), makes a card on it and then
// calls its members; the volume is mounted by the first call that needs it. Every call
// returns a SmfsResult; none throws. Files are reached through handles from create or open:
// bits 24 to 30 are 0, bits 16 to 23 hold the open index (0 to 9) and bits 0 to 15 the
// file's first cluster. At most ten handles are open at once. Data written through a handle
// is on the storage when write returns; the file's entry and the FAT reach it at close.
// Folder and delete calls write the FAT before they return unless FAT writes are deferred.
// A storage call that fails makes the operation return ImageIo; the card then forgets what
// it had read, so the next call reads the card afresh from the storage.
//
// A card keeps every piece of its state in its own object and shares nothing with another
// card: two cards on two storages may be used at once from two threads. One card is used
// from one thread at a time.
#pragma once

#include <smfs/result.h>
#include <smfs/storage.h>
#include <smfs/tools.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

using SmfsHandle = std::uint32_t;

// Bytes of one name slot of list: "NAME.EXT" and a terminating zero.
inline constexpr std::size_t kSmfsNameSlotBytes = 16;
inline constexpr int kSmfsMaxOpenFiles = 10;

// Open modes of open (bit 0 read, bit 1 write).
inline constexpr int kSmfsRead = 1;
inline constexpr int kSmfsWrite = 2;
inline constexpr int kSmfsReadWrite = 3;

// Seek origins of seek.
inline constexpr int kSmfsSeekCurrent = 0;
inline constexpr int kSmfsSeekStart = 1;
inline constexpr int kSmfsSeekEnd = 2;

// Directory entry attributes.
inline constexpr std::uint32_t kSmfsAttrReadOnly = 0x01;
inline constexpr std::uint32_t kSmfsAttrHidden = 0x02;
inline constexpr std::uint32_t kSmfsAttrSystem = 0x04;
inline constexpr std::uint32_t kSmfsAttrVolume = 0x08;
inline constexpr std::uint32_t kSmfsAttrFolder = 0x10;
inline constexpr std::uint32_t kSmfsAttrArchive = 0x20;

// Date and time as the clock reports them and as entries store them.
struct SmfsDateTime {
    std::uint16_t year; // for example 2026
    std::uint8_t month; // 1 to 12
    std::uint8_t day;   // 1 to 31
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t second;
};

// Information about one directory entry (info).
struct SmfsEntryInfo {
    std::uint32_t attribute;
    std::uint32_t firstCluster;
    std::uint32_t size;
    std::uint16_t year; // the stored date field + 1980
    std::uint8_t month;
    std::uint8_t day;
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t seconds2; // seconds divided by two, as stored
    std::uint8_t zero;
};

// The library's version (version).
struct SmfsVersion {
    char text[40]; // "SmartMedia File System v2.22"
    std::int32_t major;
    std::int32_t minor;
};

// The clock a card stamps entries with and seeds its block allocator from.
using SmfsClock = SmfsDateTime (*)();
// The PC's local time.
SmfsDateTime smfs_local_time();

// How a single name fits an 8.3 entry: Fits; TooLong when its name part passes 8 characters
// or its extension 3; Invalid when it is empty, starts with a dot, has a second dot or holds
// a character a card name cannot hold. Paths accept only names that fit.
enum class SmfsNameFit { Fits, TooLong, Invalid };
SmfsNameFit smfs_name_fit(const char* name);

// What the chip has done since its counters were last reset: page reads (read commands
// with an address), page programs and block erases (confirmed, whatever their status).
struct ChipCounters {
    std::uint64_t pageReads = 0;
    std::uint64_t pagePrograms = 0;
    std::uint64_t blockErases = 0;
};

// Called when the card is inserted (event 0) or removed (event 1).
using SmfsCardEventCallback = std::function<void()>;

// Every layer's state of one card (defined inside the library).
struct CardState;

class SmfsCard {
public:
    // A card on storage, which must outlive it. clock (nullptr: the PC's local time) stamps
    // entries; an injected clock also seeds the block allocator, so that runs repeat, where
    // on the PC's time it starts at a random block. Reads nothing until the first call.
    explicit SmfsCard(SmfsStorage& storage, SmfsClock clock = nullptr);
    ~SmfsCard();
    SmfsCard(const SmfsCard&) = delete;
    SmfsCard& operator=(const SmfsCard&) = delete;

    SmfsStorage& storage() const;

    // ---- Set-up ----

    // Starts again from scratch: forgets open handles, the current folder and everything read
    // from the card, and sets the drive name to "vx". Always Ok.
    [[nodiscard]] SmfsResult reset();
    // Replaces the clock (tests inject a fixed one); nullptr restores the PC's local time.
    void setClock(SmfsClock clock);
    // Registers (an empty callback unregisters) the card-inserted (event 0) or card-removed
    // (event 1) callback. InvalidArgument for another event.
    [[nodiscard]] SmfsResult registerCallback(int event, SmfsCardEventCallback callback);
    // Sets the drive name used in paths ("vx" by default). InvalidArgument when empty, longer
    // than 10 characters or holding ':' or '\'.
    [[nodiscard]] SmfsResult setDriveName(const char* name);
    // Sets the drive name back to "vx".
    void resetDriveName();

    // ---- Volume ----

    // Total, used and free bytes of the card named by a drive path such as "vx:". All three
    // are 0 on failure: Unformatted for a card with no volume and no written block, Damaged
    // for one whose volume does not mount though blocks are written, InvalidArgument for a wrong
    // drive.
    [[nodiscard]] SmfsResult space(const char* drivePath, std::uint64_t* total, std::uint64_t* used,
                                   std::uint64_t* free);
    // Formats the card (full 1 with surface test, 0 quick) and mounts it; *badBlocks receives
    // the count of bad blocks. Clears the current folder and closes every handle.
    // InvalidArgument for a wrong drive, UnknownCard, lower-layer codes.
    [[nodiscard]] SmfsResult format(const char* drivePath, int full, std::uint32_t* badBlocks);
    // Suspends FAT write-backs until flushFat. InvalidArgument for a wrong drive.
    [[nodiscard]] SmfsResult deferFat(const char* drivePath);
    // Ends deferFat and writes the FAT. InvalidArgument for a wrong drive, lower codes.
    [[nodiscard]] SmfsResult flushFat(const char* drivePath);
    // Asks the storage to make everything written so far durable (a commit point for the
    // caller: the end of a copy, an fsync of the mount), after writing back an open write
    // group. ImageIo when it cannot.
    [[nodiscard]] SmfsResult sync();
    // A write group for an operation on many files (a copy of a folder, a recursive delete):
    // between beginGroup and the matching endGroup (groups nest) the folder entries and the
    // FAT that files and folders change are written back together, every 64 files or 4 MiB
    // of file data and at the outermost end, instead of at every call; file data is written
    // at once. After power is lost, every file of the group is on the card whole or not at
    // all, every file of a part written back before is there, and the card holds nothing
    // worse than lost clusters. Without a group every call is on the card when it returns.
    // A card destroyed with a group open writes it back first.
    void beginGroup();
    // Writes back and ends the outermost group. InvalidArgument without a group, ImageIo when
    // the card had to be read afresh meanwhile (what the group held is lost), lower codes.
    [[nodiscard]] SmfsResult endGroup();
    // Fills the version record. Always Ok.
    [[nodiscard]] SmfsResult version(SmfsVersion* version);

    // ---- Folders and entries (paths) ----

    // Names of the valid entries first to first + count - 1 of a folder ("." and ".."
    // included), each zero-terminated in its own 16-byte slot of names. EndOfData with
    // *delivered < count when the folder ends first; InvalidArgument when the path is not a
    // folder; NotFound.
    [[nodiscard]] SmfsResult list(const char* path, std::uint32_t first, std::uint32_t count,
                                  char* names, std::uint32_t* delivered);
    // Number of valid entries of a folder. As list.
    [[nodiscard]] SmfsResult count(const char* path, std::uint32_t* count);
    // Information on the entry a path names. IsRoot for the root, NotFound.
    [[nodiscard]] SmfsResult info(const char* path, SmfsEntryInfo* info);
    // Size of the file a path names; *size is 0 when it fails (NotFound).
    [[nodiscard]] SmfsResult fileSize(const char* path, std::uint32_t* size);
    // New folder with "." and ".." entries. NameExists, RootFull, CardFull, NotFound (parent).
    [[nodiscard]] SmfsResult mkdir(const char* path, int unused);
    // Removes a folder; recursive 1 deletes its contents first. FolderNotEmpty without
    // recursive, InvalidArgument when the path is not a folder, IsRoot, FileStillOpen for an
    // open file in it.
    [[nodiscard]] SmfsResult rmdir(const char* path, int recursive);
    // Deletes a file and frees its clusters. InvalidArgument for a folder, IsRoot, NotFound,
    // FileStillOpen while a handle of it is open.
    [[nodiscard]] SmfsResult remove(const char* path);
    // Moves an entry to another folder under the target's last name. MoveSourceNotFound when
    // the source's folder cannot be resolved, NameExists when the target exists or its folder
    // cannot be resolved, InvalidArgument for a folder moved into itself, IsRoot.
    [[nodiscard]] SmfsResult move(const char* source, const char* target);
    // Renames an entry within its folder. InvalidArgument when the target lies in another
    // folder, NameExists when it exists, MoveSourceNotFound, IsRoot.
    [[nodiscard]] SmfsResult rename(const char* source, const char* target);
    // Sets the current folder used by relative paths ("vx:\GAMES\"). NotFound when the path
    // has no drive, OutOfMemory when longer than 244 characters.
    [[nodiscard]] SmfsResult chdir(const char* path);
    // Copies the current folder into out (capacity bytes). OutOfMemory when it does not fit.
    [[nodiscard]] SmfsResult getcwd(char* out, std::size_t capacity);

    // ---- Files (handles) ----

    // Creates an empty file open for reading and writing. NameExists when it exists and
    // overwrite is not 1 (or names a folder); with overwrite 1 the old file is deleted first
    // (FileStillOpen while it has open handles). TooManyOpen, CardFull, RootFull.
    [[nodiscard]] SmfsResult create(const char* path, int overwrite, SmfsHandle* handle);
    // Opens an existing entry with mode 1 read, 2 write, 3 both. FileOpenTenTimes,
    // TooManyOpen, NotFound, InvalidArgument for another mode or a folder opened for writing.
    [[nodiscard]] SmfsResult open(const char* path, int mode, SmfsHandle* handle);
    // Reads from the position; *count receives the bytes read. EndOfData when fewer than
    // length remained, HandleNotOpen, Internal when the chain ends inside the file.
    [[nodiscard]] SmfsResult read(SmfsHandle handle, void* buffer, std::uint32_t length,
                                  std::uint32_t* count);
    // Writes at the position, extending the file. NotWritable without write mode, CardFull.
    [[nodiscard]] SmfsResult write(SmfsHandle handle, const void* data, std::uint32_t length);
    // Moves the position (origin 0 current, 1 start, 2 end), clamped to 0 .. size; *previous
    // (may be nullptr) receives the position before. InvalidArgument for another origin.
    [[nodiscard]] SmfsResult seek(SmfsHandle handle, int origin, std::int64_t offset,
                                  std::uint32_t* previous);
    // Shortens the file to size bytes in place; the clusters past it are freed at close,
    // which writes the entry and the FAT. A position past size moves back to it.
    // NotWritable, InvalidArgument for a size beyond the file's, FileStillOpen while another
    // handle of the file is open.
    [[nodiscard]] SmfsResult truncate(SmfsHandle handle, std::uint32_t size);
    // Links enough clusters to hold additional bytes beyond the file's size and pre-erases
    // their blocks (clusters past the size are freed again at close). NotWritable, CardFull.
    [[nodiscard]] SmfsResult reserve(SmfsHandle handle, std::uint32_t additional);
    // Closes a handle; for a handle with write mode the entry and the FAT are written first
    // (on failure the handle stays open). HandleNotOpen.
    [[nodiscard]] SmfsResult close(SmfsHandle handle);

    // ---- Card-level tools (smfs/tools.h) ----

    // Describes the card. UnknownCard for an image of no known type, ImageIo when it cannot
    // be read; an unformatted card is described with formatted false.
    [[nodiscard]] SmfsResult cardInfo(SmfsCardInfo* info);
    // Checks the whole card without writing to it: every programmed sector's ECC, block
    // address fields and duplicates, the CIS, the boot records, both FATs against each other,
    // and every chain reachable from the root. Findings go into report. UnknownCard, ImageIo
    // when the image cannot be read at all; a damaged card is Ok with findings.
    [[nodiscard]] SmfsResult check(SmfsCheckReport* report);
    // Checks the card, mends what can be mended without guessing (see tools.h), then checks
    // it again. UnknownCard, ImageIo and lower-layer codes when the card cannot be read or
    // written.
    [[nodiscard]] SmfsResult repair(SmfsRepairReport* report);
    // Writes the partition as a raw FAT volume to out from offset 0; sectors of unmapped
    // blocks come out as 0xFF. *uncorrectable (may be nullptr) receives the number of sectors
    // delivered with uncorrectable ECC errors. Unformatted when the card holds no usable
    // master boot record and boot sector, ImageIo when out fails, lower-layer codes.
    [[nodiscard]] SmfsResult exportVolume(SmfsStorage& out, std::uint32_t* uncorrectable);
    // Writes the raw FAT volume held by in (exactly the card's partition size) into the card:
    // the card is erased (bad blocks kept out), given its CIS and master boot record, and
    // every sector of the partition is written; then the card starts again as after reset.
    // A refusal before anything is written returns InvalidArgument with *problem saying why.
    // Lower-layer codes when writing fails (the card is then unusable until formatted).
    [[nodiscard]] SmfsResult importVolume(SmfsStorage& in, SmfsImportProblem* problem);

    // ---- Inspection ----

    // What the chip has done since the counters were last reset (benchmarks, tests).
    ChipCounters counters() const;
    void resetCounters();
    // Every layer's state, for the library's own layer functions (smfs/<layer>.h).
    CardState& state() { return *state_; }

private:
    std::unique_ptr<CardState> state_;
};
