// SPDX-License-Identifier: MIT
// Directories and paths on top of the FAT volume.
//
// Directories are read one 512-byte sector at a time through cluster_read, following the FAT
// chain of a folder (the root is one fixed region, cluster 0). Every search is a walk over
// the entries that stops at the first entry whose first byte is 0. Entries are changed by
// writing their bytes back with cluster_write, so the block layer decides between writing in
// place and copy on write. Names are checked strictly before they reach the card: only
// names that fit an 8.3 entry unchanged are accepted, so a name is never silently cut.
#include "dir.h"
#include "card_state.h"

#include "fat.h"
#include <common/le_bytes.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {

const char kDefaultDrive[] = "vx";

enum Walk : int { kNext = 0, kStop = 1, kEnd = 2 };

bool grouping(const CardState& card) {
    return card.group.depth > 0 && !card.group.direct;
}

std::uint64_t groupKey(std::uint32_t cluster, std::uint32_t offset) {
    return (std::uint64_t(cluster) << 32) | offset;
}

// Reads directory bytes as the open write group has them.
SmfsResult dirRead(CardState& card, std::uint32_t cluster, std::uint32_t offset,
                   std::uint8_t* buffer, std::uint32_t length) {
    const SmfsResult r = cluster_read(card, cluster, offset, buffer, length);
    if ((r != SmfsResult::Ok && r != SmfsResult::EccUncorrectable) || card.group.sectors.empty())
        return r;
    const std::uint32_t end = offset + length;
    for (std::uint32_t at = offset - offset % kSectorBytes; at < end; at += kSectorBytes) {
        const auto held = card.group.sectors.find(groupKey(cluster, at));
        if (held == card.group.sectors.end()) continue;
        const std::uint32_t from = std::max(at, offset);
        const std::uint32_t to = std::min(at + kSectorBytes, end);
        std::memcpy(buffer + (from - offset), held->second.data() + (from - at), to - from);
    }
    return r;
}

// Writes directory bytes: into the open write group, else to the card.
SmfsResult dirWrite(CardState& card, std::uint32_t cluster, std::uint32_t offset,
                    const std::uint8_t* data, std::uint32_t length) {
    if (!grouping(card)) return cluster_write(card, cluster, offset, data, length);
    const std::uint32_t end = offset + length;
    for (std::uint32_t at = offset - offset % kSectorBytes; at < end; at += kSectorBytes) {
        auto held = card.group.sectors.find(groupKey(cluster, at));
        if (held == card.group.sectors.end()) {
            std::array<std::uint8_t, kSectorBytes> sector{};
            // A sector whose ECC fails is carried over as read, as a copy on write does.
            const SmfsResult r = cluster_read(card, cluster, at, sector.data(), kSectorBytes);
            if (r != SmfsResult::Ok && r != SmfsResult::EccUncorrectable) return r;
            held = card.group.sectors.emplace(groupKey(cluster, at), sector).first;
        }
        const std::uint32_t from = std::max(at, offset);
        const std::uint32_t to = std::min(at + kSectorBytes, end);
        std::memcpy(held->second.data() + (from - at), data + (from - offset), to - from);
    }
    return SmfsResult::Ok;
}

bool busy(CardState& card, std::uint32_t cluster) {
    return card.busyCheck && card.busyCheck(card, cluster);
}

SmfsResult mountedVolume(CardState& card, const FatVolume** volume) {
    SmfsResult r = fat_ensure(card);
    if (r != SmfsResult::Ok) return r;
    *volume = fat_volume(card);
    return *volume ? SmfsResult::Ok : SmfsResult::Internal;
}

// Bytes of one cluster of a directory: the whole region for the root.
std::uint32_t dirClusterBytes(CardState& card, const FatVolume& v, std::uint32_t cluster) {
    return cluster == kRootCluster ? v.rootSectors * kSectorBytes : fat_cluster_bytes(card);
}

// The cluster after c in its chain. NotFound at the chain's end, BrokenChain when the entry
// is free, bad or points outside the data area.
SmfsResult nextCluster(CardState& card, std::uint32_t c, std::uint32_t* next) {
    const std::uint16_t e = fat_entry(card, c);
    if (e == kFatEnd) return SmfsResult::NotFound;
    if (!fat_is_data_cluster(card, e)) return SmfsResult::BrokenChain;
    *next = e;
    return SmfsResult::Ok;
}

// Calls fn(sector, cluster, sectorOffset) for every sector of a directory from (cluster,
// offset) on, following a folder's chain. fn returns kNext, kStop (the walk ends with Ok) or
// kEnd (NotFound). A chain longer than the volume has clusters loops: BrokenChain.
template <typename Fn>
SmfsResult walkSectors(CardState& card, std::uint32_t cluster, std::uint32_t offset, Fn fn) {
    const FatVolume* v = nullptr;
    SmfsResult r = mountedVolume(card, &v);
    if (r != SmfsResult::Ok) return r;
    if (cluster != kRootCluster && !fat_is_data_cluster(card, cluster))
        return SmfsResult::BrokenChain;
    std::uint8_t sector[kSectorBytes];
    offset -= offset % kSectorBytes;
    for (std::uint32_t steps = 0;; ++steps) {
        if (steps > v->clusterCount) return SmfsResult::BrokenChain;
        const std::uint32_t size = dirClusterBytes(card, *v, cluster);
        for (; offset < size; offset += kSectorBytes) {
            r = dirRead(card, cluster, offset, sector, kSectorBytes);
            if (r != SmfsResult::Ok) return r;
            const int w = fn(sector, cluster, offset);
            if (w == kStop) return SmfsResult::Ok;
            if (w == kEnd) return SmfsResult::NotFound;
        }
        if (cluster == kRootCluster) return SmfsResult::NotFound;
        r = nextCluster(card, cluster, &cluster);
        if (r != SmfsResult::Ok) return r;
        offset = 0;
    }
}

