// SPDX-License-Identifier: MIT
// The encodings are constexpr in the header; the checks below pin the documented values.
#include "graphics/device_format.h"

static_assert(DevicePixel(255, 255, 255) == 0xFFFF);
static_assert(DevicePixel(0, 0, 0) == 0x0001);
static_assert(DevicePaletteEntry(255, 255, 255) == 0xFFFE);
static_assert(ColumnBytes8(5) == 8);
static_assert(ColumnPixels16(5) == 6);
