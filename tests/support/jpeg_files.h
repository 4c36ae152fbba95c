// JPEG pictures made and read back in tests, with libjpeg directly, so that
// the server's own codec is checked against the library and not itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct DecodedJpeg {
    int width = 0;
    int height = 0;
    int components = 0;
    std::vector<uint8_t> pixels; // rows top to bottom, components per pixel
    bool ok = false;

    const uint8_t* at(int x, int y) const
    {
        return pixels.data() + (static_cast<size_t>(y) * width + x) * components;
    }
};

// RGB of pixel (x, y), for a picture being written.
using PixelFunction = std::function<void(int x, int y, uint8_t rgb[3])>;

// The picture of width x height as JPEG bytes: RGB, or greyscale (one
// component, the R value) when grey; in several scans when progressive.
std::string make_jpeg(int width, int height, const PixelFunction& pixel, bool grey = false,
                      int quality = 90, bool progressive = false);
void write_jpeg(const std::string& path, int width, int height, const PixelFunction& pixel,
                bool grey = false, int quality = 90, bool progressive = false);

// A smooth picture without edges: gradients in every channel.
void smooth_pixel(int width, int height, int x, int y, uint8_t rgb[3]);

// Decodes JPEG bytes at full size (ok false when the library fails).
DecodedJpeg decode_jpeg(const std::string& data);
