// SPDX-License-Identifier: MIT
// The card description and the read-only check of a whole card.
//
// The check runs in two passes. The physical pass reads every block's first spare (status
// and block address field) and every programmed sector with its spare, and compares each
// 256-byte half with its stored ECC on a copy, so nothing is corrected on the card. The
// logical pass mounts the volume the way every other call does, reads the boot records and
// every FAT copy, and walks each chain from the root directory down, giving every cluster
// one owner: a cluster met a second time is a loop (same chain) or a cross-link (another
// chain), which also ends any walk over a looping folder tree. Clusters in use that no walk
// reached are lost. Each problem becomes one SmfsFinding; a kind that repeats very often is
// summarised after its first entries so a ruined card cannot grow the report without bound.
// Alongside the findings the check fills a CardScan (check_scan.h) for the repair, with no
// limit on its count.
#include <smfs/tools.h>

#include "card_state.h"
#include "check_scan.h"
#include "chip.h"
#include "dir.h"
#include "ecc.h"
#include "fat.h"
#include "format.h"
#include "media.h"
#include <common/le_bytes.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <new>
#include <string>

namespace {

constexpr std::uint32_t kZonePhysBlocks = 1024;
constexpr std::uint32_t kZoneLogBlocks = 1000;
// Findings of one kind listed one by one before the rest are counted in a summary line.
constexpr std::size_t kFindingsPerKind = 100;
// A full card path holds at most 255 characters, so no reachable folder lies deeper.
constexpr int kMaxFolderDepth = 128;
constexpr std::uint32_t kFat12Clusters = 4085;

SmfsFinding finding(SmfsFindingKind kind) {
    SmfsFinding f;
    f.kind = kind;
    return f;
}

std::string num(std::uint64_t value) {
    return std::to_string(value);
}

// Collects findings, listing each kind at most kFindingsPerKind times.
class Findings {
public:
    explicit Findings(SmfsCheckReport& report) : report_(report) {}
    ~Findings() {
        for (const auto& [kind, extra] : overflow_) {
            SmfsFinding f = finding(kind);
            f.text = "... and " + num(extra) + " more of kind '" + smfs_finding_name(kind) + "'";
            report_.findings.push_back(std::move(f));
        }
    }
    void add(SmfsFinding finding) {
        std::size_t& n = perKind_[finding.kind];
        if (++n > kFindingsPerKind) {
            ++overflow_[finding.kind];
            return;
        }
        report_.findings.push_back(std::move(finding));
    }
    void add(SmfsFindingKind kind, std::string text) {
        SmfsFinding f = finding(kind);
        f.text = std::move(text);
        add(std::move(f));
    }

private:
    SmfsCheckReport& report_;
    std::map<SmfsFindingKind, std::size_t> perKind_;
    std::map<SmfsFindingKind, std::size_t> overflow_;
};

std::uint64_t imageBytes(CardState& card) {
    std::uint64_t bytes = 0;
    return card.storage->size(&bytes) == SmfsResult::Ok ? bytes : 0;
}

std::uint32_t zoneOf(const CardGeometry& g, std::uint32_t physBlock) {
    return g.physBlocks < kZonePhysBlocks ? 0 : physBlock / kZonePhysBlocks;
}

// ---- Physical pass ----

struct PhysicalResult {
    std::vector<std::uint32_t> cisBlocks;
};

// Adds a finding per damaged half and marks the block as fixable or uncorrectable.
void checkSectorEcc(std::uint32_t physBlock, std::uint32_t sector, const std::uint8_t* data,
                    const std::uint8_t* spare, Findings& out, BlockScan& scan) {
    struct Half {
        const std::uint8_t* data;
        const std::uint8_t* ecc;
        const char* name;
    };
    const Half halves[2] = {{data, spare + kSpareEccLow, "first"},
                            {data + 256, spare + kSpareEccHigh, "second"}};
    for (const Half& h : halves) {
        std::uint8_t computed[3];
        ecc_compute(h.data, computed);
        if (std::memcmp(computed, h.ecc, 3) == 0) continue;
        // Correct a copy: the check never changes what the card holds.
        std::array<std::uint8_t, 256> copy;
        std::memcpy(copy.data(), h.data, copy.size());
        SmfsFinding f = finding(SmfsFindingKind::EccCorrected);
        f.physBlock = physBlock;
        f.sector = sector;
        const std::string where = "physical block " + num(physBlock) + " sector " + num(sector) +
                                  " (" + h.name + " half)";
        if (ecc_check(copy.data(), h.ecc) != SmfsResult::Ok) {
            f.kind = SmfsFindingKind::EccUncorrectable;
            f.text = where + ": uncorrectable ECC error";
            scan.uncorrectable = true;
        } else if (std::memcmp(copy.data(), h.data, copy.size()) != 0) {
            std::size_t byte = 0;
            while (copy[byte] == h.data[byte])
                ++byte;
            f.text = where + ": one flipped data bit in byte " + num(byte) + ", corrected by ECC";
        } else {
            f.kind = SmfsFindingKind::EccCodeDamaged;
            f.text = where + ": the stored ECC is damaged, the data is intact";
        }
        if (f.kind != SmfsFindingKind::EccUncorrectable) scan.fixableSectors = true;
        out.add(std::move(f));
    }
}

// The logical block a block address field names in physBlock's zone, or -1.
std::int64_t fieldLogBlock(const CardGeometry& g, std::uint32_t physBlock, std::uint16_t field) {
    if (!block_address_field_valid(field)) return -1;
    const std::uint32_t number = block_address_field_number(field);
    const std::uint64_t logBlock = std::uint64_t(zoneOf(g, physBlock)) * kZoneLogBlocks + number;
    if (number >= kZoneLogBlocks || logBlock >= g.logBlocks) return -1;
    return std::int64_t(logBlock);
}

SmfsResult physicalPass(CardState& card, const CardGeometry& g, SmfsCheckReport& report,
                        Findings& out, PhysicalResult& result, CardScan& scan) {
    std::vector<std::vector<std::uint32_t>> claims(g.logBlocks);
    scan.blocks.assign(g.physBlocks, BlockScan{});
    std::array<std::uint8_t, kSectorBytes> data;
    std::array<std::uint8_t, kSpareBytes> spare;
    for (std::uint32_t b = 0; b < g.physBlocks; ++b) {
        const std::uint32_t first = b * g.sectorsPerBlock;
        SmfsResult r = smc_read_sector_spare(card, first, spare.data());
        if (r != SmfsResult::Ok) return r;
        if (block_status_unusable(spare[kSpareBlockStatus])) continue;
        // The field as the block map reads it; a damaged copy it passed over is reported
        // with the sector that carries it.
        std::uint16_t field = 0;
        r = media_block_field(card, b, spare.data(), &field);
        if (r != SmfsResult::Ok) return r;
        if (field == kPhysFree) continue;
        BlockScan& block = scan.blocks[b];
        block.kind = BlockScan::Kind::Invalid;
        if (field == kFieldCis) {
            block.kind = BlockScan::Kind::Cis;
            result.cisBlocks.push_back(b);
        } else if (!block_address_field_valid(field)) {
            SmfsFinding f = finding(SmfsFindingKind::AddressFieldParity);
            f.physBlock = b;
            f.text = "physical block " + num(b) + ": block address field " + num(field) +
                     " has bad parity; the block is ignored";
            out.add(std::move(f));
        } else {
            const std::uint32_t number = block_address_field_number(field);
            const std::uint64_t logBlock = std::uint64_t(zoneOf(g, b)) * kZoneLogBlocks + number;
            if (number >= kZoneLogBlocks || logBlock >= g.logBlocks) {
                SmfsFinding f = finding(SmfsFindingKind::AddressOutOfRange);
                f.physBlock = b;
                f.text = "physical block " + num(b) + ": logical block " + num(logBlock) +
                         " lies beyond the card's " + num(g.logBlocks) + " logical blocks";
                out.add(std::move(f));
            } else {
                claims[std::size_t(logBlock)].push_back(b);
                block.kind = BlockScan::Kind::Claim;
                block.logBlock = std::uint32_t(logBlock);
            }
        }
        for (std::uint32_t s = first; s < first + g.sectorsPerBlock; ++s) {
            r = smc_read_sector(card, s, data.data(), spare.data());
            if (r != SmfsResult::Ok) return r;
            if (spare_is_blank(spare.data())) continue;
            ++report.sectorsChecked;
            checkSectorEcc(b, s, data.data(), spare.data(), out, block);
            // Every sector of a data block carries the block's field twice; a sector that
            // does not was written for another block or torn while it was programmed.
            const auto copy1 = std::uint16_t(spare[kSpareAddr1] << 8 | spare[kSpareAddr1 + 1]);
            const auto copy2 = std::uint16_t(spare[kSpareAddr2] << 8 | spare[kSpareAddr2 + 1]);
            if (block.kind == BlockScan::Kind::Invalid && block.sectorClaim < 0) {
                const std::int64_t named = fieldLogBlock(g, b, copy1);
                block.sectorClaim = named >= 0 ? named : fieldLogBlock(g, b, copy2);
            }
            if (field != kFieldCis && (copy1 != field || copy2 != field)) {
                block.fixableSectors = true;
                SmfsFinding f = finding(SmfsFindingKind::AddressFieldsDiffer);
                f.physBlock = b;
                f.sector = s;
                f.text = "physical block " + num(b) + " sector " + num(s) +
                         ": block address fields " + num(copy1) + " and " + num(copy2) +
                         " differ from the block's " + num(field);
                out.add(std::move(f));
            }
        }
    }
    for (std::size_t l = 0; l < claims.size(); ++l) {
        if (claims[l].size() < 2) continue;
        std::string blocks;
        for (std::uint32_t b : claims[l])
            blocks += (blocks.empty() ? "" : ", ") + num(b);
        // The block map decides which claim the library reads; the others are stale.
        const std::uint32_t used = media_logical_entry(card, std::uint32_t(l));
        SmfsFinding f = finding(SmfsFindingKind::DuplicateBlock);
        f.physBlock = used;
        f.text = "logical block " + num(l) + " is claimed by physical blocks " + blocks +
                 "; block " + num(used) + " is used";
        out.add(std::move(f));
    }
    return SmfsResult::Ok;
}

void checkCis(CardState& card, const CardGeometry& g, const PhysicalResult& physical,
              Findings& out) {
    if (physical.cisBlocks.empty()) {
        out.add(SmfsFindingKind::CisMissing, "no block holds the card information structure");
        return;
    }
    const std::uint32_t b = physical.cisBlocks.front();
    std::array<std::uint8_t, kSectorBytes> data;
    if (smc_read_sector_data(card, b * g.sectorsPerBlock, data.data()) != SmfsResult::Ok ||
        std::memcmp(data.data(), kCis, sizeof kCis) != 0) {
        SmfsFinding f = finding(SmfsFindingKind::CisDamaged);
        f.physBlock = b;
        f.text = "physical block " + num(b) + ": the card information structure is damaged";
        out.add(std::move(f));
    }
}

// ---- Logical pass ----

// Why the volume could not be mounted, in the words of a finding.
void explainMountFailure(CardState& card, SmfsResult mount, const CardGeometry& g, Findings& out) {
    std::array<std::uint8_t, kSectorBytes> sector{};
    const SmfsResult read = media_read_sector(card, 0, 0, sector.data(), kSectorBytes);
    switch (mount) {
    case SmfsResult::BadMbr: {
        std::string why = "bad signature";
        if (read == SmfsResult::Ok && sector[kMbrSignature] == 0x55 &&
            sector[kMbrSignature + 1] == 0xAA)
            why = "partition starts at sector " + num(le32(sector.data() + kMbrFirstSector)) +
                  ", beyond the card's " + num(g.totalSectors) + " sectors";
        out.add(SmfsFindingKind::MbrInvalid, "master boot record not valid: " + why);
        break;
    }
    case SmfsResult::BadBootSector:
        out.add(SmfsFindingKind::BootSectorInvalid,
                "boot sector not valid (signature, sector size, cluster size, FAT count, root "
                "entries, media byte, type or layout)");
        break;
    case SmfsResult::NoValidFat:
        out.add(SmfsFindingKind::FatInvalid, "no FAT copy begins with the media bytes F8 FF FF");
        break;
    case SmfsResult::Internal:
        out.add(SmfsFindingKind::FatUnreadable, "the FAT cannot be read");
        break;
    default:
        out.add(SmfsFindingKind::BootSectorInvalid,
                std::string("the boot records cannot be read: ") + smfs_result_text(mount));
        break;
    }
}

// One FAT copy's raw entries (12 or 16 bits, not widened); false when a sector lies in an
// unmapped block.
bool readFatCopy(CardState& card, const FatVolume& v, std::uint32_t copy,
                 std::vector<std::uint16_t>& entries) {
    std::vector<std::uint8_t> bytes(std::size_t(v.fatSectors) * kSectorBytes + 1, 0);
    const std::uint32_t start = v.fatStart + copy * v.fatSectors;
    for (std::uint32_t s = 0; s < v.fatSectors; ++s) {
        const SmfsResult r =
            media_read_sector(card, start + s, 0, bytes.data() + s * kSectorBytes, kSectorBytes);
        if (r != SmfsResult::Ok && r != SmfsResult::EccUncorrectable) return false;
    }
    const std::uint32_t count = v.clusterCount + 2;
    const bool fat12 = v.fatType == FatType::Fat12;
    entries.assign(count, 0);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t at = fat12 ? std::size_t(i) * 3 / 2 : std::size_t(i) * 2;
        if (at + 1 >= bytes.size()) break;
        const std::uint8_t* p = bytes.data() + at;
        entries[i] = fat12 ? ((i & 1) ? std::uint16_t((p[0] >> 4) | (p[1] << 4))
                                      : std::uint16_t(p[0] | ((p[1] & 0x0F) << 8)))
                           : le16(p);
    }
    return true;
}

