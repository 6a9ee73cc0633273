// SPDX-License-Identifier: MIT
// vela-smc mount: a card image served as a folder of the PC through FUSE 3, read and write,
// over the card library's public calls. The loop is single-threaded, as the library is.
//
// The image is opened and locked like every writer of an image (no second writer while it
// is mounted) and its volume read before anything is mounted, so a bad image is reported
// on the terminal. A PC path "/a/b.txt" becomes the card path "vx:\A\B.TXT"; names are
// listed in lower case and matched without regard to case. A name that is not an 8.3 name
// cannot be on the card: looking it up gives ENOENT, creating it ENAMETOOLONG when a part
// is longer than 8.3 allows (the usual "File name too long" from cp) and EINVAL when it
// holds a character a card name cannot hold, starts with a dot or has two dots.
//
// Open files: every open of one card file shares one slot. Its library handle is opened
// when a read or write needs it and closed (which writes the file's entry and the FAT) at
// flush, fsync, the last release, and before a rename or truncate touches the file, so the
// card is consistent after every close(2). FAT writes are not deferred; at unmount every
// handle is closed, the FAT written once more and the image synced to the disk.
#include "vela_smc.h"

#ifdef VELA_HAVE_FUSE

#define FUSE_USE_VERSION 31
#include <common/image_file.h>
#include <smfs/smfs.h>

#include <fuse.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

// The errno for each library result; results not listed are EIO.
struct ErrnoOf {
    SmfsResult result;
    int error;
};
constexpr ErrnoOf kErrnoTable[] = {
    {SmfsResult::Ok, 0},
    {SmfsResult::EndOfData, 0},
    {SmfsResult::InvalidArgument, EINVAL},
    {SmfsResult::AboveRoot, EINVAL},
    {SmfsResult::NoFreeBlock, ENOSPC},
    {SmfsResult::CardFull, ENOSPC},
    {SmfsResult::RootFull, ENOSPC},
    {SmfsResult::FileOpenTenTimes, EMFILE},
    {SmfsResult::TooManyOpen, EMFILE},
    {SmfsResult::NameExists, EEXIST},
    {SmfsResult::FolderNotEmpty, ENOTEMPTY},
    {SmfsResult::HandleNotOpen, EBADF},
    {SmfsResult::NotWritable, EBADF},
    {SmfsResult::MoveSourceNotFound, ENOENT},
    {SmfsResult::NotFound, ENOENT},
    {SmfsResult::IsRoot, EBUSY},
    {SmfsResult::FileStillOpen, EBUSY},
    {SmfsResult::OutOfMemory, ENOMEM},
};

int errnoOf(SmfsResult r) {
    for (const ErrnoOf& e : kErrnoTable)
        if (e.result == r) return e.error;
    return EIO;
}

// The longest card path the library takes.
constexpr std::size_t kMaxCardPath = 244;

// The card path of a PC path below the mount, upper case. A part that cannot be a card name
// gives ENOENT, except the last one when it is to be created (newName), which gives the
// errno of the head comment.
int cardPathOf(const char* pcPath, bool newName, std::string& cardPath) {
    cardPath = "vx:\\";
    std::vector<std::string> parts;
    std::string part;
    for (const char* p = pcPath;; ++p) {
        if (*p == '/' || *p == '\0') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
            if (*p == '\0') break;
        } else {
            part += *p;
        }
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const SmfsNameFit fit = smfs_name_fit(parts[i].c_str());
        if (fit != SmfsNameFit::Fits) {
            if (!newName || i + 1 != parts.size()) return -ENOENT;
            return fit == SmfsNameFit::TooLong ? -ENAMETOOLONG : -EINVAL;
        }
        for (char& c : parts[i])
            if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
        cardPath += (i ? "\\" : "") + parts[i];
    }
    return cardPath.size() > kMaxCardPath ? -ENAMETOOLONG : 0;
}

