// SPDX-License-Identifier: MIT
// The socket transport: the link as a client of a Unix-domain SOCK_SEQPACKET socket, where
// each frame is one message in each direction. Both pipes share the one connection, made
// by the first OpenPipe and closed with the last pipe. A read is one blocking recv() whose
// receive time-out is the cancel check's interval: a cancel() sets a flag that the read
// looks at each time the time-out passes, so a reply costs one call, not a poll() and a
// recv(). A write is tried at once and waits in poll() on the socket and on a cancel pipe
// only once it would block; cancel() makes that pipe readable until clearCancel() drains
// it. A cancel that arrives before the transfer starts is not lost. Also home of
// makeTransport, which turns a user's choice into a transport.
#include "devicelink/transport.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A cancelled read ends within this time.
constexpr std::chrono::microseconds kCancelCheck{std::chrono::milliseconds(10)};
// Acknowledgements a get's packets may have ahead of them: with a few dozen, the link and
// the machine each find several frames waiting when they wake, instead of waking once per
// 256-byte packet (16 MiB cost ten times the processor time without).
constexpr std::uint32_t kAcknowledgementsAhead = 32;

class SocketTransport final : public LinkTransport {
public:
    explicit SocketTransport(std::string path) : path_(std::move(path)) {
        if (pipe2(cancelPipe_, O_NONBLOCK | O_CLOEXEC) != 0) cancelPipe_[0] = cancelPipe_[1] = -1;
    }
    ~SocketTransport() override {
        if (socket_ >= 0) close(socket_);
        for (int fd : cancelPipe_)
            if (fd >= 0) close(fd);
    }

    PipeHandle OpenPipe(const char* pipeName) override {
        PipeHandle pipe = kInvalidPipe;
        if (std::strcmp(pipeName, kPipeIn) == 0) pipe = 0;
        if (std::strcmp(pipeName, kPipeOut) == 0) pipe = 2;
        if (pipe == kInvalidPipe || cancelPipe_[0] < 0) return kInvalidPipe;
        if (socket_ < 0 && !connectSocket()) return kInvalidPipe;
        ++openPipes_;
        return pipe;
    }

    void ClosePipe(PipeHandle) override {
        if (openPipes_ > 0 && --openPipes_ == 0) {
            close(socket_);
            socket_ = -1;
        }
    }

    LinkResult transfer(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                        std::uint32_t* transferred) override {
        if (socket_ < 0 || (pipe != 0 && pipe != 2)) return LinkResult::IoFailed;
        if (cancelled_.load()) return LinkResult::Canceled;
        if (pipe == 0) return receive(buffer, length, transferred);
        for (;;) {
            const ssize_t n = send(socket_, buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0) {
                *transferred = std::uint32_t(n);
                return LinkResult::Ok;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return LinkResult::IoFailed;
            pollfd fds[2] = {{socket_, POLLOUT, 0}, {cancelPipe_[0], POLLIN, 0}};
            if (poll(fds, 2, -1) == -1 && errno != EINTR) return LinkResult::IoFailed;
            if (fds[1].revents & POLLIN) return LinkResult::Canceled;
        }
    }

    // A write waits only for room in the socket's buffer, never for the peer's read.
    std::uint32_t acknowledgementsAhead() const override { return kAcknowledgementsAhead; }

    void cancel() override {
        cancelled_.store(true);
        const char byte = 1;
        // A full pipe already holds a cancel, so a failed write loses nothing.
        [[maybe_unused]] const ssize_t ignored = write(cancelPipe_[1], &byte, 1);
    }

    void clearCancel() override {
        cancelled_.store(false);
        char bytes[16];
        while (read(cancelPipe_[0], bytes, sizeof bytes) > 0) {
        }
    }

private:
    LinkResult receive(std::uint8_t* buffer, std::uint32_t length, std::uint32_t* transferred) {
        for (;;) {
            // MSG_TRUNC reports a longer message's real length, so the link sees a frame of
            // the wrong size instead of a silently cut one.
            const ssize_t n = recv(socket_, buffer, length, MSG_TRUNC);
            if (n > 0) {
                *transferred = std::uint32_t(n);
                return LinkResult::Ok;
            }
            if (n == 0) return LinkResult::IoFailed; // the peer closed the connection
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
                return LinkResult::IoFailed;
            // The receive time-out passed (or a signal came): time to look for a cancel.
            if (cancelled_.load()) return LinkResult::Canceled;
        }
    }

    bool connectSocket() {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path_.empty() || path_.size() >= sizeof address.sun_path) return false;
        std::memcpy(address.sun_path, path_.data(), path_.size());
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return false;
        }
        // How long a read blocks before it looks whether it was cancelled.
        const timeval interval{0, kCancelCheck.count()};
        if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &interval, sizeof interval) != 0) {
            close(fd);
            return false;
        }
        socket_ = fd;
        return true;
    }

    const std::string path_;
    int socket_ = -1;
    int openPipes_ = 0;
    int cancelPipe_[2] = {-1, -1};
    std::atomic<bool> cancelled_{false};
};

bool parseHex16(std::string_view text, std::uint16_t* value) {
    if (text.empty() || text.size() > 4) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value, 16);
    return error == std::errc() && end == text.data() + text.size();
}

} // namespace

std::unique_ptr<LinkTransport> makeSocketTransport(std::string socketPath) {
    return std::make_unique<SocketTransport>(std::move(socketPath));
}

std::unique_ptr<LinkTransport> makeTransport(std::string_view choice, bool verbose) {
    if (choice.substr(0, 5) == "unix:" && choice.size() > 5)
        return makeSocketTransport(std::string(choice.substr(5)));
    UsbOptions options;
    options.verbose = verbose;
    if (choice == "usb") return makeUsbTransport(options);
    if (choice.substr(0, 4) == "usb:") {
        const std::string_view ids = choice.substr(4);
        const std::size_t colon = ids.find(':');
        if (colon == std::string_view::npos ||
            !parseHex16(ids.substr(0, colon), &options.vendorId) ||
            !parseHex16(ids.substr(colon + 1), &options.productId))
            return nullptr;
        options.byId = true;
        return makeUsbTransport(options);
    }
    return nullptr;
}
