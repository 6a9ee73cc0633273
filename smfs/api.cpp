// SPDX-License-Identifier: MIT
// The public calls of the card library: initialisation, the open-file records behind the
// handles, reads and writes along a file's cluster chain, and the file and folder calls by
// path, built on the directory layer and the FAT volume.
//
// Each open handle has one record among ten: its file's first cluster and parent folder, the
// position, the cluster holding the position (kFatEnd when the position sits at the end of
// the chain's last cluster, so the next write links a new cluster), the cluster before it,
// the size and the mode. Writes change the FAT in memory only; close writes the file's entry,
// cuts the chain to the size and writes the FAT. A file with open handles is never deleted,
// so no handle can write into clusters that were freed and handed out again.
#include <smfs/smfs.h>

#include "card_state.h"
#include "chip.h"
#include "dir.h"
#include "fat.h"
#include "format.h"
#include "media.h"
#include <common/le_bytes.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr char kVersionName[] = "SmartMedia File System v";
constexpr char kVersionNumber[] = "2.22";

SmfsDateTime now(CardState& card) {
    return card.clock ? card.clock() : smfs_local_time();
}

// Where the block allocator starts. An injected clock makes it repeatable; on the PC's clock
// it starts anywhere on the card: seeded by the clock's seconds alone, every run in the same
// second would start on the same block, and a file rewritten by run after run would wear out
// the few blocks after it.
unsigned allocatorSeed(CardState& card) {
    if (card.clock) return card.clock().second;
    auto seed = unsigned(std::chrono::steady_clock::now().time_since_epoch().count());
    try {
        seed ^= std::random_device{}();
    } catch (...) {
        // No entropy source: the clock's nanoseconds serve.
    }
    return seed;
}

void forgetOpenFiles(CardState& card) {
    card.files.fill(OpenFile{});
    // Folder sectors held for a write group describe the card as it was before.
    dir_group_forget(card);
}

bool clusterOpen(CardState& card, std::uint32_t cluster) {
    return std::any_of(card.files.begin(), card.files.end(),
                       [&](const OpenFile& f) { return f.used && f.first == cluster; });
}

OpenFile* freeRecord(CardState& card) {
    for (OpenFile& f : card.files)
        if (!f.used) return &f;
    return nullptr;
}

// The lowest open index not used by a handle of the file at first; false when all ten are.
bool freeIndex(CardState& card, std::uint32_t first, std::uint32_t* index) {
    for (std::uint32_t i = 0; i < kSmfsMaxOpenFiles; ++i) {
        if (std::none_of(card.files.begin(), card.files.end(), [&](const OpenFile& f) {
                return f.used && f.first == first && f.index == i;
            })) {
            *index = i;
            return true;
        }
    }
    return false;
}

SmfsHandle makeHandle(const OpenFile& f) {
    return (f.index << 16) | (f.first & 0xFFFF);
}

SmfsResult findRecord(CardState& card, SmfsHandle handle, OpenFile** record) {
    if ((handle >> 24) & 0x7F) return SmfsResult::InvalidArgument;
    // A remount (after format or a card change) forgets every record.
    SmfsResult r = fat_ensure(card);
    if (r != SmfsResult::Ok) return r;
    const std::uint32_t index = (handle >> 16) & 0xFF;
    const std::uint32_t first = handle & 0xFFFF;
    for (OpenFile& f : card.files) {
        if (f.used && f.first == first && f.index == index) {
            *record = &f;
            return SmfsResult::Ok;
        }
    }
    return SmfsResult::HandleNotOpen;
}

// The record of a handle opened for writing.
SmfsResult findWritable(CardState& card, SmfsHandle handle, OpenFile** record) {
    const SmfsResult r = findRecord(card, handle, record);
    if (r != SmfsResult::Ok) return r;
    return ((*record)->mode & kSmfsWrite) ? SmfsResult::Ok : SmfsResult::NotWritable;
}

// A path made full, checked for the drive, with the folder holding its last name.
struct Target {
    std::string full;
    std::string name; // empty for the root
    std::uint32_t parent = 0;
};

bool isDotName(const std::string& name) {
    return name == "." || name == "..";
}

// Makes the path full, checks the drive and mounts. The parent is resolved unless the path
// names the root.
SmfsResult prepare(CardState& card, const char* path, Target* t) {
    SmfsResult r = path_make_full(card, path, &t->full);
    if (r != SmfsResult::Ok) return r;
    if (path_drive(card, t->full) != 0) return SmfsResult::InvalidArgument;
    r = fat_ensure(card);
    if (r != SmfsResult::Ok) return r;
    path_last_name(t->full, &t->name);
    if (t->name.empty()) {
        // Only "vx:\" itself has no last name; anything else after the drive is bad syntax.
        const std::size_t colon = t->full.find(':');
        return t->full.size() == colon + 2 && t->full.back() == '\\' ? SmfsResult::Ok
                                                                     : SmfsResult::InvalidArgument;
    }
    return path_resolve(card, t->full, 1, &t->parent);
}

// The first cluster of the folder a path names; InvalidArgument when it names a file.
SmfsResult resolveFolder(CardState& card, const char* path, std::uint32_t* folder) {
    Target t;
    SmfsResult r = prepare(card, path, &t);
    if (r != SmfsResult::Ok) return r;
    bool folderTarget = false;
    r = path_resolve(card, t.full, 0, folder, &folderTarget);
    if (r != SmfsResult::Ok) return r;
    return folderTarget ? SmfsResult::Ok : SmfsResult::InvalidArgument;
}

SmfsResult findEntry(CardState& card, const Target& t, DirSlot* slot) {
    DirKey key;
    key.text = t.name.c_str();
    return dir_find(card, kFindName, t.parent, key, slot);
}

bool isFolder(const DirSlot& slot) {
    return (slot.entry[kDeAttr] & kAttrFolder) != 0;
}

SmfsResult drivePathOk(CardState& card, const char* drivePath) {
    if (!drivePath || path_drive(card, drivePath) != 0) return SmfsResult::InvalidArgument;
    return SmfsResult::Ok;
}

