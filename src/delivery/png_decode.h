// Decoding PNG pictures (covers inside music files and beside them, and PNG
// files among the pictures) into the RGB form the picture service scales
// and encodes.
#pragma once

#include "delivery/rgb_image.h"

#include <cstddef>
#include <cstdint>
#include <optional>

// The largest PNG file the service reads whole into memory.
inline constexpr int64_t kMaxPngFileBytes = 64 * 1024 * 1024;

// The picture at its own size, transparency laid over white; nothing when the
// bytes are no PNG, it is damaged or a side exceeds kMaxPictureSide.
std::optional<RgbImage> decode_png(const uint8_t* data, size_t size);

// Whether the bytes start with the PNG signature.
bool is_png(const uint8_t* data, size_t size);

// A PNG file scaled for a picture request as decode_scaled does for a JPEG
// (the same modes and canvas); the grey placeholder for a file that cannot
// be read or decoded, nothing when the canvas cannot be made.
std::optional<RgbImage> decode_png_scaled(const char* path, int req_w, int req_h, int mode);