// All opens of one card file.
struct Slot {
    std::string cardPath;
    int users = 0;
    bool open = false; // the library handle is open
    bool writable = false;
    SmfsHandle handle = 0;
    std::uint32_t size = 0; // what the file holds, written bytes included
};

class MountedCard {
public:
    // ---- Attributes and folders ----

    int getattr(const char* path, struct stat* st) {
        std::memset(st, 0, sizeof *st);
        st->st_uid = getuid();
        st->st_gid = getgid();
        std::string cardPath;
        if (const int e = cardPathOf(path, false, cardPath)) return e;
        if (cardPath == "vx:\\") {
            // The root has no entry and so no date of its own.
            st->st_mode = S_IFDIR | 0755;
            st->st_nlink = 2;
            st->st_mtime = st->st_ctime = st->st_atime = mountedAt_;
            return 0;
        }
        SmfsEntryInfo info{};
        const SmfsResult r = card->info(cardPath.c_str(), &info);
        if (r != SmfsResult::Ok) return -errorOf(r);
        const bool folder = info.attribute & kSmfsAttrFolder;
        const bool readOnly = info.attribute & kSmfsAttrReadOnly;
        st->st_mode = folder ? (S_IFDIR | 0755) : (S_IFREG | (readOnly ? 0444 : 0644));
        st->st_nlink = folder ? 2 : 1;
        std::uint32_t size = folder ? 0 : info.size;
        if (const Slot* slot = find(cardPath)) size = slot->size;
        st->st_size = off_t(size);
        st->st_blksize = 512;
        st->st_blocks = blkcnt_t((std::uint64_t(size) + 511) / 512);
        std::tm when{};
        when.tm_year = info.year - 1900;
        when.tm_mon = std::clamp(int(info.month), 1, 12) - 1;
        when.tm_mday = std::clamp(int(info.day), 1, 31);
        when.tm_hour = std::min(int(info.hour), 23);
        when.tm_min = std::min(int(info.minute), 59);
        when.tm_sec = std::min(int(info.seconds2) * 2, 59);
        when.tm_isdst = -1;
        const std::time_t t = std::mktime(&when);
        st->st_mtime = st->st_ctime = st->st_atime = t == std::time_t(-1) ? 0 : t;
        return 0;
    }

