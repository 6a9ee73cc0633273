// SPDX-License-Identifier: MIT
// The card in a Vela machine, driven through the device link. The machine runs its own file
// system; this file turns the link's results into the user's messages, one table per
// operation. Files stream through the link a chunk at a time, between the PC file and the
// cable, so a file of any size costs one chunk of memory. The machine cannot rename, so a
// file is replaced in four steps that always leave a whole copy on the card: the new file is
// put under a temporary name and its size checked, the old one is removed, the new one is put
// again under its own name (from a copy kept in an unnamed PC file) and checked, and only then
// is the temporary copy removed.
#include "smcmanager/card_storage.h"

#include "manager_text.h"

#include <common/path_names.h>
#include <devicelink/device_link.h>
#include <devicelink/transport.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// What the link's callbacks return to go on.
constexpr LinkResult kGoOn = LinkResult::Ok;
// Where a replacing file waits until the old one is gone.
constexpr const char* kReplacementName = "VELA~NEW.TMP";

struct LinkText {
    LinkResult result;
    const char* text;
};

template <std::size_t N>
const char* linkFailureText(LinkResult linkResult, const LinkText (&table)[N],
                            const char* fallback) {
    for (const LinkText& entry : table) {
        if (entry.result == linkResult) return entry.text;
    }
    return fallback;
}

const char* folderListFailure(LinkResult linkResult) {
    static constexpr LinkText kTexts[] = {
        {LinkResult::Timeout, "timed out while gathering folder list."},
        {LinkResult::IoFailed, "unknown error has occurred."},
        {LinkResult::BadReply, "communication error has occurred."},
        {LinkResult::Unformatted, "unformatted SMC"},
        {LinkResult::DeviceError, "as error has occurred in Vela machine."},
    };
    return linkFailureText(linkResult, kTexts, "default error has occurred.");
}

const char* fileListFailure(LinkResult linkResult) {
    static constexpr LinkText kTexts[] = {
        {LinkResult::Timeout, "timed out while gathering file list"},
        {LinkResult::IoFailed, "unknown error occurred."},
        {LinkResult::BadReply, "communication error has occurred."},
        {LinkResult::Unformatted, "unformatted SMC"},
        {LinkResult::DeviceError, "an error has occurred in Vela machine."},
    };
    return linkFailureText(linkResult, kTexts, "default error has occurred.");
}

const char* putFileMessage(LinkResult result) {
    static constexpr LinkText kTexts[] = {
        {LinkResult::Timeout, "timed out while copying file."},
        {LinkResult::Canceled, "operation canceled."},
        {LinkResult(-4), "failed to open file."},
        {LinkResult::IoFailed, "an error has occurred in Vela while copying file."},
        {LinkResult::BadReply, "communication error has occurred."},
        {LinkResult::ReadFailed, "failed to read from file."},
        {LinkResult(-14), "same file already exists."},
        {LinkResult(-15), "failed to create file."},
        {LinkResult::WriteFailed, "failed to write to file."},
    };
    return linkFailureText(result, kTexts, "unknown error has occurred.");
}

const char* getFileMessage(LinkResult result) {
    static constexpr LinkText kTexts[] = {
        {LinkResult::Timeout, "timed out while copying file."},
        {LinkResult::Canceled, "operation canceled."},
        {LinkResult::IoFailed, "unknown error has occurred."},
        {LinkResult::BadReply, "communication error has occurred."},
    };
    return linkFailureText(result, kTexts, "default error has occurred.");
}

std::string entryName(const LinkEntry& entry) {
    return std::string(entry.name, strnlen(entry.name, sizeof entry.name));
}

// The system's error for a link result: a lost cable or a machine that stopped answering is
// an I/O error; the machine's refusals are what a file manager shows for them.
std::errc causeOf(LinkResult result) {
    switch (result) {
    case LinkResult::NoPath:
        return std::errc::no_such_file_or_directory;
    case LinkResult::TextTooLong:
        return std::errc::filename_too_long;
    case LinkResult::Canceled:
        return std::errc::operation_canceled;
    case LinkResult::NoDevice:
        return std::errc::no_such_device;
    case LinkResult::NoPermission:
        return std::errc::permission_denied;
    default:
        return std::errc::io_error;
    }
}

CardResult outcome(LinkResult result, const char* text) {
    if (result == LinkResult::Ok) return CardResult::ok();
    if (result == LinkResult::Canceled)
        return {CardResult::Code::Cancelled, text, {}, causeOf(result)};
    return CardResult::failed(text, causeOf(result));
}

// The link's progress callbacks, reporting to a transfer under the file's name.
LinkCallbacks callbacksFor(CardTransfer& transfer, const std::string& name) {
    LinkCallbacks callbacks;
    callbacks.start = [&transfer, name](const LinkFileStart& start) {
        transfer.step("now copying file '" + name);
        return transfer.start(start.size) ? kGoOn : LinkResult::Canceled;
    };
    callbacks.packet = [&transfer](const LinkPacketProgress& packet) {
        const bool goOn = transfer.piece(packet.bytesSoFar, packet.packetBytes);
        // With its last packet the file is whole; the next file's start sees the cancel.
        return goOn || packet.bytesSoFar >= packet.total ? kGoOn : LinkResult::Canceled;
    };
    return callbacks;
}