// Calls fn(entry, cluster, offset) for every entry of a directory in order.
template <typename Fn> SmfsResult walkEntries(CardState& card, std::uint32_t dirCluster, Fn fn) {
    return walkSectors(card, dirCluster, 0,
                       [&](std::uint8_t* sector, std::uint32_t cluster, std::uint32_t offset) {
                           for (std::uint32_t e = 0; e < kSectorBytes; e += kDeBytes) {
                               const int w = fn(sector + e, cluster, offset + e);
                               if (w != kNext) return w;
                           }
                           return int(kNext);
                       });
}

SmfsResult readSlot(CardState& card, std::uint32_t cluster, std::uint32_t offset, DirSlot* slot) {
    SmfsResult r = dirRead(card, cluster, offset, slot->entry, kDeBytes);
    if (r != SmfsResult::Ok) return r;
    slot->cluster = cluster;
    slot->offset = offset;
    return SmfsResult::Ok;
}

// The last cluster of a folder's chain.
SmfsResult lastCluster(CardState& card, std::uint32_t first, std::uint32_t* last) {
    const FatVolume* v = nullptr;
    SmfsResult r = mountedVolume(card, &v);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t c = first;
    for (std::uint32_t steps = 0; steps <= v->clusterCount; ++steps) {
        std::uint32_t next = 0;
        r = nextCluster(card, c, &next);
        if (r == SmfsResult::NotFound) {
            *last = c;
            return SmfsResult::Ok;
        }
        if (r != SmfsResult::Ok) return r;
        c = next;
    }
    return SmfsResult::BrokenChain;
}

// A live short entry: a file, a folder or a volume label (not free, deleted or long-name).
bool isNamedEntry(const std::uint8_t* e) {
    return e[0] != kEntryFree && e[0] != kEntryDeleted && !dir_is_long_name(e);
}

SmfsResult findPrevious(CardState& card, std::uint32_t dirCluster, std::uint32_t cluster,
                        std::uint32_t offset, DirSlot* found) {
    if (offset % kDeBytes != 0) return SmfsResult::Internal;
    if (offset >= kDeBytes) return readSlot(card, cluster, offset - kDeBytes, found);
    if (cluster == kRootCluster || cluster == dirCluster) return SmfsResult::NotFound;
    const FatVolume* v = nullptr;
    SmfsResult r = mountedVolume(card, &v);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t c = dirCluster;
    for (std::uint32_t steps = 0; steps <= v->clusterCount; ++steps) {
        std::uint32_t next = 0;
        r = nextCluster(card, c, &next);
        if (r != SmfsResult::Ok) return r; // NotFound: the position is not in this folder
        if (next == cluster) return readSlot(card, c, fat_cluster_bytes(card) - kDeBytes, found);
        c = next;
    }
    return SmfsResult::BrokenChain;
}

SmfsResult findNext(CardState& card, std::uint32_t cluster, std::uint32_t offset, DirSlot* found) {
    if (offset % kDeBytes != 0) return SmfsResult::Internal;
    const FatVolume* v = nullptr;
    SmfsResult r = mountedVolume(card, &v);
    if (r != SmfsResult::Ok) return r;
    if (offset + kDeBytes < dirClusterBytes(card, *v, cluster))
        return readSlot(card, cluster, offset + kDeBytes, found);
    if (cluster == kRootCluster) return SmfsResult::NotFound;
    std::uint32_t next = 0;
    r = nextCluster(card, cluster, &next);
    if (r != SmfsResult::Ok) return r;
    return readSlot(card, next, 0, found);
}

SmfsResult writeDeletedMark(CardState& card, const DirSlot& slot) {
    const std::uint8_t mark = kEntryDeleted;
    return dirWrite(card, slot.cluster, slot.offset, &mark, 1);
}

// Deletes the entry at slot (with its long-name entries), frees its chain and writes the FAT.
SmfsResult deleteFileAt(CardState& card, std::uint32_t dirCluster, const DirSlot& slot) {
    const std::uint32_t start = le16(slot.entry + kDeCluster);
    if (fat_is_data_cluster(card, start) && busy(card, start)) return SmfsResult::FileStillOpen;
    SmfsResult r = dir_delete_slot(card, dirCluster, slot);
    if (r != SmfsResult::Ok) return r;
    r = dir_free_entry_chain(card, slot.entry);
    // The entry is gone either way: write what could be freed.
    const SmfsResult fr = fat_flush(card);
    if (r != SmfsResult::Ok) return r;
    if (fr != SmfsResult::Ok) return fr;
    return dir_group_note(card, 1, 0);
}

