// SPDX-License-Identifier: MIT
// The libusb hot-plug watcher. It registers for arrivals and departures on its own libusb
// context and handles that context's events on a thread of its own, waking every 200 ms to
// see whether it is asked to stop. Which events are reported is HotplugFilter's choice: an
// arrival of a device that can be the machine, the departure of such a device.
#include "devicelink/usb_hotplug.h"

#include "usb_libusb.h"

#include <libusb.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class LibusbHotplugWatcher final : public UsbHotplugWatcher {
public:
    explicit LibusbHotplugWatcher(const UsbOptions& options)
        : options_(options), filter_(options) {}
    ~LibusbHotplugWatcher() override { stop(); }

    bool start(Callback callback) override {
        {
            std::lock_guard lock(mutex_);
            callback_ = std::move(callback);
        }
        if (thread_.joinable()) return true;
        if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) return false;
        if (libusb_init(&context_) != 0) {
            context_ = nullptr;
            return false;
        }
        const int vendor = options_.byId ? options_.vendorId : LIBUSB_HOTPLUG_MATCH_ANY;
        const int product = options_.byId ? options_.productId : LIBUSB_HOTPLUG_MATCH_ANY;
        const auto events = libusb_hotplug_event(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                 LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
        // Devices present now are enumerated as arrivals too, so that their departure is
        // known; they are not reported, as nothing was plugged in.
        starting_ = true;
        const int registered = libusb_hotplug_register_callback(
            context_, events, LIBUSB_HOTPLUG_ENUMERATE, vendor, product, LIBUSB_HOTPLUG_MATCH_ANY,
            &LibusbHotplugWatcher::onEvent, this, &handle_);
        starting_ = false;
        if (registered != LIBUSB_SUCCESS) {
            libusb_exit(context_);
            context_ = nullptr;
            return false;
        }
        running_ = true;
        thread_ = std::thread([this] { run(); });
        return true;
    }

    void stop() override {
        {
            std::lock_guard lock(mutex_);
            callback_ = nullptr;
        }
        if (!thread_.joinable()) return;
        running_ = false;
        // Deregistering wakes the event handling at once.
        libusb_hotplug_deregister_callback(context_, handle_);
        thread_.join();
        for (std::uintptr_t device : filter_.machines())
            libusb_unref_device(reinterpret_cast<libusb_device*>(device));
        filter_ = HotplugFilter(options_);
        libusb_exit(context_);
        context_ = nullptr;
    }

private:
    void run() {
        while (running_) {
            timeval wait{0, 200000};
            (void)libusb_handle_events_timeout_completed(context_, &wait, nullptr);
        }
    }

    static int LIBUSB_CALL onEvent(libusb_context*, libusb_device* device,
                                   libusb_hotplug_event event, void* self) {
        static_cast<LibusbHotplugWatcher*>(self)->handle(device, event);
        return 0; // stay registered
    }

    void handle(libusb_device* device, libusb_hotplug_event event) {
        std::optional<HotplugEvent> report;
        if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
            UsbDeviceInfo info;
            if (!describeDevice(device, &info)) return;
            const std::size_t before = filter_.machines().size();
            report = filter_.arrived(info, starting_);
            // A device taken in is held until it leaves, so its key is not reused.
            if (filter_.machines().size() > before) libusb_ref_device(device);
        } else {
            report = filter_.left(reinterpret_cast<std::uintptr_t>(device));
            if (report) libusb_unref_device(device);
        }
        if (report) deliver(*report);
    }

    void deliver(HotplugEvent event) {
        std::lock_guard lock(mutex_);
        if (callback_) callback_(event);
    }

    const UsbOptions options_;
    libusb_context* context_ = nullptr;
    libusb_hotplug_callback_handle handle_ = 0;
    std::thread thread_;
    std::atomic<bool> running_{false};
    bool starting_ = false;
    std::mutex mutex_;
    Callback callback_;
    HotplugFilter filter_; // touched by libusb's event handling only
};

} // namespace

std::unique_ptr<UsbHotplugWatcher> makeUsbHotplugWatcher(const UsbOptions& options) {
    return std::make_unique<LibusbHotplugWatcher>(options);
}
