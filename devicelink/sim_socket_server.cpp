// SPDX-License-Identifier: MIT
// Serves a simulated machine on a Unix-domain SOCK_SEQPACKET socket: each message from the
// client is one frame for the machine, and every reply the machine queues in answer is sent
// back as one message. One client at a time; a self-pipe wakes the serving thread to stop.
#include "devicelink/sim_machine.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

SimSocketServer::SimSocketServer(SimMachine& machine) : machine_(machine) {}

SimSocketServer::~SimSocketServer() {
    stop();
}

bool SimSocketServer::start(const std::string& socketPath) {
    if (thread_.joinable()) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());

    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return false;
    // A path that is taken belongs to someone else and stays as it is.
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(listener_);
        listener_ = -1;
        return false;
    }
    if (listen(listener_, 1) != 0 || pipe2(stopPipe_, O_CLOEXEC) != 0) {
        close(listener_);
        listener_ = -1;
        unlink(socketPath.c_str());
        return false;
    }
    path_ = socketPath;
    thread_ = std::thread([this] { serve(); });
    return true;
}

void SimSocketServer::stop() {
    if (!thread_.joinable()) return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(stopPipe_[1], &byte, 1);
    thread_.join();
    close(listener_);
    close(stopPipe_[0]);
    close(stopPipe_[1]);
    listener_ = stopPipe_[0] = stopPipe_[1] = -1;
    unlink(path_.c_str());
}

void SimSocketServer::serve() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        serveConnection(connection);
        close(connection);
    }
}

void SimSocketServer::serveConnection(int connection) {
    SimFrame frame{};
    for (;;) {
        pollfd fds[2] = {{connection, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        frame.fill(0);
        const ssize_t n = recv(connection, frame.data(), frame.size(), 0);
        if (n <= 0) return;
        std::uint32_t written = 0;
        [[maybe_unused]] const LinkResult result =
            machine_.hostWrite(frame.data(), std::uint32_t(n), &written);
        std::uint32_t length = 0;
        while (machine_.takeReply(frame, &length))
            if (send(connection, frame.data(), length, MSG_NOSIGNAL) < 0) return;
    }
}
