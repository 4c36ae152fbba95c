// Pictures as the picture service handles them: 8-bit RGB pixels, rows top
// to bottom without padding, and the few pictures it draws itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

// The largest side of a picture the service makes. The listings hand out
// sizes up to the screens players have (a few thousand pixels at most), so
// 4096 leaves room to spare; a larger ask is refused before anything is
// allocated. A canvas then takes at most 48 MiB.
inline constexpr int kMaxPictureSide = 4096;

// Every pixel buffer has this many bytes beyond its last pixel, so that a
// filter may read one pixel past the end of a row.
inline constexpr size_t kPixelSlack = 10;

struct RgbImage {
    int width = 0;
    int height = 0;
    std::unique_ptr<uint8_t[]> pixels; // width * height * 3 + kPixelSlack bytes

    size_t bytes() const
    {
        return static_cast<size_t>(width) * height * 3;
    }
    uint8_t* row(int y)
    {
        return pixels.get() + static_cast<size_t>(y) * width * 3;
    }
    const uint8_t* row(int y) const
    {
        return pixels.get() + static_cast<size_t>(y) * width * 3;
    }
};

// Whether a picture of width x height may be made: both from 1 to
// kMaxPictureSide.
bool picture_size_allowed(int64_t width, int64_t height);

// A picture of the size with every byte set to fill; nothing when the size
// is not allowed or the memory is not there.
std::optional<RgbImage> rgb_image_new(int width, int height, uint8_t fill);

// The bilinear mix of one channel of the four pixels around a point, with
// the fractions fx, fy in thousandths: a0, a1 on the upper row (left,
// right), b0, b1 on the lower. Integer arithmetic, truncated.
inline uint8_t bilinear_mix(uint32_t a0, uint32_t a1, uint32_t b0, uint32_t b1, uint32_t fx,
                            uint32_t fy)
{
    return static_cast<uint8_t>(
        ((b1 * fx + b0 * (1000 - fx)) * fy + (a0 * (1000 - fx) + a1 * fx) * (1000 - fy)) / 1000000);
}

// What stands in for a picture that cannot be decoded: 100 x 100 of
// mid-grey (every byte 0x80).
inline constexpr int kPlaceholderSize = 100;
std::optional<RgbImage> picture_placeholder();

// The folder symbol one player shows beside pictures: 30 x 20, black lines
// on grey.
std::optional<RgbImage> folder_icon();

// The source stretched to width x height without keeping its aspect ratio;
// the edge pixels stand in for neighbours beyond the last column or row.
std::optional<RgbImage> stretch_rgb(const RgbImage& source, int width, int height);
