// SPDX-License-Identifier: MIT
// Random damage to the FATs, the root and the folders of a card full of files, then the repair,
// judged by the check and by fsck.fat -n on the exported volume: both must be clean, a second
// repair must write nothing, and every file the damage did not reach must read back whole.
#include "api_interop.h"

#include "fakes/temp_dir.h"
#include "smfs/dir.h"

#include <common/le_bytes.h>

#include <cstring>
#include <random>
#include <set>

namespace {

// A file or folder of the card as the library shows it.
struct Node {
    std::string path;
    SmfsEntryInfo info{};
    std::vector<std::uint32_t> clusters;
    int parent = -1;
    std::vector<std::uint8_t> contents;
    bool reached = false; // by the damage: its entry, its chain or its folder's
};

// Every node in the folder path and below.
void collect(const std::string& path, int parent, std::vector<Node>* nodes) {
    for (const std::string& name : apiList(api(), path)) {
        if (name == "." || name == "..") continue;
        Node node{path + name, {}, {}, parent, {}};
        ASSERT_EQ(api().info(node.path.c_str(), &node.info), SmfsResult::Ok);
        for (std::uint32_t c = node.info.firstCluster; fat_is_data_cluster(cs(), c);
             c = fat_entry(cs(), c))
            node.clusters.push_back(c);
        const bool folder = node.info.attribute & kAttrFolder;
        EXPECT_TRUE(folder || apiReadFile(api(), node.path, &node.contents) == SmfsResult::Ok);
        nodes->push_back(node);
        if (folder) collect(node.path + "\\", int(nodes->size() - 1), nodes);
    }
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
    collect("vx:\\", -1, &nodes);
    ASSERT_EQ(nodes.size(), 28u);
    // The damage may hit the FATs (never their media bytes, so a copy still mounts), the root
    // and the folders' first clusters.
    std::vector<std::uint32_t> sectors;
    for (std::uint32_t s = v.fatStart; s < v.dataStart; ++s)
        sectors.push_back(s);
    for (const Node& n : nodes)
        for (std::uint32_t s = 0; n.info.attribute & kAttrFolder && s < v.sectorsPerCluster; ++s)
            sectors.push_back(v.dataStart + (n.clusters.at(0) - 2) * v.sectorsPerCluster + s);
    const std::uint32_t spb = card.geometry().sectorsPerBlock;
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
        // 1 to 40 bytes overwritten, noting the clusters a chain may now reach: an entry's
        // start cluster, or the FAT entries sharing the byte.
        std::set<std::uint32_t> reached;
        for (unsigned i = 1 + random() % 40; i > 0; --i) {
            const std::uint32_t s = sectors[random() % sectors.size()];
            std::uint32_t off = random() % 512;
            if (s < v.rootStart && (s - v.fatStart) % v.fatSectors == 0 && off < 3) off = 3;
            std::uint8_t sector[512];
            (void)media_read_sector(cs(), s, 0, sector, 512);
            sector[off] = std::uint8_t(random());
            EXPECT_EQ(media_write(cs(), s / spb, (s % spb) * 512, sector, 512), SmfsResult::Ok);
            const std::uint32_t at = (s - v.fatStart) % v.fatSectors * 512 + off;
            if (s >= v.rootStart)
                reached.insert(le16(sector + off / 32 * 32 + kDeCluster));
            else if (v.fatType == FatType::Fat16)
                reached.insert(at / 2);
            else
                reached.insert({at * 2 / 3, (at * 2 + 1) / 3});
        }
        ASSERT_EQ(api().reset(), SmfsResult::Ok);
        for (std::uint32_t c : std::set<std::uint32_t>(reached))
            reached.insert(fat_entry(cs(), c)); // where the copy served now leads
        for (Node& n : nodes) {
            SmfsEntryInfo now{};
            n.reached = api().info(n.path.c_str(), &now) != SmfsResult::Ok ||
                        std::memcmp(&now, &n.info, sizeof now) != 0 ||
                        (n.parent >= 0 && nodes[std::size_t(n.parent)].reached) ||
                        std::any_of(n.clusters.begin(), n.clusters.end(),
                                    [&](std::uint32_t c) { return reached.count(c) != 0; });
        }

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

        for (const Node& n : nodes) {
            if (n.info.attribute & kAttrFolder || n.reached) continue;
            std::vector<std::uint8_t> back;
            EXPECT_EQ(apiReadFile(api(), n.path, &back), SmfsResult::Ok) << n.path;
            EXPECT_TRUE(back == n.contents) << n.path;
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
