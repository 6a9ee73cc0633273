// SPDX-License-Identifier: MIT
// A simulated Vela machine in 'PC-Link' mode: it plays the machine's side of every command
// the device link sends, serving a folder of the PC as its card. Names on this card are
// 8.3 names; they are listed in upper case and looked up without regard to case, and PC
// entries whose names are not 8.3 names stay invisible. The card can be marked unformatted
// (listings answer 0xF1). Formatting removes every entry the card shows and nothing else;
// it is refused, with nothing removed, while a card folder holds anything the card does
// not show.
//
// The machine is a state machine with one member function per state: the state is the
// function that takes the next frame from the PC.
//
// The machine reacts to each frame the PC writes (hostWrite) by queueing its replies, which
// the PC reads one at a time (hostRead). Between the two, faults planned by a test can
// change a reply: drop it (the PC times out), hold it back for a late delivery, shorten it,
// replace its code or edit its bytes. Every frame received can be recorded so tests can
// check exact exchanges.
//
// Reach it in the same process with makeSimTransport, or from another process through
// SimSocketServer, which listens on a Unix-domain SOCK_SEQPACKET socket.
#pragma once

#include "devicelink/link_protocol.h"
#include "devicelink/transport.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using SimFrame = std::array<std::uint8_t, kFrameBytes>;

// A change to one reply of the machine.
struct SimFault {
    enum class Kind { Silent, Hold, Short, Code, Edit };
    Kind kind = Kind::Silent;
    std::uint32_t length = 0;            // Short: bytes delivered
    std::uint8_t code = 0;               // Code: the new byte 0
    std::function<void(SimFrame&)> edit; // Edit: any change to the bytes

    // The reply is never sent.
    static SimFault silent() { return {}; }
    // The reply is kept back until SimMachine::releaseHeld.
    static SimFault hold() { return {Kind::Hold, 0, 0, {}}; }
    // The reply is cut to length bytes.
    static SimFault shortFrame(std::uint32_t length) { return {Kind::Short, length, 0, {}}; }
    // Byte 0 of the reply becomes code (0xFF, 0xFE, or something unknown).
    static SimFault replyCode(std::uint8_t code) { return {Kind::Code, 0, code, {}}; }
    // The reply's bytes are changed by edit.
    static SimFault editFrame(std::function<void(SimFrame&)> edit) {
        return {Kind::Edit, 0, 0, std::move(edit)};
    }
    // A listing entry whose name length byte says length and whose name is that many 'A's.
    static SimFault longName(std::uint8_t length);
    // A file size reply announcing size bytes.
    static SimFault fileSize(std::uint32_t size);
    // A chunk header announcing length bytes.
    static SimFault chunkLength(std::uint16_t length);
};

class SimMachine {
public:
    // A machine whose card is the PC folder cardFolder (created if missing).
    explicit SimMachine(std::filesystem::path cardFolder);
    ~SimMachine();
    SimMachine(const SimMachine&) = delete;
    SimMachine& operator=(const SimMachine&) = delete;

    // ---- Set-up ----
    // The firmware version the connect reply reports (default 2.0).
    void setFirmware(std::uint8_t major, std::uint8_t minor);
    // An unformatted card answers listings with 0xF1 and refuses other card commands.
    void setUnformatted(bool unformatted);
    // An unplugged machine cannot be opened by the in-process transport.
    void setUnplugged(bool unplugged);
    // A machine this user may not open: the in-process transport's opens fail as for lack
    // of permission.
    void setAccessDenied(bool denied);
    // Bytes per chunk when sending a file (1 to 65535; default 32768).
    void setSendChunk(std::uint16_t bytes);
    // Whether received frames are kept for receivedFrames() (default on).
    void setRecording(bool on);

    // As if the machine left 'PC-Link' mode and entered it again: the exchange in progress
    // is dropped, with the replies queued or held back for it. The protocol has no way to
    // resynchronise, so tests that stop an exchange halfway use this before the next one.
    void restart();

    // ---- Faults ----
    // Applies fault to the reply that is the index-th from now (0: the next one).
    void planFault(std::size_t index, SimFault fault);
    // Delivers the replies held back so far; returns how many.
    std::size_t releaseHeld();

