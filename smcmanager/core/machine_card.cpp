// SPDX-License-Identifier: MIT
// The card in a Vela machine, driven through the device link. The machine runs its own file
// system; this file turns the link's results into the user's messages, one table per
// operation. The link moves whole files, so a file is held in memory once while it travels;
// the machine's file system cannot rename, so a replaced file is removed before the new one
// is sent.
#include "smcmanager/card_storage.h"

#include "manager_text.h"

#include <common/path_names.h>
#include <devicelink/device_link.h>
#include <devicelink/transport.h>

#include <cstring>
#include <limits>
#include <new>

namespace {

// What the link's callbacks return to go on.
constexpr LinkResult kGoOn = LinkResult::Ok;

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
        {LinkResult(-13), "failed to read from file."},
        {LinkResult(-14), "same file already exists."},
        {LinkResult(-15), "failed to create file."},
        {LinkResult(-16), "failed to write to file."},
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

// The link's progress callbacks, reporting to a transfer.
LinkCallbacks callbacksFor(CardTransfer& transfer) {
    LinkCallbacks callbacks;
    callbacks.start = [&transfer](const LinkFileStart& start) {
        transfer.step(std::string("now copying file '") + (start.name ? start.name : ""));
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
    explicit MachineCard(DeviceLink& link) : link_(link) {}
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
        std::vector<std::uint8_t> data;
        const LinkResult result =
            link_.GetFile(path, LastCardComponent(path), data, callbacksFor(transfer));
        if (result != LinkResult::Ok) return outcome(result, getFileMessage(result));
        if (!data.empty() && !sink(data.data(), std::uint32_t(data.size())))
            return CardResult::silent();
        return CardResult::ok();
    }

    CardResult write(const std::string& folder, const std::string& name, std::uint64_t sizeBytes,
                     bool replace, CardTransfer& transfer, const CardSource& source) override {
        const std::string dest = folder == "vx:\\" ? "vx:" : folder;
        std::vector<std::uint8_t> data;
        try {
            if (sizeBytes > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
            data.resize(std::size_t(sizeBytes));
        } catch (const std::bad_alloc&) {
            return CardResult::failed("insufficient memory");
        }
        if (!data.empty() && !source(data.data(), std::uint32_t(data.size())))
            return CardResult::silent();
        if (replace) {
            const LinkResult removed = link_.RemoveFile(dest + "\\" + name);
            if (removed != LinkResult::Ok) return CardResult::failed(putFileMessage(removed));
        }
        const LinkResult result = link_.PutFile(data.data(), std::uint32_t(data.size()),
                                                dest + "\\", name, callbacksFor(transfer));
        // The machine may have taken the unfinished file as a whole one.
        if (result == LinkResult::Canceled && link_.cancelledPutKept())
            (void)link_.RemoveFile(dest + "\\" + name);
        return outcome(result, putFileMessage(result));
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

private:
    DeviceLink& link_;
};

} // namespace

std::unique_ptr<CardStorage> machineCard(DeviceLink& link) {
    return std::make_unique<MachineCard>(link);
}