// Moves a record's current and previous cluster to the cluster that holds position.
SmfsResult locate(CardState& card, OpenFile& f, std::uint32_t position) {
    const FatVolume* v = fat_volume(card);
    const std::uint32_t clusterBytes = fat_cluster_bytes(card);
    if (!v || clusterBytes == 0) return SmfsResult::Internal;
    const std::uint32_t steps = position / clusterBytes;
    if (steps > v->clusterCount + 1) return SmfsResult::Internal;
    std::uint32_t current = f.first;
    std::uint32_t previous = 0;
    for (std::uint32_t i = 0; i < steps; ++i) {
        if (!fat_is_data_cluster(card, current)) return SmfsResult::Internal;
        const std::uint16_t next = fat_entry(card, current);
        previous = current;
        if (next == kFatEnd) {
            // Only a position at the very end of the last cluster may lie past the chain.
            if (i + 1 != steps) return SmfsResult::Internal;
            current = kFatEnd;
            break;
        }
        if (!fat_is_data_cluster(card, next)) return SmfsResult::Internal;
        current = next;
    }
    f.position = position;
    f.current = current;
    f.previous = previous;
    return SmfsResult::Ok;
}

// After a position reached a cluster's end: steps to the next cluster of the chain, or to
// kFatEnd when the chain ends there.
SmfsResult stepCluster(CardState& card, OpenFile& f) {
    const std::uint16_t next = fat_entry(card, f.current);
    f.previous = f.current;
    if (next == kFatEnd) {
        f.current = kFatEnd;
        return SmfsResult::Ok;
    }
    if (!fat_is_data_cluster(card, next)) return SmfsResult::BrokenChain;
    f.current = next;
    return SmfsResult::Ok;
}

// Cuts a file's chain after the cluster holding its last byte (its first cluster for an
// empty file) and frees the rest. *last receives the cluster kept last.
void cutChain(CardState& card, const OpenFile& f, std::uint32_t* last) {
    const FatVolume* v = fat_volume(card);
    const std::uint64_t clusterBytes = fat_cluster_bytes(card);
    *last = 0;
    if (!v || !fat_is_data_cluster(card, f.first)) return;
    std::uint32_t c = f.first;
    std::uint64_t covered = clusterBytes;
    for (std::uint32_t steps = 0; covered < f.size; ++steps) {
        const std::uint16_t next = fat_entry(card, c);
        // A chain shorter than the size is left as it is.
        if (steps > v->clusterCount || !fat_is_data_cluster(card, next)) return;
        c = next;
        covered += clusterBytes;
    }
    *last = c;
    std::uint16_t rest = fat_entry(card, c);
    fat_set_entry(card, c, kFatEnd);
    for (std::uint32_t steps = 0; steps <= v->clusterCount && fat_is_data_cluster(card, rest);
         ++steps) {
        const std::uint16_t next = fat_entry(card, rest);
        fat_set_entry(card, rest, kFatFree);
        rest = next;
    }
}

// Frees a whole chain from its first cluster, stopping where it leaves the data area.
void freeChain(CardState& card, std::uint32_t first) {
    const FatVolume* v = fat_volume(card);
    std::uint32_t c = first;
    for (std::uint32_t steps = 0; v && steps <= v->clusterCount; ++steps) {
        if (!fat_is_data_cluster(card, c)) return;
        const std::uint16_t next = fat_entry(card, c);
        fat_set_entry(card, c, kFatFree);
        c = next;
    }
}

// The logical block that holds byte offset of a data cluster.
SmfsResult clusterBlock(CardState& card, std::uint32_t cluster, std::uint32_t offset,
                        std::uint32_t* block) {
    const FatVolume* v = fat_volume(card);
    CardGeometry g{};
    SmfsResult r = media_geometry(card, &g);
    if (r != SmfsResult::Ok) return r;
    if (!v || g.sectorsPerBlock == 0) return SmfsResult::Internal;
    const std::uint64_t sector = v->dataStart +
                                 std::uint64_t(cluster - kFirstCluster) * v->sectorsPerCluster +
                                 offset / kSectorBytes;
    *block = std::uint32_t(sector / g.sectorsPerBlock);
    return SmfsResult::Ok;
}

void fillInfo(const std::uint8_t* e, SmfsEntryInfo* info) {
    const std::uint16_t date = le16(e + kDeDate);
    const std::uint16_t time = le16(e + kDeTime);
    info->attribute = e[kDeAttr];
    info->firstCluster = le16(e + kDeCluster);
    info->size = le32(e + kDeSize);
    info->year = static_cast<std::uint16_t>((date >> 9) + 1980);
    info->month = static_cast<std::uint8_t>((date >> 5) & 0x0F);
    info->day = static_cast<std::uint8_t>(date & 0x1F);
    info->hour = static_cast<std::uint8_t>(time >> 11);
    info->minute = static_cast<std::uint8_t>((time >> 5) & 0x3F);
    info->seconds2 = static_cast<std::uint8_t>(time & 0x1F);
    info->zero = 0;
}

// The one or two digits just before (before true) or after the '.' of a version text; 0
// when there are none or more than two.
std::int32_t versionPart(const char* text, bool before) {
    const char* dot = std::strchr(text, '.');
    if (!dot) return 0;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const char* from = dot;
    const char* to = dot;
    if (before) {
        while (from > text && digit(from[-1]))
            --from;
    } else {
        from = to = dot + 1;
        while (digit(*to))
            ++to;
    }
    if (to - from < 1 || to - from > 2) return 0;
    std::int32_t value = 0;
    for (const char* p = from; p < to; ++p)
        value = value * 10 + (*p - '0');
    return value;
}

