// The PC-Link operations other than file transfers, against the simulated machine: the
// exact frames sent, the result for each reply the machine can give, the listing parser's
// handling of hostile entries, and the simulated machine's format.
#include "link_fixture.h"

#include <filesystem>

namespace fs = std::filesystem;

struct FirmwareCase {
    std::uint8_t major, minor;
    std::uint32_t chunk;
};
class ChunkSizeTest : public LinkTest, public ::testing::WithParamInterface<FirmwareCase> {};

TEST_P(ChunkSizeTest, FollowsTheFirmwareVersion) {
    sim.setFirmware(GetParam().major, GetParam().minor);
    ASSERT_EQ(link->Connect(), LinkResult::Ok);
    EXPECT_EQ(link->chunkSize(), GetParam().chunk);
    EXPECT_EQ(link->deviceInfo()[kInfoFirmwareMajor], GetParam().major);
    EXPECT_EQ(link->firmwareMinor(), GetParam().minor);
}

INSTANTIATE_TEST_SUITE_P(Firmware, ChunkSizeTest,
                         ::testing::Values(FirmwareCase{1, 4, 32768}, FirmwareCase{1, 5, 262144},
                                           FirmwareCase{2, 0, 262144}, FirmwareCase{0, 9, 32768}),
                         [](const auto& info) {
                             return "v" + std::to_string(info.param.major) + "_" +
                                    std::to_string(info.param.minor);
                         });

using ConnectTest = LinkTest;

TEST_F(ConnectTest, FailuresCloseThePipesAndTheNextAttemptWorks) {
    const struct {
        const char* what;
        std::function<void(SimMachine&)> set;
        LinkResult result;
    } cases[] = {
        {"unplugged", [](SimMachine& m) { m.setUnplugged(true); }, LinkResult::NoDevice},
        {"no permission", [](SimMachine& m) { m.setAccessDenied(true); }, LinkResult::NoPermission},
        {"short reply", [](SimMachine& m) { m.planFault(0, SimFault::shortFrame(24)); },
         LinkResult::BadReply},
        {"not the connect reply",
         [](SimMachine& m) { m.planFault(0, SimFault::replyCode(code(LinkReply::FolderMade))); },
         LinkResult::BadReply},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.set(sim);
        EXPECT_EQ(link->Connect(), c.result);
        EXPECT_FALSE(link->connected());
        EXPECT_FALSE(link->pipesOpen());
        sim.setUnplugged(false);
        sim.setAccessDenied(false);
        EXPECT_EQ(link->Connect(), LinkResult::Ok);
        EXPECT_TRUE(link->connected());
        EXPECT_STREQ(link->outPipeName(), "PIPE02");
    }
}

TEST_F(ConnectTest, DisconnectSendsOneFrameAndClosesThePipes) {
    connect();
    ASSERT_EQ(link->Disconnect(), LinkResult::Ok);
    EXPECT_FALSE(link->connected());
    EXPECT_FALSE(link->pipesOpen());
    EXPECT_EQ(sim.receivedFrames(), Frames{commandFrame(LinkCommand::Disconnect)});
    LinkList list;
    EXPECT_EQ(link->ListFiles("vx:\\", list), LinkResult::IoFailed);
    link->Reset();
    EXPECT_STREQ(link->inPipeName(), "");
}

using ListTest = LinkTest;

