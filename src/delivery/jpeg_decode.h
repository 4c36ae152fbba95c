// Decoding a JPEG picture, from a file or from an "http://" source such as a
// web camera, straight into a canvas of the size a player asked for. Rows
// stream through two buffers, so the full-size picture never sits in
// memory.
#pragma once

#include "delivery/rgb_image.h"

#include <cstddef>
#include <cstdint>
#include <optional>

// How the picture fills the canvas (the third number of a picture URL).
enum PictureMode : int {
    PICTURE_AS_DECODED = 0, // the picture's own size, not scaled
    PICTURE_BORDERED = 1,   // the requested size; fitted, centred, black borders
    PICTURE_FITTED = 2,     // the fitted size itself, no borders
    PICTURE_WIDE = 3,       // as 1, pixels stretched horizontally by 9/8
};

// Where a source of src_w x src_h lands for a request: the canvas, the
// fitted picture on it and its offset, and the steps in thousandths of a
// source pixel for a full-size decode. Unknown modes act as 1.
struct PictureFit {
    int canvas_w = 0, canvas_h = 0;
    int fit_w = 0, fit_h = 0;
    int x_off = 0, y_off = 0;
    int x_step = 0, y_step = 0;
};
PictureFit picture_fit(int src_w, int src_h, int req_w, int req_h, int mode);

// The canvas for the request. A picture that cannot be read or decoded is
// logged and replaced by the grey placeholder; nothing only when the canvas
// is too large to make or the memory runs out. With dct_scaling the library
// decodes at the smallest of its scales (1/8 to 8/8) that still covers the
// fitted size, which the filter then brings to the exact size; without it
// every row is decoded at full size. A picture asked for at its own size
// (mode 0) that is larger than kMaxPictureSide either way comes out as mode 2
// into kMaxPictureSide x kMaxPictureSide. The library's own buffers are
// bounded too: a progressive picture too large for them is unreadable.
std::optional<RgbImage> decode_scaled(const char* path, int req_w, int req_h, int mode,
                                      bool dct_scaling = true);

// The same for a JPEG picture held in memory (album art); nothing for no
// bytes.
std::optional<RgbImage> decode_scaled_memory(const uint8_t* data, size_t size, int req_w, int req_h,
                                             int mode);
