// SPDX-License-Identifier: MIT
// The virtual card: a card image served by a card object of the card library. This is the
// only file of the manager core that calls the card library. The image is held under an
// exclusive lock while it is open; files move in pieces of kPieceBytes, so a file of any size costs
// one piece of memory; a replaced file is written under a temporary name first and takes the old
// one's place only when it is whole. Open card files (the mount's) hold a library handle only
// while they are read or written; the card knows them, so a rename carries them along.
#include "smcmanager/card_storage.h"

#include "manager_text.h"

#include <common/image_file.h>
#include <smfs/smfs.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// The system's error for each library result; results not listed are I/O errors.
struct CauseOf {
    SmfsResult result;
    std::errc cause;
};
constexpr CauseOf kCauses[] = {
    {SmfsResult::InvalidArgument, std::errc::invalid_argument},
    {SmfsResult::AboveRoot, std::errc::invalid_argument},
    {SmfsResult::NoFreeBlock, std::errc::no_space_on_device},
    {SmfsResult::CardFull, std::errc::no_space_on_device},
    {SmfsResult::RootFull, std::errc::no_space_on_device},
    {SmfsResult::FileOpenTenTimes, std::errc::too_many_files_open},
    {SmfsResult::TooManyOpen, std::errc::too_many_files_open},
    {SmfsResult::NameExists, std::errc::file_exists},
    {SmfsResult::FolderNotEmpty, std::errc::directory_not_empty},
    {SmfsResult::MoveSourceNotFound, std::errc::no_such_file_or_directory},
    {SmfsResult::NotFound, std::errc::no_such_file_or_directory},
    {SmfsResult::IsRoot, std::errc::device_or_resource_busy},
    {SmfsResult::FileStillOpen, std::errc::device_or_resource_busy},
    {SmfsResult::OutOfMemory, std::errc::not_enough_memory},
};

constexpr std::uint32_t kBatchNames = 32;
// No card holds a bigger file; a larger size in an entry is broken.
constexpr std::uint32_t kLargestCardFile = 128u << 20;
// Where a replacing file is written until it is whole.
constexpr const char* kReplacementName = "VELA~NEW.TMP";

std::string slotName(const char* names, std::uint32_t index) {
    const char* slot = names + std::size_t(index) * kSmfsNameSlotBytes;
    return std::string(slot, strnlen(slot, kSmfsNameSlotBytes));
}

bool isDots(const std::string& name) {
    return name == "." || name == "..";
}

// Names are joined with a backslash, so the root travels as "vx:".
std::string cardFolder(const std::string& folder) {
    return folder == "vx:\\" ? "vx:" : folder;
}

// Closes a file that did not arrive whole and takes it away, so no partial copy looks like
// a whole one.
void discard(SmfsCard& card, SmfsHandle handle, const std::string& path) {
    if (card.close(handle) == SmfsResult::Ok) (void)card.remove(path.c_str());
}

class VirtualCard;

// A card file of the mount: a library handle opened when a read or write needs one and
// closed at commit, which writes the entry and the FAT.
class VirtualFile final : public CardFile {
public:
    VirtualFile(VirtualCard& card, std::string path, std::uint32_t sizeBytes);
    ~VirtualFile() override;

    std::uint64_t size() const override { return size_; }
    CardResult read(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t bytes,
                    std::uint32_t& got) override;
    CardResult write(std::uint64_t offset, const std::uint8_t* data, std::uint32_t bytes) override;
    CardResult resize(std::uint64_t sizeBytes) override;
    CardResult commit() override;

    // A freshly created file whose handle is already open for writing.
    void adopt(SmfsHandle handle) {
        handle_ = handle;
        open_ = writable_ = true;
    }
    const std::string& path() const { return path_; }
    void moved(std::string path) { path_ = std::move(path); }

private:
    CardResult openHandle(bool forWriting);
    CardResult extendTo(std::uint32_t sizeBytes);

    VirtualCard& card_;
    std::string path_;
    SmfsHandle handle_ = 0;
    bool open_ = false;
    bool writable_ = false;
    std::uint32_t size_ = 0; // written bytes included
};

