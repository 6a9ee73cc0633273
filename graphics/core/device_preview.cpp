// SPDX-License-Identifier: MIT
// The device preview and the palette reduction.
#include "graphics/device_preview.h"

#include <cstddef>

#include "graphics/device_format.h"

Rgb DeviceColour(Rgb colour) {
    return Rgb{Expand5(colour.red >> 3), Expand5(colour.green >> 3), Expand5(colour.blue >> 3)};
}

PreviewImage DevicePreview(const Picture& picture, const PaletteTable& palette, bool useTransparent,
                           std::uint32_t transIndex) {
    PreviewImage out;
    out.width = picture.width;
    out.height = picture.height;
    const std::size_t count =
        static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height);
    out.colors.resize(count);
    out.transparent.assign(count, 0);
    const bool palettised = picture.isPalettised();
    // Sizes of a broken picture must not lead past its buffers.
    if (palettised ? picture.indices.size() < count : picture.colors.size() < count) return out;
    for (std::size_t i = 0; i < count; ++i) {
        if (palettised) {
            const std::uint8_t index = picture.indices[i];
            const PaletteEntry& e = palette[index];
            out.colors[i] = DeviceColour(Rgb{e.red, e.green, e.blue});
            out.transparent[i] = useTransparent && index == transIndex;
        } else {
            out.colors[i] = DeviceColour(picture.colors[i]);
        }
    }
    return out;
}

void ReduceToDevicePalette(PaletteTable& table) {
    for (PaletteEntry& e : table) {
        e.red &= 0xF8;
        e.green &= 0xF8;
        e.blue &= 0xF8;
    }
}
