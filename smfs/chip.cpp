// SPDX-License-Identifier: MIT
// Card geometry, the emulated NAND chip and the page driver.
//
// The chip decodes command and address bytes like the real part. Data bytes written after a
// serial-input command go into a page register and reach the image when the program is
// confirmed; a block erase fills the block's records with 0xFF. Within a session the block
// cache below gathers them (see Image access); the block layer flushes at the end of each of
// its write operations, so a failing storage is reported by the operation that wrote. Reads
// past the end of a short image come back as erased bytes (0xFF). The chip counts its page
// reads, programs and erases for the benchmarks and tests.
#include "chip.h"

#include "card_state.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

namespace {

// cylinders, heads, sectors per track, total sectors, bytes per sector, physical blocks,
// logical blocks, sectors per block, pages per block, page data bytes
constexpr std::array<CardGeometry, kCardTypeCount> kGeometry{{
    {125, 4, 4, 2000, 512, 256, 250, 8, 16, 256},
    {125, 4, 8, 4000, 512, 512, 500, 8, 16, 256},
    {250, 4, 8, 8000, 512, 512, 500, 16, 16, 512},
    {250, 4, 16, 16000, 512, 1024, 1000, 16, 16, 512},
    {500, 4, 16, 32000, 512, 1024, 1000, 32, 32, 512},
    {500, 8, 16, 64000, 512, 2048, 2000, 32, 32, 512},
    {500, 8, 32, 128000, 512, 4096, 4000, 32, 32, 512},
    {500, 16, 32, 256000, 512, 8192, 8000, 32, 32, 512},
}};

constexpr PageLayout kSmallPage{256, 8, 264};
constexpr PageLayout kLargePage{512, 16, 528};

constexpr char kCapacityText[kCardTypeCount][8] = {"1 MB",  "2 MB",  "4 MB",  "8 MB",
                                                   "16 MB", "32 MB", "64 MB", "128 MB"};

// Two acceptable device codes per card type, per maker (Samsung, Toshiba).
constexpr std::uint8_t kDeviceCodes[2][kCardTypeCount][2] = {
    {{0x6E, 0x00},
     {0xEA, 0x64},
     {0xE3, 0xE5},
     {0xE6, 0x00},
     {0x73, 0x00},
     {0x75, 0x00},
     {0x76, 0x00},
     {0x79, 0x00}},
    {{0x00, 0x00},
     {0xEA, 0x64},
     {0xE5, 0x6B},
     {0xE6, 0x00},
     {0x73, 0x00},
     {0x75, 0x00},
     {0x76, 0x00},
     {0x79, 0x00}},
};

int makerIndex(std::uint8_t maker) {
    if (maker == kMakerSamsung) return 0;
    if (maker == kMakerToshiba) return 1;
    return -1;
}

bool bigAddress(int cardType) {
    return cardType >= 6;
}

constexpr int kStatusPolls = 1440000;

// ---- Image access ----
//
// Raw access goes through the card's storage, one positioned read or write per run of bytes.
// Inside a session (chip_session_begin) whole blocks of page records are kept in a few cache
// slots: reads are served from memory, and the programs and the erase of one block gather in
// its slot and go out as one write of the bytes they changed when the chip moves on to
// another block, at a flush, or when the session ends. Only one block is ever held back, so
// the storage sees the writes in the order the chip made them, block by block. Outside a
// session nothing is cached: a test or tool that changes the image between two library calls
// is always seen. A failed storage call marks the card: the driver operation returns ImageIo,
// and the session's end makes every layer read the card afresh, since what they remember may
// no longer be what the storage holds.

void storageFailed(CardState& card) {
    card.ioError = true;
    // Outside a session (a layer called directly) there is nothing held back to stop.
    card.storageFailed = card.cache.sessionDepth > 0;
}

// Reads count bytes at offset; what lies past the end of the image reads as erased (0xFF).
// Returns how many bytes the image really held.
std::size_t rawRead(CardState& card, std::uint64_t offset, std::uint8_t* buffer,
                    std::size_t count) {
    std::size_t got = 0;
    if (card.storage->read(offset, buffer, count, &got) != SmfsResult::Ok) {
        storageFailed(card);
        got = 0;
    }
    got = std::min(got, count);
    std::fill(buffer + got, buffer + count, 0xFF);
    return got;
}

void rawWrite(CardState& card, std::uint64_t offset, const std::uint8_t* data, std::size_t count) {
    if (card.storageFailed) {
        card.ioError = true;
        return;
    }
    if (card.storage->write(offset, data, count) != SmfsResult::Ok) storageFailed(card);
}

std::uint8_t* slotBytes(CardState& card, int slot) {
    return card.cache.bytes.data() + std::size_t(slot) * card.cache.blockBytes;
}

std::uint64_t blockOffset(CardState& card, std::uint32_t block) {
    return kImageHeaderBytes + std::uint64_t(block) * card.cache.blockBytes;
}

bool allErased(CardState& card, const std::uint8_t* bytes, std::size_t count) {
    return std::memcmp(bytes, card.cache.erased.data(), count) == 0;
}

// True when the image already holds the block fully erased, so that writing its erase would
// change nothing. A block whose first record is programmed is told at once.
bool imageBlockErased(CardState& card, std::uint32_t block) {
    const std::uint32_t record = card.cache.recordBytes;
    std::uint8_t* buffer = card.cache.scratch.data();
    if (rawRead(card, blockOffset(card, block), buffer, record) != record ||
        !allErased(card, buffer, record))
        return false;
    const std::size_t rest = card.cache.blockBytes - record;
    return rawRead(card, blockOffset(card, block) + record, buffer + record, rest) == rest &&
           allErased(card, buffer + record, rest);
}

void writeBackDirty(CardState& card) {
    if (card.cache.dirty < 0) return;
    const int slot = card.cache.dirty;
    card.cache.dirty = -1;
    const std::uint32_t block = card.cache.slots[std::size_t(slot)].block;
    // After a failed storage call nothing more goes out until the operation ends: a write
    // made after the failure must not reach the card ahead of the one that failed.
    if (card.storageFailed) return;
    // Erasing a block that is already erased, as a quick format does to most of a card,
    // writes nothing.
    if (card.cache.dirtyOnlyErased && imageBlockErased(card, block)) return;
    rawWrite(card, blockOffset(card, block) + card.cache.dirtyLow,
             slotBytes(card, slot) + card.cache.dirtyLow,
             card.cache.dirtyHigh - card.cache.dirtyLow);
}

void dropCache(CardState& card) {
    writeBackDirty(card);
    for (CacheSlot& s : card.cache.slots)
        s.block = kNoBlock;
    card.cache.lastMiss = kNoBlock;
}

// The block whose records hold [offset, offset + count), or kNoBlock when the range is not
// inside one block of the page array or nothing may be cached now.
std::uint32_t cachedBlockOf(CardState& card, std::uint64_t offset, std::size_t count) {
    if (card.cache.sessionDepth == 0 || card.cache.blockBytes == 0 || offset < kImageHeaderBytes)
        return kNoBlock;
    const std::uint64_t block = (offset - kImageHeaderBytes) / card.cache.blockBytes;
    if (block >= card.cache.blocks) return kNoBlock;
    if (offset + count > blockOffset(card, std::uint32_t(block)) + card.cache.blockBytes)
        return kNoBlock;
    return std::uint32_t(block);
}

int findSlot(CardState& card, std::uint32_t block) {
    for (int i = 0; i < kCacheSlots; ++i) {
        if (card.cache.slots[std::size_t(i)].block == block) {
            card.cache.slots[std::size_t(i)].lastUse = ++card.cache.useClock;
            return i;
        }
    }
    return -1;
}

// A slot for block, the least recently used one (never the one holding back writes).
int claimSlot(CardState& card, std::uint32_t block) {
    int victim = -1;
    for (int i = 0; i < kCacheSlots; ++i) {
        if (i == card.cache.dirty) continue;
        if (victim < 0 || card.cache.slots[std::size_t(i)].lastUse <
                              card.cache.slots[std::size_t(victim)].lastUse)
            victim = i;
    }
    card.cache.slots[std::size_t(victim)] = CacheSlot{block, ++card.cache.useClock};
    return victim;
}

int loadSlot(CardState& card, std::uint32_t block) {
    const int slot = claimSlot(card, block);
    rawRead(card, blockOffset(card, block), slotBytes(card, slot), card.cache.blockBytes);
    return slot;
}

// Marks [low, high) of a slot's block as changed; the writes held back for another block go
// out first, so the image sees them in order.
void markDirty(CardState& card, int slot, std::uint32_t low, std::uint32_t high) {
    card.cache.dirtyOnlyErased = false;
    if (card.cache.dirty != slot) {
        writeBackDirty(card);
        card.cache.dirty = slot;
        card.cache.dirtyLow = low;
        card.cache.dirtyHigh = high;
        return;
    }
    card.cache.dirtyLow = std::min(card.cache.dirtyLow, low);
    card.cache.dirtyHigh = std::max(card.cache.dirtyHigh, high);
}

void imageRead(CardState& card, std::uint64_t offset, std::uint8_t* buffer, std::size_t count) {
    const std::uint32_t block = cachedBlockOf(card, offset, count);
    if (block == kNoBlock) {
        writeBackDirty(card);
        rawRead(card, offset, buffer, count);
        return;
    }
    int slot = findSlot(card, block);
    if (slot < 0) {
        // A single look at a block (the map build reads one spare per block) is not worth
        // reading the whole block; the second look in a row is.
        if (block != card.cache.lastMiss) {
            card.cache.lastMiss = block;
            writeBackDirty(card);
            rawRead(card, offset, buffer, count);
            return;
        }
        slot = loadSlot(card, block);
    }
    std::memcpy(buffer, slotBytes(card, slot) + (offset - blockOffset(card, block)), count);
}

void imageWrite(CardState& card, std::uint64_t offset, const std::uint8_t* data,
                std::size_t count) {
    const std::uint32_t block = cachedBlockOf(card, offset, count);
    if (block == kNoBlock) {
        dropCache(card);
        rawWrite(card, offset, data, count);
        return;
    }
    int slot = findSlot(card, block);
    if (slot < 0) slot = loadSlot(card, block);
    const std::uint32_t at = std::uint32_t(offset - blockOffset(card, block));
    std::memcpy(slotBytes(card, slot) + at, data, count);
    markDirty(card, slot, at, at + std::uint32_t(count));
}

// Erases a whole block of the page array in the cache; false when it is not cacheable.
bool cachedErase(CardState& card, std::uint64_t offset) {
    const std::uint32_t block = cachedBlockOf(card, offset, card.cache.blockBytes);
    if (block == kNoBlock || offset != blockOffset(card, block)) return false;
    int slot = findSlot(card, block);
    if (slot < 0) {
        // Nothing of the old contents is needed: the slot becomes all 0xFF.
        if (card.cache.dirty >= 0 && card.cache.slots[std::size_t(card.cache.dirty)].block != block)
            writeBackDirty(card);
        slot = claimSlot(card, block);
    }
    std::memset(slotBytes(card, slot), 0xFF, card.cache.blockBytes);
    markDirty(card, slot, 0, card.cache.blockBytes);
    // Whatever was held back for the block is gone with the erase: the image needs the
    // write only if it does not hold an erased block already.
    card.cache.dirtyOnlyErased = true;
    return true;
}

void setCacheGeometry(CardState& card, int cardType) {
    dropCache(card);
    if (cardType < 0) {
        card.cache.blockBytes = 0;
        card.cache.blocks = 0;
        return;
    }
    const CardGeometry& g = card_geometry(cardType);
    card.cache.recordBytes = card_page_layout(cardType).recordBytes;
    card.cache.blockBytes = g.pagesPerBlock * card.cache.recordBytes;
    card.cache.blocks = g.physBlocks;
    card.cache.bytes.assign(std::size_t(kCacheSlots) * card.cache.blockBytes, 0xFF);
    card.cache.scratch.assign(card.cache.blockBytes, 0xFF);
    card.cache.erased.assign(card.cache.blockBytes, 0xFF);
}

// ---- Chip state ----

const PageLayout& chipLayout(CardState& card) {
    return card_page_layout(card.chip.cardType < 0 ? 0 : card.chip.cardType);
}

std::uint64_t recordOffset(CardState& card, std::uint32_t page, std::uint32_t column) {
    return kImageHeaderBytes + std::uint64_t(page) * chipLayout(card).recordBytes + column;
}

int addressBytesNeeded(CardState& card, std::uint8_t command) {
    bool big = bigAddress(card.chip.cardType);
    switch (command) {
    case 0x00:
    case 0x01:
    case 0x50:
    case 0x80:
        return big ? 4 : 3;
    case 0x60:
        return big ? 3 : 2;
    default:
        return 0;
    }
}

void decodeAddress(CardState& card) {
    const std::array<std::uint8_t, 4>& a = card.chip.address;
    const PageLayout& layout = chipLayout(card);
    if (card.chip.command == 0x60) {
        card.chip.page = a[0] + a[1] * 256u + (bigAddress(card.chip.cardType) ? a[2] * 65536u : 0);
        card.chip.column = 0;
        return;
    }
    card.chip.column = a[0];
    card.chip.page = a[1] + a[2] * 256u + (bigAddress(card.chip.cardType) ? a[3] * 65536u : 0);
    if (card.chip.command == 0x01) card.chip.column += 256;
    // The spare pointer only takes the offset within the spare area.
    if (card.chip.command == 0x50) card.chip.column = layout.dataBytes + (a[0] % layout.spareBytes);
}

// Asks the test seam about a program or erase and sets the status it leads to. Returns the
// fault, or nullopt when the operation must not touch the image at all.
std::optional<ChipFault> startOperation(CardState& card, ChipOp op) {
    ChipFault fault = card.faultHook ? card.faultHook(op, card.chip.page) : ChipFault::None;
    if (fault == ChipFault::Timeout) {
        card.chip.status = 0;
        return std::nullopt;
    }
    if (fault == ChipFault::Fail) {
        card.chip.status = kStatusReady | kStatusFailed;
        return std::nullopt;
    }
    card.chip.status = kStatusReady;
    return fault;
}

void confirmProgram(CardState& card) {
    ++card.counters.pagePrograms;
    std::optional<ChipFault> fault = startOperation(card, ChipOp::Program);
    if (!fault || card.chip.registerLow >= card.chip.registerHigh) return;
    std::uint8_t* first = card.chip.pageRegister.data() + card.chip.registerLow;
    if (*fault == ChipFault::Corrupt) *first ^= 0xFF;
    imageWrite(card, recordOffset(card, card.chip.page, card.chip.registerLow), first,
               card.chip.registerHigh - card.chip.registerLow);
    card.chip.registerLow = kMaxRecordBytes;
    card.chip.registerHigh = 0;
}

void confirmErase(CardState& card) {
    ++card.counters.blockErases;
    std::optional<ChipFault> fault = startOperation(card, ChipOp::Erase);
    if (!fault) return;
    const std::uint64_t offset = recordOffset(card, card.chip.page, 0);
    if (*fault == ChipFault::Corrupt || !cachedErase(card, offset)) {
        const CardGeometry& g = card_geometry(card.chip.cardType < 0 ? 0 : card.chip.cardType);
        std::vector<std::uint8_t> erased(
            std::size_t(g.pagesPerBlock) * chipLayout(card).recordBytes, 0xFF);
        if (*fault == ChipFault::Corrupt) erased[0] = 0x00;
        dropCache(card);
        rawWrite(card, offset, erased.data(), erased.size());
    }
    card.chip.column = 0;
    card.chip.page += 1;
}

// ---- Driver state ----

constexpr int kProbed = 10;

[[nodiscard]] SmfsResult ready(CardState& card) {
    if (card.driver.readiness == kProbed) return SmfsResult::Ok;
    return smc_probe(card);
}

// A storage failure fails the driver operation that met it and every later one of the same
// session, even those the cache could serve: what they would write can no longer reach the
// card in order.
[[nodiscard]] SmfsResult ioResult(CardState& card, SmfsResult r) {
    if (chip_take_io_error(card) || card.storageFailed) return SmfsResult::ImageIo;
    return r;
}

std::uint32_t pageCount(CardState& card) {
    const CardGeometry& g = card_geometry(card.driver.cardType);
    return g.physBlocks * g.pagesPerBlock;
}

std::uint32_t rowOf(CardState& card, std::uint32_t address) {
    return card.driver.pageDataBytes == 256 ? address >> 8 : address >> 9;
}

// Sends the column byte and the row bytes of a read or program address.
void sendPageAddress(CardState& card, std::uint32_t address) {
    std::uint32_t row = rowOf(card, address);
    chip_address(card, std::uint8_t(address & 0xFF));
    chip_address(card, std::uint8_t(row & 0xFF));
    chip_address(card, std::uint8_t((row >> 8) & 0xFF));
    if (bigAddress(card.driver.cardType)) chip_address(card, std::uint8_t((row >> 16) & 0xFF));
}

[[nodiscard]] SmfsResult readCommand(CardState& card, std::uint8_t command, std::uint32_t address,
                                     std::uint8_t* buffer, std::size_t length) {
    if (rowOf(card, address) >= pageCount(card)) return SmfsResult::InvalidArgument;
    chip_command(card, command);
    sendPageAddress(card, address);
    chip_read_bytes(card, buffer, length);
    return ioResult(card, SmfsResult::Ok);
}

[[nodiscard]] SmfsResult checkSector(CardState& card, std::uint32_t sector) {
    const CardGeometry& g = card_geometry(card.driver.cardType);
    return sector < g.physBlocks * g.sectorsPerBlock ? SmfsResult::Ok : SmfsResult::InvalidArgument;
}

} // namespace

