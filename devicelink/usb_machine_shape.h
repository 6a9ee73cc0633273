// What a machine in 'PC-Link' mode looks like on the USB bus: an interface whose first
// endpoint is bulk IN ("PIPE00") and whose third is bulk OUT ("PIPE02"), in descriptor
// order. Shared by the USB transport and the hot-plug watcher; libusb only.
#pragma once

#include <libusb.h>

inline constexpr int kPipeInIndex = 0;
inline constexpr int kPipeOutIndex = 2;

inline bool bulkEndpoint(const libusb_endpoint_descriptor& endpoint, bool in) {
    return (endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK &&
           ((endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) == in;
}

// Whether an interface setting has the machine's shape.
inline bool machineShaped(const libusb_interface_descriptor& alt) {
    return alt.bNumEndpoints > kPipeOutIndex && bulkEndpoint(alt.endpoint[kPipeInIndex], true) &&
           bulkEndpoint(alt.endpoint[kPipeOutIndex], false);
}

// Whether the device's active configuration has an interface of the machine's shape; false
// when its descriptor cannot be read.
inline bool hasMachineInterface(libusb_device* device) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0) return false;
    bool found = false;
    for (int i = 0; i < config->bNumInterfaces && !found; ++i)
        found = config->interface[i].num_altsetting >= 1 &&
                machineShaped(config->interface[i].altsetting[0]);
    libusb_free_config_descriptor(config);
    return found;
}
