// SPDX-License-Identifier: MIT
// Power loss and failing storage calls at every step of a workload: single operations (files
// in uneven pieces, an append, folders, deletes, a format) and write groups as the manager's
// copy and delete run them. After a recording run, for every N (every few on the large card
// and under the sanitizers):
//  - Cut: writes after the Nth may not persist, so a power loss leaves writes 1..N.
//  - Fail: storage call N alone fails, and every call from N on fails (a disk gone). The
//    failing call's operation must report failure, and every later one from N on; after a
//    single failure the card goes on working.
// A fresh card on what is left must mount, read every entry as its last committed version (or
// one begun since, whole), never bring back a deleted one, and its check may report no more
// than lost clusters, a stale block copy while an operation was under way, sectors torn in
// blocks nothing uses and findings on an entry whose operation was cut or failed.
#include "test_card.h"

#include "smfs/ecc.h"
#include "smfs/fat.h"

#include <smfs/tools.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>

namespace {

constexpr std::uint64_t kNever = ~std::uint64_t(0);

using Write = std::pair<std::uint64_t, std::vector<std::uint8_t>>; // where, what

// An image in memory that counts, and may log, every write the card makes.
class LogStorage final : public SmfsStorage {
public:
    explicit LogStorage(std::vector<std::uint8_t> bytes) : memory(std::move(bytes)) {}
    MemoryStorage memory;
    std::vector<Write>* log = nullptr;
    std::uint64_t writes = 0;
    SmfsResult read(std::uint64_t offset, std::uint8_t* buffer, std::size_t length,
                    std::size_t* got) override {
        return memory.read(offset, buffer, length, got);
    }
    SmfsResult write(std::uint64_t offset, const std::uint8_t* data, std::size_t length) override {
        ++writes;
        if (log) log->emplace_back(offset, std::vector<std::uint8_t>(data, data + length));
        return memory.write(offset, data, length);
    }
    SmfsResult sync() override { return SmfsResult::Ok; }
    SmfsResult size(std::uint64_t* bytes) override { return memory.size(bytes); }
};

// What a workload promises, in steps (writes or storage calls).
struct Version {
    std::vector<std::uint8_t> bytes;
    std::uint64_t from = 0, kept = kNever; // begun after this step, committed by this one
};

struct Entry {
    std::string path;
    bool folder = false;
    std::vector<Version> versions;
    std::uint64_t goneFrom = kNever, gone = kNever; // its deletion begun, committed
    bool uncertain = false;                         // an operation on it failed
};

struct Op {
    std::string what;
    std::uint64_t first = 0, last = 0;
    SmfsResult result = SmfsResult::Ok; // its first failure
};

struct Record {
    std::vector<Entry> entries;
    std::vector<Op> ops;
    std::uint64_t steps = 0;
};

// A workload "what path size piece; ..." on paths below the root: 'd' makes a folder, 'f'
// writes a file of size bytes in pieces, 'a' appends as much to one, 'x' deletes a file, 'r'
// a folder and all in it, 'F' formats; 'b' and 'e' begin and end a write group.
const std::string kSingle =
    "d GAMES; d MUSIC; f A.BIN 0 1000; f GAMES\\DEMO.QXE 5000 1000; f B.TXT 511 511;"
    "f GAMES\\C.DAT 4096 4096; f MUSIC\\D.MID 4097 700; f E.BIN 20000 3000; f F.BIN 1 1;"
    "d GAMES\\LEVELS; f GAMES\\LEVELS\\L1.DAT 9000 2500; x B.TXT; f G.BIN 12000 5000;"
    "r MUSIC; f H.BIN 700 300; x E.BIN; d TMP; r TMP; F; f I.BIN 3000 1024; d SAVE;"
    "f SAVE\\J.SAV 6000 1500; f SAVE\\K.SAV 513 100; f L.BIN 8192 8192; f M.BIN 2000 2000;"
    "x I.BIN; f N.BIN 16385 4000; f SAVE\\O.SAV 300 300; f P.BIN 4095 1365;"
    "f Q.BIN 24000 6000; a M.BIN 5000 1200; x SAVE\\K.SAV; f R.BIN 100 100";

// 150 files copied into two folders (the first outgrows a cluster of the 2 MB card), every
// other one replaced, then the second folder deleted, each step one group.
std::string grouped() {
    std::string script = "b; d MANY; d MANY\\OLD";
    for (unsigned i = 0; i < 225; ++i) {
        const unsigned f = i < 150 ? i : (i - 150) * 2;
        script += std::string(i == 150 ? "; e; b" : "") + "; f MANY\\" + (f < 140 ? "" : "OLD\\") +
                  "F" + std::to_string(f) + " " +
                  std::to_string(i < 150 ? 1 + (f * 733) % 9000 : 1 + (f * 389) % 5000) + " 9000";
    }
    return script + "; e; b; r MANY\\OLD; e";
}

// Runs a workload, counting steps with `steps`. With check set every call must succeed (the
// recording run); otherwise an operation that failed leaves what it touched uncertain. A
// change is committed when its operation ends, or in a write group once the group holds
// nothing more.
Record runSteps(SmfsCard& card, const std::string& load,
                const std::function<std::uint64_t()>& steps, bool check) {
    Record r;
    std::vector<std::pair<std::size_t, bool>> pending; // written or deleted, not yet kept
    std::vector<std::size_t> inGroup;
    const auto ok = [&](SmfsResult result) {
        if (r.ops.back().result == SmfsResult::Ok) r.ops.back().result = result;
        EXPECT_TRUE(!check || result == SmfsResult::Ok) << r.ops.back().what << int(result);
    };
    std::istringstream in(load);
    for (std::string item; std::getline(in, item, ';');) {
        char what = 0;
        std::string path;
        std::size_t size = 0;
        std::uint32_t piece = 0;
        std::istringstream(item) >> what >> path >> size >> piece;
        path = "vx:\\" + path;
        r.ops.push_back(Op{std::string(1, what) + " " + path, steps(), 0});
        // The live entries it changes: the path's, all below a folder deleted, all formatted.
        std::vector<std::size_t> touched;
        for (std::size_t i = 0; i < r.entries.size() && what != 'b'; ++i)
            if (r.entries[i].goneFrom == kNever &&
                (what == 'F' || r.entries[i].path == path ||
                 (what == 'r' && r.entries[i].path.starts_with(path + "\\"))))
                touched.push_back(i);
        if (touched.empty() && (what == 'd' || what == 'f')) {
            r.entries.push_back(Entry{path, what == 'd', {}});
            touched.push_back(r.entries.size() - 1);
        }
        std::vector<Version>* v = touched.empty() ? nullptr : &r.entries[touched[0]].versions;
        std::uint32_t bad = 0;
        SmfsHandle h = 0;
        const std::vector<std::uint8_t> more = apiPattern(size, unsigned(r.ops.size()));
        if (what == 'b') {
            card.beginGroup();
        } else if (what == 'e') {
            ok(card.endGroup());
        } else if (what == 'd') {
            v->push_back(Version{{}, steps()});
            ok(card.mkdir(path.c_str(), 0));
        } else if (what == 'x' || what == 'r') {
            ok(what == 'x' ? card.remove(path.c_str()) : card.rmdir(path.c_str(), 1));
        } else if (what == 'F') {
            ok(card.format("vx:", 0, &bad));
        } else { // written in pieces and closed (outside a group synced: the manager's commit)
            v->push_back(Version{what == 'a' ? v->back().bytes : more, steps()});
            if (what == 'a') {
                v->back().bytes.insert(v->back().bytes.end(), more.begin(), more.end());
                ok(card.open(path.c_str(), kSmfsReadWrite, &h));
                ok(card.seek(h, kSmfsSeekEnd, 0, nullptr));
            } else {
                ok(card.create(path.c_str(), 1, &h));
            }
            for (std::size_t done = 0; done < size; done += piece)
                ok(card.write(h, more.data() + done,
                              std::uint32_t(std::min<std::size_t>(piece, size - done))));
            ok(card.close(h));
            if (card.state().group.depth == 0) ok(card.sync());
        }
        Op& op = r.ops.back();
        op.last = steps();
        const bool failed = op.result != SmfsResult::Ok;
        for (std::size_t i : touched) {
            Entry& e = r.entries[i];
            e.uncertain |= failed;
            if (what == 'x' || what == 'r' || what == 'F')
                e.goneFrom = std::min(e.goneFrom, op.first);
            pending.emplace_back(i, e.goneFrom != kNever);
            inGroup.push_back(i);
        }
        for (std::size_t i : what == 'e' ? inGroup : std::vector<std::size_t>())
            r.entries[i].uncertain |= failed;
        if (what == 'e') inGroup.clear();
        const WriteGroup& g = card.state().group;
        if (g.depth == 0 || (g.files == 0 && g.sectors.empty())) {
            for (auto [i, removes] : pending)
                (removes ? r.entries[i].gone : r.entries[i].versions.back().kept) = steps();
            pending.clear();
        }
    }
    r.steps = steps();
    return r;
}

struct LoadRun {
    Record rec;
    std::vector<std::uint8_t> bytes;  // the storage afterwards
    std::vector<Write> writes;        // on the recording run
    SmfsResult next = SmfsResult::Ok; // one more file written on the same card after a failure
};

// Runs a workload on a copy of start in steps of writes or of storage calls; without a failure
// plan it is the recording run: every call must succeed, and it logs every write.
LoadRun runLoad(const std::string& load, const std::vector<std::uint8_t>& start, bool byWrites,
                const std::function<void(FaultStorage&)>& plan = nullptr) {
    LoadRun run;
    LogStorage log(start);
    FaultStorage fault(log);
    log.log = plan ? nullptr : &run.writes;
    if (plan) plan(fault);
    SmfsCard card(fault, testClock);
    run.rec = runSteps(
        card, load, [&] { return byWrites ? log.writes : fault.calls(); }, !plan);
    run.bytes = log.memory.bytes();
    if (plan) {
        fault.clear();
        run.next = apiWriteFile(card, "vx:\\NEXT.BIN", apiPattern(700, 7));
    }
    return run;
}

// True when a physical block holds nothing the mounted volume uses: a copy of its logical
// block that the map does not read, or a data block whose clusters are free or in the chains
// excused.
bool blockUnused(CardState& card, std::int64_t physBlock,
                 const std::vector<std::uint32_t>& excused) {
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
            std::find(excused.begin(), excused.end(), c) == excused.end())
            return false;
    }
    return true;
}

