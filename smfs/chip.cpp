// Card geometry, the emulated NAND chip and the page driver.
//
// The chip decodes command and address bytes like the real part. Data bytes written after a
// serial-input command go into a page register and reach the image when the program is
// confirmed; a block erase fills the block's records with 0xFF. Within a session the block
// cache below gathers them (see Image access); the block layer flushes at the end of each of
// its write operations, so a failing stream is reported by the operation that wrote. Reads
// past the end of a short image come back as erased bytes (0xFF). The chip counts its page
// reads, programs and erases for the benchmarks and tests.
#include "chip.h"

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

constexpr const char* kCapacityText[kCardTypeCount] = {"1 MB",  "2 MB",  "4 MB",  "8 MB",
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

constexpr std::uint8_t kStatusReady = 0x40;
constexpr std::uint8_t kStatusFailed = 0x01;
constexpr std::uint32_t kMaxRecordBytes = 528;
constexpr int kStatusPolls = 1440000;

// ---- Operation counters ----

ChipCounters gCounters;

// ---- Image access ----
//
// Raw access goes through the installed stream with standard C I/O (the largest image, about
// 138 MB, fits the offsets of fseek everywhere). Inside a session (chip_session_begin) whole
// blocks of page records are kept in a few cache slots: reads are served from memory, and the
// programs and the erase of one block gather in its slot and go out as one write of the bytes
// they changed when the chip moves on to another block, at a flush, or when the session ends.
// Only one block is ever held back, so the image sees the writes in the order the chip made
// them, block by block. Outside a session nothing is cached: a test or tool that changes the
// image between two library calls is always seen.

std::FILE* gStream = nullptr;
bool gIoError = false;
enum class StreamOp { None, Read, Write };
StreamOp gLastOp = StreamOp::None;

// Positions the stream for a read or write at offset. A run that continues where the last
// one of the same kind ended needs no seek, so sequential page records stay in the stream's
// buffer; switching between reading and writing always seeks, as stdio requires.
bool seekTo(std::uint64_t offset, StreamOp op) {
    if (!gStream) {
        gIoError = true;
        return false;
    }
    if (op == gLastOp && std::ftell(gStream) == long(offset)) return true;
    gLastOp = op;
    if (std::fseek(gStream, long(offset), SEEK_SET) != 0) {
        gIoError = true;
        gLastOp = StreamOp::None;
        return false;
    }
    return true;
}

// Reads count bytes at offset; what lies past the end of the image reads as erased (0xFF).
// Returns how many bytes the image really held.
std::size_t rawRead(std::uint64_t offset, std::uint8_t* buffer, std::size_t count) {
    std::size_t got = 0;
    if (seekTo(offset, StreamOp::Read)) {
        got = std::fread(buffer, 1, count, gStream);
        if (got < count) {
            if (std::ferror(gStream)) gIoError = true;
            std::clearerr(gStream);
            gLastOp = StreamOp::None;
        }
    }
    std::fill(buffer + got, buffer + count, 0xFF);
    return got;
}

void rawWrite(std::uint64_t offset, const std::uint8_t* data, std::size_t count) {
    if (!seekTo(offset, StreamOp::Write)) return;
    if (std::fwrite(data, 1, count, gStream) != count) {
        gIoError = true;
        std::clearerr(gStream);
        gLastOp = StreamOp::None;
    }
}

constexpr std::uint32_t kNoBlock = 0xFFFFFFFF;
constexpr int kCacheSlots = 8;

struct CacheSlot {
    std::uint32_t block = kNoBlock;
    std::uint64_t lastUse = 0;
};

struct BlockCache {
    int sessionDepth = 0;
    std::uint32_t blockBytes = 0; // bytes of one block's page records; 0 when not set up
    std::uint32_t recordBytes = 0;
    std::uint32_t blocks = 0;
    std::vector<std::uint8_t> bytes; // kCacheSlots blocks
    std::array<CacheSlot, kCacheSlots> slots{};
    std::uint64_t useClock = 0;
    int dirty = -1; // the slot holding writes not yet in the image
    std::uint32_t dirtyLow = 0;
    std::uint32_t dirtyHigh = 0;
    bool dirtyOnlyErased = false;      // the held-back writes are one erase and nothing else
    std::vector<std::uint8_t> scratch; // one block, for telling whether an erase changes it
    std::vector<std::uint8_t> erased;  // one block of 0xFF
    std::uint32_t lastMiss = kNoBlock;
};

BlockCache gCache;

std::uint8_t* slotBytes(int slot) {
    return gCache.bytes.data() + std::size_t(slot) * gCache.blockBytes;
}

std::uint64_t blockOffset(std::uint32_t block) {
    return kImageHeaderBytes + std::uint64_t(block) * gCache.blockBytes;
}

bool allErased(const std::uint8_t* bytes, std::size_t count) {
    return std::memcmp(bytes, gCache.erased.data(), count) == 0;
}

// True when the image already holds the block fully erased, so that writing its erase would
// change nothing. A block whose first record is programmed is told at once.
bool imageBlockErased(std::uint32_t block) {
    const std::uint32_t record = gCache.recordBytes;
    std::uint8_t* buffer = gCache.scratch.data();
    if (rawRead(blockOffset(block), buffer, record) != record || !allErased(buffer, record))
        return false;
    const std::size_t rest = gCache.blockBytes - record;
    return rawRead(blockOffset(block) + record, buffer + record, rest) == rest &&
           allErased(buffer + record, rest);
}

void writeBackDirty() {
    if (gCache.dirty < 0) return;
    const int slot = gCache.dirty;
    gCache.dirty = -1;
    const std::uint32_t block = gCache.slots[std::size_t(slot)].block;
    // Erasing a block that is already erased, as a quick format does to most of a card,
    // writes nothing.
    if (gCache.dirtyOnlyErased && imageBlockErased(block)) return;
    rawWrite(blockOffset(block) + gCache.dirtyLow, slotBytes(slot) + gCache.dirtyLow,
             gCache.dirtyHigh - gCache.dirtyLow);
}

void dropCache() {
    writeBackDirty();
    for (CacheSlot& s : gCache.slots)
        s.block = kNoBlock;
    gCache.lastMiss = kNoBlock;
}

// The block whose records hold [offset, offset + count), or kNoBlock when the range is not
// inside one block of the page array or nothing may be cached now.
std::uint32_t cachedBlockOf(std::uint64_t offset, std::size_t count) {
    if (gCache.sessionDepth == 0 || gCache.blockBytes == 0 || offset < kImageHeaderBytes)
        return kNoBlock;
    const std::uint64_t block = (offset - kImageHeaderBytes) / gCache.blockBytes;
    if (block >= gCache.blocks) return kNoBlock;
    if (offset + count > blockOffset(std::uint32_t(block)) + gCache.blockBytes) return kNoBlock;
    return std::uint32_t(block);
}

int findSlot(std::uint32_t block) {
    for (int i = 0; i < kCacheSlots; ++i) {
        if (gCache.slots[std::size_t(i)].block == block) {
            gCache.slots[std::size_t(i)].lastUse = ++gCache.useClock;
            return i;
        }
    }
    return -1;
}

// A slot for block, the least recently used one (never the one holding back writes).
int claimSlot(std::uint32_t block) {
    int victim = -1;
    for (int i = 0; i < kCacheSlots; ++i) {
        if (i == gCache.dirty) continue;
        if (victim < 0 ||
            gCache.slots[std::size_t(i)].lastUse < gCache.slots[std::size_t(victim)].lastUse)
            victim = i;
    }
    gCache.slots[std::size_t(victim)] = CacheSlot{block, ++gCache.useClock};
    return victim;
}

int loadSlot(std::uint32_t block) {
    const int slot = claimSlot(block);
    rawRead(blockOffset(block), slotBytes(slot), gCache.blockBytes);
    return slot;
}

// Marks [low, high) of a slot's block as changed; the writes held back for another block go
// out first, so the image sees them in order.
void markDirty(int slot, std::uint32_t low, std::uint32_t high) {
    gCache.dirtyOnlyErased = false;
    if (gCache.dirty != slot) {
        writeBackDirty();
        gCache.dirty = slot;
        gCache.dirtyLow = low;
        gCache.dirtyHigh = high;
        return;
    }
    gCache.dirtyLow = std::min(gCache.dirtyLow, low);
    gCache.dirtyHigh = std::max(gCache.dirtyHigh, high);
}

void imageRead(std::uint64_t offset, std::uint8_t* buffer, std::size_t count) {
    const std::uint32_t block = cachedBlockOf(offset, count);
    if (block == kNoBlock) {
        writeBackDirty();
        rawRead(offset, buffer, count);
        return;
    }
    int slot = findSlot(block);
    if (slot < 0) {
        // A single look at a block (the map build reads one spare per block) is not worth
        // reading the whole block; the second look in a row is.
        if (block != gCache.lastMiss) {
            gCache.lastMiss = block;
            writeBackDirty();
            rawRead(offset, buffer, count);
            return;
        }
        slot = loadSlot(block);
    }
    std::memcpy(buffer, slotBytes(slot) + (offset - blockOffset(block)), count);
}

void imageWrite(std::uint64_t offset, const std::uint8_t* data, std::size_t count) {
    const std::uint32_t block = cachedBlockOf(offset, count);
    if (block == kNoBlock) {
        dropCache();
        rawWrite(offset, data, count);
        return;
    }
    int slot = findSlot(block);
    if (slot < 0) slot = loadSlot(block);
    const std::uint32_t at = std::uint32_t(offset - blockOffset(block));
    std::memcpy(slotBytes(slot) + at, data, count);
    markDirty(slot, at, at + std::uint32_t(count));
}

// Erases a whole block of the page array in the cache; false when it is not cacheable.
bool cachedErase(std::uint64_t offset) {
    const std::uint32_t block = cachedBlockOf(offset, gCache.blockBytes);
    if (block == kNoBlock || offset != blockOffset(block)) return false;
    int slot = findSlot(block);
    if (slot < 0) {
        // Nothing of the old contents is needed: the slot becomes all 0xFF.
        if (gCache.dirty >= 0 && gCache.slots[std::size_t(gCache.dirty)].block != block)
            writeBackDirty();
        slot = claimSlot(block);
    }
    std::memset(slotBytes(slot), 0xFF, gCache.blockBytes);
    markDirty(slot, 0, gCache.blockBytes);
    // Whatever was held back for the block is gone with the erase: the image needs the
    // write only if it does not hold an erased block already.
    gCache.dirtyOnlyErased = true;
    return true;
}

void setCacheGeometry(int cardType) {
    dropCache();
    if (cardType < 0) {
        gCache.blockBytes = 0;
        gCache.blocks = 0;
        return;
    }
    const CardGeometry& g = card_geometry(cardType);
    gCache.recordBytes = card_page_layout(cardType).recordBytes;
    gCache.blockBytes = g.pagesPerBlock * gCache.recordBytes;
    gCache.blocks = g.physBlocks;
    gCache.bytes.assign(std::size_t(kCacheSlots) * gCache.blockBytes, 0xFF);
    gCache.scratch.assign(gCache.blockBytes, 0xFF);
    gCache.erased.assign(gCache.blockBytes, 0xFF);
}

// ---- Chip state ----

struct Chip {
    std::uint8_t command = 0xFF;
    int addressCycles = 0;
    std::array<std::uint8_t, 4> address{};
    std::uint32_t page = 0;
    std::uint32_t column = 0;
    int cardType = -1;
    std::uint8_t status = kStatusReady;
    // Page register of a program: the bytes written since the serial-input command.
    std::array<std::uint8_t, kMaxRecordBytes> pageRegister{};
    std::uint32_t registerLow = kMaxRecordBytes;
    std::uint32_t registerHigh = 0;
    ChipFaultHook faultHook;
};

Chip gChip;

const PageLayout& chipLayout() {
    return card_page_layout(gChip.cardType < 0 ? 0 : gChip.cardType);
}

std::uint64_t recordOffset(std::uint32_t page, std::uint32_t column) {
    return kImageHeaderBytes + std::uint64_t(page) * chipLayout().recordBytes + column;
}

int addressBytesNeeded(std::uint8_t command) {
    bool big = bigAddress(gChip.cardType);
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

void decodeAddress() {
    const std::array<std::uint8_t, 4>& a = gChip.address;
    const PageLayout& layout = chipLayout();
    if (gChip.command == 0x60) {
        gChip.page = a[0] + a[1] * 256u + (bigAddress(gChip.cardType) ? a[2] * 65536u : 0);
        gChip.column = 0;
        return;
    }
    gChip.column = a[0];
    gChip.page = a[1] + a[2] * 256u + (bigAddress(gChip.cardType) ? a[3] * 65536u : 0);
    if (gChip.command == 0x01) gChip.column += 256;
    // The spare pointer only takes the offset within the spare area.
    if (gChip.command == 0x50) gChip.column = layout.dataBytes + (a[0] % layout.spareBytes);
}

// Asks the test seam about a program or erase and sets the status it leads to. Returns the
// fault, or nullopt when the operation must not touch the image at all.
std::optional<ChipFault> startOperation(ChipOp op) {
    ChipFault fault = gChip.faultHook ? gChip.faultHook(op, gChip.page) : ChipFault::None;
    if (fault == ChipFault::Timeout) {
        gChip.status = 0;
        return std::nullopt;
    }
    if (fault == ChipFault::Fail) {
        gChip.status = kStatusReady | kStatusFailed;
        return std::nullopt;
    }
    gChip.status = kStatusReady;
    return fault;
}

void confirmProgram() {
    ++gCounters.pagePrograms;
    std::optional<ChipFault> fault = startOperation(ChipOp::Program);
    if (!fault || gChip.registerLow >= gChip.registerHigh) return;
    std::uint8_t* first = gChip.pageRegister.data() + gChip.registerLow;
    if (*fault == ChipFault::Corrupt) *first ^= 0xFF;
    imageWrite(recordOffset(gChip.page, gChip.registerLow), first,
               gChip.registerHigh - gChip.registerLow);
    gChip.registerLow = kMaxRecordBytes;
    gChip.registerHigh = 0;
}

void confirmErase() {
    ++gCounters.blockErases;
    std::optional<ChipFault> fault = startOperation(ChipOp::Erase);
    if (!fault) return;
    const std::uint64_t offset = recordOffset(gChip.page, 0);
    if (*fault == ChipFault::Corrupt || !cachedErase(offset)) {
        const CardGeometry& g = card_geometry(gChip.cardType < 0 ? 0 : gChip.cardType);
        std::vector<std::uint8_t> erased(std::size_t(g.pagesPerBlock) * chipLayout().recordBytes,
                                         0xFF);
        if (*fault == ChipFault::Corrupt) erased[0] = 0x00;
        dropCache();
        rawWrite(offset, erased.data(), erased.size());
    }
    gChip.column = 0;
    gChip.page += 1;
}

// ---- Driver state ----

constexpr int kProbed = 10;

struct Driver {
    int cardType = -1;
    std::uint32_t pageDataBytes = 0;
    int readiness = 0;
    bool present = true;
};

Driver gDriver;
CardEventCallback gCallbacks[2] = {nullptr, nullptr};
constexpr int kMaxListeners = 8;
void (*gRemovalListeners[kMaxListeners])() = {};

[[nodiscard]] SmfsResult ready(unsigned drive) {
    if (drive != 0) return SmfsResult::InvalidArgument;
    if (gDriver.readiness == kProbed) return SmfsResult::Ok;
    return smc_probe(drive);
}

[[nodiscard]] SmfsResult ioResult(SmfsResult r) {
    if (chip_take_io_error()) return SmfsResult::ImageIo;
    return r;
}

std::uint32_t pageCount() {
    const CardGeometry& g = card_geometry(gDriver.cardType);
    return g.physBlocks * g.pagesPerBlock;
}

std::uint32_t rowOf(std::uint32_t address) {
    return gDriver.pageDataBytes == 256 ? address >> 8 : address >> 9;
}

// Sends the column byte and the row bytes of a read or program address.
void sendPageAddress(std::uint32_t address) {
    std::uint32_t row = rowOf(address);
    chip_address(std::uint8_t(address & 0xFF));
    chip_address(std::uint8_t(row & 0xFF));
    chip_address(std::uint8_t((row >> 8) & 0xFF));
    if (bigAddress(gDriver.cardType)) chip_address(std::uint8_t((row >> 16) & 0xFF));
}

[[nodiscard]] SmfsResult readCommand(unsigned drive, std::uint8_t command, std::uint32_t address,
                                     std::uint8_t* buffer, std::size_t length) {
    (void)drive;
    if (rowOf(address) >= pageCount()) return SmfsResult::InvalidArgument;
    chip_command(command);
    sendPageAddress(address);
    chip_read_bytes(buffer, length);
    return ioResult(SmfsResult::Ok);
}

[[nodiscard]] SmfsResult checkSector(std::uint32_t sector) {
    const CardGeometry& g = card_geometry(gDriver.cardType);
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

// ---- Image slot ----

void smc_set_image(std::FILE* stream) {
    dropCache();
    gStream = stream;
    gLastOp = StreamOp::None;
}
std::FILE* smc_image() {
    return gStream;
}

// ---- Chip ----

void chip_reset() {
    setCacheGeometry(-1);
    ChipFaultHook hook = std::move(gChip.faultHook);
    gChip = Chip{};
    gChip.faultHook = std::move(hook);
    gIoError = false;
}

void chip_set_card_type(int cardType) {
    if (cardType != gChip.cardType) setCacheGeometry(cardType);
    gChip.cardType = cardType;
}

void chip_set_fault_hook(ChipFaultHook hook) {
    gChip.faultHook = std::move(hook);
}

void chip_flush() {
    writeBackDirty();
    if (gStream && std::fflush(gStream) != 0) {
        gIoError = true;
        std::clearerr(gStream);
    }
}

void chip_session_begin() {
    if (gCache.sessionDepth++ == 0) dropCache();
}

void chip_session_end() {
    if (gCache.sessionDepth > 0 && --gCache.sessionDepth == 0) dropCache();
}

ChipCounters chip_counters() {
    return gCounters;
}

void chip_reset_counters() {
    gCounters = ChipCounters{};
}

bool chip_take_io_error() {
    bool error = gIoError;
    gIoError = false;
    return error;
}

void chip_command(std::uint8_t command) {
    gChip.command = command;
    switch (command) {
    case 0x80:
        gChip.registerLow = kMaxRecordBytes;
        gChip.registerHigh = 0;
        [[fallthrough]];
    case 0x00:
    case 0x01:
    case 0x50:
        gChip.addressCycles = 0;
        break;
    case 0x10:
        confirmProgram();
        gChip.addressCycles = 0;
        break;
    case 0x60:
    case 0xFF:
        gChip.addressCycles = 0;
        break;
    case 0xD0:
        confirmErase();
        gChip.addressCycles = 0;
        break;
    default:
        break;
    }
}

void chip_address(std::uint8_t address) {
    if (gChip.addressCycles == 0) {
        gChip.page = 0;
        gChip.column = 0;
    }
    int needed = addressBytesNeeded(gChip.command);
    if (needed == 0) return;
    gChip.address[std::size_t(gChip.addressCycles)] = address;
    if (++gChip.addressCycles == needed) {
        gChip.addressCycles = 0;
        decodeAddress();
        if (gChip.command != 0x60 && gChip.command != 0x80) ++gCounters.pageReads;
    }
}

void chip_write(std::uint8_t value) {
    chip_write_bytes(&value, 1);
}

void chip_write_bytes(const std::uint8_t* data, std::size_t count) {
    std::uint32_t record = chipLayout().recordBytes;
    // Bytes past the end of the page register are lost, as on the real part.
    std::size_t n = gChip.column < record ? std::min<std::size_t>(count, record - gChip.column) : 0;
    if (n == 0) return;
    std::memcpy(gChip.pageRegister.data() + gChip.column, data, n);
    gChip.registerLow = std::min(gChip.registerLow, gChip.column);
    gChip.registerHigh = std::max<std::uint32_t>(gChip.registerHigh, gChip.column + n);
    gChip.column += std::uint32_t(n);
}

std::uint8_t chip_read() {
    std::uint8_t value = 0xFF;
    chip_read_bytes(&value, 1);
    return value;
}

void chip_read_bytes(std::uint8_t* buffer, std::size_t count) {
    switch (gChip.command) {
    case 0x70:
        std::fill(buffer, buffer + count, gChip.status);
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
    std::uint32_t record = chipLayout().recordBytes;
    while (count > 0) {
        if (gChip.column >= record) gChip.column = 0;
        std::size_t n = std::min<std::size_t>(count, record - gChip.column);
        imageRead(recordOffset(gChip.page, gChip.column), buffer, n);
        gChip.column += std::uint32_t(n);
        buffer += n;
        count -= n;
    }
    if (gChip.column >= record) gChip.column = 0;
}

// ---- Page driver ----

void smc_reset() {
    gDriver = Driver{};
    gIoError = false;
}

int smc_card_type(unsigned drive) {
    return drive == 0 && gDriver.readiness == kProbed ? gDriver.cardType : -1;
}

SmfsResult smc_read_id(unsigned drive, std::uint8_t* buffer, std::size_t length) {
    if (drive != 0 || length < 2) return SmfsResult::InvalidArgument;
    imageRead(0, buffer, 2);
    return ioResult(SmfsResult::Ok);
}

SmfsResult smc_probe(unsigned drive) {
    std::uint8_t id[2];
    SmfsResult r = smc_read_id(drive, id, sizeof id);
    if (r != SmfsResult::Ok) return r;
    int type = card_type_from_id(id[0], id[1]);
    if (type < 0) return SmfsResult::UnknownCard;
    gDriver.cardType = type;
    gDriver.pageDataBytes = card_geometry(type).pageDataBytes;
    gDriver.readiness = kProbed;
    chip_set_card_type(type);
    return SmfsResult::Ok;
}

SmfsResult smc_program_page(unsigned drive, std::uint32_t address, const std::uint8_t* data,
                            const std::uint8_t* spare) {
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    if (rowOf(address) >= pageCount()) return SmfsResult::InvalidArgument;
    const PageLayout& layout = card_page_layout(gDriver.cardType);
    chip_command(0x00);
    chip_command(0x80);
    sendPageAddress(address);
    chip_write_bytes(data, layout.dataBytes);
    chip_write_bytes(spare, layout.spareBytes);
    chip_command(0x10);
    r = smc_wait_status(drive);
    return ioResult(r);
}

SmfsResult smc_read_data(unsigned drive, std::uint32_t address, std::uint8_t* buffer,
                         std::size_t length) {
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    if (length > card_page_layout(gDriver.cardType).recordBytes - address % 256)
        return SmfsResult::InvalidArgument;
    return readCommand(drive, 0x00, address, buffer, length);
}

SmfsResult smc_read_data_upper(unsigned drive, std::uint32_t address, std::uint8_t* buffer,
                               std::size_t length) {
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    if (gDriver.pageDataBytes != 512 || length > 264 - address % 256)
        return SmfsResult::InvalidArgument;
    return readCommand(drive, 0x01, address, buffer, length);
}

SmfsResult smc_read_spare(unsigned drive, std::uint32_t address, std::uint8_t* buffer,
                          std::size_t length) {
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t spare = card_page_layout(gDriver.cardType).spareBytes;
    if (length > spare - address % spare) return SmfsResult::InvalidArgument;
    return readCommand(drive, 0x50, address, buffer, length);
}

SmfsResult smc_erase_block(unsigned drive, std::uint32_t address) {
    SmfsResult r = ready(drive);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t row = rowOf(address);
    if (row >= pageCount()) return SmfsResult::InvalidArgument;
    chip_command(0x60);
    chip_address(std::uint8_t(row & 0xFF));
    chip_address(std::uint8_t((row >> 8) & 0xFF));
    if (bigAddress(gDriver.cardType)) chip_address(std::uint8_t((row >> 16) & 0xFF));
    chip_command(0xD0);
    r = smc_wait_status(drive);
    return ioResult(r);
}

SmfsResult smc_flush(unsigned drive) {
    if (drive != 0) return SmfsResult::InvalidArgument;
    chip_flush();
    return ioResult(SmfsResult::Ok);
}

SmfsResult smc_wait_status(unsigned drive) {
    if (drive != 0) return SmfsResult::InvalidArgument;
    chip_command(0x70);
    int polls = 0;
    while (!(chip_read() & kStatusReady)) {
        if (++polls >= kStatusPolls) return SmfsResult::StatusTimeout;
    }
    chip_command(0x70);
    return (chip_read() & kStatusFailed) ? SmfsResult::ChipFailed : SmfsResult::Ok;
}

SmfsResult smc_write_sector(unsigned drive, std::uint32_t sector, const std::uint8_t* data,
                            const std::uint8_t* spare) {
    SmfsResult r = ready(drive);
    if (r == SmfsResult::Ok) r = checkSector(sector);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t address = sector * kSectorBytes;
    r = smc_program_page(drive, address, data, spare);
    if (r == SmfsResult::Ok && gDriver.pageDataBytes == 256)
        r = smc_program_page(drive, address + 256, data + 256, spare + 8);
    return r;
}

SmfsResult smc_read_sector_data(unsigned drive, std::uint32_t sector, std::uint8_t* data) {
    SmfsResult r = ready(drive);
    if (r == SmfsResult::Ok) r = checkSector(sector);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t address = sector * kSectorBytes;
    r = smc_read_data(drive, address, data, gDriver.pageDataBytes);
    if (r == SmfsResult::Ok && gDriver.pageDataBytes == 256)
        r = smc_read_data(drive, address + 256, data + 256, 256);
    return r;
}

SmfsResult smc_read_sector_spare(unsigned drive, std::uint32_t sector, std::uint8_t* spare) {
    SmfsResult r = ready(drive);
    if (r == SmfsResult::Ok) r = checkSector(sector);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t address = sector * kSectorBytes;
    if (gDriver.pageDataBytes == 512) return smc_read_spare(drive, address, spare, 16);
    r = smc_read_spare(drive, address, spare, 8);
    if (r == SmfsResult::Ok) r = smc_read_spare(drive, address + 256, spare + 8, 8);
    return r;
}

SmfsResult smc_read_sector(unsigned drive, std::uint32_t sector, std::uint8_t* data,
                           std::uint8_t* spare) {
    SmfsResult r = ready(drive);
    if (r == SmfsResult::Ok) r = checkSector(sector);
    if (r != SmfsResult::Ok) return r;
    std::uint32_t address = sector * kSectorBytes;
    std::uint8_t record[kMaxRecordBytes];
    if (gDriver.pageDataBytes == 512) {
        r = smc_read_data(drive, address, record, 528);
        std::memcpy(data, record, 512);
        std::memcpy(spare, record + 512, 16);
        return r;
    }
    for (std::uint32_t half = 0; half < 2 && r == SmfsResult::Ok; ++half) {
        r = smc_read_data(drive, address + half * 256, record, 264);
        std::memcpy(data + half * 256, record, 256);
        std::memcpy(spare + half * 8, record + 256, 8);
    }
    return r;
}

// ---- Card events ----

SmfsResult smfs_register_callback(int event, CardEventCallback callback) {
    if (event != 0 && event != 1) return SmfsResult::InvalidArgument;
    gCallbacks[event] = callback;
    return SmfsResult::Ok;
}

void smc_add_removal_listener(void (*listener)()) {
    for (auto& slot : gRemovalListeners) {
        if (slot == listener) return;
        if (!slot) {
            slot = listener;
            return;
        }
    }
}

void smc_card_inserted(unsigned drive) {
    if (drive != 0) return;
    gDriver.present = true;
    if (gCallbacks[0]) gCallbacks[0](drive);
}

void smc_card_removed(unsigned drive) {
    if (drive != 0) return;
    gDriver.present = false;
    gDriver.readiness = 0;
    for (auto* listener : gRemovalListeners) {
        if (listener) listener();
    }
    if (gCallbacks[1]) gCallbacks[1](drive);
}

bool smc_card_present(unsigned drive) {
    return drive == 0 && gDriver.present;
}
