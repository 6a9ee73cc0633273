// The public interface of the card library: one virtual SmartMedia card held in an image
// stream, served as a FAT file system through card paths such as "vx:\GAMES\DEMO.BIN".
//
// The caller opens the image file ("rb+"), installs it with smfs_set_image, calls smfs_init
// and then any other call; the volume is mounted by the first call that needs it. Every call
// returns a SmfsResult; none throws. Files are reached through handles from smfs_create or
// smfs_open: bits 24 to 30 hold the drive (always 0), bits 16 to 23 the open index (0 to 9)
// and bits 0 to 15 the file's first cluster. At most ten handles are open at once. Data
// written through a handle is on the card when smfs_write returns; the file's entry and the
// FAT reach the card at smfs_close. Folder and delete calls write the FAT before they return
// unless FAT writes are deferred. Single-threaded: one caller, one image, one drive.
#pragma once

#include <smfs/result.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

using SmfsHandle = std::uint32_t;

// Bytes of one name slot of smfs_list: "NAME.EXT" and a terminating zero.
inline constexpr std::size_t kSmfsNameSlotBytes = 16;
inline constexpr int kSmfsMaxOpenFiles = 10;

// Open modes of smfs_open (bit 0 read, bit 1 write).
inline constexpr int kSmfsRead = 1;
inline constexpr int kSmfsWrite = 2;
inline constexpr int kSmfsReadWrite = 3;

// Seek origins of smfs_seek.
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

// Information about one directory entry (smfs_info).
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

// The library's version (smfs_version).
struct SmfsVersion {
    char text[40]; // "SmartMedia File System v2.22"
    std::int32_t major;
    std::int32_t minor;
};

// ---- Set-up ----

// Installs the image stream the library reads and writes (nullptr removes it). The caller
// opens and closes it; the library never does.
void smfs_set_image(std::FILE* stream);

// The clock the library stamps entries with and seeds its block allocator from.
using SmfsClock = SmfsDateTime (*)();
// Replaces the clock (tests inject a fixed one); nullptr restores the PC's local time.
void smfs_set_clock(SmfsClock clock);
// The PC's local time.
SmfsDateTime smfs_local_time();

// How a single name fits an 8.3 entry: Fits; TooLong when its name part passes 8 characters
// or its extension 3; Invalid when it is empty, starts with a dot, has a second dot or holds
// a character a card name cannot hold. Paths accept only names that fit.
enum class SmfsNameFit { Fits, TooLong, Invalid };
SmfsNameFit smfs_name_fit(const char* name);

// Resets every layer, forgets open handles and the current folder, sets the drive name to
// "vx". Always Ok.
[[nodiscard]] SmfsResult smfs_init();
// Forgets open handles, frees the volume's tables and marks the library uninitialised, so
// that every call but smfs_init returns NotInitialised (for a caller that closes its image).
void smfs_shutdown();
// Registers (nullptr unregisters) the card-inserted (event 0) or card-removed (event 1)
// callback. InvalidArgument for another event.
[[nodiscard]] SmfsResult smfs_register_callback(int event, void (*callback)(unsigned drive));

// Sets the drive name used in paths ("vx" by default). InvalidArgument when empty, longer
// than 10 characters or holding ':' or '\'.
[[nodiscard]] SmfsResult smfs_set_drive_name(const char* name);
// Sets the drive name back to "vx".
void smfs_reset_drive_name();

// ---- Volume ----

// Total, used and free bytes of the card named by a drive path such as "vx:". All three are
// 0 on failure: Unformatted for a card without a volume, InvalidArgument for a wrong drive.
[[nodiscard]] SmfsResult smfs_space(const char* drivePath, std::uint64_t* total,
                                    std::uint64_t* used, std::uint64_t* free);
// Formats the card (full 1 with surface test, 0 quick) and mounts it; *badBlocks receives the
// count of bad blocks. Clears the current folder and closes every handle. InvalidArgument for
// a wrong drive, UnknownCard, lower-layer codes.
[[nodiscard]] SmfsResult smfs_format(const char* drivePath, int full, std::uint32_t* badBlocks);
// Suspends FAT write-backs until smfs_flush_fat. InvalidArgument for a wrong drive.
[[nodiscard]] SmfsResult smfs_defer_fat(const char* drivePath);
// Ends smfs_defer_fat and writes the FAT. InvalidArgument for a wrong drive, lower codes.
[[nodiscard]] SmfsResult smfs_flush_fat(const char* drivePath);
// Fills the version record. Always Ok.
[[nodiscard]] SmfsResult smfs_version(SmfsVersion* version);

