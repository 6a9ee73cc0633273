// The simulated machine: a state machine over the frames of the 'PC-Link' protocol, with a
// PC folder as its card. Each frame from the PC moves the session on and may queue replies;
// faults planned by tests are applied as a reply is queued. Card paths ("vx:\A\B") are
// resolved one 8.3 component at a time inside the card folder, so no path the PC sends can
// reach outside it.
#include "devicelink/sim_machine.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string_view>

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kLargestCard = 128u << 20;
constexpr std::uint32_t kNoFile = 0xFFFFFFFF;

enum class State {
    Idle,
    ListPath,
    ListAck,
    MakePath,
    RemoveFolderPath,
    RemoveFilePath,
    PutFolder,
    PutName,
    PutSize,
    PutChunk,
    PutData,
    GetPath,
    GetNextChunk, // after the size reply or a chunk's last packet: 0x71 or 0x73
    GetHeader,    // after a chunk header: 0x72
    GetPacket,    // after a packet: 0x03 for the next one
};

std::string upper(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

bool nameChar(unsigned char c) {
    return std::isalnum(c) || std::strchr("!#$%&'()-@^_`{}~", c) != nullptr;
}

// An 8.3 name: one to eight characters, then optionally a dot and one to three more.
bool valid83(std::string_view name) {
    const std::size_t dot = name.find('.');
    const std::string_view base = name.substr(0, dot);
    const std::string_view ext = dot == std::string_view::npos ? "" : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
    if (dot != std::string_view::npos && ext.empty()) return false;
    for (char c : base)
        if (!nameChar(static_cast<unsigned char>(c))) return false;
    for (char c : ext)
        if (!nameChar(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string frameText(const SimFrame& frame) {
    return std::string(reinterpret_cast<const char*>(frame.data()) + 1, frame[0]);
}

std::uint32_t frameValue(const SimFrame& frame) {
    return std::uint32_t(frame[0]) | std::uint32_t(frame[1]) << 8 | std::uint32_t(frame[2]) << 16 |
           std::uint32_t(frame[3]) << 24;
}

void put16(std::uint8_t* p, unsigned value) {
    p[0] = std::uint8_t(value);
    p[1] = std::uint8_t(value >> 8);
}
void put32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = std::uint8_t(value >> (8 * i));
}

enum class Lookup { Found, MissingLast, MissingParent, Invalid };

// Resolves a card path inside root. Found: *out is the existing entry. MissingLast: the
// parent exists and *out is where the last name would be created (in upper case).
Lookup resolve(const fs::path& root, std::string_view cardPath, fs::path* out) {
    if (cardPath.size() < 4 || upper(cardPath.substr(0, 4)) != "VX:\\") return Lookup::Invalid;
    std::vector<std::string_view> parts;
    std::string_view rest = cardPath.substr(4);
    while (!rest.empty()) {
        const std::size_t slash = rest.find('\\');
        const std::string_view part = rest.substr(0, slash);
        if (!part.empty()) {
            if (!valid83(part)) return Lookup::Invalid;
            parts.push_back(part);
        }
        if (slash == std::string_view::npos) break;
        rest = rest.substr(slash + 1);
    }
    fs::path current = root;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string wanted = upper(parts[i]);
        std::error_code ec;
        bool found = false;
        if (fs::is_directory(current, ec)) {
            for (const auto& entry : fs::directory_iterator(current, ec)) {
                const std::string name = entry.path().filename().string();
                if (valid83(name) && upper(name) == wanted) {
                    current = entry.path();
                    found = true;
                    break;
                }
            }
        }
        if (!found) {
            if (i + 1 != parts.size()) return Lookup::MissingParent;
            *out = current / wanted;
            return fs::is_directory(current, ec) ? Lookup::MissingLast : Lookup::MissingParent;
        }
    }
    *out = current;
    return Lookup::Found;
}

bool hasSubfolder(const fs::path& folder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.is_directory(ec) && valid83(entry.path().filename().string())) return true;
    return false;
}

} // namespace

SimFault SimFault::longName(std::uint8_t length) {
    return editFrame([length](SimFrame& frame) {
        frame[2] = length;
        std::fill(frame.begin() + 3, frame.begin() + std::min<std::size_t>(3 + length, 256), 'A');
    });
}

