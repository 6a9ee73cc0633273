// SPDX-License-Identifier: MIT
// Fuzz target: a card image damaged anywhere, then used the way the tools use a card. The
// input is a list of patches over a small formatted card (fuzz_card_base.h), each record
//   byte 0   bits 6-7 kind, bits 0-5 length n;  bytes 1-2 a;  bytes 3-4 c (little-endian)
//   kind 0: n bytes into sector a's data at byte c
//   kind 1: n bytes into sector a's 16 spare bytes from byte c
//   kind 2: n bytes into the image header at byte c
//   kind 3: bit c & 7 of byte c >> 3 of sector a's data and spare flipped (no bytes follow)
// where sector a below 0x8000 is the card's logical sector a (in the physical block it is
// mapped to), and from 0x8000 on physical sector a - 0x8000.
// byte 0 of the whole input picks the card (bit 0: large pages) and whether the writes run in
// a write group (bit 1). The damaged card is then
// described, mounted, listed to the bottom, every file read, checked, and a file written,
// read back, shortened in place, read again and deleted (see writeAndReadBack for what must hold).
#include "fuzz_card_base.h"

#include "smfs/chip.h"

#include <smfs/smfs.h>
#include <smfs/tools.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kMaxDepth = 8;
constexpr int kMaxEntries = 400;
constexpr std::uint32_t kMaxReadBytes = 1u << 20;

// File offset of byte i (0..527) of physical sector s: 512 data bytes, then 16 spare bytes.
std::size_t sectorByteOffset(const PageLayout& layout, std::uint32_t sector, std::uint32_t i) {
    const std::uint32_t pagesPerSector = 512 / layout.dataBytes;
    std::uint32_t page = sector * pagesPerSector;
    std::uint32_t column = 0;
    if (i < 512) {
        page += i / layout.dataBytes;
        column = i % layout.dataBytes;
    } else {
        page += (i - 512) / layout.spareBytes;
        column = layout.dataBytes + (i - 512) % layout.spareBytes;
    }
    return kImageHeaderBytes + std::size_t(page) * layout.recordBytes + column;
}

void applyPatches(std::vector<std::uint8_t>& image, int cardType,
                  const std::vector<std::uint32_t>& logToPhys, const std::uint8_t* data,
                  std::size_t size) {
    const CardGeometry& geometry = card_geometry(cardType);
    const PageLayout& layout = card_page_layout(cardType);
    const std::uint32_t physSectors = geometry.physBlocks * geometry.sectorsPerBlock;
    const std::uint32_t logSectors = geometry.logBlocks * geometry.sectorsPerBlock;
    auto physicalSector = [&](std::uint32_t a) {
        if (a >= 0x8000) return (a - 0x8000) % physSectors;
        const std::uint32_t log = a % logSectors;
        const std::uint32_t phys = logToPhys[log / geometry.sectorsPerBlock];
        return phys * geometry.sectorsPerBlock + log % geometry.sectorsPerBlock;
    };
    std::size_t at = 0;
    while (at + 5 <= size) {
        const int kind = data[at] >> 6;
        std::size_t n = data[at] & 0x3F;
        const std::uint32_t a = data[at + 1] | data[at + 2] << 8;
        const std::uint32_t c = data[at + 3] | data[at + 4] << 8;
        at += 5;
        if (kind == 3) {
            const std::uint32_t i = (c >> 3) % 528;
            image[sectorByteOffset(layout, physicalSector(a), i)] ^= std::uint8_t(1u << (c & 7));
            continue;
        }
        n = std::min(n, size - at);
        const std::uint8_t* bytes = data + at;
        at += n;
        if (kind == 2) {
            for (std::size_t k = 0; k < n && c + k < kImageHeaderBytes; ++k)
                image[c + k] = bytes[k];
            continue;
        }
        const std::uint32_t sector = physicalSector(a);
        const std::uint32_t first = kind == 0 ? c % 512 : 512 + c % 16;
        const std::uint32_t end = kind == 0 ? 512 : 528;
        for (std::size_t k = 0; k < n && first + k < end; ++k)
            image[sectorByteOffset(layout, sector, std::uint32_t(first + k))] = bytes[k];
    }
}

void readFile(SmfsCard& card, const std::string& path) {
    SmfsHandle handle = 0;
    if (card.open(path.c_str(), kSmfsRead, &handle) != SmfsResult::Ok) return;
    std::vector<std::uint8_t> buffer(8192);
    for (std::uint32_t total = 0; total < kMaxReadBytes;) {
        std::uint32_t count = 0;
        const SmfsResult r = card.read(handle, buffer.data(), std::uint32_t(buffer.size()), &count);
        if (count > buffer.size()) std::abort();
        total += count;
        if (r != SmfsResult::Ok || count == 0) break;
    }
    std::uint32_t previous = 0;
    (void)card.seek(handle, kSmfsSeekEnd, -3, &previous);
    (void)card.close(handle);
}

