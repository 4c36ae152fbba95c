#include "delivery/rgb_image.h"

#include <algorithm>
#include <cstring>
#include <new>

bool picture_size_allowed(int64_t width, int64_t height)
{
    return width > 0 && height > 0 && width <= kMaxPictureSide && height <= kMaxPictureSide;
}

std::optional<RgbImage> rgb_image_new(int width, int height, uint8_t fill)
{
    if (!picture_size_allowed(width, height)) {
        return std::nullopt;
    }
    RgbImage image;
    image.width = width;
    image.height = height;
    const size_t size = image.bytes() + kPixelSlack;
    image.pixels.reset(new (std::nothrow) uint8_t[size]);
    if (!image.pixels) {
        return std::nullopt;
    }
    memset(image.pixels.get(), fill, size);
    return image;
}

std::optional<RgbImage> picture_placeholder()
{
    return rgb_image_new(kPlaceholderSize, kPlaceholderSize, 0x80);
}

namespace
{

struct IconSpan {
    int first_row, last_row, first_col, last_col;
};

// The black strokes of the folder: tab, lid and body.
constexpr IconSpan kIconStrokes[] = {
    {2, 2, 5, 10}, {3, 3, 4, 11},  {4, 4, 3, 5},  {4, 4, 10, 12},  {5, 5, 2, 4},    {5, 5, 11, 23},
    {6, 6, 2, 3},  {6, 6, 12, 24}, {7, 15, 2, 3}, {7, 15, 23, 24}, {16, 17, 2, 24},
};

} // namespace

std::optional<RgbImage> folder_icon()
{
    std::optional<RgbImage> icon = rgb_image_new(30, 20, 192);
    if (!icon) {
        return std::nullopt;
    }
    for (const IconSpan& s : kIconStrokes) {
        for (int y = s.first_row; y <= s.last_row; ++y) {
            uint8_t* row = icon->row(y);
            memset(row + s.first_col * 3, 0, static_cast<size_t>(s.last_col - s.first_col + 1) * 3);
        }
    }
    return icon;
}

std::optional<RgbImage> stretch_rgb(const RgbImage& source, int width, int height)
{
    std::optional<RgbImage> out = rgb_image_new(width, height, 0);
    if (!out || source.width <= 0 || source.height <= 0) {
        return std::nullopt;
    }
    if (width == source.width && height == source.height) {
        memcpy(out->pixels.get(), source.pixels.get(), source.bytes());
        return out;
    }
    const uint32_t x_step = static_cast<uint32_t>(source.width * 1000.0 / width);
    const uint32_t y_step = static_cast<uint32_t>(source.height * 1000.0 / height);
    uint32_t acc_y = 0;
    for (int y = 0; y < height; ++y, acc_y += y_step) {
        const int sy = std::min<int>(acc_y / 1000, source.height - 1);
        const uint32_t fy = acc_y % 1000;
        const uint8_t* upper = source.row(sy);
        const uint8_t* lower = source.row(std::min(sy + 1, source.height - 1));
        uint8_t* dest = out->row(y);
        uint32_t acc_x = 0;
        for (int x = 0; x < width; ++x, acc_x += x_step) {
            const int sx = std::min<int>(acc_x / 1000, source.width - 1);
            const int nx = std::min(sx + 1, source.width - 1);
            const uint32_t fx = acc_x % 1000;
            for (int c = 0; c < 3; ++c) {
                dest[x * 3 + c] = bilinear_mix(upper[sx * 3 + c], upper[nx * 3 + c],
                                               lower[sx * 3 + c], lower[nx * 3 + c], fx, fy);
            }
        }
    }
    return out;
}