class VirtualCard final : public CardStorage {
public:
    explicit VirtualCard(std::string imageName) : imageName_(std::move(imageName)) {}
    ~VirtualCard() override {
        card_.reset();
        (void)image_.close(); // every change was synced when it was made
    }

    ImageFile& image() { return image_; }
    void attach(SmfsClock clock) { card_ = std::make_unique<SmfsCard>(image_, clock); }

    SmfsCard* cardObject() override { return card_.get(); }
    int imageError() const override { return image_.lastError(); }
    void setClock(SmfsClock clock) override { card_->setClock(clock); }

    std::string caption() const override { return "Virtual SMC '" + imageName_ + "'"; }
    bool hasSpace() const override { return true; }
    std::string sizeText(const CardEntry& entry) const override {
        return entry.folder ? "" : std::to_string(entry.sizeBytes >> 10) + "KB";
    }
    std::vector<std::string> defaultFolders() const override { return {}; }

    CardResult list(const std::string& folder, CardListing purpose,
                    std::vector<CardEntry>& entries) override {
        const char* listFailure = purpose == CardListing::Folders
                                      ? "an error has occurred while getting folder list"
                                      : "an error has occurred while getting file list";
        CardResult result;
        char batch[kBatchNames * kSmfsNameSlotBytes];
        for (std::uint32_t first = 0;; first += kBatchNames) {
            std::uint32_t delivered = 0;
            const SmfsResult listed =
                card_->list(folder.c_str(), first, kBatchNames, batch, &delivered);
            if (listed != SmfsResult::Ok && listed != SmfsResult::EndOfData)
                return CardResult::failed(listFailure);
            delivered = std::min(delivered, kBatchNames);
            for (std::uint32_t i = 0; i < delivered; ++i) {
                CardEntry entry;
                entry.name = slotName(batch, i);
                if (isDots(entry.name)) continue;
                const std::string path = JoinCardPath(folder, entry.name);
                SmfsEntryInfo info{};
                if (card_->info(path.c_str(), &info) != SmfsResult::Ok) {
                    if (purpose == CardListing::Files)
                        return CardResult::failed(
                            "an error has occurred while geetting file attribute");
                    if (purpose == CardListing::Folders)
                        return CardResult::failed(
                            "an error has occurred while getting file attribute");
                    entry.described = false;
                    entries.push_back(std::move(entry));
                    continue;
                }
                entry.folder = (info.attribute & kSmfsAttrFolder) != 0;
                entry.sizeBytes = info.size;
                entry.year = info.year;
                entry.month = info.month;
                entry.day = info.day;
                entry.hour = info.hour;
                entry.minute = info.minute;
                if (purpose == CardListing::Folders) {
                    if (!entry.folder) continue;
                    const CardResult probed = hasSubfolders(path, entry.hasSubfolders);
                    if (!probed) result.notes.push_back(probed.message);
                }
                entries.push_back(std::move(entry));
            }
            if (delivered != kBatchNames) return result;
        }
    }

    CardResult hasSubfolders(const std::string& folder, bool& found) override {
        found = false;
        char batch[kBatchNames * kSmfsNameSlotBytes];
        std::uint32_t delivered = 0;
        const SmfsResult listed = card_->list(folder.c_str(), 0, kBatchNames, batch, &delivered);
        if (listed != SmfsResult::Ok && listed != SmfsResult::EndOfData)
            return CardResult::failed("Failed to get directory information.");
        delivered = std::min(delivered, kBatchNames);
        for (std::uint32_t i = 0; i < delivered && !found; ++i) {
            const std::string name = slotName(batch, i);
            if (isDots(name)) continue;
            SmfsEntryInfo info{};
            found = card_->info(JoinCardPath(folder, name).c_str(), &info) == SmfsResult::Ok &&
                    (info.attribute & kSmfsAttrFolder);
        }
        return CardResult::ok();
    }