SimFault SimFault::fileSize(std::uint32_t size) {
    return editFrame([size](SimFrame& frame) { put32(frame.data(), size); });
}

SimFault SimFault::chunkLength(std::uint16_t length) {
    return editFrame([length](SimFrame& frame) { put16(frame.data(), length); });
}

struct SimMachine::Session {
    State state = State::Idle;
    std::uint8_t command = 0;
    // A listing in progress.
    std::vector<SimFrame> entries;
    std::size_t nextEntry = 0;
    std::uint8_t endCode = 0;
    // A file coming from the PC.
    fs::path target;
    std::uint32_t putSize = 0;
    std::vector<std::uint8_t> putData;
    std::uint32_t chunkLeft = 0;
    // A file going to the PC.
    std::vector<std::uint8_t> getData;
    std::size_t getSent = 0;
    std::uint32_t chunkLength = 0;
    std::uint32_t chunkSent = 0;
};

SimMachine::SimMachine(fs::path cardFolder)
    : root_(std::move(cardFolder)), session_(std::make_unique<Session>()) {
    std::error_code ec;
    fs::create_directories(root_, ec);
}

SimMachine::~SimMachine() = default;

void SimMachine::setFirmware(std::uint8_t major, std::uint8_t minor) {
    std::lock_guard lock(mutex_);
    firmwareMajor_ = major;
    firmwareMinor_ = minor;
}

void SimMachine::setUnformatted(bool unformatted) {
    std::lock_guard lock(mutex_);
    unformatted_ = unformatted;
}

void SimMachine::setUnplugged(bool unplugged) {
    std::lock_guard lock(mutex_);
    unplugged_ = unplugged;
}

bool SimMachine::unplugged() const {
    std::lock_guard lock(mutex_);
    return unplugged_;
}

void SimMachine::setAccessDenied(bool denied) {
    std::lock_guard lock(mutex_);
    accessDenied_ = denied;
}

bool SimMachine::accessDenied() const {
    std::lock_guard lock(mutex_);
    return accessDenied_;
}

void SimMachine::setSendChunk(std::uint16_t bytes) {
    std::lock_guard lock(mutex_);
    sendChunk_ = std::max<std::uint16_t>(bytes, 1);
}

void SimMachine::setRecording(bool on) {
    std::lock_guard lock(mutex_);
    recording_ = on;
}

void SimMachine::restart() {
    std::lock_guard lock(mutex_);
    *session_ = Session{};
    outbox_.clear();
    held_.clear();
}

void SimMachine::planFault(std::size_t index, SimFault fault) {
    std::lock_guard lock(mutex_);
    faults_[replies_ + index] = std::move(fault);
}

std::size_t SimMachine::releaseHeld() {
    std::lock_guard lock(mutex_);
    const std::size_t count = held_.size();
    for (auto& reply : held_)
        outbox_.push_back(reply);
    held_.clear();
    replyReady_.notify_all();
    return count;
}

std::vector<SimFrame> SimMachine::receivedFrames() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void SimMachine::clearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
}

std::size_t SimMachine::replyCount() const {
    std::lock_guard lock(mutex_);
    return replies_;
}

int SimMachine::hostWrite(const std::uint8_t* bytes, std::uint32_t length,
                          std::uint32_t* transferred) {
    SimFrame frame{};
    std::memcpy(frame.data(), bytes, std::min<std::uint32_t>(length, frame.size()));
    std::lock_guard lock(mutex_);
    if (recording_) received_.push_back(frame);
    handle(frame);
    *transferred = length;
    return kTransferDone;
}

int SimMachine::hostRead(std::uint8_t* buffer, std::uint32_t length, std::uint32_t* transferred) {
    std::unique_lock lock(mutex_);
    replyReady_.wait(lock, [this] { return cancelled_ || !outbox_.empty(); });
    if (cancelled_) return kTransferCancelled;
    const Reply reply = outbox_.front();
    outbox_.pop_front();
    std::memcpy(buffer, reply.frame.data(), std::min(length, reply.length));
    *transferred = reply.length;
    return kTransferDone;
}

