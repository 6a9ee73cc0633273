// SPDX-License-Identifier: MIT
// The seam between the USB transport's own logic and libusb. The transport decides which
// device is the machine, which interface and endpoints its pipes are, and what a refused
// open means; the few calls it makes to the bus go through UsbApi, whose libusb
// implementation is the only code that includes libusb.h. Tests hand the transport and the
// hot-plug filter a bus of their own making.
#pragma once

#include "devicelink/transport.h"
#include "devicelink/usb_hotplug.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// libusb's error codes that the transport tells apart.
inline constexpr int kUsbErrorAccess = -3;
inline constexpr int kUsbErrorNotFound = -5;
inline constexpr int kUsbErrorBusy = -6;

// An endpoint as its descriptor gives it.
struct UsbEndpointInfo {
    std::uint8_t address = 0;    // bit 7 set: IN
    std::uint8_t attributes = 0; // bits 0-1: transfer type, 2 bulk
};
// One interface of the active configuration, by its first setting.
struct UsbInterfaceInfo {
    std::uint8_t number = 0;
    std::vector<UsbEndpointInfo> endpoints; // in descriptor order
};
// A device on the bus. key stays valid until the next listing.
struct UsbDeviceInfo {
    std::uintptr_t key = 0;
    std::uint16_t vendorId = 0, productId = 0;
    std::uint8_t bus = 0, address = 0;
    std::vector<UsbInterfaceInfo> interfaces;
};

// The machine's pipe indices: "PIPE00" is the interface's first endpoint, "PIPE02" its third.
inline constexpr int kPipeInIndex = 0;
inline constexpr int kPipeOutIndex = 2;

// Whether an interface has the machine's shape: bulk IN first, bulk OUT third.
bool machineShaped(const UsbInterfaceInfo& interface);
// Whether a device can be the machine the options look for: the given ids when byId, and
// an interface of the machine's shape.
bool machineDevice(const UsbDeviceInfo& device, const UsbOptions& options);

class UsbApi {
public:
    virtual ~UsbApi() = default;
    // The devices on the bus; false when the library cannot start or list them. Devices
    // whose descriptors cannot be read are left out.
    [[nodiscard]] virtual bool listDevices(std::vector<UsbDeviceInfo>* devices) = 0;
    // Opens device and claims interfaceNumber, then lets both go again: 0 when that worked,
    // or a libusb error code.
    [[nodiscard]] virtual int tryClaim(std::uintptr_t device, int interfaceNumber) = 0;
    // Opens device and claims interfaceNumber for the transfers that follow; 0 or a libusb
    // error code. One device at a time.
    [[nodiscard]] virtual int open(std::uintptr_t device, int interfaceNumber) = 0;
    // Releases and closes the device open.
    virtual void close() = 0;
    // One bulk transfer on endpoint of the open device, as LinkTransport::transfer.
    [[nodiscard]] virtual LinkResult transfer(std::uint8_t endpoint, std::uint8_t* buffer,
                                              std::uint32_t length, std::uint32_t* transferred) = 0;
    // Frames written on endpoint, as LinkTransport::writeFrames.
    [[nodiscard]] virtual LinkResult writeFrames(std::uint8_t endpoint, std::uint8_t* frames,
                                                 std::uint32_t frameBytes, std::uint32_t count,
                                                 std::uint32_t* framesDone,
                                                 const std::function<void()>& frameDone) = 0;
    virtual void cancel() = 0;
    virtual void clearCancel() = 0;
};

// The libusb-1.0 bus.
std::unique_ptr<UsbApi> makeLibusbApi();
// The USB transport over api.
std::unique_ptr<LinkTransport> makeUsbTransport(std::unique_ptr<UsbApi> api,
                                                const UsbOptions& options);

// Which plug events of the bus a watcher reports: arrivals of devices that can be the
// machine, and departures of those. Devices present when watching starts are taken in
// without a report, so that their departure is known.
class HotplugFilter {
public:
    explicit HotplugFilter(const UsbOptions& options) : options_(options) {}
    // The event to report for device arriving or leaving, if any. present: the device was
    // there when watching started.
    std::optional<HotplugEvent> arrived(const UsbDeviceInfo& device, bool present);
    std::optional<HotplugEvent> left(std::uintptr_t device);
    // The devices taken for machines now.
    const std::vector<std::uintptr_t>& machines() const { return machines_; }

private:
    UsbOptions options_;
    std::vector<std::uintptr_t> machines_;
};