void compareFats(CardState& card, const FatVolume& v, Findings& out) {
    std::vector<std::vector<std::uint16_t>> copies(v.fatCount);
    for (std::uint32_t k = 0; k < v.fatCount; ++k) {
        if (!readFatCopy(card, v, k, copies[k])) {
            SmfsFinding f = finding(SmfsFindingKind::FatUnreadable);
            f.sector = v.fatStart + k * v.fatSectors;
            f.text = "FAT copy " + num(k + 1) + " lies partly in blocks that are not mapped";
            out.add(std::move(f));
            return;
        }
    }
    for (std::uint32_t k = 1; k < v.fatCount; ++k) {
        std::uint32_t differing = 0;
        std::int64_t first = -1;
        for (std::size_t i = 0; i < copies[0].size(); ++i) {
            if (copies[0][i] == copies[k][i]) continue;
            if (first < 0) first = std::int64_t(i);
            ++differing;
        }
        if (differing == 0) continue;
        SmfsFinding f = finding(SmfsFindingKind::FatCopiesDiffer);
        f.cluster = first;
        f.text = "FAT copies 1 and " + num(k + 1) + " differ in " + num(differing) +
                 " entries (first at cluster " + num(std::uint64_t(first)) + ")";
        out.add(std::move(f));
    }
}