class MachineCard final : public CardStorage {
public:
    MachineCard(DeviceLink& link, std::filesystem::path servedFolder)
        : link_(link), servedFolder_(std::move(servedFolder)) {}
    ~MachineCard() override {
        if (link_.connected()) (void)link_.Disconnect();
    }

    std::string caption() const override { return "SMC in Vela"; }
    bool hasSpace() const override { return false; }
    // The machine's listing carries exact sizes (folders list 0).
    std::string sizeText(const CardEntry& entry) const override {
        return std::to_string(entry.sizeBytes);
    }
    std::vector<std::string> defaultFolders() const override {
        return {"game", "mp3", "vxsys", "vxmm", "vxetc"};
    }

    CardResult list(const std::string& folder, CardListing purpose,
                    std::vector<CardEntry>& entries) override {
        LinkList list;
        const bool folders = purpose == CardListing::Folders;
        const LinkResult result = folders ? link_.ListFolders(WithBackslash(folder), list)
                                          : link_.ListFiles(WithBackslash(folder), list);
        if (result != LinkResult::Ok)
            return CardResult::failed(folders ? folderListFailure(result) : fileListFailure(result),
                                      causeOf(result));
        for (const LinkEntry& item : list) {
            CardEntry entry;
            entry.name = entryName(item);
            entry.folder = folders || item.kind == 1;
            entry.hasSubfolders = folders && item.kind != 0;
            entry.sizeBytes = item.size;
            entry.year = item.year;
            entry.month = item.month;
            entry.day = item.day;
            entry.hour = item.hour;
            entry.minute = item.minute;
            entries.push_back(std::move(entry));
        }
        return CardResult::ok();
    }

    CardResult hasSubfolders(const std::string& folder, bool& found) override {
        LinkList list;
        const LinkResult result = link_.ListFolders(WithBackslash(folder), list);
        found = result == LinkResult::Ok && !list.empty();
        return result == LinkResult::Ok ? CardResult::ok()
                                        : CardResult::failed(folderListFailure(result));
    }

    CardResult fileSize(const std::string& path, std::uint64_t& sizeBytes) override {
        const std::string folder = ExtractDirectory(path);
        const std::string name = path.substr(folder.size());
        LinkList list;
        if (const LinkResult result = link_.ListFiles(folder, list); result != LinkResult::Ok)
            return CardResult::failed(folderListFailure(result), causeOf(result));
        // The machine lists names in upper case, the path holds them as shown (lower case).
        for (const LinkEntry& entry : list) {
            if (SameNameNoCase(entryName(entry), name)) {
                sizeBytes = entry.size;
                return CardResult::ok();
            }
        }
        return {CardResult::Code::NotFound, "", {}};
    }

    CardResult read(const std::string& path, CardTransfer& transfer,
                    const CardSink& sink) override {
        const std::string name = LastCardComponent(path);
        const LinkResult result = link_.GetFile(path, name, sink, callbacksFor(transfer, name));
        // A sink that failed has said why.
        if (result == LinkResult::WriteFailed) return CardResult::silent();
        return outcome(result, getFileMessage(result));
    }

    CardResult write(const std::string& folder, const std::string& name, std::uint64_t sizeBytes,
                     bool replace, CardTransfer& transfer, const CardSource& source) override {
        const std::string dest = folder == "vx:\\" ? "vx:" : folder;
        // Refused before anything on the card is touched.
        if (sizeBytes > kLargestCardBytes)
            return CardResult::failed("file is larger than any SMC.");
        if (!replace) return put(dest, name, sizeBytes, source, callbacksFor(transfer, name));

        // The second put reads the bytes the first one sent from an unnamed PC file, so memory
        // stays at one chunk however large the file.
        const std::unique_ptr<std::FILE, int (*)(std::FILE*)> copy(std::tmpfile(), &std::fclose);
        if (!copy)
            return CardResult::failed(std::string("failed to create file.\n") +
                                      std::strerror(errno));
        bool copyFailed = false;
        const CardSource keep = [&](std::uint8_t* buffer, std::uint32_t bytes) {
            if (!source(buffer, bytes)) return false;
            copyFailed = std::fwrite(buffer, 1, bytes, copy.get()) != bytes;
            return !copyFailed;
        };
        const std::string target = dest + "\\" + name;
        const std::string temporary = dest + "\\" + kReplacementName;
        (void)link_.RemoveFile(temporary); // only ever the remains of an earlier cut
        CardResult first =
            put(dest, kReplacementName, sizeBytes, keep, callbacksFor(transfer, name));
        if (copyFailed)
            first = CardResult::failed(std::string("failed to write to file.\n") +
                                       std::strerror(errno));
        else if (first &&
                 (std::fflush(copy.get()) != 0 || !holds(dest, kReplacementName, sizeBytes)))
            first = CardResult::failed(putFileMessage(LinkResult(-16)));
        if (!first) {
            (void)link_.RemoveFile(temporary); // the machine may have kept some of it
            return first;
        }
        if (const LinkResult removed = link_.RemoveFile(target); removed != LinkResult::Ok) {
            (void)link_.RemoveFile(temporary);
            return CardResult::failed(putFileMessage(removed));
        }
        // From here the new file is the only whole copy: no cancel, and a failure keeps it.
        std::rewind(copy.get());
        const CardSource again = [&](std::uint8_t* buffer, std::uint32_t bytes) {
            return std::fread(buffer, 1, bytes, copy.get()) == bytes;
        };
        const CardResult second = put(dest, name, sizeBytes, again, {});
        if (!second || !holds(dest, name, sizeBytes)) {
            // A silent failure is the unnamed copy that could not be read back.
            const std::string why = second                   ? putFileMessage(LinkResult(-16))
                                    : second.message.empty() ? "failed to read from file."
                                                             : second.message;
            return CardResult::failed(why + "\nthe new file is kept as '" + temporary + "'.");
        }
        (void)link_.RemoveFile(temporary);
        return CardResult::ok();
    }

