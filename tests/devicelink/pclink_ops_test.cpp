// The PC-Link operations other than file transfers, against the simulated machine: the
// exact frames sent, the results for each reply the machine can give, and the listing
// parser's handling of broken and hostile entries.
#include "link_fixture.h"

#include <filesystem>

namespace fs = std::filesystem;

using ConnectTest = LinkTest;

TEST_F(ConnectTest, SendsTheQueryAndKeepsTheDeviceInfo) {
    sim.setFirmware(1, 7);
    ASSERT_EQ(link->Connect(), LINK_OK);
    EXPECT_TRUE(link->connected());
    EXPECT_STREQ(link->inPipeName(), "PIPE00");
    EXPECT_STREQ(link->outPipeName(), "PIPE02");
    EXPECT_EQ(sim.receivedFrames(), std::vector<SimFrame>{commandFrame(0x40)});
    EXPECT_EQ(link->firmwareMajor(), 1);
    EXPECT_EQ(link->firmwareMinor(), 7);
    EXPECT_EQ(link->deviceInfo()[15], 1);
    EXPECT_EQ(link->deviceInfo()[13], 7);
}

struct FirmwareCase {
    std::uint8_t major, minor;
    std::uint32_t chunk;
};
class ChunkSizeTest : public LinkTest, public ::testing::WithParamInterface<FirmwareCase> {};

TEST_P(ChunkSizeTest, FollowsTheFirmwareVersion) {
    sim.setFirmware(GetParam().major, GetParam().minor);
    ASSERT_EQ(link->Connect(), LINK_OK);
    EXPECT_EQ(link->chunkSize(), GetParam().chunk);
}

INSTANTIATE_TEST_SUITE_P(Firmware, ChunkSizeTest,
                         ::testing::Values(FirmwareCase{1, 4, 32768}, FirmwareCase{1, 5, 262144},
                                           FirmwareCase{2, 0, 262144}, FirmwareCase{0, 9, 32768}),
                         [](const auto& info) {
                             return "v" + std::to_string(info.param.major) + "_" +
                                    std::to_string(info.param.minor);
                         });

TEST_F(ConnectTest, NoMachineGivesNoDevice) {
    sim.setUnplugged(true);
    EXPECT_EQ(link->Connect(), LINK_NO_DEVICE);
    EXPECT_FALSE(link->connected());
    EXPECT_FALSE(link->pipesOpen());
    EXPECT_TRUE(sim.receivedFrames().empty());
}

TEST_F(ConnectTest, ShortQueryReplyIsBadAndClosesThePipes) {
    sim.planFault(0, SimFault::shortFrame(24));
    EXPECT_EQ(link->Connect(), LINK_BAD_REPLY);
    EXPECT_FALSE(link->connected());
    EXPECT_FALSE(link->pipesOpen());
    // Nothing is left behind: the next attempt works.
    EXPECT_EQ(link->Connect(), LINK_OK);
}

TEST_F(ConnectTest, DisconnectSendsOneFrameAndClosesThePipes) {
    connect();
    ASSERT_EQ(link->Disconnect(), LINK_OK);
    EXPECT_FALSE(link->connected());
    EXPECT_FALSE(link->pipesOpen());
    EXPECT_EQ(sim.receivedFrames(), std::vector<SimFrame>{commandFrame(0x10)});
    // Without pipes nothing can be sent.
    LinkList list;
    EXPECT_EQ(link->ListFiles("vx:\\", list), LINK_IO_FAILED);
}

TEST_F(ConnectTest, ResetClosesPipesLeftOpen) {
    connect();
    link->Reset();
    EXPECT_FALSE(link->pipesOpen());
    EXPECT_STREQ(link->inPipeName(), "");
    EXPECT_EQ(link->Connect(), LINK_OK);
}

using ListTest = LinkTest;