// Writes entry e into the slot that held a folder's end marker and moves the marker to the
// next slot: whatever bytes lie after an end marker were never entries, and must not become
// entries now. Within one sector both go in one write; the marker is written first otherwise.
SmfsResult writeAtEnd(CardState& card, const DirSlot& slot, const std::uint8_t* e) {
    const FatVolume* v = nullptr;
    SmfsResult r = mountedVolume(card, &v);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t cluster = slot.cluster;
    std::uint32_t offset = slot.offset + kDeBytes;
    bool hasNext = true;
    if (offset >= dirClusterBytes(card, *v, cluster)) {
        // The folder's last slot has no slot after it.
        hasNext = cluster != kRootCluster && nextCluster(card, cluster, &cluster) == SmfsResult::Ok;
        offset = 0;
    }
    std::uint8_t pair[2 * kDeBytes] = {};
    std::memcpy(pair, e, kDeBytes);
    // A next slot that cannot be read is left as it is: the entry matters more.
    if (!hasNext || dirRead(card, cluster, offset, pair + kDeBytes, kDeBytes) != SmfsResult::Ok ||
        pair[kDeBytes] == kEntryFree)
        return dirWrite(card, slot.cluster, slot.offset, e, kDeBytes);
    std::memset(pair + kDeBytes, 0, kDeBytes);
    if (cluster == slot.cluster && offset / kSectorBytes == slot.offset / kSectorBytes)
        return dirWrite(card, slot.cluster, slot.offset, pair, sizeof pair);
    r = dirWrite(card, cluster, offset, pair + kDeBytes, kDeBytes);
    if (r != SmfsResult::Ok) return r;
    return dirWrite(card, slot.cluster, slot.offset, e, kDeBytes);
}

// Writes a new entry named by 11 characters, with the fields of e (name bytes ignored).
SmfsResult createRaw(CardState& card, std::uint32_t dirCluster, const std::uint8_t* name,
                     std::uint8_t* e) {
    // One walk up to the end marker tells whether the name exists and finds the place for
    // the entry: the first deleted entry, else the end marker itself.
    DirSlot slot{};
    bool placed = false;
    bool atEnd = false;
    auto place = [&](std::uint32_t cluster, std::uint32_t offset) {
        if (placed) return;
        slot.cluster = cluster;
        slot.offset = offset;
        placed = true;
    };
    SmfsResult r = walkEntries(card, dirCluster,
                               [&](const std::uint8_t* at, std::uint32_t c, std::uint32_t o) {
                                   if (at[0] == kEntryFree) {
                                       atEnd = !placed;
                                       place(c, o);
                                       return int(kEnd);
                                   }
                                   if (isNamedEntry(at) && std::memcmp(at, name, kNameChars) == 0)
                                       return int(kStop);
                                   if (at[0] == kEntryDeleted) place(c, o);
                                   return int(kNext);
                               });
    if (r == SmfsResult::Ok) return SmfsResult::NameExists;
    if (r != SmfsResult::NotFound) return r;
    if (!placed) {
        if (dirCluster == kRootCluster) return SmfsResult::RootFull;
        std::uint32_t last = 0;
        std::uint32_t added = 0;
        r = lastCluster(card, dirCluster, &last);
        if (r != SmfsResult::Ok) return r;
        r = fat_alloc_cluster(card, &added);
        if (r != SmfsResult::Ok) return r;
        r = cluster_fill(card, added, 0);
        if (r != SmfsResult::Ok) return r;
        fat_set_entry(card, added, kFatEnd);
        fat_set_entry(card, last, static_cast<std::uint16_t>(added));
        r = fat_flush(card);
        if (r != SmfsResult::Ok) return r;
        slot.cluster = added;
        slot.offset = 0;
    }

    std::memcpy(e + kDeName, name, kNameChars);
    if (atEnd) return writeAtEnd(card, slot, e);
    return dirWrite(card, slot.cluster, slot.offset, e, kDeBytes);
}

bool validName(const char* name, std::uint8_t* entryName) {
    return name && name_is_valid(name, std::strlen(name)) && name_to_entry(name, entryName) == 0;
}

// Splits the part of a full path after "drive:\" into its components; false for an empty
// component in the middle. *trailing tells whether the path ends in a backslash.
bool splitComponents(const std::string& rest, std::vector<std::string>* parts, bool* trailing) {
    parts->clear();
    *trailing = false;
    if (rest.empty()) return true;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = rest.find('\\', start);
        if (slash == std::string::npos) {
            parts->push_back(rest.substr(start));
            break;
        }
        if (slash == start) return false;
        parts->push_back(rest.substr(start, slash - start));
        start = slash + 1;
        if (start == rest.size()) {
            *trailing = true;
            break;
        }
    }
    return true;
}

} // namespace

// ---- State ----

void dir_reset(CardState& card) {
    card.cwd.clear();
    card.driveName = kDefaultDrive;
}

const std::string& dir_cwd(CardState& card) {
    return card.cwd;
}

void dir_set_cwd(CardState& card, const std::string& cwd) {
    card.cwd = cwd;
}

const std::string& dir_drive_name(CardState& card) {
    return card.driveName;
}

void dir_set_drive_name(CardState& card, const std::string& name) {
    card.driveName = name;
}

void dir_set_busy_check(CardState& card, DirBusyCheck check) {
    card.busyCheck = check;
}

// ---- Paths and names ----

SmfsResult path_make_full(CardState& card, const char* path, std::string* full) {
    if (!path) return SmfsResult::InvalidArgument;
    const std::string p = path;
    const std::size_t colon = p.find(':');
    const std::size_t slash = p.find('\\');
    // A drive name ends at the first ':' before any backslash ("vx:\..."); such a path is
    // already full whatever the drive name's length.
    if (colon != std::string::npos && (slash == std::string::npos || colon < slash)) {
        *full = p;
    } else if (!p.empty() && p[0] == '\\') {
        *full = card.cwd + p.substr(1);
    } else if (p.compare(0, 2, "..") == 0) {
        std::string cwd = card.cwd;
        std::size_t at = 0;
        while (p.compare(at, 3, "..\\") == 0) {
            // The root's backslash follows the ':'; nothing lies above it.
            if (cwd.size() < 2 || cwd[cwd.size() - 2] == ':') return SmfsResult::AboveRoot;
            const std::size_t cut = cwd.rfind('\\', cwd.size() - 2);
            if (cut == std::string::npos) return SmfsResult::AboveRoot;
            cwd.resize(cut + 1);
            at += 3;
        }
        *full = cwd + p.substr(at);
    } else {
        *full = card.cwd + p;
    }
    if (full->size() >= kPathBufferBytes) return SmfsResult::OutOfMemory;
    return SmfsResult::Ok;
}

