// SPDX-License-Identifier: MIT
// The simulated machine: a state machine over the frames of the 'PC-Link' protocol, with a
// PC folder as its card. The state is the member function that takes the next frame; each
// frame may queue replies and name the next state. Faults planned by tests are applied as
// a reply is queued. Card paths ("vx:\A\B") are resolved one 8.3 component at a time
// inside the card folder, so no path the PC sends can reach outside it.
#include "devicelink/sim_machine.h"

#include <common/le_bytes.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string_view>
#include <utility>

namespace fs = std::filesystem;

namespace {

// The size reply for a file the machine does not have: no card holds that many bytes.
constexpr std::uint32_t kNoFile = 0xFFFFFFFF;

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
    return std::all_of(base.begin(), base.end(), [](char c) { return nameChar(c); }) &&
           std::all_of(ext.begin(), ext.end(), [](char c) { return nameChar(c); });
}

// Whether the card shows entry: an 8.3 name, and a file or a folder.
bool cardEntry(const fs::directory_entry& entry) {
    std::error_code ec;
    return valid83(entry.path().filename().string()) &&
           (entry.is_directory(ec) || entry.is_regular_file(ec));
}

std::string frameText(const SimFrame& frame) {
    return std::string(reinterpret_cast<const char*>(frame.data()) + kStringText,
                       frame[kStringLength]);
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
        for (const auto& entry : fs::directory_iterator(current, ec)) {
            const std::string name = entry.path().filename().string();
            if (valid83(name) && upper(name) == wanted) {
                current = entry.path();
                found = true;
                break;
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

// Whether a card folder below the root holds anything the card does not show.
bool holdsForeign(const fs::path& folder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (!cardEntry(entry)) return true;
        if (entry.is_directory(ec) && holdsForeign(entry.path())) return true;
    }
    return bool(ec);
}

// A listing entry for a card entry.
SimFrame entryFrame(const fs::directory_entry& entry, bool files) {
    SimFrame out{};
    std::error_code ec;
    const std::string name = upper(entry.path().filename().string());
    const bool isFolder = entry.is_directory(ec);
    out[0] = code(files ? LinkReply::FileEntry : LinkReply::FolderEntry);
    out[kEntryKind] = files ? (isFolder ? 1 : 0) : (hasSubfolder(entry.path()) ? 1 : 0);
    out[kEntryNameLength] = std::uint8_t(name.size());
    std::memcpy(out.data() + kEntryName, name.data(), name.size());
    if (!files) return out;
    std::uint8_t* tail = out.data() + kEntryName + name.size();
    const auto size = isFolder ? 0 : entry.file_size(ec);
    putLe32(tail + kTailSize, std::uint32_t(std::min<std::uintmax_t>(size, 0xFFFFFFFF)));
    const auto written = fs::last_write_time(entry.path(), ec);
    const std::time_t t = std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(
            std::chrono::file_clock::to_sys(written)));
    std::tm local{};
    localtime_r(&t, &local);
    putLe16(tail + kTailYear, std::uint16_t(local.tm_year + 1900));
    putLe16(tail + kTailMonth, std::uint16_t(local.tm_mon + 1));
    putLe16(tail + kTailDay, std::uint16_t(local.tm_mday));
    putLe16(tail + kTailHour, std::uint16_t(local.tm_hour));
    putLe16(tail + kTailMinute, std::uint16_t(local.tm_min));
    return out;
}

} // namespace

SimFault SimFault::longName(std::uint8_t length) {
    return editFrame([length](SimFrame& frame) {
        frame[kEntryNameLength] = length;
        std::fill(frame.begin() + kEntryName,
                  frame.begin() + std::min<std::size_t>(kEntryName + length, kFrameBytes), 'A');
    });
}

SimFault SimFault::fileSize(std::uint32_t size) {
    return editFrame([size](SimFrame& frame) { putLe32(frame.data() + kValue, size); });
}

SimFault SimFault::chunkLength(std::uint16_t length) {
    return editFrame([length](SimFrame& frame) { putLe16(frame.data() + kValue, length); });
}

