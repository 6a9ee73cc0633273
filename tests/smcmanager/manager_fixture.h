// SPDX-License-Identifier: MIT
// Shared set-up of the manager core tests: a temporary folder holding the PC files, card
// images and the simulated machine's card, a scripted user, and a manager whose device link
// reaches the simulated machine in-process.
#pragma once

#include "fakes/temp_dir.h"
#include "fakes/test_bytes.h"
#include "scripted_ui.h"

#include <devicelink/device_link.h>
#include <devicelink/sim_machine.h>
#include <smcmanager/card_tables.h>
#include <smcmanager/smc_manager.h>
#include <smfs/smfs.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

inline SmfsDateTime fixedClock() {
    return SmfsDateTime{2002, 7, 31, 9, 5, 0};
}

// The manager the running test drives; the helpers below reach its open card.
inline SmcManager*& currentManager() {
    static SmcManager* manager = nullptr;
    return manager;
}
inline SmfsCard& openCard() {
    return *currentManager()->card();
}

// Writes a card file through the public calls (overwriting it).
inline void cardWrite(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    SmfsHandle handle = 0;
    ASSERT_EQ(openCard().create(path.c_str(), 1, &handle), SmfsResult::Ok) << path;
    if (!bytes.empty()) {
        ASSERT_EQ(openCard().write(handle, bytes.data(), std::uint32_t(bytes.size())),
                  SmfsResult::Ok);
    }
    ASSERT_EQ(openCard().close(handle), SmfsResult::Ok);
}

inline std::vector<std::uint8_t> cardRead(const std::string& path) {
    std::uint32_t size = 0;
    if (openCard().fileSize(path.c_str(), &size) != SmfsResult::Ok) return {};
    SmfsHandle handle = 0;
    if (openCard().open(path.c_str(), kSmfsRead, &handle) != SmfsResult::Ok) return {};
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t count = 0;
    const SmfsResult read = openCard().read(handle, bytes.data(), size, &count);
    EXPECT_TRUE(read == SmfsResult::Ok || read == SmfsResult::EndOfData);
    EXPECT_EQ(openCard().close(handle), SmfsResult::Ok);
    bytes.resize(count);
    return bytes;
}

inline bool cardHas(const std::string& path) {
    SmfsEntryInfo info{};
    return openCard().info(path.c_str(), &info) == SmfsResult::Ok;
}

inline void cardMkdir(const std::string& path) {
    ASSERT_EQ(openCard().mkdir(path.c_str(), 0), SmfsResult::Ok) << path;
}

class ManagerTest : public ::testing::Test {
protected:
    explicit ManagerTest(std::chrono::microseconds second = std::chrono::seconds(1))
        : sim(dir / "machine"), manager(ui, makeLink(sim, second)) {
        manager.setCardClock(fixedClock);
        currentManager() = &manager;
        fs::create_directories(pc());
    }
    ~ManagerTest() override { currentManager() = nullptr; }

    static std::unique_ptr<DeviceLink> makeLink(SimMachine& machine,
                                                std::chrono::microseconds second) {
        LinkOptions options;
        options.secondLength = second;
        return std::make_unique<DeviceLink>(makeSimTransport(machine), options);
    }

    fs::path pc() const { return dir / "pc"; }
    std::string pcPath(const std::string& name) const { return (pc() / name).string(); }
    fs::path machineCard(const std::string& name = "") const {
        return name.empty() ? dir / "machine" : dir / "machine" / name;
    }

    // A blank image of a Samsung card of a size index.
    fs::path blankCard(int sizeIndex = 0, const std::string& name = "card.smc") {
        const fs::path path = dir / name;
        EXPECT_EQ(createVirtualImage(path, 0, sizeIndex), ImageCreateResult::Ok);
        return path;
    }

    // A blank image opened through the manager and formatted on its offer; the messages
    // and questions of that are forgotten.
    void openFormattedCard(int sizeIndex = 0) {
        ui.answers.push_back(true);
        ASSERT_TRUE(manager.openImage(blankCard(sizeIndex)));
        ASSERT_EQ(manager.storageKind(), StorageKind::VirtualCard);
        ui.messages.clear();
        ui.questions.clear();
        ui.recorder = RecordingProgress();
    }

    void connectMachine() {
        ASSERT_TRUE(manager.connectMachine());
        ui.messages.clear();
        ui.recorder = RecordingProgress();
    }

    // Selects the named items of the card list.
    void selectCard(const std::vector<std::string>& names) {
        manager.setCardSelection(indexesOf(manager.cardItems(), names));
    }
    static std::vector<int> indexesOf(const std::vector<ListItem>& items,
                                      const std::vector<std::string>& names) {
        std::vector<int> indexes;
        for (const auto& name : names) {
            const auto it = std::find_if(items.begin(), items.end(), [&](const ListItem& item) {
                return item.caption == name;
            });
            EXPECT_NE(it, items.end()) << "no item " << name;
            indexes.push_back(int(it - items.begin()));
        }
        return indexes;
    }

    // One column of a list, top to bottom.
    template <typename T>
    static std::vector<T> column(const std::vector<ListItem>& items, T ListItem::*field) {
        std::vector<T> out;
        for (const auto& item : items)
            out.push_back(item.*field);
        return out;
    }
    static std::vector<std::string> captions(const std::vector<ListItem>& items) {
        return column(items, &ListItem::caption);
    }

    TempDir dir;
    ScriptedUi ui;
    SimMachine sim;
    SmcManager manager;
};

// The two storages every card operation runs on: a virtual card image, and the simulated
// machine over the device link. Card contents are named as in "ALBUM/A.MP3".
enum class Storage { VirtualCard, Machine };

class StorageTest : public ManagerTest, public ::testing::WithParamInterface<Storage> {
protected:
    bool onMachine() const { return GetParam() == Storage::Machine; }
    void open(int sizeIndex = 0) {
        if (!onMachine()) return openFormattedCard(sizeIndex);
        manager.setMachineFolder(machineCard());
        connectMachine();
    }
    static std::string cardPath(std::string name) {
        std::replace(name.begin(), name.end(), '/', '\\');
        return "vx:\\" + name;
    }
    void put(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        if (onMachine()) return writeFile(machineCard(name), bytes);
        cardWrite(cardPath(name), bytes);
    }
    void mkdir(const std::string& name) {
        if (onMachine()) return (void)fs::create_directories(machineCard(name));
        cardMkdir(cardPath(name));
    }
    bool has(const std::string& name) {
        return onMachine() ? fs::exists(machineCard(name)) : cardHas(cardPath(name));
    }
    std::vector<std::uint8_t> read(const std::string& name) {
        return onMachine() ? readFile(machineCard(name)) : cardRead(cardPath(name));
    }
};

inline std::string storageName(const ::testing::TestParamInfo<Storage>& info) {
    return info.param == Storage::Machine ? "Machine" : "VirtualCard";
}
#define VELA_ON_BOTH_STORAGES(suite)                                                               \
    INSTANTIATE_TEST_SUITE_P(                                                                      \
        Storages, suite, ::testing::Values(Storage::VirtualCard, Storage::Machine), storageName)
