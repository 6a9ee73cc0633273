// SPDX-License-Identifier: MIT
// Result codes of the card library. Every layer, from the page driver to the public calls,
// returns one of these; a layer passes a lower layer's code upward unchanged. The numbers
// are fixed: callers (the manager, the command line) react to several of them by value.
#pragma once

#include <cstdint>

enum class SmfsResult : std::uint8_t {
    Ok = 0,
    ChipFailed = 1,          // the chip reported a program or erase failure
    UnknownCard = 2,         // maker or device code not in the tables
    Unformatted = 5,         // no volume and no written block on the card
    BadMbr = 6,              // master boot record not valid
    BadBootSector = 7,       // boot sector not valid
    NoValidFat = 8,          // no valid FAT copy
    InvalidArgument = 11,    // bad path, name, drive, handle, origin or mode; length past a page
    NoFreeBlock = 12,        // no erased block left in the zone
    BlockNotMapped = 13,     // block not mapped or block number out of range
    EccUncorrectable = 14,   // uncorrectable ECC error; the data is delivered anyway
    FileOpenTenTimes = 16,   // the file is already open ten times
    NameExists = 17,         // name already exists
    FolderNotEmpty = 18,     // folder not empty
    EndOfData = 19,          // fewer bytes or entries than requested (not an error)
    HandleNotOpen = 20,      // handle not open
    MoveSourceNotFound = 21, // source folder of a move or rename not found
    NotFound = 23,           // not found; end of directory
    BrokenChain = 24,        // broken cluster chain
    IsRoot = 25,             // the path names the root directory
    NotWritable = 27,        // file not opened for writing
    OutOfMemory = 28,        // no sector buffer, heap exhausted, path too long
    RootFull = 29,           // root directory full
    TreeDeleted = 30,        // folder tree deletion finished (internal)
    StatusTimeout = 31,      // chip status never became ready
    TooManyOpen = 32,        // ten files already open
    Internal = 33,           // table allocation or FAT read failed, chain ended inside a file
    CardFull = 35,           // no free cluster
    AboveRoot = 36,          // relative path climbs above the root
    NotInitialised = 39,     // no longer returned: a card object is ready once made
    ImageIo = 40,            // the storage failed to read, write or sync
    FileStillOpen = 41,      // the file (or one in the folder) still has open handles
    Damaged = 42,            // no volume mounts, yet the card holds written blocks: check it
};

// A short English description of a result code, for messages and logs.
const char* smfs_result_text(SmfsResult result);

inline bool smfs_ok(SmfsResult r) {
    return r == SmfsResult::Ok;
}