TEST_F(ListTest, FilesWithSizesDatesAndKinds) {
    fs::create_directory(card("GAME"));
    writeFile(card("readme.txt"), patternBytes(1234));
    writeFile(card("This is not 8.3.txt"), patternBytes(10)); // invisible to the machine
    connect();

    LinkList list;
    ASSERT_EQ(link->ListFiles("vx:\\", list), LINK_OK);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_STREQ(list[0].name, "GAME");
    EXPECT_EQ(list[0].kind, 1);
    EXPECT_STREQ(list[1].name, "README.TXT");
    EXPECT_EQ(list[1].nameLength, 10);
    EXPECT_EQ(list[1].kind, 0);
    EXPECT_EQ(list[1].size, 1234u);
    EXPECT_GE(list[1].year, 2000);
    EXPECT_GE(list[1].month, 1);
    EXPECT_LE(list[1].month, 12);

    // Command, path, then one acknowledgement per entry.
    EXPECT_EQ(sim.receivedFrames(),
              (std::vector<SimFrame>{commandFrame(0x95), stringFrame("vx:\\"), commandFrame(0x03),
                                     commandFrame(0x03)}));
}

TEST_F(ListTest, FoldersMarkThoseWithSubFolders) {
    fs::create_directories(card("GAME") / "LEVELS");
    fs::create_directory(card("MP3"));
    writeFile(card("GAME") / "A.BIN", patternBytes(3));
    connect();

    LinkList list;
    ASSERT_EQ(link->ListFolders("vx:\\", list), LINK_OK);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_STREQ(list[0].name, "GAME");
    EXPECT_EQ(list[0].kind, 1);
    EXPECT_STREQ(list[1].name, "MP3");
    EXPECT_EQ(list[1].kind, 0);

    ASSERT_EQ(link->ListFolders("vx:\\game\\", list), LINK_OK);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list[0].name, "LEVELS");
    EXPECT_EQ(sim.receivedFrames()[0], commandFrame(0x90));
}

TEST_F(ListTest, EmptyFolderGivesNoEntries) {
    fs::create_directory(card("EMPTY"));
    connect();
    LinkList list(3);
    EXPECT_EQ(link->ListFolders("vx:\\empty\\", list), LINK_OK);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(link->ListFiles("vx:\\empty\\", list), LINK_OK);
    EXPECT_TRUE(list.empty());
}

TEST_F(ListTest, ReplyCodesOfTheFirstReply) {
    writeFile(card("A.TXT"), patternBytes(5));
    connect();
    LinkList list;

    sim.setUnformatted(true);
    EXPECT_EQ(link->ListFiles("vx:\\", list), LINK_UNFORMATTED);
    EXPECT_EQ(link->ListFolders("vx:\\", list), LINK_UNFORMATTED);
    sim.setUnformatted(false);

    sim.planFault(0, SimFault::replyCode(0xFF));
    EXPECT_EQ(link->ListFiles("vx:\\", list), LINK_DEVICE_ERROR);
    EXPECT_EQ(link->ListFiles("vx:\\nothere\\", list), LINK_DEVICE_ERROR);
    // A path-not-found code is not one a listing may give.
    sim.planFault(0, SimFault::replyCode(0xFE));
    EXPECT_EQ(link->ListFiles("vx:\\", list), LINK_BAD_REPLY);
    sim.planFault(0, SimFault::replyCode(0x42));
    EXPECT_EQ(link->ListFiles("vx:\\", list), LINK_BAD_REPLY);
    sim.planFault(0, SimFault::shortFrame(255));
    EXPECT_EQ(link->ListFiles("vx:\\", list), LINK_BAD_REPLY);
    EXPECT_TRUE(link->connected());
}

TEST_F(ListTest, FailureAfterSomeEntriesEmptiesTheList) {
    for (const char* name : {"A.TXT", "B.TXT", "C.TXT"})
        writeFile(card(name), patternBytes(5));
    connect();
    LinkList list;
    sim.planFault(2, SimFault::replyCode(0xFF));
    EXPECT_EQ(link->ListFiles("vx:\\", list), LINK_DEVICE_ERROR);
    EXPECT_TRUE(list.empty());
    // No frame follows the failing reply.
    EXPECT_EQ(sim.receivedFrames().size(), 4u);
}