// ---- Card types ----

const CardGeometry& card_geometry(int cardType) {
    return kGeometry[std::size_t(cardType)];
}

const PageLayout& card_page_layout(int cardType) {
    return kGeometry[std::size_t(cardType)].pageDataBytes == 256 ? kSmallPage : kLargePage;
}

const char* card_capacity_text(int cardType) {
    return cardType >= 0 && cardType < kCardTypeCount ? kCapacityText[cardType] : "?";
}

bool card_id_bytes(std::uint8_t maker, int cardType, std::uint8_t* deviceCode) {
    int m = makerIndex(maker);
    if (m < 0 || cardType < 0 || cardType >= kCardTypeCount) return false;
    *deviceCode = kDeviceCodes[m][cardType][0];
    return true;
}

int card_type_from_id(std::uint8_t maker, std::uint8_t device) {
    int m = makerIndex(maker);
    if (m < 0) return -1;
    for (int type = 0; type < kCardTypeCount; ++type) {
        if (kDeviceCodes[m][type][0] == device || kDeviceCodes[m][type][1] == device) return type;
    }
    return -1;
}

std::uint64_t card_image_bytes(int cardType) {
    const CardGeometry& g = card_geometry(cardType);
    return kImageHeaderBytes +
           std::uint64_t(g.physBlocks) * g.pagesPerBlock * card_page_layout(cardType).recordBytes;
}

