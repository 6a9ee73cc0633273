// SPDX-License-Identifier: MIT
// The card and its chip: the geometry of the eight card types, identification from the two
// header bytes of a virtual SMC image, the emulated NAND chip over the card's storage, and the
// page driver that the block layer calls.
//
// The chip is a command machine like the real part: command bytes, address cycles, data.
// Data moves as runs of bytes (a whole page record, or a whole block for an erase); within a
// session whole blocks are kept in memory, so a run costs a copy rather than a file access.
#pragma once

#include <smfs/smfs.h>

#include <cstddef>
#include <cstdint>
#include <functional>

struct CardState;

// ---- Card types ----

inline constexpr int kCardTypeCount = 8;
inline constexpr std::uint8_t kMakerSamsung = 0xEC;
inline constexpr std::uint8_t kMakerToshiba = 0x98;
inline constexpr std::uint32_t kSectorBytes = 512;
inline constexpr std::uint32_t kSpareBytes = 16; // spare bytes of one 512-byte sector
inline constexpr std::uint32_t kImageHeaderBytes = 1024;

// One row of the card geometry table.
struct CardGeometry {
    std::uint32_t cylinders;
    std::uint32_t heads;
    std::uint32_t sectorsPerTrack;
    std::uint32_t totalSectors;
    std::uint32_t bytesPerSector;
    std::uint32_t physBlocks;
    std::uint32_t logBlocks;
    std::uint32_t sectorsPerBlock;
    std::uint32_t pagesPerBlock;
    std::uint32_t pageDataBytes;
};

// Page layout of a card type: data, spare and the whole record as stored in the image.
struct PageLayout {
    std::uint32_t dataBytes;
    std::uint32_t spareBytes;
    std::uint32_t recordBytes;
};

// The geometry row of card type 0..7 (the caller checks the range).
const CardGeometry& card_geometry(int cardType);
const PageLayout& card_page_layout(int cardType);
// Capacity text of a card type, for example "16 MB".
const char* card_capacity_text(int cardType);
// The two identification bytes a new image of this type carries for a maker (0xEC or 0x98).
// Returns false for an unknown maker or type.
bool card_id_bytes(std::uint8_t maker, int cardType, std::uint8_t* deviceCode);
// The card type of a maker and device code, or -1 when the pair is in no row.
int card_type_from_id(std::uint8_t maker, std::uint8_t device);
// Size in bytes an image of this type needs: header plus every page record.
std::uint64_t card_image_bytes(int cardType);

// ---- Emulated chip ----

// Resets the chip's command and address state and forgets its card type.
void chip_reset(CardState& card);
// Sets the card type the chip decodes addresses for (done by the driver's probe).
void chip_set_card_type(CardState& card, int cardType);
void chip_command(CardState& card, std::uint8_t command);
void chip_address(CardState& card, std::uint8_t address);
void chip_write(CardState& card, std::uint8_t value);
std::uint8_t chip_read(CardState& card);
// Sequential runs of chip_write / chip_read: the same protocol, one storage call per record.
void chip_write_bytes(CardState& card, const std::uint8_t* data, std::size_t count);
void chip_read_bytes(CardState& card, std::uint8_t* buffer, std::size_t count);
// Pushes the writes held back to the storage.
void chip_flush(CardState& card);

// A session lets the chip keep whole blocks of the image in memory and gather the writes to
// one block into one image write; the outermost session's end writes everything out and
// forgets the blocks. Outside any session every read and write goes to the image at once.
// Each library operation runs as one session, so a change made to the image file between
// two operations is always seen.
void chip_session_begin(CardState& card);
void chip_session_end(CardState& card);
class ChipSession {
public:
    explicit ChipSession(CardState& card) : card_(card) { chip_session_begin(card_); }
    ~ChipSession() { chip_session_end(card_); }
    ChipSession(const ChipSession&) = delete;
    ChipSession& operator=(const ChipSession&) = delete;

private:
    CardState& card_;
};

ChipCounters chip_counters(CardState& card);
void chip_reset_counters(CardState& card);
// True once a storage read, write or sync has failed since the last call; clears the flag.
bool chip_take_io_error(CardState& card);

