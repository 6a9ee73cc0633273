// The PC side of the 'PC-Link' protocol: frame building, the connect handshake and the
// fixed exchange of every card operation. Frames go out and replies come in through the
// IoWorker; a time-out anywhere marks the link not connected. Replies are parsed with
// every length and size bounded against the frame, the listing record and the largest card.
#include "devicelink/device_link.h"

#include <algorithm>
#include <cstring>

namespace {

// Command codes (PC to machine).
constexpr std::uint8_t kCmdNext = 0x03;
constexpr std::uint8_t kCmdDisconnect = 0x10;
constexpr std::uint8_t kCmdConnect = 0x40;
constexpr std::uint8_t kCmdGetFile = 0x70;
constexpr std::uint8_t kCmdGetChunk = 0x71;
constexpr std::uint8_t kCmdGetData = 0x72;
constexpr std::uint8_t kCmdGetEnd = 0x73;
constexpr std::uint8_t kCmdFormat = 0x80;
constexpr std::uint8_t kCmdListFolders = 0x90;
constexpr std::uint8_t kCmdListFiles = 0x95;
constexpr std::uint8_t kCmdMakeFolder = 0xA0;
constexpr std::uint8_t kCmdRemoveFolder = 0xB0;
constexpr std::uint8_t kCmdRemoveFile = 0xC0;
constexpr std::uint8_t kCmdPutFile = 0xD0;

// Reply codes (machine to PC).
constexpr std::uint8_t kReplyFormatStarted = 0x81;
constexpr std::uint8_t kReplyFormatDone = 0x82;
constexpr std::uint8_t kReplyFolderEntry = 0x91;
constexpr std::uint8_t kReplyFolderEnd = 0x92;
constexpr std::uint8_t kReplyFileEntry = 0x96;
constexpr std::uint8_t kReplyFileEnd = 0x97;
constexpr std::uint8_t kReplyFolderMade = 0xA1;
constexpr std::uint8_t kReplyFolderRemoved = 0xB1;
constexpr std::uint8_t kReplyFileRemoved = 0xC1;
constexpr std::uint8_t kReplyPutFolderOk = 0xD1;
constexpr std::uint8_t kReplyPutReady = 0xD2;
constexpr std::uint8_t kReplyPutChunkOk = 0xD3;
constexpr std::uint8_t kReplyPutDone = 0xD4;
constexpr std::uint8_t kReplyPutNameOk = 0xD7;
constexpr std::uint8_t kReplyUnformatted = 0xF1;
constexpr std::uint8_t kReplyNoPath = 0xFE;
constexpr std::uint8_t kReplyDeviceError = 0xFF;

// Offsets in the connect reply.
constexpr std::size_t kInfoFirmwareMinor = 13;
constexpr std::size_t kInfoFirmwareMajor = 15;

// Listing entry: code, kind, name length, name, then for files size and five date words.
constexpr std::size_t kEntryName = 3;
constexpr std::size_t kEntryFileTail = 4 + 5 * 2;

// What GetFile sets aside before the first chunk arrives.
constexpr std::uint32_t kInitialReserve = 4u << 20;

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
std::uint16_t le16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}

// A name from the machine ends up in PC paths and card paths built by the manager, so it
// must be a plain file name: no separators, control bytes, or "." and "..".
bool plainName(const std::uint8_t* name, std::size_t length) {
    if (length == 0 || length > kMaxEntryName) return false;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t c = name[i];
        if (c < 0x20 || c == '\\' || c == '/' || c == ':') return false;
    }
    const std::string_view text(reinterpret_cast<const char*>(name), length);
    return text != "." && text != "..";
}

// The code that stands for a reply code the operation does not expect.
int codeResult(std::uint8_t code, bool pathCode) {
    if (code == kReplyDeviceError) return LINK_DEVICE_ERROR;
    if (pathCode && code == kReplyNoPath) return LINK_NO_PATH;
    return LINK_BAD_REPLY;
}

} // namespace