    CardResult fileSize(const std::string& path, std::uint64_t& sizeBytes) override {
        std::uint32_t size = 0;
        if (card_->fileSize(path.c_str(), &size) != SmfsResult::Ok)
            return {CardResult::Code::NotFound, "", {}};
        sizeBytes = size;
        return CardResult::ok();
    }

    CardResult read(const std::string& path, CardTransfer& transfer,
                    const CardSink& sink) override {
        const CardResult readFailure =
            CardResult::failed("failed to read from file in virtual SMC.");
        SmfsHandle handle = 0;
        // A file that is not there (any more) stops the copy quietly.
        if (card_->open(path.c_str(), kSmfsRead, &handle) != SmfsResult::Ok)
            return CardResult::silent();
        std::uint32_t size = 0;
        if (card_->fileSize(path.c_str(), &size) != SmfsResult::Ok || size > kLargestCardFile) {
            (void)card_->close(handle);
            return readFailure;
        }
        if (!transfer.start(size)) {
            (void)card_->close(handle);
            return CardResult::cancelled();
        }
        std::vector<std::uint8_t> piece(std::min(size, kPieceBytes));
        std::uint32_t done = 0;
        while (done < size) {
            const std::uint32_t bytes = std::min(kPieceBytes, size - done);
            std::uint32_t count = 0;
            if (card_->read(handle, piece.data(), bytes, &count) != SmfsResult::Ok ||
                count != bytes) {
                (void)card_->close(handle);
                return readFailure;
            }
            if (!sink(piece.data(), bytes)) {
                (void)card_->close(handle);
                return CardResult::silent();
            }
            done += bytes;
            if (!transfer.piece(done, bytes) && done < size) {
                (void)card_->close(handle);
                return CardResult::cancelled();
            }
        }
        if (card_->close(handle) != SmfsResult::Ok)
            return CardResult::failed("failed to close file in virtual SMC.");
        return CardResult::ok();
    }

    CardResult write(const std::string& folder, const std::string& name, std::uint64_t sizeBytes,
                     bool replace, CardTransfer& transfer, const CardSource& source) override {
        const std::string target = cardFolder(folder) + "\\" + name;
        const std::string path = replace ? cardFolder(folder) + "\\" + kReplacementName : target;
        if (sizeBytes > kLargestCardFile)
            return CardResult::failed("failed to write file in virtual SMC. ('" + target + "')");
        SmfsHandle handle = 0;
        // A replacement left behind by an earlier cut is only ever a partial file.
        if (card_->create(path.c_str(), replace ? 1 : 2, &handle) != SmfsResult::Ok)
            return CardResult::failed("failed to create file in virtual SMC. ('" + target + "')");
        std::vector<std::uint8_t> piece(
            std::size_t(std::min<std::uint64_t>(sizeBytes, kPieceBytes)));
        std::uint64_t written = 0;
        while (written < sizeBytes) {
            const auto bytes =
                std::uint32_t(std::min<std::uint64_t>(kPieceBytes, sizeBytes - written));
            if (!source(piece.data(), bytes)) {
                discard(*card_, handle, path);
                return CardResult::silent();
            }
            if (card_->write(handle, piece.data(), bytes) != SmfsResult::Ok) {
                discard(*card_, handle, path);
                return CardResult::failed("failed to write file in virtual SMC. ('" + target +
                                          "')");
            }
            written += bytes;
            // After the last piece the file is whole; the next file's start sees the cancel.
            if (!transfer.piece(written, bytes) && written < sizeBytes) {
                discard(*card_, handle, path);
                return CardResult::cancelled();
            }
        }
        if (card_->close(handle) != SmfsResult::Ok)
            return CardResult::failed("failed to close file in virtual SMC. ('" + target + "')");
        if (replace) {
            const SmfsResult removed = card_->remove(target.c_str());
            if ((removed != SmfsResult::Ok && removed != SmfsResult::NotFound) ||
                card_->rename(path.c_str(), target.c_str()) != SmfsResult::Ok) {
                (void)card_->remove(path.c_str());
                return CardResult::failed("failed to write file in virtual SMC. ('" + target +
                                          "')");
            }
        }
        return CardResult::ok();
    }