// ---- Chip ----

void chip_reset(CardState& card) {
    setCacheGeometry(card, -1);
    card.chip = ChipState{};
    card.ioError = false;
    card.storageFailed = false;
}

void chip_set_card_type(CardState& card, int cardType) {
    if (cardType != card.chip.cardType) setCacheGeometry(card, cardType);
    card.chip.cardType = cardType;
}

void chip_set_fault_hook(CardState& card, ChipFaultHook hook) {
    card.faultHook = std::move(hook);
}

void chip_flush(CardState& card) {
    writeBackDirty(card);
}

void chip_session_begin(CardState& card) {
    if (card.cache.sessionDepth++ == 0) dropCache(card);
}

void chip_session_end(CardState& card) {
    if (card.cache.sessionDepth == 0 || --card.cache.sessionDepth > 0) return;
    dropCache(card);
    if (card.storageFailed) {
        card.storageFailed = false;
        card.ioError = false;
        card.driver.readiness = 0;
        for (auto* listener : card.removalListeners)
            if (listener) listener(card);
    }
}

ChipCounters chip_counters(CardState& card) {
    return card.counters;
}

void chip_reset_counters(CardState& card) {
    card.counters = ChipCounters{};
}

bool chip_take_io_error(CardState& card) {
    bool error = card.ioError;
    card.ioError = false;
    return error;
}