struct SimMachine::Session {
    bool files = false; // the listing in progress is a file listing
    // A listing in progress.
    std::vector<SimFrame> entries;
    std::size_t nextEntry = 0;
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
    state_ = &SimMachine::idle;
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

LinkResult SimMachine::hostWrite(const std::uint8_t* bytes, std::uint32_t length,
                                 std::uint32_t* transferred) {
    SimFrame frame{};
    std::memcpy(frame.data(), bytes, std::min<std::uint32_t>(length, kFrameBytes));
    std::lock_guard lock(mutex_);
    if (recording_) received_.push_back(frame);
    // Unless the state names another, the exchange ends with this frame.
    const State state = std::exchange(state_, &SimMachine::idle);
    (this->*state)(frame);
    *transferred = length;
    return LinkResult::Ok;
}

LinkResult SimMachine::hostRead(std::uint8_t* buffer, std::uint32_t length,
                                std::uint32_t* transferred) {
    std::unique_lock lock(mutex_);
    replyReady_.wait(lock, [this] { return cancelled_ || !outbox_.empty(); });
    if (cancelled_) return LinkResult::Canceled;
    const Reply reply = outbox_.front();
    outbox_.pop_front();
    std::memcpy(buffer, reply.frame.data(), std::min(length, reply.length));
    *transferred = reply.length;
    return LinkResult::Ok;
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

// ---- Replies (called with mutex_ held) ----

void SimMachine::reply(const SimFrame& frame) {
    Reply out{frame, kFrameBytes};
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
            out.length = std::min(fault.length, kFrameBytes);
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

void SimMachine::replyCode(LinkReply reply) {
    SimFrame frame{};
    frame[0] = code(reply);
    this->reply(frame);
}

// ---- States ----

void SimMachine::idle(const SimFrame& frame) {
    switch (LinkCommand(frame[0])) {
    case LinkCommand::Connect: {
        SimFrame out{};
        out[0] = code(LinkReply::Connected);
        std::memcpy(out.data() + kInfoName, "VELA-SIM", 8);
        out[kInfoFirmwareMinor] = firmwareMinor_;
        out[kInfoFirmwareMajor] = firmwareMajor_;
        return reply(out);
    }
    case LinkCommand::Format:
        return format();
    case LinkCommand::ListFolders:
    case LinkCommand::ListFiles:
        session_->files = LinkCommand(frame[0]) == LinkCommand::ListFiles;
        state_ = &SimMachine::listPath;
        return;
    case LinkCommand::MakeFolder:
        state_ = &SimMachine::makePath;
        return;
    case LinkCommand::RemoveFolder:
        state_ = &SimMachine::removeFolderPath;
        return;
    case LinkCommand::RemoveFile:
        state_ = &SimMachine::removeFilePath;
        return;
    case LinkCommand::PutFile:
        state_ = &SimMachine::putFolder;
        return;
    case LinkCommand::GetFile:
        state_ = &SimMachine::getPath;
        return;
    default:
        return; // disconnect, and anything out of place: no reply
    }
}

void SimMachine::format() {
    replyCode(LinkReply::FormatStarted);
    // A folder of the card holding what the card does not show would lose it.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root_, ec))
        if (cardEntry(entry) && entry.is_directory(ec) && holdsForeign(entry.path()))
            return replyCode(LinkReply::DeviceError);
    for (const auto& entry : fs::directory_iterator(root_, ec)) {
        if (!cardEntry(entry)) continue;
        std::error_code removeError;
        fs::remove_all(entry.path(), removeError);
        if (removeError) ec = removeError;
    }
    if (!ec) unformatted_ = false;
    replyCode(ec ? LinkReply::DeviceError : LinkReply::FormatDone);
}

void SimMachine::listPath(const SimFrame& frame) {
    if (unformatted_) return replyCode(LinkReply::Unformatted);
    fs::path folder;
    if (resolve(root_, frameText(frame), &folder) != Lookup::Found || !fs::is_directory(folder))
        return replyCode(LinkReply::DeviceError);
    Session& s = *session_;
    std::vector<fs::directory_entry> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (cardEntry(entry) && (s.files || entry.is_directory(ec))) found.push_back(entry);
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return upper(a.path().filename().string()) < upper(b.path().filename().string());
    });
    s.entries.clear();
    s.nextEntry = 0;
    for (const auto& entry : found)
        s.entries.push_back(entryFrame(entry, s.files));
    sendEntry();
}

void SimMachine::listAck(const SimFrame& frame) {
    if (LinkCommand(frame[0]) == LinkCommand::Next) return sendEntry();
    idle(frame);
}

void SimMachine::sendEntry() {
    Session& s = *session_;
    if (s.nextEntry == s.entries.size()) {
        s.entries.clear();
        return replyCode(s.files ? LinkReply::FileEnd : LinkReply::FolderEnd);
    }
    state_ = &SimMachine::listAck;
    reply(s.entries[s.nextEntry++]);
}

void SimMachine::makePath(const SimFrame& frame) {
    if (unformatted_) return replyCode(LinkReply::DeviceError);
    fs::path folder;
    const Lookup found = resolve(root_, frameText(frame), &folder);
    if (found == Lookup::MissingParent) return replyCode(LinkReply::NoPath);
    if (found != Lookup::MissingLast) return replyCode(LinkReply::DeviceError);
    std::error_code ec;
    replyCode(fs::create_directory(folder, ec) ? LinkReply::FolderMade : LinkReply::DeviceError);
}

void SimMachine::removeFolderPath(const SimFrame& frame) {
    // The PC sends the folder with one backslash after it.
    std::string text = frameText(frame);
    fs::path folder;
    if (unformatted_ || text.empty() || text.back() != '\\')
        return replyCode(LinkReply::DeviceError);
    text.pop_back();
    if (resolve(root_, text, &folder) != Lookup::Found || folder == root_ ||
        !fs::is_directory(folder))
        return replyCode(LinkReply::DeviceError);
    std::error_code ec;
    fs::remove_all(folder, ec);
    replyCode(ec ? LinkReply::DeviceError : LinkReply::FolderRemoved);
}

void SimMachine::removeFilePath(const SimFrame& frame) {
    fs::path file;
    if (unformatted_ || resolve(root_, frameText(frame), &file) != Lookup::Found ||
        !fs::is_regular_file(file))
        return replyCode(LinkReply::DeviceError);
    std::error_code ec;
    replyCode(fs::remove(file, ec) ? LinkReply::FileRemoved : LinkReply::DeviceError);
}

void SimMachine::putFolder(const SimFrame& frame) {
    if (unformatted_) return replyCode(LinkReply::DeviceError);
    fs::path folder;
    if (resolve(root_, frameText(frame), &folder) != Lookup::Found || !fs::is_directory(folder))
        return replyCode(LinkReply::NoPath);
    session_->target = folder;
    state_ = &SimMachine::putName;
    replyCode(LinkReply::PutFolderOk);
}

void SimMachine::putName(const SimFrame& frame) {
    Session& s = *session_;
    const std::string name = frameText(frame);
    if (!valid83(name)) return replyCode(LinkReply::DeviceError);
    // An existing entry keeps its spelling; a folder of that name cannot be replaced.
    const fs::path folder = s.target;
    s.target = folder / upper(name);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string other = entry.path().filename().string();
        if (!valid83(other) || upper(other) != upper(name)) continue;
        if (entry.is_directory(ec)) return replyCode(LinkReply::DeviceError);
        s.target = entry.path();
    }
    state_ = &SimMachine::putSize;
    replyCode(LinkReply::PutNameOk);
}

