// SPDX-License-Identifier: MIT
// Notice of a machine being plugged in or pulled out. A watcher reports "arrived" when a USB
// device with the machine's interface (or the vendor and product ids it is told) appears,
// and "left" when such a device goes away. Events come on the watcher's own thread; a
// window hands them to its own thread before acting on them.
//
// The libusb watcher uses libusb's hot-plug notification where the platform has it and
// reports that it cannot watch elsewhere; tests use an in-process watcher they trigger.
#pragma once

#include "devicelink/transport.h"

#include <functional>
#include <memory>

enum class HotplugEvent { Arrived, Left };

class UsbHotplugWatcher {
public:
    using Callback = std::function<void(HotplugEvent)>;

    virtual ~UsbHotplugWatcher() = default;
    // Starts delivering events to callback; false when plug events cannot be watched here
    // (no hot-plug support, or libusb could not start). A second start replaces callback.
    [[nodiscard]] virtual bool start(Callback callback) = 0;
    // Stops delivering; no callback runs once it has returned.
    virtual void stop() = 0;
};

// The watcher over libusb hot-plug notification, looking for what options select.
std::unique_ptr<UsbHotplugWatcher> makeUsbHotplugWatcher(const UsbOptions& options);

// An in-process watcher: plug() and unplug() deliver the events at once on the caller's
// thread while started.
class FakeHotplugWatcher final : public UsbHotplugWatcher {
public:
    bool start(Callback callback) override {
        callback_ = std::move(callback);
        return true;
    }
    void stop() override { callback_ = nullptr; }
    void plug() { deliver(HotplugEvent::Arrived); }
    void unplug() { deliver(HotplugEvent::Left); }

private:
    void deliver(HotplugEvent event) {
        if (callback_) callback_(event);
    }
    Callback callback_;
};
