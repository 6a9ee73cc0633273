// SPDX-License-Identifier: MIT
// The one card interface of the SMC manager: what the manager, vela-smc and the mount do with
// a card, whichever card it is. A virtual card (a card image served by the card library) and
// the card in a machine (reached through the device link) implement it; the operations above
// are written once against it and never ask which one they have.
//
// Card paths are "vx:\" for the root and names joined by single backslashes below it. Every
// failure comes back as a CardResult holding the user's message in the storage's own words
// (the two storages word their failures differently); an empty message means the failure was
// already reported or needs none (a cancel seen by the caller, a failed PC read).
#pragma once

#include <smfs/smfs.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

class DeviceLink;

// Bytes a card image moves at once: a file of any size costs one piece of memory.
inline constexpr std::uint32_t kPieceBytes = 1048576;

struct CardResult {
    enum class Code { Ok, Failed, Cancelled, NotFound, Unformatted, Unsupported };
    Code code = Code::Ok;
    std::string message;
    // Messages of side steps that failed on the way (shown before message).
    std::vector<std::string> notes;
    // The failure in the system's terms, for callers that speak errno (the mount);
    // std::errc{} when nothing more is known.
    std::errc cause{};

    static CardResult ok() { return {}; }
    static CardResult failed(std::string text, std::errc why = std::errc{}) {
        return {Code::Failed, std::move(text), {}, why};
    }
    static CardResult cancelled() { return {Code::Cancelled, "operation canceled.", {}}; }
    // A failure already reported where it happened.
    static CardResult silent() { return {Code::Failed, "", {}}; }
    explicit operator bool() const { return code == Code::Ok; }
};

// One entry of a card folder.
struct CardEntry {
    std::string name; // as the card holds it
    bool folder = false;
    bool hasSubfolders = false; // folder listings: whether it has folders below it
    bool described = true;      // false: its attributes could not be read (name only)
    bool readOnly = false;      // a file the card marks read-only
    std::uint32_t sizeBytes = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
};

// What a folder listing is for; it picks the listing's failure text and its thoroughness.
enum class CardListing {
    Files,   // the card list: every entry with its attributes
    Folders, // the card tree: the folders only, each knowing whether it has folders below
    Walk,    // folder sizes and copies: every entry, attributes where they can be read
};

// How a name fits a card entry.
enum class CardNameFit { Fits, TooLong, Invalid };

// The transfer of one file reports to its observer: a step text where the storage words its
// own, the file's size when the storage learns it, then every piece moved. Returning false
// from start() or piece() asks the storage to stop (the user cancelled).
class CardTransfer {
public:
    virtual ~CardTransfer() = default;
    virtual void step(const std::string& text) = 0;
    virtual bool start(std::uint64_t sizeBytes) = 0;
    virtual bool piece(std::uint64_t doneBytes, std::uint32_t pieceBytes) = 0;
};

// The bytes of a file being written to the card, pulled in pieces; false when the PC file
// could not be read (the source has reported it).
using CardSource = std::function<bool(std::uint8_t* buffer, std::uint32_t bytes)>;
// The bytes of a card file being read, pushed in pieces; false when they could not be
// written on the PC (the sink has reported it).
using CardSink = std::function<bool(const std::uint8_t* data, std::uint32_t bytes)>;

// A card file open for reads and writes at any offset, so a large file is never held whole.
// Changes reach the card's entry and FAT at commit() and when the object goes; a rename or
// removal through the storage is refused while the file is open, except the storage's own
// rename, which carries the file along.
class CardFile {
public:
    virtual ~CardFile() = default;
    virtual std::uint64_t size() const = 0;
    // Reads up to bytes at offset; got is short only at the end of the file.
    virtual CardResult read(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t bytes,
                            std::uint32_t& got) = 0;
    // Writes at offset; a gap before it reads as zeros.
    virtual CardResult write(std::uint64_t offset, const std::uint8_t* data,
                             std::uint32_t bytes) = 0;
    // Shortens the file in place (its space past sizeBytes freed) or lengthens it with zeros.
    virtual CardResult resize(std::uint64_t sizeBytes) = 0;
    // Puts the file's entry and the FAT on the card.
    virtual CardResult commit() = 0;
};