void SimMachine::putSize(const SimFrame& frame) {
    Session& s = *session_;
    s.putSize = le32(frame.data() + kValue);
    if (s.putSize > kLargestCardBytes) return replyCode(LinkReply::DeviceError);
    s.putData.clear();
    state_ = &SimMachine::putChunk;
    replyCode(LinkReply::PutReady);
}

void SimMachine::putChunk(const SimFrame& frame) {
    Session& s = *session_;
    const std::uint32_t chunk = le32(frame.data() + kValue);
    if (chunk == 0) {
        // The end marker: a file short of its size is refused.
        if (s.putData.size() != s.putSize) return replyCode(LinkReply::DeviceError);
        std::ofstream out(s.target, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(s.putData.data()),
                  std::streamsize(s.putData.size()));
        out.close();
        std::vector<std::uint8_t>().swap(s.putData);
        return replyCode(out ? LinkReply::PutDone : LinkReply::DeviceError);
    }
    if (chunk > s.putSize - s.putData.size()) return replyCode(LinkReply::DeviceError);
    s.chunkLeft = chunk;
    state_ = &SimMachine::putData;
    replyCode(LinkReply::PutChunkOk);
}

void SimMachine::putData(const SimFrame& frame) {
    Session& s = *session_;
    const std::uint32_t take = std::min(s.chunkLeft, kFrameBytes);
    s.putData.insert(s.putData.end(), frame.begin(), frame.begin() + take);
    s.chunkLeft -= take;
    if (s.chunkLeft != 0) {
        state_ = &SimMachine::putData;
        return;
    }
    state_ = &SimMachine::putChunk;
    replyCode(LinkReply::PutReady);
}