TEST_F(ListTest, FilesWithSizesDatesAndKinds) {
    fs::create_directories(card("GAME") / "LEVELS");
    fs::create_directory(card("MP3"));
    writeFile(card("readme.txt"), patternBytes(1234));
    writeFile(card("This is not 8.3.txt"), patternBytes(10)); // invisible to the machine
    connect();

    LinkList list;
    ASSERT_EQ(link->ListFiles("vx:\\", list), LinkResult::Ok);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_STREQ(list[0].name, "GAME");
    EXPECT_EQ(list[0].kind, 1);
    EXPECT_STREQ(list[2].name, "README.TXT");
    EXPECT_EQ(list[2].nameLength, 10);
    EXPECT_EQ(list[2].kind, 0);
    EXPECT_EQ(list[2].size, 1234u);
    EXPECT_GE(list[2].year, 2000);
    EXPECT_GE(list[2].month, 1);
    EXPECT_LE(list[2].month, 12);
    EXPECT_LE(list[2].minute, 59);
    expectFrames(sim.receivedFrames(),
                 {commandFrame(LinkCommand::ListFiles), stringFrame("vx:\\"),
                  commandFrame(LinkCommand::Next), commandFrame(LinkCommand::Next),
                  commandFrame(LinkCommand::Next)});

    // The folder list marks the folders that have sub-folders.
    ASSERT_EQ(link->ListFolders("vx:\\", list), LinkResult::Ok);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].kind, 1);
    EXPECT_STREQ(list[1].name, "MP3");
    EXPECT_EQ(list[1].kind, 0);
    ASSERT_EQ(link->ListFolders("vx:\\mp3\\", list), LinkResult::Ok);
    EXPECT_TRUE(list.empty());
}

TEST_F(ListTest, FailingRepliesEmptyTheListAndEndTheExchange) {
    for (const char* name : {"A.TXT", "B.TXT", "C.TXT"})
        writeFile(card(name), patternBytes(5));
    connect();
    const struct {
        std::size_t reply;
        SimFault fault;
        LinkResult result;
    } cases[] = {
        {0, SimFault::replyCode(code(LinkReply::Unformatted)), LinkResult::Unformatted},
        {0, SimFault::replyCode(code(LinkReply::DeviceError)), LinkResult::DeviceError},
        {2, SimFault::replyCode(code(LinkReply::DeviceError)), LinkResult::DeviceError},
        {0, SimFault::replyCode(code(LinkReply::NoPath)), LinkResult::BadReply},
        {1, SimFault::replyCode(code(LinkReply::FolderEntry)), LinkResult::BadReply},
        {1, SimFault::shortFrame(255), LinkResult::BadReply},
        {0, SimFault::longName(13), LinkResult::BadReply},
        {0, SimFault::longName(0), LinkResult::BadReply},
        {0, SimFault::editFrame([](SimFrame& f) { f[2] = 2, f[3] = f[4] = '.'; }),
         LinkResult::BadReply},
        {0, SimFault::editFrame([](SimFrame& f) { f[4] = '\\'; }), LinkResult::BadReply},
        {0, SimFault::editFrame([](SimFrame& f) { f[4] = '/'; }), LinkResult::BadReply},
        {0, SimFault::editFrame([](SimFrame& f) { f[4] = ':'; }), LinkResult::BadReply},
        {0, SimFault::editFrame([](SimFrame& f) { f[4] = 0x1F; }), LinkResult::BadReply},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        sim.restart();
        sim.clearReceived();
        sim.planFault(c.reply, c.fault);
        LinkList list(2);
        EXPECT_EQ(link->ListFiles("vx:\\", list), c.result);
        EXPECT_TRUE(list.empty());
        // No frame follows the failing reply: command, path, one per entry taken.
        EXPECT_EQ(sim.receivedFrames().size(), 2 + c.reply);
    }
    EXPECT_TRUE(link->connected());
    // Twelve bytes is the longest name, and it comes back zero-terminated.
    sim.planFault(0, SimFault::longName(12));
    LinkList list;
    ASSERT_EQ(link->ListFiles("vx:\\", list), LinkResult::Ok);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(std::string(list[0].name), std::string(12, 'A'));
}

TEST(ListLimitTest, EndlessListingIsCutOff) {
    TempDir dir;
    SimMachine sim(dir / "card");
    for (int i = 0; i < 12; ++i)
        writeFile(dir / "card" / ("F" + std::to_string(i)), {});
    LinkOptions options;
    options.maxListEntries = 10;
    DeviceLink link(makeSimTransport(sim), options);
    ASSERT_EQ(link.Connect(), LinkResult::Ok);
    LinkList list;
    EXPECT_EQ(link.ListFiles("vx:\\", list), LinkResult::BadReply);
    EXPECT_TRUE(list.empty());
    options.maxListEntries = 12;
    DeviceLink enough(makeSimTransport(sim), options);
    sim.restart();
    ASSERT_EQ(enough.Connect(), LinkResult::Ok);
    EXPECT_EQ(enough.ListFiles("vx:\\", list), LinkResult::Ok);
    EXPECT_EQ(list.size(), 12u);
}