// Opens a fresh card on image and checks every promise of rec at step n; with `after` set,
// and after every cut that left a stale block copy, a file written next must read back and
// the check must then find no stale copy.
void verify(const Record& rec, bool torn, const std::vector<std::uint8_t>& image, std::uint64_t n,
            const std::string& at, bool after) {
    MemoryStorage storage(image);
    SmfsCard card(storage, testClock);
    std::uint64_t total = 0, used = 0, free = 0;
    const SmfsResult mounted = card.space("vx:", &total, &used, &free);
    for (const Op& op : rec.ops) {
        if (op.what[0] != 'F' ||
            (op.result == SmfsResult::Ok && (n <= op.first || n >= op.last) && n != op.first + 1))
            continue;
        // A format cut short may leave any volume or none; formatting again works.
        EXPECT_TRUE(mounted == SmfsResult::Ok || mounted == SmfsResult::Unformatted ||
                    mounted == SmfsResult::Damaged)
            << at;
        std::uint32_t bad = 0;
        EXPECT_EQ(card.format("vx:", 0, &bad), SmfsResult::Ok) << at;
        SmfsCheckReport report;
        EXPECT_EQ(card.check(&report), SmfsResult::Ok) << at;
        EXPECT_TRUE(report.clean()) << at << "\n" << apiFindingsText(report);
        return;
    }
    ASSERT_EQ(mounted, SmfsResult::Ok) << at;
    std::set<std::string> excused;
    for (const Entry& e : rec.entries) {
        const bool cut = std::any_of(e.versions.begin(), e.versions.end(),
                                     [&](const Version& v) { return v.from < n && n < v.kept; });
        if (e.uncertain || (torn && cut)) excused.insert(e.path);
        if (e.uncertain) continue;
        std::vector<std::uint8_t> back;
        SmfsEntryInfo info{};
        const SmfsResult r =
            e.folder ? card.info(e.path.c_str(), &info) : apiReadFile(card, e.path, &back);
        const std::string what = at + ": " + e.path;
        if (e.gone <= n) {
            EXPECT_NE(r, SmfsResult::Ok) << what << " is back after its deletion";
            continue;
        }
        std::ptrdiff_t kept = -1;
        for (std::size_t v = 0; v < e.versions.size(); ++v)
            if (e.versions[v].kept <= n) kept = std::ptrdiff_t(v);
        if (r != SmfsResult::Ok) {
            EXPECT_TRUE(kept < 0 || e.goneFrom < n) << what << " is missing: " << int(r);
            continue;
        }
        bool known = e.folder || (torn && kept < 0);
        for (auto v = std::size_t(std::max<std::ptrdiff_t>(kept, 0)); v < e.versions.size(); ++v)
            known = known || ((std::ptrdiff_t(v) == kept || e.versions[v].from < n) &&
                              e.versions[v].bytes == back);
        EXPECT_TRUE(known) << what << " reads " << back.size() << " bytes, no version it had";
    }
    std::vector<std::uint32_t> chains; // the clusters of the entries excused
    for (const std::string& path : excused) {
        SmfsEntryInfo info{};
        for (std::uint32_t c = card.info(path.c_str(), &info) == SmfsResult::Ok ? info.firstCluster
                                                                                : 0;
             fat_is_data_cluster(card.state(), c) && chains.size() < 65536;
             c = fat_entry(card.state(), c))
            chains.push_back(c);
    }
    // Only a cut inside an operation, or a failed one, may leave a stale copy behind.
    const bool midOp = std::any_of(rec.ops.begin(), rec.ops.end(), [&](const Op& op) {
        return op.result != SmfsResult::Ok || (op.first < n && n < op.last);
    });
    bool staleCopy = false;
    for (bool afterWrite : {false, true}) {
        if (afterWrite) {
            if (!staleCopy && !after) break;
            const std::vector<std::uint8_t> bytes = apiPattern(5000, 99);
            std::vector<std::uint8_t> back;
            EXPECT_EQ(apiWriteFile(card, "vx:\\AFTER.BIN", bytes, 3000), SmfsResult::Ok) << at;
            EXPECT_EQ(apiReadFile(card, "vx:\\AFTER.BIN", &back), SmfsResult::Ok) << at;
            EXPECT_TRUE(back == bytes) << at << ": the file written afterwards";
        }
        SmfsCheckReport report;
        EXPECT_EQ(card.check(&report), SmfsResult::Ok) << at;
        // Findings that mean nothing was lost. A stale block copy (or FAT copies in different
        // blocks that differ) is left only by an operation cut or failed, until the next write.
        for (const SmfsFinding& f : report.findings) {
            using K = SmfsFindingKind;
            staleCopy = staleCopy || f.kind == K::DuplicateBlock;
            const bool stale = f.kind == K::DuplicateBlock || f.kind == K::FatCopiesDiffer;
            const bool block = f.kind == K::EccCorrected || f.kind == K::EccUncorrectable ||
                               f.kind == K::EccCodeDamaged || f.kind == K::AddressFieldsDiffer;
            EXPECT_TRUE(f.kind == K::LostClusters || (stale && midOp && !afterWrite) ||
                        (block && blockUnused(card.state(), f.physBlock, chains)) ||
                        (!stale && !block && excused.count(f.path) != 0))
                << at << (afterWrite ? ", then a new file\n" : "\n") << apiFindingsText(report);
        }
    }
}

