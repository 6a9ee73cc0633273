// SPDX-License-Identifier: MIT
// The libusb-1.0 side of the USB seam: listing the bus, opening and claiming an interface,
// and bulk transfers. A transfer is asynchronous, without a time limit of its own, driven by
// libusb's event handling on the calling (worker) thread; cancel() cancels what is in flight
// with libusb_cancel_transfer, which is safe from any thread. A run of frames keeps several
// transfers queued, so the cable does not wait for the PC between two frames.
#include "usb_libusb.h"

#include <algorithm>
#include <deque>
#include <mutex>

static_assert(kUsbErrorAccess == LIBUSB_ERROR_ACCESS);
static_assert(kUsbErrorNotFound == LIBUSB_ERROR_NOT_FOUND);
static_assert(kUsbErrorBusy == LIBUSB_ERROR_BUSY);

bool describeDevice(libusb_device* device, UsbDeviceInfo* info) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0) return false;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0) return false;
    info->key = reinterpret_cast<std::uintptr_t>(device);
    info->vendorId = descriptor.idVendor;
    info->productId = descriptor.idProduct;
    info->bus = libusb_get_bus_number(device);
    info->address = libusb_get_device_address(device);
    info->interfaces.clear();
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        if (config->interface[i].num_altsetting < 1) continue;
        const libusb_interface_descriptor& alt = config->interface[i].altsetting[0];
        UsbInterfaceInfo interface;
        interface.number = alt.bInterfaceNumber;
        for (int e = 0; e < alt.bNumEndpoints; ++e)
            interface.endpoints.push_back(
                {alt.endpoint[e].bEndpointAddress, alt.endpoint[e].bmAttributes});
        info->interfaces.push_back(std::move(interface));
    }
    libusb_free_config_descriptor(config);
    return true;
}

namespace {

// How many frames of a run are queued with the host controller at once.
constexpr std::size_t kFramesInFlight = 8;

void LIBUSB_CALL transferDone(libusb_transfer* transfer) {
    *static_cast<int*>(transfer->user_data) = 1;
}

class LibusbApi final : public UsbApi {
public:
    ~LibusbApi() override {
        close();
        forgetList();
        if (context_) libusb_exit(context_);
    }

    bool listDevices(std::vector<UsbDeviceInfo>* devices) override {
        devices->clear();
        if (!initLibrary()) return false;
        forgetList();
        const ssize_t count = libusb_get_device_list(context_, &list_);
        if (count < 0) {
            list_ = nullptr;
            return false;
        }
        for (ssize_t i = 0; i < count; ++i) {
            UsbDeviceInfo info;
            if (describeDevice(list_[i], &info)) devices->push_back(std::move(info));
        }
        return true;
    }

    int tryClaim(std::uintptr_t device, int interfaceNumber) override {
        libusb_device_handle* handle = nullptr;
        if (const int error = openClaimed(device, interfaceNumber, &handle); error != 0)
            return error;
        libusb_release_interface(handle, interfaceNumber);
        libusb_close(handle);
        return 0;
    }

    int open(std::uintptr_t device, int interfaceNumber) override {
        close();
        if (const int error = openClaimed(device, interfaceNumber, &handle_); error != 0)
            return error;
        interface_ = interfaceNumber;
        return 0;
    }

    void close() override {
        if (!handle_) return;
        libusb_release_interface(handle_, interface_);
        libusb_close(handle_);
        handle_ = nullptr;
    }

    LinkResult transfer(std::uint8_t endpoint, std::uint8_t* buffer, std::uint32_t length,
                        std::uint32_t* transferred) override {
        std::uint32_t done = 0;
        const LinkResult result = run(endpoint, buffer, length, 1, &done, transferred, nullptr);
        return result;
    }

    LinkResult writeFrames(std::uint8_t endpoint, std::uint8_t* frames, std::uint32_t frameBytes,
                           std::uint32_t count, std::uint32_t* framesDone,
                           const std::function<void()>& frameDone) override {
        std::uint32_t last = 0;
        return run(endpoint, frames, frameBytes, count, framesDone, &last, &frameDone);
    }

    void cancel() override {
        std::lock_guard lock(cancelMutex_);
        cancelled_ = true;
        for (libusb_transfer* transfer : inFlight_)
            libusb_cancel_transfer(transfer);
    }

    void clearCancel() override {
        std::lock_guard lock(cancelMutex_);
        cancelled_ = false;
    }

private:
    struct Slot {
        libusb_transfer* transfer = nullptr;
        int completed = 0;
    };