void walk(SmfsCard& card, const std::string& folder, int depth, int& entries) {
    if (depth > kMaxDepth) return;
    std::uint32_t count = 0;
    (void)card.count(folder.c_str(), &count);
    char names[16 * kSmfsNameSlotBytes];
    for (std::uint32_t first = 0; entries < kMaxEntries; first += 16) {
        std::uint32_t delivered = 0;
        const SmfsResult r = card.list(folder.c_str(), first, 16, names, &delivered);
        if (delivered > 16) std::abort();
        for (std::uint32_t i = 0; i < delivered && entries < kMaxEntries; ++i) {
            const char* slot = names + i * kSmfsNameSlotBytes;
            if (std::memchr(slot, 0, kSmfsNameSlotBytes) == nullptr) std::abort();
            const std::string name = slot;
            if (name == "." || name == "..") continue;
            ++entries;
            const std::string path = folder + name;
            SmfsEntryInfo info{};
            if (card.info(path.c_str(), &info) != SmfsResult::Ok) continue;
            if (info.attribute & kSmfsAttrFolder)
                walk(card, path + "\\", depth + 1, entries);
            else
                readFile(card, path);
        }
        if (r != SmfsResult::Ok || delivered < 16) break;
    }
}

// Writes a file, reads it back and deletes it again. On a card the checker found clean, a
// write the library reported done must read back as written and leave the card clean; on a
// damaged card (a FAT that calls used clusters free, say) only the absence of crashes counts.
void writeAndReadBack(SmfsCard& card, bool cleanCard) {
    std::vector<std::uint8_t> bytes(9000);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = std::uint8_t(i * 13 + 1);
    SmfsHandle handle = 0;
    if (card.create("vx:\\GAMES\\NEW.BIN", 1, &handle) != SmfsResult::Ok) return;
    const bool written =
        card.write(handle, bytes.data(), std::uint32_t(bytes.size())) == SmfsResult::Ok;
    if (card.close(handle) != SmfsResult::Ok || !written) return;
    std::vector<std::uint8_t> back(bytes.size() + 1);
    std::uint32_t count = 0;
    if (card.open("vx:\\GAMES\\NEW.BIN", kSmfsRead, &handle) == SmfsResult::Ok) {
        const SmfsResult r = card.read(handle, back.data(), std::uint32_t(back.size()), &count);
        if (cleanCard && (r != SmfsResult::EndOfData || count != bytes.size() ||
                          std::memcmp(back.data(), bytes.data(), bytes.size()) != 0))
            std::abort();
        (void)card.close(handle);
    } else if (cleanCard) {
        std::abort();
    }
    // Cut in place past the first cluster: the rest reads back and the card stays clean.
    constexpr std::uint32_t kCut = 4100;
    if (card.open("vx:\\GAMES\\NEW.BIN", kSmfsReadWrite, &handle) == SmfsResult::Ok) {
        const bool cut = card.truncate(handle, kCut) == SmfsResult::Ok;
        if ((card.close(handle) != SmfsResult::Ok || !cut) && cleanCard) std::abort();
    }
    if (card.open("vx:\\GAMES\\NEW.BIN", kSmfsRead, &handle) == SmfsResult::Ok) {
        const SmfsResult r = card.read(handle, back.data(), std::uint32_t(back.size()), &count);
        if (cleanCard && (r != SmfsResult::EndOfData || count != kCut ||
                          std::memcmp(back.data(), bytes.data(), kCut) != 0))
            std::abort();
        (void)card.close(handle);
    }
    if (cleanCard) {
        SmfsCheckReport report;
        if (card.check(&report) != SmfsResult::Ok || !report.clean()) std::abort();
    }
    (void)card.mkdir("vx:\\GAMES\\NEWDIR", 0);
    (void)card.remove("vx:\\GAMES\\NEW.BIN");
    (void)card.rmdir("vx:\\GAMES\\NEWDIR", 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int cardType = (data[0] & 1) ? 2 : 0;
    const std::vector<std::uint32_t>* logToPhys = nullptr;
    std::vector<std::uint8_t> image = fuzzBaseCard(cardType, &logToPhys);
    applyPatches(image, cardType, *logToPhys, data + 1, size - 1);

    FuzzCard fuzz(std::move(image));
    SmfsCard& card = fuzz.card;
    SmfsCardInfo info;
    (void)card.cardInfo(&info);
    std::uint64_t total = 0, used = 0, free = 0;
    (void)card.space("vx:", &total, &used, &free);
    int entries = 0;
    walk(card, "vx:\\", 0, entries);
    SmfsCheckReport report;
    const bool checked = card.check(&report) == SmfsResult::Ok;
    // Bit 1 of byte 0: the write, read back and deletes run in one write group, as the
    // manager's copies and deletes do.
    const bool grouped = (data[0] & 2) != 0;
    if (grouped) card.beginGroup();
    writeAndReadBack(card, checked && report.clean() && report.volumeChecked);
    if (grouped) (void)card.endGroup();
    return 0;
}