struct Case {
    bool grouped; // the workload: single operations or write groups
    bool fail;    // failing storage calls, or power cuts
    int cardType;
    std::uint64_t stride; // every stride-th step: a large card costs more per step
    std::uint64_t slow;   // and so many times fewer under the sanitizers
    unsigned shard = 0, shards = 1;

    // The steps first..last this case covers: every stride-th, in shards, and the last.
    std::vector<std::uint64_t> points(std::uint64_t first, std::uint64_t last) const {
#ifdef VELA_SANITIZED
        const std::uint64_t by = stride * slow;
#else
        const std::uint64_t by = stride;
#endif
        std::vector<std::uint64_t> out;
        for (std::uint64_t n = first; n <= last; n += by)
            if ((n - first) / by % shards == shard) out.push_back(n);
        if (shard == 0 && (out.empty() || out.back() != last)) out.push_back(last);
        return out;
    }
};

class PowerLoss : public ::testing::TestWithParam<Case> {};

TEST_P(PowerLoss, NothingCommittedIsLostAndNoFailureReportsSuccess) {
    const Case c = GetParam();
    const bool cut = !c.fail;
    const std::vector<std::uint8_t> start = TestCard(c.cardType, true).bytes();
    const std::string load = c.grouped ? grouped() : kSingle;
    const LoadRun rec = runLoad(load, start, cut);
    ASSERT_FALSE(HasFailure());
    // The image a power loss after write n leaves.
    std::vector<std::uint8_t> image = start;
    std::size_t applied = 0;
    const auto cutAt = [&](std::uint64_t n) -> const std::vector<std::uint8_t>& {
        for (; applied < n; ++applied) {
            const auto& [offset, bytes] = rec.writes[applied];
            image.resize(std::max<std::size_t>(image.size(), offset + bytes.size()));
            std::copy(bytes.begin(), bytes.end(), image.begin() + std::ptrdiff_t(offset));
        }
        return image;
    };
    std::uint64_t cases = 0;
    for (std::uint64_t n : c.points(cut ? 0 : 1, rec.rec.steps)) {
        if (HasFailure()) break;
        const std::string at = (cut ? "cut after write " : "call ") + std::to_string(n);
        cases += cut ? 1 : 2;
        if (cut) {
            verify(rec.rec, !c.grouped, cutAt(n), n, at, !c.grouped && n % 3 == 0);
            continue;
        }
        const auto& ops = rec.rec.ops;
        std::size_t op = 0;
        while (op < ops.size() && !(ops[op].first < n && n <= ops[op].last))
            ++op;
        ASSERT_LT(op, ops.size()) << at << " outside every operation";

        // From call n on, every call fails: every operation that reaches the storage fails,
        // and what it holds (a cut before that call) passes the checks, every eighth n.
        const LoadRun gone = runLoad(load, start, false, [&](FaultStorage& f) { f.failFrom(n); });
        for (std::size_t i = op; i < gone.rec.ops.size(); ++i)
            EXPECT_TRUE(gone.rec.ops[i].result != SmfsResult::Ok ||
                        gone.rec.ops[i].first == gone.rec.ops[i].last)
                << at << " failed for good, yet " << gone.rec.ops[i].what << " succeeded";
        if (n % 8 == 0) verify(rec.rec, !c.grouped, gone.bytes, n - 1, at + " on", false);

        // Call n alone fails: its operation reports it, and the card goes on working.
        const LoadRun once = runLoad(load, start, false, [&](FaultStorage& f) { f.failCall(n); });
        EXPECT_NE(once.rec.ops[op].result, SmfsResult::Ok)
            << at << " failed, yet " << once.rec.ops[op].what << " succeeded";
        EXPECT_TRUE(once.next == SmfsResult::Ok || once.rec.ops[op].what[0] == 'F')
            << "the file written after " << at << " failed: " << int(once.next);
        verify(once.rec, !c.grouped, once.bytes, once.rec.steps, at + " failed", false);
    }
    std::printf("%s, %s load, %s card: %llu %s, %llu cases checked (part %u of %u)\n",
                cut ? "power loss" : "I/O errors", c.grouped ? "grouped" : "single",
                card_capacity_text(c.cardType), static_cast<unsigned long long>(rec.rec.steps),
                cut ? "writes" : "storage calls", static_cast<unsigned long long>(cases),
                c.shard + 1, c.shards);
}