    int readdir(const char* path, void* buffer, fuse_fill_dir_t fill) {
        std::string cardPath;
        if (const int e = cardPathOf(path, false, cardPath)) return e;
        std::uint32_t count = 0;
        SmfsResult r = card->count(cardPath.c_str(), &count);
        if (r == SmfsResult::InvalidArgument) return -ENOTDIR;
        if (r != SmfsResult::Ok) return -errorOf(r);
        fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags(0));
        fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags(0));
        constexpr std::uint32_t kBatch = 64;
        std::vector<char> names(kBatch * kSmfsNameSlotBytes);
        for (std::uint32_t first = 0; first < count; first += kBatch) {
            std::uint32_t delivered = 0;
            r = card->list(cardPath.c_str(), first, kBatch, names.data(), &delivered);
            if (r != SmfsResult::Ok && r != SmfsResult::EndOfData) return -errorOf(r);
            delivered = std::min(delivered, kBatch);
            for (std::uint32_t i = 0; i < delivered; ++i) {
                const char* slot = names.data() + i * kSmfsNameSlotBytes;
                const std::string name(slot, strnlen(slot, kSmfsNameSlotBytes));
                // A name from the card that could not be looked up again is left out.
                if (name == "." || name == ".." || smfs_name_fit(name.c_str()) != SmfsNameFit::Fits)
                    continue;
                fill(buffer, lowerAscii(name).c_str(), nullptr, 0, fuse_fill_dir_flags(0));
            }
            if (r == SmfsResult::EndOfData) break;
        }
        return 0;
    }

    int mkdir(const char* path) {
        std::string cardPath;
        if (const int e = cardPathOf(path, true, cardPath)) return e;
        return -errorOf(card->mkdir(cardPath.c_str(), 0));
    }

    int rmdir(const char* path) {
        std::string cardPath;
        if (const int e = cardPathOf(path, false, cardPath)) return e;
        const SmfsResult r = card->rmdir(cardPath.c_str(), 0);
        return r == SmfsResult::InvalidArgument ? -ENOTDIR : -errorOf(r);
    }

    int unlink(const char* path) {
        std::string cardPath;
        if (const int e = cardPathOf(path, false, cardPath)) return e;
        // An open file stays: the card has no place to keep a file without a name.
        if (find(cardPath)) return -EBUSY;
        const SmfsResult r = card->remove(cardPath.c_str());
        return r == SmfsResult::InvalidArgument ? -EISDIR : -errorOf(r);
    }

    int rename(const char* from, const char* to, unsigned flags) {
        std::string source, target;
        if (const int e = cardPathOf(from, false, source)) return e;
        if (const int e = cardPathOf(to, true, target)) return e;
        if (flags & ~unsigned(RENAME_NOREPLACE)) return -EINVAL;
        if (source == target) return 0;
        SmfsEntryInfo sourceInfo{}, targetInfo{};
        SmfsResult r = card->info(source.c_str(), &sourceInfo);
        if (r != SmfsResult::Ok) return -errorOf(r);
        const bool sourceFolder = sourceInfo.attribute & kSmfsAttrFolder;
        if (sourceFolder && target.rfind(source + "\\", 0) == 0) return -EINVAL;
        // An open file's handle names its folder: the handles below source are closed first
        // and reopened under the new path when next used.
        for (Slot& slot : slots_) {
            const bool below =
                slot.cardPath == source || slot.cardPath.rfind(source + "\\", 0) == 0;
            if (slot.users > 0 && slot.cardPath == target) return -EBUSY;
            if (slot.users > 0 && below)
                if (const int e = closeHandle(slot)) return e;
        }
        r = card->info(target.c_str(), &targetInfo);
        if (r == SmfsResult::Ok) {
            // Like rename(2): an existing target of the same kind is replaced.
            if (flags & RENAME_NOREPLACE) return -EEXIST;
            const bool targetFolder = targetInfo.attribute & kSmfsAttrFolder;
            if (targetFolder && !sourceFolder) return -EISDIR;
            if (!targetFolder && sourceFolder) return -ENOTDIR;
            r = targetFolder ? card->rmdir(target.c_str(), 0) : card->remove(target.c_str());
            if (r != SmfsResult::Ok) return -errorOf(r);
        } else if (r != SmfsResult::NotFound) {
            return -errorOf(r);
        }
        const bool sameFolder =
            source.substr(0, source.rfind('\\')) == target.substr(0, target.rfind('\\'));
        r = sameFolder ? card->rename(source.c_str(), target.c_str())
                       : card->move(source.c_str(), target.c_str());
        if (r == SmfsResult::NameExists && !sameFolder) r = SmfsResult::NotFound;
        if (r != SmfsResult::Ok) return -errorOf(r);
        for (Slot& slot : slots_) {
            if (slot.users == 0) continue;
            if (slot.cardPath == source)
                slot.cardPath = target;
            else if (slot.cardPath.rfind(source + "\\", 0) == 0)
                slot.cardPath = target + slot.cardPath.substr(source.size());
        }
        return 0;
    }

    int statfs(struct statvfs* st) {
        std::uint64_t total = 0, used = 0, free = 0;
        const SmfsResult r = card->space("vx:", &total, &used, &free);
        if (r != SmfsResult::Ok) return -errorOf(r);
        std::memset(st, 0, sizeof *st);
        st->f_bsize = st->f_frsize = 512;
        st->f_blocks = total / 512;
        st->f_bfree = st->f_bavail = free / 512;
        st->f_namemax = 12;
        return 0;
    }

    // ---- Files ----

    int create(const char* path, fuse_file_info* fi) {
        std::string cardPath;
        if (const int e = cardPathOf(path, true, cardPath)) return e;
        if (find(cardPath)) return -EBUSY;
        SmfsHandle handle = 0;
        const SmfsResult r = card->create(cardPath.c_str(), 0, &handle);
        if (r != SmfsResult::Ok) return -errorOf(r);
        Slot& slot = addSlot(cardPath, 0);
        slot.open = slot.writable = true;
        slot.handle = handle;
        fi->fh = indexOf(slot);
        return 0;
    }

    int open(const char* path, fuse_file_info* fi) {
        std::string cardPath;
        if (const int e = cardPathOf(path, false, cardPath)) return e;
        Slot* slot = find(cardPath);
        if (!slot) {
            SmfsEntryInfo info{};
            const SmfsResult r = card->info(cardPath.c_str(), &info);
            if (r != SmfsResult::Ok) return -errorOf(r);
            if (info.attribute & kSmfsAttrFolder) return -EISDIR;
            slot = &addSlot(cardPath, info.size);
        } else {
            ++slot->users;
        }
        fi->fh = indexOf(*slot);
        return 0;
    }

    int read(char* buffer, std::size_t length, off_t offset, fuse_file_info* fi) {
        Slot* slot = slotOf(fi);
        if (!slot) return -EBADF;
        if (offset < 0) return -EINVAL;
        if (std::uint64_t(offset) >= slot->size) return 0;
        const std::uint32_t want =
            std::uint32_t(std::min<std::uint64_t>(length, slot->size - std::uint64_t(offset)));
        if (const int e = openHandle(*slot, false)) return e;
        SmfsResult r = card->seek(slot->handle, kSmfsSeekStart, offset, nullptr);
        if (r != SmfsResult::Ok) return -errorOf(r);
        std::uint32_t got = 0;
        r = card->read(slot->handle, buffer, want, &got);
        // Data with an uncorrectable ECC error is not handed on as if it were good.
        if (r != SmfsResult::Ok && r != SmfsResult::EndOfData) return -errorOf(r);
        return int(std::min(got, want));
    }

    int write(const char* data, std::size_t length, off_t offset, fuse_file_info* fi) {
        Slot* slot = slotOf(fi);
        if (!slot) return -EBADF;
        if (offset < 0 || length > INT_MAX) return -EINVAL;
        if (std::uint64_t(offset) + length > UINT32_MAX) return -EFBIG;
        if (const int e = openHandle(*slot, true)) return e;
        // A write past the end leaves zeros in the gap, as on any file system.
        if (const int e = extendTo(*slot, std::uint32_t(offset))) return e;
        SmfsResult r = card->seek(slot->handle, kSmfsSeekStart, offset, nullptr);
        if (r == SmfsResult::Ok) r = card->write(slot->handle, data, std::uint32_t(length));
        if (r != SmfsResult::Ok) return -errorOf(r);
        slot->size = std::max(slot->size, std::uint32_t(offset + off_t(length)));
        return int(length);
    }

    int truncate(const char* path, off_t length, fuse_file_info* fi) {
        if (length < 0) return -EINVAL;
        if (length > off_t(UINT32_MAX)) return -EFBIG;
        Slot* slot = fi ? slotOf(fi) : nullptr;
        std::string cardPath;
        if (!slot) {
            if (const int e = cardPathOf(path, false, cardPath)) return e;
            slot = find(cardPath);
        }
        // Without an open slot, one is made for the call and dropped after it.
        const bool temporary = !slot;
        if (temporary) {
            const int e = open(path, &scratch_);
            if (e) return e;
            slot = find(cardPath);
            if (!slot) return -EIO;
        }
        int e = 0;
        const auto want = std::uint32_t(length);
        if (want > slot->size) {
            if (!(e = openHandle(*slot, true))) e = extendTo(*slot, want);
        } else if (want < slot->size) {
            e = shorten(*slot, want);
        }
        if (temporary) {
            const int closed = closeHandle(*slot);
            dropSlot(*slot);
            if (!e) e = closed;
        }
        return e;
    }

    // Closes the library handle, which puts the file's entry and the FAT on the card.
    int flush(fuse_file_info* fi) {
        Slot* slot = slotOf(fi);
        return slot ? closeHandle(*slot) : -EBADF;
    }

    int fsync(fuse_file_info* fi) {
        if (const int e = flush(fi)) return e;
        return syncImage();
    }

    int release(fuse_file_info* fi) {
        Slot* slot = slotOf(fi);
        if (!slot) return -EBADF;
        const int e = closeHandle(*slot);
        if (--slot->users == 0) dropSlot(*slot);
        return e;
    }

    // Closes every handle, writes the FAT and syncs the image; 0 or the first errno.
    int syncAll() {
        int e = 0;
        for (Slot& slot : slots_)
            if (const int closed = closeHandle(slot); closed && !e) e = closed;
        if (const SmfsResult r = card->flushFat("vx:"); r != SmfsResult::Ok && !e) e = -errorOf(r);
        if (const int synced = syncImage(); synced && !e) e = synced;
        return e;
    }

    ImageFile image;
    std::unique_ptr<SmfsCard> card; // on image while mounted

