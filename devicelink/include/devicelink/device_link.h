// SPDX-License-Identifier: MIT
// The device link: the PC side of the 'PC-Link' protocol with which a Vela machine serves
// its SmartMedia card. Every exchange is a strict alternation of fixed 256-byte frames: the
// PC writes command, string, value and data frames on the out pipe and reads reply frames
// from the in pipe, each through the link's IoWorker under a time limit.
//
// DeviceLink holds the pipes, the one frame buffer, the connected flag and what the
// machine told about itself at connect time, and offers every card operation the SMC
// manager uses. Operations return a LinkResult; they never throw. Every byte of a reply is
// untrusted: lengths and sizes are bounded before use.
//
// An exchange that broke off (a time-out, a failed transfer, a reply not understood) may
// leave replies of the machine in the in pipe. Before its next command the link reads and
// drops whatever arrives until the pipe has stayed quiet for a moment, so no later
// operation takes a stale reply for its own; Connect always does so first.
#pragma once

#include "devicelink/io_worker.h"
#include "devicelink/link_protocol.h"
#include "devicelink/transport.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
// Each may be empty. A callback returning LinkResult::Canceled stops the transfer; any
// other result goes on. Packet callbacks come once the chunk's frames have moved.
struct LinkCallbacks {
    std::function<LinkResult(const LinkFileStart&)> start;
    std::function<LinkResult(const LinkChunkProgress&)> chunk;
    std::function<LinkResult(const LinkPacketProgress&)> packet;
};

// The bytes of a file being put, pulled a chunk at a time in order: fills buffer with exactly
// bytes bytes, or returns false when they cannot be had.
using LinkSource = std::function<bool(std::uint8_t* buffer, std::uint32_t bytes)>;
// The bytes of a file being got, pushed a chunk at a time in order; false when they cannot
// be kept.
using LinkSink = std::function<bool(const std::uint8_t* data, std::uint32_t bytes)>;

struct LinkOptions {
    // The real length of one second of a time limit; tests shrink it.
    std::chrono::microseconds secondLength = std::chrono::seconds(1);
    // How long the in pipe must stay silent for stale replies to count as drained.
    std::chrono::microseconds quietTime = std::chrono::milliseconds(100);
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
    // started from inside the hook fails with IoFailed and sends nothing.
    void setIdleHook(std::function<void()> hook,
                     std::chrono::microseconds interval = std::chrono::milliseconds(50));

    // Opens both pipes, drops stale input and asks the machine who it is. NoDevice,
    // NoPermission (a machine is there but this user may not open it), Timeout, IoFailed,
    // BadReply (also for a reply that is not the connect reply); the pipes are closed
    // again on every failure.
    [[nodiscard]] LinkResult Connect();
    // Tells the machine the session ends and closes the pipes. Timeout (pipes stay open),
    // IoFailed.
    [[nodiscard]] LinkResult Disconnect();

    // The sub-folders of folder (a card path ending in a backslash) into list; kind is 1
    // for a sub-folder that has sub-folders itself. On failure list is empty: Unformatted,
    // DeviceError, BadReply, Timeout, IoFailed, TextTooLong.
    [[nodiscard]] LinkResult ListFolders(std::string_view folder, LinkList& list);
    // The files and folders of folder into list; failures as ListFolders.
    [[nodiscard]] LinkResult ListFiles(std::string_view folder, LinkList& list);
    // Creates a folder. NoPath (parent missing), DeviceError, BadReply, Timeout, IoFailed,
    // TextTooLong.
    [[nodiscard]] LinkResult MakeFolder(std::string_view path);
    // Removes a folder (the path without its trailing backslash). DeviceError, BadReply,
    // Timeout, IoFailed, TextTooLong.
    [[nodiscard]] LinkResult RemoveFolder(std::string_view path);
    // Removes a file; failures as RemoveFolder.
    [[nodiscard]] LinkResult RemoveFile(std::string_view path);
    // Formats the card, waiting finalLimit seconds for the machine to finish. DeviceError,
    // BadReply, Timeout, IoFailed.
    [[nodiscard]] LinkResult FormatCard(std::uint32_t finalLimit = kFormatLimit);
    // Writes a file of size bytes, pulled from source a chunk at a time, as name in folder
    // (a card path ending in a backslash); a file of any size costs one chunk of memory. A
    // cancel, or a source that fails (ReadFailed), ends the exchange with the end marker;
    // when the machine kept a file all the same (cancelledPutKept), removing it is the
    // caller's part. NoPath, DeviceError, BadReply, Canceled, ReadFailed, Timeout, IoFailed,
    // TextTooLong.
    [[nodiscard]] LinkResult PutFile(std::uint32_t size, const LinkSource& source,
                                     std::string_view folder, std::string_view name,
                                     const LinkCallbacks& callbacks = {});
    // PutFile of size bytes from data.
    [[nodiscard]] LinkResult PutFile(const std::uint8_t* data, std::uint32_t size,
                                     std::string_view folder, std::string_view name,
                                     const LinkCallbacks& callbacks = {});
    // Reads the card file path (name is its file name, for the callbacks) into sink, a chunk
    // at a time, each before its packets are reported. A cancel, or a sink that fails
    // (WriteFailed), ends the exchange as a finished read does; what the sink took before a
    // failure is the caller's to drop. BadReply (also for a size over 128 MiB or data not
    // fitting the announced size), Canceled, WriteFailed, Timeout, IoFailed, TextTooLong.
    [[nodiscard]] LinkResult GetFile(std::string_view path, std::string_view name,
                                     const LinkSink& sink, const LinkCallbacks& callbacks = {});
    // GetFile into data; on failure data is empty.
    [[nodiscard]] LinkResult GetFile(std::string_view path, std::string_view name,
                                     std::vector<std::uint8_t>& data,
                                     const LinkCallbacks& callbacks = {});

