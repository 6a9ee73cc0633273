// SPDX-License-Identifier: MIT
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

SmfsDateTime fixedClock() {
    return SmfsDateTime{2024, 5, 17, 13, 45, 30};
}

void must(SmfsResult result) {
    if (result != SmfsResult::Ok) std::abort();
}

void writeFile(SmfsCard& card, const char* path, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    SmfsHandle handle = 0;
    must(card.create(path, 1, &handle));
    if (size > 0) must(card.write(handle, bytes.data(), std::uint32_t(size)));
    must(card.close(handle));
}

struct BaseCard {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> logToPhys;
};

BaseCard buildCard(int cardType) {
    std::vector<std::uint8_t> bytes(card_image_bytes(cardType), 0xFF);
    std::fill(bytes.begin(), bytes.begin() + kImageHeaderBytes, 0);
    bytes[0] = kMakerSamsung;
    if (!card_id_bytes(kMakerSamsung, cardType, &bytes[1])) std::abort();
    FuzzCard fuzz(std::move(bytes));
    SmfsCard& card = fuzz.card;
    std::uint32_t bad = 0;
    must(card.format("vx:", 0, &bad));
    must(card.mkdir("vx:\\GAMES", 0));
    must(card.mkdir("vx:\\GAMES\\SUB", 0));
    must(card.mkdir("vx:\\EMPTY", 0));
    writeFile(card, "vx:\\README.TXT", 300);
    writeFile(card, "vx:\\GAMES\\DEMO.BIN", 3 * 16384 + 100);
    writeFile(card, "vx:\\GAMES\\SUB\\A.DAT", 0);
    writeFile(card, "vx:\\GAMES\\SUB\\B.DAT", 1);
    BaseCard base;
    const CardGeometry& geometry = card_geometry(cardType);
    for (std::uint32_t log = 0; log < geometry.logBlocks; ++log)
        base.logToPhys.push_back(media_logical_entry(card.state(), log));
    base.bytes = fuzz.storage.bytes();
    return base;
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

FuzzCard::FuzzCard(std::vector<std::uint8_t> bytes)
    : storage(std::move(bytes), true), card(storage, fixedClock) {}
