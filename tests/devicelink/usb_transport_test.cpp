// SPDX-License-Identifier: MIT
// The USB transport's own logic over a bus made by the test: which device and interface it
// takes for the machine, which endpoints the pipes are, what a refused open means, and which
// plug events the hot-plug filter reports. The libusb bus itself, with no machine on it, is
// met by the command line's tests.
#include <devicelink/device_link.h>
#include <devicelink/usb_api.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

constexpr std::uint8_t kBulk = 2, kInterrupt = 3;

// A machine-shaped interface: bulk IN 0x81, an interrupt endpoint, bulk OUT 0x02.
UsbInterfaceInfo machineInterface(std::uint8_t number) {
    return {number, {{0x81, kBulk}, {0x83, kInterrupt}, {0x02, kBulk}}};
}

UsbDeviceInfo device(std::uintptr_t key, std::vector<UsbInterfaceInfo> interfaces,
                     std::uint16_t vendor = 0x1234, std::uint16_t product = 0x5678) {
    return {key, vendor, product, 1, std::uint8_t(key), std::move(interfaces)};
}

// A bus of the test's devices; open and claim give the error set per device, and nothing
// answers: reads fail.
class FakeBus final : public UsbApi {
public:
    bool listDevices(std::vector<UsbDeviceInfo>* out) override { return *out = devices, true; }
    int tryClaim(std::uintptr_t device, int) override { return errors[device]; }
    int open(std::uintptr_t device, int interfaceNumber) override {
        if (errors[device] == 0) opened.push_back({device, interfaceNumber});
        return errors[device];
    }
    void close() override { ++closes; }
    LinkResult transfer(std::uint8_t endpoint, std::uint8_t*, std::uint32_t,
                        std::uint32_t*) override {
        endpoints.push_back(endpoint);
        return endpoint & 0x80 ? LinkResult::IoFailed : LinkResult::Ok;
    }
    LinkResult writeFrames(std::uint8_t endpoint, std::uint8_t*, std::uint32_t, std::uint32_t,
                           std::uint32_t*, const std::function<void()>&) override {
        endpoints.push_back(endpoint);
        return LinkResult::Ok;
    }
    void cancel() override {}
    void clearCancel() override {}

    std::vector<UsbDeviceInfo> devices;
    std::map<std::uintptr_t, int> errors;
    std::vector<std::pair<std::uintptr_t, int>> opened;
    std::vector<std::uint8_t> endpoints;
    int closes = 0;
};

} // namespace

TEST(UsbTransportTest, TakesTheFirstMachineItCanOpen) {
    const UsbInterfaceInfo noOut{0, {{0x81, kBulk}, {0x83, kInterrupt}, {0x82, kBulk}}};
    const UsbInterfaceInfo interruptIn{0, {{0x81, kInterrupt}, {0x83, kInterrupt}, {0x02, kBulk}}};
    const UsbInterfaceInfo twoEndpoints{0, {{0x81, kBulk}, {0x02, kBulk}}};
    const struct {
        const char* what;
        std::vector<UsbDeviceInfo> devices;
        std::map<std::uintptr_t, int> errors;
        bool byId;
        std::pair<std::uintptr_t, int> opened; // {0, 0}: none
        LinkResult result;
        // clang-format off
    } cases[] = {
        {"the machine's interface is the second", {device(1, {twoEndpoints, noOut, interruptIn}),
         device(2, {noOut, machineInterface(1)})}, {}, false, {2, 1}, LinkResult::Ok},
        {"the first cannot be opened", {device(1, {machineInterface(0)}),
         device(2, {machineInterface(0)})}, {{1, kUsbErrorBusy}}, false, {2, 0}, LinkResult::Ok},
        {"wrong ids", {device(1, {machineInterface(0)}, 0x1234, 0x9999)}, {}, true, {0, 0},
         LinkResult::NoDevice},
        {"right ids", {device(1, {machineInterface(0)})}, {}, true, {1, 0}, LinkResult::Ok},
        {"not allowed", {device(1, {machineInterface(0)})}, {{1, kUsbErrorAccess}}, false, {0, 0},
         LinkResult::NoPermission},
        {"gone", {device(1, {machineInterface(0)})}, {{1, kUsbErrorNotFound}}, false, {0, 0},
         LinkResult::NoDevice},
        {"no machine shape", {device(1, {twoEndpoints, noOut, interruptIn})}, {}, false, {0, 0},
         LinkResult::NoDevice},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto owned = std::make_unique<FakeBus>();
        FakeBus& bus = *owned;
        bus.devices = c.devices;
        bus.errors = c.errors;
        UsbOptions options;
        options.byId = c.byId;
        options.vendorId = 0x1234;
        options.productId = 0x5678;
        DeviceLink link(makeUsbTransport(std::move(owned), options));
        // No machine answers on this bus: a connect that opened the pipes reads nothing.
        const LinkResult result = link.Connect();
        EXPECT_EQ(result == LinkResult::IoFailed ? LinkResult::Ok : result, c.result);
        if (c.opened.first == 0) {
            EXPECT_TRUE(bus.opened.empty());
            continue;
        }
        ASSERT_EQ(bus.opened.size(), 1u); // once for both pipes
        EXPECT_EQ(bus.opened[0], c.opened);
        EXPECT_EQ(bus.closes, 1); // the failed query closed both pipes
    }
}