private:
    int syncImage() {
        if (card->sync() == SmfsResult::Ok) return 0;
        return image.lastError() != 0 ? -image.lastError() : -EIO;
    }

    // The errno of a card result: the system's own for a failed read or write of the image
    // (ENOSPC for a full disk).
    int errorOf(SmfsResult r) const {
        if (r == SmfsResult::ImageIo && image.lastError() != 0) return image.lastError();
        return errnoOf(r);
    }

    Slot* find(const std::string& cardPath) {
        for (Slot& slot : slots_)
            if (slot.users > 0 && slot.cardPath == cardPath) return &slot;
        return nullptr;
    }

    Slot& addSlot(const std::string& cardPath, std::uint32_t size) {
        auto free =
            std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.users == 0; });
        if (free == slots_.end()) free = slots_.insert(slots_.end(), Slot{});
        *free = Slot{};
        free->cardPath = cardPath;
        free->users = 1;
        free->size = size;
        return *free;
    }

    void dropSlot(Slot& slot) { slot = Slot{}; }

    std::uint64_t indexOf(const Slot& slot) const { return std::uint64_t(&slot - slots_.data()); }

    Slot* slotOf(const fuse_file_info* fi) {
        if (!fi || fi->fh >= slots_.size() || slots_[fi->fh].users == 0) return nullptr;
        return &slots_[fi->fh];
    }

    int openHandle(Slot& slot, bool forWriting) {
        if (slot.open && (slot.writable || !forWriting)) return 0;
        if (const int e = closeHandle(slot)) return e;
        const SmfsResult r = card->open(slot.cardPath.c_str(),
                                        forWriting ? kSmfsReadWrite : kSmfsRead, &slot.handle);
        if (r != SmfsResult::Ok) return -errorOf(r);
        slot.open = true;
        slot.writable = forWriting;
        return 0;
    }

    int closeHandle(Slot& slot) {
        if (!slot.open) return 0;
        const SmfsResult r = card->close(slot.handle);
        if (r != SmfsResult::Ok)
            return -errorOf(r); // the handle stays open, as the library keeps it
        slot.open = false;
        return 0;
    }

    // Appends zeros up to size; the handle is open for writing.
    int extendTo(Slot& slot, std::uint32_t size) {
        if (size <= slot.size) return 0;
        SmfsResult r = card->seek(slot.handle, kSmfsSeekEnd, 0, nullptr);
        static const std::vector<char> zeros(65536, 0);
        while (r == SmfsResult::Ok && slot.size < size) {
            const std::uint32_t n = std::min<std::uint32_t>(size - slot.size, zeros.size());
            r = card->write(slot.handle, zeros.data(), n);
            if (r == SmfsResult::Ok) slot.size += n;
        }
        return -errorOf(r);
    }

    // The library cannot cut a file: its first size bytes are read, the file is created
    // anew over the old one and they are written back.
    int shorten(Slot& slot, std::uint32_t size) {
        std::vector<char> kept(size);
        if (size > 0) {
            if (const int e = openHandle(slot, false)) return e;
            std::uint32_t got = 0;
            SmfsResult r = card->seek(slot.handle, kSmfsSeekStart, 0, nullptr);
            if (r == SmfsResult::Ok) r = card->read(slot.handle, kept.data(), size, &got);
            if (r != SmfsResult::Ok && r != SmfsResult::EndOfData) return -errorOf(r);
            if (got != size) return -EIO;
        }
        if (const int e = closeHandle(slot)) return e;
        SmfsResult r = card->create(slot.cardPath.c_str(), 1, &slot.handle);
        if (r != SmfsResult::Ok) return -errorOf(r);
        slot.open = slot.writable = true;
        slot.size = 0;
        if (size > 0) r = card->write(slot.handle, kept.data(), size);
        if (r != SmfsResult::Ok) return -errorOf(r);
        slot.size = size;
        return 0;
    }

    std::vector<Slot> slots_;
    fuse_file_info scratch_{};
    std::time_t mountedAt_ = std::time(nullptr);
};

