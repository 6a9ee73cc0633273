#include "api_card.h"

#include "smfs/fat.h"

#include <algorithm>
#include <cstdio>

SmfsDateTime apiTestClock() {
    return SmfsDateTime{2024, 5, 17, 13, 45, 30};
}

ApiCard::ApiCard(int cardType, bool format) : image_(cardType) {
    smfs_set_image(image_.stream());
    smfs_set_clock(apiTestClock);
    EXPECT_EQ(smfs_init(), SmfsResult::Ok);
    if (format) {
        std::uint32_t bad = 0;
        EXPECT_EQ(smfs_format("vx:", 0, &bad), SmfsResult::Ok);
        EXPECT_EQ(bad, 0u);
    }
}

ApiCard::~ApiCard() {
    smfs_set_clock(nullptr);
}

std::uint32_t ApiCard::clusterBytes() const {
    return fat_cluster_bytes(0);
}

std::vector<std::uint8_t> apiPattern(std::size_t size, unsigned seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = 0x9E3779B9u * (seed + 1);
    for (std::size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<std::uint8_t>(x);
    }
    return bytes;
}

SmfsResult apiWriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes,
                        std::uint32_t pieceBytes) {
    SmfsHandle h = 0;
    SmfsResult r = smfs_create(path.c_str(), 1, &h);
    if (r != SmfsResult::Ok) return r;
    for (std::size_t done = 0; done < bytes.size();) {
        const auto n = std::uint32_t(std::min<std::size_t>(pieceBytes, bytes.size() - done));
        r = smfs_write(h, bytes.data() + done, n);
        if (r != SmfsResult::Ok) {
            (void)smfs_close(h);
            return r;
        }
        done += n;
    }
    return smfs_close(h);
}

SmfsResult apiReadFile(const std::string& path, std::vector<std::uint8_t>* bytes) {
    bytes->clear();
    std::uint32_t size = 0;
    SmfsResult r = smfs_file_size(path.c_str(), &size);
    if (r != SmfsResult::Ok) return r;
    SmfsHandle h = 0;
    r = smfs_open(path.c_str(), kSmfsRead, &h);
    if (r != SmfsResult::Ok) return r;
    bytes->resize(size);
    std::uint32_t count = 0;
    r = smfs_read(h, bytes->data(), size, &count);
    bytes->resize(count);
    const SmfsResult c = smfs_close(h);
    if (r != SmfsResult::Ok && r != SmfsResult::EndOfData) return r;
    return c;
}

std::vector<std::string> apiList(const std::string& path, SmfsResult* result) {
    std::vector<std::string> names;
    char slots[32 * kSmfsNameSlotBytes];
    SmfsResult r = SmfsResult::Ok;
    for (std::uint32_t first = 0;; first += 32) {
        std::uint32_t delivered = 0;
        r = smfs_list(path.c_str(), first, 32, slots, &delivered);
        for (std::uint32_t i = 0; i < delivered; ++i)
            names.emplace_back(slots + i * kSmfsNameSlotBytes);
        if (r != SmfsResult::Ok) break;
    }
    if (result) *result = r == SmfsResult::EndOfData ? SmfsResult::Ok : r;
    return names;
}

std::string apiDateText(const SmfsEntryInfo& info) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", int(info.year),
                  int(info.month), int(info.day), int(info.hour), int(info.minute),
                  2 * int(info.seconds2));
    return text;
}

std::uint64_t apiFreeBytes() {
    std::uint64_t total = 0, used = 0, free = 0;
    EXPECT_EQ(smfs_space("vx:", &total, &used, &free), SmfsResult::Ok);
    return free;
}

std::string apiFindingsText(const SmfsCheckReport& report) {
    std::string text;
    for (const SmfsFinding& f : report.findings)
        text += std::string(smfs_finding_name(f.kind)) + ": " + f.text + "\n";
    return text;
}
