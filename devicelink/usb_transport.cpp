// The USB transport over libusb-1.0. Discovery (GetUsbDeviceFileName) walks the devices on
// the bus and takes the first interface shaped like the machine's: endpoint 0 bulk IN,
// endpoint 2 bulk OUT, in descriptor order, which is what the pipe names "PIPE00" and
// "PIPE02" stand for. A candidate only counts when it can be opened and claimed. OpenPipe
// discovers again, as the machine may have been replaced, then opens and claims the
// interface once for both pipes; a pipe handle is the endpoint's index. A machine that is
// there but that the system does not let this user open (LIBUSB_ERROR_ACCESS: no udev rule
// gives the logged-in user the device) is told apart from no machine at all.
//
// A transfer is one asynchronous bulk transfer without a time limit of its own, driven by
// libusb's event handling on the worker thread; cancel() cancels it with
// libusb_cancel_transfer, which is safe from any thread. The discovery lines are printed
// on standard output only when the verbose flag is on.
#include "devicelink/transport.h"

#include "usb_machine_shape.h"

#include <libusb.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

bool sameGuid(const LinkGuid& a, const LinkGuid& b) {
    return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
           std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

// "PIPEnn" is endpoint nn of the interface; -1 for any other name.
int pipeIndex(const char* name) {
    if (std::strncmp(name, "PIPE", 4) != 0) return -1;
    const char* digits = name + 4;
    if (std::strlen(digits) != 2 || digits[0] < '0' || digits[0] > '9' || digits[1] < '0' ||
        digits[1] > '9')
        return -1;
    return (digits[0] - '0') * 10 + (digits[1] - '0');
}

void LIBUSB_CALL transferDone(libusb_transfer* transfer) {
    *static_cast<int*>(transfer->user_data) = 1;
}

class UsbTransport final : public LinkTransport {
public:
    explicit UsbTransport(const UsbOptions& options) : options_(options) {}

    ~UsbTransport() override {
        closeDevice();
        if (found_) libusb_unref_device(found_);
        if (context_) libusb_exit(context_);
    }

    // Finds the first present interface of the machine's kind that can be opened and
    // leaves its device path in path; false when there is none.
    bool GetUsbDeviceFileName(const LinkGuid& guid, char* path, std::size_t pathSize) {
        if (!sameGuid(guid, LINK_INTERFACE_GUID) || !initLibrary()) return false;
        libusb_device** devices = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &devices);
        if (count < 0) return false;
        bool found = false;
        for (ssize_t i = 0; i < count && !found; ++i)
            found = tryDevice(devices[i], path, pathSize);
        libusb_free_device_list(devices, 1);
        return found;
    }

    PipeHandle OpenPipe(const char* pipeName) override {
        failure_ = OpenFailure::NoDevice;
        refused_ = false;
        if (!GetUsbDeviceFileName(LINK_INTERFACE_GUID, completeDeviceName_,
                                  sizeof completeDeviceName_)) {
            say("Failed to GetUsbDeviceFileName\n");
            if (refused_) failure_ = OpenFailure::NoPermission;
            return kInvalidPipe;
        }
        const std::size_t used = std::strlen(completeDeviceName_);
        std::snprintf(completeDeviceName_ + used, sizeof completeDeviceName_ - used, "\\%s",
                      pipeName);
        say("completeDeviceName = (%s)\n", completeDeviceName_);

        const int index = pipeIndex(pipeName);
        if (index < 0 || index >= int(foundEndpoints_.size())) {
            say("Failed to open (%s) = %d", completeDeviceName_, LIBUSB_ERROR_NOT_FOUND);
            return kInvalidPipe;
        }
        // The other pipe may already hold the interface; a different device cannot be
        // opened beside it.
        if (handle_ && (openDevicePath_ != foundPath_)) {
            say("Failed to open (%s) = %d", completeDeviceName_, LIBUSB_ERROR_BUSY);
            return kInvalidPipe;
        }
        if (!handle_) {
            const int error = openDevice();
            if (error == LIBUSB_ERROR_ACCESS) failure_ = OpenFailure::NoPermission;
            if (error != 0) {
                say("Failed to open (%s) = %d", completeDeviceName_, error);
                return kInvalidPipe;
            }
        }
        ++openPipes_;
        say("Opened successfully.\n");
        return index;
    }

    OpenFailure lastOpenFailure() const override { return failure_; }

    void ClosePipe(PipeHandle) override {
        if (openPipes_ > 0 && --openPipes_ == 0) closeDevice();
    }

    int transfer(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                 std::uint32_t* transferred) override {
        if (!handle_ || pipe < 0 || pipe >= int(endpoints_.size())) return kTransferFailed;
        libusb_transfer* usb = libusb_alloc_transfer(0);
        if (!usb) return kTransferFailed;
        int completed = 0;
        libusb_fill_bulk_transfer(usb, handle_, endpoints_[std::size_t(pipe)], buffer, int(length),
                                  transferDone, &completed, 0);
        {
            std::lock_guard lock(cancelMutex_);
            if (cancelled_ || libusb_submit_transfer(usb) != 0) {
                const bool cancelled = cancelled_;
                libusb_free_transfer(usb);
                return cancelled ? kTransferCancelled : kTransferFailed;
            }
            current_ = usb;
        }
        while (!completed) {
            const int error = libusb_handle_events_completed(context_, &completed);
            // Event handling that fails cannot be waited out: give the transfer up, and
            // keep handling events until libusb has let go of it.
            if (error != 0 && error != LIBUSB_ERROR_INTERRUPTED) libusb_cancel_transfer(usb);
        }
        {
            std::lock_guard lock(cancelMutex_);
            current_ = nullptr;
        }
        int result = kTransferFailed;
        if (usb->status == LIBUSB_TRANSFER_COMPLETED) {
            *transferred = std::uint32_t(usb->actual_length);
            result = kTransferDone;
        } else if (usb->status == LIBUSB_TRANSFER_CANCELLED) {
            result = kTransferCancelled;
        }
        libusb_free_transfer(usb);
        return result;
    }

    void cancel() override {
        std::lock_guard lock(cancelMutex_);
        cancelled_ = true;
        if (current_) libusb_cancel_transfer(current_);
    }

    void clearCancel() override {
        std::lock_guard lock(cancelMutex_);
        cancelled_ = false;
    }

private:
    template <typename... Args> void say(const char* format, Args... args) {
        if (!options_.verbose) return;
        std::printf(format, args...);
        std::fflush(stdout);
    }
    void say(const char* text) {
        if (!options_.verbose) return;
        std::fputs(text, stdout);
        std::fflush(stdout);
    }

    bool initLibrary() {
        if (context_) return true;
        if (initFailed_) return false;
        initFailed_ = libusb_init(&context_) != 0;
        if (initFailed_) context_ = nullptr;
        return !initFailed_;
    }

    // Tries every interface of device that has the machine's shape; true when one opens.
    bool tryDevice(libusb_device* device, char* path, std::size_t pathSize) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != 0) return false;
        if (options_.byId && (descriptor.idVendor != options_.vendorId ||
                              descriptor.idProduct != options_.productId))
            return false;
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_active_config_descriptor(device, &config) != 0) return false;
        bool found = false;
        for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
            if (config->interface[i].num_altsetting < 1) continue;
            const libusb_interface_descriptor& alt = config->interface[i].altsetting[0];
            if (!machineShaped(alt)) continue;
            char candidate[64];
            std::snprintf(candidate, sizeof candidate, "/dev/bus/usb/%03u/%03u:%u",
                          unsigned(libusb_get_bus_number(device)),
                          unsigned(libusb_get_device_address(device)),
                          unsigned(alt.bInterfaceNumber));
            say("Attempting to open %s\n", candidate);
            if (!(handle_ && openDevicePath_ == candidate) &&
                !trialOpen(device, alt.bInterfaceNumber)) {
                say("FAILED to open %s\n", candidate);
                continue;
            }
            std::snprintf(path, pathSize, "%s", candidate);
            if (found_) libusb_unref_device(found_);
            found_ = libusb_ref_device(device);
            foundPath_ = candidate;
            foundInterface_ = alt.bInterfaceNumber;
            foundEndpoints_.clear();
            for (int e = 0; e < alt.bNumEndpoints; ++e)
                foundEndpoints_.push_back(alt.endpoint[e].bEndpointAddress);
            found = true;
        }
        libusb_free_config_descriptor(config);
        return found;
    }

    bool trialOpen(libusb_device* device, int interfaceNumber) {
        libusb_device_handle* handle = nullptr;
        if (const int error = libusb_open(device, &handle); error != 0) {
            refused_ = refused_ || error == LIBUSB_ERROR_ACCESS;
            return false;
        }
        libusb_set_auto_detach_kernel_driver(handle, 1);
        const bool claimed = libusb_claim_interface(handle, interfaceNumber) == 0;
        if (claimed) libusb_release_interface(handle, interfaceNumber);
        libusb_close(handle);
        return claimed;
    }

    int openDevice() {
        libusb_device_handle* handle = nullptr;
        if (const int error = libusb_open(found_, &handle); error != 0) return error;
        libusb_set_auto_detach_kernel_driver(handle, 1);
        if (const int error = libusb_claim_interface(handle, foundInterface_); error != 0) {
            libusb_close(handle);
            return error;
        }
        handle_ = handle;
        interface_ = foundInterface_;
        openDevicePath_ = foundPath_;
        endpoints_ = foundEndpoints_;
        return 0;
    }

    void closeDevice() {
        if (!handle_) return;
        libusb_release_interface(handle_, interface_);
        libusb_close(handle_);
        handle_ = nullptr;
        openPipes_ = 0;
        openDevicePath_.clear();
    }

    const UsbOptions options_;
    libusb_context* context_ = nullptr;
    OpenFailure failure_ = OpenFailure::NoDevice;
    bool refused_ = false; // the last discovery met a machine it was not allowed to open
    bool initFailed_ = false;
    char completeDeviceName_[256] = {};

    // What the last discovery found.
    libusb_device* found_ = nullptr;
    std::string foundPath_;
    int foundInterface_ = 0;
    std::vector<std::uint8_t> foundEndpoints_;

    // The open device, shared by both pipes.
    libusb_device_handle* handle_ = nullptr;
    int interface_ = 0;
    std::string openDevicePath_;
    std::vector<std::uint8_t> endpoints_;
    int openPipes_ = 0;

    std::mutex cancelMutex_;
    bool cancelled_ = false;
    libusb_transfer* current_ = nullptr;
};

} // namespace

std::unique_ptr<LinkTransport> makeUsbTransport(const UsbOptions& options) {
    return std::make_unique<UsbTransport>(options);
}