// Cuts a file's chain, completes its last block, writes the FAT and then the file's entry:
// the card holds the data and the chain before an entry names them, so power lost on the
// way leaves at worst the file's old entry over a longer chain, never an entry over free
// clusters that a later file could be given too.
SmfsResult commitFile(CardState& card, OpenFile& f) {
    DirSlot slot{};
    DirKey key;
    key.number = f.first;
    SmfsResult r = dir_find(card, kFindCluster, f.parent, key, &slot);
    if (r != SmfsResult::Ok) return r;
    // An empty file names no cluster, as FAT wants it: a cluster kept for it would be one
    // that every checker reports and frees. Other handles of the file still need it.
    const bool release =
        f.size == 0 && fat_is_data_cluster(card, f.first) &&
        std::count_if(card.files.begin(), card.files.end(),
                      [&](const OpenFile& o) { return o.used && o.first == f.first; }) == 1;
    if (!release) {
        std::uint32_t last = 0;
        cutChain(card, f, &last);
        if (last != 0 && f.size > 0) {
            const std::uint32_t clusterBytes = fat_cluster_bytes(card);
            std::uint32_t block = 0;
            r = clusterBlock(card, last, (f.size - 1) % clusterBytes, &block);
            if (r != SmfsResult::Ok) return r;
            r = media_complete_block(card, block);
            // A block never written has nothing to complete.
            if (r != SmfsResult::Ok && r != SmfsResult::BlockNotMapped) return r;
        }
        r = fat_flush(card);
        if (r != SmfsResult::Ok) return r;
    }

    const SmfsDateTime t = now(card);
    putLe16(slot.entry + kDeTime, dir_pack_time(t));
    putLe16(slot.entry + kDeDate, dir_pack_date(t));
    putLe32(slot.entry + kDeSize, f.size);
    if (release) putLe16(slot.entry + kDeCluster, 0);
    r = dir_write_entry(card, slot);
    if (r != SmfsResult::Ok || !release) return r;
    // The entry no longer names the cluster: freeing it now can only lose it.
    freeChain(card, f.first);
    return fat_flush(card);
}

// Within its scope an open write group is written back and set aside: every write goes to
// the card as without a group. result() tells whether the write-back worked.
class GroupPause {
public:
    explicit GroupPause(CardState& card)
        : card_(card), open_(dir_group_open(card)), result_(dir_group_commit(card)) {
        if (!open_ || result_ != SmfsResult::Ok) return;
        fat_group_close(card_);
        card_.group.direct = true;
    }
    ~GroupPause() {
        if (!open_ || result_ != SmfsResult::Ok) return;
        card_.group.direct = false;
        fat_group_open(card_, dir_group_commit);
    }
    GroupPause(const GroupPause&) = delete;
    GroupPause& operator=(const GroupPause&) = delete;
    SmfsResult result() const { return result_; }

private:
    CardState& card_;
    bool open_;
    SmfsResult result_;
};

// Pre-erases the logical blocks lying wholly inside a run of clusters.
SmfsResult preErase(CardState& card, std::uint32_t start, std::uint32_t length) {
    const FatVolume* v = fat_volume(card);
    CardGeometry g{};
    SmfsResult r = media_geometry(card, &g);
    if (r != SmfsResult::Ok) return r;
    if (!v) return SmfsResult::Internal;
    const std::uint64_t spb = g.sectorsPerBlock;
    const std::uint64_t first =
        v->dataStart + std::uint64_t(start - kFirstCluster) * v->sectorsPerCluster;
    const std::uint64_t end = first + std::uint64_t(length) * v->sectorsPerCluster;
    for (std::uint64_t block = (first + spb - 1) / spb; (block + 1) * spb <= end; ++block) {
        std::uint32_t previous = 0;
        r = media_assign_block(card, std::uint32_t(block), &previous);
        if (r != SmfsResult::Ok) return r;
        if (previous != 0) {
            r = media_release_block(card, previous);
            if (r != SmfsResult::Ok) return r;
        }
    }
    return SmfsResult::Ok;
}

// The entry a move or rename takes: MoveSourceNotFound when its folder cannot be reached.
SmfsResult findMoveSource(CardState& card, const char* source, Target* from, DirSlot* slot) {
    SmfsResult r = prepare(card, source, from);
    if (r == SmfsResult::NotFound || r == SmfsResult::BrokenChain)
        return SmfsResult::MoveSourceNotFound;
    if (r != SmfsResult::Ok) return r;
    if (from->name.empty()) return SmfsResult::IsRoot;
    if (isDotName(from->name)) return SmfsResult::InvalidArgument;
    return findEntry(card, *from, slot);
}

// The place a move or rename writes to, which must not hold the name yet; missingFolder is
// the code for a target folder that cannot be reached. A rename passes its source as
// sameFolderAs: another folder is then an invalid argument.
SmfsResult prepareMoveTarget(CardState& card, const char* target, SmfsResult missingFolder,
                             const Target* sameFolderAs, Target* to) {
    SmfsResult r = prepare(card, target, to);
    if (r == SmfsResult::NotFound || r == SmfsResult::BrokenChain) return missingFolder;
    if (r != SmfsResult::Ok) return r;
    if (to->name.empty()) return SmfsResult::IsRoot;
    if (isDotName(to->name)) return SmfsResult::InvalidArgument;
    if (sameFolderAs && to->parent != sameFolderAs->parent) return SmfsResult::InvalidArgument;
    DirSlot existing{};
    r = findEntry(card, *to, &existing);
    if (r == SmfsResult::Ok) return SmfsResult::NameExists;
    return r == SmfsResult::NotFound ? SmfsResult::Ok : r;
}

