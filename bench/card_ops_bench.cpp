// SPDX-License-Identifier: MIT
// The card library's work for the manager's everyday operations on a freshly formatted 128 MB
// virtual card, through the public calls and in the manager's pattern (files held whole and
// moved in pieces of 1 MiB, folders listed 32 names at a time with one entry query per name).
// Besides the time it reports what the chip did per MiB of user data: page reads, page
// programs and block erases, next to the floor of one program per page of user data.
#include "blank_image.h"

#include <common/image_file.h>

#include <smfs/smfs.h>

#include "smfs/chip.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kCardType = 7; // 128 MB
constexpr std::uint32_t kPieceBytes = 1u << 20;
constexpr std::uint32_t kBigFileBytes = 64u << 20;
constexpr int kSmallFiles = 1000;
constexpr std::uint32_t kSmallFileBytes = 4096;
constexpr double kMiB = 1024.0 * 1024.0;

// A blank 128 MB image in a fresh temporary folder, opened as the locked image file with a
// card on it and formatted; removed with the object.
class BenchCard {
public:
    BenchCard() {
        std::string pattern = std::filesystem::temp_directory_path() / "vela-ops-bench-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        folder_ = pattern;
        const std::filesystem::path path = folder_ / "card.smc";
        if (!writeBlankImage(path, kCardType)) return;
        if (image_.open(path, ImageFile::Access::Write) != ImageFile::Status::Ok) return;
        card_ = std::make_unique<SmfsCard>(image_);
        std::uint32_t bad = 0;
        ok_ = card_->format("vx:", 0, &bad) == SmfsResult::Ok;
    }
    ~BenchCard() {
        card_.reset();
        (void)image_.close();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    BenchCard(const BenchCard&) = delete;
    BenchCard& operator=(const BenchCard&) = delete;
    bool ok() const { return ok_; }
    SmfsCard& operator*() { return *card_; }

private:
    std::filesystem::path folder_;
    ImageFile image_;
    std::unique_ptr<SmfsCard> card_;
    bool ok_ = false;
};

std::vector<std::uint8_t> pattern(std::uint32_t bytes, std::uint32_t seed) {
    std::vector<std::uint8_t> data(bytes);
    for (std::uint32_t i = 0; i < bytes; ++i)
        data[i] = std::uint8_t(i * 131 + (i >> 9) + seed);
    return data;
}

// Writes a file; replace 1 replaces one of the name, 2 fails on it.
bool putFile(SmfsCard& card, const std::string& path, const std::vector<std::uint8_t>& data,
             int replace = 2) {
    SmfsHandle h = 0;
    if (card.create(path.c_str(), replace, &h) != SmfsResult::Ok) return false;
    for (std::size_t done = 0; done < data.size(); done += kPieceBytes) {
        const auto n = std::uint32_t(std::min<std::size_t>(kPieceBytes, data.size() - done));
        if (card.write(h, data.data() + done, n) != SmfsResult::Ok) return false;
    }
    return card.close(h) == SmfsResult::Ok;
}

bool getFile(SmfsCard& card, const std::string& path, std::vector<std::uint8_t>& data) {
    SmfsHandle h = 0;
    std::uint32_t size = 0;
    if (card.fileSize(path.c_str(), &size) != SmfsResult::Ok) return false;
    if (card.open(path.c_str(), kSmfsRead, &h) != SmfsResult::Ok) return false;
    data.resize(size);
    for (std::uint32_t done = 0; done < size; done += kPieceBytes) {
        const std::uint32_t n = std::min(kPieceBytes, size - done);
        std::uint32_t count = 0;
        if (card.read(h, data.data() + done, n, &count) != SmfsResult::Ok || count != n)
            return false;
    }
    return card.close(h) == SmfsResult::Ok;
}

// One folder of small files, in one write group as the manager's copy does.
bool putSmallFiles(SmfsCard& card) {
    card.beginGroup();
    bool ok = card.mkdir("vx:\\many", 0) == SmfsResult::Ok;
    const std::vector<std::uint8_t> data = pattern(kSmallFileBytes, 7);
    for (int i = 0; ok && i < kSmallFiles; ++i)
        ok = putFile(card, "vx:\\many\\f" + std::to_string(i) + ".bin", data);
    return card.endGroup() == SmfsResult::Ok && ok;
}

// Lists a folder the manager's way; the number of names seen.
int listLong(SmfsCard& card, const char* folder) {
    char names[32 * kSmfsNameSlotBytes];
    int seen = 0;
    for (std::uint32_t first = 0;; first += 32) {
        std::uint32_t delivered = 0;
        const SmfsResult r = card.list(folder, first, 32, names, &delivered);
        for (std::uint32_t i = 0; i < delivered; ++i) {
            SmfsEntryInfo info{};
            const std::string child = std::string(folder) + "\\" + &names[i * kSmfsNameSlotBytes];
            if (card.info(child.c_str(), &info) == SmfsResult::Ok) ++seen;
        }
        if (r != SmfsResult::Ok) break;
    }
    return seen;
}

void reportOps(benchmark::State& state, const ChipCounters& c, double userMiB) {
    const double runs = double(state.iterations());
    state.counters["reads/MiB"] = double(c.pageReads) / runs / userMiB;
    state.counters["programs/MiB"] = double(c.pagePrograms) / runs / userMiB;
    state.counters["erases/MiB"] = double(c.blockErases) / runs / userMiB;
    state.counters["floor_programs/MiB"] = kMiB / 512.0;
}

// Adds what the chip counted since its counters were reset.
void addChipCounters(SmfsCard& card, ChipCounters& total) {
    const ChipCounters c = card.counters();
    total.pageReads += c.pageReads;
    total.pagePrograms += c.pagePrograms;
    total.blockErases += c.blockErases;
}

void BM_Put64MiB(benchmark::State& state) {
    const std::vector<std::uint8_t> data = pattern(kBigFileBytes, 1);
    ChipCounters total{};
    for (auto _ : state) {
        state.PauseTiming();
        BenchCard bench;
        if (!bench.ok()) state.SkipWithError("format failed");
        SmfsCard& card = *bench;
        card.resetCounters();
        state.ResumeTiming();
        if (!putFile(card, "vx:\\big.bin", data)) state.SkipWithError("put failed");
        state.PauseTiming();
        addChipCounters(card, total);
        state.ResumeTiming();
    }
    reportOps(state, total, kBigFileBytes / kMiB);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kBigFileBytes);
}
BENCHMARK(BM_Put64MiB)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Get64MiB(benchmark::State& state) {
    BenchCard bench;
    SmfsCard& card = *bench;
    if (!bench.ok() || !putFile(card, "vx:\\big.bin", pattern(kBigFileBytes, 1)))
        state.SkipWithError("set-up failed");
    std::vector<std::uint8_t> back;
    card.resetCounters();
    for (auto _ : state) {
        if (!getFile(card, "vx:\\big.bin", back)) state.SkipWithError("get failed");
    }
    reportOps(state, card.counters(), kBigFileBytes / kMiB);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kBigFileBytes);
}
BENCHMARK(BM_Get64MiB)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Put1000SmallFiles(benchmark::State& state) {
    ChipCounters total{};
    for (auto _ : state) {
        state.PauseTiming();
        BenchCard bench;
        if (!bench.ok()) state.SkipWithError("format failed");
        SmfsCard& card = *bench;
        card.resetCounters();
        state.ResumeTiming();
        if (!putSmallFiles(card)) state.SkipWithError("put failed");
        state.PauseTiming();
        addChipCounters(card, total);
        state.ResumeTiming();
    }
    reportOps(state, total, kSmallFiles * kSmallFileBytes / kMiB);
}
BENCHMARK(BM_Put1000SmallFiles)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_List1000Long(benchmark::State& state) {
    BenchCard bench;
    SmfsCard& card = *bench;
    if (!bench.ok() || !putSmallFiles(card)) state.SkipWithError("set-up failed");
    card.resetCounters();
    for (auto _ : state) {
        if (listLong(card, "vx:\\many") != kSmallFiles + 2)
            state.SkipWithError("listing incomplete");
    }
    // Per MiB of the files listed, to compare with the other cases.
    reportOps(state, card.counters(), kSmallFiles * kSmallFileBytes / kMiB);
}
BENCHMARK(BM_List1000Long)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_QuickFormat(benchmark::State& state) {
    BenchCard bench;
    SmfsCard& card = *bench;
    if (!bench.ok() || !putFile(card, "vx:\\big.bin", pattern(kBigFileBytes, 1)))
        state.SkipWithError("set-up failed");
    card.resetCounters();
    for (auto _ : state) {
        std::uint32_t bad = 0;
        if (card.format("vx:", 0, &bad) != SmfsResult::Ok) state.SkipWithError("format failed");
    }
    // Per MiB of the card's capacity.
    reportOps(state, card.counters(), 128.0);
}
BENCHMARK(BM_QuickFormat)->Unit(benchmark::kMillisecond)->Iterations(3);

