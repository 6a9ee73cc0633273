// The device link: the PC side of the 'PC-Link' protocol with which a Vela machine serves
// its SmartMedia card. Every exchange is a strict alternation of fixed 256-byte frames: the
// PC writes command, string, value and data frames on the out pipe and reads reply frames
// from the in pipe, each through the link's IoWorker under a time limit.
//
// DeviceLink holds the pipes, the one frame buffer, the connected flag and what the
// machine told about itself at connect time, and offers every card operation the SMC
// manager uses. Operations return 0 or one of the negative LINK_ codes below; they never
// throw. Every byte of a reply is untrusted: lengths and sizes are bounded before use.
#pragma once

#include "devicelink/io_worker.h"
#include "devicelink/transport.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// ---- Result codes ----
inline constexpr int LINK_OK = 0;
inline constexpr int LINK_TIMEOUT = -1;        // a frame was not moved in time; not connected now
inline constexpr int LINK_CANCELED = -3;       // a progress callback asked to stop
inline constexpr int LINK_IO_FAILED = -5;      // the transport failed (device or peer gone)
inline constexpr int LINK_BAD_REPLY = -9;      // wrong length, unexpected code, data not fitting
inline constexpr int LINK_UNFORMATTED = -10;   // the card is not formatted
inline constexpr int LINK_NO_DEVICE = -17;     // connect: the pipes could not both be opened
inline constexpr int LINK_DEVICE_ERROR = -19;  // the machine answered 0xFF
inline constexpr int LINK_NO_PATH = -20;       // the machine answered 0xFE
inline constexpr int LINK_TEXT_TOO_LONG = -21; // a path or name over 254 bytes; nothing was sent
inline constexpr int LINK_NO_PERMISSION = -22; // connect: the system refused access to the machine

// A short English description of a link result code, for logs and the command line.
const char* link_result_text(int result);

// ---- Protocol constants ----
inline constexpr std::uint32_t kFrameBytes = 256;
inline constexpr std::uint32_t kMaxTextBytes = 254;
inline constexpr std::uint32_t kChunkDefault = 0x40000; // firmware 1.5 and later
inline constexpr std::uint32_t kChunkOldFirmware = 0x8000;
inline constexpr std::uint32_t kLargestCardBytes = 128u << 20;
inline constexpr std::size_t kMaxListEntries = 65536; // as many as a FAT folder can hold
inline constexpr std::size_t kMaxEntryName = 12;      // an 8.3 name

using Frame = std::array<std::uint8_t, kFrameBytes>;

// One entry of a folder listing from the machine.
struct LinkEntry {
    std::uint8_t kind = 0;       // files list: 0 file, 1 folder; folders list: 1 has sub-folders
    std::uint8_t nameLength = 0; // as received (at most 12)
    char name[14] = {};          // zero-terminated
    std::uint32_t size = 0;      // bytes (files list only)
    std::uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0; // (files list only)
};
using LinkList = std::vector<LinkEntry>;

// Progress records handed to the callbacks of PutFile and GetFile; the texts are valid
// during the call only.
struct LinkFileStart {
    const char* path;   // GetFile: the card path; PutFile: the file name
    const char* folder; // PutFile: destination folder; GetFile: nullptr
    const char* name;   // the file name
    std::uint32_t size; // bytes in the file
};
struct LinkChunkProgress {
    std::uint32_t bytesSoFar; // including this chunk
    std::uint32_t total;
};
struct LinkPacketProgress {
    std::uint32_t bytesSoFar; // including this packet
    std::uint32_t total;
    std::uint32_t packetBytes;
};
// Each may be empty. A callback returning LINK_CANCELED (-3) stops the transfer.
struct LinkCallbacks {
    std::function<int(const LinkFileStart&)> start;
    std::function<int(const LinkChunkProgress&)> chunk;
    std::function<int(const LinkPacketProgress&)> packet;
};

