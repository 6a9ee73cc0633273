// SPDX-License-Identifier: MIT
// Power loss at every write of a workload.
//
// The card lives in memory behind a storage that logs and cuts, so every write the library
// makes to the image is one call of the storage: the place where a machine would lose power. The
// workload (files of mixed sizes written in uneven pieces, folders made and removed, files deleted,
// one format) runs once while every write is logged. Until its Nth write the library cannot tell
// whether later writes will persist, so the image left by a power loss after write N is the
// starting image with writes 1..N applied (the I/O-error test below shows a storage that fails
// every call from one on leaves exactly that image). For each N the image is opened by a fresh
// library, which must mount it, read back every file closed before the cut byte for byte, and whose
// check may report no more than lost clusters, the leftovers of the interrupted write and
// a dangling entry of the file being written. Then one more file must write cleanly.
#include "test_card.h"

#include "smfs/ecc.h"
#include "smfs/fat.h"

#include <smfs/tools.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define VELA_POWER_LOSS_SLOW 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELA_POWER_LOSS_SLOW 1
#endif
#endif

namespace {

// ---- The card in memory ----

struct Write {
    std::uint64_t offset;
    std::vector<std::uint8_t> bytes;
};

void applyWrite(std::vector<std::uint8_t>& image, const Write& w) {
    if (image.size() < w.offset + w.bytes.size()) image.resize(w.offset + w.bytes.size(), 0);
    std::copy(w.bytes.begin(), w.bytes.end(), image.begin() + std::ptrdiff_t(w.offset));
}

// An image in memory that logs every write the card makes: the places where a machine would
// lose power.
class CutStorage final : public SmfsStorage {
public:
    explicit CutStorage(std::vector<std::uint8_t> bytes) : memory_(std::move(bytes)) {}

    std::uint64_t writes = 0;
    std::vector<Write>* log = nullptr;

    std::vector<std::uint8_t>& bytes() { return memory_.bytes(); }
    SmfsResult read(std::uint64_t offset, std::uint8_t* buffer, std::size_t length,
                    std::size_t* got) override {
        return memory_.read(offset, buffer, length, got);
    }
    SmfsResult write(std::uint64_t offset, const std::uint8_t* data, std::size_t length) override {
        ++writes;
        if (log) log->push_back(Write{offset, std::vector<std::uint8_t>(data, data + length)});
        return memory_.write(offset, data, length);
    }
    SmfsResult sync() override { return SmfsResult::Ok; }
    SmfsResult size(std::uint64_t* bytes) override { return memory_.size(bytes); }

private:
    MemoryStorage memory_;
};

// A formatted card of a type, in memory.
std::vector<std::uint8_t> formattedImage(int cardType) {
    return TestCard(cardType, true).bytes();
}

// ---- The workload and what it promises ----

// The writes an operation made: numbers first + 1 .. last.
struct Span {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    bool doneBy(std::uint64_t n) const { return n >= last; }
    bool cutBy(std::uint64_t n) const { return n > first && n < last; }
};

struct FileRecord {
    std::string path;
    std::vector<std::uint8_t> bytes;
    Span written;                     // create to close
    std::vector<std::uint8_t> before; // the bytes it had before an append
    std::optional<Span> appended;     // reopened, written at its end and closed
    std::optional<Span> deleted;
    std::optional<Span> formatted; // the format that wiped it
};

struct FolderRecord {
    std::string path;
    Span made;
    std::optional<Span> removed;
    std::optional<Span> formatted;
};

// One call of the workload and what it returned (its first failure).
struct Op {
    std::string what;
    std::string path;
    Span span;
    SmfsResult result = SmfsResult::Ok;
};

struct Workload {
    std::vector<Op> ops;
    std::vector<FileRecord> files;
    std::vector<FolderRecord> folders;
    std::vector<Span> formats;
    std::uint64_t writes = 0;
    // Writes by what the library was doing: creating files (FAT and new entry), writing
    // their data, closing them (last block, FAT, entry), folders, deletes and the format.
    std::map<std::string, std::uint64_t> writesBy;
};

// Runs the workload on a card; counter tells how far its storage has come (writes for the
// power cuts, every call for the I/O errors), and the spans are in its units. With check
// set every call must succeed (the recording run); on a card that lost power or met a
// failing storage, results are only recorded, since reads then see what the card kept
// rather than what was written.
class WorkloadRunner {
public:
    WorkloadRunner(SmfsCard& card, std::function<std::uint64_t()> counter, Workload& w, bool check)
        : card_(card), counter_(std::move(counter)), w_(w), check_(check) {}