// Test seam: a hook asked at every program confirm and erase confirm. What it returns
// decides what the chip does: Fail reports failure in the status and leaves the image
// alone; Corrupt stores the data (or erase) with the first byte wrong and reports success;
// Timeout leaves the chip busy so the status never reads ready.
enum class ChipOp { Program, Erase };
enum class ChipFault { None, Fail, Corrupt, Timeout };
using ChipFaultHook = std::function<ChipFault(ChipOp op, std::uint32_t page)>;
void chip_set_fault_hook(CardState& card, ChipFaultHook hook);

// ---- Page driver ----
// All take the card and return Ok or a result code. Byte addresses are on the card's data space:
// sector s starts at s * 512.

// Resets the driver: card present, card type not probed.
void smc_reset(CardState& card);
// The card type once probed, or -1.
int smc_card_type(CardState& card);

// Reads the two identification bytes. Fails with InvalidArgument when length < 2.
[[nodiscard]] SmfsResult smc_read_id(CardState& card, std::uint8_t* buffer, std::size_t length);
// Identifies the card type from the header. Fails with UnknownCard.
[[nodiscard]] SmfsResult smc_probe(CardState& card);
// Programs one page with its data and spare bytes. Fails with ChipFailed, StatusTimeout.
[[nodiscard]] SmfsResult smc_program_page(CardState& card, std::uint32_t address,
                                          const std::uint8_t* data, const std::uint8_t* spare);
// Reads within one page record from address. Fails with InvalidArgument past the record.
[[nodiscard]] SmfsResult smc_read_data(CardState& card, std::uint32_t address, std::uint8_t* buffer,
                                       std::size_t length);
// Reads the second data half and spare of a 512-byte page. InvalidArgument on 256-byte pages.
[[nodiscard]] SmfsResult smc_read_data_upper(CardState& card, std::uint32_t address,
                                             std::uint8_t* buffer, std::size_t length);
// Reads spare bytes of the page at address. InvalidArgument past the spare area.
[[nodiscard]] SmfsResult smc_read_spare(CardState& card, std::uint32_t address,
                                        std::uint8_t* buffer, std::size_t length);
// Erases the block whose first sector starts at address. Fails with ChipFailed, StatusTimeout.
[[nodiscard]] SmfsResult smc_erase_block(CardState& card, std::uint32_t address);
// Pushes every write held back to the storage. ImageIo when the storage fails.
[[nodiscard]] SmfsResult smc_flush(CardState& card);
// Waits for ready and reads the pass/fail bit. StatusTimeout, ChipFailed.
[[nodiscard]] SmfsResult smc_wait_status(CardState& card);
// Programs sector s: 512 data bytes and 16 spare bytes (two pages on 256-byte-page cards).
[[nodiscard]] SmfsResult smc_write_sector(CardState& card, std::uint32_t sector,
                                          const std::uint8_t* data, const std::uint8_t* spare);
[[nodiscard]] SmfsResult smc_read_sector_data(CardState& card, std::uint32_t sector,
                                              std::uint8_t* data);
[[nodiscard]] SmfsResult smc_read_sector_spare(CardState& card, std::uint32_t sector,
                                               std::uint8_t* spare);
// Reads a sector's 512 data bytes and 16 spare bytes in one pass over its record(s).
[[nodiscard]] SmfsResult smc_read_sector(CardState& card, std::uint32_t sector, std::uint8_t* data,
                                         std::uint8_t* spare);

// ---- Card events ----

enum class CardEvent : int { Inserted = 0, Removed = 1 };
// Registers (or, with an empty callback, unregisters) the callback of an event selector 0 or
// 1. Fails with InvalidArgument for another selector.
[[nodiscard]] SmfsResult smc_register_callback(CardState& card, int event,
                                               SmfsCardEventCallback callback);
void smc_card_inserted(CardState& card);
// Marks the card gone and drops the readiness of the driver, block map and volume.
void smc_card_removed(CardState& card);
bool smc_card_present(CardState& card);

// Upper layers register here to drop their own readiness when the card is removed.
void smc_add_removal_listener(CardState& card, void (*listener)(CardState& card));
