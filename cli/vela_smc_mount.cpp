// SPDX-License-Identifier: MIT
// vela-smc mount: a card served as a folder of the PC through FUSE 3, read and write, over
// the manager core's card interface, so a card image and the card in a machine are served
// by the same code. The loop is single-threaded, as the card library and the link are.
//
// The card is opened as every command opens it (an image under its lock, a machine through
// its link) and its volume read before anything is mounted, so a bad card is reported on
// the terminal. A PC path "/a/b.txt" becomes the card path "vx:\A\B.TXT"; names are listed
// in lower case and matched without regard to case. A name that is not an 8.3 name cannot
// be on the card: looking it up gives ENOENT, creating it ENAMETOOLONG when a part is
// longer than 8.3 allows (the usual "File name too long" from cp) and EINVAL when it holds
// a character a card name cannot hold, starts with a dot or has two dots.
//
// Open files: every open of one card file shares one slot. On an image the slot holds a
// card file read and written in place at any offset, committed (entry and FAT on the card)
// at flush, fsync and the last release, so the card is consistent after every close(2). The
// machine's link moves whole files: a file is read whole at its first open and served from
// memory (at most kLargestCardBytes a file, kMaxHeldBytes in all), and a changed file is
// written back whole at flush. A file with bytes on the card is replaced only once its new
// bytes are whole there: they go under a temporary name first. The link cannot rename:
// a file is copied and the old one removed; a folder gives EXDEV, so mv copies it instead.
// When the link is lost (the cable pulled, the socket closed) the mount ends itself with a
// message naming the files whose changes could not be written back.
#include "vela_smc.h"

#ifdef VELA_HAVE_FUSE

#define FUSE_USE_VERSION 31
#include <devicelink/device_link.h>
#include <devicelink/usb_hotplug.h>
#include <smcmanager/card_storage.h>
#include <smcmanager/machine_names.h>
#include <smcmanager/smc_manager.h>

#include <fuse.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

// No card holds a bigger file; the link refuses bigger ones too.
constexpr std::uint64_t kLargestCardBytes = 128u << 20;
// Whole files of the machine held in memory at once.
constexpr std::uint64_t kMaxHeldBytes = 256u << 20;
// The longest card path the card library and the link take.
constexpr std::size_t kMaxCardPath = 244;
// Where a replacing file of the machine is written until it is whole, and where a file an
// image rename replaces waits until the rename is done.
constexpr const char* kNewName = "VELA~NEW.TMP";
constexpr const char* kOldName = "VELA~OLD.TMP";

// The errno of a card result: the system's terms it carries, else ENOENT for an entry that
// is not there and EIO for everything else.
int errnoOf(const CardResult& result) {
    if (result) return 0;
    if (result.cause != std::errc{}) return int(result.cause);
    if (result.code == CardResult::Code::NotFound) return ENOENT;
    if (result.code == CardResult::Code::Unsupported) return ENOTSUP;
    return EIO;
}

std::string parentOf(const std::string& cardPath) {
    const std::size_t slash = cardPath.rfind('\\');
    return slash <= 3 ? std::string("vx:\\") : cardPath.substr(0, slash);
}

std::string nameOf(const std::string& cardPath) {
    return cardPath.substr(cardPath.rfind('\\') + 1);
}

std::string joinCard(const std::string& folder, const std::string& name) {
    return folder == "vx:\\" ? folder + name : folder + "\\" + name;
}

bool below(const std::string& path, const std::string& folder) {
    return path == folder || path.rfind(folder + "\\", 0) == 0;
}

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
        const CardNameFit fit = cardNameFit(parts[i]);
        if (fit != CardNameFit::Fits) {
            if (!newName || i + 1 != parts.size()) return -ENOENT;
            return fit == CardNameFit::TooLong ? -ENAMETOOLONG : -EINVAL;
        }
        for (char& c : parts[i])
            if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
        cardPath += (i ? "\\" : "") + parts[i];
    }
    return cardPath.size() > kMaxCardPath ? -ENAMETOOLONG : 0;
}

// A transfer nobody watches: it never stops.
class QuietTransfer final : public CardTransfer {
public:
    void step(const std::string&) override {}
    bool start(std::uint64_t) override { return true; }
    bool piece(std::uint64_t, std::uint32_t) override { return true; }
};