bool SimMachine::takeReply(SimFrame& frame, std::uint32_t* length) {
    std::lock_guard lock(mutex_);
    if (outbox_.empty()) return false;
    frame = outbox_.front().frame;
    *length = outbox_.front().length;
    outbox_.pop_front();
    return true;
}

void SimMachine::cancelRead() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    replyReady_.notify_all();
}

void SimMachine::clearCancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = false;
}

// ---- The machine's side of the protocol (called with mutex_ held) ----

void SimMachine::reply(const SimFrame& frame) {
    Reply out{frame, 256};
    const auto planned = faults_.find(replies_++);
    if (planned != faults_.end()) {
        const SimFault fault = std::move(planned->second);
        faults_.erase(planned);
        switch (fault.kind) {
        case SimFault::Kind::Silent:
            return;
        case SimFault::Kind::Hold:
            held_.push_back(out);
            return;
        case SimFault::Kind::Short:
            out.length = std::min<std::uint32_t>(fault.length, 256);
            break;
        case SimFault::Kind::Code:
            out.frame[0] = fault.code;
            break;
        case SimFault::Kind::Edit:
            if (fault.edit) fault.edit(out.frame);
            break;
        }
    }
    outbox_.push_back(out);
    replyReady_.notify_all();
}

void SimMachine::replyCode(std::uint8_t code) {
    SimFrame frame{};
    frame[0] = code;
    reply(frame);
}