    void run() {
        mkdir("vx:\\GAMES");
        mkdir("vx:\\MUSIC");
        file("vx:\\A.BIN", 0, 1000);
        file("vx:\\GAMES\\DEMO.QXE", 5000, 1000);
        file("vx:\\B.TXT", 511, 511);
        file("vx:\\GAMES\\C.DAT", 4096, 4096);
        file("vx:\\MUSIC\\D.MID", 4097, 700);
        file("vx:\\E.BIN", 20000, 3000);
        file("vx:\\F.BIN", 1, 1);
        mkdir("vx:\\GAMES\\LEVELS");
        file("vx:\\GAMES\\LEVELS\\L1.DAT", 9000, 2500);
        remove("vx:\\B.TXT");
        file("vx:\\G.BIN", 12000, 5000);
        rmdir("vx:\\MUSIC");
        file("vx:\\H.BIN", 700, 300);
        remove("vx:\\E.BIN");
        mkdir("vx:\\TMP");
        rmdir("vx:\\TMP");
        format();
        file("vx:\\I.BIN", 3000, 1024);
        mkdir("vx:\\SAVE");
        file("vx:\\SAVE\\J.SAV", 6000, 1500);
        file("vx:\\SAVE\\K.SAV", 513, 100);
        file("vx:\\L.BIN", 8192, 8192);
        file("vx:\\M.BIN", 2000, 2000);
        remove("vx:\\I.BIN");
        file("vx:\\N.BIN", 16385, 4000);
        file("vx:\\SAVE\\O.SAV", 300, 300);
        file("vx:\\P.BIN", 4095, 1365);
        file("vx:\\Q.BIN", 24000, 6000);
        append("vx:\\M.BIN", 5000, 1200);
        remove("vx:\\SAVE\\K.SAV");
        file("vx:\\R.BIN", 100, 100);
        w_.writes = counter_();
    }

private:
    Span begin() {
        const std::uint64_t now = counter_();
        w_.ops.push_back(Op{"", "", Span{now, now}, SmfsResult::Ok});
        return Span{now, now};
    }
    // Adds the writes since mark to a kind; returns the new mark.
    std::uint64_t count(const std::string& kind, std::uint64_t mark) {
        w_.writesBy[kind] += counter_() - mark;
        return counter_();
    }
    void end(Span& s) {
        s.last = counter_();
        w_.ops.back().span.last = s.last;
    }
    void expectOk(SmfsResult r, const std::string& what) {
        Op& op = w_.ops.back();
        if (op.result == SmfsResult::Ok && r != SmfsResult::Ok) op.result = r;
        if (op.what.empty()) {
            op.what = what;
            op.path = what.substr(what.find(' ') + 1);
        }
        if (check_) {
            EXPECT_EQ(r, SmfsResult::Ok) << what;
        }
    }

    void writePieces(SmfsHandle h, const std::uint8_t* data, std::size_t size, std::uint32_t piece,
                     const std::string& what) {
        for (std::size_t done = 0; done < size; done += piece)
            expectOk(card_.write(h, data + done,
                                 std::uint32_t(std::min<std::size_t>(piece, size - done))),
                     what);
    }

    void file(const std::string& path, std::size_t size, std::uint32_t piece) {
        FileRecord f{path, apiPattern(size, unsigned(w_.files.size())), begin(), {}, {}, {}, {}};
        SmfsHandle h = 0;
        expectOk(card_.create(path.c_str(), 2, &h), "create " + path);
        std::uint64_t mark = count("create", f.written.first);
        writePieces(h, f.bytes.data(), size, piece, "write " + path);
        mark = count("file data", mark);
        expectOk(card_.close(h), "close " + path);
        // The manager's commit point after each change.
        expectOk(card_.sync(), "sync " + path);
        count("close", mark);
        end(f.written);
        w_.files.push_back(std::move(f));
    }

    // Opens a closed file, writes more at its end and closes it.
    void append(const std::string& path, std::size_t size, std::uint32_t piece) {
        FileRecord& f = *std::find_if(w_.files.begin(), w_.files.end(), [&](const FileRecord& x) {
            return x.path == path && !x.deleted && !x.formatted;
        });
        f.before = f.bytes;
        const std::vector<std::uint8_t> more = apiPattern(size, 77);
        f.bytes.insert(f.bytes.end(), more.begin(), more.end());
        Span s = begin();
        SmfsHandle h = 0;
        expectOk(card_.open(path.c_str(), kSmfsReadWrite, &h), "open " + path);
        expectOk(card_.seek(h, kSmfsSeekEnd, 0, nullptr), "seek " + path);
        writePieces(h, more.data(), size, piece, "append " + path);
        expectOk(card_.close(h), "close " + path);
        end(s);
        count("append", s.first);
        f.appended = s;
    }

    void remove(const std::string& path) {
        Span s = begin();
        expectOk(card_.remove(path.c_str()), "delete " + path);
        end(s);
        count("delete", s.first);
        for (FileRecord& f : w_.files)
            if (f.path == path && !f.deleted && !f.formatted) f.deleted = s;
    }