// All opens of one card file.
struct Slot {
    std::string cardPath;
    int users = 0;
    std::unique_ptr<CardFile> file; // an image's file
    // The machine's file, whole: its bytes, whether they differ from the card's, and how
    // many bytes the card's copy holds (a replacement keeps those until it is whole).
    std::vector<std::uint8_t> data;
    bool dirty = false;
    bool onCard = false;
    std::uint64_t cardBytes = 0;
};

class MountedCard {
public:
    // A mount of storage; wholeFiles: the card moves whole files only (the machine), whose
    // link is then given to tell a lost cable.
    MountedCard(CardStorage& storage, DeviceLink* link) : storage_(storage), link_(link) {}

    bool lost() const { return lost_; }
    // The loop that a lost link ends (nullptr once it has ended).
    void setLoop(fuse* loop) { loop_ = loop; }
    // The files whose changes could not be written back.
    // Each with the PC file its bytes were kept in ("" when even that failed).
    const std::vector<std::pair<std::string, std::string>>& unsaved() const { return unsaved_; }
    // Where the bytes of files that could not be written back are kept.
    void setRescueFolder(std::filesystem::path folder) { rescueFolder_ = std::move(folder); }

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
        CardEntry entry;
        if (const int e = lookup(cardPath, entry)) return e;
        st->st_mode = entry.folder ? (S_IFDIR | 0755) : (S_IFREG | (entry.readOnly ? 0444 : 0644));
        st->st_nlink = entry.folder ? 2 : 1;
        std::uint64_t size = entry.folder ? 0 : entry.sizeBytes;
        if (const Slot* slot = find(cardPath)) size = sizeOf(*slot);
        st->st_size = off_t(size);
        st->st_blksize = 512;
        st->st_blocks = blkcnt_t((size + 511) / 512);
        std::tm when{};
        when.tm_year = entry.year - 1900;
        when.tm_mon = std::clamp(entry.month, 1, 12) - 1;
        when.tm_mday = std::clamp(entry.day, 1, 31);
        when.tm_hour = std::clamp(entry.hour, 0, 23);
        when.tm_min = std::clamp(entry.minute, 0, 59);
        when.tm_isdst = -1;
        const std::time_t t = std::mktime(&when);
        st->st_mtime = st->st_ctime = st->st_atime = t == std::time_t(-1) ? 0 : t;
        return 0;
    }

    int readdir(const char* path, void* buffer, fuse_fill_dir_t fill) {
        std::string cardPath;
        if (const int e = cardPathOf(path, false, cardPath)) return e;
        if (cardPath != "vx:\\") {
            CardEntry entry;
            if (const int e = lookup(cardPath, entry)) return e;
            if (!entry.folder) return -ENOTDIR;
        }
        const std::vector<CardEntry>* entries = nullptr;
        if (const int e = listing(cardPath, entries)) return e;
        fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags(0));
        fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags(0));
        for (const CardEntry& entry : *entries) {
            // A name from the card that could not be looked up again is left out.
            if (cardNameFit(entry.name) != CardNameFit::Fits) continue;
            fill(buffer, lowerAscii(entry.name).c_str(), nullptr, 0, fuse_fill_dir_flags(0));
        }
        return 0;
    }

    int mkdir(const char* path) {
        std::string cardPath;
        if (const int e = cardPathOf(path, true, cardPath)) return e;
        if (const int e = checkNew(cardPath)) return e;
        const CardResult made = storage_.makeFolder(cardPath);
        forget(parentOf(cardPath));
        return -checked(made);
    }

    int rmdir(const char* path) {
        std::string cardPath;
        if (const int e = cardPathOf(path, false, cardPath)) return e;
        if (cardPath == "vx:\\") return -EBUSY;
        CardEntry entry;
        if (const int e = lookup(cardPath, entry)) return e;
        if (!entry.folder) return -ENOTDIR;
        const std::vector<CardEntry>* entries = nullptr;
        if (const int e = listing(cardPath, entries)) return e;
        // The card's folder removal takes everything in it; rmdir(2) takes empty ones only.
        if (!entries->empty()) return -ENOTEMPTY;
        const CardResult removed = storage_.removeFolder(cardPath);
        forget(parentOf(cardPath));
        return -checked(removed);
    }

    int unlink(const char* path) {
        std::string cardPath;
        if (const int e = cardPathOf(path, false, cardPath)) return e;
        CardEntry entry;
        if (const int e = lookup(cardPath, entry)) return e;
        if (entry.folder) return -EISDIR;
        // An open file stays: the card has no place to keep a file without a name.
        if (find(cardPath)) return -EBUSY;
        const CardResult removed = storage_.removeFile(cardPath);
        forget(parentOf(cardPath));
        return -checked(removed);
    }

    int rename(const char* from, const char* to, unsigned flags) {
        std::string source, target;
        if (const int e = cardPathOf(from, false, source)) return e;
        if (const int e = cardPathOf(to, true, target)) return e;
        if (flags & ~unsigned(RENAME_NOREPLACE)) return -EINVAL;
        if (source == target) return 0;
        if (source == "vx:\\" || target == "vx:\\") return -EBUSY;
        CardEntry sourceEntry, targetEntry;
        if (const int e = lookup(source, sourceEntry)) return e;
        if (sourceEntry.folder && below(target, source)) return -EINVAL;
        if (find(target)) return -EBUSY;
        const int found = lookup(target, targetEntry);
        if (found != 0 && found != -ENOENT) return found;
        const bool replacing = found == 0;
        if (replacing) {
            // Like rename(2): an existing target of the same kind is replaced.
            if (flags & RENAME_NOREPLACE) return -EEXIST;
            if (targetEntry.folder && !sourceEntry.folder) return -EISDIR;
            if (!targetEntry.folder && sourceEntry.folder) return -ENOTDIR;
            if (targetEntry.folder) {
                const std::vector<CardEntry>* entries = nullptr;
                if (const int e = listing(target, entries)) return e;
                if (!entries->empty()) return -ENOTEMPTY;
            }
        } else if (const int e = checkNew(target)) {
            return e;
        }
        const int e = link_ ? copyRename(source, target, sourceEntry, replacing)
                            : imageRename(source, target, targetEntry, replacing);
        forget(parentOf(source));
        forget(parentOf(target));
        if (e) return e;
        for (Slot& slot : slots_)
            if (slot.users > 0 && below(slot.cardPath, source))
                slot.cardPath = target + slot.cardPath.substr(source.size());
        return 0;
    }

    int statfs(struct statvfs* st) {
        std::uint64_t total = 0, used = 0, free = 0;
        const CardResult space = storage_.space(total, used, free);
        if (space.code == CardResult::Code::Unsupported) {
            // The machine tells no space: the largest card is shown, and a full card shows
            // as ENOSPC when a file is written back.
            total = free = kLargestCardBytes;
        } else if (!space) {
            return -checked(space);
        }
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
        Slot slot;
        slot.cardPath = cardPath;
        CardResult made;
        if (link_) {
            // The empty file goes on the card at once, so listings show it.
            if (const int e = checkNew(cardPath)) return e;
            made = writeWhole(cardPath, {});
            slot.onCard = bool(made);
        } else {
            slot.file = storage_.openFile(cardPath, true, made);
        }
        forget(parentOf(cardPath));
        if (!made) return -checked(made);
        fi->fh = addSlot(std::move(slot));
        return 0;
    }

    int open(const char* path, fuse_file_info* fi) {
        std::string cardPath;
        if (const int e = cardPathOf(path, false, cardPath)) return e;
        const bool truncating = (fi->flags & O_TRUNC) && (fi->flags & O_ACCMODE) != O_RDONLY;
        if (Slot* open = find(cardPath)) {
            ++open->users;
            fi->fh = indexOf(*open);
            return truncating ? resize(*open, 0) : 0;
        }
        CardEntry entry;
        if (const int e = lookup(cardPath, entry)) return e;
        if (entry.folder) return -EISDIR;
        Slot slot;
        slot.cardPath = cardPath;
        if (link_) {
            slot.onCard = true;
            slot.cardBytes = entry.sizeBytes;
            if (truncating) {
                slot.dirty = true;
            } else if (const int e = load(slot, entry.sizeBytes)) {
                return e;
            }
        } else {
            CardResult opened;
            slot.file = storage_.openFile(cardPath, false, opened);
            if (!opened) return -checked(opened);
        }
        const std::uint64_t index = addSlot(std::move(slot));
        fi->fh = index;
        return truncating ? resize(slots_[index], 0) : 0;
    }

    int read(char* buffer, std::size_t length, off_t offset, fuse_file_info* fi) {
        Slot* slot = slotOf(fi);
        if (!slot) return -EBADF;
        if (offset < 0) return -EINVAL;
        const auto want = std::uint32_t(std::min<std::size_t>(length, INT_MAX));
        if (!slot->file) {
            if (std::uint64_t(offset) >= slot->data.size()) return 0;
            const std::size_t n = std::min<std::size_t>(want, slot->data.size() - offset);
            std::memcpy(buffer, slot->data.data() + offset, n);
            return int(n);
        }
        std::uint32_t got = 0;
        const CardResult r = slot->file->read(std::uint64_t(offset),
                                              reinterpret_cast<std::uint8_t*>(buffer), want, got);
        return r ? int(got) : -checked(r);
    }

    int write(const char* data, std::size_t length, off_t offset, fuse_file_info* fi) {
        Slot* slot = slotOf(fi);
        if (!slot) return -EBADF;
        if (offset < 0 || length > INT_MAX) return -EINVAL;
        if (std::uint64_t(offset) + length > kLargestCardBytes) return -EFBIG;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
        if (slot->file) {
            const CardResult r =
                slot->file->write(std::uint64_t(offset), bytes, std::uint32_t(length));
            return r ? int(length) : -checked(r);
        }
        // A write past the end leaves zeros in the gap, as on any file system.
        const std::uint64_t end = std::uint64_t(offset) + length;
        if (end > slot->data.size()) {
            if (const int e = grow(*slot, end)) return e;
        }
        std::memcpy(slot->data.data() + offset, bytes, length);
        slot->dirty = true;
        return int(length);
    }

    int truncate(const char* path, off_t length, fuse_file_info* fi) {
        if (length < 0) return -EINVAL;
        if (std::uint64_t(length) > kLargestCardBytes) return -EFBIG;
        Slot* slot = fi ? slotOf(fi) : nullptr;
        std::string cardPath;
        if (!slot) {
            if (const int e = cardPathOf(path, false, cardPath)) return e;
            slot = find(cardPath);
        }
        if (slot) return resize(*slot, std::uint64_t(length));
        // Without an open slot, one is made for the call and dropped after it.
        fuse_file_info scratch{};
        scratch.flags = O_RDWR;
        if (const int e = open(path, &scratch)) return e;
        int e = resize(slots_[scratch.fh], std::uint64_t(length));
        if (const int released = release(&scratch); !e) e = released;
        return e;
    }

    // Puts the file on the card: an image's entry and FAT, the machine's whole file.
    int flush(fuse_file_info* fi) {
        Slot* slot = slotOf(fi);
        return slot ? commit(*slot) : -EBADF;
    }

    int fsync(fuse_file_info* fi) {
        if (const int e = flush(fi)) return e;
        return -checked(storage_.sync());
    }

    int release(fuse_file_info* fi) {
        Slot* slot = slotOf(fi);
        if (!slot) return -EBADF;
        const int e = commit(*slot);
        if (--slot->users == 0) {
            if (slot->dirty) keep(*slot);
            *slot = Slot{};
        }
        return e;
    }

    // Commits every open file and syncs the card; 0 or the first errno.
    int syncAll() {
        int e = 0;
        for (Slot& slot : slots_)
            if (const int committed = slot.users > 0 ? commit(slot) : 0; committed && !e)
                e = committed;
        if (const int synced = checked(storage_.sync()); synced && !e) e = -synced;
        return e;
    }

    // Drops every open file (at unmount, after syncAll): the names of those still changed
    // join unsaved().
    void dropAll() {
        for (Slot& slot : slots_) {
            if (slot.users > 0 && slot.dirty) keep(slot);
            slot = Slot{};
        }
    }