void chip_command(CardState& card, std::uint8_t command) {
    card.chip.command = command;
    switch (command) {
    case 0x80:
        card.chip.registerLow = kMaxRecordBytes;
        card.chip.registerHigh = 0;
        [[fallthrough]];
    case 0x00:
    case 0x01:
    case 0x50:
        card.chip.addressCycles = 0;
        break;
    case 0x10:
        confirmProgram(card);
        card.chip.addressCycles = 0;
        break;
    case 0x60:
    case 0xFF:
        card.chip.addressCycles = 0;
        break;
    case 0xD0:
        confirmErase(card);
        card.chip.addressCycles = 0;
        break;
    default:
        break;
    }
}

void chip_address(CardState& card, std::uint8_t address) {
    if (card.chip.addressCycles == 0) {
        card.chip.page = 0;
        card.chip.column = 0;
    }
    int needed = addressBytesNeeded(card, card.chip.command);
    if (needed == 0) return;
    card.chip.address[std::size_t(card.chip.addressCycles)] = address;
    if (++card.chip.addressCycles == needed) {
        card.chip.addressCycles = 0;
        decodeAddress(card);
        if (card.chip.command != 0x60 && card.chip.command != 0x80) ++card.counters.pageReads;
    }
}

void chip_write(CardState& card, std::uint8_t value) {
    chip_write_bytes(card, &value, 1);
}

