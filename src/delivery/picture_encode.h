// The forms a picture leaves the server in: a baseline JPEG, raw YCbCr 4:2:0
// planes, or 16-bit RGB 5:6:5 pixels for players that take raw frames.
#pragma once

#include "delivery/rgb_image.h"

#include <cstddef>
#include <vector>

// Each fills out with the encoded picture and returns its length; 0 when it
// could not be encoded.

// At the library's default quality; the output grows as the picture needs.
size_t encode_jpeg(const RgbImage& image, std::vector<uint8_t>& out);

// The Y plane (width x height), then the Cb and the Cr plane of one value per
// 2 x 2 block (a block at the right or bottom edge of an odd size repeats its
// last column or row), with the full-range JFIF coefficients.
size_t encode_yuv420(const RgbImage& image, std::vector<uint8_t>& out);

// Two bytes per pixel, low byte first.
size_t encode_rgb565(const RgbImage& image, std::vector<uint8_t>& out);