MountedCard* card() {
    return static_cast<MountedCard*>(fuse_get_context()->private_data);
}

int opGetattr(const char* path, struct stat* st, fuse_file_info*) {
    return card()->getattr(path, st);
}
int opReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
              fuse_readdir_flags) {
    return card()->readdir(path, buffer, fill);
}
int opMkdir(const char* path, mode_t) {
    return card()->mkdir(path);
}
int opRmdir(const char* path) {
    return card()->rmdir(path);
}
int opUnlink(const char* path) {
    return card()->unlink(path);
}
int opRename(const char* from, const char* to, unsigned flags) {
    return card()->rename(from, to, flags);
}
int opStatfs(const char*, struct statvfs* st) {
    return card()->statfs(st);
}
int opCreate(const char* path, mode_t, fuse_file_info* fi) {
    return card()->create(path, fi);
}
int opOpen(const char* path, fuse_file_info* fi) {
    return card()->open(path, fi);
}
int opRead(const char*, char* buffer, size_t length, off_t offset, fuse_file_info* fi) {
    return card()->read(buffer, length, offset, fi);
}
int opWrite(const char*, const char* data, size_t length, off_t offset, fuse_file_info* fi) {
    return card()->write(data, length, offset, fi);
}
int opTruncate(const char* path, off_t length, fuse_file_info* fi) {
    return card()->truncate(path, length, fi);
}
int opFlush(const char*, fuse_file_info* fi) {
    return card()->flush(fi);
}
int opFsync(const char*, int, fuse_file_info* fi) {
    return card()->fsync(fi);
}
int opRelease(const char*, fuse_file_info* fi) {
    return card()->release(fi);
}
int opFsyncdir(const char*, int, fuse_file_info*) {
    return card()->syncAll();
}
void* opInit(fuse_conn_info*, fuse_config* config) {
    // Sizes change behind the kernel's back only through this process; short caches keep
    // a listing true after a copy.
    config->attr_timeout = 1;
    config->entry_timeout = 1;
    config->negative_timeout = 0;
    return fuse_get_context()->private_data;
}
void opDestroy(void* data) {
    (void)static_cast<MountedCard*>(data)->syncAll();
}

