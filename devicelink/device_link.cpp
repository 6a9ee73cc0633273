// SPDX-License-Identifier: MIT
// The PC side of the 'PC-Link' protocol: frame building, the connect handshake and the
// fixed exchange of every card operation. Frames go out and replies come in through the
// IoWorker; a chunk's frames go as one request. A time-out anywhere marks the link not
// connected, and any exchange that broke off has the in pipe drained before the next one.
// Replies are parsed with every length and size bounded against the frame, the listing
// record and the largest card.
#include "devicelink/device_link.h"

#include <common/le_bytes.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// A machine still talking after this many dropped frames is not settling down.
constexpr std::uint32_t kMaxDrainFrames = 1024;

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

// The result for a reply code the operation does not expect.
LinkResult codeResult(std::uint8_t reply, bool pathCode) {
    if (reply == code(LinkReply::DeviceError)) return LinkResult::DeviceError;
    if (pathCode && reply == code(LinkReply::NoPath)) return LinkResult::NoPath;
    return LinkResult::BadReply;
}

Frame commandFrame(LinkCommand command) {
    Frame frame{};
    frame[0] = code(command);
    return frame;
}

} // namespace

const char* linkResultText(LinkResult result) {
    switch (result) {
    case LinkResult::Ok:
        return "done";
    case LinkResult::Timeout:
        return "the machine did not answer in time";
    case LinkResult::Canceled:
        return "canceled";
    case LinkResult::IoFailed:
        return "the connection to the machine failed";
    case LinkResult::BadReply:
        return "the machine's reply was not understood";
    case LinkResult::ReadFailed:
        return "failed to read from file";
    case LinkResult::WriteFailed:
        return "failed to write to file";
    case LinkResult::Unformatted:
        return "the card is not formatted";
    case LinkResult::NoDevice:
        return "no machine found";
    case LinkResult::DeviceError:
        return "the machine reported an error";
    case LinkResult::NoPath:
        return "path not found";
    case LinkResult::TextTooLong:
        return "path or name longer than 254 bytes";
    case LinkResult::NoPermission:
        return "no permission to open the machine's USB device";
    }
    return "unknown result";
}

