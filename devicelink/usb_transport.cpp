// SPDX-License-Identifier: MIT
// The USB transport. Discovery (GetUsbDeviceFileName) walks the devices on the bus and takes
// the first interface shaped like the machine's: endpoint 0 bulk IN, endpoint 2 bulk OUT, in
// descriptor order, which is what the pipe names "PIPE00" and "PIPE02" stand for. A
// candidate only counts when it can be opened and claimed. OpenPipe discovers again, as the
// machine may have been replaced, then opens and claims the interface once for both pipes;
// a pipe handle is the endpoint's index. A machine that is there but that the system does
// not let this user open (no udev rule gives the logged-in user the device) is told apart
// from no machine at all. The bus is reached through UsbApi only; the discovery lines are
// printed on standard output when the verbose flag is on.
#include "devicelink/usb_api.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint8_t kTypeMask = 0x03;
constexpr std::uint8_t kTypeBulk = 0x02;
constexpr std::uint8_t kDirectionIn = 0x80;

bool bulkEndpoint(const UsbEndpointInfo& endpoint, bool in) {
    return (endpoint.attributes & kTypeMask) == kTypeBulk &&
           ((endpoint.address & kDirectionIn) != 0) == in;
}

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

class UsbTransport final : public LinkTransport {
public:
    UsbTransport(std::unique_ptr<UsbApi> api, const UsbOptions& options)
        : api_(std::move(api)), options_(options) {}

    ~UsbTransport() override { closeDevice(); }

    // Finds the first present interface of the machine's kind that can be opened and
    // leaves its device path in path; false when there is none.
    bool GetUsbDeviceFileName(const LinkGuid& guid, char* path, std::size_t pathSize) {
        std::vector<UsbDeviceInfo> devices;
        if (!sameGuid(guid, LINK_INTERFACE_GUID) || !api_->listDevices(&devices)) return false;
        for (const UsbDeviceInfo& device : devices)
            if (machineDevice(device, options_) && tryDevice(device, path, pathSize)) return true;
        return false;
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
        if (index < 0 || index >= int(found_.endpoints.size())) {
            say("Failed to open (%s) = %d", completeDeviceName_, kUsbErrorNotFound);
            return kInvalidPipe;
        }
        // The other pipe may already hold the interface; a different device cannot be
        // opened beside it.
        if (open_ && openPath_ != found_.path) {
            say("Failed to open (%s) = %d", completeDeviceName_, kUsbErrorBusy);
            return kInvalidPipe;
        }
        if (!open_) {
            const int error = api_->open(found_.device, found_.interface);
            if (error == kUsbErrorAccess) failure_ = OpenFailure::NoPermission;
            if (error != 0) {
                say("Failed to open (%s) = %d", completeDeviceName_, error);
                return kInvalidPipe;
            }
            open_ = true;
            openPath_ = found_.path;
            endpoints_ = found_.endpoints;
        }
        ++openPipes_;
        say("Opened successfully.\n");
        return index;
    }

    OpenFailure lastOpenFailure() const override { return failure_; }

    void ClosePipe(PipeHandle) override {
        if (openPipes_ > 0 && --openPipes_ == 0) closeDevice();
    }

    LinkResult transfer(PipeHandle pipe, std::uint8_t* buffer, std::uint32_t length,
                        std::uint32_t* transferred) override {
        if (!validPipe(pipe)) return LinkResult::IoFailed;
        return api_->transfer(endpoints_[std::size_t(pipe)], buffer, length, transferred);
    }

    LinkResult writeFrames(PipeHandle pipe, std::uint8_t* frames, std::uint32_t frameBytes,
                           std::uint32_t count, std::uint32_t* framesDone,
                           const std::function<void()>& frameDone) override {
        *framesDone = 0;
        if (!validPipe(pipe)) return LinkResult::IoFailed;
        return api_->writeFrames(endpoints_[std::size_t(pipe)], frames, frameBytes, count,
                                 framesDone, frameDone);
    }