int path_drive(CardState& card, const std::string& full) {
    const std::size_t colon = full.find(':');
    if (colon == std::string::npos || colon == 0 || colon > kMaxDriveNameChars) return 1;
    return full.compare(0, colon, card.driveName) == 0 && colon == card.driveName.size() ? 0 : 1;
}

void path_last_name(const std::string& full, std::string* name) {
    std::string p = full;
    if (!p.empty() && p.back() == '\\') p.pop_back();
    const std::size_t slash = p.rfind('\\');
    const std::size_t colon = p.rfind(':');
    std::size_t start = 0;
    if (slash != std::string::npos)
        start = slash + 1;
    else if (colon != std::string::npos)
        start = colon + 1;
    // "vx:\" has no last name.
    if (colon != std::string::npos && start <= colon) start = p.size();
    *name = p.substr(start);
}

SmfsNameFit name_fit(const char* name, std::size_t length) {
    if (length == 0) return SmfsNameFit::Invalid;
    std::size_t dot = length;
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<std::uint8_t>(name[i]);
        if (c < 0x20 || c == 0x7F || std::strchr(" \"*+,/:;<=>?[\\]|", c))
            return SmfsNameFit::Invalid;
        if (c == '.') {
            if (dot != length) return SmfsNameFit::Invalid;
            dot = i;
        }
    }
    if (dot == 0) return SmfsNameFit::Invalid;
    const std::size_t extChars = dot == length ? 0 : length - dot - 1;
    return dot <= 8 && extChars <= 3 ? SmfsNameFit::Fits : SmfsNameFit::TooLong;
}

bool name_is_valid(const char* name, std::size_t length) {
    if ((length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.'))
        return true;
    return name_fit(name, length) == SmfsNameFit::Fits;
}

int name_to_entry(const char* name, std::uint8_t out[kNameChars]) {
    std::memset(out, ' ', kNameChars);
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        std::memcpy(out, name, std::strlen(name));
        return 0;
    }
    const char* dot = std::strrchr(name, '.');
    const char* baseEnd = dot ? dot : name + std::strlen(name);
    int result = 0;
    auto copyPart = [&](const char* from, const char* to, std::size_t at, std::size_t room) {
        std::size_t n = 0;
        for (const char* p = from; p < to; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c == ' ' || c == '.') {
                result = 1;
                continue;
            }
            if (n == room) {
                result = 1;
                break;
            }
            if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
            out[at + n++] = c;
        }
    };
    copyPart(name, baseEnd, 0, 8);
    if (dot) copyPart(dot + 1, dot + std::strlen(dot), 8, 3);
    // A first byte 0xE5 is stored as 0x05: 0xE5 there marks a deleted entry.
    if (out[0] == kEntryDeleted) out[0] = 0x05;
    return result;
}

void entry_to_name(const std::uint8_t in[kNameChars], char out[13]) {
    // Only the padding goes: a space inside a name another system stored stays, so the name
    // shows as it is stored.
    std::size_t baseChars = 8;
    while (baseChars > 0 && in[baseChars - 1] == ' ')
        --baseChars;
    std::size_t extChars = 3;
    while (extChars > 0 && in[8 + extChars - 1] == ' ')
        --extChars;
    std::size_t n = 0;
    for (std::size_t i = 0; i < baseChars; ++i) {
        // 0x05 stands for a first character 0xE5, which would read as a deleted entry.
        out[n++] = static_cast<char>(i == 0 && in[i] == 0x05 ? 0xE5 : in[i]);
    }
    if (extChars > 0) {
        out[n++] = '.';
        for (std::size_t i = 8; i < 8 + extChars; ++i)
            out[n++] = static_cast<char>(in[i]);
    }
    out[n] = '\0';
}

std::uint16_t dir_pack_time(const SmfsDateTime& t) {
    return static_cast<std::uint16_t>(((t.hour & 0x1F) << 11) | ((t.minute & 0x3F) << 5) |
                                      ((t.second / 2) & 0x1F));
}

std::uint16_t dir_pack_date(const SmfsDateTime& t) {
    // The field holds years 1980 to 2107; earlier years are stored as 1980, later as 2107.
    const int years = std::clamp(int(t.year) - 1980, 0, 127);
    return static_cast<std::uint16_t>((years << 9) | ((t.month & 0x0F) << 5) | (t.day & 0x1F));
}