class TreeWalk {
public:
    TreeWalk(CardState& card, const FatVolume& v, SmfsCheckReport& report, Findings& out,
             CardScan& scan)
        : card_(card), v_(v), report_(report), out_(out), scan_(scan),
          owner_(v.clusterCount + 2, -1) {}

    void run() {
        walkFolder(kRootCluster, kRootCluster, "vx:\\", {}, nullptr, 0);
        // Damaged entries come last, so that a garbage chain never takes a cluster from a
        // sound file's chain by being met first.
        while (!damaged_.empty()) {
            auto batch = std::move(damaged_);
            damaged_.clear();
            for (const Damaged& d : batch)
                walkDamaged(d);
        }
        findLost();
    }

private:
    CardState& card_;
    struct Entry {
        EntryPlace place;
        std::uint32_t slot = 0; // position in its folder
        const std::uint8_t* bytes() const { return place.bytes.data(); }
    };
    // An entry with a bad name or impossible fields, walked after the sound ones. place
    // holds the entry as mended; fix is its index in scan_.entries.
    struct Damaged {
        Entry entry;
        std::size_t fix = 0;
        std::uint32_t parent = 0;
        std::string path;
        int depth = 0;
    };
    std::vector<Damaged> damaged_;

    bool dataCluster(std::uint32_t c) const { return c >= kFirstCluster && c < owner_.size(); }
    std::uint64_t clusterBytes() const {
        return std::uint64_t(v_.sectorsPerCluster) * kSectorBytes;
    }

    std::string ownerPath(std::int32_t id) const {
        return id >= 0 && std::size_t(id) < paths_.size() ? paths_[std::size_t(id)] : "?";
    }

    void add(SmfsFindingKind kind, std::int64_t cluster, const std::string& path,
             std::string text) {
        if (quiet_) return;
        SmfsFinding f = finding(kind);
        f.cluster = cluster;
        f.path = path;
        f.text = path + ": " + text;
        out_.add(std::move(f));
    }

    // Walks a chain, claiming its clusters into *clusters; false when it ended on a problem
    // (reported), with *clusters holding the part of the chain that is sound.
    bool walkChain(std::uint32_t start, const std::string& path,
                   std::vector<std::uint32_t>* clusters, bool quiet = false) {
        const auto id = std::int32_t(paths_.size());
        paths_.push_back(path);
        quiet_ = quiet;
        std::uint32_t c = start;
        if (!dataCluster(c)) {
            add(SmfsFindingKind::StartClusterInvalid, c, path,
                "first cluster " + num(c) + " lies outside the data area");
            return false;
        }
        // Every step claims a cluster nobody owned, so the walk ends within the cluster count.
        while (true) {
            if (owner_[c] == id) {
                add(SmfsFindingKind::ChainLoop, c, path, "chain loops back to cluster " + num(c));
                return false;
            }
            if (owner_[c] >= 0) {
                add(SmfsFindingKind::CrossLinked, c, path,
                    "chain is cross-linked with " + ownerPath(owner_[c]) + " at cluster " + num(c));
                return false;
            }
            owner_[c] = id;
            clusters->push_back(c);
            const std::uint16_t next = fat_entry(card_, c);
            if (next == kFatEnd) return true;
            if (next == kFatFree) {
                add(SmfsFindingKind::ChainFreeCluster, c, path,
                    "first cluster " + num(c) + " is marked free");
                return false;
            }
            if (next == kFatBad) {
                add(SmfsFindingKind::ChainBadCluster, c, path,
                    "chain runs from cluster " + num(c) + " into a cluster marked bad");
                return false;
            }
            if (!dataCluster(next)) {
                add(SmfsFindingKind::ChainInvalidEntry, c, path,
                    "FAT entry of cluster " + num(c) + " holds " + num(next) +
                        ", no cluster of the volume");
                return false;
            }
            if (fat_entry(card_, next) == kFatFree) {
                add(SmfsFindingKind::ChainFreeCluster, c, path,
                    "cluster " + num(c) + " points at free cluster " + num(next));
                return false;
            }
            c = next;
        }
    }

    // Records how an entry's chain is mended: keep clusters of it, ending it there when
    // cut, and the size a file must then hold.
    void planChain(const Entry& e, bool folder, const std::vector<std::uint32_t>& clusters,
                   std::uint32_t keep, bool cut, std::uint32_t size) {
        ChainFix fix;
        fix.entry = e.place;
        fix.folder = folder;
        fix.keep = keep;
        fix.cut = cut && keep > 0;
        fix.lastKept = keep > 0 ? clusters[keep - 1] : 0;
        fix.size = size;
        scan_.chains.push_back(fix);
    }