// Opens the file a directory slot of folder parent holds.
SmfsResult openSlot(CardState& card, std::uint32_t parent, DirSlot& slot, int mode,
                    SmfsHandle* handle) {
    // Writing would replace a folder's entries with file data and cut its chain at close.
    if (isFolder(slot) && (mode & kSmfsWrite)) return SmfsResult::InvalidArgument;
    std::uint32_t first = le16(slot.entry + kDeCluster);
    std::uint32_t index = 0;
    if (!freeIndex(card, first, &index)) return SmfsResult::FileOpenTenTimes;
    OpenFile* f = freeRecord(card);
    if (!f) return SmfsResult::TooManyOpen;

    if (first == kRootCluster && (mode & kSmfsWrite)) {
        // An empty file from another system names no cluster; writes need one to start at,
        // and cluster 0 would be the root folder.
        SmfsResult r = fat_alloc_cluster(card, &first);
        if (r != SmfsResult::Ok) return r;
        fat_set_entry(card, first, kFatEnd);
        putLe16(slot.entry + kDeCluster, static_cast<std::uint16_t>(first));
        r = dir_write_entry(card, slot);
        if (r != SmfsResult::Ok) {
            fat_set_entry(card, first, kFatFree);
            return r;
        }
        index = 0;
    }
    *f = OpenFile{true, first, parent, 0, first, 0, le32(slot.entry + kDeSize), mode, index};
    *handle = makeHandle(*f);
    return SmfsResult::Ok;
}

} // namespace

// ---- Set-up ----

void SmfsCard::setClock(SmfsClock clock) {
    CardState& card = *state_;
    card.clock = clock;
}

SmfsDateTime smfs_local_time() {
    const std::time_t t = std::time(nullptr);
    const std::tm* tm = std::localtime(&t);
    if (!tm) return SmfsDateTime{1980, 1, 1, 0, 0, 0};
    return SmfsDateTime{static_cast<std::uint16_t>(tm->tm_year + 1900),
                        static_cast<std::uint8_t>(tm->tm_mon + 1),
                        static_cast<std::uint8_t>(tm->tm_mday),
                        static_cast<std::uint8_t>(tm->tm_hour),
                        static_cast<std::uint8_t>(tm->tm_min),
                        static_cast<std::uint8_t>(std::min(tm->tm_sec, 59))};
}

SmfsResult SmfsCard::reset() {
    CardState& card = *state_;
    card.group = WriteGroup{};
    dir_reset(card);
    chip_reset(card);
    smc_reset(card);
    media_reset(card);
    media_seed(card, allocatorSeed(card));
    fat_reset(card);
    fat_set_mount_hook(card, forgetOpenFiles);
    forgetOpenFiles(card);
    dir_set_busy_check(card, clusterOpen);
    (void)smc_register_callback(card, 0, nullptr);
    (void)smc_register_callback(card, 1, nullptr);
    return SmfsResult::Ok;
}

SmfsCard::SmfsCard(SmfsStorage& storage, SmfsClock clock)
    : state_(std::make_unique<CardState>(storage)) {
    state_->clock = clock;
    (void)reset();
}

// Every call ends its chip session before it returns; only a write group left open holds
// writes back, and they go to the card now (nobody is left to hear of a failure).
SmfsCard::~SmfsCard() {
    if (!dir_group_open(*state_)) return;
    ChipSession session(*state_);
    (void)dir_group_commit(*state_);
}

SmfsStorage& SmfsCard::storage() const {
    return *state_->storage;
}

SmfsResult SmfsCard::registerCallback(int event, SmfsCardEventCallback callback) {
    return smc_register_callback(*state_, event, std::move(callback));
}

SmfsResult SmfsCard::sync() {
    CardState& card = *state_;
    SmfsResult r = SmfsResult::Ok;
    {
        ChipSession session(card);
        r = dir_group_commit(card);
    }
    if (r != SmfsResult::Ok) return r;
    r = smc_flush(card);
    if (r != SmfsResult::Ok) return r;
    return card.storage->sync();
}

ChipCounters SmfsCard::counters() const {
    return state_->counters;
}

void SmfsCard::resetCounters() {
    state_->counters = ChipCounters{};
}

SmfsResult SmfsCard::setDriveName(const char* name) {
    CardState& card = *state_;
    if (!name) return SmfsResult::InvalidArgument;
    const std::string n = name;
    if (n.empty() || n.size() > kMaxDriveNameChars || n.find_first_of(":\\") != std::string::npos)
        return SmfsResult::InvalidArgument;
    dir_set_drive_name(card, n);
    return SmfsResult::Ok;
}

void SmfsCard::resetDriveName() {
    CardState& card = *state_;
    dir_set_drive_name(card, "vx");
}

// ---- Volume ----

SmfsResult SmfsCard::space(const char* drivePath, std::uint64_t* total, std::uint64_t* used,
                           std::uint64_t* free) {
    CardState& card = *state_;
    ChipSession session(card);
    *total = *used = *free = 0;
    SmfsResult r = drivePathOk(card, drivePath);
    if (r != SmfsResult::Ok) return r;
    VolumeSpace space{};
    r = volume_space(card, &space);
    if (r != SmfsResult::Ok) return r;
    *total = space.totalBytes;
    *used = space.usedBytes;
    *free = space.freeBytes;
    return SmfsResult::Ok;
}

SmfsResult SmfsCard::format(const char* drivePath, int full, std::uint32_t* badBlocks) {
    CardState& card = *state_;
    ChipSession session(card);
    *badBlocks = 0;
    SmfsResult r = drivePathOk(card, drivePath);
    if (r != SmfsResult::Ok) return r;
    dir_set_cwd(card, "");
    // The card is erased below every open handle: forget them now, not only at the remount.
    forgetOpenFiles(card);
    r = media_low_format(card, full, badBlocks);
    if (r != SmfsResult::Ok) return r;
    return format_volume(card, "");
}

SmfsResult SmfsCard::deferFat(const char* drivePath) {
    CardState& card = *state_;
    ChipSession session(card);
    SmfsResult r = drivePathOk(card, drivePath);
    if (r != SmfsResult::Ok) return r;
    fat_set_deferred(card, true);
    return SmfsResult::Ok;
}

SmfsResult SmfsCard::flushFat(const char* drivePath) {
    CardState& card = *state_;
    ChipSession session(card);
    SmfsResult r = drivePathOk(card, drivePath);
    if (r != SmfsResult::Ok) return r;
    fat_set_deferred(card, false);
    return fat_flush(card);
}

void SmfsCard::beginGroup() {
    dir_group_begin(*state_);
}

SmfsResult SmfsCard::endGroup() {
    CardState& card = *state_;
    ChipSession session(card);
    return dir_group_end(card);
}