    void cancel() override { api_->cancel(); }
    void clearCancel() override { api_->clearCancel(); }

private:
    struct Found {
        std::uintptr_t device = 0;
        std::string path;
        int interface = 0;
        std::vector<std::uint8_t> endpoints; // addresses, in descriptor order
    };

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

    bool validPipe(PipeHandle pipe) const {
        return open_ && pipe >= 0 && pipe < int(endpoints_.size());
    }

    // Tries every interface of device that has the machine's shape; true when one opens.
    bool tryDevice(const UsbDeviceInfo& device, char* path, std::size_t pathSize) {
        for (const UsbInterfaceInfo& interface : device.interfaces) {
            if (!machineShaped(interface)) continue;
            char candidate[64];
            std::snprintf(candidate, sizeof candidate, "/dev/bus/usb/%03u/%03u:%u",
                          unsigned(device.bus), unsigned(device.address),
                          unsigned(interface.number));
            say("Attempting to open %s\n", candidate);
            // The interface this transport holds open cannot be claimed a second time.
            if (!(open_ && openPath_ == candidate)) {
                if (const int error = api_->tryClaim(device.key, interface.number); error != 0) {
                    refused_ = refused_ || error == kUsbErrorAccess;
                    say("FAILED to open %s\n", candidate);
                    continue;
                }
            }
            std::snprintf(path, pathSize, "%s", candidate);
            found_ = {device.key, candidate, interface.number, {}};
            for (const UsbEndpointInfo& endpoint : interface.endpoints)
                found_.endpoints.push_back(endpoint.address);
            return true;
        }
        return false;
    }

    void closeDevice() {
        if (!open_) return;
        api_->close();
        open_ = false;
        openPipes_ = 0;
        openPath_.clear();
    }

    const std::unique_ptr<UsbApi> api_;
    const UsbOptions options_;
    OpenFailure failure_ = OpenFailure::NoDevice;
    bool refused_ = false; // the last discovery met a machine it was not allowed to open
    char completeDeviceName_[256] = {};
    Found found_; // what the last discovery found

    // The open device, shared by both pipes.
    bool open_ = false;
    std::string openPath_;
    std::vector<std::uint8_t> endpoints_;
    int openPipes_ = 0;
};

} // namespace

bool machineShaped(const UsbInterfaceInfo& interface) {
    return interface.endpoints.size() > std::size_t(kPipeOutIndex) &&
           bulkEndpoint(interface.endpoints[kPipeInIndex], true) &&
           bulkEndpoint(interface.endpoints[kPipeOutIndex], false);
}

bool machineDevice(const UsbDeviceInfo& device, const UsbOptions& options) {
    if (options.byId &&
        (device.vendorId != options.vendorId || device.productId != options.productId))
        return false;
    for (const UsbInterfaceInfo& interface : device.interfaces)
        if (machineShaped(interface)) return true;
    return false;
}

std::optional<HotplugEvent> HotplugFilter::arrived(const UsbDeviceInfo& device, bool present) {
    for (std::uintptr_t known : machines_)
        if (known == device.key) return std::nullopt;
    if (!machineDevice(device, options_)) return std::nullopt;
    machines_.push_back(device.key);
    if (present) return std::nullopt;
    return HotplugEvent::Arrived;
}

std::optional<HotplugEvent> HotplugFilter::left(std::uintptr_t device) {
    for (auto it = machines_.begin(); it != machines_.end(); ++it) {
        if (*it != device) continue;
        machines_.erase(it);
        return HotplugEvent::Left;
    }
    return std::nullopt;
}

std::unique_ptr<LinkTransport> makeUsbTransport(std::unique_ptr<UsbApi> api,
                                                const UsbOptions& options) {
    return std::make_unique<UsbTransport>(std::move(api), options);
}

std::unique_ptr<LinkTransport> makeUsbTransport(const UsbOptions& options) {
    return makeUsbTransport(makeLibusbApi(), options);
}
