// The USB transport where no machine is plugged in (as on CI): connecting gives
// LINK_NO_DEVICE and prints nothing unless asked to; and the parsing of a user's
// transport choice; the hot-plug watcher starts and stops cleanly.
#include <devicelink/device_link.h>
#include <devicelink/usb_hotplug.h>

#include <gtest/gtest.h>

#include <string>

TEST(UsbTransportTest, NoMachineGivesNoDeviceQuietly) {
    UsbOptions options;
    DeviceLink link(makeUsbTransport(options));
    testing::internal::CaptureStdout();
    const int result = link.Connect();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, LINK_NO_DEVICE);
    EXPECT_EQ(printed, "");
    EXPECT_FALSE(link.connected());
}

TEST(UsbTransportTest, VerboseDiscoverySaysWhatFailed) {
    UsbOptions options;
    options.verbose = true;
    // A vendor and product no machine has, so the test holds on any computer.
    options.byId = true;
    options.vendorId = 0xFFFF;
    options.productId = 0xFFFE;
    DeviceLink link(makeUsbTransport(options));
    testing::internal::CaptureStdout();
    const int result = link.Connect();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, LINK_NO_DEVICE);
    // Both pipes are tried, each with its own discovery.
    EXPECT_EQ(printed, "Failed to GetUsbDeviceFileName\nFailed to GetUsbDeviceFileName\n");
}

TEST(UsbTransportTest, TransportChoices) {
    EXPECT_NE(makeTransport("usb", false), nullptr);
    EXPECT_NE(makeTransport("usb:04b4:8613", false), nullptr);
    EXPECT_NE(makeTransport("unix:/tmp/vela.sock", false), nullptr);
    for (const char* bad : {"", "usb:", "usb:04b4", "usb:04b4:", "usb:xyz:0001", "usb:12345:1",
                            "unix:", "serial:1", "USB"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(makeTransport(bad, false), nullptr);
    }
}

TEST(UsbHotplugTest, WatcherStopsPromptlyAndReportsNothingPresentAtStart) {
    UsbOptions options;
    options.byId = true; // a device no computer has: nothing can arrive during the test
    options.vendorId = 0xFFFF;
    options.productId = 0xFFFE;
    auto watcher = makeUsbHotplugWatcher(options);
    int events = 0;
    if (!watcher->start([&](HotplugEvent) { ++events; }))
        GTEST_SKIP() << "libusb cannot watch plug events here";
    watcher->stop();
    watcher->stop();
    EXPECT_EQ(events, 0);
}
