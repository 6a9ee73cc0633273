// Every operation against a machine that answers with random frames of random lengths,
// biased towards the codes and small numbers the parser acts on. Under the sanitizers
// this shows no reply can push a byte outside the link's buffers; the checks below hold
// the results to the documented codes and the listings to well-formed entries.
#include <devicelink/device_link.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <set>

namespace {

class RandomMachine final : public LinkTransport {
public:
    explicit RandomMachine(unsigned seed) : random_(seed) {}
    PipeHandle OpenPipe(const char* name) override { return std::strcmp(name, kPipeIn) ? 2 : 0; }
    void ClosePipe(PipeHandle) override {}
    int transfer(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                 std::uint32_t* transferred) override {
        if (pipe == 2) {
            *transferred = length;
            return kTransferDone;
        }
        std::array<std::uint8_t, 300> frame;
        for (auto& byte : frame)
            byte = std::uint8_t(random_());
        static const std::uint8_t codes[] = {0x81, 0x82, 0x91, 0x92, 0x96, 0x97, 0xA1, 0xB1, 0xC1,
                                             0xD1, 0xD2, 0xD3, 0xD4, 0xD7, 0xF1, 0xFE, 0xFF};
        if (pick(3) != 0) frame[0] = codes[pick(sizeof codes)];
        if (pick(2) == 0) frame[1] = frame[2] = frame[3] = 0;    // a small size or chunk length
        if (pick(2) == 0) frame[2] = std::uint8_t(1 + pick(13)); // a plausible name length
        if (pick(2) == 0) std::fill(frame.begin() + 3, frame.begin() + 16, 'A');
        const std::uint32_t delivered = pick(10) == 0 ? pick(300) : 256;
        std::memcpy(buffer, frame.data(), std::min(length, delivered));
        *transferred = delivered;
        return kTransferDone;
    }
    void cancel() override {}
    void clearCancel() override {}

private:
    std::uint32_t pick(std::uint32_t below) { return std::uint32_t(random_() % below); }
    std::mt19937 random_;
};

void expectWellFormed(const LinkList& list) {
    for (const LinkEntry& entry : list) {
        ASSERT_LE(entry.nameLength, kMaxEntryName);
        ASSERT_GT(entry.nameLength, 0);
        ASSERT_EQ(std::strlen(entry.name), entry.nameLength);
    }
}

} // namespace

TEST(HostileReplyTest, RandomRepliesGiveOnlyDocumentedResults) {
    const std::set<int> allowed = {LINK_OK, LINK_BAD_REPLY, LINK_UNFORMATTED, LINK_DEVICE_ERROR,
                                   LINK_NO_PATH};
    for (unsigned seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        DeviceLink link(std::make_unique<RandomMachine>(seed));
        EXPECT_TRUE(allowed.count(link.Connect()));
        const std::vector<std::uint8_t> data(700, 0x5A);
        std::vector<std::uint8_t> got;
        LinkList list;
        for (int round = 0; round < 500; ++round) {
            int result = link.ListFiles("vx:\\", list);
            ASSERT_TRUE(allowed.count(result)) << result;
            expectWellFormed(list);
            if (result != LINK_OK) {
                ASSERT_TRUE(list.empty());
            }

            result = link.ListFolders("vx:\\", list);
            ASSERT_TRUE(allowed.count(result)) << result;
            expectWellFormed(list);

            result = link.GetFile("vx:\\a.bin", "a.bin", got);
            ASSERT_TRUE(allowed.count(result)) << result;
            ASSERT_LE(got.size(), kLargestCardBytes);
            if (result != LINK_OK) {
                ASSERT_TRUE(got.empty());
            }

            ASSERT_TRUE(allowed.count(link.PutFile(data.data(), 700, "vx:\\", "a.bin")));
            ASSERT_TRUE(allowed.count(link.MakeFolder("vx:\\a")));
            ASSERT_TRUE(allowed.count(link.RemoveFolder("vx:\\a")));
            ASSERT_TRUE(allowed.count(link.RemoveFile("vx:\\a.bin")));
            ASSERT_TRUE(allowed.count(link.FormatCard(60)));
        }
    }
}