// 256-byte pages (a sector is two programs, so a cut can tear one) and 512-byte pages, and a
// FAT16 card whose two FAT copies lie in different blocks (its 128 MB image is left to the
// optimised build).
constexpr bool kS = false, kG = true;
constexpr bool kCut = false, kFail = true;
const Case kCases[] = {
    {kS, kCut, 1, 1, 2},        {kS, kCut, 2, 1, 2},        {kG, kCut, 1, 1, 4},
    {kG, kCut, 2, 1, 4},        {kS, kFail, 1, 1, 5, 0, 4}, {kS, kFail, 1, 1, 5, 1, 4},
    {kS, kFail, 1, 1, 5, 2, 4}, {kS, kFail, 1, 1, 5, 3, 4}, {kS, kFail, 2, 8, 5},
    {kG, kFail, 2, 58, 5},
#ifndef VELA_SANITIZED
    {kS, kCut, 7, 37, 1},
#endif
};

INSTANTIATE_TEST_SUITE_P(Cards, PowerLoss, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             const Case& c = info.param;
                             return std::string(c.fail ? "Fail" : "Cut") +
                                    (c.grouped ? "Grouped" : "Single") + "_Type" +
                                    std::to_string(c.cardType) + "_" + std::to_string(c.shard);
                         });

} // namespace