TEST_F(ListTest, HostileEntriesAreRefused) {
    fs::create_directory(card("DIR"));
    connect();
    LinkList list;
    const std::vector<std::pair<const char*, SimFault>> cases = {
        {"13-byte name", SimFault::longName(13)},
        {"255-byte name", SimFault::longName(255)},
        {"empty name", SimFault::longName(0)},
        {"parent folder", SimFault::editFrame([](SimFrame& f) { f[2] = 2, f[3] = f[4] = '.'; })},
        {"separator", SimFault::editFrame([](SimFrame& f) { f[4] = '\\'; })},
        {"control byte", SimFault::editFrame([](SimFrame& f) { f[4] = '\n'; })},
    };
    for (const auto& [what, fault] : cases) {
        SCOPED_TRACE(what);
        sim.planFault(0, fault);
        EXPECT_EQ(link->ListFiles("vx:\\", list), LINK_BAD_REPLY);
        EXPECT_TRUE(list.empty());
        sim.planFault(0, fault);
        EXPECT_EQ(link->ListFolders("vx:\\", list), LINK_BAD_REPLY);
        EXPECT_TRUE(list.empty());
    }
    // A twelve-byte name is the longest there is, and comes back zero-terminated.
    sim.planFault(0, SimFault::longName(12));
    ASSERT_EQ(link->ListFiles("vx:\\", list), LINK_OK);
    EXPECT_EQ(std::string(list[0].name), std::string(12, 'A'));
}

TEST(ListLimitTest, EndlessListingIsCutOff) {
    // The machine answers every acknowledgement with one more entry, forever.
    SimFrame entry{};
    entry[0] = 0x96;
    entry[2] = 5;
    std::copy_n("A.TXT", 5, entry.begin() + 3);
    auto owned = std::make_unique<ScriptedTransport>([entry](std::size_t) { return entry; });
    ScriptedTransport& script = *owned;
    LinkOptions options;
    options.maxListEntries = 1000;
    DeviceLink link(std::move(owned), options);
    ASSERT_EQ(link.Connect(), LINK_OK);
    LinkList list;
    EXPECT_EQ(link.ListFiles("vx:\\", list), LINK_BAD_REPLY);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(script.reads, 1 + 1000 + 1); // the connect reply, then the entries
}

TEST_F(ListTest, TextsOver254BytesAreNotSent) {
    connect();
    LinkList list;
    const std::string longPath = "vx:\\" + std::string(251, 'A');
    EXPECT_EQ(link->ListFiles(longPath, list), LINK_TEXT_TOO_LONG);
    EXPECT_EQ(link->MakeFolder(longPath), LINK_TEXT_TOO_LONG);
    EXPECT_EQ(link->RemoveFile(longPath), LINK_TEXT_TOO_LONG);
    // 254 bytes itself fits, but the backslash RemoveFolder adds does not.
    EXPECT_EQ(link->RemoveFolder(longPath.substr(0, 254)), LINK_TEXT_TOO_LONG);
    EXPECT_TRUE(sim.receivedFrames().empty());
    EXPECT_TRUE(link->connected());

    // The longest text goes out whole, with its terminating zero in the last byte.
    ASSERT_EQ(link->SendString(longPath.substr(0, 254)), LINK_OK);
    EXPECT_EQ(sim.receivedFrames().back(), stringFrame(longPath.substr(0, 254)));
    EXPECT_EQ(sim.receivedFrames().back()[255], 0);
}

using FolderTest = LinkTest;

TEST_F(FolderTest, MakeFolderExchangeAndResults) {
    connect();
    ASSERT_EQ(link->MakeFolder("vx:\\game"), LINK_OK);
    EXPECT_TRUE(fs::is_directory(card("GAME")));
    EXPECT_EQ(sim.receivedFrames(),
              (std::vector<SimFrame>{commandFrame(0xA0), stringFrame("vx:\\game")}));

    EXPECT_EQ(link->MakeFolder("vx:\\game"), LINK_DEVICE_ERROR); // exists
    EXPECT_EQ(link->MakeFolder("vx:\\no\\sub"), LINK_NO_PATH);
    sim.planFault(0, SimFault::replyCode(0x42));
    EXPECT_EQ(link->MakeFolder("vx:\\other"), LINK_BAD_REPLY);
    sim.planFault(0, SimFault::shortFrame(0));
    EXPECT_EQ(link->MakeFolder("vx:\\third"), LINK_BAD_REPLY);
}

