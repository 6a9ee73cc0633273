// SPDX-License-Identifier: MIT
// The repair of a card. It runs the check (check_card), acts on what the check's scan
// holds, and checks again, a few rounds at most: a change in one round (a chain cut short)
// can leave work for the next (the clusters cut off are lost). Block-level work comes
// first and restarts the round, so the volume is only mended on blocks that read as the
// library reads them. Nothing is decided here that the check or the block map did not
// decide: the stale copies of a logical block are those the map does not read, the chain
// cuts are where the check's walk stopped.
#include <smfs/tools.h>

#include "card_state.h"
#include "check_scan.h"
#include "dir.h"
#include "fat.h"
#include "media.h"
#include <common/le_bytes.h>

#include <algorithm>
#include <array>
#include <new>
#include <string>

namespace {

// Each round after the first only meets what the one before it left (lost tails of cut
// chains, blocks a copy moved), so a few rounds settle any card.
constexpr int kMaxRounds = 6;

std::string num(std::uint64_t value) {
    return std::to_string(value);
}

class Repair {
public:
    Repair(CardState& card, SmfsRepairReport& report) : card_(card), report_(report) {}

    // Erases stale and unreadable blocks and rewrites mapped blocks with fixable sectors.
    SmfsResult blocks(const CardScan& scan, bool* changed) {
        for (std::uint32_t b = 0; b < scan.blocks.size(); ++b) {
            const BlockScan& block = scan.blocks[b];
            if (block.kind == BlockScan::Kind::Invalid) {
                // A damaged field on the only copy of a logical block: erasing it would lose
                // the block, so it stays for the user to copy what can be read.
                if (block.sectorClaim >= 0 &&
                    media_logical_entry(card_, std::uint32_t(block.sectorClaim)) == 0) {
                    keptOnlyCopy_ = true;
                    continue;
                }
                SmfsResult r = release(b, "its address field names no logical block", changed);
                if (r != SmfsResult::Ok) return r;
            } else if (block.kind == BlockScan::Kind::Claim) {
                const std::uint32_t used = media_logical_entry(card_, block.logBlock);
                if (used != b) {
                    SmfsResult r = release(b,
                                           "stale copy of logical block " + num(block.logBlock) +
                                               " (block " + num(used) + " is read)",
                                           changed);
                    if (r != SmfsResult::Ok) return r;
                } else if (block.fixableSectors && !block.uncorrectable) {
                    // Copy on write gives every sector fresh ECC and both address fields; a
                    // block with an uncorrectable sector keeps it, or its damage would hide.
                    std::array<std::uint8_t, kSectorBytes> first;
                    SmfsResult r = media_read(card_, block.logBlock, 0, first.data(), kSectorBytes);
                    if (r == SmfsResult::Ok)
                        r = media_write(card_, block.logBlock, 0, first.data(), kSectorBytes);
                    if (r != SmfsResult::Ok) return r;
                    note("logical block " + num(block.logBlock) + ": copied from physical block " +
                         num(b) + " to block " + num(media_logical_entry(card_, block.logBlock)) +
                         " with fresh ECC and address fields");
                    *changed = true;
                }
            }
        }
        return SmfsResult::Ok;
    }