fuse_operations operations() {
    fuse_operations ops{};
    ops.getattr = opGetattr;
    ops.readdir = opReaddir;
    ops.mkdir = opMkdir;
    ops.rmdir = opRmdir;
    ops.unlink = opUnlink;
    ops.rename = opRename;
    ops.statfs = opStatfs;
    ops.create = opCreate;
    ops.open = opOpen;
    ops.read = opRead;
    ops.write = opWrite;
    ops.truncate = opTruncate;
    ops.flush = opFlush;
    ops.fsync = opFsync;
    ops.release = opRelease;
    ops.fsyncdir = opFsyncdir;
    ops.init = opInit;
    ops.destroy = opDestroy;
    return ops;
}

// Whether fusermount3 can be found as libfuse looks for it (its own folder, then PATH).
bool fusermountPresent() {
    if (access("/usr/bin/fusermount3", X_OK) == 0 || access("/bin/fusermount3", X_OK) == 0)
        return true;
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        const std::string folder = folders.substr(start, end - start);
        if (!folder.empty() && access((folder + "/fusermount3").c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

} // namespace

int runMount(const Options& o) {
    if (o.args.size() != 2) return usageError("mount takes IMAGE FOLDER");
    if (namesMachine(o.args[0]))
        return usageError("mount works on a card image, not on '" + o.args[0] + "'");
    if (access("/dev/fuse", F_OK) != 0) {
        report("FUSE is not available here: /dev/fuse is missing (load the fuse module)");
        return kExitFailed;
    }
    // Only root mounts without the set-user-id helper.
    if (geteuid() != 0 && !fusermountPresent()) {
        report("FUSE is not available here: fusermount3 is missing (install the fuse3 package)");
        return kExitFailed;
    }
    struct stat folder {};
    if (stat(o.args[1].c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
        report("'" + o.args[1] + "' is not a folder");
        return kExitFailed;
    }

    static MountedCard mounted;
    // The lock is held for as long as the card is mounted: no other writer meanwhile.
    const ImageFile::Status opened = mounted.image.open(o.args[0], ImageFile::Access::Write);
    if (opened != ImageFile::Status::Ok) {
        report(imageOpenFailure(o.args[0], opened == ImageFile::Status::Locked));
        return kExitFailed;
    }
    mounted.card = std::make_unique<SmfsCard>(mounted.image);
    std::uint64_t total = 0, used = 0, free = 0;
    const SmfsResult space = mounted.card->space("vx:", &total, &used, &free);
    if (space != SmfsResult::Ok) {
        report(space == SmfsResult::Unformatted
                   ? "unformatted SMC"
                   : std::string("the card cannot be read: ") + smfs_result_text(space));
        return kExitFailed;
    }

    std::string fsname = "fsname=vela-smc";
    std::vector<std::string> words = {"vela-smc", "-o", fsname, "-o", "subtype=smc"};
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    fuse_args args = FUSE_ARGS_INIT(int(argv.size()), argv.data());
    const fuse_operations ops = operations();
    fuse* session = fuse_new(&args, &ops, sizeof ops, &mounted);
    fuse_opt_free_args(&args); // what option parsing allocated; the session keeps its own
    if (!session) {
        report("FUSE refused the mount options");
        return kExitFailed;
    }
    if (fuse_mount(session, o.args[1].c_str()) != 0) {
        fuse_destroy(session);
        report("cannot mount on '" + o.args[1] + "' (is FUSE allowed here?)");
        return kExitFailed;
    }
    int exit = kExitFailed;
    if (fuse_set_signal_handlers(fuse_get_session(session)) == 0) {
        if (fuse_daemonize(o.foreground ? 1 : 0) == 0)
            exit = fuse_loop(session) == 0 ? kExitOk : kExitFailed;
        fuse_remove_signal_handlers(fuse_get_session(session));
    }
    fuse_unmount(session);
    fuse_destroy(session); // calls destroy: every file closed, the FAT written, the image synced
    if (mounted.syncAll() != 0) {
        report("failed to write the card image");
        exit = kExitFailed;
    }
    mounted.card.reset();
    if (!mounted.image.close()) exit = kExitFailed;
    return exit;
}

#else

int runMount(const Options&) {
    report("FUSE support is not built in: this vela-smc was built without libfuse3");
    return kExitFailed;
}

#endif
