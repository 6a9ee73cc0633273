// SPDX-License-Identifier: MIT
// JPEG decoding through libjpeg (the IJG API), decompression only. The file is decoded from
// memory by a small source manager. libjpeg's standard error handler ends the process, so an
// error handler is installed that jumps back here instead. Data that ends before the picture
// does is a failure; libjpeg's other warnings (stray bytes between markers, a damaged entropy
// segment it patches over) still deliver every scan line, so the picture is taken and the
// first warning's text handed to the caller to show. Every picture becomes 24 bits
// per pixel: grey pictures are spread to equal red, green and blue, CMYK pictures are
// converted, so that all JPEG pictures take the same save path.
#include <csetjmp>
#include <cstdio>

extern "C" {
#include <jpeglib.h>
}

#include "graphics/picture_loader.h"

namespace {

// Working memory allowed to libjpeg, so a hostile header cannot make it allocate without end.
constexpr long kMaxDecoderMemory = 512L * 1024 * 1024;

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    bool truncated; // the data ran out before the picture did
    bool warned;    // `warning` holds the first warning
    char warning[JMSG_LENGTH_MAX];
};

void onError(j_common_ptr cinfo) {
    ErrorManager* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::longjmp(err->jump, 1);
}

void onMessage(j_common_ptr cinfo, int level) {
    // Level -1 is a warning about the data; positive levels are trace output.
    ErrorManager* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    if (level >= 0 || err->warned) return;
    err->warned = true;
    cinfo->err->format_message(cinfo, err->warning);
}

void onOutput(j_common_ptr) {}

constexpr JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

void initSource(j_decompress_ptr) {}

// Past the end of the buffer: report truncation and feed an end marker so libjpeg stops.
boolean fillInput(j_decompress_ptr cinfo) {
    reinterpret_cast<ErrorManager*>(cinfo->err)->truncated = true;
    cinfo->src->next_input_byte = kEndOfImage;
    cinfo->src->bytes_in_buffer = sizeof kEndOfImage;
    return TRUE;
}

void skipInput(j_decompress_ptr cinfo, long count) {
    if (count <= 0) return;
    jpeg_source_mgr* src = cinfo->src;
    if (static_cast<unsigned long>(count) > src->bytes_in_buffer) {
        src->next_input_byte += src->bytes_in_buffer;
        src->bytes_in_buffer = 0;
        (void)fillInput(cinfo);
        return;
    }
    src->next_input_byte += count;
    src->bytes_in_buffer -= static_cast<std::size_t>(count);
}

void termSource(j_decompress_ptr) {}

// The decoder state lives in the caller's frame and is reached through a reference, so that
// nothing the error jump skips has a destructor and nothing read after the jump was held in
// this function's registers.
struct Decoder {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    jpeg_source_mgr source;
    std::vector<JSAMPLE> row;
};

PictureLoadResult decode(Decoder& d, const std::uint8_t* data, std::size_t size, Picture& out) {
    if (setjmp(d.err.jump)) return PictureLoadResult::DecodeFailed;

    d.source.next_input_byte = data;
    d.source.bytes_in_buffer = size;
    d.cinfo.src = &d.source;
    jpeg_read_header(&d.cinfo, TRUE);
    if (!PictureSizeAllowed(d.cinfo.image_width, d.cinfo.image_height))
        return PictureLoadResult::DecodeFailed;

    const bool cmyk = d.cinfo.jpeg_color_space == JCS_CMYK || d.cinfo.jpeg_color_space == JCS_YCCK;
    if (d.cinfo.jpeg_color_space == JCS_GRAYSCALE)
        d.cinfo.out_color_space = JCS_GRAYSCALE;
    else
        d.cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&d.cinfo);

    const int components = d.cinfo.output_components;
    const std::size_t width = d.cinfo.output_width;
    out.width = static_cast<int>(d.cinfo.output_width);
    out.height = static_cast<int>(d.cinfo.output_height);
    out.format = PixelFormat::Bits24;
    out.colors.assign(width * d.cinfo.output_height, Rgb{});
    d.row.assign(width * static_cast<std::size_t>(components), 0);
    // Adobe writes CMYK inverted; other writers store it plainly.
    const bool inverted = d.cinfo.saw_Adobe_marker;

    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        const std::size_t y = d.cinfo.output_scanline;
        JSAMPROW rows[1] = {d.row.data()};
        // Missing data: stop at once rather than decode the rest of a large picture from
        // nothing.
        if (jpeg_read_scanlines(&d.cinfo, rows, 1) != 1 || d.err.truncated)
            return PictureLoadResult::DecodeFailed;
        Rgb* target = out.colors.data() + y * width;
        for (std::size_t x = 0; x < width; ++x) {
            const JSAMPLE* s = d.row.data() + x * static_cast<std::size_t>(components);
            if (components == 1) {
                target[x] = Rgb{s[0], s[0], s[0]};
            } else if (cmyk && components == 4) {
                auto channel = [&](int c) {
                    const unsigned ink = inverted ? s[c] : 255u - s[c];
                    const unsigned key = inverted ? s[3] : 255u - s[3];
                    return static_cast<std::uint8_t>((ink * key + 127) / 255);
                };
                target[x] = Rgb{channel(0), channel(1), channel(2)};
            } else if (components == 3) {
                target[x] = Rgb{s[0], s[1], s[2]};
            } else {
                return PictureLoadResult::DecodeFailed;
            }
        }
    }
    jpeg_finish_decompress(&d.cinfo);
    return d.err.truncated ? PictureLoadResult::DecodeFailed : PictureLoadResult::Ok;
}

} // namespace

PictureLoadResult DecodeJpeg(const std::uint8_t* data, std::size_t size, Picture& out,
                             std::string* warning) {
    out = Picture{};
    if (data == nullptr || size == 0) return PictureLoadResult::DecodeFailed;
    Decoder d{};
    d.cinfo.err = jpeg_std_error(&d.err.pub);
    d.err.pub.error_exit = onError;
    d.err.pub.emit_message = onMessage;
    d.err.pub.output_message = onOutput;
    d.err.truncated = false;
    d.err.warned = false;
    d.source.init_source = initSource;
    d.source.fill_input_buffer = fillInput;
    d.source.skip_input_data = skipInput;
    d.source.resync_to_restart = jpeg_resync_to_restart;
    d.source.term_source = termSource;

    // jpeg_create_decompress can fail (out of memory); it then jumps like any other error.
    if (setjmp(d.err.jump)) return PictureLoadResult::DecodeFailed;
    jpeg_create_decompress(&d.cinfo);
    d.cinfo.mem->max_memory_to_use = kMaxDecoderMemory;
    const PictureLoadResult result = decode(d, data, size, out);
    jpeg_destroy_decompress(&d.cinfo);
    if (result != PictureLoadResult::Ok) out = Picture{};
    if (warning != nullptr)
        *warning = result == PictureLoadResult::Ok && d.err.warned ? d.err.warning : "";
    return result;
}