class CardStorage {
public:
    virtual ~CardStorage() = default;

    // The caption of the card tree's root node.
    virtual std::string caption() const = 0;
    // Whether the card has a size line (total, used, free).
    virtual bool hasSpace() const = 0;
    // An entry's size as the card list's "Size" column shows it.
    virtual std::string sizeText(const CardEntry& entry) const = 0;
    // The folders a fresh format must make for the card to be used, at the root.
    virtual std::vector<std::string> defaultFolders() const = 0;

    // The entries of a card folder ("." and ".." left out) for a purpose. Failed (with the
    // purpose's message) when the folder could not be listed; entries listed before a
    // failure stay in entries.
    virtual CardResult list(const std::string& folder, CardListing purpose,
                            std::vector<CardEntry>& entries) = 0;
    // Whether a card folder has a folder among its first entries; Failed with its message.
    virtual CardResult hasSubfolders(const std::string& folder, bool& result) = 0;
    // One file's size: NotFound without a message when it is not there, Failed with one
    // when its folder could not be listed.
    virtual CardResult fileSize(const std::string& path, std::uint64_t& sizeBytes) = 0;
    // Reads a card file into sink in pieces; Cancelled when transfer stopped it.
    virtual CardResult read(const std::string& path, CardTransfer& transfer,
                            const CardSink& sink) = 0;
    // Writes a card file of sizeBytes from source in pieces into folder (the root "vx:").
    // replace: an existing file of the name is replaced, otherwise the write fails. A file
    // that did not arrive whole is taken off the card again. Cancelled when transfer
    // stopped it.
    virtual CardResult write(const std::string& folder, const std::string& name,
                             std::uint64_t sizeBytes, bool replace, CardTransfer& transfer,
                             const CardSource& source) = 0;
    virtual CardResult makeFolder(const std::string& path) = 0;
    // Removes a folder with everything in it.
    virtual CardResult removeFolder(const std::string& path) = 0;
    virtual CardResult removeFile(const std::string& path) = 0;
    // Formats the card; closing is the message that tells how it went.
    virtual CardResult format(bool full, std::string& closing) = 0;
    // Unsupported when the card has no size line; Unformatted for a card without a volume.
    virtual CardResult space(std::uint64_t& total, std::uint64_t& used, std::uint64_t& free) = 0;
    // Puts every change on its medium; Failed with its message.
    virtual CardResult sync() = 0;
    // Brackets an operation on many files: in between, a card may write the folder entries
    // and the FAT of many files back together instead of at every file. endGroup writes
    // everything back; Failed with its message. Groups nest.
    virtual void beginGroup() {}
    virtual CardResult endGroup() { return CardResult::ok(); }

    // One entry's attributes: NotFound without a message when it is not there, Failed with
    // one when its folder could not be listed. The root is no entry.
    virtual CardResult entry(const std::string& path, CardEntry& entry);
    // Renames or moves an entry to a path that does not exist; Unsupported where the card
    // cannot (the machine), leaving the caller to copy.
    virtual CardResult rename(const std::string& from, const std::string& to);
    // Opens (create: makes empty, failing when it exists) a card file for reads and writes
    // at any offset; nothing, with Unsupported, where the card moves whole files only.
    virtual std::unique_ptr<CardFile> openFile(const std::string& path, bool create,
                                               CardResult& result);

    // A card image's own: the card object (tests and card-level tools reach the card
    // through it), the system's error number of the last failed image read or write, the
    // clock entries are stamped with. Nothing for other cards.
    virtual SmfsCard* cardObject() { return nullptr; }
    virtual int imageError() const { return 0; }
    virtual void setClock(SmfsClock) {}
};

// How a name fits a card's 8.3 entries (the card library's rule, for both storages).
CardNameFit cardNameFit(const std::string& name);

// The virtual card on an image file, held under an exclusive lock. Nothing (with the reason
// in failure) when it cannot be opened; inUse tells an image another program holds. The
// storage may be Unformatted (see space()).
std::unique_ptr<CardStorage> openVirtualCard(const std::filesystem::path& image, SmfsClock clock,
                                             std::string& failure, bool& inUse);

// The card in the machine behind a connected link (the link stays the caller's).
std::unique_ptr<CardStorage> machineCard(DeviceLink& link);