void chip_write_bytes(CardState& card, const std::uint8_t* data, std::size_t count) {
    std::uint32_t record = chipLayout(card).recordBytes;
    // Bytes past the end of the page register are lost, as on the real part.
    std::size_t n =
        card.chip.column < record ? std::min<std::size_t>(count, record - card.chip.column) : 0;
    if (n == 0) return;
    std::memcpy(card.chip.pageRegister.data() + card.chip.column, data, n);
    card.chip.registerLow = std::min(card.chip.registerLow, card.chip.column);
    card.chip.registerHigh = std::max<std::uint32_t>(card.chip.registerHigh, card.chip.column + n);
    card.chip.column += std::uint32_t(n);
}

std::uint8_t chip_read(CardState& card) {
    std::uint8_t value = 0xFF;
    chip_read_bytes(card, &value, 1);
    return value;
}

void chip_read_bytes(CardState& card, std::uint8_t* buffer, std::size_t count) {
    switch (card.chip.command) {
    case 0x70:
        std::fill(buffer, buffer + count, card.chip.status);
        return;
    case 0x80:
        std::fill(buffer, buffer + count, 0);
        return;
    case 0x00:
    case 0x01:
    case 0x50:
        break;
    default:
        std::fill(buffer, buffer + count, 0xFF);
        return;
    }
    std::uint32_t record = chipLayout(card).recordBytes;
    while (count > 0) {
        if (card.chip.column >= record) card.chip.column = 0;
        std::size_t n = std::min<std::size_t>(count, record - card.chip.column);
        imageRead(card, recordOffset(card, card.chip.page, card.chip.column), buffer, n);
        card.chip.column += std::uint32_t(n);
        buffer += n;
        count -= n;
    }
    if (card.chip.column >= record) card.chip.column = 0;
}

