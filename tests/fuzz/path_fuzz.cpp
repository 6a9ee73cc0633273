// SPDX-License-Identifier: MIT
// Fuzz target: the card path parsers. The input is a path as a user or a card's directory
// might spell it; byte 0 picks the current folder. It goes through the library's path and
// name functions, the command line's "vx:\..." and "/..." forms, the manager's component
// splitter and the file-name splitters, and is then looked up on a small mounted card with
// the read-only calls. Each must stay within its promises: bounded results, no separator
// inside a component, conversions that reach a fixed point.
#include "fuzz_card_base.h"

#include "smfs/dir.h"

#include "common/path_names.h"
#include "smcmanager/smc_manager.h"
#include "vela_smc.h"

#include <smfs/smfs.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* kFolders[4] = {"vx:\\", "vx:\\GAMES\\", "vx:\\GAMES\\SUB\\", "vx:\\NONE\\"};

// The small card, made once for the whole run; the calls below only read it.
SmfsCard& smallCard() {
    static FuzzCard fuzz(fuzzBaseCard(0, nullptr));
    return fuzz.card;
}

void libraryPath(CardState& card, const std::string& text) {
    std::string full;
    if (path_make_full(card, text.c_str(), &full) == SmfsResult::Ok) {
        if (full.size() > 255) std::abort();
        (void)path_drive(card, full);
        std::string last;
        path_last_name(full, &last);
        if (last.find('\\') != std::string::npos || last.size() > full.size()) std::abort();
    }
    // A name's entry form, read back as a name, converts to the same entry again.
    std::uint8_t entry[kNameChars];
    (void)name_is_valid(text.c_str(), std::strlen(text.c_str()));
    (void)name_to_entry(text.c_str(), entry);
    char name[13];
    entry_to_name(entry, name);
    if (std::memchr(name, 0, sizeof name) == nullptr) std::abort();
    std::uint8_t again[kNameChars];
    (void)name_to_entry(name, again);
    if (name_is_valid(name, std::strlen(name)) && std::memcmp(entry, again, kNameChars) != 0)
        std::abort();
}

void typedPath(const std::string& text) {
    std::string cardPath;
    if (!toCardPath(text, cardPath)) return;
    if (cardPath.compare(0, 4, "vx:\\") != 0 || cardPath.find('/') != std::string::npos ||
        cardPath.find("\\\\") != std::string::npos)
        std::abort();
    std::string twice;
    if (!toCardPath(cardPath, twice) || twice != cardPath) std::abort();
    // The manager walks a card path one component at a time.
    std::string rest = cardPath;
    std::size_t taken = 0;
    while (!rest.empty()) {
        const std::string component = SmcManager::popFirstComponent(rest);
        if (component.find('\\') != std::string::npos) std::abort();
        taken += component.size() + 1;
        if (taken > cardPath.size() + 1) std::abort();
    }
}

void fileNames(const std::string& text) {
    const std::string folder = ExtractDirectory(text);
    const std::string extension = ExtractExtension(text);
    const std::string title = ExtractTitle(text);
    if (text.compare(0, folder.size(), folder) != 0) std::abort();
    if (extension.size() > text.size() ||
        text.compare(text.size() - extension.size(), extension.size(), extension) != 0)
        std::abort();
    if (title.size() > text.size()) std::abort();
}

void onCard(const std::string& text, const char* folder) {
    SmfsCard& card = smallCard();
    if (card.chdir(folder) != SmfsResult::Ok) (void)card.chdir("vx:\\");
    SmfsEntryInfo info{};
    (void)card.info(text.c_str(), &info);
    std::uint32_t size = 0, count = 0;
    (void)card.fileSize(text.c_str(), &size);
    (void)card.count(text.c_str(), &count);
    SmfsHandle handle = 0;
    if (card.open(text.c_str(), kSmfsRead, &handle) == SmfsResult::Ok) (void)card.close(handle);
    if (card.chdir(text.c_str()) == SmfsResult::Ok) {
        char cwd[300];
        if (card.getcwd(cwd, sizeof cwd) != SmfsResult::Ok ||
            std::memchr(cwd, 0, sizeof cwd) == nullptr)
            std::abort();
    }
    (void)card.chdir("vx:\\");
}

} // namespace

// The command line's message printer, which the terminal user interface linked in here for
// its path conversion refers to; nothing is reported in this target.
void report(const std::string&) {}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 600) return 0;
    const char* folder = kFolders[data[0] & 3];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    dir_set_cwd(smallCard().state(), folder);
    libraryPath(smallCard().state(), text);
    typedPath(text);
    fileNames(text);
    onCard(text, folder);
    return 0;
}
