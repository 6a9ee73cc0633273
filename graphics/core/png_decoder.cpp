// SPDX-License-Identifier: MIT
// PNG decoding through libpng, from memory. libpng reports errors by calling a handler that
// must not return, so the handler jumps back here; its warnings (an ancillary chunk's bad
// checksum, an odd colour profile) leave the picture intact and are passed over. The header
// is checked against the picture limits before any row is allocated, and libpng's own chunk
// limits bound what a hostile file can make it allocate. Palette pictures become 8-bit
// pictures (indices unpacked to a byte each, the palette from PLTE, a single fully
// transparent index from tRNS); every other colour type becomes 24 bits per pixel.
#include <png.h>

#include <csetjmp>
#include <cstring>
#include <vector>

#include "graphics/picture_loader.h"

namespace {

// The largest ancillary chunk libpng may buffer, so a hostile length cannot make it allocate
// without end; picture data is not limited by it.
constexpr png_alloc_size_t kMaxChunkBytes = 8u << 20;

// The most that deflate expands its input by.
constexpr std::uint64_t kMaxDeflateRatio = 1032;

struct Source {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at;
};

void onError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

void readData(png_structp png, png_bytep target, png_size_t count) {
    Source* source = static_cast<Source*>(png_get_io_ptr(png));
    if (count > source->size - source->at) png_error(png, "truncated");
    std::memcpy(target, source->data + source->at, count);
    source->at += count;
}

// libpng's structures and the row buffers live in the caller's frame and are reached through
// a reference, so nothing the error jump skips has a destructor to run.
struct Decoder {
    png_structp png = nullptr;
    png_infop info = nullptr;
    Source source{};
    std::vector<png_byte> pixels;
    std::vector<png_bytep> rows;
};

// The index that tRNS makes fully transparent when it is the only one; -1 otherwise.
int singleTransparentIndex(Decoder& d) {
    png_bytep alpha = nullptr;
    int count = 0;
    if (png_get_tRNS(d.png, d.info, &alpha, &count, nullptr) == 0 || alpha == nullptr) return -1;
    int found = -1;
    for (int i = 0; i < count; ++i) {
        if (alpha[i] != 0) continue;
        if (found >= 0) return -1;
        found = i;
    }
    return found;
}

PictureLoadResult decode(Decoder& d, LoadedPicture& out) {
    if (setjmp(png_jmpbuf(d.png))) return PictureLoadResult::DecodeFailed;
    png_set_read_fn(d.png, &d.source, readData);
    png_set_user_limits(d.png, static_cast<png_uint_32>(kMaxPictureSide),
                        static_cast<png_uint_32>(kMaxPictureSide));
    png_set_chunk_malloc_max(d.png, kMaxChunkBytes);
    png_read_info(d.png, d.info);

    const png_uint_32 width = png_get_image_width(d.png, d.info);
    const png_uint_32 height = png_get_image_height(d.png, d.info);
    if (!PictureSizeAllowed(width, height)) return PictureLoadResult::DecodeFailed;
    // Deflate packs at most 1032 bytes into one, so a file too short to hold the picture's rows
    // is refused before they are allocated: a header alone cannot ask for the largest picture.
    const std::uint64_t fileRowBytes = png_get_rowbytes(d.png, d.info) + 1;
    if (fileRowBytes * height > kMaxDeflateRatio * d.source.size)
        return PictureLoadResult::DecodeFailed;
    const int colourType = png_get_color_type(d.png, d.info);
    const bool palettised = colourType == PNG_COLOR_TYPE_PALETTE;
    Picture& picture = out.picture;

    if (palettised) {
        png_colorp entries = nullptr;
        int count = 0;
        if (png_get_PLTE(d.png, d.info, &entries, &count) == 0 || entries == nullptr)
            return PictureLoadResult::DecodeFailed;
        for (int i = 0; i < count; ++i)
            picture.palette.push_back(Rgb{entries[i].red, entries[i].green, entries[i].blue});
        const int transparent = singleTransparentIndex(d);
        out.usesTransparent = transparent >= 0;
        out.transparentIndex = transparent >= 0 ? static_cast<std::uint32_t>(transparent) : 0;
        png_set_packing(d.png);
    } else {
        png_set_scale_16(d.png);
        png_set_strip_alpha(d.png);
        png_set_gray_to_rgb(d.png);
        png_set_expand_gray_1_2_4_to_8(d.png);
    }
    png_set_interlace_handling(d.png);
    png_read_update_info(d.png, d.info);

    const std::size_t stride = png_get_rowbytes(d.png, d.info);
    const std::size_t channels = palettised ? 1 : 3;
    if (stride != std::size_t{width} * channels) return PictureLoadResult::DecodeFailed;
    d.pixels.assign(stride * height, 0);
    d.rows.resize(height);
    for (png_uint_32 y = 0; y < height; ++y)
        d.rows[y] = d.pixels.data() + stride * y;
    png_read_image(d.png, d.rows.data());
    png_read_end(d.png, nullptr);

    picture.width = static_cast<int>(width);
    picture.height = static_cast<int>(height);
    if (palettised) {
        picture.format = PixelFormat::Bits8;
        picture.indices = std::move(d.pixels);
    } else {
        picture.format = PixelFormat::Bits24;
        picture.colors.resize(std::size_t{width} * height);
        for (std::size_t i = 0; i < picture.colors.size(); ++i)
            picture.colors[i] = Rgb{d.pixels[3 * i], d.pixels[3 * i + 1], d.pixels[3 * i + 2]};
    }
    return PictureLoadResult::Ok;
}

} // namespace

PictureLoadResult DecodePng(const std::uint8_t* data, std::size_t size, LoadedPicture& out) {
    out = LoadedPicture{};
    if (data == nullptr || size < 8 || png_sig_cmp(data, 0, 8) != 0)
        return PictureLoadResult::DecodeFailed;
    Decoder d;
    d.source = Source{data, size, 0};
    d.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
    if (d.png == nullptr) return PictureLoadResult::DecodeFailed;
    d.info = png_create_info_struct(d.png);
    PictureLoadResult result = PictureLoadResult::DecodeFailed;
    if (d.info != nullptr) result = decode(d, out);
    png_destroy_read_struct(&d.png, &d.info, nullptr);
    if (result != PictureLoadResult::Ok) out = LoadedPicture{};
    return result;
}