using FolderTest = LinkTest;

TEST_F(FolderTest, ExchangesAndResults) {
    fs::create_directories(card("GAME") / "OLD");
    writeFile(card("GAME") / "OLD" / "X.BIN", patternBytes(9));
    writeFile(card("A.TXT"), patternBytes(5));
    fs::create_directory(dir / "outside");
    connect();
    using Op = std::function<LinkResult(DeviceLink&)>;
    const Op make = [](DeviceLink& l) { return l.MakeFolder("vx:\\new"); };
    const struct {
        const char* what;
        Op op;
        Frames frames;
        LinkResult result;
    } cases[] = {
        {"make",
         make,
         {commandFrame(LinkCommand::MakeFolder), stringFrame("vx:\\new")},
         LinkResult::Ok},
        {"make again", make, {}, LinkResult::DeviceError},
        {"make without parent",
         [](DeviceLink& l) { return l.MakeFolder("vx:\\no\\sub"); },
         {},
         LinkResult::NoPath},
        {"remove folder",
         [](DeviceLink& l) { return l.RemoveFolder("vx:\\game\\old"); },
         {commandFrame(LinkCommand::RemoveFolder), stringFrame("vx:\\game\\old\\")},
         LinkResult::Ok},
        {"remove it again",
         [](DeviceLink& l) { return l.RemoveFolder("vx:\\game\\old"); },
         {},
         LinkResult::DeviceError},
        {"remove file",
         [](DeviceLink& l) { return l.RemoveFile("vx:\\a.txt"); },
         {commandFrame(LinkCommand::RemoveFile), stringFrame("vx:\\a.txt")},
         LinkResult::Ok},
        {"remove file again",
         [](DeviceLink& l) { return l.RemoveFile("vx:\\a.txt"); },
         {},
         LinkResult::DeviceError},
        {"leave the card",
         [](DeviceLink& l) { return l.RemoveFolder("vx:\\..\\outside"); },
         {},
         LinkResult::DeviceError},
        {"the card itself",
         [](DeviceLink& l) { return l.RemoveFolder("vx:\\"); },
         {},
         LinkResult::DeviceError},
        {"another drive",
         [](DeviceLink& l) { return l.MakeFolder("c:\\made"); },
         {},
         LinkResult::DeviceError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim.clearReceived();
        EXPECT_EQ(c.op(*link), c.result);
        if (!c.frames.empty()) expectFrames(sim.receivedFrames(), c.frames);
    }
    EXPECT_TRUE(fs::is_directory(card("NEW")));
    EXPECT_FALSE(fs::exists(card("GAME") / "OLD"));
    EXPECT_FALSE(fs::exists(card("A.TXT")));
    EXPECT_TRUE(fs::is_directory(dir / "outside"));
}

TEST_F(FolderTest, RepliesOtherThanTheExpectedOne) {
    connect();
    const struct {
        std::uint8_t reply;
        LinkResult make, remove;
    } cases[] = {
        {code(LinkReply::NoPath), LinkResult::NoPath, LinkResult::BadReply},
        {code(LinkReply::DeviceError), LinkResult::DeviceError, LinkResult::DeviceError},
        {0x42, LinkResult::BadReply, LinkResult::BadReply},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.reply));
        sim.planFault(0, SimFault::replyCode(c.reply));
        EXPECT_EQ(link->MakeFolder("vx:\\x"), c.make);
        fs::create_directory(card("Y"));
        sim.planFault(0, SimFault::replyCode(c.reply));
        EXPECT_EQ(link->RemoveFolder("vx:\\y"), c.remove);
        writeFile(card("Z"), {});
        sim.planFault(0, SimFault::replyCode(c.reply));
        EXPECT_EQ(link->RemoveFile("vx:\\z"), c.remove);
    }
    sim.planFault(0, SimFault::shortFrame(0));
    EXPECT_EQ(link->MakeFolder("vx:\\third"), LinkResult::BadReply);
}

