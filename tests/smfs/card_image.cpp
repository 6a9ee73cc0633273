#include "card_image.h"

#include "smfs/fat.h"

#include <gtest/gtest.h>

CardImage::CardImage(int cardType, std::uint8_t maker, std::uint64_t sizeBytes)
    : path_((dir_ / "card.smc").string()), cardType_(cardType) {
    std::uint8_t device = 0;
    if (!card_id_bytes(maker, cardType, &device)) ADD_FAILURE() << "no id bytes";
    if (sizeBytes == 0) sizeBytes = card_image_bytes(cardType);
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    std::vector<std::uint8_t> header(kImageHeaderBytes, 0);
    header[0] = maker;
    header[1] = device;
    std::size_t headerBytes = std::min<std::uint64_t>(sizeBytes, header.size());
    std::fwrite(header.data(), 1, headerBytes, f);
    std::vector<std::uint8_t> erased(1 << 16, 0xFF);
    for (std::uint64_t left = sizeBytes - headerBytes; left > 0;) {
        std::size_t n = std::min<std::uint64_t>(left, erased.size());
        std::fwrite(erased.data(), 1, n, f);
        left -= n;
    }
    std::fclose(f);
    stream_ = std::fopen(path_.c_str(), "rb+");
    smc_set_image(stream_);
    resetLayers();
}

CardImage::~CardImage() {
    smc_set_image(nullptr);
    chip_set_fault_hook(nullptr);
    if (stream_) std::fclose(stream_);
}

void CardImage::resetLayers() {
    chip_reset();
    smc_reset();
    media_reset();
    fat_reset();
}

std::vector<std::uint8_t> CardImage::readBytes(std::uint64_t offset, std::size_t count) {
    std::fflush(stream_);
    std::vector<std::uint8_t> bytes(count, 0);
    std::FILE* f = std::fopen(path_.c_str(), "rb");
    std::fseek(f, long(offset), SEEK_SET);
    bytes.resize(std::fread(bytes.data(), 1, count, f));
    std::fclose(f);
    return bytes;
}

void CardImage::writeBytes(std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
    std::fflush(stream_);
    std::fseek(stream_, long(offset), SEEK_SET);
    std::fwrite(bytes.data(), 1, bytes.size(), stream_);
    std::fflush(stream_);
}

std::vector<std::uint8_t> CardImage::sectorSpare(std::uint32_t sector) {
    const PageLayout& l = layout();
    if (l.dataBytes == 512) return readBytes(pageOffset(sector) + 512, 16);
    std::vector<std::uint8_t> spare = readBytes(pageOffset(2 * sector) + 256, 8);
    std::vector<std::uint8_t> second = readBytes(pageOffset(2 * sector + 1) + 256, 8);
    spare.insert(spare.end(), second.begin(), second.end());
    return spare;
}

std::vector<std::uint8_t> CardImage::sectorData(std::uint32_t sector) {
    const PageLayout& l = layout();
    if (l.dataBytes == 512) return readBytes(pageOffset(sector), 512);
    std::vector<std::uint8_t> data = readBytes(pageOffset(2 * sector), 256);
    std::vector<std::uint8_t> second = readBytes(pageOffset(2 * sector + 1), 256);
    data.insert(data.end(), second.begin(), second.end());
    return data;
}
