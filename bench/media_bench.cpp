// SPDX-License-Identifier: MIT
// Block layer throughput: whole-block writes and reads through the block map on a 128 MB
// virtual card, beside a plain file copy of the same bytes on the same disk.
#include "blank_image.h"
#include "smfs/card_state.h"
#include "smfs/media.h"

#include <common/image_file.h>
#include <smfs/smfs.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kCardType = 7; // 128 MB
constexpr std::uint32_t kPayloadBytes = 64u << 20;

std::filesystem::path scratch(const char* name) {
    return std::filesystem::temp_directory_path() / (std::string("vela-bench-") + name);
}

// A blank image opened as the locked image file, with a card on it whose allocator starts
// from a fixed seed.
struct BlankCard {
    explicit BlankCard(const std::filesystem::path& path) {
        if (!writeBlankImage(path, kCardType) ||
            image.open(path, ImageFile::Access::Write) != ImageFile::Status::Ok)
            std::abort(); // no benchmark without its scratch image
        card = std::make_unique<SmfsCard>(image);
        media_seed(card->state(), 1);
    }
    ImageFile image;
    std::unique_ptr<SmfsCard> card;
};

void BM_MediaWrite64MiB(benchmark::State& state) {
    auto path = scratch("media.smc");
    const std::uint32_t blockBytes = card_geometry(kCardType).sectorsPerBlock * kSectorBytes;
    std::vector<std::uint8_t> block(blockBytes, 0x5A);
    for (auto _ : state) {
        state.PauseTiming();
        auto blank = std::make_unique<BlankCard>(path);
        CardState& card = blank->card->state();
        state.ResumeTiming();
        for (std::uint32_t l = 0; l < kPayloadBytes / blockBytes; ++l) {
            if (media_write(card, l, 0, block.data(), blockBytes) != SmfsResult::Ok)
                state.SkipWithError("media_write failed");
        }
        state.PauseTiming();
        blank.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kPayloadBytes);
    std::filesystem::remove(path);
}
BENCHMARK(BM_MediaWrite64MiB)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_MediaRead64MiB(benchmark::State& state) {
    auto path = scratch("media-read.smc");
    const std::uint32_t blockBytes = card_geometry(kCardType).sectorsPerBlock * kSectorBytes;
    std::vector<std::uint8_t> block(blockBytes, 0x5A);
    auto blank = std::make_unique<BlankCard>(path);
    CardState& card = blank->card->state();
    for (std::uint32_t l = 0; l < kPayloadBytes / blockBytes; ++l)
        (void)media_write(card, l, 0, block.data(), blockBytes);
    for (auto _ : state) {
        for (std::uint32_t l = 0; l < kPayloadBytes / blockBytes; ++l) {
            if (media_read(card, l, 0, block.data(), blockBytes) != SmfsResult::Ok)
                state.SkipWithError("media_read failed");
        }
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kPayloadBytes);
    blank.reset();
    std::filesystem::remove(path);
}
BENCHMARK(BM_MediaRead64MiB)->Unit(benchmark::kMillisecond)->Iterations(3);

// The yardstick: copying the same bytes from one plain file to another with stdio.
void BM_PlainFileCopy64MiB(benchmark::State& state) {
    auto from = scratch("plain-from");
    auto to = scratch("plain-to");
    {
        std::vector<std::uint8_t> data(kPayloadBytes, 0x5A);
        std::FILE* f = std::fopen(from.c_str(), "wb");
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
    std::vector<std::uint8_t> piece(1 << 20);
    for (auto _ : state) {
        std::FILE* in = std::fopen(from.c_str(), "rb");
        std::FILE* out = std::fopen(to.c_str(), "wb");
        std::size_t n;
        while ((n = std::fread(piece.data(), 1, piece.size(), in)) > 0)
            std::fwrite(piece.data(), 1, n, out);
        std::fclose(in);
        std::fclose(out);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kPayloadBytes);
    std::filesystem::remove(from);
    std::filesystem::remove(to);
}
BENCHMARK(BM_PlainFileCopy64MiB)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