const char* link_result_text(int result) {
    switch (result) {
    case LINK_OK:
        return "done";
    case LINK_TIMEOUT:
        return "the machine did not answer in time";
    case LINK_CANCELED:
        return "canceled";
    case LINK_IO_FAILED:
        return "the connection to the machine failed";
    case LINK_BAD_REPLY:
        return "the machine's reply was not understood";
    case LINK_UNFORMATTED:
        return "the card is not formatted";
    case LINK_NO_DEVICE:
        return "no machine found";
    case LINK_DEVICE_ERROR:
        return "the machine reported an error";
    case LINK_NO_PATH:
        return "path not found";
    case LINK_TEXT_TOO_LONG:
        return "path or name longer than 254 bytes";
    case LINK_NO_PERMISSION:
        return "no permission to open the machine's USB device";
    default:
        return "unknown result";
    }
}

DeviceLink::DeviceLink(std::unique_ptr<LinkTransport> transport, LinkOptions options)
    : transport_(std::move(transport)), worker_(*transport_, options.secondLength),
      maxListEntries_(options.maxListEntries) {
    if (options.idle) worker_.setIdleHook(std::move(options.idle), options.idleInterval);
}

void DeviceLink::setIdleHook(std::function<void()> hook, std::chrono::microseconds interval) {
    worker_.setIdleHook(std::move(hook), interval);
}

DeviceLink::~DeviceLink() {
    closePipes();
}

void DeviceLink::Reset() {
    if (worker_.inIdleHook()) return;
    // Pipes left open (after a time-out the manager resets instead of disconnecting) are
    // closed here, or a USB interface would stay claimed and every later connect fail.
    closePipes();
    std::memset(inPipeName_, 0, sizeof inPipeName_);
    std::memset(outPipeName_, 0, sizeof outPipeName_);
}

void DeviceLink::closePipes() {
    // From the idle hook the pipes belong to the exchange being waited for.
    if (!pipesOpen() || worker_.inIdleHook()) return;
    worker_.waitIdle();
    if (inPipe_ != kInvalidPipe) transport_->ClosePipe(inPipe_);
    if (outPipe_ != kInvalidPipe) transport_->ClosePipe(outPipe_);
    inPipe_ = kInvalidPipe;
    outPipe_ = kInvalidPipe;
}

int DeviceLink::fail(int result) {
    if (result == LINK_TIMEOUT) {
        connected_ = false;
        return LINK_TIMEOUT;
    }
    if (result == LINK_TEXT_TOO_LONG) return result;
    return LINK_IO_FAILED;
}

// ---- Frame primitives ----

int DeviceLink::write(std::uint32_t seconds) {
    std::uint32_t written = 0;
    return worker_.BulkWrite(outPipe_, frame_.data(), kFrameBytes, &written, seconds);
}

int DeviceLink::SendCommand(std::uint8_t code) {
    frame_.fill(0);
    frame_[0] = code;
    return write(kWriteLimit);
}

int DeviceLink::SendString(std::string_view text) {
    if (text.size() > kMaxTextBytes) return LINK_TEXT_TOO_LONG;
    frame_.fill(0);
    frame_[0] = std::uint8_t(text.size());
    std::memcpy(frame_.data() + 1, text.data(), text.size());
    return write(kWriteLimit);
}

int DeviceLink::SendValue(std::uint32_t value) {
    frame_.fill(0);
    for (int i = 0; i < 4; ++i)
        frame_[i] = std::uint8_t(value >> (8 * i));
    return write(kWriteLimit);
}

int DeviceLink::SendData(const std::uint8_t* bytes, std::uint32_t count) {
    frame_.fill(0);
    std::memcpy(frame_.data(), bytes, std::min(count, kFrameBytes));
    return write(kWriteLimit);
}

int DeviceLink::ReceiveFrame(std::uint32_t seconds) {
    frame_.fill(0);
    lastReadLength_ = 0;
    std::uint32_t read = 0;
    const int result = worker_.BulkRead(inPipe_, frame_.data(), kFrameBytes, &read, seconds);
    if (result == 0) lastReadLength_ = read;
    return result;
}

// ---- Operations ----