SmfsResult path_resolve(CardState& card, const std::string& full, int want, std::uint32_t* cluster,
                        bool* isFolder) {
    const std::size_t colon = full.find(':');
    if (colon == std::string::npos || colon + 1 >= full.size() || full[colon + 1] != '\\')
        return SmfsResult::InvalidArgument;
    std::vector<std::string> parts;
    bool trailing = false;
    if (!splitComponents(full.substr(colon + 2), &parts, &trailing))
        return SmfsResult::InvalidArgument;
    for (const std::string& part : parts)
        if (!name_is_valid(part.data(), part.size())) return SmfsResult::InvalidArgument;
    if (isFolder) *isFolder = true;
    if (parts.empty()) {
        if (want != 0) return SmfsResult::InvalidArgument;
        *cluster = kRootCluster;
        return SmfsResult::Ok;
    }

    // Only folders are passed through: a file in the middle of a path is not found.
    const std::size_t walk = trailing ? parts.size() : parts.size() - 1;
    std::uint32_t current = kRootCluster;
    std::uint32_t before = kRootCluster;
    for (std::size_t i = 0; i < walk; ++i) {
        DirSlot slot{};
        DirKey key;
        key.text = parts[i].c_str();
        SmfsResult r = dir_find(card, kFindName, current, key, &slot);
        if (r != SmfsResult::Ok) return r;
        if (!(slot.entry[kDeAttr] & kAttrFolder)) return SmfsResult::NotFound;
        const std::uint32_t next = le16(slot.entry + kDeCluster);
        // Only ".." may lead to the root; any other folder must own a data cluster.
        if (!fat_is_data_cluster(card, next) && !(next == kRootCluster && parts[i] == ".."))
            return SmfsResult::BrokenChain;
        before = current;
        current = next;
    }
    if (trailing) {
        *cluster = want == 0 ? current : before;
        return SmfsResult::Ok;
    }
    if (want != 0) {
        *cluster = current;
        return SmfsResult::Ok;
    }
    DirSlot slot{};
    DirKey key;
    key.text = parts.back().c_str();
    SmfsResult r = dir_find(card, kFindName, current, key, &slot);
    if (r != SmfsResult::Ok) return r;
    *cluster = le16(slot.entry + kDeCluster);
    if (isFolder) *isFolder = (slot.entry[kDeAttr] & kAttrFolder) != 0;
    return SmfsResult::Ok;
}

// ---- Directory operations ----

SmfsResult dir_find(CardState& card, int mode, std::uint32_t dirCluster, const DirKey& key,
                    DirSlot* found) {
    std::uint8_t wanted[kNameChars];
    std::uint32_t seen = 0;
    std::uint32_t runStart = 0;
    auto take = [&](const std::uint8_t* e, std::uint32_t cluster, std::uint32_t offset) {
        std::memcpy(found->entry, e, kDeBytes);
        found->cluster = cluster;
        found->offset = offset;
        return int(kStop);
    };

    switch (mode) {
    case kFindName:
    case kFindRaw:
        if (!key.text) return SmfsResult::InvalidArgument;
        if (mode == kFindName) {
            if (name_to_entry(key.text, wanted) != 0) return SmfsResult::NotFound;
        } else {
            std::memcpy(wanted, key.text, kNameChars);
        }
        return walkEntries(card, dirCluster,
                           [&](const std::uint8_t* e, std::uint32_t c, std::uint32_t o) {
                               if (e[0] == kEntryFree) return int(kEnd);
                               if (isNamedEntry(e) && std::memcmp(e, wanted, kNameChars) == 0)
                                   return take(e, c, o);
                               return int(kNext);
                           });
    case kFindCluster:
        return walkEntries(card, dirCluster,
                           [&](const std::uint8_t* e, std::uint32_t c, std::uint32_t o) {
                               if (e[0] == kEntryFree) return int(kEnd);
                               // Only a file's entry: on a card whose FAT lost a folder's
                               // clusters, a new file can start where the folder does.
                               if (isNamedEntry(e) && !(e[kDeAttr] & (kAttrFolder | kAttrVolume)) &&
                                   le16(e + kDeCluster) == key.number)
                                   return take(e, c, o);
                               return int(kNext);
                           });
    case kFindIndex:
        return walkEntries(card, dirCluster,
                           [&](const std::uint8_t* e, std::uint32_t c, std::uint32_t o) {
                               if (e[0] == kEntryFree) return int(kEnd);
                               if (e[0] == kEntryDeleted || dir_is_long_name(e)) return int(kNext);
                               return seen++ == key.number ? take(e, c, o) : int(kNext);
                           });
    case kFindFolderIndex:
        return walkEntries(card, dirCluster,
                           [&](const std::uint8_t* e, std::uint32_t c, std::uint32_t o) {
                               if (e[0] == kEntryFree) return int(kEnd);
                               if (e[0] == kEntryDeleted || e[0] == '.' || dir_is_long_name(e) ||
                                   !(e[kDeAttr] & kAttrFolder))
                                   return int(kNext);
                               return seen++ == key.number ? take(e, c, o) : int(kNext);
                           });
    case kFindEnd:
        return walkEntries(card, dirCluster,
                           [&](const std::uint8_t* e, std::uint32_t c, std::uint32_t o) {
                               return e[0] == kEntryFree ? take(e, c, o) : int(kNext);
                           });
    case kFindDeletedRun:
        if (key.number == 0) return SmfsResult::InvalidArgument;
        return walkEntries(
            card, dirCluster, [&](const std::uint8_t* e, std::uint32_t c, std::uint32_t o) {
                if (e[0] == kEntryFree) return int(kEnd);
                if (o % kSectorBytes == 0) seen = 0;
                if (e[0] != kEntryDeleted) {
                    seen = 0;
                    return int(kNext);
                }
                if (seen++ == 0) runStart = o;
                if (seen < key.number) return int(kNext);
                take(e, c, runStart);
                return dirRead(card, c, runStart, found->entry, kDeBytes) == SmfsResult::Ok
                           ? int(kStop)
                           : int(kEnd);
            });
    case kFindPrevious:
        return findPrevious(card, dirCluster, key.number, key.offset, found);
    case kFindNext:
        return findNext(card, key.number, key.offset, found);
    default:
        return SmfsResult::InvalidArgument;
    }
}

SmfsResult dir_write_entry(CardState& card, const DirSlot& slot) {
    return dirWrite(card, slot.cluster, slot.offset, slot.entry, kDeBytes);
}

