// SPDX-License-Identifier: MIT
// What the libusb implementations of the USB seam share: a device's descriptors turned into
// the seam's plain description. libusb only.
#pragma once

#include "devicelink/usb_api.h"

#include <libusb.h>

// Describes device with the first setting of each interface of its active configuration;
// false when its descriptors cannot be read.
bool describeDevice(libusb_device* device, UsbDeviceInfo* info);