// Wear: one 4 KiB file rewritten (replaced) 1000 times on a fresh 128 MB card in memory,
// either by one card object (a session of the manager or the mount) or by a fresh card object
// each time (a vela-smc run each, on the PC's clock). Reports how the erases spread over the
// card's physical blocks: the most erases of any block, the mean over the blocks erased at
// least once, and how many blocks share them.
void runRewrites(benchmark::State& state, bool reopen) {
    constexpr int kRewrites = 1000;
    std::vector<std::uint64_t> erases;
    for (auto _ : state) {
        state.PauseTiming();
        MemoryStorage image;
        std::string folder = std::filesystem::temp_directory_path() / "vela-wear-bench-XXXXXX";
        if (!mkdtemp(folder.data())) std::abort();
        const std::filesystem::path path = std::filesystem::path(folder) / "card.smc";
        if (!writeBlankImage(path, kCardType)) state.SkipWithError("no image");
        {
            std::ifstream in(path, std::ios::binary);
            image.bytes().assign(std::istreambuf_iterator<char>(in), {});
        }
        std::filesystem::remove_all(folder);
        auto card = std::make_unique<SmfsCard>(image);
        std::uint32_t bad = 0;
        if (card->format("vx:", 0, &bad) != SmfsResult::Ok) state.SkipWithError("format failed");
        const std::uint32_t pagesPerBlock = 32;
        erases.assign(8192, 0);
        auto count = [&](SmfsCard& c) {
            chip_set_fault_hook(c.state(), [&](ChipOp op, std::uint32_t page) {
                if (op == ChipOp::Erase) ++erases[page / pagesPerBlock % erases.size()];
                return ChipFault::None;
            });
        };
        count(*card);
        state.ResumeTiming();
        const std::vector<std::uint8_t> data = pattern(kSmallFileBytes, 3);
        for (int i = 0; i < kRewrites; ++i) {
            if (reopen) {
                card = std::make_unique<SmfsCard>(image);
                count(*card);
            }
            if (!putFile(*card, "vx:\\save.bin", data, 1)) state.SkipWithError("put failed");
        }
    }
    std::uint64_t most = 0, total = 0, used = 0;
    for (std::uint64_t e : erases) {
        most = std::max(most, e);
        total += e;
        used += e > 0;
    }
    state.counters["blocks_erased"] = double(used);
    state.counters["max_erases"] = double(most);
    state.counters["mean_erases"] = used ? double(total) / double(used) : 0.0;
    state.counters["mean_over_card"] = double(total) / double(erases.size());
}

void BM_Rewrite1000OneSession(benchmark::State& state) {
    runRewrites(state, false);
}
BENCHMARK(BM_Rewrite1000OneSession)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_Rewrite1000ProcessEach(benchmark::State& state) {
    runRewrites(state, true);
}
BENCHMARK(BM_Rewrite1000ProcessEach)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