SmfsResult dir_create_entry(CardState& card, std::uint32_t dirCluster, const char* name,
                            const DirEntryRecord& record) {
    std::uint8_t entryName[kNameChars];
    if (!validName(name, entryName)) return SmfsResult::InvalidArgument;
    std::uint8_t e[kDeBytes] = {};
    e[kDeAttr] = record.attribute;
    putLe16(e + kDeTime, dir_pack_time(record.time));
    putLe16(e + kDeDate, dir_pack_date(record.time));
    putLe16(e + kDeCluster, static_cast<std::uint16_t>(record.startCluster));
    putLe32(e + kDeSize, record.size);
    return createRaw(card, dirCluster, entryName, e);
}

SmfsResult dir_create_entry_from(CardState& card, std::uint32_t dirCluster, const char* name,
                                 const std::uint8_t* source) {
    std::uint8_t entryName[kNameChars];
    if (!validName(name, entryName)) return SmfsResult::InvalidArgument;
    std::uint8_t e[kDeBytes];
    std::memcpy(e, source, kDeBytes);
    return createRaw(card, dirCluster, entryName, e);
}

namespace {

// Hands the valid entries first to first + count - 1 to take with their delivery index.
template <typename Fn>
SmfsResult listValid(CardState& card, std::uint32_t dirCluster, std::uint32_t first,
                     std::uint32_t count, std::uint32_t* delivered, Fn take) {
    *delivered = 0;
    if (count == 0) return SmfsResult::Ok;
    std::uint32_t index = 0;
    SmfsResult r =
        walkEntries(card, dirCluster, [&](const std::uint8_t* e, std::uint32_t, std::uint32_t) {
            if (e[0] == kEntryFree) return int(kEnd);
            if (e[0] == kEntryDeleted || dir_is_long_name(e)) return int(kNext);
            if (index++ < first) return int(kNext);
            take(e, *delivered);
            return ++*delivered == count ? int(kStop) : int(kNext);
        });
    if (r == SmfsResult::NotFound) return SmfsResult::EndOfData;
    return r;
}

} // namespace

SmfsResult dir_list(CardState& card, std::uint32_t dirCluster, std::uint32_t first,
                    std::uint32_t count, char* names, std::uint32_t* delivered) {
    return listValid(card, dirCluster, first, count, delivered,
                     [&](const std::uint8_t* e, std::uint32_t i) {
                         entry_to_name(e, names + std::size_t(i) * kSmfsNameSlotBytes);
                     });
}

SmfsResult dir_list_entries(CardState& card, std::uint32_t dirCluster, std::uint32_t first,
                            std::uint32_t count, std::uint8_t* entries, std::uint32_t* delivered) {
    return listValid(card, dirCluster, first, count, delivered,
                     [&](const std::uint8_t* e, std::uint32_t i) {
                         std::memcpy(entries + std::size_t(i) * kDeBytes, e, kDeBytes);
                     });
}

SmfsResult dir_count(CardState& card, std::uint32_t dirCluster, std::uint32_t* count) {
    *count = 0;
    SmfsResult r =
        walkEntries(card, dirCluster, [&](const std::uint8_t* e, std::uint32_t, std::uint32_t) {
            if (e[0] == kEntryFree) return int(kEnd);
            if (e[0] != kEntryDeleted && !dir_is_long_name(e)) ++*count;
            return int(kNext);
        });
    return r == SmfsResult::NotFound ? SmfsResult::Ok : r;
}

namespace {

// Marks deleted the long-name entries of the short entry at slot.
SmfsResult deleteLongNames(CardState& card, std::uint32_t dirCluster, const DirSlot& slot) {
    SmfsResult r = SmfsResult::Ok;
    // Long-name entries sit just before their short entry; each step back stops at the
    // first entry that is not a live long-name entry, so the walk ends even on a loop.
    DirSlot at = slot;
    for (;;) {
        DirSlot prev{};
        DirKey key;
        key.number = at.cluster;
        key.offset = at.offset;
        r = dir_find(card, kFindPrevious, dirCluster, key, &prev);
        if (r == SmfsResult::NotFound) return SmfsResult::Ok;
        if (r != SmfsResult::Ok) return r;
        if (prev.entry[0] == kEntryFree || prev.entry[0] == kEntryDeleted ||
            !dir_is_long_name(prev.entry))
            return SmfsResult::Ok;
        r = writeDeletedMark(card, prev);
        if (r != SmfsResult::Ok) return r;
        at = prev;
    }
}

} // namespace

SmfsResult dir_delete_slot(CardState& card, std::uint32_t dirCluster, const DirSlot& slot) {
    SmfsResult r = writeDeletedMark(card, slot);
    if (r != SmfsResult::Ok) return r;
    return deleteLongNames(card, dirCluster, slot);
}

SmfsResult dir_replace_file(CardState& card, std::uint32_t dirCluster, const DirSlot& slot,
                            const DirEntryRecord& record) {
    const std::uint32_t start = le16(slot.entry + kDeCluster);
    if (fat_is_data_cluster(card, start) && busy(card, start)) return SmfsResult::FileStillOpen;
    DirSlot fresh = slot;
    std::memset(fresh.entry + kNameChars, 0, kDeBytes - kNameChars);
    fresh.entry[kDeAttr] = record.attribute;
    putLe16(fresh.entry + kDeTime, dir_pack_time(record.time));
    putLe16(fresh.entry + kDeDate, dir_pack_date(record.time));
    putLe16(fresh.entry + kDeCluster, static_cast<std::uint16_t>(record.startCluster));
    putLe32(fresh.entry + kDeSize, record.size);
    SmfsResult r = dir_write_entry(card, fresh);
    if (r != SmfsResult::Ok) return r;
    // The new file is on the card: long names that describe the old one, and clusters of the
    // old one that cannot be freed, are left over at worst.
    (void)deleteLongNames(card, dirCluster, slot);
    (void)dir_free_entry_chain(card, slot.entry);
    (void)fat_flush(card);
    return dir_group_note(card, 1, 0);
}