int DeviceLink::Connect() {
    if (worker_.inIdleHook()) return LINK_IO_FAILED;
    connected_ = false;
    closePipes();
    std::strcpy(inPipeName_, kPipeIn);
    std::strcpy(outPipeName_, kPipeOut);
    inPipe_ = transport_->OpenPipe(inPipeName_);
    outPipe_ = transport_->OpenPipe(outPipeName_);
    if (inPipe_ == kInvalidPipe || outPipe_ == kInvalidPipe) {
        closePipes();
        return transport_->lastOpenFailure() == OpenFailure::NoPermission ? LINK_NO_PERMISSION
                                                                          : LINK_NO_DEVICE;
    }
    // A machine that does not answer the query is not usable; closing the pipes lets the
    // next attempt open them again.
    int result = SendCommand(kCmdConnect);
    if (result == 0) result = ReceiveFrame(kConnectLimit);
    if (result != 0) {
        result = fail(result);
        closePipes();
        return result;
    }
    if (!replyIs256()) {
        closePipes();
        return LINK_BAD_REPLY;
    }
    connected_ = true;
    std::copy_n(frame_.begin(), deviceInfo_.size(), deviceInfo_.begin());
    firmwareMajor_ = deviceInfo_[kInfoFirmwareMajor];
    firmwareMinor_ = deviceInfo_[kInfoFirmwareMinor];
    const bool old = firmwareMajor_ == 0 || (firmwareMajor_ == 1 && firmwareMinor_ < 5);
    chunkSize_ = old ? kChunkOldFirmware : kChunkDefault;
    return LINK_OK;
}

int DeviceLink::Disconnect() {
    if (const int result = SendCommand(kCmdDisconnect); result != 0) return fail(result);
    closePipes();
    connected_ = false;
    return LINK_OK;
}

int DeviceLink::ListFolders(std::string_view folder, LinkList& entries) {
    return list(kCmdListFolders, kReplyFolderEntry, kReplyFolderEnd, false, folder, entries);
}

int DeviceLink::ListFiles(std::string_view folder, LinkList& entries) {
    return list(kCmdListFiles, kReplyFileEntry, kReplyFileEnd, true, folder, entries);
}

int DeviceLink::list(std::uint8_t command, std::uint8_t entryCode, std::uint8_t endCode, bool files,
                     std::string_view folder, LinkList& entries) {
    entries.clear();
    if (folder.size() > kMaxTextBytes) return LINK_TEXT_TOO_LONG;
    int result = SendCommand(command);
    if (result == 0) result = SendString(folder);
    while (result == 0) {
        result = ReceiveFrame(kReplyLimit);
        if (result != 0) break;
        if (!replyIs256()) {
            result = LINK_BAD_REPLY;
            break;
        }
        const std::uint8_t code = frame_[0];
        if (code == endCode) return LINK_OK;
        if (code != entryCode) {
            result = code == kReplyUnformatted ? LINK_UNFORMATTED : codeResult(code, false);
            break;
        }
        const std::size_t nameLength = frame_[2];
        const std::size_t end = kEntryName + nameLength + (files ? kEntryFileTail : 0);
        if (!plainName(frame_.data() + kEntryName, nameLength) || end > kFrameBytes ||
            entries.size() >= maxListEntries_) {
            result = LINK_BAD_REPLY;
            break;
        }
        LinkEntry entry;
        entry.kind = frame_[1];
        entry.nameLength = std::uint8_t(nameLength);
        std::memcpy(entry.name, frame_.data() + kEntryName, nameLength);
        if (files) {
            const std::uint8_t* tail = frame_.data() + kEntryName + nameLength;
            entry.size = le32(tail);
            entry.year = le16(tail + 4);
            entry.month = le16(tail + 6);
            entry.day = le16(tail + 8);
            entry.hour = le16(tail + 10);
            entry.minute = le16(tail + 12);
        }
        entries.push_back(entry);
        result = SendCommand(kCmdNext);
    }
    entries.clear();
    if (result == LINK_BAD_REPLY || result == LINK_UNFORMATTED || result == LINK_DEVICE_ERROR)
        return result;
    return fail(result);
}

int DeviceLink::simple(std::uint8_t command, std::string_view text, std::uint32_t limit,
                       std::uint8_t okCode, bool pathCode) {
    if (text.size() > kMaxTextBytes) return LINK_TEXT_TOO_LONG;
    int result = SendCommand(command);
    if (result == 0) result = SendString(text);
    if (result == 0) result = ReceiveFrame(limit);
    if (result != 0) return fail(result);
    if (!replyIs256()) return LINK_BAD_REPLY;
    return frame_[0] == okCode ? LINK_OK : codeResult(frame_[0], pathCode);
}