// Time limits of the reads, in the protocol's seconds.
inline constexpr std::uint32_t kWriteLimit = 5;
inline constexpr std::uint32_t kConnectLimit = 5;
inline constexpr std::uint32_t kReplyLimit = 40;
inline constexpr std::uint32_t kMakeFolderLimit = 60;
inline constexpr std::uint32_t kRemoveLimit = 120;
inline constexpr std::uint32_t kFormatLimit = 60; // what the manager passes to FormatCard

struct LinkOptions {
    // The real length of one second of a time limit; tests shrink it.
    std::chrono::microseconds secondLength = std::chrono::seconds(1);
    // Listings with more entries than this are refused as broken.
    std::size_t maxListEntries = kMaxListEntries;
    // Called on the requesting thread about every idleInterval while a frame is waited for
    // (a window repaints there); it must not use the link. Empty: none.
    std::function<void()> idle;
    std::chrono::microseconds idleInterval = std::chrono::milliseconds(50);
};

class DeviceLink {
public:
    // A link over transport, not connected, chunk size 262144.
    explicit DeviceLink(std::unique_ptr<LinkTransport> transport, LinkOptions options = {});
    // Closes the pipes that are open.
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    // Clears the pipe names and closes the pipes that are still open.
    void Reset();
    // Sets the hook called while a frame is waited for (see LinkOptions::idle). An operation
    // started from inside the hook fails with LINK_IO_FAILED and sends nothing.
    void setIdleHook(std::function<void()> hook,
                     std::chrono::microseconds interval = std::chrono::milliseconds(50));

    // Opens both pipes and asks the machine who it is. LINK_NO_DEVICE, LINK_NO_PERMISSION
    // (a machine is there but this user may not open it), LINK_TIMEOUT,
    // LINK_IO_FAILED, LINK_BAD_REPLY (the pipes are closed again on every failure).
    [[nodiscard]] int Connect();
    // Tells the machine the session ends and closes the pipes. LINK_TIMEOUT (pipes stay
    // open), LINK_IO_FAILED.
    [[nodiscard]] int Disconnect();

    // The sub-folders of folder (a card path ending in a backslash) into list; kind is 1
    // for a sub-folder that has sub-folders itself. On failure list is empty:
    // LINK_UNFORMATTED, LINK_DEVICE_ERROR, LINK_BAD_REPLY, LINK_TIMEOUT, LINK_IO_FAILED,
    // LINK_TEXT_TOO_LONG.
    [[nodiscard]] int ListFolders(std::string_view folder, LinkList& list);
    // The files and folders of folder into list; failures as ListFolders.
    [[nodiscard]] int ListFiles(std::string_view folder, LinkList& list);
    // Creates a folder. LINK_NO_PATH (parent missing), LINK_DEVICE_ERROR, LINK_BAD_REPLY,
    // LINK_TIMEOUT, LINK_IO_FAILED, LINK_TEXT_TOO_LONG.
    [[nodiscard]] int MakeFolder(std::string_view path);
    // Removes a folder (the path without its trailing backslash). LINK_DEVICE_ERROR,
    // LINK_BAD_REPLY, LINK_TIMEOUT, LINK_IO_FAILED, LINK_TEXT_TOO_LONG.
    [[nodiscard]] int RemoveFolder(std::string_view path);
    // Removes a file; failures as RemoveFolder.
    [[nodiscard]] int RemoveFile(std::string_view path);
    // Formats the card, waiting finalLimit seconds for the machine to finish.
    // LINK_DEVICE_ERROR, LINK_BAD_REPLY, LINK_TIMEOUT, LINK_IO_FAILED.
    [[nodiscard]] int FormatCard(std::uint32_t finalLimit = kFormatLimit);
    // Writes size bytes as the file name in folder (a card path ending in a backslash). A
    // cancel once data went out still ends the exchange; when the machine kept a file all
    // the same (cancelledPutKept), removing it is the caller's part. LINK_NO_PATH,
    // LINK_DEVICE_ERROR, LINK_BAD_REPLY, LINK_CANCELED, LINK_TIMEOUT, LINK_IO_FAILED,
    // LINK_TEXT_TOO_LONG.
    [[nodiscard]] int PutFile(const std::uint8_t* data, std::uint32_t size, std::string_view folder,
                              std::string_view name, const LinkCallbacks& callbacks = {});
    // Reads the card file path (name is its file name, for the callbacks) into data; on
    // failure data is empty. LINK_BAD_REPLY (also for a size over 128 MiB or data not
    // fitting the announced size), LINK_CANCELED, LINK_TIMEOUT, LINK_IO_FAILED,
    // LINK_TEXT_TOO_LONG.
    [[nodiscard]] int GetFile(std::string_view path, std::string_view name,
                              std::vector<std::uint8_t>& data, const LinkCallbacks& callbacks = {});