// ---- Page driver ----

void smc_reset(CardState& card) {
    card.driver = DriverState{};
    card.ioError = false;
}

int smc_card_type(CardState& card) {
    return card.driver.readiness == kProbed ? card.driver.cardType : -1;
}

SmfsResult smc_read_id(CardState& card, std::uint8_t* buffer, std::size_t length) {
    if (length < 2) return SmfsResult::InvalidArgument;
    imageRead(card, 0, buffer, 2);
    return ioResult(card, SmfsResult::Ok);
}

SmfsResult smc_probe(CardState& card) {
    std::uint8_t id[2];
    SmfsResult r = smc_read_id(card, id, sizeof id);
    if (r != SmfsResult::Ok) return r;
    int type = card_type_from_id(id[0], id[1]);
    if (type < 0) return SmfsResult::UnknownCard;
    card.driver.cardType = type;
    card.driver.pageDataBytes = card_geometry(type).pageDataBytes;
    card.driver.readiness = kProbed;
    chip_set_card_type(card, type);
    return SmfsResult::Ok;
}

SmfsResult smc_program_page(CardState& card, std::uint32_t address, const std::uint8_t* data,
                            const std::uint8_t* spare) {
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    if (rowOf(card, address) >= pageCount(card)) return SmfsResult::InvalidArgument;
    const PageLayout& layout = card_page_layout(card.driver.cardType);
    chip_command(card, 0x00);
    chip_command(card, 0x80);
    sendPageAddress(card, address);
    chip_write_bytes(card, data, layout.dataBytes);
    chip_write_bytes(card, spare, layout.spareBytes);
    chip_command(card, 0x10);
    r = smc_wait_status(card);
    return ioResult(card, r);
}