int DeviceLink::MakeFolder(std::string_view path) {
    return simple(kCmdMakeFolder, path, kMakeFolderLimit, kReplyFolderMade, true);
}

int DeviceLink::RemoveFolder(std::string_view path) {
    std::string text(path);
    text += '\\';
    return simple(kCmdRemoveFolder, text, kRemoveLimit, kReplyFolderRemoved, false);
}

int DeviceLink::RemoveFile(std::string_view path) {
    return simple(kCmdRemoveFile, path, kRemoveLimit, kReplyFileRemoved, false);
}

int DeviceLink::FormatCard(std::uint32_t finalLimit) {
    int result = SendCommand(kCmdFormat);
    if (result == 0) result = ReceiveFrame(kReplyLimit);
    if (result != 0) return fail(result);
    if (!replyIs256() || frame_[0] != kReplyFormatStarted) return LINK_BAD_REPLY;
    if ((result = ReceiveFrame(finalLimit)) != 0) return fail(result);
    if (!replyIs256()) return LINK_BAD_REPLY;
    return frame_[0] == kReplyFormatDone ? LINK_OK : codeResult(frame_[0], false);
}

int DeviceLink::PutFile(const std::uint8_t* data, std::uint32_t size, std::string_view folder,
                        std::string_view name, const LinkCallbacks& callbacks) {
    if (folder.size() > kMaxTextBytes || name.size() > kMaxTextBytes) return LINK_TEXT_TOO_LONG;
    const std::string folderText(folder), nameText(name);
    cancelledPutKept_ = false;
    if (callbacks.start && callbacks.start({nameText.c_str(), folderText.c_str(), nameText.c_str(),
                                            size}) == LINK_CANCELED)
        return LINK_CANCELED;

    // Reads one reply and checks its code; 0 when it is the expected one.
    const auto expect = [this](std::uint8_t okCode, bool pathCode) {
        if (const int result = ReceiveFrame(kReplyLimit); result != 0) return fail(result);
        if (!replyIs256()) return LINK_BAD_REPLY;
        return frame_[0] == okCode ? LINK_OK : codeResult(frame_[0], pathCode);
    };

    int result = SendCommand(kCmdPutFile);
    if (result == 0) result = SendString(folderText);
    if (result != 0) return fail(result);
    if ((result = expect(kReplyPutFolderOk, true)) != 0) return result;
    if ((result = SendString(nameText)) != 0) return fail(result);
    if ((result = expect(kReplyPutNameOk, false)) != 0) return result;
    if ((result = SendValue(size)) != 0) return fail(result);

    // The protocol has no abort, and a machine left inside a chunk would take the next
    // command for data. So a cancel fills the chunk in hand with zeros and sends the end
    // marker. Short of the size the machine refuses the file; after the last chunk it may
    // keep one with a zero tail, which the caller removes. Either way the exchange ends
    // where the next one can start.
    const auto cancel = [&](bool inChunk, std::uint32_t left) {
        static constexpr std::uint8_t kZeros[kFrameBytes] = {};
        for (; left > 0; left -= std::min(kFrameBytes, left))
            if (const int r = SendData(kZeros, std::min(kFrameBytes, left)); r != 0) return fail(r);
        if (inChunk) {
            if (const int r = expect(kReplyPutReady, false); r != 0) return r;
        }
        if (const int r = SendValue(0); r != 0) return fail(r);
        if (const int r = ReceiveFrame(kReplyLimit); r != 0) return fail(r);
        cancelledPutKept_ = replyIs256() && frame_[0] == kReplyPutDone;
        return LINK_CANCELED;
    };

    std::uint32_t sent = 0;
    for (;;) {
        if ((result = expect(kReplyPutReady, false)) != 0) return result;
        if (sent == size) break;
        const std::uint32_t chunk = std::min(chunkSize_, size - sent);
        if (callbacks.chunk && callbacks.chunk({sent + chunk, size}) == LINK_CANCELED)
            return cancel(false, 0);
        if ((result = SendValue(chunk)) != 0) return fail(result);
        if ((result = expect(kReplyPutChunkOk, false)) != 0) return result;
        for (std::uint32_t done = 0; done < chunk;) {
            const std::uint32_t packet = std::min(kFrameBytes, chunk - done);
            if ((result = SendData(data + sent + done, packet)) != 0) return fail(result);
            done += packet;
            if (callbacks.packet && callbacks.packet({sent + done, size, packet}) == LINK_CANCELED)
                return cancel(true, chunk - done);
        }
        sent += chunk;
    }
    if ((result = SendValue(0)) != 0) return fail(result);
    return expect(kReplyPutDone, false);
}