    void checkFile(const Entry& entry, const std::string& path) {
        ++report_.filesChecked;
        const std::uint8_t* e = entry.bytes();
        const std::uint32_t start = le16(e + kDeCluster);
        const std::uint32_t size = le32(e + kDeSize);
        const std::uint64_t need = (size + clusterBytes() - 1) / clusterBytes();
        if (start == 0) {
            if (size != 0) {
                add(SmfsFindingKind::ChainTooShort, 0, path,
                    "size " + num(size) + " bytes but no cluster");
                planChain(entry, false, {}, 0, false, 0);
            }
            return;
        }
        std::vector<std::uint32_t> clusters;
        const bool whole = walkChain(start, path, &clusters) || takeBack(clusters, start, need);
        const auto length = std::uint32_t(clusters.size());
        // An empty file names no cluster: a chain left on it (power lost while it was
        // written) goes, as every FAT checker would free it.
        const auto keep = std::uint32_t(std::min<std::uint64_t>(length, need));
        const auto fits = std::uint32_t(std::min<std::uint64_t>(size, keep * clusterBytes()));
        if (!whole) {
            planChain(entry, false, clusters, keep, true, fits);
            return;
        }
        if (length < need) {
            add(SmfsFindingKind::ChainTooShort, start, path,
                "size " + num(size) + " bytes needs " + num(need) + " clusters, chain has " +
                    num(length));
            planChain(entry, false, clusters, keep, false, fits);
            shortChains_.push_back(ShortChain{std::int32_t(paths_.size() - 1),
                                              scan_.chains.size() - 1, clusters, size});
        } else if (length > need) {
            add(SmfsFindingKind::ChainTooLong, start, path,
                "size " + num(size) + " bytes needs " + num(need) + " clusters, chain has " +
                    num(length));
            planChain(entry, false, clusters, keep, true, size);
        }
    }

    // A file's chain that ran into the chain of a file too short for its size, at a cluster
    // from which that chain holds exactly the clusters this one still needs, takes them: of
    // the two links into that cluster, the one in the chain that does not fit its file is
    // the damaged one. The other file is cut before it. True when the chain is whole now.
    bool takeBack(std::vector<std::uint32_t>& clusters, std::uint32_t start, std::uint64_t need) {
        const std::uint32_t at = clusters.empty() ? start : fat_entry(card_, clusters.back());
        if (!dataCluster(at)) return false;
        const auto other = std::find_if(shortChains_.begin(), shortChains_.end(),
                                        [&](const ShortChain& s) { return s.id == owner_[at]; });
        if (other == shortChains_.end()) return false;
        const auto from =
            std::size_t(std::find(other->clusters.begin(), other->clusters.end(), at) -
                        other->clusters.begin());
        // Its first cluster is its entry's own: that link is no FAT entry the damage wrote.
        if (from == 0 || clusters.size() + (other->clusters.size() - from) != need) return false;
        const auto id = std::int32_t(paths_.size() - 1);
        for (std::size_t i = from; i < other->clusters.size(); ++i) {
            owner_[other->clusters[i]] = id;
            clusters.push_back(other->clusters[i]);
        }
        other->clusters.resize(from);
        ChainFix& fix = scan_.chains[other->fix];
        fix.keep = std::uint32_t(from);
        fix.cut = true;
        fix.lastKept = other->clusters.back();
        fix.size = std::uint32_t(std::min<std::uint64_t>(other->size, from * clusterBytes()));
        return true;
    }

    // Reads the entries of a folder's clusters (the root region for cluster 0) up to its end
    // marker, and reports bytes after the marker that are not zero: they are no entries
    // now, but would become entries once the marker's slot is used.
    // A folder cluster in a logical block that was never written holds no entries: the
    // folder's chain can end before it (self is the folder's own entry, nullptr for the root).
    std::vector<Entry> readEntries(const std::vector<std::uint32_t>& clusters, bool root,
                                   const std::string& path, const Entry* self) {
        std::vector<Entry> entries;
        const std::uint32_t sectorsEach = root ? v_.rootSectors : v_.sectorsPerCluster;
        std::array<std::uint8_t, kSectorBytes> sector;
        bool ended = false;
        bool tail = false;
        for (std::uint32_t c : clusters) {
            for (std::uint32_t s = 0; s < sectorsEach; ++s) {
                const SmfsResult r =
                    cluster_read(card_, c, s * kSectorBytes, sector.data(), kSectorBytes);
                if (r != SmfsResult::Ok && r != SmfsResult::EccUncorrectable) {
                    // Past the end marker an unwritten cluster holds nothing to report.
                    if (ended) continue;
                    add(SmfsFindingKind::DirectoryBroken, c, path,
                        std::string("folder cluster cannot be read: ") + smfs_result_text(r));
                    if (self && r == SmfsResult::BlockNotMapped) {
                        const auto keep = std::uint32_t(
                            std::find(clusters.begin(), clusters.end(), c) - clusters.begin());
                        planChain(*self, true, clusters, keep, true, 0);
                        scan_.chains.back().unwritten = true;
                    }
                    return entries;
                }
                std::uint32_t off = 0;
                bool endsHere = false;
                for (; !ended && off < kSectorBytes; off += kDeBytes) {
                    if (sector[off] == kEntryFree) {
                        ended = endsHere = true;
                        break;
                    }
                    Entry e;
                    e.place.cluster = c;
                    e.place.offsetBytes = s * kSectorBytes + off;
                    e.slot = std::uint32_t(entries.size());
                    std::memcpy(e.place.bytes.data(), sector.data() + off, kDeBytes);
                    entries.push_back(e);
                }
                if (!ended) continue;
                // The marker's own slot is written whole when it is used.
                if (endsHere) off += kDeBytes;
                if (std::all_of(sector.begin() + off, sector.end(),
                                [](std::uint8_t b) { return b == 0; }))
                    continue;
                tail = true;
                scan_.tails.push_back(TailFix{c, s * kSectorBytes + off, kSectorBytes - off});
            }
        }
        if (tail)
            add(SmfsFindingKind::BytesAfterEnd, -1, path,
                "bytes that are not zero after the end marker in slot " + num(entries.size()));
        return entries;
    }

    static constexpr std::size_t kNoFix = ~std::size_t(0);