    CardResult makeFolder(const std::string& path) override {
        static constexpr LinkText kTexts[] = {
            {LinkResult::Timeout, "timed out while creting folder in SMC."},
            {LinkResult::IoFailed, "unknown error has occurred."},
            {LinkResult::BadReply, "communication error has occurred."},
            {LinkResult::DeviceError, "an error has occurred in Vela."},
            {LinkResult::NoPath, "parent path doesn't exist."},
        };
        const LinkResult result = link_.MakeFolder(path);
        return outcome(result, linkFailureText(result, kTexts, "default error has occurred."));
    }

    CardResult removeFolder(const std::string& path) override {
        static constexpr LinkText kTexts[] = {
            {LinkResult::Timeout, "timed out while deleting folder in SMC."},
            {LinkResult::IoFailed, "unknown error has occurred."},
            {LinkResult::BadReply, "communication error has occurred."},
            {LinkResult::DeviceError, "an error has occurred in Vela."},
        };
        // The card itself is no folder to remove; what the machine would do is unknown.
        const LinkResult result =
            path == "vx:" || path == "vx:\\" ? LinkResult::NoPath : link_.RemoveFolder(path);
        return outcome(result, linkFailureText(result, kTexts, "default error has occurred."));
    }

    CardResult removeFile(const std::string& path) override {
        static constexpr LinkText kTexts[] = {
            {LinkResult::Timeout, "timed out while deleting file in SMC."},
            {LinkResult::IoFailed, "an error has occurred in Vela."},
            {LinkResult::BadReply, "communication error has occurred."},
            {LinkResult::DeviceError, "an error has occurred in Vela."},
        };
        const LinkResult result = link_.RemoveFile(path);
        return outcome(result, linkFailureText(result, kTexts, "unknown error has occurred."));
    }

    CardResult format(bool, std::string& closing) override {
        static constexpr LinkText kTexts[] = {
            {LinkResult::Timeout, "timed out while formatting SMC in Vela."},
            {LinkResult::IoFailed, "unknown error has occurred."},
            {LinkResult::BadReply, "communication error has occurred."},
            {LinkResult::DeviceError, "an error has occurred in Vela."},
        };
        const LinkResult result = link_.FormatCard(kFormatLimit);
        closing = "formatted successfully.";
        return outcome(result, linkFailureText(result, kTexts, "default error has occurred."));
    }

    CardResult space(std::uint64_t&, std::uint64_t&, std::uint64_t&) override {
        return {CardResult::Code::Unsupported, "", {}};
    }

    CardResult sync() override { return CardResult::ok(); }

    std::filesystem::path localPath() const override { return servedFolder_; }

private:
    CardResult put(const std::string& dest, const std::string& name, std::uint64_t sizeBytes,
                   const CardSource& source, const LinkCallbacks& callbacks) {
        const LinkResult result =
            link_.PutFile(std::uint32_t(sizeBytes), source, dest + "\\", name, callbacks);
        // The machine may have taken the unfinished file as a whole one.
        if (result == LinkResult::Canceled && link_.cancelledPutKept())
            (void)link_.RemoveFile(dest + "\\" + name);
        // A source that failed has said why.
        if (result == LinkResult::ReadFailed) return CardResult::silent();
        return outcome(result, putFileMessage(result));
    }

    // Whether the card folder lists the file name with sizeBytes.
    bool holds(const std::string& dest, const std::string& name, std::uint64_t sizeBytes) {
        LinkList list;
        if (link_.ListFiles(dest + "\\", list) != LinkResult::Ok) return false;
        for (const LinkEntry& entry : list)
            if (entry.kind == 0 && SameNameNoCase(entryName(entry), name))
                return entry.size == sizeBytes;
        return false;
    }

    DeviceLink& link_;
    std::filesystem::path servedFolder_;
};

} // namespace

std::unique_ptr<CardStorage> machineCard(DeviceLink& link, std::filesystem::path servedFolder) {
    return std::make_unique<MachineCard>(link, std::move(servedFolder));
}