TEST(UsbTransportTest, PipesAreTheFirstAndThirdEndpoints) {
    auto owned = std::make_unique<FakeBus>();
    FakeBus& bus = *owned;
    bus.devices = {device(1, {machineInterface(0)})};
    auto transport = makeUsbTransport(std::move(owned), UsbOptions{});
    const PipeHandle in = transport->OpenPipe("PIPE00");
    const PipeHandle out = transport->OpenPipe("PIPE02");
    EXPECT_EQ(transport->OpenPipe("PIPE03"), kInvalidPipe);
    EXPECT_EQ(transport->OpenPipe("PIPE0"), kInvalidPipe);
    std::uint8_t frame[256] = {};
    std::uint32_t done = 0;
    EXPECT_EQ(transport->transfer(in, frame, 256, &done), LinkResult::IoFailed);
    EXPECT_EQ(transport->writeFrames(out, frame, 256, 1, &done, [] {}), LinkResult::Ok);
    EXPECT_EQ(bus.endpoints, (std::vector<std::uint8_t>{0x81, 0x02}));
    // The interface is let go with the last pipe only.
    transport->ClosePipe(in);
    EXPECT_EQ(bus.closes, 0);
    transport->ClosePipe(out);
    EXPECT_EQ(bus.closes, 1);
    EXPECT_EQ(transport->transfer(in, frame, 256, &done), LinkResult::IoFailed);
}

TEST(UsbHotplugTest, ReportsMachinesOnly) {
    UsbOptions options;
    HotplugFilter filter(options);
    const UsbDeviceInfo machine = device(1, {machineInterface(0)});
    const UsbDeviceInfo present = device(2, {machineInterface(0)});
    const UsbDeviceInfo mouse = device(3, {{0, {{0x81, kInterrupt}}}});
    EXPECT_EQ(filter.arrived(present, true), std::nullopt); // there before watching
    EXPECT_EQ(filter.arrived(mouse, false), std::nullopt);
    EXPECT_EQ(filter.arrived(machine, false), HotplugEvent::Arrived);
    EXPECT_EQ(filter.arrived(machine, false), std::nullopt); // told once
    EXPECT_EQ(filter.left(3), std::nullopt);
    EXPECT_EQ(filter.left(1), HotplugEvent::Left);
    EXPECT_EQ(filter.left(1), std::nullopt);
    EXPECT_EQ(filter.left(2), HotplugEvent::Left);
    EXPECT_TRUE(filter.machines().empty());
    // The watcher on this computer's own bus, able to watch or not: a second start says the same.
    auto watcher = makeUsbHotplugWatcher(options);
    const bool watching = watcher->start([](HotplugEvent) {});
    EXPECT_EQ(watcher->start([](HotplugEvent) {}), watching);
    watcher->stop();
    // Where plug events can be watched, libusb runs, and its bus can be listed.
    std::vector<UsbDeviceInfo> devices;
    EXPECT_TRUE(!watching || makeLibusbApi()->listDevices(&devices));
}