    // ---- Inspection ----
    // The frames received since the last clearReceived(), zero-filled to 256 bytes.
    std::vector<SimFrame> receivedFrames() const;
    // Forgets the frames received so far.
    void clearReceived();
    // Replies sent so far (faulted ones included).
    std::size_t replyCount() const;
    const std::filesystem::path& cardFolder() const { return root_; }

    // ---- The machine's end of the cable ----
    // Takes one frame from the PC; returns Ok with *transferred = length.
    LinkResult hostWrite(const std::uint8_t* frame, std::uint32_t length,
                         std::uint32_t* transferred);
    // Waits for the next reply and copies it; Canceled when cancelRead() came first.
    LinkResult hostRead(std::uint8_t* buffer, std::uint32_t length, std::uint32_t* transferred);
    // Takes the next reply without waiting; false when none is queued.
    bool takeReply(SimFrame& frame, std::uint32_t* length);
    // Makes a waiting hostRead (or the next one) return kTransferCancelled.
    void cancelRead();
    // Forgets an earlier cancelRead().
    void clearCancel();
    // Whether setUnplugged(true) is in force.
    bool unplugged() const;
    // Whether setAccessDenied(true) is in force.
    bool accessDenied() const;

private:
    struct Reply {
        SimFrame frame{};
        std::uint32_t length = 256;
    };
    struct Session;
    using State = void (SimMachine::*)(const SimFrame&);

    // The states: each takes the next frame from the PC (called with mutex_ held).
    void idle(const SimFrame& frame);
    void listPath(const SimFrame& frame);
    void listAck(const SimFrame& frame);
    void makePath(const SimFrame& frame);
    void removeFolderPath(const SimFrame& frame);
    void removeFilePath(const SimFrame& frame);
    void putFolder(const SimFrame& frame);
    void putName(const SimFrame& frame);
    void putSize(const SimFrame& frame);
    void putChunk(const SimFrame& frame);
    void putData(const SimFrame& frame);
    void getPath(const SimFrame& frame);
    void getNextChunk(const SimFrame& frame);
    void getHeader(const SimFrame& frame);
    void getPacket(const SimFrame& frame);

    void format();
    void reply(const SimFrame& frame);
    void replyCode(LinkReply code);
    void sendEntry();
    void sendPacket();

    const std::filesystem::path root_;
    mutable std::mutex mutex_;
    std::condition_variable replyReady_;
    std::deque<Reply> outbox_;
    std::vector<Reply> held_;
    std::map<std::size_t, SimFault> faults_;
    std::size_t replies_ = 0;
    std::vector<SimFrame> received_;
    bool recording_ = true;
    bool cancelled_ = false;
    bool unformatted_ = false;
    bool unplugged_ = false;
    bool accessDenied_ = false;
    std::uint8_t firmwareMajor_ = 2;
    std::uint8_t firmwareMinor_ = 0;
    std::uint16_t sendChunk_ = 0x8000;
    std::unique_ptr<Session> session_;
    State state_ = &SimMachine::idle;
};

// The in-process transport: "PIPE02" writes go to machine.hostWrite, "PIPE00" reads come
// from machine.hostRead, and as many acknowledgements may go ahead of a get's packets as
// given. The machine must outlive the transport.
std::unique_ptr<LinkTransport> makeSimTransport(SimMachine& machine,
                                                std::uint32_t acknowledgementsAhead = 0);

// Serves a SimMachine to link clients on a Unix-domain SOCK_SEQPACKET socket, one
// connection at a time, one frame per message, on a thread of its own.
class SimSocketServer {
public:
    // A server for machine, which must outlive it; it listens once start() succeeds.
    explicit SimSocketServer(SimMachine& machine);
    // Stops serving and removes the socket file.
    ~SimSocketServer();
    SimSocketServer(const SimSocketServer&) = delete;
    SimSocketServer& operator=(const SimSocketServer&) = delete;

    // Listens at socketPath and starts serving; false when the socket cannot be set up.
    [[nodiscard]] bool start(const std::string& socketPath);
    // Stops serving (a client still connected is dropped) and removes the socket file.
    void stop();

private:
    void serve();
    void serveConnection(int connection);

    SimMachine& machine_;
    std::string path_;
    int listener_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
};