private:
    // The errno of a result, seeing to a lost link: once the machine no longer answers, the
    // mount ends itself (the cable was pulled) and every later call fails at once.
    int checked(const CardResult& result) {
        const int e = errnoOf(result);
        if (e == EIO && link_ && !lost_) {
            // A failed exchange may be the machine's own trouble: ask it something simple.
            LinkList probe;
            if (link_->ListFolders("vx:\\", probe) != LinkResult::Ok) {
                lost_ = true;
                report("the link to the machine is lost (cable pulled?): unmounting");
                if (loop_) fuse_exit(loop_);
            }
        }
        return e;
    }

    // A changed file of the machine that cannot go back to the card is about to be dropped:
    // its bytes go into a PC file below the rescue folder, under the card's folders.
    void keep(const Slot& slot) {
        std::string kept;
        if (!rescueFolder_.empty()) {
            // "vx:\GAME\SAVE.DAT" is kept as game/save.dat below the rescue folder.
            std::string relative = lowerAscii(slot.cardPath.substr(4));
            std::replace(relative.begin(), relative.end(), '\\', '/');
            const std::filesystem::path target = rescueFolder_ / relative;
            std::error_code ec;
            std::filesystem::create_directories(target.parent_path(), ec);
            std::ofstream out(target, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(slot.data.data()),
                      std::streamsize(slot.data.size()));
            out.close();
            if (!ec && out) kept = target.string();
        }
        unsaved_.emplace_back(slot.cardPath, kept);
    }

    // The entry of a card path: the image is asked, the machine's folders are listed once
    // and remembered until this mount changes them (nobody else changes the card while the
    // machine serves the link).
    int lookup(const std::string& cardPath, CardEntry& entry) {
        if (lost_) return -EIO;
        if (!link_) return -checked(storage_.entry(cardPath, entry));
        const std::vector<CardEntry>* entries = nullptr;
        if (const int e = listing(parentOf(cardPath), entries)) return e == -ENOTDIR ? -ENOENT : e;
        const std::string name = nameOf(cardPath);
        for (const CardEntry& candidate : *entries) {
            if (lowerAscii(candidate.name) == lowerAscii(name)) {
                entry = candidate;
                return 0;
            }
        }
        return -ENOENT;
    }

    // The entries of a card folder.
    int listing(const std::string& folder, const std::vector<CardEntry>*& entries) {
        if (lost_) return -EIO;
        auto cached = listings_.find(folder);
        if (cached == listings_.end()) {
            std::vector<CardEntry> listed;
            const CardResult r = storage_.list(folder, CardListing::Walk, listed);
            if (!r) return -checked(r);
            cached = listings_.emplace(folder, std::move(listed)).first;
        }
        entries = &cached->second;
        // Only the machine's listings are kept: the image answers faster than a cache.
        if (!link_) {
            scratchListing_ = std::move(cached->second);
            listings_.erase(cached);
            entries = &scratchListing_;
        }
        return 0;
    }

    void forget(const std::string& folder) {
        for (auto it = listings_.begin(); it != listings_.end();)
            it = below(it->first, folder) ? listings_.erase(it) : std::next(it);
    }

    // ENOENT when the parent of a new entry is not there, EEXIST when the name is taken.
    int checkNew(const std::string& cardPath) {
        const std::string parent = parentOf(cardPath);
        if (parent != "vx:\\") {
            CardEntry folder;
            if (const int e = lookup(parent, folder)) return e;
            if (!folder.folder) return -ENOTDIR;
        }
        CardEntry existing;
        const int e = lookup(cardPath, existing);
        return e == 0 ? -EEXIST : e == -ENOENT ? 0 : e;
    }

    // An image renames in place. A target being replaced steps aside first and is removed
    // only once the source has its name.
    int imageRename(const std::string& source, const std::string& target,
                    const CardEntry& targetEntry, bool replacing) {
        std::string aside;
        if (replacing) {
            aside = joinCard(parentOf(target), kOldName);
            CardEntry stale;
            if (storage_.entry(aside, stale))
                if (const int e = checked(stale.folder ? storage_.removeFolder(aside)
                                                       : storage_.removeFile(aside)))
                    return -e;
            if (const int e = checked(storage_.rename(target, aside))) return -e;
        }
        if (const int e = checked(storage_.rename(source, target))) {
            if (replacing) (void)storage_.rename(aside, target);
            return -e;
        }
        if (replacing)
            (void)checked(targetEntry.folder ? storage_.removeFolder(aside)
                                             : storage_.removeFile(aside));
        return 0;
    }

    // The machine cannot rename: a file is written whole under its new name, then the old
    // one is removed; a folder is refused with EXDEV, so mv copies it and removes the old.
    int copyRename(const std::string& source, const std::string& target,
                   const CardEntry& sourceEntry, bool replacing) {
        if (sourceEntry.folder) {
            report("the machine cannot rename folders: '" + lowerAscii(source) +
                   "' is copied by the file manager instead (EXDEV)");
            return -EXDEV;
        }
        Slot* open = find(source);
        if (open)
            if (const int e = commit(*open)) return e;
        Slot copy;
        copy.cardPath = source;
        copy.onCard = replacing;
        if (replacing) {
            CardEntry targetEntry;
            if (lookup(target, targetEntry) == 0) copy.cardBytes = targetEntry.sizeBytes;
        }
        if (open) {
            copy.data = open->data;
        } else if (const int e = load(copy, sourceEntry.sizeBytes)) {
            return e;
        }
        copy.cardPath = target;
        copy.dirty = true;
        if (const int e = commit(copy)) return e;
        return -checked(storage_.removeFile(source));
    }

    std::uint64_t sizeOf(const Slot& slot) const {
        return slot.file ? slot.file->size() : slot.data.size();
    }

    // Whole files of the machine held now.
    std::uint64_t heldBytes() const {
        std::uint64_t held = 0;
        for (const Slot& slot : slots_)
            held += slot.data.size();
        return held;
    }

    // Reads the machine's file whole into slot.
    int load(Slot& slot, std::uint64_t sizeBytes) {
        if (sizeBytes > kLargestCardBytes) return -EFBIG;
        if (heldBytes() + sizeBytes > kMaxHeldBytes) return -ENOMEM;
        slot.data.clear();
        slot.data.reserve(std::size_t(sizeBytes));
        QuietTransfer quiet;
        std::vector<std::uint8_t>& data = slot.data;
        const CardResult r = storage_.read(slot.cardPath, quiet,
                                           [&data](const std::uint8_t* bytes, std::uint32_t n) {
                                               if (data.size() + n > kLargestCardBytes)
                                                   return false;
                                               data.insert(data.end(), bytes, bytes + n);
                                               return true;
                                           });
        if (!r) {
            data = {};
            return r.code == CardResult::Code::Failed && r.message.empty() ? -EFBIG : -checked(r);
        }
        return 0;
    }

    int grow(Slot& slot, std::uint64_t sizeBytes) {
        if (heldBytes() + (sizeBytes - slot.data.size()) > kMaxHeldBytes) return -ENOMEM;
        slot.data.resize(std::size_t(sizeBytes), 0);
        return 0;
    }

    int resize(Slot& slot, std::uint64_t sizeBytes) {
        if (slot.file) return -checked(slot.file->resize(sizeBytes));
        if (sizeBytes > slot.data.size()) {
            if (const int e = grow(slot, sizeBytes)) return e;
        } else {
            slot.data.resize(std::size_t(sizeBytes));
        }
        slot.dirty = true;
        return 0;
    }

    CardResult writeWhole(const std::string& cardPath, const std::vector<std::uint8_t>& data) {
        QuietTransfer quiet;
        std::size_t done = 0;
        return storage_.write(parentOf(cardPath), nameOf(cardPath), data.size(), false, quiet,
                              [&](std::uint8_t* buffer, std::uint32_t bytes) {
                                  if (bytes > data.size() - done) return false;
                                  std::memcpy(buffer, data.data() + done, bytes);
                                  done += bytes;
                                  return true;
                              });
    }

    // An image file's entry and FAT go on the card; a changed file of the machine is written
    // back whole. The card's copy of a file is removed only once the new bytes are whole on
    // the card under the temporary name; a failure leaves them there.
    int commit(Slot& slot) {
        if (slot.file) return -checked(slot.file->commit());
        if (!slot.dirty) return 0;
        if (lost_) return -EIO;
        const int e = writeBack(slot);
        forget(parentOf(slot.cardPath));
        return e;
    }

    int writeBack(Slot& slot) {
        const std::string aside = joinCard(parentOf(slot.cardPath), kNewName);
        const bool keepOld = slot.onCard && slot.cardBytes > 0;
        if (keepOld) {
            (void)storage_.removeFile(aside); // an earlier failure's leftover
            if (const int e = checked(writeWhole(aside, slot.data))) return -e;
        }
        if (slot.onCard)
            if (const int e = checked(storage_.removeFile(slot.cardPath))) return -e;
        slot.onCard = false;
        if (const int e = checked(writeWhole(slot.cardPath, slot.data))) {
            if (keepOld)
                report("'" + lowerAscii(slot.cardPath) +
                       "' could not be written back; its new "
                       "bytes are whole in '" +
                       lowerAscii(aside) + "'");
            return -e;
        }
        slot.onCard = true;
        slot.cardBytes = slot.data.size();
        slot.dirty = false;
        if (keepOld) (void)checked(storage_.removeFile(aside));
        return 0;
    }

    Slot* find(const std::string& cardPath) {
        for (Slot& slot : slots_)
            if (slot.users > 0 && slot.cardPath == cardPath) return &slot;
        return nullptr;
    }

    std::uint64_t addSlot(Slot slot) {
        slot.users = 1;
        auto free =
            std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.users == 0; });
        if (free == slots_.end()) free = slots_.insert(slots_.end(), Slot{});
        *free = std::move(slot);
        return indexOf(*free);
    }

    std::uint64_t indexOf(const Slot& slot) const { return std::uint64_t(&slot - slots_.data()); }

    Slot* slotOf(const fuse_file_info* fi) {
        if (!fi || fi->fh >= slots_.size() || slots_[fi->fh].users == 0) return nullptr;
        return &slots_[fi->fh];
    }

    CardStorage& storage_;
    DeviceLink* link_; // the machine's; nullptr for an image
    std::vector<Slot> slots_;
    std::map<std::string, std::vector<CardEntry>> listings_;
    std::vector<CardEntry> scratchListing_;
    std::vector<std::pair<std::string, std::string>> unsaved_;
    std::filesystem::path rescueFolder_;
    bool lost_ = false;
    fuse* loop_ = nullptr;
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
// The card keeps no owner or mode, and stamps its entries itself: a mode and times are
// accepted and change nothing, so cp -p and mv from the PC do not complain.
int opChmod(const char* path, mode_t, fuse_file_info*) {
    struct stat st {};
    return card()->getattr(path, &st);
}
int opChown(const char* path, uid_t uid, gid_t gid, fuse_file_info*) {
    struct stat st {};
    if (const int e = card()->getattr(path, &st)) return e;
    // Every entry belongs to the user who mounted the card, and to nobody else.
    const bool same =
        (uid == uid_t(-1) || uid == st.st_uid) && (gid == gid_t(-1) || gid == st.st_gid);
    return same ? 0 : -EPERM;
}
int opUtimens(const char* path, const timespec*, fuse_file_info*) {
    struct stat st {};
    return card()->getattr(path, &st);
}
int opFsyncdir(const char*, int, fuse_file_info*) {
    return card()->syncAll();
}
void* opInit(fuse_conn_info* connection, fuse_config* config) {
    // Sizes change behind the kernel's back only through this process; short caches keep
    // a listing true after a copy.
    config->attr_timeout = 1;
    config->entry_timeout = 1;
    config->negative_timeout = 0;
    // An open with O_TRUNC comes as one call, so the machine's file is not read first.
    if (connection->capable & FUSE_CAP_ATOMIC_O_TRUNC) connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
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
    ops.chmod = opChmod;
    ops.chown = opChown;
    ops.utimens = opUtimens;
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

// A folder of its own for this mount's files that could not go back to the machine:
// $XDG_STATE_HOME/vela-smc/unsaved/DATE-TIME (~/.local/state when unset).
std::filesystem::path rescueFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::filesystem::path base = state && *state ? std::filesystem::path(state)
                                 : home && *home ? std::filesystem::path(home) / ".local/state"
                                                 : std::filesystem::temp_directory_path();
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", &local);
    return base / "vela-smc" / "unsaved" / (std::string(stamp) + "-" + std::to_string(getpid()));
}