SmfsResult SmfsCard::version(SmfsVersion* version) {
    std::memset(version, 0, sizeof *version);
    std::snprintf(version->text, sizeof version->text, "%s%s", kVersionName, kVersionNumber);
    version->major = versionPart(kVersionNumber, true);
    version->minor = versionPart(kVersionNumber, false);
    return SmfsResult::Ok;
}

// ---- Folders and entries ----

SmfsResult SmfsCard::chdir(const char* path) {
    CardState& card = *state_;
    ChipSession session(card);
    if (!path) return SmfsResult::InvalidArgument;
    std::string p = path;
    const std::size_t colon = p.find(':');
    if (colon == std::string::npos || colon == 0 || colon > kMaxDriveNameChars ||
        p.find('\\') < colon)
        return SmfsResult::NotFound;
    if (p.size() > kMaxCwdChars) return SmfsResult::OutOfMemory;
    if (p.back() != '\\') p += '\\';
    dir_set_cwd(card, p);
    return SmfsResult::Ok;
}

SmfsResult SmfsCard::getcwd(char* out, std::size_t capacity) {
    CardState& card = *state_;
    const std::string& cwd = dir_cwd(card);
    if (!out || cwd.size() + 1 > capacity) return SmfsResult::OutOfMemory;
    std::memcpy(out, cwd.c_str(), cwd.size() + 1);
    return SmfsResult::Ok;
}

SmfsResult SmfsCard::list(const char* path, std::uint32_t first, std::uint32_t count, char* names,
                          std::uint32_t* delivered) {
    CardState& card = *state_;
    ChipSession session(card);
    *delivered = 0;
    std::uint32_t folder = 0;
    const SmfsResult r = resolveFolder(card, path, &folder);
    if (r != SmfsResult::Ok) return r;
    return dir_list(card, folder, first, count, names, delivered);
}

SmfsResult SmfsCard::listEntries(const char* path, std::uint32_t first, std::uint32_t count,
                                 SmfsListEntry* entries, std::uint32_t* delivered) {
    CardState& card = *state_;
    ChipSession session(card);
    *delivered = 0;
    std::uint32_t folder = 0;
    SmfsResult r = resolveFolder(card, path, &folder);
    if (r != SmfsResult::Ok) return r;
    std::uint8_t raw[32 * kDeBytes];
    while (*delivered < count) {
        const std::uint32_t want = std::min<std::uint32_t>(32, count - *delivered);
        std::uint32_t got = 0;
        r = dir_list_entries(card, folder, first + *delivered, want, raw, &got);
        got = std::min(got, want);
        for (std::uint32_t i = 0; i < got; ++i) {
            SmfsListEntry& out = entries[*delivered + i];
            entry_to_name(raw + std::size_t(i) * kDeBytes, out.name);
            fillInfo(raw + std::size_t(i) * kDeBytes, &out.info);
        }
        *delivered += got;
        if (r != SmfsResult::Ok) return r;
    }
    return SmfsResult::Ok;
}

SmfsResult SmfsCard::count(const char* path, std::uint32_t* count) {
    CardState& card = *state_;
    ChipSession session(card);
    *count = 0;
    std::uint32_t folder = 0;
    const SmfsResult r = resolveFolder(card, path, &folder);
    if (r != SmfsResult::Ok) return r;
    return dir_count(card, folder, count);
}

SmfsResult SmfsCard::info(const char* path, SmfsEntryInfo* info) {
    CardState& card = *state_;
    ChipSession session(card);
    std::memset(info, 0, sizeof *info);
    Target t;
    SmfsResult r = prepare(card, path, &t);
    if (r != SmfsResult::Ok) return r;
    if (t.name.empty()) return SmfsResult::IsRoot;
    DirSlot slot{};
    r = findEntry(card, t, &slot);
    if (r != SmfsResult::Ok) return r;
    fillInfo(slot.entry, info);
    return SmfsResult::Ok;
}

SmfsResult SmfsCard::fileSize(const char* path, std::uint32_t* size) {
    CardState& card = *state_;
    ChipSession session(card);
    *size = 0;
    Target t;
    SmfsResult r = prepare(card, path, &t);
    if (r != SmfsResult::Ok) return r;
    if (t.name.empty()) return SmfsResult::IsRoot;
    DirSlot slot{};
    r = findEntry(card, t, &slot);
    if (r != SmfsResult::Ok) return r;
    *size = le32(slot.entry + kDeSize);
    return SmfsResult::Ok;
}

SmfsResult SmfsCard::mkdir(const char* path, int) {
    CardState& card = *state_;
    ChipSession session(card);
    Target t;
    SmfsResult r = prepare(card, path, &t);
    if (r != SmfsResult::Ok) return r;
    if (t.name.empty() || isDotName(t.name)) return SmfsResult::NameExists;
    DirSlot slot{};
    r = findEntry(card, t, &slot);
    if (r == SmfsResult::Ok) return SmfsResult::NameExists;
    if (r != SmfsResult::NotFound) return r;

    std::uint32_t c = 0;
    r = fat_alloc_cluster(card, &c);
    if (r != SmfsResult::Ok) return r;
    const SmfsDateTime time = now(card);
    {
        // The folder's own cluster is whole on the card before anything names it, group or not.
        DirectDirWrites direct(card);
        r = cluster_fill(card, c, 0);
        if (r != SmfsResult::Ok) return r;
        fat_set_entry(card, c, kFatEnd);
        r = dir_create_entry(card, c, ".", DirEntryRecord{kAttrFolder, c, 0, time});
        if (r == SmfsResult::Ok)
            r = dir_create_entry(card, c, "..", DirEntryRecord{kAttrFolder, t.parent, 0, time});
    }
    // The folder's cluster is complete and in use on the card before its parent names it.
    if (r == SmfsResult::Ok) r = fat_flush(card);
    if (r == SmfsResult::Ok)
        r = dir_create_entry(card, t.parent, t.name.c_str(),
                             DirEntryRecord{kAttrFolder, c, 0, time});
    if (r != SmfsResult::Ok) {
        fat_set_entry(card, c, kFatFree);
        (void)fat_flush(card);
    }
    return r;
}