SmfsResult smc_read_data(CardState& card, std::uint32_t address, std::uint8_t* buffer,
                         std::size_t length) {
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    if (length > card_page_layout(card.driver.cardType).recordBytes - address % 256)
        return SmfsResult::InvalidArgument;
    return readCommand(card, 0x00, address, buffer, length);
}

SmfsResult smc_read_data_upper(CardState& card, std::uint32_t address, std::uint8_t* buffer,
                               std::size_t length) {
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    if (card.driver.pageDataBytes != 512 || length > 264 - address % 256)
        return SmfsResult::InvalidArgument;
    return readCommand(card, 0x01, address, buffer, length);
}

SmfsResult smc_read_spare(CardState& card, std::uint32_t address, std::uint8_t* buffer,
                          std::size_t length) {
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t spare = card_page_layout(card.driver.cardType).spareBytes;
    if (length > spare - address % spare) return SmfsResult::InvalidArgument;
    return readCommand(card, 0x50, address, buffer, length);
}

SmfsResult smc_erase_block(CardState& card, std::uint32_t address) {
    SmfsResult r = ready(card);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t row = rowOf(card, address);
    if (row >= pageCount(card)) return SmfsResult::InvalidArgument;
    chip_command(card, 0x60);
    chip_address(card, std::uint8_t(row & 0xFF));
    chip_address(card, std::uint8_t((row >> 8) & 0xFF));
    if (bigAddress(card.driver.cardType)) chip_address(card, std::uint8_t((row >> 16) & 0xFF));
    chip_command(card, 0xD0);
    r = smc_wait_status(card);
    return ioResult(card, r);
}

SmfsResult smc_flush(CardState& card) {
    chip_flush(card);
    return ioResult(card, SmfsResult::Ok);
}