void SimMachine::handle(const SimFrame& frame) {
    Session& s = *session_;
    const State state = s.state;
    // Unless a state below keeps the session going, the exchange ends with this frame.
    s.state = State::Idle;
    switch (state) {
    case State::Idle:
        command(frame);
        return;

    case State::ListPath: {
        if (unformatted_) return replyCode(0xF1);
        fs::path folder;
        if (resolve(root_, frameText(frame), &folder) != Lookup::Found || !fs::is_directory(folder))
            return replyCode(0xFF);
        const bool files = s.command == 0x95;
        std::vector<fs::directory_entry> found;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            const bool isFolder = entry.is_directory(ec);
            if (!valid83(entry.path().filename().string())) continue;
            if (isFolder || (files && entry.is_regular_file(ec))) found.push_back(entry);
        }
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
            return upper(a.path().filename().string()) < upper(b.path().filename().string());
        });
        s.entries.clear();
        s.nextEntry = 0;
        s.endCode = files ? 0x97 : 0x92;
        for (const auto& entry : found) {
            SimFrame out{};
            const std::string name = upper(entry.path().filename().string());
            const bool isFolder = entry.is_directory(ec);
            out[0] = files ? 0x96 : 0x91;
            out[1] = files ? (isFolder ? 1 : 0) : (hasSubfolder(entry.path()) ? 1 : 0);
            out[2] = std::uint8_t(name.size());
            std::memcpy(out.data() + 3, name.data(), name.size());
            if (files) {
                std::uint8_t* tail = out.data() + 3 + name.size();
                const auto size = isFolder ? 0 : entry.file_size(ec);
                put32(tail, std::uint32_t(std::min<std::uintmax_t>(size, 0xFFFFFFFF)));
                const auto written = fs::last_write_time(entry.path(), ec);
                const std::time_t t = std::chrono::system_clock::to_time_t(
                    std::chrono::time_point_cast<std::chrono::system_clock::duration>(
                        std::chrono::file_clock::to_sys(written)));
                std::tm local{};
                localtime_r(&t, &local);
                put16(tail + 4, unsigned(local.tm_year + 1900));
                put16(tail + 6, unsigned(local.tm_mon + 1));
                put16(tail + 8, unsigned(local.tm_mday));
                put16(tail + 10, unsigned(local.tm_hour));
                put16(tail + 12, unsigned(local.tm_min));
            }
            s.entries.push_back(out);
        }
        return sendEntry();
    }
    case State::ListAck:
        if (frame[0] == 0x03) return sendEntry();
        return command(frame);

    case State::MakePath: {
        if (unformatted_) return replyCode(0xFF);
        fs::path folder;
        const Lookup found = resolve(root_, frameText(frame), &folder);
        if (found == Lookup::MissingParent) return replyCode(0xFE);
        if (found != Lookup::MissingLast) return replyCode(0xFF);
        std::error_code ec;
        return replyCode(fs::create_directory(folder, ec) ? 0xA1 : 0xFF);
    }
    case State::RemoveFolderPath: {
        // The PC sends the folder with one backslash after it.
        std::string text = frameText(frame);
        fs::path folder;
        if (unformatted_ || text.empty() || text.back() != '\\') return replyCode(0xFF);
        text.pop_back();
        if (resolve(root_, text, &folder) != Lookup::Found || folder == root_ ||
            !fs::is_directory(folder))
            return replyCode(0xFF);
        std::error_code ec;
        fs::remove_all(folder, ec);
        return replyCode(ec ? 0xFF : 0xB1);
    }
    case State::RemoveFilePath: {
        fs::path file;
        if (unformatted_ || resolve(root_, frameText(frame), &file) != Lookup::Found ||
            !fs::is_regular_file(file))
            return replyCode(0xFF);
        std::error_code ec;
        return replyCode(fs::remove(file, ec) ? 0xC1 : 0xFF);
    }

    case State::PutFolder: {
        if (unformatted_) return replyCode(0xFF);
        fs::path folder;
        if (resolve(root_, frameText(frame), &folder) != Lookup::Found || !fs::is_directory(folder))
            return replyCode(0xFE);
        s.target = folder;
        s.state = State::PutName;
        return replyCode(0xD1);
    }
    case State::PutName: {
        const std::string name = frameText(frame);
        if (!valid83(name)) return replyCode(0xFF);
        // An existing entry keeps its spelling; a folder of that name cannot be replaced.
        s.target /= upper(name);
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(s.target.parent_path(), ec)) {
            const std::string other = entry.path().filename().string();
            if (valid83(other) && upper(other) == upper(name)) {
                if (entry.is_directory(ec)) return replyCode(0xFF);
                s.target = entry.path();
            }
        }
        s.state = State::PutSize;
        return replyCode(0xD7);
    }
    case State::PutSize:
        s.putSize = frameValue(frame);
        if (s.putSize > kLargestCard) return replyCode(0xFF);
        s.putData.clear();
        s.state = State::PutChunk;
        return replyCode(0xD2);
    case State::PutChunk: {
        const std::uint32_t chunk = frameValue(frame);
        if (chunk == 0) {
            if (s.putData.size() != s.putSize) return replyCode(0xFF);
            std::ofstream out(s.target, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(s.putData.data()),
                      std::streamsize(s.putData.size()));
            out.close();
            std::vector<std::uint8_t>().swap(s.putData);
            return replyCode(out ? 0xD4 : 0xFF);
        }
        if (chunk > s.putSize - s.putData.size()) return replyCode(0xFF);
        s.chunkLeft = chunk;
        s.state = State::PutData;
        return replyCode(0xD3);
    }
    case State::PutData: {
        const std::uint32_t take = std::min<std::uint32_t>(s.chunkLeft, 256);
        s.putData.insert(s.putData.end(), frame.begin(), frame.begin() + take);
        s.chunkLeft -= take;
        if (s.chunkLeft != 0) {
            s.state = State::PutData;
            return;
        }
        s.state = State::PutChunk;
        return replyCode(0xD2);
    }

    case State::GetPath: {
        SimFrame out{};
        fs::path file;
        std::error_code ec;
        const bool found = !unformatted_ &&
                           resolve(root_, frameText(frame), &file) == Lookup::Found &&
                           fs::is_regular_file(file, ec) && fs::file_size(file, ec) <= kLargestCard;
        s.getData.clear();
        if (found) {
            std::ifstream in(file, std::ios::binary);
            s.getData.assign(std::istreambuf_iterator<char>(in), {});
        }
        // The size reply has no code byte; a size no card can hold tells the PC there is
        // no such file.
        put32(out.data(), found ? std::uint32_t(s.getData.size()) : kNoFile);
        s.getSent = 0;
        s.chunkLength = 0;
        s.chunkSent = 0;
        if (found) s.state = State::GetNextChunk;
        return reply(out);
    }
    case State::GetNextChunk:
    case State::GetPacket:
        if (frame[0] == 0x03 && state == State::GetPacket) {
            if (s.chunkSent < s.chunkLength) return sendPacket();
            // The PC acknowledges a chunk's last packet too; it then asks for the next chunk.
            s.state = State::GetNextChunk;
            return;
        }
        if (frame[0] == 0x03 && state == State::GetNextChunk) {
            s.state = State::GetNextChunk;
            return;
        }
        if (frame[0] == 0x73) return;
        if (frame[0] == 0x71 && s.chunkSent == s.chunkLength) {
            SimFrame out{};
            const std::size_t left = s.getData.size() - s.getSent;
            s.chunkLength = std::uint32_t(std::min<std::size_t>(left, sendChunk_));
            s.chunkSent = 0;
            put16(out.data(), s.chunkLength);
            s.state = State::GetHeader;
            return reply(out);
        }
        return command(frame);
    case State::GetHeader:
        if (frame[0] == 0x72) return sendPacket();
        return command(frame);
    }
}