    // True when a cluster begins with a folder's "." or ".." entry.
    bool startsFolder(std::uint32_t cluster) {
        std::uint8_t first[2 * kDeBytes];
        const SmfsResult r = cluster_read(card_, cluster, 0, first, sizeof first);
        // A cluster in a block never written is the chain's problem, reported elsewhere.
        if (r == SmfsResult::BlockNotMapped) return true;
        // One of the two may be damaged; file data holds neither.
        return (r == SmfsResult::Ok || r == SmfsResult::EccUncorrectable) &&
               (isDot(first, false) || isDot(first + kDeBytes, true));
    }

    static bool isDot(const std::uint8_t* e, bool twice) {
        static const char kDot[] = ".          ";
        static const char kDotDot[] = "..         ";
        return std::memcmp(e, twice ? kDotDot : kDot, kNameChars) == 0;
    }

    // The stored name as it reads, with bytes that do not print as '?'.
    static std::string shownName(const std::uint8_t* e) {
        std::string text;
        for (std::size_t i = 0; i < kNameChars; ++i) {
            if (i == 8) text += '.';
            text += e[i] < 0x20 || e[i] == 0x7F ? '?' : char(e[i]);
        }
        return "\"" + text + "\"";
    }

    // True when the library would store the name just as it stands.
    static bool nameFits(const std::uint8_t* e) {
        char name[13];
        entry_to_name(e, name);
        std::uint8_t again[kNameChars];
        return name_is_valid(name, std::strlen(name)) && !isDot(e, false) && !isDot(e, true) &&
               name_to_entry(name, again) == 0 && std::memcmp(again, e, kNameChars) == 0;
    }

    // A name for an entry whose name is bad: its characters upper-cased, each one a card
    // name cannot hold (and a space inside it) turned into '_'; when that name is taken in
    // the folder, FIX00000 to FIX99999 with the mended extension.
    static std::array<std::uint8_t, kNameChars>
    mendedName(const std::uint8_t* e,
               const std::vector<std::array<std::uint8_t, kNameChars>>& taken) {
        std::array<std::uint8_t, kNameChars> name;
        name.fill(' ');
        auto part = [&](std::size_t from, std::size_t chars, bool required) {
            std::size_t used = chars;
            while (used > 0 && e[from + used - 1] == ' ')
                --used;
            for (std::size_t i = 0; i < used; ++i) {
                auto c = e[from + i];
                if (c >= 'a' && c <= 'z') c = std::uint8_t(c - 'a' + 'A');
                if (c < 0x20 || c == 0x7F || std::strchr(" \"*+,./:;<=>?[\\]|", c)) c = '_';
                name[from + i] = c;
            }
            if (used == 0 && required) name[from] = '_';
        };
        part(0, 8, true);
        part(8, 3, false);
        if (name[0] == kEntryDeleted) name[0] = 0x05;
        auto free = [&](const std::array<std::uint8_t, kNameChars>& n) {
            return std::find(taken.begin(), taken.end(), n) == taken.end();
        };
        if (free(name)) return name;
        for (std::uint32_t n = 0; n < 100000; ++n) {
            const std::string text =
                "FIX" + std::string(5 - std::min<std::size_t>(5, num(n).size()), '0') + num(n);
            std::memcpy(name.data(), text.data(), 8);
            if (free(name)) break;
        }
        return name;
    }

    static bool timeDecodes(std::uint16_t t) {
        return (t & 31) < 30 && ((t >> 5) & 63) < 60 && (t >> 11) < 24;
    }
    static bool dateDecodes(std::uint16_t d) {
        const unsigned month = (d >> 5) & 15;
        return d == 0 || (month >= 1 && month <= 12 && (d & 31) != 0);
    }

    // The volume label: a root entry with the label bit and nothing of a file's. The bit on
    // any other entry is damage; skipping such an entry would leave its clusters to be freed
    // as lost while it still names them.
    static bool isLabel(const std::uint8_t* e, bool root) {
        return root && (e[kDeAttr] & (kAttrVolume | kAttrFolder)) == kAttrVolume &&
               le16(e + kDeCluster) == 0 && le32(e + kDeSize) == 0;
    }

    // Whether the entry in slot 0 (dotdot: 1) of a folder is its "." (".."), damaged: found
    // as a long-name piece, under a name the card never writes (a deleted entry's first byte
    // is none either) or as a folder entry of the dot's own cluster under another name.
    static bool damagedDot(const std::uint8_t* e, bool dotdot, std::uint32_t want) {
        return dir_is_long_name(e) ||
               (!isDot(e, dotdot) &&
                (!nameFits(e) || ((e[kDeAttr] & kAttrFolder) && le16(e + kDeCluster) == want)));
    }

    // Clears the fields of e that no entry may hold; returns what was wrong ("" for none).
    static std::string mendFields(std::uint8_t* e) {
        std::string wrong;
        auto note = [&](const std::string& what) { wrong += (wrong.empty() ? "" : ", ") + what; };
        // Only an entry that is no label comes here with the label bit.
        if (e[kDeAttr] & kAttrVolume) {
            note("volume label bit");
            e[kDeAttr] &= std::uint8_t(~kAttrVolume);
        }
        constexpr std::uint8_t kReservedAttr = 0xC0;
        if (e[kDeAttr] & kReservedAttr) {
            note("reserved attribute bits " + num(e[kDeAttr] & kReservedAttr));
            e[kDeAttr] &= std::uint8_t(~kReservedAttr);
        }
        // Byte 12 holds only the two lower-case flags some systems set.
        constexpr std::size_t kDeCase = 12;
        if (e[kDeCase] & ~0x18) {
            note("reserved byte 12 is " + num(e[kDeCase]));
            e[kDeCase] &= 0x18;
        }
        constexpr std::size_t kDeCreateFine = 13, kDeCreateTime = 14, kDeCreateDate = 16,
                              kDeAccessDate = 18;
        if (e[kDeCreateFine] >= 200) {
            note("creation time hundredths " + num(e[kDeCreateFine]));
            e[kDeCreateFine] = 0;
        }
        for (std::size_t at : {kDeTime, kDeCreateTime}) {
            if (timeDecodes(le16(e + at))) continue;
            note("time field " + num(le16(e + at)) + " does not decode");
            putLe16(e + at, 0);
        }
        for (std::size_t at : {kDeDate, kDeCreateDate, kDeAccessDate}) {
            if (dateDecodes(le16(e + at))) continue;
            note("date field " + num(le16(e + at)) + " does not decode");
            putLe16(e + at, 0);
        }
        if ((e[kDeAttr] & kAttrFolder) && le32(e + kDeSize) != 0) {
            note("folder with size " + num(le32(e + kDeSize)));
            putLe32(e + kDeSize, 0);
        }
        return wrong;
    }