SmfsResult smc_wait_status(CardState& card) {
    chip_command(card, 0x70);
    int polls = 0;
    while (!(chip_read(card) & kStatusReady)) {
        if (++polls >= kStatusPolls) return SmfsResult::StatusTimeout;
    }
    chip_command(card, 0x70);
    return (chip_read(card) & kStatusFailed) ? SmfsResult::ChipFailed : SmfsResult::Ok;
}

SmfsResult smc_write_sector(CardState& card, std::uint32_t sector, const std::uint8_t* data,
                            const std::uint8_t* spare) {
    SmfsResult r = ready(card);
    if (r == SmfsResult::Ok) r = checkSector(card, sector);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t address = sector * kSectorBytes;
    r = smc_program_page(card, address, data, spare);
    if (r == SmfsResult::Ok && card.driver.pageDataBytes == 256)
        r = smc_program_page(card, address + 256, data + 256, spare + 8);
    return r;
}

SmfsResult smc_read_sector_data(CardState& card, std::uint32_t sector, std::uint8_t* data) {
    SmfsResult r = ready(card);
    if (r == SmfsResult::Ok) r = checkSector(card, sector);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t address = sector * kSectorBytes;
    r = smc_read_data(card, address, data, card.driver.pageDataBytes);
    if (r == SmfsResult::Ok && card.driver.pageDataBytes == 256)
        r = smc_read_data(card, address + 256, data + 256, 256);
    return r;
}

SmfsResult smc_read_sector_spare(CardState& card, std::uint32_t sector, std::uint8_t* spare) {
    SmfsResult r = ready(card);
    if (r == SmfsResult::Ok) r = checkSector(card, sector);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t address = sector * kSectorBytes;
    if (card.driver.pageDataBytes == 512) return smc_read_spare(card, address, spare, 16);
    r = smc_read_spare(card, address, spare, 8);
    if (r == SmfsResult::Ok) r = smc_read_spare(card, address + 256, spare + 8, 8);
    return r;
}

SmfsResult smc_read_sector(CardState& card, std::uint32_t sector, std::uint8_t* data,
                           std::uint8_t* spare) {
    SmfsResult r = ready(card);
    if (r == SmfsResult::Ok) r = checkSector(card, sector);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t address = sector * kSectorBytes;
    std::uint8_t record[kMaxRecordBytes];
    if (card.driver.pageDataBytes == 512) {
        r = smc_read_data(card, address, record, 528);
        std::memcpy(data, record, 512);
        std::memcpy(spare, record + 512, 16);
        return r;
    }
    for (std::uint32_t half = 0; half < 2 && r == SmfsResult::Ok; ++half) {
        r = smc_read_data(card, address + half * 256, record, 264);
        std::memcpy(data + half * 256, record, 256);
        std::memcpy(spare + half * 8, record + 256, 8);
    }
    return r;
}

// ---- Card events ----

SmfsResult smc_register_callback(CardState& card, int event, SmfsCardEventCallback callback) {
    if (event != 0 && event != 1) return SmfsResult::InvalidArgument;
    card.callbacks[std::size_t(event)] = std::move(callback);
    return SmfsResult::Ok;
}

void smc_add_removal_listener(CardState& card, void (*listener)(CardState& card)) {
    for (auto& slot : card.removalListeners) {
        if (slot == listener) return;
        if (!slot) {
            slot = listener;
            return;
        }
    }
}

void smc_card_inserted(CardState& card) {
    card.driver.present = true;
    if (card.callbacks[0]) card.callbacks[0]();
}

void smc_card_removed(CardState& card) {
    card.driver.present = false;
    card.driver.readiness = 0;
    for (auto* listener : card.removalListeners) {
        if (listener) listener(card);
    }
    if (card.callbacks[1]) card.callbacks[1]();
}

bool smc_card_present(CardState& card) {
    return card.driver.present;
}
