// Test helper: a blank virtual SMC image of a card type in a temporary folder, opened "rb+"
// and installed in the library's image slot, with the layers below the volume reset.
#pragma once

#include "fakes/temp_dir.h"

#include "smfs/chip.h"
#include "smfs/media.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class CardImage {
public:
    // A blank image of cardType for maker (0xEC or 0x98), sized to the full page array
    // unless sizeBytes says otherwise.
    explicit CardImage(int cardType, std::uint8_t maker = kMakerSamsung,
                       std::uint64_t sizeBytes = 0);
    ~CardImage();
    CardImage(const CardImage&) = delete;
    CardImage& operator=(const CardImage&) = delete;

    std::string path() const { return path_; }
    std::FILE* stream() const { return stream_; }
    int cardType() const { return cardType_; }
    const CardGeometry& geometry() const { return card_geometry(cardType_); }
    const PageLayout& layout() const { return card_page_layout(cardType_); }

    // Raw bytes of the image file (flushing the stream first).
    std::vector<std::uint8_t> readBytes(std::uint64_t offset, std::size_t count);
    void writeBytes(std::uint64_t offset, const std::vector<std::uint8_t>& bytes);
    // File offset of a page record.
    std::uint64_t pageOffset(std::uint32_t page) const {
        return kImageHeaderBytes + std::uint64_t(page) * layout().recordBytes;
    }
    // The 16 spare bytes of a sector, gathered from its page record(s).
    std::vector<std::uint8_t> sectorSpare(std::uint32_t sector);
    std::vector<std::uint8_t> sectorData(std::uint32_t sector);
    std::uint32_t firstSectorOfBlock(std::uint32_t physBlock) const {
        return physBlock * geometry().sectorsPerBlock;
    }
    // Resets the chip, driver and block map as library initialisation does.
    static void resetLayers();

private:
    TempDir dir_;
    std::string path_;
    std::FILE* stream_ = nullptr;
    int cardType_;
};
