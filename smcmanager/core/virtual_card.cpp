// SPDX-License-Identifier: MIT
// The virtual card: a card image served by a card object of the card library. This is the
// only file of the manager core that calls the card library. The image is held under an
// exclusive lock while it is open; files move in pieces of kPieceBytes, so a file of any size costs
// one piece of memory; a replaced file is written under a temporary name first and takes the old
// one's place only when it is whole.
#include "smcmanager/card_storage.h"

#include "manager_text.h"

#include <common/image_file.h>
#include <smfs/smfs.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t kBatchNames = 32;
// No card holds a bigger file; a larger size in an entry is broken.
constexpr std::uint32_t kLargestCardFile = 128u << 20;
// Where a replacing file is written until it is whole.
constexpr const char* kReplacementName = "VELA~NEW.TMP";

std::string slotName(const char* slot) {
    return std::string(slot, strnlen(slot, kSmfsNameSlotBytes));
}

// The folder holding a card path's last name ("vx:\\" for the root).
std::string parentFolder(const std::string& path) {
    const std::size_t slash = path.rfind('\\');
    return slash == std::string::npos || path.compare(0, slash, "vx:") == 0 ? std::string("vx:\\")
                                                                            : path.substr(0, slash);
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
        // Each entry's fields come with it by position: an entry whose stored name no path
        // can name is listed like its neighbours.
        SmfsListEntry batch[kBatchNames];
        for (std::uint32_t first = 0;; first += kBatchNames) {
            std::uint32_t delivered = 0;
            const SmfsResult listed =
                card_->listEntries(folder.c_str(), first, kBatchNames, batch, &delivered);
            if (listed != SmfsResult::Ok && listed != SmfsResult::EndOfData)
                return CardResult::failed(listFailure);
            delivered = std::min(delivered, kBatchNames);
            for (std::uint32_t i = 0; i < delivered; ++i) {
                const SmfsEntryInfo& info = batch[i].info;
                CardEntry entry;
                entry.name = slotName(batch[i].name);
                if (isDots(entry.name)) continue;
                entry.folder = (info.attribute & kSmfsAttrFolder) != 0;
                if (purpose == CardListing::Folders && !entry.folder) continue;
                entry.sizeBytes = info.size;
                entry.year = info.year;
                entry.month = info.month;
                entry.day = info.day;
                entry.hour = info.hour;
                entry.minute = info.minute;
                if (purpose == CardListing::Folders) {
                    const CardResult probed =
                        hasSubfolders(JoinCardPath(folder, entry.name), entry.hasSubfolders);
                    if (!probed) result.notes.push_back(probed.message);
                }
                entries.push_back(std::move(entry));
            }
            if (delivered != kBatchNames) return result;
        }
    }

    CardResult hasSubfolders(const std::string& folder, bool& found) override {
        found = false;
        SmfsListEntry batch[kBatchNames];
        std::uint32_t delivered = 0;
        const SmfsResult listed =
            card_->listEntries(folder.c_str(), 0, kBatchNames, batch, &delivered);
        if (listed != SmfsResult::Ok && listed != SmfsResult::EndOfData)
            return CardResult::failed("Failed to get directory information.");
        delivered = std::min(delivered, kBatchNames);
        for (std::uint32_t i = 0; i < delivered && !found; ++i)
            found = !isDots(slotName(batch[i].name)) && (batch[i].info.attribute & kSmfsAttrFolder);
        return CardResult::ok();
    }

    CardResult fileSize(const std::string& path, std::uint64_t& sizeBytes) override {
        std::uint32_t index = 0;
        std::uint32_t size = 0;
        if (!storedAt(path, index, size) && card_->fileSize(path.c_str(), &size) != SmfsResult::Ok)
            return {CardResult::Code::NotFound, "", {}};
        sizeBytes = size;
        return CardResult::ok();
    }

    CardResult read(const std::string& path, CardTransfer& transfer,
                    const CardSink& sink) override {
        const CardResult readFailure =
            CardResult::failed("failed to read from file in virtual SMC.");
        SmfsHandle handle = 0;
        std::uint32_t index = 0;
        std::uint32_t size = 0;
        const bool byPosition = storedAt(path, index, size);
        const SmfsResult opened = byPosition
                                      ? card_->openAt(parentFolder(path).c_str(), index, &handle)
                                      : card_->open(path.c_str(), kSmfsRead, &handle);
        // A file that is not there (any more) stops the copy quietly.
        if (opened != SmfsResult::Ok) return CardResult::silent();
        if ((!byPosition && card_->fileSize(path.c_str(), &size) != SmfsResult::Ok) ||
            size > kLargestCardFile) {
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
            return CardResult::failed("parent folder doesn't exist.");
        if (result != SmfsResult::Ok)
            return CardResult::failed("an error occurred while creating folder in virtual SMC.");
        return CardResult::ok();
    }

    CardResult removeFolder(const std::string& path) override {
        if (card_->rmdir(path.c_str(), 1) != SmfsResult::Ok)
            return CardResult::failed(
                "an error has occurred while deleting folder in virtual SMC.");
        return CardResult::ok();
    }

    CardResult removeFile(const std::string& path) override {
        if (card_->remove(path.c_str()) != SmfsResult::Ok)
            return CardResult::failed("an error has occurred while deleting file in virtual SMC.");
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
        return CardResult::failed("failed to write to virtual SMC file.");
    }
    void beginGroup() override { card_->beginGroup(); }
    CardResult endGroup() override {
        if (card_->endGroup() == SmfsResult::Ok) return CardResult::ok();
        return CardResult::failed("failed to write to virtual SMC file.");
    }

private:
    // A name that a path cannot reach as it stands (lower-case letters, characters no card
    // name holds): the entry of the folder stored under exactly that name, by its position
    // and with its size. False for every other name, and when there is no such entry.
    bool storedAt(const std::string& path, std::uint32_t& index, std::uint32_t& size) {
        const std::string name = LastCardComponent(path);
        if (PlainCardName(name)) return false;
        const std::string folder = parentFolder(path);
        SmfsListEntry batch[kBatchNames];
        for (std::uint32_t first = 0;; first += kBatchNames) {
            std::uint32_t delivered = 0;
            const SmfsResult listed =
                card_->listEntries(folder.c_str(), first, kBatchNames, batch, &delivered);
            if (listed != SmfsResult::Ok && listed != SmfsResult::EndOfData) return false;
            delivered = std::min(delivered, kBatchNames);
            for (std::uint32_t i = 0; i < delivered; ++i) {
                if (slotName(batch[i].name) != name || (batch[i].info.attribute & kSmfsAttrFolder))
                    continue;
                index = first + i;
                size = batch[i].info.size;
                return true;
            }
            if (delivered != kBatchNames) return false;
        }
    }

    std::string imageName_;
    ImageFile image_;
    std::unique_ptr<SmfsCard> card_; // on image_ while it is open
};

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