    void mkdir(const std::string& path) {
        FolderRecord d{path, begin(), {}, {}};
        expectOk(card_.mkdir(path.c_str(), 0), "mkdir " + path);
        end(d.made);
        count("folder", d.made.first);
        w_.folders.push_back(std::move(d));
    }

    // Removes a folder and everything in it.
    void rmdir(const std::string& path) {
        Span s = begin();
        expectOk(card_.rmdir(path.c_str(), 1), "rmdir " + path);
        end(s);
        count("folder", s.first);
        const std::string prefix = path + "\\";
        for (FolderRecord& d : w_.folders)
            if ((d.path == path || d.path.starts_with(prefix)) && !d.removed && !d.formatted)
                d.removed = s;
        for (FileRecord& f : w_.files)
            if (f.path.starts_with(prefix) && !f.deleted && !f.formatted) f.deleted = s;
    }

    void format() {
        Span s = begin();
        std::uint32_t bad = 0;
        expectOk(card_.format("vx:", 0, &bad), "format");
        end(s);
        count("format", s.first);
        w_.formats.push_back(s);
        for (FileRecord& f : w_.files)
            if (!f.formatted) f.formatted = s;
        for (FolderRecord& d : w_.folders)
            if (!d.formatted) d.formatted = s;
    }

    SmfsCard& card_;
    std::function<std::uint64_t()> counter_;
    Workload& w_;
    bool check_;
};

// Runs the workload on a copy of start, logging every write.
Workload recordWorkload(const std::vector<std::uint8_t>& start, std::vector<Write>* log) {
    Workload w;
    CutStorage storage(start);
    storage.log = log;
    SmfsCard card(storage, testClock);
    WorkloadRunner(
        card, [&] { return storage.writes; }, w, true)
        .run();
    return w;
}

// ---- What a cut image must hold ----

// The card path of whatever was being written or changed when write n was cut, or "".
std::string pathCutBy(const Workload& w, std::uint64_t n) {
    for (const FileRecord& f : w.files)
        if (f.written.cutBy(n) || (f.appended && f.appended->cutBy(n))) return f.path;
    for (const FolderRecord& d : w.folders)
        if (d.made.cutBy(n)) return d.path;
    return "";
}

bool formatCutBy(const Workload& w, std::uint64_t n) {
    return std::any_of(w.formats.begin(), w.formats.end(),
                       [&](const Span& s) { return s.cutBy(n) || s.first + 1 == n; });
}

// The clusters of the chain an entry names, as the mounted FAT has it.
std::vector<std::uint32_t> chainOf(SmfsCard& card, const std::string& path) {
    std::vector<std::uint32_t> chain;
    SmfsEntryInfo info{};
    if (path.empty() || card.info(path.c_str(), &info) != SmfsResult::Ok) return chain;
    for (std::uint32_t c = info.firstCluster;
         fat_is_data_cluster(card.state(), c) && chain.size() < 4096;
         c = fat_entry(card.state(), c))
        chain.push_back(c);
    return chain;
}

// True when a physical block holds nothing the mounted volume uses: a copy of its logical
// block that the map does not read, or a data block whose clusters are free or belong to
// the entry being written (its chain passed as cutChain).
bool blockUnused(CardState& card, std::int64_t physBlock,
                 const std::vector<std::uint32_t>& cutChain) {
    const std::uint16_t field = media_phys_entry(card, std::uint32_t(physBlock));
    const FatVolume* v = fat_volume(card);
    CardGeometry g{};
    if (physBlock <= 0 || !v || media_geometry(card, &g) != SmfsResult::Ok || field == kPhysFree ||
        field == kPhysRetired || field == kFieldCis)
        return false;
    const std::uint32_t logBlock = block_address_field_number(field);
    if (media_logical_entry(card, logBlock) != physBlock) return true;
    const std::uint32_t first = logBlock * g.sectorsPerBlock;
    if (first < v->dataStart) return false;
    for (std::uint32_t s = first; s < first + g.sectorsPerBlock; s += v->sectorsPerCluster) {
        const std::uint32_t c = kFirstCluster + (s - v->dataStart) / v->sectorsPerCluster;
        if (fat_entry(card, c) != kFatFree &&
            std::find(cutChain.begin(), cutChain.end(), c) == cutChain.end())
            return false;
    }
    return true;
}

// Checker findings that mean nothing was lost: lost clusters, a stale copy of a block (until
// the next write erases it), sectors torn by the cut in blocks no file or folder uses, and
// anything about the entry that was being written.
bool findingAllowed(CardState& card, const SmfsFinding& f, const std::string& cutPath,
                    bool afterWrite, const std::vector<std::uint32_t>& cutChain) {
    switch (f.kind) {
    case SmfsFindingKind::LostClusters:
        return true;
    case SmfsFindingKind::DuplicateBlock:
    // On a card whose FAT copies lie in different blocks a cut can fall between them.
    case SmfsFindingKind::FatCopiesDiffer:
        return !afterWrite;
    case SmfsFindingKind::EccCorrected:
    case SmfsFindingKind::EccUncorrectable:
    case SmfsFindingKind::EccCodeDamaged:
    case SmfsFindingKind::AddressFieldsDiffer:
        return blockUnused(card, f.physBlock, cutChain);
    default:
        return !cutPath.empty() && f.path == cutPath;
    }
}

// Whatever a cut or failed format left, formatting again gives a clean volume.
void expectFormatsClean(SmfsCard& card, const std::string& at) {
    std::uint32_t bad = 0;
    ASSERT_EQ(card.format("vx:", 0, &bad), SmfsResult::Ok) << at;
    SmfsCheckReport report;
    EXPECT_EQ(card.check(&report), SmfsResult::Ok) << at;
    EXPECT_TRUE(report.clean()) << at << "\n" << apiFindingsText(report);
}

int failureParts() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

// Mounts the image a cut at write n left and checks every promise; returns false (with
// failures recorded) when one is broken.
bool verifyCut(const Workload& w, const std::vector<std::uint8_t>& cut, std::uint64_t n) {
    const int partsBefore = failureParts();
    MemoryStorage storage(cut);
    SmfsCard card(storage, testClock);
    const std::string at =
        "cut after write " + std::to_string(n) + " of " + std::to_string(w.writes);
    std::uint64_t total = 0, used = 0, free = 0;
    const SmfsResult mounted = card.space("vx:", &total, &used, &free);
    if (formatCutBy(w, n)) {
        // A format that was cut may leave no volume; whatever it left, formatting works.
        EXPECT_TRUE(mounted == SmfsResult::Ok || mounted == SmfsResult::Unformatted ||
                    mounted == SmfsResult::Damaged)
            << at;
        expectFormatsClean(card, at);
        return failureParts() == partsBefore;
    }
    EXPECT_EQ(mounted, SmfsResult::Ok) << at;
    if (mounted != SmfsResult::Ok) return false;

    for (const FileRecord& f : w.files) {
        if (f.formatted && f.formatted->doneBy(n)) continue;
        std::vector<std::uint8_t> back;
        const SmfsResult r = apiReadFile(card, f.path, &back);
        const bool gone = f.deleted && f.deleted->doneBy(n);
        const bool going = f.deleted && f.deleted->cutBy(n);
        if (gone) {
            EXPECT_NE(r, SmfsResult::Ok) << at << ": deleted " << f.path << " is back";
        } else if (f.written.doneBy(n) && !(going && r == SmfsResult::NotFound)) {
            // A file being appended to reads as before or as after.
            const bool appendDone = !f.appended || f.appended->doneBy(n);
            const bool appendStarted = f.appended && n > f.appended->first;
            const bool matches = (appendDone && back == f.bytes) ||
                                 (!appendDone && back == f.before) ||
                                 (appendStarted && back == f.bytes);
            EXPECT_EQ(r, SmfsResult::Ok) << at << ": " << f.path;
            EXPECT_TRUE(matches) << at << ": " << f.path << " reads back " << back.size()
                                 << " bytes, not its " << f.bytes.size();
        }
    }
    for (const FolderRecord& d : w.folders) {
        if (d.formatted && d.formatted->doneBy(n)) continue;
        SmfsEntryInfo info{};
        const SmfsResult r = card.info(d.path.c_str(), &info);
        if (d.removed && d.removed->doneBy(n)) {
            EXPECT_EQ(r, SmfsResult::NotFound) << at << ": removed " << d.path << " is back";
        } else if (d.made.doneBy(n) && !(d.removed && d.removed->cutBy(n))) {
            EXPECT_EQ(r, SmfsResult::Ok) << at << ": folder " << d.path;
        }
    }

    // The card takes a new file, and that write erases the stale copy a cut copy on write
    // left. Every cut that left one is followed that far, and every third of the others.
    const std::string cutPath = pathCutBy(w, n);
    bool staleCopy = false;
    for (bool afterWrite : {false, true}) {
        if (afterWrite) {
            if (!staleCopy && n % 3 != 0) break;
            const std::vector<std::uint8_t> bytes = apiPattern(5000, 99);
            std::vector<std::uint8_t> back;
            EXPECT_EQ(apiWriteFile(card, "vx:\\AFTER.BIN", bytes, 3000), SmfsResult::Ok) << at;
            EXPECT_EQ(apiReadFile(card, "vx:\\AFTER.BIN", &back), SmfsResult::Ok) << at;
            EXPECT_TRUE(back == bytes) << at << ": the file written after the cut";
        }
        SmfsCheckReport report;
        EXPECT_EQ(card.check(&report), SmfsResult::Ok) << at;
        const std::vector<std::uint32_t> cutChain = chainOf(card, cutPath);
        for (const SmfsFinding& f : report.findings) {
            staleCopy = staleCopy || f.kind == SmfsFindingKind::DuplicateBlock;
            EXPECT_TRUE(findingAllowed(card.state(), f, cutPath, afterWrite, cutChain))
                << at << (afterWrite ? ", then a new file" : "") << " (writing '" << cutPath
                << "')\n"
                << apiFindingsText(report);
        }
    }
    return failureParts() == partsBefore;
}

// The points of first..last one run covers: every stride-th, slow times fewer in the slow
// sanitizer build, and the last. Shard k of shards takes every shards-th of them from k.
std::vector<std::uint64_t> points(std::uint64_t first, std::uint64_t last, std::uint64_t stride,
                                  std::uint64_t slow, unsigned shard = 0, unsigned shards = 1) {
#ifdef VELA_POWER_LOSS_SLOW
    stride *= slow;
#endif
    (void)slow;
    std::vector<std::uint64_t> out;
    for (std::uint64_t n = first; n <= last; n += stride)
        if ((n - first) / stride % shards == shard) out.push_back(n);
    if (shard == 0 && (out.empty() || out.back() != last)) out.push_back(last);
    return out;
}

struct CutCase {
    int cardType;
    unsigned shard;
    unsigned shards;
    std::uint64_t stride = 1; // every stride-th write: a large card costs more per cut
};

class PowerLoss : public ::testing::TestWithParam<CutCase> {};

TEST_P(PowerLoss, EveryCutKeepsWhatWasClosed) {
    const CutCase c = GetParam();
    const std::vector<std::uint8_t> start = formattedImage(c.cardType);
    std::vector<Write> log;
    const Workload w = recordWorkload(start, &log);
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(log.size(), w.writes);
    if (c.shard == 0) {
        // The figures of the workload, for the reliability notes.
        const std::uint64_t eraseBytes = std::uint64_t(card_geometry(c.cardType).pagesPerBlock) *
                                         card_page_layout(c.cardType).recordBytes;
        std::string kinds;
        for (const auto& [kind, writes] : w.writesBy)
            kinds += ", " + kind + " " + std::to_string(writes);
        std::printf("power loss, %s card: %llu writes%s; %zu of them whole blocks\n",
                    card_capacity_text(c.cardType), static_cast<unsigned long long>(w.writes),
                    kinds.c_str(),
                    std::size_t(std::count_if(log.begin(), log.end(), [&](const Write& x) {
                        return x.bytes.size() == eraseBytes;
                    })));
    }

    std::vector<std::uint8_t> cut = start;
    std::uint64_t applied = 0;
    std::size_t failures = 0;
    for (std::uint64_t n : points(0, w.writes, c.stride, 2, c.shard, c.shards)) {
        while (applied < n)
            applyWrite(cut, log[applied++]);
        if (!verifyCut(w, cut, n) && ++failures >= 3) break;
    }
}

std::string cutCaseName(const ::testing::TestParamInfo<CutCase>& info) {
    std::string capacity = card_capacity_text(info.param.cardType);
    capacity.erase(std::remove(capacity.begin(), capacity.end(), ' '), capacity.end());
    return capacity + "_part" + std::to_string(info.param.shard);
}

// 256-byte pages (a sector is two programs, so a cut can tear one) and 512-byte pages, and a
// FAT16 card whose two FAT copies lie in different blocks, so a cut can fall between them
// (its 128 MB image is left to the optimised build).
const CutCase kCutCases[] = {CutCase{1, 0, 4},    CutCase{1, 1, 4}, CutCase{1, 2, 4},
                             CutCase{1, 3, 4},    CutCase{2, 0, 4}, CutCase{2, 1, 4},
                             CutCase{2, 2, 4},    CutCase{2, 3, 4},
#ifndef VELA_POWER_LOSS_SLOW
                             CutCase{7, 0, 1, 37}
#endif
};
INSTANTIATE_TEST_SUITE_P(Cards, PowerLoss, ::testing::ValuesIn(kCutCases), cutCaseName);

// ---- Power loss in a write group ----
//
// One operation on many small files, as the manager's copy and delete run them: 150 files
// copied into a folder, 70 of them replaced, then the folder deleted, each step one write
// group. After a cut at any write every file is absent or whole in a version it was given,
// every file of a part of a group written back before the cut is there in that version (or
// gone, once its deletion was written back), and the check finds nothing worse than lost
// clusters.

struct GroupedFile {
    std::string path;
    std::vector<std::vector<std::uint8_t>> versions;
    std::vector<std::uint64_t> keptBy; // the write after which each version is on the card
    std::uint64_t goneBy = ~std::uint64_t(0);
};

class GroupedRun {
public:
    GroupedRun(SmfsCard& card, CutStorage& storage) : card_(card), storage_(storage) {}