TEST_F(FolderTest, RemoveFolderSendsThePathWithABackslash) {
    fs::create_directories(card("GAME") / "OLD");
    writeFile(card("GAME") / "OLD" / "X.BIN", patternBytes(9));
    connect();
    ASSERT_EQ(link->RemoveFolder("vx:\\game\\old"), LINK_OK);
    EXPECT_FALSE(fs::exists(card("GAME") / "OLD"));
    EXPECT_EQ(sim.receivedFrames(),
              (std::vector<SimFrame>{commandFrame(0xB0), stringFrame("vx:\\game\\old\\")}));

    EXPECT_EQ(link->RemoveFolder("vx:\\game\\old"), LINK_DEVICE_ERROR);
    // The path-not-found code is not one this operation knows.
    sim.planFault(0, SimFault::replyCode(0xFE));
    EXPECT_EQ(link->RemoveFolder("vx:\\nothere"), LINK_BAD_REPLY);
}

TEST_F(FolderTest, RemoveFileExchangeAndResults) {
    writeFile(card("A.TXT"), patternBytes(5));
    connect();
    ASSERT_EQ(link->RemoveFile("vx:\\a.txt"), LINK_OK);
    EXPECT_FALSE(fs::exists(card("A.TXT")));
    EXPECT_EQ(sim.receivedFrames(),
              (std::vector<SimFrame>{commandFrame(0xC0), stringFrame("vx:\\a.txt")}));
    EXPECT_EQ(link->RemoveFile("vx:\\a.txt"), LINK_DEVICE_ERROR);
}

TEST_F(FolderTest, PathsCannotLeaveTheCard) {
    fs::create_directory(dir / "outside");
    connect();
    EXPECT_EQ(link->RemoveFolder("vx:\\..\\outside"), LINK_DEVICE_ERROR);
    EXPECT_EQ(link->MakeFolder("vx:\\..\\made"), LINK_DEVICE_ERROR);
    EXPECT_EQ(link->RemoveFolder("vx:\\"), LINK_DEVICE_ERROR);
    EXPECT_EQ(link->MakeFolder("c:\\made"), LINK_DEVICE_ERROR);
    EXPECT_TRUE(fs::is_directory(dir / "outside"));
    EXPECT_FALSE(fs::exists(dir / "MADE"));
}

using FormatTest = LinkTest;

TEST_F(FormatTest, EmptiesTheCardAndFormatsIt) {
    fs::create_directory(card("GAME"));
    writeFile(card("A.TXT"), patternBytes(5));
    sim.setUnformatted(true);
    connect();
    ASSERT_EQ(link->FormatCard(60), LINK_OK);
    EXPECT_TRUE(fs::is_empty(dir / "card"));
    EXPECT_EQ(sim.receivedFrames(), std::vector<SimFrame>{commandFrame(0x80)});
    LinkList list;
    EXPECT_EQ(link->ListFiles("vx:\\", list), LINK_OK);
}

TEST_F(FormatTest, EachReplyIsChecked) {
    connect();
    sim.planFault(0, SimFault::replyCode(0xFF)); // the first reply must be 0x81
    EXPECT_EQ(link->FormatCard(60), LINK_BAD_REPLY);
    // The link does not read on after a bad reply; the machine's final reply is still
    // waiting and has to be taken out of the way.
    ASSERT_EQ(link->ReceiveFrame(5), LINK_OK);
    EXPECT_EQ(link->frame()[0], 0x82);
    sim.planFault(1, SimFault::replyCode(0xFF));
    EXPECT_EQ(link->FormatCard(60), LINK_DEVICE_ERROR);
    sim.planFault(1, SimFault::replyCode(0xFE));
    EXPECT_EQ(link->FormatCard(60), LINK_BAD_REPLY);
    sim.planFault(1, SimFault::shortFrame(10));
    EXPECT_EQ(link->FormatCard(60), LINK_BAD_REPLY);
}