    // Cuts chains, mends entries, frees lost clusters and writes the FAT when needed.
    SmfsResult volume(const CardScan& scan, bool fatCopiesDiffer, bool* changed) {
        if (!scan.volumeWalked) return SmfsResult::Ok;
        bool fatChanged = fatCopiesDiffer;
        for (const EntryFix& fix : scan.entries) {
            std::array<std::uint8_t, kDeBytes> bytes = fix.mended;
            if (fix.remove) {
                bytes = fix.entry.bytes;
                bytes[0] = kEntryDeleted;
            }
            const SmfsResult r = cluster_write(card_, fix.entry.cluster, fix.entry.offsetBytes,
                                               bytes.data(), kDeBytes);
            if (r != SmfsResult::Ok) return r;
            note(fix.what);
            *changed = true;
        }
        for (const TailFix& fix : scan.tails) {
            const std::array<std::uint8_t, kSectorBytes> zeros{};
            const SmfsResult r =
                cluster_write(card_, fix.cluster, fix.offsetBytes, zeros.data(), fix.lengthBytes);
            if (r != SmfsResult::Ok) return r;
            note("folder cluster " + num(fix.cluster) + ": " + num(fix.lengthBytes) +
                 " bytes after the end marker from offset " + num(fix.offsetBytes) + " zeroed");
            *changed = true;
        }
        for (const ChainFix& fix : scan.chains) {
            // While a block that may be the only copy of a logical block is kept aside, what
            // looks unwritten or unreached may be in it: those are left alone.
            if (fix.unwritten && keptOnlyCopy_) continue;
            EntryPlace place = fix.entry;
            std::uint8_t* e = place.bytes.data();
            char name[13];
            entry_to_name(e, name);
            std::string what;
            if (fix.keep == 0 && fix.folder) {
                e[0] = kEntryDeleted;
                what = "folder entry deleted: it has no usable first cluster";
            } else if (fix.keep == 0) {
                putLe16(e + kDeCluster, 0);
                putLe32(e + kDeSize, 0);
                what = "emptied: no cluster of its chain is usable";
            } else {
                if (fix.cut) {
                    fat_set_entry(card_, fix.lastKept, kFatEnd);
                    fatChanged = true;
                    what = "chain ends after " + num(fix.keep) + " clusters at cluster " +
                           num(fix.lastKept);
                }
                if (!fix.folder && le32(e + kDeSize) != fix.size) {
                    what += std::string(what.empty() ? "" : ", ") + "size " +
                            num(le32(e + kDeSize)) + " cut to " + num(fix.size) + " bytes";
                    putLe32(e + kDeSize, fix.size);
                }
            }
            if (place.bytes != fix.entry.bytes) {
                const SmfsResult r =
                    cluster_write(card_, place.cluster, place.offsetBytes, e, kDeBytes);
                if (r != SmfsResult::Ok) return r;
            }
            if (!what.empty()) note(std::string(name) + ": " + what);
            *changed = true;
        }
        for (const DotFix& fix : scan.dots) {
            EntryPlace place = fix.entry;
            putLe16(place.bytes.data() + kDeCluster, std::uint16_t(fix.cluster));
            const SmfsResult r = cluster_write(card_, place.cluster, place.offsetBytes,
                                               place.bytes.data(), kDeBytes);
            if (r != SmfsResult::Ok) return r;
            note(std::string(place.bytes[1] == '.' ? "\"..\"" : "\".\"") + " in folder cluster " +
                 num(place.cluster) + " now names cluster " + num(fix.cluster));
            *changed = true;
        }
        if (!keptOnlyCopy_) {
            for (std::uint32_t c : scan.lostClusters)
                fat_set_entry(card_, c, kFatFree);
        }
        if (!scan.lostClusters.empty() && !keptOnlyCopy_) {
            note("freed " + num(scan.lostClusters.size()) + " lost cluster" +
                 (scan.lostClusters.size() == 1 ? "" : "s"));
            fatChanged = true;
        }
        if (!fatChanged) return SmfsResult::Ok;
        // Every copy is written from the table the mount read, which also ends a
        // difference between the copies.
        if (fatCopiesDiffer && scan.chains.empty() && (scan.lostClusters.empty() || keptOnlyCopy_))
            note("FAT copies written again from the copy in use");
        *changed = true;
        return fat_flush(card_);
    }

private:
    CardState& card_;
    SmfsResult release(std::uint32_t physBlock, const std::string& why, bool* changed) {
        const SmfsResult r = media_release_block(card_, physBlock);
        // Block 0 is never handed out, so it is never released either.
        if (r == SmfsResult::BlockNotMapped) return SmfsResult::Ok;
        if (r != SmfsResult::Ok) return r;
        note("physical block " + num(physBlock) + " erased: " + why);
        *changed = true;
        return SmfsResult::Ok;
    }

    void note(std::string text) { report_.actions.push_back(std::move(text)); }

    SmfsRepairReport& report_;
    bool keptOnlyCopy_ = false;
};

bool has(const SmfsCheckReport& report, SmfsFindingKind kind) {
    return std::any_of(report.findings.begin(), report.findings.end(),
                       [kind](const SmfsFinding& f) { return f.kind == kind; });
}

} // namespace

SmfsResult SmfsCard::repair(SmfsRepairReport* report) {
    CardState& card = *state_;
    if (!report) return SmfsResult::InvalidArgument;
    *report = SmfsRepairReport{};
    {
        ChipSession session(card);
        const SmfsResult r = dir_group_commit(card);
        if (r != SmfsResult::Ok) return r;
    }
    try {
        Repair repair(card, *report);
        SmfsCheckReport now;
        CardScan scan;
        for (int round = 0; round < kMaxRounds; ++round) {
            SmfsResult r = check_card(card, &now, &scan);
            if (r != SmfsResult::Ok) return r;
            if (round == 0) report->before = now;
            if (now.clean() || has(now, SmfsFindingKind::ImageShort)) break;
            bool changed = false;
            r = repair.blocks(scan, &changed);
            if (r != SmfsResult::Ok) return r;
            if (!changed) {
                r = repair.volume(scan, has(now, SmfsFindingKind::FatCopiesDiffer), &changed);
                if (r != SmfsResult::Ok) return r;
            }
            if (!changed) break;
            // The next check mounts the volume again from what is now on the card.
            fat_invalidate(card);
            if (round + 1 == kMaxRounds) {
                r = check_card(card, &now, nullptr);
                if (r != SmfsResult::Ok) return r;
            }
        }
        report->after = std::move(now);
        fat_invalidate(card);
        return SmfsResult::Ok;
    } catch (const std::bad_alloc&) {
        return SmfsResult::OutOfMemory;
    }
}
