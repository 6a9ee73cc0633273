// SPDX-License-Identifier: MIT
// The PC-Link operations other than file transfers, against the simulated machine: the
// exact frames sent, the result for each reply the machine can give, the listing parser's
// handling of hostile entries, and the simulated machine's format.
#include "link_fixture.h"

#include <ctime>
#include <filesystem>

namespace fs = std::filesystem;

using ConnectTest = LinkTest;

TEST_F(ConnectTest, FailuresCloseThePipesTheNextAttemptWorksAndDisconnectCloses) {
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
    }
    sim.clearReceived();
    const auto* info = reinterpret_cast<const char*>(link->deviceInfo().data());
    EXPECT_EQ(std::string(info + kInfoName, 8), "VELA-SIM");
    ASSERT_EQ(link->Disconnect(), LinkResult::Ok);
    EXPECT_FALSE(link->connected());
    EXPECT_FALSE(link->pipesOpen());
    EXPECT_EQ(sim.receivedFrames(), Frames{commandFrame(LinkCommand::Disconnect)});
    LinkList list;
    EXPECT_EQ(link->ListFiles("vx:\\", list), LinkResult::IoFailed);
}

using ListTest = LinkTest;

TEST_F(ListTest, FilesWithSizesDatesAndKinds) {
    fs::create_directories(card("GAME") / "LEVELS");
    fs::create_directory(card("MP3"));
    writeFile(card("readme.txt"), patternBytes(1234));
    writeFile(card("This is not 8.3.txt"), patternBytes(10)); // invisible to the machine
    std::tm when{0, 45, 13, 17, 4, 2023 - 1900, 0, 0, -1, 0, nullptr};
    fs::last_write_time(card("readme.txt"),
                        std::chrono::file_clock::from_sys(
                            std::chrono::system_clock::from_time_t(std::mktime(&when))));
    connect();

    LinkList list;
    ASSERT_EQ(link->ListFiles("vx:\\", list), LinkResult::Ok);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_STREQ(list[0].name, "GAME");
    EXPECT_EQ(list[0].kind, 1);
    EXPECT_STREQ(list[2].name, "README.TXT");
    EXPECT_EQ(list[2].nameLength + list[2].kind, 10);
    EXPECT_EQ(list[2].size, 1234u);
    const LinkEntry& e = list[2];
    EXPECT_EQ((std::vector<int>{e.year, e.month, e.day, e.hour, e.minute}),
              (std::vector<int>{2023, 5, 17, 13, 45}));
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

    // Listings with more entries than the link's limit are refused as broken.
    for (std::size_t limit : {2u, 3u}) {
        LinkOptions options;
        options.maxListEntries = limit;
        DeviceLink limited(makeSimTransport(sim), options);
        ASSERT_EQ(limited.Connect(), LinkResult::Ok);
        EXPECT_EQ(limited.ListFiles("vx:\\", list),
                  limit == 3 ? LinkResult::Ok : LinkResult::BadReply);
        EXPECT_EQ(list.size(), limit == 3 ? 3u : 0u);
    }
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
    // A file is no folder to list.
    LinkList list;
    EXPECT_EQ(link->ListFiles("vx:\\a.txt\\", list), LinkResult::DeviceError);
    // Twelve bytes is the longest name, and it comes back zero-terminated.
    sim.planFault(0, SimFault::longName(12));
    ASSERT_EQ(link->ListFiles("vx:\\", list), LinkResult::Ok);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(std::string(list[0].name), std::string(12, 'A'));
}

using FolderTest = LinkTest;

TEST_F(FolderTest, ExchangesAndResultsOfEachReply) {
    fs::create_directories(card("GAME") / "OLD");
    writeFile(card("GAME") / "OLD" / "X.BIN", patternBytes(9));
    writeFile(card("A.TXT"), patternBytes(5));
    fs::create_directory(dir / "outside");
    connect();
    // Made, removed, removed: the exact frames. Then what the machine refuses.
    const auto run = [&](LinkCommand op, const char* path) {
        sim.clearReceived();
        return op == LinkCommand::MakeFolder     ? link->MakeFolder(path)
               : op == LinkCommand::RemoveFolder ? link->RemoveFolder(path)
                                                 : link->RemoveFile(path);
    };
    const struct {
        LinkCommand op;
        const char* path;
        const char* sent;
        LinkResult result;
    } cases[] = {
        {LinkCommand::MakeFolder, "vx:\\new", "vx:\\new", LinkResult::Ok},
        {LinkCommand::RemoveFolder, "vx:\\game\\old", "vx:\\game\\old\\", LinkResult::Ok},
        {LinkCommand::RemoveFile, "vx:\\a.txt", "vx:\\a.txt", LinkResult::Ok},
        {LinkCommand::MakeFolder, "vx:\\new", nullptr, LinkResult::DeviceError},
        {LinkCommand::MakeFolder, "vx:\\no\\sub", nullptr, LinkResult::NoPath},
        {LinkCommand::MakeFolder, "c:\\made", nullptr, LinkResult::DeviceError},
        {LinkCommand::RemoveFolder, "vx:\\game\\old", nullptr, LinkResult::DeviceError},
        {LinkCommand::RemoveFolder, "vx:\\..\\outside", nullptr, LinkResult::DeviceError},
        {LinkCommand::RemoveFolder, "vx:\\", nullptr, LinkResult::DeviceError},
        {LinkCommand::RemoveFile, "vx:\\a.txt", nullptr, LinkResult::DeviceError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(run(c.op, c.path), c.result);
        if (c.sent) expectFrames(sim.receivedFrames(), {commandFrame(c.op), stringFrame(c.sent)});
    }
    EXPECT_TRUE(fs::is_directory(card("NEW")));
    EXPECT_FALSE(fs::exists(card("GAME") / "OLD"));
    EXPECT_FALSE(fs::exists(card("A.TXT")));
    EXPECT_TRUE(fs::is_directory(dir / "outside"));

    // Replies other than the expected one: only making a folder knows path-not-found.
    const struct {
        std::uint8_t reply;
        LinkResult make, remove;
    } replies[] = {{0xFE, LinkResult::NoPath, LinkResult::BadReply},
                   {0xFF, LinkResult::DeviceError, LinkResult::DeviceError},
                   {0x42, LinkResult::BadReply, LinkResult::BadReply}};
    for (const auto& c : replies) {
        SCOPED_TRACE(int(c.reply));
        for (int i = 0; i < 3; ++i)
            sim.planFault(i, SimFault::replyCode(c.reply));
        EXPECT_EQ(link->MakeFolder("vx:\\x"), c.make);
        EXPECT_EQ(link->RemoveFolder("vx:\\y"), c.remove);
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
    EXPECT_EQ(link->GetFile(longest, "a", got), LinkResult::BadReply); // no such file
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
    writeFile(card("DOCS") / "my notes.txt", patternBytes(3)); // a space: no 8.3 name
    writeFile(card("B.TXT"), patternBytes(5));
    EXPECT_EQ(link->FormatCard(60), LinkResult::DeviceError);
    EXPECT_TRUE(fs::exists(card("B.TXT")));
    EXPECT_TRUE(fs::exists(card("DOCS") / "my notes.txt"));
}