    void walkFolder(std::uint32_t cluster, std::uint32_t parent, const std::string& path,
                    std::vector<std::uint32_t> clusters, const Entry* self, int depth) {
        ++report_.foldersChecked;
        const bool root = cluster == kRootCluster;
        if (root) clusters = {kRootCluster};
        const auto entries = readEntries(clusters, root, path, self);
        std::vector<std::array<std::uint8_t, kNameChars>> taken;
        for (const Entry& entry : entries) {
            std::array<std::uint8_t, kNameChars> name;
            std::memcpy(name.data(), entry.bytes(), kNameChars);
            taken.push_back(name);
        }
        std::uint32_t live = 0;
        std::uint32_t damaged = 0;
        const std::string where = path + (root ? "" : "\\");
        for (const Entry& entry : entries) {
            const std::uint8_t* e = entry.bytes();
            const std::string at = where + " slot " + num(entry.slot);
            const std::uint32_t start = le16(e + kDeCluster);
            // Slots 0 and 1 of a folder hold "." and "..": a damaged one is written again.
            const bool secondSlot = entry.slot == 1;
            const std::uint32_t dotCluster = secondSlot ? parent : cluster;
            if (!root && entry.slot < 2 && damagedDot(e, secondSlot, dotCluster)) {
                ++live;
                const std::string dot = secondSlot ? "\"..\"" : "\".\"";
                Entry mended = entry;
                std::uint8_t* m = mended.place.bytes.data();
                std::memcpy(m, secondSlot ? "..         " : ".          ", kNameChars);
                m[kDeAttr] = kAttrFolder;
                putLe16(m + kDeCluster, std::uint16_t(dotCluster));
                putLe32(m + kDeSize, 0);
                m[12] = 0;
                (void)mendFields(m);
                add(SmfsFindingKind::BadFields, -1, at, "damaged " + dot + " entry");
                scan_.entries.push_back(EntryFix{entry.place, mended.place.bytes, false,
                                                 at + ": " + dot + " entry written again"});
                continue;
            }
            // A long-name piece's attribute is 0x0F and nothing more; more bits on it are a
            // file's attribute byte that was damaged (other checkers take it for a folder).
            const bool strayAttribute = dir_is_long_name(e) && e[kDeAttr] != kAttrLongName;
            if (e[0] == kEntryDeleted || (dir_is_long_name(e) && !strayAttribute) ||
                isLabel(e, root))
                continue;
            ++live;
            if (isDot(e, false) || isDot(e, true)) {
                const bool dotdot = isDot(e, true);
                if (root || entry.slot != (dotdot ? 1u : 0u)) {
                    ++damaged;
                    add(SmfsFindingKind::BadFields, -1, at,
                        std::string(dotdot ? "\"..\"" : "\".\"") + " where it does not belong");
                    EntryFix fix{entry.place, entry.place.bytes, true,
                                 at + ": misplaced \"" + std::string(dotdot ? ".." : ".") +
                                     "\" deleted"};
                    scan_.entries.push_back(fix);
                    continue;
                }
                const std::uint32_t want = dotdot ? parent : cluster;
                // Byte 12 of a dot entry holds no flags at all, and an attribute without the
                // folder bit is damaged.
                std::array<std::uint8_t, kDeBytes> mended = entry.place.bytes;
                mended[12] = 0;
                if (!(e[kDeAttr] & kAttrFolder)) mended[kDeAttr] = kAttrFolder;
                std::string wrong = e[kDeAttr] & kAttrFolder
                                        ? ""
                                        : "attribute " + num(e[kDeAttr]) + " is no folder's";
                if (const std::string fields = mendFields(mended.data()); !fields.empty())
                    wrong += (wrong.empty() ? "" : ", ") + fields;
                if (mended != entry.place.bytes) {
                    add(SmfsFindingKind::BadFields, -1, at,
                        "impossible fields: " +
                            (wrong.empty() ? "byte 12 is " + num(e[12]) : wrong));
                    scan_.entries.push_back(
                        EntryFix{entry.place, mended, false, at + ": fields cleared"});
                }
                if (start != want) {
                    add(SmfsFindingKind::DirectoryBroken, cluster, path,
                        std::string(dotdot ? "\"..\"" : "\".\"") + " names cluster " + num(start) +
                            " instead of " + num(want));
                    scan_.dots.push_back(DotFix{entry.place, want});
                }
                continue;
            }
            Entry mended = entry;
            std::uint8_t* m = mended.place.bytes.data();
            std::string what;
            if (strayAttribute) {
                add(SmfsFindingKind::BadFields, -1, at,
                    "attribute " + num(e[kDeAttr]) + " is neither a file's nor a long name's");
                m[kDeAttr] = kAttrArchive;
                what = "attribute " + num(e[kDeAttr]) + " made a file's";
            }
            if (!nameFits(e)) {
                const auto name = mendedName(e, taken);
                std::memcpy(m, name.data(), kNameChars);
                taken.push_back(name);
                char shown[13];
                entry_to_name(m, shown);
                add(SmfsFindingKind::BadName, -1, at,
                    "name " + shownName(e) + " is no valid 8.3 name");
                what = "renamed " + shownName(e) + " to " + shown;
            }
            const std::string wrong = mendFields(m);
            if (!wrong.empty()) {
                add(SmfsFindingKind::BadFields, -1, at, "impossible fields: " + wrong);
                what += std::string(what.empty() ? "" : ", ") + "cleared " + wrong;
            }
            char name[13];
            entry_to_name(m, name);
            const std::string child = where + name;
            if (!what.empty()) {
                ++damaged;
                scan_.entries.push_back(
                    EntryFix{entry.place, mended.place.bytes, false, at + ": " + what});
                damaged_.push_back(
                    Damaged{mended, scan_.entries.size() - 1, cluster, child, depth});
                continue;
            }
            walkEntry(entry, cluster, child, depth);
        }
        // A folder of mostly damaged entries is likely no folder's data at all.
        if (live >= 4 && damaged * 2 > live)
            add(SmfsFindingKind::GarbageFolder, -1, path,
                num(damaged) + " of its " + num(live) + " entries are damaged");
    }