TEST_F(FolderTest, TextsOver254BytesAreNotSent) {
    connect();
    LinkList list;
    std::vector<std::uint8_t> got;
    const std::uint8_t byte = 1;
    const std::string longest = "vx:\\" + std::string(250, 'A'); // 254 bytes
    const std::string over = longest + "A";
    EXPECT_EQ(link->ListFiles(over, list), LinkResult::TextTooLong);
    EXPECT_EQ(link->MakeFolder(over), LinkResult::TextTooLong);
    EXPECT_EQ(link->RemoveFile(over), LinkResult::TextTooLong);
    // The backslash RemoveFolder adds makes the longest text one too long.
    EXPECT_EQ(link->RemoveFolder(longest), LinkResult::TextTooLong);
    EXPECT_EQ(link->GetFile(over, "a", got), LinkResult::TextTooLong);
    EXPECT_EQ(link->PutFile(&byte, 1, over, "a"), LinkResult::TextTooLong);
    EXPECT_EQ(link->PutFile(&byte, 1, "vx:\\", over), LinkResult::TextTooLong);
    EXPECT_TRUE(sim.receivedFrames().empty());
    EXPECT_TRUE(link->connected());
    // The longest text goes out whole, with its terminating zero in the last byte.
    EXPECT_EQ(link->MakeFolder(longest), LinkResult::DeviceError);
    EXPECT_EQ(sim.receivedFrames().back(), stringFrame(longest));
}

using FormatTest = LinkTest;

TEST_F(FormatTest, RemovesWhatTheCardShowsAndNothingElse) {
    fs::create_directories(card("GAME") / "LEVELS");
    writeFile(card("A.TXT"), patternBytes(5));
    writeFile(card("My Thesis Draft.docx"), patternBytes(7));
    sim.setUnformatted(true);
    connect();
    ASSERT_EQ(link->FormatCard(60), LinkResult::Ok);
    EXPECT_EQ(sim.receivedFrames(), Frames{commandFrame(LinkCommand::Format)});
    EXPECT_FALSE(fs::exists(card("GAME")));
    EXPECT_FALSE(fs::exists(card("A.TXT")));
    EXPECT_EQ(readFile(card("My Thesis Draft.docx")), patternBytes(7));
    LinkList list;
    EXPECT_EQ(link->ListFiles("vx:\\", list), LinkResult::Ok);
    EXPECT_TRUE(list.empty());

    // A card folder holding something the card does not show: refused, nothing removed.
    fs::create_directory(card("DOCS"));
    writeFile(card("DOCS") / "notes for later.txt", patternBytes(3));
    writeFile(card("B.TXT"), patternBytes(5));
    EXPECT_EQ(link->FormatCard(60), LinkResult::DeviceError);
    EXPECT_TRUE(fs::exists(card("B.TXT")));
    EXPECT_TRUE(fs::exists(card("DOCS") / "notes for later.txt"));
}

TEST_F(FormatTest, EachReplyIsChecked) {
    connect();
    const struct {
        std::size_t reply;
        SimFault fault;
        LinkResult result;
    } cases[] = {
        {0, SimFault::replyCode(code(LinkReply::DeviceError)), LinkResult::BadReply},
        {0, SimFault::shortFrame(10), LinkResult::BadReply},
        {1, SimFault::replyCode(code(LinkReply::DeviceError)), LinkResult::DeviceError},
        {1, SimFault::replyCode(code(LinkReply::NoPath)), LinkResult::BadReply},
        {1, SimFault::shortFrame(10), LinkResult::BadReply},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        sim.planFault(c.reply, c.fault);
        EXPECT_EQ(link->FormatCard(60), c.result);
    }
    // The final reply left behind by a broken exchange is not taken for the next one's.
    EXPECT_EQ(link->FormatCard(60), LinkResult::Ok);
}