void SimMachine::getPath(const SimFrame& frame) {
    Session& s = *session_;
    fs::path file;
    std::error_code ec;
    const bool found = !unformatted_ && resolve(root_, frameText(frame), &file) == Lookup::Found &&
                       fs::is_regular_file(file, ec) &&
                       fs::file_size(file, ec) <= kLargestCardBytes;
    s.getData.clear();
    if (found) {
        std::ifstream in(file, std::ios::binary);
        s.getData.assign(std::istreambuf_iterator<char>(in), {});
    }
    // The size reply has no code byte; a size no card can hold tells the PC there is no
    // such file.
    SimFrame out{};
    putLe32(out.data() + kValue, found ? std::uint32_t(s.getData.size()) : kNoFile);
    s.getSent = 0;
    s.chunkLength = 0;
    s.chunkSent = 0;
    if (found) state_ = &SimMachine::getNextChunk;
    reply(out);
}

void SimMachine::getNextChunk(const SimFrame& frame) {
    Session& s = *session_;
    switch (LinkCommand(frame[0])) {
    case LinkCommand::Next: // the PC acknowledges a chunk's last packet too
        state_ = &SimMachine::getNextChunk;
        return;
    case LinkCommand::GetEnd:
        return;
    case LinkCommand::GetChunk: {
        SimFrame out{};
        s.chunkLength =
            std::uint32_t(std::min<std::size_t>(s.getData.size() - s.getSent, sendChunk_));
        s.chunkSent = 0;
        putLe16(out.data() + kValue, std::uint16_t(s.chunkLength));
        state_ = &SimMachine::getHeader;
        return reply(out);
    }
    default:
        return idle(frame);
    }
}

void SimMachine::getHeader(const SimFrame& frame) {
    if (LinkCommand(frame[0]) == LinkCommand::GetData) return sendPacket();
    if (LinkCommand(frame[0]) != LinkCommand::GetEnd) idle(frame);
}

void SimMachine::getPacket(const SimFrame& frame) {
    Session& s = *session_;
    if (LinkCommand(frame[0]) != LinkCommand::Next) return getNextChunk(frame);
    if (s.chunkSent < s.chunkLength) return sendPacket();
    state_ = &SimMachine::getNextChunk;
}

void SimMachine::sendPacket() {
    Session& s = *session_;
    SimFrame out{};
    const std::uint32_t take = std::min(kFrameBytes, s.chunkLength - s.chunkSent);
    std::memcpy(out.data(), s.getData.data() + s.getSent, take);
    s.getSent += take;
    s.chunkSent += take;
    state_ = &SimMachine::getPacket;
    reply(out);
}

// ---- In-process transport ----

namespace {

class SimTransport final : public LinkTransport {
public:
    SimTransport(SimMachine& machine, std::uint32_t acknowledgementsAhead)
        : machine_(machine), acknowledgementsAhead_(acknowledgementsAhead) {}

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
    LinkResult transfer(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                        std::uint32_t* transferred) override {
        if (pipe == 2) return machine_.hostWrite(buffer, length, transferred);
        if (pipe == 0) return machine_.hostRead(buffer, length, transferred);
        return LinkResult::IoFailed;
    }
    // A write is taken in at once.
    std::uint32_t acknowledgementsAhead() const override { return acknowledgementsAhead_; }
    void cancel() override { machine_.cancelRead(); }
    void clearCancel() override { machine_.clearCancel(); }

private:
    SimMachine& machine_;
    const std::uint32_t acknowledgementsAhead_;
    OpenFailure failure_ = OpenFailure::NoDevice;
};

} // namespace

std::unique_ptr<LinkTransport> makeSimTransport(SimMachine& machine,
                                                std::uint32_t acknowledgementsAhead) {
    return std::make_unique<SimTransport>(machine, acknowledgementsAhead);
}