    CardResult makeFolder(const std::string& path) override {
        const SmfsResult result = card_->mkdir(path.c_str(), 0);
        if (result == SmfsResult::InvalidArgument || result == SmfsResult::NotFound)
            return CardResult::failed("parent folder doesn't exist.",
                                      std::errc::no_such_file_or_directory);
        if (result != SmfsResult::Ok)
            return CardResult::failed("an error occurred while creating folder in virtual SMC.",
                                      failure(result).cause);
        return CardResult::ok();
    }

    CardResult removeFolder(const std::string& path) override {
        if (const SmfsResult result = card_->rmdir(path.c_str(), 1); result != SmfsResult::Ok)
            return CardResult::failed("an error has occurred while deleting folder in virtual SMC.",
                                      failure(result).cause);
        return CardResult::ok();
    }

    CardResult removeFile(const std::string& path) override {
        if (const SmfsResult result = card_->remove(path.c_str()); result != SmfsResult::Ok)
            return CardResult::failed("an error has occurred while deleting file in virtual SMC.",
                                      failure(result).cause);
        return CardResult::ok();
    }

    CardResult format(bool full, std::string& closing) override {
        std::uint32_t bad = 0;
        if (card_->format("vx:", full ? 1 : 0, &bad) != SmfsResult::Ok) {
            (void)sync(); // a format cut short has still changed the card
            return CardResult::failed("an error has occurred while formatting virtual SMC.");
        }
        if (CardResult synced = sync(); !synced) return synced;
        closing = "formatted successfully.\nbad block(s) : " + std::to_string(bad);
        return CardResult::ok();
    }

    CardResult space(std::uint64_t& total, std::uint64_t& used, std::uint64_t& free) override {
        const SmfsResult result = card_->space("vx:", &total, &used, &free);
        if (result == SmfsResult::Unformatted) return {CardResult::Code::Unformatted, "", {}};
        // Written blocks but no volume: the files may still be there, so no format is
        // offered; the checker can tell what is left and mend it.
        if (result == SmfsResult::Damaged)
            return CardResult::failed("damaged SMC: run vela-smc check --repair on the image");
        if (result != SmfsResult::Ok)
            return CardResult::failed("an error has occurred while gathering size information.");
        return CardResult::ok();
    }

    CardResult sync() override {
        if (card_->sync() == SmfsResult::Ok) return CardResult::ok();
        return CardResult::failed("failed to write to virtual SMC file.", imageCause());
    }

    CardResult entry(const std::string& path, CardEntry& entry) override {
        SmfsEntryInfo info{};
        const SmfsResult r = card_->info(path.c_str(), &info);
        if (r == SmfsResult::NotFound)
            return {CardResult::Code::NotFound, "", {}, std::errc::no_such_file_or_directory};
        if (r != SmfsResult::Ok) return failure(r);
        entry.name = LastCardComponent(path);
        entry.folder = (info.attribute & kSmfsAttrFolder) != 0;
        entry.readOnly = (info.attribute & kSmfsAttrReadOnly) != 0;
        entry.sizeBytes = entry.folder ? 0 : info.size;
        entry.year = info.year;
        entry.month = info.month;
        entry.day = info.day;
        entry.hour = info.hour;
        entry.minute = info.minute;
        return CardResult::ok();
    }

    CardResult rename(const std::string& from, const std::string& to) override {
        // A handle names its folder: files below from are committed and reopened later.
        for (VirtualFile* file : files_)
            if (below(file->path(), from))
                if (CardResult committed = file->commit(); !committed) return committed;
        const bool sameFolder = from.substr(0, from.rfind('\\')) == to.substr(0, to.rfind('\\'));
        SmfsResult r = sameFolder ? card_->rename(from.c_str(), to.c_str())
                                  : card_->move(from.c_str(), to.c_str());
        // A move names a target folder that is not there as an existing target.
        if (r == SmfsResult::NameExists && !sameFolder) r = SmfsResult::NotFound;
        if (r != SmfsResult::Ok) return failure(r);
        for (VirtualFile* file : files_)
            if (below(file->path(), from)) file->moved(to + file->path().substr(from.size()));
        return CardResult::ok();
    }