SmfsResult dir_delete_entry(CardState& card, std::uint32_t dirCluster, const char* name) {
    DirSlot slot{};
    DirKey key;
    key.text = name;
    SmfsResult r = dir_find(card, kFindName, dirCluster, key, &slot);
    if (r != SmfsResult::Ok) return r;
    return dir_delete_slot(card, dirCluster, slot);
}

SmfsResult dir_free_entry_chain(CardState& card, const std::uint8_t* entry) {
    const FatVolume* v = nullptr;
    SmfsResult r = mountedVolume(card, &v);
    if (r != SmfsResult::Ok) return r;
    const std::uint32_t start = le16(entry + kDeCluster);
    if (start == kRootCluster) return SmfsResult::Ok;
    if (!fat_is_data_cluster(card, start)) return SmfsResult::BrokenChain;
    // An empty file keeps at most the one cluster this library gives every new file; a
    // longer chain behind an empty file is not trusted to be its own.
    if (!(entry[kDeAttr] & kAttrFolder) && le32(entry + kDeSize) == 0) {
        if (fat_entry(card, start) == kFatEnd) fat_set_entry(card, start, kFatFree);
        return SmfsResult::Ok;
    }
    std::uint32_t c = start;
    // Entries are cleared as the walk goes, so a loop meets a free entry and stops.
    for (std::uint32_t steps = 0; steps <= v->clusterCount; ++steps) {
        const std::uint16_t e = fat_entry(card, c);
        if (e == kFatFree) return SmfsResult::BrokenChain;
        fat_set_entry(card, c, kFatFree);
        if (e == kFatEnd) return SmfsResult::Ok;
        if (!fat_is_data_cluster(card, e)) return SmfsResult::BrokenChain;
        c = e;
    }
    return SmfsResult::BrokenChain;
}

SmfsResult dir_delete_file(CardState& card, std::uint32_t dirCluster, const char* name) {
    DirSlot slot{};
    DirKey key;
    key.text = name;
    SmfsResult r = dir_find(card, kFindName, dirCluster, key, &slot);
    if (r != SmfsResult::Ok) return r;
    return deleteFileAt(card, dirCluster, slot);
}

SmfsResult dir_tree_check_open(CardState& card, std::uint32_t folder) {
    const FatVolume* v = nullptr;
    SmfsResult r = mountedVolume(card, &v);
    if (r != SmfsResult::Ok) return r;
    if (!fat_is_data_cluster(card, folder)) return SmfsResult::InvalidArgument;
    // Every folder starts at a cluster of its own, so a tree naming more folders than the
    // volume has clusters loops or is cross-linked; this also bounds what is pending.
    std::vector<std::uint32_t> pending{folder};
    bool loops = false;
    for (std::uint32_t visited = 0; !pending.empty(); ++visited) {
        const std::uint32_t dir = pending.back();
        pending.pop_back();
        bool open = false;
        r = walkEntries(card, dir, [&](const std::uint8_t* e, std::uint32_t, std::uint32_t) {
            if (e[0] == kEntryFree) return int(kEnd);
            if (!isNamedEntry(e) || e[0] == '.' || (e[kDeAttr] & kAttrVolume)) return int(kNext);
            const std::uint32_t start = le16(e + kDeCluster);
            if (!fat_is_data_cluster(card, start)) return int(kNext);
            if (e[kDeAttr] & kAttrFolder) {
                loops = visited + pending.size() >= v->clusterCount;
                if (loops) return int(kStop);
                pending.push_back(start);
            } else if (busy(card, start)) {
                open = true;
                return int(kStop);
            }
            return int(kNext);
        });
        if (r != SmfsResult::Ok && r != SmfsResult::NotFound) return r;
        if (loops) return SmfsResult::BrokenChain;
        if (open) return SmfsResult::FileStillOpen;
    }
    return SmfsResult::Ok;
}