    // ---- Frame primitives: each moves one frame and returns the transfer's result ----

    // A command frame: the code, then zeros.
    [[nodiscard]] LinkResult SendCommand(LinkCommand command);
    // A string frame: length byte, text, zeros. TextTooLong over 254 bytes.
    [[nodiscard]] LinkResult SendString(std::string_view text);
    // A value frame: u32 little-endian, then zeros.
    [[nodiscard]] LinkResult SendValue(std::uint32_t value);
    // Reads one reply frame into frame() (zero-filled first) within seconds.
    [[nodiscard]] LinkResult ReceiveFrame(std::uint32_t seconds);

    // ---- State ----
    bool connected() const { return connected_; }
    // Whether the machine kept a file of the last PutFile although it was cancelled.
    bool cancelledPutKept() const { return cancelledPutKept_; }
    std::uint32_t chunkSize() const { return chunkSize_; }
    std::uint32_t lastReadLength() const { return lastReadLength_; }
    const Frame& frame() const { return frame_; }
    const std::array<std::uint8_t, kInfoBytes>& deviceInfo() const { return deviceInfo_; }
    std::uint8_t firmwareMajor() const { return firmwareMajor_; }
    std::uint8_t firmwareMinor() const { return firmwareMinor_; }
    const char* inPipeName() const { return inPipeName_; }
    const char* outPipeName() const { return outPipeName_; }
    bool pipesOpen() const { return inPipe_ != kInvalidPipe || outPipe_ != kInvalidPipe; }

private:
    template <class Body> LinkResult exchange(Body body);
    bool drain();
    LinkResult connect();
    LinkResult list(LinkCommand command, LinkReply entryCode, LinkReply endCode, bool files,
                    std::string_view folder, LinkList& list);
    LinkResult simple(LinkCommand command, std::string_view text, std::uint32_t limit,
                      LinkReply okCode, bool pathCode);
    LinkResult ask(std::uint32_t seconds);
    LinkResult expect(LinkReply okCode, bool pathCode);
    LinkResult receiveWhole();
    LinkResult putFile(std::uint32_t size, const LinkSource& source, std::string_view folder,
                       std::string_view name, const LinkCallbacks& callbacks);
    LinkResult getFile(std::string_view path, std::string_view name, const LinkSink& sink,
                       const LinkCallbacks& callbacks);
    LinkResult getChunks(std::uint32_t size, const LinkSink& sink, const LinkCallbacks& callbacks,
                         bool* ended);
    LinkResult fail(LinkResult result);
    LinkResult write(std::uint32_t seconds);
    bool replyIs256() const { return lastReadLength_ == kFrameBytes; }
    void closePipes();

    std::unique_ptr<LinkTransport> transport_;
    IoWorker worker_;
    const std::size_t maxListEntries_;
    const std::chrono::microseconds quietTime_;
    char inPipeName_[32] = {};
    char outPipeName_[32] = {};
    PipeHandle inPipe_ = kInvalidPipe;
    PipeHandle outPipe_ = kInvalidPipe;
    Frame frame_{};
    std::vector<std::uint8_t> packets_; // a chunk's bytes: as read, or as pulled to be sent
    bool connected_ = false;
    bool drainPending_ = false;
    bool cancelledPutKept_ = false;
    std::uint32_t chunkSize_ = kChunkDefault;
    std::uint32_t lastReadLength_ = 0;
    std::array<std::uint8_t, kInfoBytes> deviceInfo_{};
    std::uint8_t firmwareMajor_ = 0;
    std::uint8_t firmwareMinor_ = 0;
};