    // Checks a sound entry's chain, and walks into it when it is a folder.
    void walkEntry(const Entry& entry, std::uint32_t folder, const std::string& child, int depth,
                   std::size_t fixIndex = kNoFix) {
        const std::uint8_t* e = entry.bytes();
        const std::uint32_t start = le16(e + kDeCluster);
        if (!(e[kDeAttr] & kAttrFolder)) {
            checkFile(entry, child);
            return;
        }
        if (depth + 1 >= kMaxFolderDepth) {
            add(SmfsFindingKind::TooDeep, start, child, "folders nested too deep to walk");
            return;
        }
        std::vector<std::uint32_t> childClusters;
        if (!walkChain(start, child, &childClusters)) {
            const auto keep = std::uint32_t(childClusters.size());
            planChain(entry, true, childClusters, keep, true, 0);
            // Only a chain that started inside this folder tree is worth walking.
            if (childClusters.empty()) return;
        } else if (!startsFolder(start)) {
            // Walking file data as a folder would "mend" its bytes as entries.
            Entry asFile = entry;
            asFile.place.bytes[kDeAttr] &= std::uint8_t(~kAttrFolder);
            const std::string what = "folder attribute cleared: its first cluster holds no "
                                     "\".\" and \"..\"";
            if (fixIndex == kNoFix) {
                scan_.entries.push_back(
                    EntryFix{entry.place, asFile.place.bytes, false, child + ": " + what});
            } else {
                scan_.entries[fixIndex].mended = asFile.place.bytes;
                scan_.entries[fixIndex].what += ", " + what;
            }
            add(SmfsFindingKind::BadFields, start, child,
                "a folder whose first cluster holds no \".\" and \"..\"");
            return;
        }
        walkFolder(start, folder, child, childClusters, &entry, depth + 1);
    }

    // A damaged entry whose first cluster and size make sense is mended and checked like a
    // sound one; otherwise it is garbage, deleted, and its clusters are left unowned.
    void walkDamaged(const Damaged& d) {
        const std::uint8_t* e = d.entry.bytes();
        const std::uint32_t start = le16(e + kDeCluster);
        const std::uint32_t size = le32(e + kDeSize);
        const bool folder = e[kDeAttr] & kAttrFolder;
        bool sense = true;
        std::vector<std::uint32_t> clusters;
        if (start == 0)
            sense = !folder && size == 0;
        else if (!folder && size > std::uint64_t(v_.clusterCount) * clusterBytes())
            sense = false;
        else if (!walkChain(start, d.path, &clusters, true))
            sense = false;
        quiet_ = false;
        if (sense) {
            // Claimed for the check of the mended entry, which walks the chain again.
            for (std::uint32_t c : clusters)
                owner_[c] = -1;
            walkEntry(d.entry, d.parent, d.path, d.depth, d.fix);
            return;
        }
        for (std::uint32_t c : clusters)
            owner_[c] = -1;
        EntryFix& fix = scan_.entries[d.fix];
        fix.remove = true;
        fix.what += ", then deleted: its first cluster and size make no sense";
        add(SmfsFindingKind::GarbageEntry, start, d.path,
            "damaged entry whose first cluster " + num(start) + " and size " + num(size) +
                " make no sense");
    }

    void findLost() {
        const std::size_t count = owner_.size();
        std::vector<bool> lost(count, false), pointed(count, false), done(count, false);
        for (std::uint32_t c = kFirstCluster; c < count; ++c) {
            const std::uint16_t value = fat_entry(card_, c);
            lost[c] = value != kFatFree && value != kFatBad && owner_[c] < 0;
            if (lost[c]) scan_.lostClusters.push_back(c);
        }
        for (std::uint32_t c = kFirstCluster; c < count; ++c) {
            const std::uint16_t next = fat_entry(card_, c);
            if (lost[c] && dataCluster(next) && lost[next]) pointed[next] = true;
        }
        // Heads first, then whatever is left (lost chains that loop have no head).
        for (int pass = 0; pass < 2; ++pass) {
            for (std::uint32_t c = kFirstCluster; c < count; ++c) {
                if (!lost[c] || done[c] || (pass == 0 && pointed[c])) continue;
                std::uint32_t length = 0;
                for (std::uint32_t at = c; dataCluster(at) && lost[at] && !done[at];
                     at = fat_entry(card_, at)) {
                    done[at] = true;
                    ++length;
                }
                SmfsFinding f = finding(SmfsFindingKind::LostClusters);
                f.cluster = c;
                f.text = "lost chain of " + num(length) + " cluster" + (length == 1 ? "" : "s") +
                         " from cluster " + num(c) + ", reached by no entry";
                out_.add(std::move(f));
            }
        }
    }

    const FatVolume& v_;
    SmfsCheckReport& report_;
    Findings& out_;
    CardScan& scan_;
    bool quiet_ = false;              // walkChain reports nothing while it is set
    std::vector<std::int32_t> owner_; // per cluster: index into paths_ of its chain, -1 none
    std::vector<std::string> paths_;
    // The whole chains found shorter than their files need, with their fixes.
    struct ShortChain {
        std::int32_t id;
        std::size_t fix; // index into scan_.chains
        std::vector<std::uint32_t> clusters;
        std::uint32_t size;
    };
    std::vector<ShortChain> shortChains_;
};

SmfsResult logicalPass(CardState& card, const CardGeometry& g, SmfsCheckReport& report,
                       Findings& out, CardScan& scan) {
    if (media_logical_entry(card, 0) == 0) {
        out.add(SmfsFindingKind::Unformatted, "logical block 0 is not mapped: the card holds no "
                                              "volume");
        return SmfsResult::Ok;
    }
    const SmfsResult mount = fat_mount(card);
    if (mount != SmfsResult::Ok) {
        explainMountFailure(card, mount, g, out);
        return SmfsResult::Ok;
    }
    const FatVolume& v = *fat_volume(card);
    if (v.partitionSectors != 0 && v.totalSectors > v.partitionSectors)
        out.add(SmfsFindingKind::BootSectorInvalid, "the volume's " + num(v.totalSectors) +
                                                        " sectors exceed its partition's " +
                                                        num(v.partitionSectors));
    const bool fat12 = v.clusterCount < kFat12Clusters;
    if (fat12 != (v.fatType == FatType::Fat12))
        out.add(SmfsFindingKind::BootSectorInvalid,
                "the boot sector says FAT" + num(v.fatType == FatType::Fat12 ? 12 : 16) + " but " +
                    num(v.clusterCount) + " clusters make a FAT" + num(fat12 ? 12 : 16) +
                    " volume");
    compareFats(card, v, out);
    TreeWalk walk(card, v, report, out, scan);
    walk.run();
    report.volumeChecked = true;
    scan.volumeWalked = true;
    return SmfsResult::Ok;
}

} // namespace

