#include "delivery/png_decode.h"

#include "core/log.h"
#include "delivery/jpeg_decode.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <png.h>
#include <sys/stat.h>
#include <vector>

namespace
{

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// The image record frees what the library allocated on every way out.
struct PngImage {
    png_image image{};
    PngImage()
    {
        image.version = PNG_IMAGE_VERSION;
    }
    ~PngImage()
    {
        png_image_free(&image);
    }
    PngImage(const PngImage&) = delete;
    PngImage& operator=(const PngImage&) = delete;
};

std::optional<std::vector<uint8_t>> read_whole(const char* path)
{
    std::unique_ptr<FILE, decltype(&fclose)> file(fopen(path, "rb"), fclose);
    struct stat st = {};
    if (!file || fstat(fileno(file.get()), &st) != 0 || st.st_size <= 0 ||
        st.st_size > kMaxPngFileBytes) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
    if (fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
        return std::nullopt;
    }
    return bytes;
}

} // namespace

bool is_png(const uint8_t* data, size_t size)
{
    return size >= sizeof kSignature && memcmp(data, kSignature, sizeof kSignature) == 0;
}

std::optional<RgbImage> decode_png(const uint8_t* data, size_t size)
{
    if (!is_png(data, size)) {
        return std::nullopt;
    }
    PngImage png;
    if (!png_image_begin_read_from_memory(&png.image, data, size) ||
        !picture_size_allowed(png.image.width, png.image.height)) {
        return std::nullopt;
    }
    png.image.format = PNG_FORMAT_RGB;
    std::optional<RgbImage> picture =
        rgb_image_new(static_cast<int>(png.image.width), static_cast<int>(png.image.height), 0);
    if (!picture) {
        return std::nullopt;
    }
    const png_color white{255, 255, 255};
    if (!png_image_finish_read(&png.image, &white, picture->pixels.get(), 0, nullptr)) {
        return std::nullopt;
    }
    return picture;
}

std::optional<RgbImage> decode_png_scaled(const char* path, int req_w, int req_h, int mode)
{
    if (mode != PICTURE_AS_DECODED && !picture_size_allowed(req_w, req_h)) {
        return std::nullopt;
    }
    const std::optional<std::vector<uint8_t>> bytes = read_whole(path);
    std::optional<RgbImage> source =
        bytes ? decode_png(bytes->data(), bytes->size()) : std::nullopt;
    if (!source) {
        log_msg(LOG_ERROR, LOG_CAT_SYSTEM, "Error on decoding PNG %s - skipped\n", path);
        return picture_placeholder();
    }
    if (mode == PICTURE_AS_DECODED) {
        return source;
    }
    const PictureFit fit = picture_fit(source->width, source->height, req_w, req_h, mode);
    std::optional<RgbImage> fitted = stretch_rgb(*source, fit.fit_w, fit.fit_h);
    source.reset();
    std::optional<RgbImage> canvas = rgb_image_new(fit.canvas_w, fit.canvas_h, 0);
    if (!fitted || !canvas) {
        return std::nullopt;
    }
    // The fitted picture never exceeds the canvas; borders stay black.
    const int rows = std::min(fit.fit_h, fit.canvas_h - fit.y_off);
    const size_t row_bytes = static_cast<size_t>(std::min(fit.fit_w, fit.canvas_w - fit.x_off)) * 3;
    for (int y = 0; y < rows; ++y) {
        memcpy(canvas->row(y + fit.y_off) + static_cast<size_t>(fit.x_off) * 3, fitted->row(y),
               row_bytes);
    }
    return canvas;
}
