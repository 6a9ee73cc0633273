// SPDX-License-Identifier: MIT
// English descriptions of the library's result codes.
#include <smfs/result.h>

const char* smfs_result_text(SmfsResult result) {
    switch (result) {
    case SmfsResult::Ok:
        return "success";
    case SmfsResult::ChipFailed:
        return "the chip reported a program or erase failure";
    case SmfsResult::UnknownCard:
        return "unknown card type";
    case SmfsResult::Damaged:
        return "the card is damaged: run vela-smc check";
    case SmfsResult::Unformatted:
        return "the card is not formatted";
    case SmfsResult::BadMbr:
        return "master boot record not valid";
    case SmfsResult::BadBootSector:
        return "boot sector not valid";
    case SmfsResult::NoValidFat:
        return "no valid FAT copy";
    case SmfsResult::InvalidArgument:
        return "invalid argument";
    case SmfsResult::NoFreeBlock:
        return "no erased block left in the zone";
    case SmfsResult::BlockNotMapped:
        return "block not mapped";
    case SmfsResult::EccUncorrectable:
        return "uncorrectable ECC error";
    case SmfsResult::FileOpenTenTimes:
        return "the file is already open ten times";
    case SmfsResult::NameExists:
        return "name already exists";
    case SmfsResult::FolderNotEmpty:
        return "folder not empty";
    case SmfsResult::EndOfData:
        return "end of file or listing";
    case SmfsResult::HandleNotOpen:
        return "handle not open";
    case SmfsResult::MoveSourceNotFound:
        return "source folder not found";
    case SmfsResult::NotFound:
        return "not found";
    case SmfsResult::BrokenChain:
        return "broken cluster chain";
    case SmfsResult::IsRoot:
        return "the path names the root folder";
    case SmfsResult::NotWritable:
        return "file not opened for writing";
    case SmfsResult::OutOfMemory:
        return "out of memory";
    case SmfsResult::RootFull:
        return "root folder full";
    case SmfsResult::TreeDeleted:
        return "folder tree deleted";
    case SmfsResult::StatusTimeout:
        return "chip status time-out";
    case SmfsResult::TooManyOpen:
        return "too many open files";
    case SmfsResult::Internal:
        return "internal error";
    case SmfsResult::CardFull:
        return "card full";
    case SmfsResult::AboveRoot:
        return "path climbs above the root";
    case SmfsResult::NotInitialised:
        return "library not initialised";
    case SmfsResult::ImageIo:
        return "the image file could not be read or written";
    case SmfsResult::FileStillOpen:
        return "the file is still open";
    }
    return "unknown result";
}