void SimMachine::command(const SimFrame& frame) {
    Session& s = *session_;
    s.state = State::Idle;
    s.command = frame[0];
    switch (frame[0]) {
    case 0x40: {
        SimFrame out{};
        out[0] = 0x41;
        std::memcpy(out.data() + 1, "VELA-SIM", 8);
        out[13] = firmwareMinor_;
        out[15] = firmwareMajor_;
        return reply(out);
    }
    case 0x80: {
        replyCode(0x81);
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(root_, ec)) {
            std::error_code removeError;
            fs::remove_all(entry.path(), removeError);
            if (removeError) ec = removeError;
        }
        if (!ec) unformatted_ = false;
        return replyCode(ec ? 0xFF : 0x82);
    }
    case 0x90:
    case 0x95:
        s.state = State::ListPath;
        return;
    case 0xA0:
        s.state = State::MakePath;
        return;
    case 0xB0:
        s.state = State::RemoveFolderPath;
        return;
    case 0xC0:
        s.state = State::RemoveFilePath;
        return;
    case 0xD0:
        s.state = State::PutFolder;
        return;
    case 0x70:
        s.state = State::GetPath;
        return;
    default:
        return; // 0x10 (disconnect) and anything unknown: no reply
    }
}

void SimMachine::sendEntry() {
    Session& s = *session_;
    if (s.nextEntry == s.entries.size()) {
        s.entries.clear();
        return replyCode(s.endCode);
    }
    s.state = State::ListAck;
    reply(s.entries[s.nextEntry++]);
}

void SimMachine::sendPacket() {
    Session& s = *session_;
    SimFrame out{};
    const std::uint32_t take = std::min<std::uint32_t>(256, s.chunkLength - s.chunkSent);
    std::memcpy(out.data(), s.getData.data() + s.getSent, take);
    s.getSent += take;
    s.chunkSent += take;
    s.state = State::GetPacket;
    reply(out);
}

// ---- In-process transport ----

namespace {

class SimTransport final : public LinkTransport {
public:
    explicit SimTransport(SimMachine& machine) : machine_(machine) {}

    PipeHandle OpenPipe(const char* pipeName) override {
        failure_ = OpenFailure::NoDevice;
        if (machine_.unplugged()) return kInvalidPipe;
        if (machine_.accessDenied()) {
            failure_ = OpenFailure::NoPermission;
            return kInvalidPipe;
        }
        if (std::strcmp(pipeName, kPipeIn) == 0) return 0;
        if (std::strcmp(pipeName, kPipeOut) == 0) return 2;
        return kInvalidPipe;
    }
    OpenFailure lastOpenFailure() const override { return failure_; }
    void ClosePipe(PipeHandle) override {}
    int transfer(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                 std::uint32_t* transferred) override {
        if (pipe == 2) return machine_.hostWrite(buffer, length, transferred);
        if (pipe == 0) return machine_.hostRead(buffer, length, transferred);
        return kTransferFailed;
    }
    void cancel() override { machine_.cancelRead(); }
    void clearCancel() override { machine_.clearCancel(); }

private:
    SimMachine& machine_;
    OpenFailure failure_ = OpenFailure::NoDevice;
};

} // namespace

std::unique_ptr<LinkTransport> makeSimTransport(SimMachine& machine) {
    return std::make_unique<SimTransport>(machine);
}