    std::vector<GroupedFile> run() {
        card_.beginGroup();
        EXPECT_EQ(card_.mkdir("vx:\\MANY", 0), SmfsResult::Ok);
        for (unsigned i = 0; i < 150; ++i) {
            files_.push_back(GroupedFile{"vx:\\MANY\\F" + std::to_string(i) + ".BIN", {}, {}});
            put(i, 1 + (i * 733) % 9000, 0);
        }
        end();
        card_.beginGroup();
        for (unsigned i = 0; i < 70; ++i)
            put(i, 1 + (i * 389) % 5000, 1);
        end();
        card_.beginGroup();
        EXPECT_EQ(card_.rmdir("vx:\\MANY", 1), SmfsResult::Ok);
        for (std::size_t i = 0; i < files_.size(); ++i)
            pending_.push_back({i, true});
        settleIfCommitted();
        end();
        return std::move(files_);
    }

private:
    void put(unsigned i, std::size_t size, unsigned version) {
        GroupedFile& f = files_[i];
        f.versions.push_back(apiPattern(size, i * 2 + version));
        SmfsHandle h = 0;
        EXPECT_EQ(card_.create(f.path.c_str(), 1, &h), SmfsResult::Ok) << f.path;
        EXPECT_EQ(card_.write(h, f.versions.back().data(), std::uint32_t(size)), SmfsResult::Ok);
        EXPECT_EQ(card_.close(h), SmfsResult::Ok) << f.path;
        pending_.push_back({i, false});
        settleIfCommitted();
    }
    // A group that counted nothing since its last note has just been written back.
    void settleIfCommitted() {
        if (card_.state().group.files == 0) settle();
    }
    void settle() {
        for (auto [i, gone] : pending_) {
            if (gone)
                files_[i].goneBy = storage_.writes;
            else
                files_[i].keptBy.push_back(storage_.writes);
        }
        pending_.clear();
    }
    void end() {
        EXPECT_EQ(card_.endGroup(), SmfsResult::Ok);
        settle();
    }