SmfsResult SmfsCard::rmdir(const char* path, int recursive) {
    CardState& card = *state_;
    ChipSession session(card);
    Target t;
    SmfsResult r = prepare(card, path, &t);
    if (r != SmfsResult::Ok) return r;
    if (t.name.empty()) return SmfsResult::IsRoot;
    if (isDotName(t.name)) return SmfsResult::InvalidArgument;
    DirSlot slot{};
    r = findEntry(card, t, &slot);
    if (r != SmfsResult::Ok) return r;
    if (!isFolder(slot)) return SmfsResult::InvalidArgument;
    const std::uint32_t folder = le16(slot.entry + kDeCluster);
    if (!fat_is_data_cluster(card, folder)) return SmfsResult::BrokenChain;

    if (recursive != 1) {
        // Any entry but "." and ".." makes the folder non-empty; its clusters would be lost.
        for (std::uint32_t i = 0;; ++i) {
            DirSlot e{};
            DirKey key;
            key.number = i;
            r = dir_find(card, kFindIndex, folder, key, &e);
            if (r == SmfsResult::NotFound) break;
            if (r != SmfsResult::Ok) return r;
            if (std::memcmp(e.entry, ".          ", kNameChars) != 0 &&
                std::memcmp(e.entry, "..         ", kNameChars) != 0)
                return SmfsResult::FolderNotEmpty;
        }
    } else {
        // A refused call leaves the whole tree as it was: look for open files first.
        r = dir_tree_check_open(card, folder);
        if (r != SmfsResult::Ok) return r;
        // Each step removes one folder of the tree, so the volume's cluster count bounds it.
        const FatVolume* v = fat_volume(card);
        for (std::uint32_t steps = 0;; ++steps) {
            if (!v || steps > v->clusterCount + 1) return SmfsResult::BrokenChain;
            r = dir_delete_tree_step(card, folder);
            if (r == SmfsResult::TreeDeleted) break;
            if (r != SmfsResult::Ok) return r;
        }
    }
    return dir_delete_file(card, t.parent, t.name.c_str());
}

SmfsResult SmfsCard::remove(const char* path) {
    CardState& card = *state_;
    ChipSession session(card);
    Target t;
    SmfsResult r = prepare(card, path, &t);
    if (r != SmfsResult::Ok) return r;
    if (t.name.empty()) return SmfsResult::IsRoot;
    if (isDotName(t.name)) return SmfsResult::InvalidArgument;
    DirSlot slot{};
    r = findEntry(card, t, &slot);
    if (r != SmfsResult::Ok) return r;
    // A folder goes through smfs_rmdir, which deletes what it holds.
    if (isFolder(slot)) return SmfsResult::InvalidArgument;
    return dir_delete_file(card, t.parent, t.name.c_str());
}

SmfsResult SmfsCard::move(const char* source, const char* target) {
    CardState& card = *state_;
    ChipSession session(card);
    // The new entry must reach the card before the old one goes: no group reorders them.
    GroupPause pause(card);
    if (pause.result() != SmfsResult::Ok) return pause.result();
    Target from;
    Target to;
    DirSlot slot{};
    SmfsResult r = findMoveSource(card, source, &from, &slot);
    if (r != SmfsResult::Ok) return r;

    r = prepareMoveTarget(card, target, SmfsResult::NameExists, nullptr, &to);
    if (r != SmfsResult::Ok) return r;

    const std::uint32_t moved = le16(slot.entry + kDeCluster);
    const bool folder = isFolder(slot);
    if (folder) {
        // A folder moved below itself would leave the tree unreachable and make it a loop.
        const FatVolume* v = fat_volume(card);
        std::uint32_t c = to.parent;
        for (std::uint32_t steps = 0; c != kRootCluster; ++steps) {
            if (c == moved) return SmfsResult::InvalidArgument;
            if (!v || steps > v->clusterCount) return SmfsResult::BrokenChain;
            DirSlot up{};
            DirKey key;
            key.text = "..";
            r = dir_find(card, kFindName, c, key, &up);
            if (r != SmfsResult::Ok) return r;
            c = le16(up.entry + kDeCluster);
        }
    }

    // The new entry is written before the old one goes, so a failure never loses the file.
    r = dir_create_entry_from(card, to.parent, to.name.c_str(), slot.entry);
    if (r != SmfsResult::Ok) return r;
    r = dir_delete_slot(card, from.parent, slot);
    if (r != SmfsResult::Ok) return r;
    if (folder && from.parent != to.parent && fat_is_data_cluster(card, moved)) {
        DirSlot up{};
        DirKey key;
        key.text = "..";
        if (dir_find(card, kFindName, moved, key, &up) == SmfsResult::Ok) {
            putLe16(up.entry + kDeCluster, static_cast<std::uint16_t>(to.parent));
            r = dir_write_entry(card, up);
            if (r != SmfsResult::Ok) return r;
        }
    }
    for (OpenFile& f : card.files)
        if (f.used && f.first == moved && f.parent == from.parent) f.parent = to.parent;
    return SmfsResult::Ok;
}

SmfsResult SmfsCard::rename(const char* source, const char* target) {
    CardState& card = *state_;
    ChipSession session(card);
    GroupPause pause(card);
    if (pause.result() != SmfsResult::Ok) return pause.result();
    Target from;
    Target to;
    DirSlot slot{};
    SmfsResult r = findMoveSource(card, source, &from, &slot);
    if (r != SmfsResult::Ok) return r;

    r = prepareMoveTarget(card, target, SmfsResult::InvalidArgument, &from, &to);
    if (r != SmfsResult::Ok) return r;

    // The old entry's long-name entries would describe a name it no longer has: delete them
    // with it, then write the entry back in its own place under the new name.
    std::uint8_t newName[kNameChars];
    if (name_to_entry(to.name.c_str(), newName) != 0) return SmfsResult::InvalidArgument;
    r = dir_delete_slot(card, from.parent, slot);
    if (r != SmfsResult::Ok) return r;
    std::memcpy(slot.entry + kDeName, newName, kNameChars);
    return dir_write_entry(card, slot);
}