    std::unique_ptr<CardFile> openFile(const std::string& path, bool create,
                                       CardResult& result) override {
        result = CardResult::ok();
        if (create) {
            SmfsHandle handle = 0;
            const SmfsResult r = card_->create(path.c_str(), 0, &handle);
            if (r != SmfsResult::Ok) {
                result = failure(r);
                return nullptr;
            }
            auto file = std::make_unique<VirtualFile>(*this, path, 0);
            file->adopt(handle);
            return file;
        }
        SmfsEntryInfo info{};
        const SmfsResult r = card_->info(path.c_str(), &info);
        if (r != SmfsResult::Ok) {
            result = failure(r);
            return nullptr;
        }
        if (info.attribute & kSmfsAttrFolder) {
            result = CardResult::failed("is a folder", std::errc::is_a_directory);
            return nullptr;
        }
        return std::make_unique<VirtualFile>(*this, path, info.size);
    }

    // ---- For the card's files ----

    SmfsCard& card() { return *card_; }
    void track(VirtualFile* file) { files_.push_back(file); }
    void untrack(VirtualFile* file) { std::erase(files_, file); }

    // A failure of the library in its own words and the system's terms; a failed read or
    // write of the image file gives the system's own error (ENOSPC for a full disk).
    CardResult failure(SmfsResult r) const {
        if (r == SmfsResult::ImageIo) return CardResult::failed(smfs_result_text(r), imageCause());
        std::errc cause = std::errc::io_error;
        for (const CauseOf& c : kCauses)
            if (c.result == r) cause = c.cause;
        return CardResult::failed(smfs_result_text(r), cause);
    }
    void beginGroup() override { card_->beginGroup(); }
    CardResult endGroup() override {
        if (card_->endGroup() == SmfsResult::Ok) return CardResult::ok();
        return CardResult::failed("failed to write to virtual SMC file.");
    }

private:
    std::errc imageCause() const {
        return image_.lastError() != 0 ? std::errc(image_.lastError()) : std::errc::io_error;
    }
    static bool below(const std::string& path, const std::string& folder) {
        return path == folder || path.rfind(folder + "\\", 0) == 0;
    }

    std::vector<VirtualFile*> files_;
    std::string imageName_;
    ImageFile image_;
    std::unique_ptr<SmfsCard> card_; // on image_ while it is open
};

VirtualFile::VirtualFile(VirtualCard& card, std::string path, std::uint32_t sizeBytes)
    : card_(card), path_(std::move(path)), size_(sizeBytes) {
    card_.track(this);
}

VirtualFile::~VirtualFile() {
    (void)commit();
    card_.untrack(this);
}

CardResult VirtualFile::openHandle(bool forWriting) {
    if (open_ && (writable_ || !forWriting)) return CardResult::ok();
    if (CardResult closed = commit(); !closed) return closed;
    const SmfsResult r =
        card_.card().open(path_.c_str(), forWriting ? kSmfsReadWrite : kSmfsRead, &handle_);
    if (r != SmfsResult::Ok) return card_.failure(r);
    open_ = true;
    writable_ = forWriting;
    return CardResult::ok();
}

CardResult VirtualFile::commit() {
    if (!open_) return CardResult::ok();
    // On failure the library keeps the handle open, and so does this file.
    if (const SmfsResult r = card_.card().close(handle_); r != SmfsResult::Ok)
        return card_.failure(r);
    open_ = false;
    return CardResult::ok();
}