SmfsResult dir_delete_tree_step(CardState& card, std::uint32_t folder) {
    const FatVolume* v = nullptr;
    SmfsResult r = mountedVolume(card, &v);
    if (r != SmfsResult::Ok) return r;
    if (!fat_is_data_cluster(card, folder)) return SmfsResult::InvalidArgument;

    // Descend to a folder without sub-folders. A tree deeper than the volume has clusters
    // can only be a loop.
    std::uint32_t leaf = folder;
    std::uint32_t parent = 0;
    DirSlot leafSlot{};
    for (std::uint32_t depth = 0;; ++depth) {
        if (depth > v->clusterCount) return SmfsResult::BrokenChain;
        DirSlot sub{};
        DirKey key;
        key.number = 0;
        r = dir_find(card, kFindFolderIndex, leaf, key, &sub);
        if (r == SmfsResult::NotFound) break;
        if (r != SmfsResult::Ok) return r;
        const std::uint32_t next = le16(sub.entry + kDeCluster);
        if (!fat_is_data_cluster(card, next) || next == folder) return SmfsResult::BrokenChain;
        parent = leaf;
        leafSlot = sub;
        leaf = next;
    }

    // Nothing is deleted while a file of the leaf is open: its handles would write into
    // clusters that are free and may be handed out again.
    bool openFile = false;
    r = walkEntries(card, leaf, [&](const std::uint8_t* e, std::uint32_t, std::uint32_t) {
        if (e[0] == kEntryFree) return int(kEnd);
        const std::uint32_t start = le16(e + kDeCluster);
        if (isNamedEntry(e) && e[0] != '.' && fat_is_data_cluster(card, start) &&
            busy(card, start)) {
            openFile = true;
            return int(kStop);
        }
        return int(kNext);
    });
    if (r != SmfsResult::Ok && r != SmfsResult::NotFound) return r;
    if (openFile) return SmfsResult::FileStillOpen;

    SmfsResult failure = SmfsResult::Ok;
    std::uint32_t deleted = 0;
    r = walkSectors(card, leaf, 0,
                    [&](std::uint8_t* sector, std::uint32_t cluster, std::uint32_t offset) {
                        bool changed = false;
                        int w = kNext;
                        for (std::uint32_t at = 0; at < kSectorBytes; at += kDeBytes) {
                            std::uint8_t* e = sector + at;
                            if (e[0] == kEntryFree) {
                                w = kEnd;
                                break;
                            }
                            if (e[0] == '.' || e[0] == kEntryDeleted) continue;
                            if (!dir_is_long_name(e) && !(e[kDeAttr] & kAttrVolume)) {
                                failure = dir_free_entry_chain(card, e);
                                ++deleted;
                            }
                            e[0] = kEntryDeleted;
                            changed = true;
                            if (failure != SmfsResult::Ok) {
                                w = kStop;
                                break;
                            }
                        }
                        if (changed) {
                            SmfsResult wr = dirWrite(card, cluster, offset, sector, kSectorBytes);
                            if (wr != SmfsResult::Ok && failure == SmfsResult::Ok) failure = wr;
                        }
                        return failure != SmfsResult::Ok ? int(kStop) : w;
                    });
    if (failure != SmfsResult::Ok) return failure;
    if (r != SmfsResult::Ok && r != SmfsResult::NotFound) return r;
    r = dir_group_note(card, deleted, 0);
    if (r != SmfsResult::Ok) return r;
    if (leaf == folder) return SmfsResult::TreeDeleted;
    return deleteFileAt(card, parent, leafSlot);
}

// ---- Write groups ----

void dir_group_begin(CardState& card) {
    WriteGroup& group = card.group;
    if (group.depth++ > 0) return;
    group.sectors.clear();
    group.files = 0;
    group.bytes = 0;
    group.lost = false;
    fat_group_open(card, dir_group_commit);
}

SmfsResult dir_group_end(CardState& card) {
    WriteGroup& group = card.group;
    if (group.depth == 0) return SmfsResult::InvalidArgument;
    if (group.depth > 1) {
        --group.depth;
        return SmfsResult::Ok;
    }
    SmfsResult r = dir_group_commit(card);
    group.depth = 0;
    fat_group_close(card);
    if (r == SmfsResult::Ok && group.lost) r = SmfsResult::ImageIo;
    group.lost = false;
    return r;
}

SmfsResult dir_group_commit(CardState& card) {
    WriteGroup& group = card.group;
    if (group.depth == 0) return SmfsResult::Ok;
    group.files = 0;
    group.bytes = 0;
    if (!fat_volume(card)) {
        // Nothing read yet, or the card was dropped after a failed storage call: then what
        // the group held is gone, and the group must not end as done.
        if (group.sectors.empty()) return SmfsResult::Ok;
        group.sectors.clear();
        group.lost = true;
        return SmfsResult::ImageIo;
    }
    SmfsResult r = fat_group_write(card, true);
    // Each folder cluster's changed sectors go out as one range, so each block of a folder
    // is copied once per commit however many of its entries changed.
    auto at = group.sectors.begin();
    while (r == SmfsResult::Ok && at != group.sectors.end()) {
        const std::uint32_t cluster = std::uint32_t(at->first >> 32);
        auto last = at;
        for (auto next = std::next(at);
             next != group.sectors.end() && std::uint32_t(next->first >> 32) == cluster; ++next)
            last = next;
        const std::uint32_t from = std::uint32_t(at->first);
        const std::uint32_t to = std::uint32_t(last->first) + kSectorBytes;
        std::vector<std::uint8_t> range(to - from);
        r = dirRead(card, cluster, from, range.data(), to - from);
        if (r == SmfsResult::EccUncorrectable) r = SmfsResult::Ok;
        if (r == SmfsResult::Ok) r = cluster_write(card, cluster, from, range.data(), to - from);
        at = std::next(last);
    }
    if (r == SmfsResult::Ok) r = fat_group_write(card, false);
    group.sectors.clear();
    if (r != SmfsResult::Ok) {
        // What the card holds is no longer known: read it afresh at the next call.
        group.lost = true;
        fat_invalidate(card);
        return r;
    }
    fat_group_settle(card);
    return SmfsResult::Ok;
}

SmfsResult dir_group_note(CardState& card, std::uint32_t files, std::uint64_t bytes) {
    WriteGroup& group = card.group;
    if (group.depth == 0) return SmfsResult::Ok;
    group.files += files;
    group.bytes += bytes;
    if (group.files < kGroupFiles && group.bytes < kGroupBytes) return SmfsResult::Ok;
    return dir_group_commit(card);
}

void dir_group_forget(CardState& card) {
    WriteGroup& group = card.group;
    if (!group.sectors.empty()) group.lost = true;
    group.sectors.clear();
}

bool dir_group_open(CardState& card) {
    return card.group.depth > 0;
}

DirectDirWrites::DirectDirWrites(CardState& card) : card_(card), was_(card.group.direct) {
    card_.group.direct = true;
}

DirectDirWrites::~DirectDirWrites() {
    card_.group.direct = was_;
}