int DeviceLink::GetFile(std::string_view path, std::string_view name,
                        std::vector<std::uint8_t>& data, const LinkCallbacks& callbacks) {
    const int result = getFile(path, name, data, callbacks);
    // A failed transfer hands back nothing, and frees what it had collected.
    if (result != LINK_OK) std::vector<std::uint8_t>().swap(data);
    return result;
}

int DeviceLink::getFile(std::string_view path, std::string_view name,
                        std::vector<std::uint8_t>& data, const LinkCallbacks& callbacks) {
    data.clear();
    if (path.size() > kMaxTextBytes) return LINK_TEXT_TOO_LONG;
    const std::string pathText(path), nameText(name);

    // Reads one frame that must be a full 256 bytes; 0 when it is.
    const auto receive = [this]() {
        if (const int result = ReceiveFrame(kReplyLimit); result != 0) return fail(result);
        return replyIs256() ? LINK_OK : LINK_BAD_REPLY;
    };

    int result = SendCommand(kCmdGetFile);
    if (result == 0) result = SendString(pathText);
    if (result != 0) return fail(result);
    if ((result = receive()) != 0) return result;
    // Nothing larger fits on any card; refusing here also keeps a broken size from costing
    // an allocation.
    const std::uint32_t size = le32(frame_.data());
    if (size > kLargestCardBytes) return LINK_BAD_REPLY;
    // The buffer grows as data arrives, so a size that overstates the file costs nothing.
    data.reserve(std::min<std::uint32_t>(size, kInitialReserve));
    if (callbacks.start &&
        callbacks.start({pathText.c_str(), nullptr, nameText.c_str(), size}) == LINK_CANCELED)
        return LINK_CANCELED;
    // An empty file has no chunk to ask for; the end command closes the exchange at once.
    if (size == 0) {
        if ((result = SendCommand(kCmdGetEnd)) != 0) return fail(result);
        return LINK_OK;
    }

    std::uint32_t received = 0;
    for (;;) {
        if ((result = SendCommand(kCmdGetChunk)) != 0) return fail(result);
        if ((result = receive()) != 0) return result;
        const std::uint32_t chunk = le16(frame_.data());
        // An empty chunk would make the exchange go round forever; one longer than what is
        // left of the file cannot be taken, and would show the callbacks more than the size.
        if (chunk == 0 || chunk > size - received) return LINK_BAD_REPLY;
        if (callbacks.chunk && callbacks.chunk({received + chunk, size}) == LINK_CANCELED)
            return LINK_CANCELED;
        if ((result = SendCommand(kCmdGetData)) != 0) return fail(result);
        const std::uint32_t packets = (chunk + kFrameBytes - 1) / kFrameBytes;
        for (std::uint32_t p = 0; p < packets; ++p) {
            if ((result = receive()) != 0) return result;
            const bool last = p + 1 == packets;
            const std::uint32_t take =
                last && chunk % kFrameBytes != 0 ? chunk % kFrameBytes : kFrameBytes;
            // Data past the announced size has nowhere to go.
            if (take > size - received) return LINK_BAD_REPLY;
            data.insert(data.end(), frame_.begin(), frame_.begin() + take);
            received += take;
            if (callbacks.packet && callbacks.packet({received, size, take}) == LINK_CANCELED)
                return LINK_CANCELED;
            if (received == size) {
                if (!last) return LINK_BAD_REPLY;
                if ((result = SendCommand(kCmdGetEnd)) != 0) return fail(result);
                return LINK_OK;
            }
            if ((result = SendCommand(kCmdNext)) != 0) return fail(result);
        }
    }
}
