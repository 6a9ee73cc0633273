#include "fuzz_card_base.h"

#include "smfs/chip.h"
#include "smfs/media.h"

#include <smfs/smfs.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

// A stream over a fixed byte array: reads stop and writes fail at its end, nothing else is
// written (fmemopen may add a terminating zero).
struct MemoryFile {
    std::vector<std::uint8_t>* bytes;
    std::size_t position = 0;
};

ssize_t memoryRead(void* cookie, char* buffer, std::size_t size) {
    auto* file = static_cast<MemoryFile*>(cookie);
    const std::size_t left = file->bytes->size() - std::min(file->position, file->bytes->size());
    const std::size_t n = std::min(size, left);
    std::memcpy(buffer, file->bytes->data() + file->position, n);
    file->position += n;
    return ssize_t(n);
}

ssize_t memoryWrite(void* cookie, const char* buffer, std::size_t size) {
    auto* file = static_cast<MemoryFile*>(cookie);
    if (file->position > file->bytes->size() || size > file->bytes->size() - file->position)
        return -1;
    std::memcpy(file->bytes->data() + file->position, buffer, size);
    file->position += size;
    return ssize_t(size);
}

int memorySeek(void* cookie, off64_t* offset, int whence) {
    auto* file = static_cast<MemoryFile*>(cookie);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? off64_t(file->position)
                                              : off64_t(file->bytes->size());
    if (*offset < -base) return -1;
    file->position = std::size_t(base + *offset);
    *offset = off64_t(file->position);
    return 0;
}

int memoryClose(void* cookie) {
    delete static_cast<MemoryFile*>(cookie);
    return 0;
}

SmfsDateTime fixedClock() {
    return SmfsDateTime{2024, 5, 17, 13, 45, 30};
}

void must(SmfsResult result) {
    if (result != SmfsResult::Ok) std::abort();
}

void writeFile(const char* path, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    SmfsHandle handle = 0;
    must(smfs_create(path, 1, &handle));
    if (size > 0) must(smfs_write(handle, bytes.data(), std::uint32_t(size)));
    must(smfs_close(handle));
}

struct BaseCard {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> logToPhys;
};

BaseCard buildCard(int cardType) {
    BaseCard card;
    card.bytes.assign(card_image_bytes(cardType), 0xFF);
    std::fill(card.bytes.begin(), card.bytes.begin() + kImageHeaderBytes, 0);
    card.bytes[0] = kMakerSamsung;
    if (!card_id_bytes(kMakerSamsung, cardType, &card.bytes[1])) std::abort();
    std::FILE* stream = fuzzInstallImage(card.bytes);
    std::uint32_t bad = 0;
    must(smfs_format("vx:", 0, &bad));
    must(smfs_mkdir("vx:\\GAMES", 0));
    must(smfs_mkdir("vx:\\GAMES\\SUB", 0));
    must(smfs_mkdir("vx:\\EMPTY", 0));
    writeFile("vx:\\README.TXT", 300);
    writeFile("vx:\\GAMES\\DEMO.BIN", 3 * 16384 + 100);
    writeFile("vx:\\GAMES\\SUB\\A.DAT", 0);
    writeFile("vx:\\GAMES\\SUB\\B.DAT", 1);
    const CardGeometry& geometry = card_geometry(cardType);
    for (std::uint32_t log = 0; log < geometry.logBlocks; ++log)
        card.logToPhys.push_back(media_logical_entry(log));
    fuzzRemoveImage(stream);
    return card;
}

} // namespace

const std::vector<std::uint8_t>& fuzzBaseCard(int cardType,
                                              const std::vector<std::uint32_t>** logToPhys) {
    static std::map<int, BaseCard> cards;
    auto found = cards.find(cardType);
    if (found == cards.end()) found = cards.emplace(cardType, buildCard(cardType)).first;
    if (logToPhys) *logToPhys = &found->second.logToPhys;
    return found->second.bytes;
}

std::FILE* fuzzInstallImage(std::vector<std::uint8_t>& bytes) {
    cookie_io_functions_t functions{memoryRead, memoryWrite, memorySeek, memoryClose};
    std::FILE* stream = fopencookie(new MemoryFile{&bytes}, "r+", functions);
    if (!stream) std::abort();
    smfs_set_image(stream);
    smfs_set_clock(fixedClock);
    must(smfs_init());
    return stream;
}

void fuzzRemoveImage(std::FILE* stream) {
    smfs_shutdown();
    smfs_set_image(nullptr);
    std::fclose(stream);
}