    bool initLibrary() {
        if (context_) return true;
        if (initFailed_) return false;
        initFailed_ = libusb_init(&context_) != 0;
        if (initFailed_) context_ = nullptr;
        return !initFailed_;
    }

    void forgetList() {
        if (list_) libusb_free_device_list(list_, 1);
        list_ = nullptr;
    }

    static int openClaimed(std::uintptr_t device, int interfaceNumber,
                           libusb_device_handle** handle) {
        if (const int error = libusb_open(reinterpret_cast<libusb_device*>(device), handle);
            error != 0) {
            *handle = nullptr;
            return error;
        }
        libusb_set_auto_detach_kernel_driver(*handle, 1);
        if (const int error = libusb_claim_interface(*handle, interfaceNumber); error != 0) {
            libusb_close(*handle);
            *handle = nullptr;
            return error;
        }
        return 0;
    }

    // count transfers of length bytes each from buffer on endpoint, at most kFramesInFlight
    // queued at a time, in order. *framesDone counts those completed whole before the first
    // that was not; *lastLength is the byte count of the last one completed.
    LinkResult run(std::uint8_t endpoint, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t count, std::uint32_t* framesDone, std::uint32_t* lastLength,
                   const std::function<void()>* frameDone) {
        *framesDone = 0;
        if (!handle_) return LinkResult::IoFailed;
        std::deque<Slot> queue;
        std::uint32_t submitted = 0;
        LinkResult result = LinkResult::Ok;
        bool stop = false;
        for (;;) {
            while (!stop && submitted < count && queue.size() < kFramesInFlight) {
                Slot slot;
                slot.transfer = libusb_alloc_transfer(0);
                if (!slot.transfer) {
                    result = LinkResult::IoFailed;
                    stop = true;
                    break;
                }
                queue.push_back(slot);
                Slot& queued = queue.back();
                libusb_fill_bulk_transfer(queued.transfer, handle_, endpoint,
                                          buffer + std::size_t(submitted) * length, int(length),
                                          transferDone, &queued.completed, 0);
                std::lock_guard lock(cancelMutex_);
                if (cancelled_ || libusb_submit_transfer(queued.transfer) != 0) {
                    result = cancelled_ ? LinkResult::Canceled : LinkResult::IoFailed;
                    libusb_free_transfer(queued.transfer);
                    queue.pop_back();
                    stop = true;
                    break;
                }
                inFlight_.push_back(queued.transfer);
                ++submitted;
            }
            if (queue.empty()) return result;
            Slot& head = queue.front();
            while (!head.completed) {
                const int error = libusb_handle_events_completed(context_, &head.completed);
                // Event handling that fails cannot be waited out: give the transfers up,
                // and keep handling events until libusb has let go of them.
                if (error != 0 && error != LIBUSB_ERROR_INTERRUPTED) cancel();
            }
            libusb_transfer* transfer = head.transfer;
            {
                std::lock_guard lock(cancelMutex_);
                inFlight_.erase(std::find(inFlight_.begin(), inFlight_.end(), transfer));
            }
            const bool whole = transfer->status == LIBUSB_TRANSFER_COMPLETED;
            if (whole && result == LinkResult::Ok) {
                *lastLength = std::uint32_t(transfer->actual_length);
                ++*framesDone;
                if (frameDone) (*frameDone)();
            } else if (result == LinkResult::Ok) {
                result = transfer->status == LIBUSB_TRANSFER_CANCELLED ? LinkResult::Canceled
                                                                       : LinkResult::IoFailed;
                // The ones queued behind it go too.
                stop = true;
                cancelQueued(queue);
            }
            libusb_free_transfer(transfer);
            queue.pop_front();
        }
    }

    void cancelQueued(const std::deque<Slot>& queue) {
        std::lock_guard lock(cancelMutex_);
        for (const Slot& slot : queue)
            if (!slot.completed) libusb_cancel_transfer(slot.transfer);
    }

    libusb_context* context_ = nullptr;
    bool initFailed_ = false;
    libusb_device** list_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    int interface_ = 0;

    std::mutex cancelMutex_;
    bool cancelled_ = false;
    std::vector<libusb_transfer*> inFlight_;
};

} // namespace

std::unique_ptr<UsbApi> makeLibusbApi() {
    return std::make_unique<LibusbApi>();
}
