// SPDX-License-Identifier: MIT
// Fuzz target: a hostile machine on the cable. Every reply frame the PC reads comes from the
// input; what the PC writes is swallowed. The input is a list of operations, each followed
// by the replies it will read:
//   operation byte: low four bits pick the DeviceLink call, high four bits its variant
//   reply: a header byte h, then its content
//     h = 0xFF        the transfer fails (the machine went away)
//     h = 0xFE        the transfer is cancelled
//     h = 0xFD        a full frame whose transfer reports more bytes than were asked for
//     otherwise       h & 0x7F content bytes at the start of a zeroed frame; bit 7 set:
//                     the frame is cut to those bytes, clear: a full 256-byte frame
// The input's length modulo 4 is how many acknowledgements may go ahead of a get's packets.
// An input that runs out makes every further read fail at once, so nothing ever waits for a
// time limit; after a failed exchange the link drains stale replies, which reads on. The link must
// return one of its codes, keep its promises about what a failed call leaves behind, and hand on
// only names and sizes it bounded.
#include "devicelink/device_link.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

class HostileTransport : public LinkTransport {
public:
    HostileTransport(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    PipeHandle OpenPipe(const char* pipeName) override {
        if (std::strcmp(pipeName, kPipeIn) == 0) return 0;
        if (std::strcmp(pipeName, kPipeOut) == 0) return 2;
        return kInvalidPipe;
    }
    void ClosePipe(PipeHandle) override {}
    LinkResult transfer(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                        std::uint32_t* transferred) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pipe == 2) {
            *transferred = length;
            return LinkResult::Ok;
        }
        if (pipe != 0 || at_ >= size_) return LinkResult::IoFailed;
        const std::uint8_t h = data_[at_++];
        if (h == 0xFF) return LinkResult::IoFailed;
        if (h == 0xFE) return LinkResult::Canceled;
        std::memset(buffer, 0, length);
        if (h == 0xFD) {
            *transferred = length + 44;
            return LinkResult::Ok;
        }
        const std::size_t n = std::min<std::size_t>({std::size_t(h & 0x7F), size_ - at_, length});
        std::memcpy(buffer, data_ + at_, n);
        at_ += h & 0x7F;
        *transferred = (h & 0x80) ? std::uint32_t(n) : length;
        return LinkResult::Ok;
    }
    std::uint32_t acknowledgementsAhead() const override { return std::uint32_t(size_ % 4); }
    void cancel() override {}
    void clearCancel() override {}

    // The next operation byte, or -1 at the end of the input.
    int nextOperation() {
        std::lock_guard<std::mutex> lock(mutex_);
        return at_ < size_ ? data_[at_++] : -1;
    }

private:
    std::mutex mutex_;
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

void checkList(LinkResult result, const LinkList& list, std::size_t maxEntries) {
    if (result != LinkResult::Ok && !list.empty()) std::abort();
    if (list.size() > maxEntries) std::abort();
    for (const LinkEntry& entry : list) {
        if (entry.nameLength == 0 || entry.nameLength > kMaxEntryName) std::abort();
        if (std::strlen(entry.name) != entry.nameLength) std::abort();
        if (std::strchr(entry.name, '\\') || std::strchr(entry.name, '/')) std::abort();
    }
}