    // ---- Frame primitives: each moves one frame and returns the transfer's result ----

    // A command frame: the code, then zeros.
    [[nodiscard]] int SendCommand(std::uint8_t code);
    // A string frame: length byte, text, zeros. LINK_TEXT_TOO_LONG over 254 bytes.
    [[nodiscard]] int SendString(std::string_view text);
    // A value frame: u32 little-endian, then zeros.
    [[nodiscard]] int SendValue(std::uint32_t value);
    // A data frame: 1 to 256 bytes, then zeros.
    [[nodiscard]] int SendData(const std::uint8_t* bytes, std::uint32_t count);
    // Reads one reply frame into frame() (zero-filled first) within seconds.
    [[nodiscard]] int ReceiveFrame(std::uint32_t seconds);

    // ---- State ----
    bool connected() const { return connected_; }
    // Whether the machine kept a file of the last PutFile although it was cancelled.
    bool cancelledPutKept() const { return cancelledPutKept_; }
    std::uint32_t chunkSize() const { return chunkSize_; }
    std::uint32_t lastReadLength() const { return lastReadLength_; }
    const Frame& frame() const { return frame_; }
    const std::array<std::uint8_t, 24>& deviceInfo() const { return deviceInfo_; }
    std::uint8_t firmwareMajor() const { return firmwareMajor_; }
    std::uint8_t firmwareMinor() const { return firmwareMinor_; }
    const char* inPipeName() const { return inPipeName_; }
    const char* outPipeName() const { return outPipeName_; }
    bool pipesOpen() const { return inPipe_ != kInvalidPipe || outPipe_ != kInvalidPipe; }

private:
    int list(std::uint8_t command, std::uint8_t entryCode, std::uint8_t endCode, bool files,
             std::string_view folder, LinkList& list);
    int simple(std::uint8_t command, std::string_view text, std::uint32_t limit,
               std::uint8_t okCode, bool pathCode);
    int getFile(std::string_view path, std::string_view name, std::vector<std::uint8_t>& data,
                const LinkCallbacks& callbacks);
    int fail(int result);
    int write(std::uint32_t seconds);
    bool replyIs256() const { return lastReadLength_ == kFrameBytes; }
    void closePipes();

    std::unique_ptr<LinkTransport> transport_;
    IoWorker worker_;
    const std::size_t maxListEntries_;
    char inPipeName_[32] = {};
    char outPipeName_[32] = {};
    PipeHandle inPipe_ = kInvalidPipe;
    PipeHandle outPipe_ = kInvalidPipe;
    Frame frame_{};
    bool connected_ = false;
    bool cancelledPutKept_ = false;
    std::uint32_t chunkSize_ = kChunkDefault;
    std::uint32_t lastReadLength_ = 0;
    std::array<std::uint8_t, 24> deviceInfo_{};
    std::uint8_t firmwareMajor_ = 0;
    std::uint8_t firmwareMinor_ = 0;
};
