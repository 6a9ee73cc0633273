// SPDX-License-Identifier: MIT
#include "test_card.h"

#include "fakes/test_bytes.h"

#include <algorithm>
#include <cstdio>

static TestCard* gLatest = nullptr; // the card the running test made last

SmfsDateTime testClock() {
    return SmfsDateTime{2024, 5, 17, 13, 45, 30};
}

std::vector<std::uint8_t> blankImage(int cardType, std::uint8_t maker, std::uint64_t sizeBytes) {
    std::uint8_t device = 0;
    if (!card_id_bytes(maker, cardType, &device)) ADD_FAILURE() << "no id bytes";
    if (sizeBytes == 0) sizeBytes = card_image_bytes(cardType);
    std::vector<std::uint8_t> image(std::size_t(sizeBytes), 0xFF);
    std::fill_n(image.begin(), std::min<std::size_t>(image.size(), kImageHeaderBytes), 0);
    if (image.size() > 0) image[0] = maker;
    if (image.size() > 1) image[1] = device;
    return image;
}

TestCard::TestCard(int cardType, bool format) : TestCard(blankImage(cardType)) {
    std::uint32_t bad = 0;
    EXPECT_EQ(format ? card.format("vx:", 0, &bad) : SmfsResult::Ok, SmfsResult::Ok);
    EXPECT_EQ(bad, 0u);
}

TestCard::TestCard(std::vector<std::uint8_t> image)
    : storage(std::move(image)), card(storage, testClock),
      cardType_(std::max(0, card_type_from_id(storage.bytes()[0], storage.bytes()[1]))) {
    gLatest = this;
}

TestCard::~TestCard() {
    if (gLatest == this) gLatest = nullptr;
}

CardState& cs() {
    return gLatest->state();
}

SmfsCard& api() {
    return gLatest->card;
}

std::vector<std::uint8_t> TestCard::readBytes(std::uint64_t offset, std::size_t count) {
    const std::vector<std::uint8_t>& b = storage.bytes();
    if (offset >= b.size()) return {};
    const auto end = std::min<std::uint64_t>(b.size(), offset + count);
    return {b.begin() + std::ptrdiff_t(offset), b.begin() + std::ptrdiff_t(end)};
}

void TestCard::writeBytes(std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(storage.write(offset, bytes.data(), bytes.size()), SmfsResult::Ok);
}

std::vector<std::uint8_t> TestCard::gather(std::uint32_t sector, std::size_t at,
                                           std::size_t count) {
    const std::uint32_t pages = 512 / layout().dataBytes;
    std::vector<std::uint8_t> out;
    for (std::uint32_t p = 0; p < pages; ++p) {
        const std::vector<std::uint8_t> part =
            readBytes(pageOffset(pages * sector + p) + at, count / pages);
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

std::vector<std::uint8_t> TestCard::logicalSector(std::uint32_t sector) {
    const std::uint32_t spb = geometry().sectorsPerBlock;
    const std::uint32_t phys = media_logical_entry(state(), sector / spb);
    EXPECT_NE(phys, 0u) << "logical sector " << sector << " is not mapped";
    return sectorData(phys * spb + sector % spb);
}

void TestCard::patchLogicalSector(std::uint32_t sector,
                                  const std::function<void(std::uint8_t*)>& edit) {
    const std::uint32_t spb = geometry().sectorsPerBlock;
    std::vector<std::uint8_t> bytes(kSectorBytes);
    ASSERT_EQ(media_read_sector(state(), sector, 0, bytes.data(), kSectorBytes), SmfsResult::Ok);
    edit(bytes.data());
    ASSERT_EQ(media_write(state(), sector / spb, (sector % spb) * kSectorBytes, bytes.data(),
                          kSectorBytes),
              SmfsResult::Ok);
    fat_invalidate(state());
}

std::vector<std::uint8_t> apiPattern(std::size_t size, unsigned seed) {
    return patternBytes(size, seed + 1);
}

SmfsResult apiWriteFile(SmfsCard& card, const std::string& path,
                        const std::vector<std::uint8_t>& bytes, std::uint32_t pieceBytes) {
    SmfsHandle h = 0;
    SmfsResult r = card.create(path.c_str(), 1, &h);
    if (r != SmfsResult::Ok) return r;
    for (std::size_t done = 0; r == SmfsResult::Ok && done < bytes.size();) {
        const auto n = std::uint32_t(std::min<std::size_t>(pieceBytes, bytes.size() - done));
        r = card.write(h, bytes.data() + done, n);
        done += n;
    }
    const SmfsResult closed = card.close(h);
    return r != SmfsResult::Ok ? r : closed;
}

SmfsResult apiReadFile(SmfsCard& card, const std::string& path, std::vector<std::uint8_t>* bytes) {
    bytes->clear();
    std::uint32_t size = 0;
    SmfsResult r = card.fileSize(path.c_str(), &size);
    if (r != SmfsResult::Ok) return r;
    SmfsHandle h = 0;
    r = card.open(path.c_str(), kSmfsRead, &h);
    if (r != SmfsResult::Ok) return r;
    bytes->resize(size);
    std::uint32_t count = 0;
    r = card.read(h, bytes->data(), size, &count);
    bytes->resize(count);
    const SmfsResult c = card.close(h);
    if (r != SmfsResult::Ok && r != SmfsResult::EndOfData) return r;
    return c;
}

std::vector<std::string> apiList(SmfsCard& card, const std::string& path, SmfsResult* result) {
    std::vector<std::string> names;
    char slots[32 * kSmfsNameSlotBytes];
    SmfsResult r = SmfsResult::Ok;
    for (std::uint32_t first = 0;; first += 32) {
        std::uint32_t delivered = 0;
        r = card.list(path.c_str(), first, 32, slots, &delivered);
        for (std::uint32_t i = 0; i < delivered; ++i)
            names.emplace_back(slots + i * kSmfsNameSlotBytes);
        if (r != SmfsResult::Ok) break;
    }
    if (result) *result = r == SmfsResult::EndOfData ? SmfsResult::Ok : r;
    return names;
}

std::string dateText(const SmfsEntryInfo& info) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", int(info.year),
                  int(info.month), int(info.day), int(info.hour), int(info.minute),
                  2 * int(info.seconds2));
    return text;
}

std::uint64_t apiFreeBytes(SmfsCard& card) {
    std::uint64_t total = 0, used = 0, free = 0;
    EXPECT_EQ(card.space("vx:", &total, &used, &free), SmfsResult::Ok);
    return free;
}

std::string apiFindingsText(const SmfsCheckReport& report) {
    std::string text;
    for (const SmfsFinding& f : report.findings)
        text += std::string(smfs_finding_name(f.kind)) + " " + f.path + ": " + f.text + "\n";
    return text;
}

std::string cardTypeName(const testing::TestParamInfo<int>& info) {
    std::string capacity = card_capacity_text(info.param);
    std::string name = "Type" + std::to_string(info.param) + "_";
    for (char c : capacity)
        if (c != ' ') name += c;
    return name;
}