// The codes an operation may return to the manager (connect cannot fail to open here).
bool knownResult(LinkResult result) {
    for (LinkResult code : {LinkResult::Ok, LinkResult::Timeout, LinkResult::Canceled,
                            LinkResult::IoFailed, LinkResult::BadReply, LinkResult::Unformatted,
                            LinkResult::DeviceError, LinkResult::NoPath, LinkResult::TextTooLong,
                            LinkResult::ReadFailed, LinkResult::WriteFailed})
        if (result == code) return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto owned = std::make_unique<HostileTransport>(data, size);
    HostileTransport& transport = *owned;
    LinkOptions options;
    // Replies arrive at once; the limits only matter should a transfer ever hang.
    options.secondLength = std::chrono::milliseconds(10);
    options.quietTime = std::chrono::milliseconds(1);
    options.maxListEntries = 40;
    DeviceLink link(std::move(owned), options);

    std::vector<std::uint8_t> payload(70000);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = std::uint8_t(i * 31);
    LinkResult result = link.Connect();
    for (int steps = 0; steps < 64; ++steps) {
        if (!knownResult(result)) std::abort();
        const int op = transport.nextOperation();
        if (op < 0) break;
        const int variant = op >> 4;
        // Callbacks that give up after a number of calls the input chose.
        int callsLeft = variant == 0 ? -1 : variant;
        LinkCallbacks callbacks;
        callbacks.packet = [&](const LinkPacketProgress& p) {
            if (p.bytesSoFar > p.total) std::abort();
            return callsLeft >= 0 && --callsLeft < 0 ? LinkResult::Canceled : LinkResult::Ok;
        };
        callbacks.chunk = [&](const LinkChunkProgress& p) {
            if (p.bytesSoFar > p.total) std::abort();
            return LinkResult::Ok;
        };
        LinkList list;
        switch (op & 0x0F) {
        case 0:
            result = link.Connect();
            break;
        case 1:
            result = link.ListFolders("vx:\\", list);
            checkList(result, list, options.maxListEntries);
            break;
        case 2:
            result = link.ListFiles("vx:\\GAMES\\", list);
            checkList(result, list, options.maxListEntries);
            for (const LinkEntry& entry : list)
                if (entry.kind == 1)
                    (void)link.ListFiles(std::string("vx:\\GAMES\\") + entry.name + "\\", list);
            break;
        case 3:
            result = link.MakeFolder("vx:\\NEW");
            break;
        case 4:
            result = link.RemoveFolder("vx:\\OLD");
            break;
        case 5:
            result = link.RemoveFile("vx:\\OLD.BIN");
            break;
        case 6:
            result = link.FormatCard(2);
            break;
        case 7: {
            static constexpr std::uint32_t kSizes[4] = {0, 200, 513, 70000};
            result = link.PutFile(payload.data(), kSizes[variant & 3], "vx:\\GAMES\\", "PUT.BIN",
                                  callbacks);
            if (result == LinkResult::Ok && link.cancelledPutKept()) std::abort();
            break;
        }
        case 8: {
            std::vector<std::uint8_t> file(3, 0xAA);
            result = link.GetFile("vx:\\GAMES\\GET.BIN", "GET.BIN", file, callbacks);
            if (result != LinkResult::Ok && !file.empty()) std::abort();
            if (file.size() > kLargestCardBytes) std::abort();
            break;
        }
        case 9:
            result = link.Disconnect();
            break;
        case 11: {
            // Streamed both ways, the PC side giving out after a number of chunks the input
            // chose: no more bytes than announced ever reach the sink.
            std::uint32_t announced = 0, delivered = 0;
            int chunksLeft = variant;
            LinkCallbacks sized = callbacks;
            sized.start = [&](const LinkFileStart& s) {
                announced = s.size;
                return LinkResult::Ok;
            };
            const LinkSink sink = [&](const std::uint8_t*, std::uint32_t bytes) {
                delivered += bytes;
                return --chunksLeft >= 0;
            };
            result = link.GetFile("vx:\\GAMES\\GET.BIN", "GET.BIN", sink, sized);
            // A sink that said no never ends in success, and only it ends in WriteFailed.
            if (delivered > announced || (result == LinkResult::WriteFailed && chunksLeft >= 0) ||
                (chunksLeft < 0 && result == LinkResult::Ok))
                std::abort();
            if (!knownResult(result)) std::abort();
            chunksLeft = variant;
            const LinkSource source = [&](std::uint8_t* buffer, std::uint32_t bytes) {
                if (bytes > payload.size()) std::abort();
                std::memcpy(buffer, payload.data(), bytes);
                return --chunksLeft >= 0;
            };
            result =
                link.PutFile(std::uint32_t(payload.size()), source, "vx:\\", "S.BIN", callbacks);
            if (result == LinkResult::ReadFailed && link.cancelledPutKept()) std::abort();
            break;
        }
        case 10:
            result = link.MakeFolder(std::string(300, 'A'));
            if (result != LinkResult::TextTooLong) std::abort();
            break;
        default:
            (void)link.ReceiveFrame(1);
            result = LinkResult::Ok;
            break;
        }
        if (link.lastReadLength() > kFrameBytes + 44) std::abort();
    }
    return 0;
}