// ---- Files ----

SmfsResult SmfsCard::create(const char* path, int overwrite, SmfsHandle* handle) {
    CardState& card = *state_;
    ChipSession session(card);
    *handle = 0;
    Target t;
    SmfsResult r = prepare(card, path, &t);
    if (r != SmfsResult::Ok) return r;
    if (t.name.empty()) return SmfsResult::IsRoot;
    if (isDotName(t.name)) return SmfsResult::NameExists;
    DirSlot slot{};
    r = findEntry(card, t, &slot);
    const bool replacing = r == SmfsResult::Ok;
    if (replacing) {
        // A folder is never replaced by a file: its contents would be lost.
        if (overwrite != 1 || isFolder(slot)) return SmfsResult::NameExists;
    } else if (r != SmfsResult::NotFound) {
        return r;
    }

    OpenFile* f = freeRecord(card);
    if (!f) return SmfsResult::TooManyOpen;
    std::uint32_t c = 0;
    r = fat_alloc_cluster(card, &c);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t index = 0;
    if (!freeIndex(card, c, &index)) return SmfsResult::FileOpenTenTimes;
    fat_set_entry(card, c, kFatEnd);
    // The cluster is in use on the card before the entry names it: power lost between the
    // two leaves a lost cluster, not an entry on a free cluster. A replaced file keeps its
    // entry, which takes the new cluster in one write: the card has the old file or the new.
    r = fat_flush(card);
    const DirEntryRecord record{kAttrArchive, c, 0, now(card)};
    if (r == SmfsResult::Ok)
        r = replacing ? dir_replace_file(card, t.parent, slot, record)
                      : dir_create_entry(card, t.parent, t.name.c_str(), record);
    if (r != SmfsResult::Ok) {
        fat_set_entry(card, c, kFatFree);
        (void)fat_flush(card);
        return r;
    }
    *f = OpenFile{true, c, t.parent, 0, c, 0, 0, kSmfsReadWrite, index};
    *handle = makeHandle(*f);
    return SmfsResult::Ok;
}

SmfsResult SmfsCard::open(const char* path, int mode, SmfsHandle* handle) {
    CardState& card = *state_;
    ChipSession session(card);
    *handle = 0;
    Target t;
    SmfsResult r = prepare(card, path, &t);
    if (r != SmfsResult::Ok) return r;
    if (mode < kSmfsRead || mode > kSmfsReadWrite) return SmfsResult::InvalidArgument;
    if (t.name.empty()) return SmfsResult::IsRoot;
    DirSlot slot{};
    r = findEntry(card, t, &slot);
    if (r != SmfsResult::Ok) return r;
    return openSlot(card, t.parent, slot, mode, handle);
}

SmfsResult SmfsCard::openAt(const char* folder, std::uint32_t index, SmfsHandle* handle) {
    CardState& card = *state_;
    ChipSession session(card);
    *handle = 0;
    std::uint32_t parent = 0;
    SmfsResult r = resolveFolder(card, folder, &parent);
    if (r != SmfsResult::Ok) return r;
    DirKey key;
    key.number = index;
    DirSlot slot{};
    r = dir_find(card, kFindIndex, parent, key, &slot);
    if (r != SmfsResult::Ok) return r;
    if (isFolder(slot)) return SmfsResult::InvalidArgument;
    return openSlot(card, parent, slot, kSmfsRead, handle);
}

SmfsResult SmfsCard::read(SmfsHandle handle, void* buffer, std::uint32_t length,
                          std::uint32_t* count) {
    CardState& card = *state_;
    ChipSession session(card);
    *count = 0;
    OpenFile* f = nullptr;
    SmfsResult r = findRecord(card, handle, &f);
    if (r != SmfsResult::Ok) return r;
    const std::uint32_t clusterBytes = fat_cluster_bytes(card);
    const std::uint32_t n = std::min(length, f->size - std::min(f->position, f->size));
    auto* out = static_cast<std::uint8_t*>(buffer);
    bool uncorrectable = false;
    while (*count < n) {
        if (!fat_is_data_cluster(card, f->current)) return SmfsResult::Internal;
        const std::uint32_t inCluster = f->position % clusterBytes;
        const std::uint32_t piece = std::min(n - *count, clusterBytes - inCluster);
        r = cluster_read(card, f->current, inCluster, out + *count, piece);
        // Data that failed its ECC is delivered all the same and reported at the end.
        if (r == SmfsResult::EccUncorrectable)
            uncorrectable = true;
        else if (r != SmfsResult::Ok)
            return r;
        f->position += piece;
        *count += piece;
        if (f->position % clusterBytes == 0) {
            r = stepCluster(card, *f);
            if (r != SmfsResult::Ok && *count < n) return SmfsResult::Internal;
        }
    }
    if (uncorrectable) return SmfsResult::EccUncorrectable;
    return n < length ? SmfsResult::EndOfData : SmfsResult::Ok;
}

SmfsResult SmfsCard::write(SmfsHandle handle, const void* data, std::uint32_t length) {
    CardState& card = *state_;
    ChipSession session(card);
    OpenFile* f = nullptr;
    SmfsResult r = findWritable(card, handle, &f);
    if (r != SmfsResult::Ok) return r;
    // Positions and sizes are 32-bit: a write may not run past 4 GiB - 1.
    if (std::uint64_t(f->position) + length > 0xFFFFFFFFu) return SmfsResult::CardFull;
    const std::uint32_t clusterBytes = fat_cluster_bytes(card);
    const auto* in = static_cast<const std::uint8_t*>(data);
    std::uint32_t done = 0;
    while (done < length) {
        if (f->current == kFatEnd) {
            // The chain may have grown since (a reserve, another handle): follow it first.
            const std::uint16_t next = fat_entry(card, f->previous);
            if (fat_is_data_cluster(card, next)) {
                f->current = next;
            } else {
                std::uint32_t c = 0;
                r = fat_alloc_cluster(card, &c);
                if (r != SmfsResult::Ok) return r;
                fat_set_entry(card, f->previous, static_cast<std::uint16_t>(c));
                fat_set_entry(card, c, kFatEnd);
                f->current = c;
            }
        }
        const std::uint32_t inCluster = f->position % clusterBytes;
        const std::uint32_t piece = std::min(length - done, clusterBytes - inCluster);
        r = cluster_write(card, f->current, inCluster, in + done, piece);
        if (r != SmfsResult::Ok) return r;
        f->position += piece;
        done += piece;
        f->size = std::max(f->size, f->position);
        if (f->position % clusterBytes == 0) {
            r = stepCluster(card, *f);
            if (r != SmfsResult::Ok) return r;
        }
    }
    return SmfsResult::Ok;
}