const char* smfs_finding_name(SmfsFindingKind kind) {
    switch (kind) {
    case SmfsFindingKind::ImageShort:
        return "image-short";
    case SmfsFindingKind::EccCorrected:
        return "ecc-corrected";
    case SmfsFindingKind::EccCodeDamaged:
        return "ecc-code-damaged";
    case SmfsFindingKind::EccUncorrectable:
        return "ecc-uncorrectable";
    case SmfsFindingKind::AddressFieldParity:
        return "address-parity";
    case SmfsFindingKind::AddressFieldsDiffer:
        return "address-fields-differ";
    case SmfsFindingKind::AddressOutOfRange:
        return "address-out-of-range";
    case SmfsFindingKind::DuplicateBlock:
        return "duplicate-block";
    case SmfsFindingKind::CisMissing:
        return "cis-missing";
    case SmfsFindingKind::CisDamaged:
        return "cis-damaged";
    case SmfsFindingKind::Unformatted:
        return "unformatted";
    case SmfsFindingKind::MbrInvalid:
        return "mbr-invalid";
    case SmfsFindingKind::BootSectorInvalid:
        return "boot-sector-invalid";
    case SmfsFindingKind::FatInvalid:
        return "fat-invalid";
    case SmfsFindingKind::FatUnreadable:
        return "fat-unreadable";
    case SmfsFindingKind::FatCopiesDiffer:
        return "fat-copies-differ";
    case SmfsFindingKind::DirectoryBroken:
        return "directory-broken";
    case SmfsFindingKind::StartClusterInvalid:
        return "start-cluster-invalid";
    case SmfsFindingKind::ChainLoop:
        return "chain-loop";
    case SmfsFindingKind::CrossLinked:
        return "cross-linked";
    case SmfsFindingKind::ChainFreeCluster:
        return "chain-free-cluster";
    case SmfsFindingKind::ChainBadCluster:
        return "chain-bad-cluster";
    case SmfsFindingKind::ChainInvalidEntry:
        return "chain-invalid-entry";
    case SmfsFindingKind::ChainTooShort:
        return "chain-too-short";
    case SmfsFindingKind::ChainTooLong:
        return "chain-too-long";
    case SmfsFindingKind::LostClusters:
        return "lost-clusters";
    case SmfsFindingKind::TooDeep:
        return "too-deep";
    case SmfsFindingKind::BadName:
        return "bad-name";
    case SmfsFindingKind::BadFields:
        return "bad-fields";
    case SmfsFindingKind::GarbageEntry:
        return "garbage-entry";
    case SmfsFindingKind::GarbageFolder:
        return "garbage-folder";
    case SmfsFindingKind::BytesAfterEnd:
        return "bytes-after-end";
    }
    return "unknown";
}

SmfsResult SmfsCard::cardInfo(SmfsCardInfo* info) {
    CardState& card = *state_;
    if (!info) return SmfsResult::InvalidArgument;
    *info = SmfsCardInfo{};
    std::uint8_t id[2];
    SmfsResult r = smc_read_id(card, id, sizeof id);
    if (r != SmfsResult::Ok) return r;
    info->maker = id[0];
    info->device = id[1];
    r = media_build_map(card);
    if (r != SmfsResult::Ok) return r;
    const int type = smc_card_type(card);
    const CardGeometry& g = card_geometry(type);
    const PageLayout& page = card_page_layout(type);
    info->cardType = type;
    info->makerName = id[0] == kMakerSamsung ? "Samsung" : "Toshiba";
    info->capacityText = card_capacity_text(type);
    info->pageDataBytes = page.dataBytes;
    info->spareBytes = page.spareBytes;
    info->pagesPerBlock = g.pagesPerBlock;
    info->sectorsPerBlock = g.sectorsPerBlock;
    info->physBlocks = g.physBlocks;
    info->logBlocks = g.logBlocks;
    info->cylinders = g.cylinders;
    info->heads = g.heads;
    info->sectorsPerTrack = g.sectorsPerTrack;
    info->totalSectors = g.totalSectors;
    for (std::uint32_t b = 0; b < g.physBlocks; ++b) {
        const std::uint16_t entry = media_phys_entry(card, b);
        if (entry == kPhysFree) {
            ++info->freeBlocks;
        } else if (entry == kPhysRetired) {
            ++info->retiredBlocks;
        } else if (entry == kFieldCis) {
            if (info->cisBlock < 0) info->cisBlock = b;
        } else {
            ++info->usedBlocks;
        }
    }
    if (fat_ensure(card) != SmfsResult::Ok) return SmfsResult::Ok;
    const FatVolume& v = *fat_volume(card);
    info->formatted = true;
    info->fatBits = v.fatType == FatType::Fat12 ? 12 : 16;
    info->partitionFirstSector = v.partitionFirstSector;
    info->partitionSectors = v.partitionSectors;
    info->sectorsPerCluster = v.sectorsPerCluster;
    info->fatCount = v.fatCount;
    info->fatStart = v.fatStart;
    info->fatSectors = v.fatSectors;
    info->rootStart = v.rootStart;
    info->rootEntries = v.rootEntries;
    info->dataStart = v.dataStart;
    info->clusterCount = v.clusterCount;
    info->oemName = v.oemName;
    info->label = v.label;
    return SmfsResult::Ok;
}

SmfsResult SmfsCard::check(SmfsCheckReport* report) {
    CardState& card = *state_;
    {
        // The check reads the card itself: what an open write group holds goes there first.
        ChipSession session(card);
        const SmfsResult r = dir_group_commit(card);
        if (r != SmfsResult::Ok) return r;
    }
    return check_card(card, report, nullptr);
}

SmfsResult check_card(CardState& card, SmfsCheckReport* report, CardScan* scanOut) {
    if (!report) return SmfsResult::InvalidArgument;
    *report = SmfsCheckReport{};
    CardScan local;
    CardScan& scan = scanOut ? *scanOut : local;
    scan = CardScan{};
    try {
        SmfsResult r = smc_probe(card);
        if (r != SmfsResult::Ok) return r;
        const int type = smc_card_type(card);
        const CardGeometry& g = card_geometry(type);
        Findings out(*report);
        const std::uint64_t have = imageBytes(card);
        if (have < card_image_bytes(type)) {
            out.add(SmfsFindingKind::ImageShort, "the image holds " + num(have) +
                                                     " bytes, the card needs " +
                                                     num(card_image_bytes(type)));
            return SmfsResult::Ok;
        }
        r = media_build_map(card);
        if (r != SmfsResult::Ok) return r;
        PhysicalResult physical;
        r = physicalPass(card, g, *report, out, physical, scan);
        if (r != SmfsResult::Ok) return r;
        checkCis(card, g, physical, out);
        return logicalPass(card, g, *report, out, scan);
    } catch (const std::bad_alloc&) {
        return SmfsResult::OutOfMemory;
    }
}