    SmfsCard& card_;
    CutStorage& storage_;
    std::vector<GroupedFile> files_;
    std::vector<std::pair<std::size_t, bool>> pending_; // written or deleted, not yet kept
};

class GroupedPowerLoss : public ::testing::TestWithParam<int> {};

TEST_P(GroupedPowerLoss, EveryFileIsWholeOrAbsentAndEveryWrittenBackGroupStays) {
    const std::vector<std::uint8_t> start = formattedImage(GetParam());
    std::vector<Write> log;
    CutStorage recording(start);
    recording.log = &log;
    std::vector<GroupedFile> files;
    {
        SmfsCard card(recording, testClock);
        files = GroupedRun(card, recording).run();
    }
    ASSERT_FALSE(HasFailure());
    ASSERT_GT(files[149].keptBy.front(), files[0].keptBy.front()) << "one write-back for all";
    std::printf("grouped power loss, %s card: %zu writes\n", card_capacity_text(GetParam()),
                log.size());

    std::vector<std::uint8_t> cut = start;
    std::size_t failures = 0, applied = 0;
    for (std::uint64_t n : points(0, log.size(), 1, 4)) {
        if (failures >= 3) break;
        while (applied < n)
            applyWrite(cut, log[applied++]);
        const int partsBefore = failureParts();
        const std::string at = "cut after write " + std::to_string(n);
        MemoryStorage storage(cut);
        SmfsCard card(storage, testClock);
        std::uint64_t total = 0, used = 0, free = 0;
        ASSERT_EQ(card.space("vx:", &total, &used, &free), SmfsResult::Ok) << at;
        for (const GroupedFile& f : files) {
            std::vector<std::uint8_t> back;
            const SmfsResult r = apiReadFile(card, f.path, &back);
            // The newest version written back before the cut, if any.
            const std::vector<std::uint8_t>* kept = nullptr;
            for (std::size_t v = 0; v < f.keptBy.size(); ++v)
                if (f.keptBy[v] <= n) kept = &f.versions[v];
            if (f.goneBy <= n) {
                EXPECT_NE(r, SmfsResult::Ok) << at << ": deleted " << f.path << " is back";
            } else if (r == SmfsResult::Ok) {
                const bool known =
                    std::find(f.versions.begin(), f.versions.end(), back) != f.versions.end();
                EXPECT_TRUE(known) << at << ": " << f.path << " reads " << back.size() << " bytes";
            } else {
                EXPECT_EQ(r, SmfsResult::NotFound) << at << ": " << f.path;
                EXPECT_TRUE(kept == nullptr || f.goneBy != ~std::uint64_t(0))
                    << at << ": " << f.path << " was written back, yet is missing";
            }
            if (kept && f.goneBy == ~std::uint64_t(0) && r == SmfsResult::Ok &&
                f.keptBy.back() <= n) {
                EXPECT_TRUE(back == *kept) << at << ": " << f.path << " is not its newest version";
            }
        }
        SmfsCheckReport report;
        EXPECT_EQ(card.check(&report), SmfsResult::Ok) << at;
        for (const SmfsFinding& f : report.findings)
            EXPECT_TRUE(findingAllowed(card.state(), f, "", false, {})) << at << "\n"
                                                                        << apiFindingsText(report);
        if (failureParts() != partsBefore) ++failures;
    }
}

// 256-byte pages (torn sectors) and 512-byte pages.
INSTANTIATE_TEST_SUITE_P(Cards, GroupedPowerLoss, ::testing::Values(1, 2));

// ---- Failing storage calls ----
//
// The same workload on a storage that fails calls, as SQLite's I/O-error tests fail the Nth
// call for every N: call N alone (a transient error) and every call from N on (a disk that
// filled up or went away). The call that fails must make its operation return a failure,
// never success. From N on, the storage must hold exactly the image a power cut before that
// write leaves (which the power-loss test checks in full; every eighth is checked here as
// well); after call N alone, a fresh card on what the storage holds must read back every
// file no failed call touched and show no more than a cut leaves.

struct FaultRun {
    Workload w;
    std::vector<std::uint8_t> bytes;
    std::vector<FaultStorage::Call> calls; // the kind of every call, when recorded
};

FaultRun runWithFaults(const std::vector<std::uint8_t>& start,
                       const std::function<void(FaultStorage&)>& plan, bool record) {
    FaultRun run;
    MemoryStorage memory(start);
    FaultStorage fault(memory);
    if (record) {
        fault.setPlan([&](std::uint64_t, FaultStorage::Call kind) {
            run.calls.push_back(kind);
            return false;
        });
    } else {
        plan(fault);
    }
    SmfsCard card(fault, testClock);
    WorkloadRunner(
        card, [&] { return fault.calls(); }, run.w, record)
        .run();
    run.bytes = memory.bytes();
    return run;
}

// The operation a call belongs to (its index in the workload's operations).
std::size_t opOfCall(const Workload& w, std::uint64_t call) {
    for (std::size_t i = 0; i < w.ops.size(); ++i)
        if (call > w.ops[i].span.first && call <= w.ops[i].span.last) return i;
    return w.ops.size();
}

// A fresh card on what a run with call n failing left: every file the run wrote whole and
// no failed operation touched reads back as written; the check finds nothing but what a
// cut leaves about the paths of failed operations.
void verifyAfterFailure(const Workload& recorded, const FaultRun& run, std::uint64_t n) {
    const std::string at = "call " + std::to_string(n) + " failed";
    std::set<std::string> failed;
    bool formatFailed = false;
    for (const Op& op : run.w.ops) {
        if (op.result == SmfsResult::Ok) continue;
        failed.insert(op.path);
        formatFailed = formatFailed || op.what == "format";
    }
    MemoryStorage storage(run.bytes);
    SmfsCard card(storage, testClock);
    std::uint64_t total = 0, used = 0, free = 0;
    const SmfsResult mounted = card.space("vx:", &total, &used, &free);
    if (formatFailed) {
        // A format cut short may leave anything of the old volume; formatting again works.
        expectFormatsClean(card, at);
        return;
    }
    ASSERT_EQ(mounted, SmfsResult::Ok) << at;
    for (const FileRecord& f : recorded.files) {
        if (f.deleted || f.formatted || failed.count(f.path)) continue;
        std::vector<std::uint8_t> back;
        EXPECT_EQ(apiReadFile(card, f.path, &back), SmfsResult::Ok) << at << ": " << f.path;
        EXPECT_TRUE(back == f.bytes) << at << ": " << f.path << " reads back " << back.size()
                                     << " bytes, not its " << f.bytes.size();
    }
    SmfsCheckReport report;
    ASSERT_EQ(card.check(&report), SmfsResult::Ok) << at;
    std::vector<std::uint32_t> chains;
    for (const std::string& path : failed) {
        const std::vector<std::uint32_t> chain = chainOf(card, path);
        chains.insert(chains.end(), chain.begin(), chain.end());
    }
    for (const SmfsFinding& f : report.findings) {
        const bool allowed =
            failed.count(f.path) != 0 || findingAllowed(card.state(), f, "", false, chains);
        EXPECT_TRUE(allowed) << at << "\n" << apiFindingsText(report);
    }
}

struct FailCase {
    int cardType;
    std::uint64_t stride; // the large-page card's format costs more: every few calls
};

class IoErrors : public ::testing::TestWithParam<FailCase> {};

TEST_P(IoErrors, EveryFailingCallIsReportedAndLosesNothingCommitted) {
    const std::vector<std::uint8_t> start = formattedImage(GetParam().cardType);
    std::vector<Write> log;
    const Workload byWrites = recordWorkload(start, &log);
    const FaultRun recorded = runWithFaults(start, nullptr, true);
    ASSERT_FALSE(HasFailure());
    const std::uint64_t calls = recorded.calls.size();
    ASSERT_GT(calls, 0u);

    std::vector<std::uint8_t> cut = start;
    std::uint64_t applied = 0, cases = 0;
    for (std::uint64_t n : points(1, calls, GetParam().stride, 5)) {
        const auto writesBefore = std::uint64_t(
            std::count(recorded.calls.begin(), recorded.calls.begin() + std::ptrdiff_t(n - 1),
                       FaultStorage::Call::Write));
        const std::size_t op = opOfCall(recorded.w, n);
        ASSERT_LT(op, recorded.w.ops.size()) << "call " << n << " outside every operation";

        // From call n on, every call fails.
        const FaultRun gone = runWithFaults(
            start, [&](FaultStorage& f) { f.failFrom(n); }, false);
        for (std::size_t i = op; i < gone.w.ops.size(); ++i)
            EXPECT_NE(gone.w.ops[i].result, SmfsResult::Ok)
                << "call " << n << " failed for good, yet " << gone.w.ops[i].what << " succeeded";
        while (applied < writesBefore)
            applyWrite(cut, log[applied++]);
        EXPECT_TRUE(gone.bytes == cut) << "from call " << n << " on: not the image of a cut";
        if (n % 8 == 0) {
            EXPECT_TRUE(verifyCut(byWrites, gone.bytes, writesBefore));
        }

        // Call n alone fails.
        const FaultRun once = runWithFaults(
            start, [&](FaultStorage& f) { f.failCall(n); }, false);
        EXPECT_NE(once.w.ops[op].result, SmfsResult::Ok)
            << "call " << n << " failed, yet " << once.w.ops[op].what << " succeeded";
        verifyAfterFailure(recorded.w, once, n);
        cases += 2;
        if (HasFailure()) break;
    }
    std::printf("I/O errors, %s card: %llu storage calls, %llu failing runs checked\n",
                card_capacity_text(GetParam().cardType), static_cast<unsigned long long>(calls),
                static_cast<unsigned long long>(cases));
}

// A storage call failing inside a write group: every file whose calls all succeeded, in a
// group whose end reported success, is on the card whole. A group that lost what it held must
// not end as done.
TEST(IoErrorsInAGroup, AGroupEndsDoneOnlyWhenEveryFileReportedDoneIsThere) {
    const std::vector<std::uint8_t> start = formattedImage(2);
    std::uint64_t calls = 0;
    for (std::uint64_t n = 0, step = 1; n == 0 || n <= calls; n += step) {
        MemoryStorage memory(start);
        FaultStorage fault(memory);
        if (n > 0) fault.failCall(n);
        std::vector<std::pair<std::string, std::vector<std::uint8_t>>> done;
        SmfsResult ended = SmfsResult::Ok;
        {
            SmfsCard card(fault, testClock);
            card.beginGroup();
            for (unsigned i = 0; i < 80; ++i) {
                const std::string path = "vx:\\F" + std::to_string(i) + ".BIN";
                std::vector<std::uint8_t> bytes = apiPattern(100 + i * 37, i);
                if (apiWriteFile(card, path, bytes) == SmfsResult::Ok)
                    done.emplace_back(path, std::move(bytes));
            }
            ended = card.endGroup();
        }
        if (n == 0) {
            calls = fault.calls();
            step = std::max<std::uint64_t>(1, calls / 60);
            ASSERT_EQ(ended, SmfsResult::Ok);
        }
        if (ended != SmfsResult::Ok) continue;
        MemoryStorage after(memory.bytes());
        SmfsCard card(after, testClock);
        for (const auto& [path, bytes] : done) {
            std::vector<std::uint8_t> back;
            EXPECT_EQ(apiReadFile(card, path, &back), SmfsResult::Ok)
                << "call " << n << ": " << path;
            EXPECT_TRUE(back == bytes) << "call " << n << ": " << path;
        }
        if (HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, IoErrors, ::testing::Values(FailCase{1, 1}, FailCase{2, 8}),
                         [](const ::testing::TestParamInfo<FailCase>& info) {
                             return "Type" + std::to_string(info.param.cardType);
                         });

} // namespace