SmfsResult SmfsCard::seek(SmfsHandle handle, int origin, std::int64_t offset,
                          std::uint32_t* previous) {
    CardState& card = *state_;
    ChipSession session(card);
    OpenFile* f = nullptr;
    SmfsResult r = findRecord(card, handle, &f);
    if (r != SmfsResult::Ok) return r;
    if (previous) *previous = f->position;
    std::int64_t target = 0;
    switch (origin) {
    case kSmfsSeekCurrent:
        target = std::int64_t(f->position) + offset;
        break;
    case kSmfsSeekStart:
        target = offset;
        break;
    case kSmfsSeekEnd:
        target = std::int64_t(f->size) + offset;
        break;
    default:
        return SmfsResult::InvalidArgument;
    }
    target = std::clamp<std::int64_t>(target, 0, f->size);
    return locate(card, *f, std::uint32_t(target));
}

SmfsResult SmfsCard::truncate(SmfsHandle handle, std::uint32_t size) {
    CardState& card = *state_;
    ChipSession session(card);
    OpenFile* f = nullptr;
    SmfsResult r = findWritable(card, handle, &f);
    if (r != SmfsResult::Ok) return r;
    if (size > f->size) return SmfsResult::InvalidArgument;
    // Another handle keeps its own size and would write the cut clusters back into the entry.
    const auto handles =
        std::count_if(card.files.begin(), card.files.end(),
                      [&](const OpenFile& o) { return o.used && o.first == f->first; });
    if (handles > 1) return SmfsResult::FileStillOpen;
    f->size = size;
    return locate(card, *f, std::min(f->position, size));
}

SmfsResult SmfsCard::reserve(SmfsHandle handle, std::uint32_t additional) {
    CardState& card = *state_;
    ChipSession session(card);
    OpenFile* f = nullptr;
    SmfsResult r = findWritable(card, handle, &f);
    if (r != SmfsResult::Ok) return r;
    const FatVolume* v = fat_volume(card);
    const std::uint64_t clusterBytes = fat_cluster_bytes(card);
    if (!v || clusterBytes == 0 || !fat_is_data_cluster(card, f->first))
        return SmfsResult::Internal;
    const std::uint64_t wanted = std::max<std::uint64_t>(
        1, (std::uint64_t(f->size) + additional + clusterBytes - 1) / clusterBytes);

    // New clusters go after the chain's last cluster, whatever the chain's length.
    std::uint32_t last = f->first;
    std::uint64_t have = 1;
    for (;;) {
        const std::uint16_t next = fat_entry(card, last);
        if (next == kFatEnd) break;
        if (!fat_is_data_cluster(card, next) || have > v->clusterCount)
            return SmfsResult::BrokenChain;
        last = next;
        ++have;
    }
    if (have >= wanted) return SmfsResult::Ok;
    if (wanted - have > v->clusterCount) return SmfsResult::CardFull;

    struct Run {
        std::uint32_t start;
        std::uint32_t length;
    };
    std::vector<Run> runs;
    std::uint32_t missing = std::uint32_t(wanted - have);
    std::uint32_t tail = last;
    auto undo = [&] {
        for (const Run& run : runs)
            for (std::uint32_t i = 0; i < run.length; ++i)
                fat_set_entry(card, run.start + i, kFatFree);
        fat_set_entry(card, last, kFatEnd);
    };
    while (missing > 0) {
        std::uint32_t start = 0;
        std::uint32_t length = 0;
        r = fat_alloc_run(card, missing, &start, &length);
        if (r == SmfsResult::Ok && start == 0 && length > 0)
            r = fat_alloc_run(card, length, &start, &length);
        if (r != SmfsResult::Ok || start == 0 || length == 0) {
            undo();
            return r != SmfsResult::Ok ? r : SmfsResult::CardFull;
        }
        for (std::uint32_t i = 0; i + 1 < length; ++i)
            fat_set_entry(card, start + i, static_cast<std::uint16_t>(start + i + 1));
        fat_set_entry(card, start + length - 1, kFatEnd);
        fat_set_entry(card, tail, static_cast<std::uint16_t>(start));
        tail = start + length - 1;
        runs.push_back(Run{start, length});
        missing -= length;
    }
    if (f->current == kFatEnd) f->current = runs.front().start;
    for (const Run& run : runs) {
        r = preErase(card, run.start, run.length);
        if (r != SmfsResult::Ok) return r;
    }
    return SmfsResult::Ok;
}

SmfsResult SmfsCard::close(SmfsHandle handle) {
    CardState& card = *state_;
    ChipSession session(card);
    OpenFile* f = nullptr;
    SmfsResult r = findRecord(card, handle, &f);
    if (r != SmfsResult::Ok) return r;
    const bool written = f->mode & kSmfsWrite;
    const std::uint32_t size = f->size;
    if (written) {
        r = commitFile(card, *f);
        if (r != SmfsResult::Ok) return r;
    }
    *f = OpenFile{};
    return written ? dir_group_note(card, 1, size) : SmfsResult::Ok;
}

SmfsNameFit smfs_name_fit(const char* name) {
    return name ? name_fit(name, std::strlen(name)) : SmfsNameFit::Invalid;
}