// Detaches from the terminal before the card is opened, as a link's threads do not survive
// a fork: the parent waits for the child's word that the card is mounted and exits with
// it; the child reports its failures on the terminal first. True in the child (and when
// nothing is to be detached); false in the parent, with exit set.
bool detach(bool foreground, int& readyFd, int& exit) {
    readyFd = -1;
    if (foreground) return true;
    int ready[2];
    if (pipe(ready) != 0) return true;
    const pid_t child = fork();
    if (child < 0) {
        close(ready[0]);
        close(ready[1]);
        return true;
    }
    if (child > 0) {
        close(ready[1]);
        char word = 0;
        while (::read(ready[0], &word, 1) < 0 && errno == EINTR) {
        }
        close(ready[0]);
        exit = word == '1' ? kExitOk : kExitFailed;
        return false;
    }
    close(ready[0]);
    readyFd = ready[1];
    (void)setsid();
    return true;
}

// Tells the waiting parent the card is mounted and lets the terminal go.
void detached(int readyFd) {
    if (readyFd < 0) return;
    (void)!::write(readyFd, "1", 1);
    close(readyFd);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2) close(null);
    }
    (void)!chdir("/");
}

} // namespace

int runMount(const Options& o) {
    if (o.args.size() != 2) return usageError("mount takes CARD FOLDER");
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
    const std::string mountPoint = std::filesystem::absolute(o.args[1]).string();
    const std::string name =
        namesMachine(o.args[0]) ? o.args[0] : std::filesystem::absolute(o.args[0]).string();
    int readyFd = -1;
    int exit = kExitFailed;
    if (!detach(o.foreground, readyFd, exit)) return exit;

    // The card is opened as every command opens it: the same messages, the image locked
    // for as long as it is mounted (no other writer meanwhile).
    TerminalUi ui(false);
    std::unique_ptr<SimMachine> simulated;
    std::unique_ptr<SmcManager> manager;
    bool opened = false;
    if (namesMachine(name)) {
        MachineConnection connection;
        std::string failure;
        if (!linkForMachine(name, connection, failure)) return usageError(failure);
        simulated = std::move(connection.simulated);
        manager = std::make_unique<SmcManager>(ui, std::move(connection.link));
        opened = manager->connectMachine();
    } else {
        manager = std::make_unique<SmcManager>(ui, nullptr);
        opened = manager->openImage(name);
        if (!opened && manager->imageInUse()) {
            ui.discard();
            ui.showMessage(imageOpenFailure(o.args[0], true));
        }
    }
    if (opened && !manager->storage()) opened = false;
    if (!opened) {
        if (ui.formatOffered() && ui.messageCount() == 0) ui.showMessage("unformatted SMC");
        ui.flush(false);
        return kExitFailed;
    }
    ui.discard();
    DeviceLink* link = manager->storageKind() == StorageKind::Machine ? manager->link() : nullptr;
    MountedCard mounted(*manager->storage(), link);
    if (link) mounted.setRescueFolder(rescueFolder());

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
    if (fuse_mount(session, mountPoint.c_str()) != 0) {
        fuse_destroy(session);
        report("cannot mount on '" + o.args[1] + "' (is FUSE allowed here?)");
        return kExitFailed;
    }
    // A machine on the USB cable that is pulled out ends the loop as a signal would.
    std::unique_ptr<UsbHotplugWatcher> watcher;
    static std::atomic<bool> unplugged{false};
    if (fuse_set_signal_handlers(fuse_get_session(session)) == 0) {
        if (name.rfind("usb", 0) == 0) {
            watcher = makeUsbHotplugWatcher(UsbOptions{});
            const pthread_t loop = pthread_self();
            if (!watcher->start([loop](HotplugEvent event) {
                    if (event != HotplugEvent::Left) return;
                    unplugged = true;
                    pthread_kill(loop, SIGTERM);
                }))
                watcher.reset();
        }
        detached(readyFd);
        readyFd = -1;
        mounted.setLoop(session);
        exit = fuse_loop(session) == 0 ? kExitOk : kExitFailed;
        mounted.setLoop(nullptr);
        fuse_remove_signal_handlers(fuse_get_session(session));
    }
    if (watcher) watcher->stop();
    fuse_unmount(session);
    fuse_destroy(session); // calls destroy: every file committed and the card synced
    if (mounted.syncAll() != 0) exit = kExitFailed;
    mounted.dropAll();
    if (unplugged) report("the machine was unplugged: unmounted");
    if (mounted.lost() || unplugged) exit = kExitFailed;
    for (const auto& [path, kept] : mounted.unsaved())
        report("changes to '" + lowerAscii(path) + "' could not be written to the card" +
               (kept.empty() ? std::string(" and are lost") : "; they are kept in '" + kept + "'"));
    if (!mounted.unsaved().empty()) exit = kExitFailed;
    manager.reset(); // the link goes before the simulated machine it talks to
    if (readyFd >= 0) close(readyFd);
    return exit;
}

#else

int runMount(const Options&) {
    report("FUSE support is not built in: this vela-smc was built without libfuse3");
    return kExitFailed;
}

#endif