// ---- Folders and entries (paths) ----

// Names of the valid entries first to first + count - 1 of a folder ("." and ".." included),
// each zero-terminated in its own 16-byte slot of names. EndOfData with *delivered < count
// when the folder ends first; InvalidArgument when the path is not a folder; NotFound.
[[nodiscard]] SmfsResult smfs_list(const char* path, std::uint32_t first, std::uint32_t count,
                                   char* names, std::uint32_t* delivered);
// Number of valid entries of a folder. As smfs_list.
[[nodiscard]] SmfsResult smfs_count(const char* path, std::uint32_t* count);
// Information on the entry a path names. IsRoot for the root, NotFound.
[[nodiscard]] SmfsResult smfs_info(const char* path, SmfsEntryInfo* info);
// Size of the file a path names; *size is 0 when it fails (NotFound).
[[nodiscard]] SmfsResult smfs_file_size(const char* path, std::uint32_t* size);
// New folder with "." and ".." entries. NameExists, RootFull, CardFull, NotFound (parent).
[[nodiscard]] SmfsResult smfs_mkdir(const char* path, int unused);
// Removes a folder; recursive 1 deletes its contents first. FolderNotEmpty without recursive,
// InvalidArgument when the path is not a folder, IsRoot, FileStillOpen for an open file in it.
[[nodiscard]] SmfsResult smfs_rmdir(const char* path, int recursive);
// Deletes a file and frees its clusters. InvalidArgument for a folder, IsRoot, NotFound,
// FileStillOpen while a handle of it is open.
[[nodiscard]] SmfsResult smfs_delete(const char* path);
// Moves an entry to another folder under the target's last name. MoveSourceNotFound when the
// source's folder cannot be resolved, NameExists when the target exists or its folder cannot
// be resolved, InvalidArgument for a folder moved into itself, IsRoot.
[[nodiscard]] SmfsResult smfs_move(const char* source, const char* target);
// Renames an entry within its folder. InvalidArgument when the target lies in another
// folder, NameExists when it exists, MoveSourceNotFound, IsRoot.
[[nodiscard]] SmfsResult smfs_rename(const char* source, const char* target);
// Sets the current folder used by relative paths ("vx:\GAMES\"). NotFound when the path has
// no drive, OutOfMemory when longer than 244 characters.
[[nodiscard]] SmfsResult smfs_chdir(const char* path);
// Copies the current folder into out (capacity bytes). OutOfMemory when it does not fit.
[[nodiscard]] SmfsResult smfs_getcwd(char* out, std::size_t capacity);

// ---- Files (handles) ----

// Creates an empty file open for reading and writing. NameExists when it exists and overwrite
// is not 1 (or names a folder); with overwrite 1 the old file is deleted first (FileStillOpen
// while it has open handles). TooManyOpen, CardFull, RootFull.
[[nodiscard]] SmfsResult smfs_create(const char* path, int overwrite, SmfsHandle* handle);
// Opens an existing entry with mode 1 read, 2 write, 3 both. FileOpenTenTimes, TooManyOpen,
// NotFound, InvalidArgument for another mode or a folder opened for writing.
[[nodiscard]] SmfsResult smfs_open(const char* path, int mode, SmfsHandle* handle);
// Reads from the position; *count receives the bytes read. EndOfData when fewer than length
// remained, HandleNotOpen, Internal when the chain ends inside the file.
[[nodiscard]] SmfsResult smfs_read(SmfsHandle handle, void* buffer, std::uint32_t length,
                                   std::uint32_t* count);
// Writes at the position, extending the file. NotWritable without write mode, CardFull.
[[nodiscard]] SmfsResult smfs_write(SmfsHandle handle, const void* data, std::uint32_t length);
// Moves the position (origin 0 current, 1 start, 2 end), clamped to 0 .. size; *previous (may
// be nullptr) receives the position before. InvalidArgument for another origin.
[[nodiscard]] SmfsResult smfs_seek(SmfsHandle handle, int origin, std::int64_t offset,
                                   std::uint32_t* previous);
// Links enough clusters to hold additional bytes beyond the file's size and pre-erases their
// blocks (clusters past the size are freed again at close). NotWritable, CardFull.
[[nodiscard]] SmfsResult smfs_reserve(SmfsHandle handle, std::uint32_t additional);
// Closes a handle; for a handle with write mode the entry and the FAT are written first (on
// failure the handle stays open). HandleNotOpen.
[[nodiscard]] SmfsResult smfs_close(SmfsHandle handle);