CardResult VirtualFile::read(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t bytes,
                             std::uint32_t& got) {
    got = 0;
    if (offset >= size_) return CardResult::ok();
    const auto want = std::uint32_t(std::min<std::uint64_t>(bytes, size_ - offset));
    if (CardResult opened = openHandle(false); !opened) return opened;
    SmfsCard& card = card_.card();
    SmfsResult r = card.seek(handle_, kSmfsSeekStart, std::int64_t(offset), nullptr);
    if (r == SmfsResult::Ok) r = card.read(handle_, buffer, want, &got);
    // Data with an uncorrectable ECC error is not handed on as if it were good.
    if (r != SmfsResult::Ok && r != SmfsResult::EndOfData) return card_.failure(r);
    got = std::min(got, want);
    return CardResult::ok();
}

CardResult VirtualFile::write(std::uint64_t offset, const std::uint8_t* data, std::uint32_t bytes) {
    if (offset + bytes > kLargestCardFile)
        return CardResult::failed("file too large", std::errc::file_too_large);
    if (CardResult opened = openHandle(true); !opened) return opened;
    if (CardResult grown = extendTo(std::uint32_t(offset)); !grown) return grown;
    SmfsCard& card = card_.card();
    SmfsResult r = card.seek(handle_, kSmfsSeekStart, std::int64_t(offset), nullptr);
    if (r == SmfsResult::Ok) r = card.write(handle_, data, bytes);
    if (r != SmfsResult::Ok) return card_.failure(r);
    size_ = std::max(size_, std::uint32_t(offset + bytes));
    return CardResult::ok();
}

CardResult VirtualFile::resize(std::uint64_t sizeBytes) {
    if (sizeBytes > kLargestCardFile)
        return CardResult::failed("file too large", std::errc::file_too_large);
    if (sizeBytes == size_) return CardResult::ok();
    if (CardResult opened = openHandle(true); !opened) return opened;
    if (sizeBytes > size_) return extendTo(std::uint32_t(sizeBytes));
    if (const SmfsResult r = card_.card().truncate(handle_, std::uint32_t(sizeBytes));
        r != SmfsResult::Ok)
        return card_.failure(r);
    size_ = std::uint32_t(sizeBytes);
    // The freed clusters are free on the card once the entry says so.
    return commit();
}

// Appends zeros up to sizeBytes; the handle is open for writing.
CardResult VirtualFile::extendTo(std::uint32_t sizeBytes) {
    if (sizeBytes <= size_) return CardResult::ok();
    SmfsCard& card = card_.card();
    SmfsResult r = card.seek(handle_, kSmfsSeekEnd, 0, nullptr);
    const std::vector<std::uint8_t> zeros(std::min<std::uint32_t>(sizeBytes - size_, 65536), 0);
    while (r == SmfsResult::Ok && size_ < sizeBytes) {
        const std::uint32_t n = std::min<std::uint32_t>(sizeBytes - size_, zeros.size());
        r = card.write(handle_, zeros.data(), n);
        if (r == SmfsResult::Ok) size_ += n;
    }
    return r == SmfsResult::Ok ? CardResult::ok() : card_.failure(r);
}

} // namespace

CardNameFit cardNameFit(const std::string& name) {
    switch (smfs_name_fit(name.c_str())) {
    case SmfsNameFit::Fits:
        return CardNameFit::Fits;
    case SmfsNameFit::TooLong:
        return CardNameFit::TooLong;
    case SmfsNameFit::Invalid:
        break;
    }
    return CardNameFit::Invalid;
}

std::unique_ptr<CardStorage> openVirtualCard(const std::filesystem::path& image, SmfsClock clock,
                                             std::string& failure, bool& inUse) {
    failure = "Failed to open virtual SMC file.";
    inUse = false;
    auto card = std::make_unique<VirtualCard>(image.filename().string());
    const ImageFile::Status opened = card->image().open(image, ImageFile::Access::Write);
    if (opened != ImageFile::Status::Ok) {
        // Two writers on one image would each overwrite the other's blocks and FAT.
        inUse = opened == ImageFile::Status::Locked;
        if (inUse)
            failure = "'" + image.filename().string() +
                      "' is in use by another program: Failed to open virtual SMC file.";
        return nullptr;
    }
    card->attach(clock);
    failure.clear();
    return card;
}
