#include "delivery/picture_encode.h"

#include "delivery/jpeg_errors.h"

#include <algorithm>
#include <cstdio>
#include <new>

namespace
{

// The library's destination manager over a vector that doubles whenever the
// library fills it, up to limit bytes: even noise takes about 0.6 bytes a
// pixel at the library's default quality, so one byte a pixel holds any
// picture, and a bounded output keeps the memory of picture work bounded.
struct VectorDestination {
    jpeg_destination_mgr manager; // first: the library sees only this part
    std::vector<uint8_t>* out = nullptr;
    size_t limit = 0;
};

VectorDestination* destination_of(j_compress_ptr info)
{
    return reinterpret_cast<VectorDestination*>(info->dest);
}

void destination_init(j_compress_ptr info)
{
    VectorDestination* d = destination_of(info);
    d->manager.next_output_byte = d->out->data();
    d->manager.free_in_buffer = d->out->size();
}

boolean destination_grow(j_compress_ptr info)
{
    VectorDestination* d = destination_of(info);
    // The library calls this only when the whole room is used.
    const size_t used = d->out->size();
    bool grown = used < d->limit;
    try {
        if (grown) {
            d->out->resize(std::min(used * 2, d->limit));
        }
    } catch (...) {
        grown = false;
    }
    if (!grown) {
        ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
    }
    d->manager.next_output_byte = d->out->data() + used;
    d->manager.free_in_buffer = d->out->size() - used;
    return TRUE;
}

void destination_term(j_compress_ptr info)
{
    VectorDestination* d = destination_of(info);
    d->out->resize(d->out->size() - d->manager.free_in_buffer);
}

struct EncodeJob {
    JpegErrorJump error;
    jpeg_compress_struct info;
    VectorDestination destination;
    bool created = false;

    EncodeJob() = default;
    EncodeJob(const EncodeJob&) = delete;
    EncodeJob& operator=(const EncodeJob&) = delete;
    ~EncodeJob()
    {
        if (created) {
            jpeg_destroy_compress(&info);
        }
    }
};

// The work that may jump back to the recovery point: only plain values on
// this stack.
[[gnu::noinline]] void encode_steps(EncodeJob& job, const RgbImage& image)
{
    jpeg_compress_struct& info = job.info;
    jpeg_create_compress(&info);
    job.created = true;
    job.destination.manager.init_destination = destination_init;
    job.destination.manager.empty_output_buffer = destination_grow;
    job.destination.manager.term_destination = destination_term;
    info.dest = &job.destination.manager;
    info.image_width = static_cast<JDIMENSION>(image.width);
    info.image_height = static_cast<JDIMENSION>(image.height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_start_compress(&info, TRUE);
    for (int y = 0; y < image.height; ++y) {
        JSAMPROW row[1] = {const_cast<JSAMPLE*>(image.row(y))};
        jpeg_write_scanlines(&info, row, 1);
    }
    jpeg_finish_compress(&info);
}

bool run_encoder(EncodeJob& job, const RgbImage& image)
{
    job.info.err = jpeg_error_jump_init(job.error);
    if (setjmp(job.error.recovery)) {
        return false;
    }
    encode_steps(job, image);
    return true;
}

bool resize_output(std::vector<uint8_t>& out, size_t size)
{
    try {
        out.resize(size);
    } catch (...) {
        out.clear();
        return false;
    }
    return true;
}

} // namespace

size_t encode_jpeg(const RgbImage& image, std::vector<uint8_t>& out)
{
    // A photo at the default quality takes well under half a byte per pixel;
    // the room doubles for one that does not.
    const size_t limit = std::max<size_t>(image.bytes() / 3, 4096);
    if (image.width <= 0 || image.height <= 0 ||
        !resize_output(out, std::min(std::max<size_t>(image.bytes() / 8, 4096), limit))) {
        return 0;
    }
    EncodeJob job;
    job.destination.out = &out;
    job.destination.limit = limit;
    if (!run_encoder(job, image)) {
        fputs("Error on encoding JPEG  - skipped", stdout);
        fflush(stdout);
        out.clear();
        return 0;
    }
    return out.size();
}

size_t encode_yuv420(const RgbImage& image, std::vector<uint8_t>& out)
{
    const int w = image.width;
    const int h = image.height;
    const size_t chroma_w = static_cast<size_t>(w + 1) / 2;
    const size_t chroma_h = static_cast<size_t>(h + 1) / 2;
    const size_t luma = static_cast<size_t>(w) * h;
    const size_t plane = chroma_w * chroma_h;
    if (w <= 0 || h <= 0 || !resize_output(out, luma + 2 * plane)) {
        return 0;
    }
    uint8_t* y_plane = out.data();
    for (size_t i = 0; i < luma; ++i) {
        const uint8_t* p = image.pixels.get() + i * 3;
        y_plane[i] = static_cast<uint8_t>((19595 * p[0] + 38469 * p[1] + 7471 * p[2]) >> 16);
    }
    uint8_t* cb_plane = y_plane + luma;
    uint8_t* cr_plane = cb_plane + plane;
    for (int by = 0; by < h; by += 2) {
        const uint8_t* rows[2] = {image.row(by), image.row(by + 1 < h ? by + 1 : by)};
        for (int bx = 0; bx < w; bx += 2) {
            const int columns[2] = {bx, bx + 1 < w ? bx + 1 : bx};
            int cb = 0;
            int cr = 0;
            for (const uint8_t* row : rows) {
                for (int column : columns) {
                    const int r = row[column * 3];
                    const int g = row[column * 3 + 1];
                    const int b = row[column * 3 + 2];
                    cb += ((32768 * b - 11056 * r - 21712 * g) >> 16) + 128;
                    cr += ((32768 * r - 27440 * g - 5328 * b) >> 16) + 128;
                }
            }
            const size_t at = static_cast<size_t>(by / 2) * chroma_w + static_cast<size_t>(bx / 2);
            cb_plane[at] = static_cast<uint8_t>(cb >> 2);
            cr_plane[at] = static_cast<uint8_t>(cr >> 2);
        }
    }
    return out.size();
}

size_t encode_rgb565(const RgbImage& image, std::vector<uint8_t>& out)
{
    const size_t pixels = static_cast<size_t>(image.width) * image.height;
    if (image.width <= 0 || image.height <= 0 || !resize_output(out, pixels * 2)) {
        return 0;
    }
    for (size_t i = 0; i < pixels; ++i) {
        const uint8_t* p = image.pixels.get() + i * 3;
        const unsigned v = (p[0] & 0xF8u) * 256 + (p[1] & 0xFCu) * 8 + (p[2] >> 3);
        out[i * 2] = static_cast<uint8_t>(v & 0xFF);
        out[i * 2 + 1] = static_cast<uint8_t>(v >> 8);
    }
    return out.size();
}