DeviceLink::DeviceLink(std::unique_ptr<LinkTransport> transport, LinkOptions options)
    : transport_(std::move(transport)), worker_(*transport_, options.secondLength),
      maxListEntries_(options.maxListEntries), quietTime_(options.quietTime) {
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

LinkResult DeviceLink::fail(LinkResult result) {
    if (result == LinkResult::Timeout) connected_ = false;
    if (result == LinkResult::Timeout || result == LinkResult::TextTooLong) return result;
    return LinkResult::IoFailed;
}

template <class Body> LinkResult DeviceLink::exchange(Body body) {
    // The hook runs while another exchange waits for its reply: nothing may be sent now.
    if (worker_.inIdleHook()) return LinkResult::IoFailed;
    if (drainPending_ && !drain()) return LinkResult::BadReply;
    const LinkResult result = body();
    drainPending_ = result == LinkResult::Timeout || result == LinkResult::IoFailed ||
                    result == LinkResult::BadReply;
    return result;
}

bool DeviceLink::drain() {
    // A transfer given up on may still be winding down; a quiet read that only waited for
    // it would read nothing and let a stale reply through.
    worker_.waitIdle();
    Frame stale{};
    for (std::uint32_t i = 0; i < kMaxDrainFrames; ++i) {
        std::uint32_t read = 0;
        if (worker_.BulkReadWithin(inPipe_, stale.data(), kFrameBytes, &read, quietTime_) !=
            LinkResult::Ok) {
            drainPending_ = false;
            return true;
        }
    }
    return false;
}

// ---- Frame primitives ----

LinkResult DeviceLink::write(std::uint32_t seconds) {
    std::uint32_t written = 0;
    const LinkResult result =
        worker_.BulkWrite(outPipe_, frame_.data(), kFrameBytes, &written, seconds);
    // A frame the transport took only part of never reached the machine whole.
    return result == LinkResult::Ok && written != kFrameBytes ? LinkResult::IoFailed : result;
}

LinkResult DeviceLink::SendCommand(LinkCommand command) {
    frame_ = commandFrame(command);
    return write(kWriteLimit);
}

LinkResult DeviceLink::SendString(std::string_view text) {
    if (text.size() > kMaxTextBytes) return LinkResult::TextTooLong;
    frame_.fill(0);
    frame_[kStringLength] = std::uint8_t(text.size());
    std::memcpy(frame_.data() + kStringText, text.data(), text.size());
    return write(kWriteLimit);
}

LinkResult DeviceLink::SendValue(std::uint32_t value) {
    frame_.fill(0);
    putLe32(frame_.data() + kValue, value);
    return write(kWriteLimit);
}

LinkResult DeviceLink::ReceiveFrame(std::uint32_t seconds) {
    frame_.fill(0);
    lastReadLength_ = 0;
    std::uint32_t read = 0;
    const LinkResult result = worker_.BulkRead(inPipe_, frame_.data(), kFrameBytes, &read, seconds);
    if (result == LinkResult::Ok) lastReadLength_ = read;
    return result;
}

// Sends frame_ and reads the reply into it within seconds as one request: what a write and
// ReceiveFrame(seconds) do one after the other, with one hand-over to the worker.
LinkResult DeviceLink::ask(std::uint32_t seconds) {
    const Frame question = frame_;
    frame_.fill(0);
    lastReadLength_ = 0;
    std::uint32_t whole = 0, length = 0;
    const LinkResult result =
        worker_.ReadAcked(inPipe_, outPipe_, question.data(), frame_.data(), 1, kFrameBytes,
                          nullptr, nullptr, seconds, &whole, &length);
    if (result == LinkResult::Ok) lastReadLength_ = length;
    return result;
}

// Reads one reply and checks its code: Ok when it is okCode.
LinkResult DeviceLink::expect(LinkReply okCode, bool pathCode) {
    if (const LinkResult result = ReceiveFrame(kReplyLimit); result != LinkResult::Ok)
        return fail(result);
    if (!replyIs256()) return LinkResult::BadReply;
    return frame_[0] == code(okCode) ? LinkResult::Ok : codeResult(frame_[0], pathCode);
}

// Reads one frame that must be a full 256 bytes.
LinkResult DeviceLink::receiveWhole() {
    if (const LinkResult result = ReceiveFrame(kReplyLimit); result != LinkResult::Ok)
        return fail(result);
    return replyIs256() ? LinkResult::Ok : LinkResult::BadReply;
}

// ---- Operations ----

LinkResult DeviceLink::Connect() {
    if (worker_.inIdleHook()) return LinkResult::IoFailed;
    connected_ = false;
    closePipes();
    std::strcpy(inPipeName_, kPipeIn);
    std::strcpy(outPipeName_, kPipeOut);
    inPipe_ = transport_->OpenPipe(inPipeName_);
    outPipe_ = transport_->OpenPipe(outPipeName_);
    if (inPipe_ == kInvalidPipe || outPipe_ == kInvalidPipe) {
        closePipes();
        return transport_->lastOpenFailure() == OpenFailure::NoPermission ? LinkResult::NoPermission
                                                                          : LinkResult::NoDevice;
    }
    // A machine that does not answer the query, or answers with something else, is not
    // usable; closing the pipes lets the next attempt open them again.
    const LinkResult result = connect();
    if (result != LinkResult::Ok) closePipes();
    return result;
}

LinkResult DeviceLink::connect() {
    // What an earlier session left in the pipe would be taken for the machine's answer.
    drainPending_ = true;
    if (!drain()) return LinkResult::BadReply;
    LinkResult result = SendCommand(LinkCommand::Connect);
    if (result == LinkResult::Ok) result = ReceiveFrame(kConnectLimit);
    if (result != LinkResult::Ok) return fail(result);
    if (!replyIs256() || frame_[0] != code(LinkReply::Connected)) {
        drainPending_ = true;
        return LinkResult::BadReply;
    }
    connected_ = true;
    std::copy_n(frame_.begin(), deviceInfo_.size(), deviceInfo_.begin());
    firmwareMajor_ = deviceInfo_[kInfoFirmwareMajor];
    firmwareMinor_ = deviceInfo_[kInfoFirmwareMinor];
    const bool old = firmwareMajor_ == 0 || (firmwareMajor_ == 1 && firmwareMinor_ < 5);
    chunkSize_ = old ? kChunkOldFirmware : kChunkDefault;
    return LinkResult::Ok;
}

LinkResult DeviceLink::Disconnect() {
    return exchange([this] {
        if (const LinkResult result = SendCommand(LinkCommand::Disconnect);
            result != LinkResult::Ok)
            return fail(result);
        closePipes();
        connected_ = false;
        return LinkResult::Ok;
    });
}

LinkResult DeviceLink::ListFolders(std::string_view folder, LinkList& entries) {
    return exchange([&] {
        return list(LinkCommand::ListFolders, LinkReply::FolderEntry, LinkReply::FolderEnd, false,
                    folder, entries);
    });
}

LinkResult DeviceLink::ListFiles(std::string_view folder, LinkList& entries) {
    return exchange([&] {
        return list(LinkCommand::ListFiles, LinkReply::FileEntry, LinkReply::FileEnd, true, folder,
                    entries);
    });
}

LinkResult DeviceLink::list(LinkCommand command, LinkReply entryCode, LinkReply endCode, bool files,
                            std::string_view folder, LinkList& entries) {
    entries.clear();
    if (folder.size() > kMaxTextBytes) return LinkResult::TextTooLong;
    LinkResult result = SendCommand(command);
    if (result == LinkResult::Ok) result = SendString(folder);
    if (result != LinkResult::Ok) return fail(result);
    for (result = ReceiveFrame(kReplyLimit);; result = ask(kReplyLimit)) {
        if (result != LinkResult::Ok) {
            result = fail(result);
            break;
        }
        if (!replyIs256()) {
            result = LinkResult::BadReply;
            break;
        }
        const std::uint8_t reply = frame_[0];
        if (reply == code(endCode)) return LinkResult::Ok;
        if (reply != code(entryCode)) {
            result = reply == code(LinkReply::Unformatted) ? LinkResult::Unformatted
                                                           : codeResult(reply, false);
            break;
        }
        const std::size_t nameLength = frame_[kEntryNameLength];
        const std::uint8_t* name = frame_.data() + kEntryName;
        if (!plainName(name, nameLength) || entries.size() >= maxListEntries_) {
            result = LinkResult::BadReply;
            break;
        }
        LinkEntry entry;
        entry.kind = frame_[kEntryKind];
        entry.nameLength = std::uint8_t(nameLength);
        std::memcpy(entry.name, name, nameLength);
        if (files) {
            // A name of at most 12 bytes leaves the tail inside the frame.
            const std::uint8_t* tail = name + nameLength;
            entry.size = le32(tail + kTailSize);
            entry.year = le16(tail + kTailYear);
            entry.month = le16(tail + kTailMonth);
            entry.day = le16(tail + kTailDay);
            entry.hour = le16(tail + kTailHour);
            entry.minute = le16(tail + kTailMinute);
        }
        entries.push_back(entry);
        frame_ = commandFrame(LinkCommand::Next);
    }
    entries.clear();
    return result;
}

LinkResult DeviceLink::simple(LinkCommand command, std::string_view text, std::uint32_t limit,
                              LinkReply okCode, bool pathCode) {
    if (text.size() > kMaxTextBytes) return LinkResult::TextTooLong;
    LinkResult result = SendCommand(command);
    if (result == LinkResult::Ok) result = SendString(text);
    if (result == LinkResult::Ok) result = ReceiveFrame(limit);
    if (result != LinkResult::Ok) return fail(result);
    if (!replyIs256()) return LinkResult::BadReply;
    return frame_[0] == code(okCode) ? LinkResult::Ok : codeResult(frame_[0], pathCode);
}

LinkResult DeviceLink::MakeFolder(std::string_view path) {
    return exchange([&] {
        return simple(LinkCommand::MakeFolder, path, kMakeFolderLimit, LinkReply::FolderMade, true);
    });
}

LinkResult DeviceLink::RemoveFolder(std::string_view path) {
    std::string text(path);
    text += '\\';
    return exchange([&] {
        return simple(LinkCommand::RemoveFolder, text, kRemoveLimit, LinkReply::FolderRemoved,
                      false);
    });
}

LinkResult DeviceLink::RemoveFile(std::string_view path) {
    return exchange([&] {
        return simple(LinkCommand::RemoveFile, path, kRemoveLimit, LinkReply::FileRemoved, false);
    });
}

LinkResult DeviceLink::FormatCard(std::uint32_t finalLimit) {
    return exchange([&] {
        LinkResult result = SendCommand(LinkCommand::Format);
        if (result != LinkResult::Ok) return fail(result);
        if ((result = expect(LinkReply::FormatStarted, false)) != LinkResult::Ok)
            return result == LinkResult::DeviceError ? LinkResult::BadReply : result;
        if ((result = ReceiveFrame(finalLimit)) != LinkResult::Ok) return fail(result);
        if (!replyIs256()) return LinkResult::BadReply;
        return frame_[0] == code(LinkReply::FormatDone) ? LinkResult::Ok
                                                        : codeResult(frame_[0], false);
    });
}

LinkResult DeviceLink::PutFile(std::uint32_t size, const LinkSource& source,
                               std::string_view folder, std::string_view name,
                               const LinkCallbacks& callbacks) {
    cancelledPutKept_ = false;
    if (folder.size() > kMaxTextBytes || name.size() > kMaxTextBytes)
        return LinkResult::TextTooLong;
    return exchange([&] { return putFile(size, source, folder, name, callbacks); });
}

LinkResult DeviceLink::PutFile(const std::uint8_t* data, std::uint32_t size,
                               std::string_view folder, std::string_view name,
                               const LinkCallbacks& callbacks) {
    const LinkSource source = [&data](std::uint8_t* buffer, std::uint32_t bytes) {
        std::memcpy(buffer, data, bytes);
        data += bytes;
        return true;
    };
    return PutFile(size, source, folder, name, callbacks);
}

LinkResult DeviceLink::putFile(std::uint32_t size, const LinkSource& source,
                               std::string_view folder, std::string_view name,
                               const LinkCallbacks& callbacks) {
    const std::string folderText(folder), nameText(name);
    if (callbacks.start && callbacks.start({nameText.c_str(), folderText.c_str(), nameText.c_str(),
                                            size}) == LinkResult::Canceled)
        return LinkResult::Canceled;

    LinkResult result = SendCommand(LinkCommand::PutFile);
    if (result == LinkResult::Ok) result = SendString(folderText);
    if (result != LinkResult::Ok) return fail(result);
    if ((result = expect(LinkReply::PutFolderOk, true)) != LinkResult::Ok) return result;
    if ((result = SendString(nameText)) != LinkResult::Ok) return fail(result);
    if ((result = expect(LinkReply::PutNameOk, false)) != LinkResult::Ok) return result;
    if ((result = SendValue(size)) != LinkResult::Ok) return fail(result);

    // The protocol has no abort, and a machine left inside a chunk would take the next
    // command for data; a cancel, or a source that fails, stops between chunks only. The end
    // marker then closes the exchange: short of the size the machine refuses the file, after
    // the last chunk it keeps it, and the caller removes it.
    LinkResult stopped = LinkResult::Ok;
    for (std::uint32_t sent = 0;;) {
        if ((result = expect(LinkReply::PutReady, false)) != LinkResult::Ok) return result;
        if (sent == size || stopped != LinkResult::Ok) break;
        const std::uint32_t chunk = std::min(chunkSize_, size - sent);
        if (callbacks.chunk && callbacks.chunk({sent + chunk, size}) == LinkResult::Canceled) {
            stopped = LinkResult::Canceled;
            break;
        }
        packets_.resize(chunk);
        if (!source(packets_.data(), chunk)) {
            stopped = LinkResult::ReadFailed;
            break;
        }
        if ((result = SendValue(chunk)) != LinkResult::Ok) return fail(result);
        if ((result = expect(LinkReply::PutChunkOk, false)) != LinkResult::Ok) return result;
        std::uint32_t frames = 0;
        result = worker_.WriteFrames(outPipe_, packets_.data(), chunk, kFrameBytes, kWriteLimit,
                                     &frames);
        if (result != LinkResult::Ok) return fail(result);
        for (std::uint32_t done = 0; done < chunk && callbacks.packet;) {
            const std::uint32_t packet = std::min(kFrameBytes, chunk - done);
            done += packet;
            if (callbacks.packet({sent + done, size, packet}) == LinkResult::Canceled) {
                stopped = LinkResult::Canceled;
                break;
            }
        }
        sent += chunk;
    }
    if ((result = SendValue(0)) != LinkResult::Ok) return fail(result);
    if (stopped == LinkResult::Ok) return expect(LinkReply::PutDone, false);
    if ((result = ReceiveFrame(kReplyLimit)) != LinkResult::Ok) return fail(result);
    cancelledPutKept_ = replyIs256() && frame_[0] == code(LinkReply::PutDone);
    return stopped;
}

LinkResult DeviceLink::GetFile(std::string_view path, std::string_view name, const LinkSink& sink,
                               const LinkCallbacks& callbacks) {
    if (path.size() > kMaxTextBytes) return LinkResult::TextTooLong;
    return exchange([&] { return getFile(path, name, sink, callbacks); });
}

LinkResult DeviceLink::GetFile(std::string_view path, std::string_view name,
                               std::vector<std::uint8_t>& data, const LinkCallbacks& callbacks) {
    data.clear();
    const LinkSink sink = [&data](const std::uint8_t* bytes, std::uint32_t length) {
        try {
            data.insert(data.end(), bytes, bytes + length);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    };
    const LinkResult result = GetFile(path, name, sink, callbacks);
    // A failed transfer hands back nothing, and frees what it had collected.
    if (result != LinkResult::Ok) std::vector<std::uint8_t>().swap(data);
    return result;
}

LinkResult DeviceLink::getFile(std::string_view path, std::string_view name, const LinkSink& sink,
                               const LinkCallbacks& callbacks) {
    const std::string pathText(path), nameText(name);
    LinkResult result = SendCommand(LinkCommand::GetFile);
    if (result == LinkResult::Ok) result = SendString(pathText);
    if (result != LinkResult::Ok) return fail(result);
    if ((result = receiveWhole()) != LinkResult::Ok) return result;
    // Nothing larger fits on any card: a size beyond it is a broken reply.
    const std::uint32_t size = le32(frame_.data() + kValue);
    if (size > kLargestCardBytes) return LinkResult::BadReply;
    result = LinkResult::Ok;
    if (callbacks.start && callbacks.start({pathText.c_str(), nullptr, nameText.c_str(), size}) ==
                               LinkResult::Canceled)
        result = LinkResult::Canceled;
    // An empty file has no chunk to ask for.
    bool ended = false;
    if (result == LinkResult::Ok && size > 0) {
        result = getChunks(size, sink, callbacks, &ended);
        if (result != LinkResult::Canceled && result != LinkResult::WriteFailed) return result;
    }
    // The end command closes the exchange, for a read stopped early as for a finished one.
    if (!ended) {
        if (const LinkResult sent = SendCommand(LinkCommand::GetEnd); sent != LinkResult::Ok)
            return fail(sent);
    }
    return result;
}

// The chunks of a file of size bytes into sink: Ok once the last packet has been
// acknowledged with the end command; Canceled when a callback asked to stop and WriteFailed
// when the sink did, with *ended telling whether the end command went out already.
LinkResult DeviceLink::getChunks(std::uint32_t size, const LinkSink& sink,
                                 const LinkCallbacks& callbacks, bool* ended) {
    const Frame next = commandFrame(LinkCommand::Next);
    const Frame end = commandFrame(LinkCommand::GetEnd);
    const Frame data = commandFrame(LinkCommand::GetData);
    for (std::uint32_t received = 0;;) {
        frame_ = commandFrame(LinkCommand::GetChunk);
        LinkResult result = ask(kReplyLimit);
        if (result != LinkResult::Ok) return fail(result);
        if (!replyIs256()) return LinkResult::BadReply;
        const std::uint32_t chunk = le16(frame_.data() + kValue);
        // An empty chunk would make the exchange go round forever; one longer than what is
        // left of the file cannot be taken, and would show the callbacks more than the size.
        if (chunk == 0 || chunk > size - received) return LinkResult::BadReply;
        if (callbacks.chunk && callbacks.chunk({received + chunk, size}) == LinkResult::Canceled)
            return LinkResult::Canceled;
        // The data command leads the packets; every packet is acknowledged, the file's last
        // one with the end command.
        const bool last = received + chunk == size;
        const std::uint32_t packets = (chunk + kFrameBytes - 1) / kFrameBytes;
        packets_.resize(std::size_t(packets) * kFrameBytes);
        std::uint32_t whole = 0, lastLength = 0;
        result = worker_.ReadAcked(inPipe_, outPipe_, data.data(), packets_.data(), packets,
                                   kFrameBytes, next.data(), last ? end.data() : next.data(),
                                   kReplyLimit, &whole, &lastLength);
        if (result != LinkResult::Ok) return fail(result);
        lastReadLength_ = lastLength;
        if (whole != packets) return LinkResult::BadReply;
        if (!sink(packets_.data(), chunk)) {
            *ended = last;
            return LinkResult::WriteFailed;
        }
        for (std::uint32_t done = 0; done < chunk && callbacks.packet;) {
            const std::uint32_t packet = std::min(kFrameBytes, chunk - done);
            done += packet;
            if (callbacks.packet({received + done, size, packet}) == LinkResult::Canceled) {
                *ended = last;
                return LinkResult::Canceled;
            }
        }
        received += chunk;
        if (last) return LinkResult::Ok;
    }
}
