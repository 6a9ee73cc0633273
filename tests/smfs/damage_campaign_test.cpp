// SPDX-License-Identifier: MIT
// Random damage to the FAT copies, the root and the folders' first clusters of a card full of
// files, then the repair, judged by the check and by fsck.fat -n on the exported volume: both
// must be clean, a second repair must write nothing, and every file whose entry, clusters
// and chain the damage did not reach must read back byte for byte.
#include "api_interop.h"

#include "fakes/temp_dir.h"
#include "smfs/dir.h"

#include <common/le_bytes.h>

#include <random>
#include <set>

namespace {

// A file or folder of the card and where its entry lies.
struct Node {
    std::string path;
    bool folder = false;
    std::uint32_t entry = 0; // logical sector * 512 + byte offset
    std::vector<std::uint32_t> clusters;
    int parent = -1;
    std::vector<std::uint8_t> contents;
};

std::vector<std::uint32_t> chainOf(std::uint32_t start) {
    std::vector<std::uint32_t> chain;
    for (std::uint32_t c = start; fat_is_data_cluster(cs(), c); c = fat_entry(cs(), c))
        chain.push_back(c);
    return chain;
}

// The logical sectors of the first `count` clusters of a chain; the root's for none.
std::vector<std::uint32_t> sectorsOf(const FatVolume& v, const std::vector<std::uint32_t>& chain,
                                     std::size_t count = ~std::size_t(0)) {
    std::vector<std::uint32_t> sectors;
    for (std::uint32_t s = v.rootStart; chain.empty() && s < v.dataStart; ++s)
        sectors.push_back(s);
    for (std::size_t i = 0; i < chain.size() && i < count; ++i)
        for (std::uint32_t s = 0; s < v.sectorsPerCluster; ++s)
            sectors.push_back(v.dataStart + (chain[i] - 2) * v.sectorsPerCluster + s);
    return sectors;
}

// Every node in the given folder sectors and below, from the entries as they lie on the card.
void collect(const FatVolume& v, const std::vector<std::uint32_t>& sectors, const std::string& path,
             int parent, std::vector<Node>* nodes) {
    for (std::uint32_t s : sectors) {
        std::uint8_t sector[512];
        ASSERT_EQ(media_read_sector(cs(), s, 0, sector, 512), SmfsResult::Ok);
        for (std::uint32_t off = 0; off < 512; off += 32) {
            const std::uint8_t* e = sector + off;
            if (e[0] == 0) return;
            if (e[0] == 0xE5 || e[0] == '.') continue;
            char name[13];
            entry_to_name(e, name);
            Node node{path + name,   (e[kDeAttr] & kAttrFolder) != 0,
                      s * 512 + off, chainOf(le16(e + kDeCluster)),
                      parent,        {}};
            if (!node.folder) {
                ASSERT_EQ(apiReadFile(api(), node.path, &node.contents), SmfsResult::Ok);
            }
            nodes->push_back(node);
            if (node.folder)
                collect(v, sectorsOf(v, node.clusters), node.path + "\\", int(nodes->size() - 1),
                        nodes);
        }
    }
}

// The FAT entries of every copy, as they lie on the card.
std::vector<std::vector<std::uint16_t>> fatCopies(const FatVolume& v) {
    std::vector<std::vector<std::uint16_t>> copies;
    for (std::uint32_t k = 0; k < v.fatCount; ++k) {
        std::vector<std::uint8_t> bytes(std::size_t(v.fatSectors) * 512 + 2);
        for (std::uint32_t s = 0; s < v.fatSectors; ++s)
            (void)media_read_sector(cs(), v.fatStart + k * v.fatSectors + s, 0,
                                    bytes.data() + s * 512, 512);
        std::vector<std::uint16_t> entries(v.clusterCount + 2);
        for (std::uint32_t c = 0; c < entries.size(); ++c) {
            const std::uint8_t* p =
                bytes.data() + (v.fatType == FatType::Fat12 ? c * 3 / 2 : c * 2);
            entries[c] = v.fatType == FatType::Fat16 ? le16(p)
                         : (c & 1)                   ? std::uint16_t(p[0] >> 4 | p[1] << 4)
                                                     : std::uint16_t(p[0] | (p[1] & 0x0F) << 8);
        }
        copies.push_back(entries);
    }
    return copies;
}

struct Damage {
    std::set<std::uint32_t> bytes;   // logical sector * 512 + offset
    std::set<std::uint32_t> reached; // clusters a chain may now reach
};

// Overwrites 1 to 40 bytes of the FATs (never their media bytes, so a copy still mounts),
// the root and the folders' first clusters.
Damage damage(const FatVolume& v, std::uint32_t spb, const std::vector<Node>& nodes,
              std::mt19937& random) {
    std::vector<std::uint32_t> sectors;
    for (std::uint32_t s = v.fatStart; s < v.rootStart; ++s)
        sectors.push_back(s);
    const std::vector<std::uint32_t> root = sectorsOf(v, {});
    sectors.insert(sectors.end(), root.begin(), root.end());
    for (const Node& n : nodes)
        if (n.folder && !n.clusters.empty())
            for (std::uint32_t s : sectorsOf(v, n.clusters, 1))
                sectors.push_back(s);
    const auto fatBefore = fatCopies(v);
    Damage d;
    std::vector<std::uint32_t> slots;
    for (unsigned i = 1 + random() % 40; i > 0; --i) {
        const std::uint32_t s = sectors[random() % sectors.size()];
        std::uint32_t off = random() % 512;
        if (s < v.rootStart && (s - v.fatStart) % v.fatSectors == 0 && off < 3) off = 3;
        std::uint8_t sector[512];
        (void)media_read_sector(cs(), s, 0, sector, 512);
        sector[off] = std::uint8_t(random());
        EXPECT_EQ(media_write(cs(), s / spb, (s % spb) * 512, sector, 512), SmfsResult::Ok);
        d.bytes.insert(s * 512 + off);
        if (s >= v.rootStart) slots.push_back(s * 512 + off / 32 * 32);
    }
    const auto fatAfter = fatCopies(v);
    for (std::size_t k = 0; k < fatAfter.size(); ++k)
        for (std::uint32_t c = 0; c < fatAfter[k].size(); ++c)
            if (fatAfter[k][c] != fatBefore[k][c]) d.reached.insert({c, fatAfter[k][c]});
    for (std::uint32_t slot : slots) {
        std::uint8_t sector[512];
        (void)media_read_sector(cs(), slot / 512, 0, sector, 512);
        d.reached.insert(le16(sector + slot % 512 + kDeCluster));
    }
    return d;
}

bool reached(const Damage& d, const std::vector<Node>& nodes, std::size_t i) {
    const Node& n = nodes[i];
    return d.bytes.lower_bound(n.entry) != d.bytes.lower_bound(n.entry + 32) ||
           std::any_of(n.clusters.begin(), n.clusters.end(),
                       [&](std::uint32_t c) { return d.reached.count(c) != 0; }) ||
           (n.parent >= 0 && reached(d, nodes, std::size_t(n.parent)));
}

struct Campaign {
    int cardType;
    unsigned cards; // seeds tried
};

class DamageCampaignTest : public testing::TestWithParam<Campaign> {};

TEST_P(DamageCampaignTest, RepairLeavesBothCheckersCleanAndUntouchedFilesWhole) {
    const Campaign campaign = GetParam();
    TestCard card(campaign.cardType, true);
    // 23 files in nested folders, empty to several clusters long.
    const std::string dirs[] = {"",      "GAMES", "GAMES\\LEVELS",
                                "MUSIC", "SAVE",  "GAMES\\LEVELS\\EXTRA"};
    for (std::size_t i = 1; i < 6; ++i)
        ASSERT_EQ(api().mkdir(("vx:\\" + dirs[i]).c_str(), 0), SmfsResult::Ok);
    for (unsigned i = 0; i < 23; ++i) {
        const std::size_t size = i % 5 == 0 ? 0 : (i * 977) % (card.clusterBytes() * 3) + 1;
        const std::string path =
            "vx:\\" + (i % 6 ? dirs[i % 6] + "\\" : "") + "F" + std::to_string(i) + ".DAT";
        ASSERT_EQ(apiWriteFile(api(), path, apiPattern(size, i)), SmfsResult::Ok);
    }
    ASSERT_EQ(fat_ensure(cs()), SmfsResult::Ok);
    const FatVolume v = *fat_volume(cs());
    std::vector<Node> nodes;
    collect(v, sectorsOf(v, {}), "vx:\\", -1, &nodes);
    ASSERT_EQ(nodes.size(), 28u);
    const std::vector<std::uint8_t> pristine = card.bytes();
    TempDir dir;
    const std::string raw = (dir / "volume.raw").string();
    unsigned clean = 0, intactFiles = 0;
    for (unsigned seed = 1; seed <= campaign.cards; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        card.bytes() = pristine;
        ASSERT_EQ(api().reset(), SmfsResult::Ok);
        ASSERT_EQ(fat_ensure(cs()), SmfsResult::Ok);
        std::mt19937 random(seed);
        const Damage d = damage(v, card.geometry().sectorsPerBlock, nodes, random);
        ASSERT_EQ(api().reset(), SmfsResult::Ok);

        SmfsRepairReport repair;
        ASSERT_EQ(api().repair(&repair), SmfsResult::Ok);
        SmfsCheckReport check;
        ASSERT_EQ(api().check(&check), SmfsResult::Ok);
        EXPECT_TRUE(check.clean()) << apiFindingsText(repair.before) << "after:\n"
                                   << apiFindingsText(check);
        apiExtractPartition(raw);
        const FsckVerdict fsck = apiFsck(raw);
        EXPECT_TRUE(fsck.clean) << apiFindingsText(repair.before) << fsck.output;
        clean += check.clean() && fsck.clean;

        const std::vector<std::uint8_t> repaired = card.bytes();
        SmfsRepairReport again;
        ASSERT_EQ(api().repair(&again), SmfsResult::Ok);
        EXPECT_TRUE(again.actions.empty()) << again.actions.front();
        EXPECT_TRUE(card.bytes() == repaired) << "a second repair wrote to the card";

        for (std::size_t i = 0; i < nodes.size(); ++i) {
            if (nodes[i].folder || reached(d, nodes, i)) continue;
            std::vector<std::uint8_t> back;
            EXPECT_EQ(apiReadFile(api(), nodes[i].path, &back), SmfsResult::Ok) << nodes[i].path;
            EXPECT_TRUE(back == nodes[i].contents) << nodes[i].path;
            ++intactFiles;
        }
    }
    std::printf("damage campaign, card type %d: %u cards, %u clean by both checkers, %u "
                "untouched files read back\n",
                campaign.cardType, campaign.cards, clean, intactFiles);
}

// FAT12 on small and large pages, and FAT16 (whose FAT copies lie in different blocks; its
// 128 MB image is left to the optimised build).
#ifdef VELA_SANITIZED
const Campaign kCampaigns[] = {{1, 4}, {4, 3}};
#else
const Campaign kCampaigns[] = {{1, 30}, {4, 20}, {7, 4}};
#endif
INSTANTIATE_TEST_SUITE_P(Cards, DamageCampaignTest, testing::ValuesIn(kCampaigns),
                         [](const auto& info) {
                             return "Type" + std::to_string(info.param.cardType);
                         });

} // namespace
