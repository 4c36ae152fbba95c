#include "support/jpeg_files.h"

#include "support/temp_dir.h"

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

namespace
{

struct TestJpegError {
    jpeg_error_mgr manager;
    jmp_buf recovery;
};

[[noreturn]] void test_jump(j_common_ptr info)
{
    longjmp(reinterpret_cast<TestJpegError*>(info->err)->recovery, 1);
}

void quiet(j_common_ptr)
{
}

} // namespace

std::string make_jpeg(int width, int height, const PixelFunction& pixel, bool grey, int quality,
                      bool progressive)
{
    jpeg_compress_struct info;
    jpeg_error_mgr error;
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = grey ? 1 : 3;
    info.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    if (progressive) {
        jpeg_simple_progression(&info);
    }
    jpeg_start_compress(&info, TRUE);
    std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t rgb[3];
            pixel(x, y, rgb);
            if (grey) {
                row[x] = rgb[0];
            } else {
                row[x * 3] = rgb[0];
                row[x * 3 + 1] = rgb[1];
                row[x * 3 + 2] = rgb[2];
            }
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::string data(reinterpret_cast<const char*>(buffer), size);
    free(buffer);
    return data;
}

void write_jpeg(const std::string& path, int width, int height, const PixelFunction& pixel,
                bool grey, int quality, bool progressive)
{
    write_text_file(path, make_jpeg(width, height, pixel, grey, quality, progressive));
}

void smooth_pixel(int width, int height, int x, int y, uint8_t rgb[3])
{
    const double u = static_cast<double>(x) / width;
    const double v = static_cast<double>(y) / height;
    rgb[0] = static_cast<uint8_t>(40 + 180 * u);
    rgb[1] = static_cast<uint8_t>(30 + 190 * v);
    rgb[2] = static_cast<uint8_t>(128 + 100 * std::sin(3.0 * u + 2.0 * v));
}

DecodedJpeg decode_jpeg(const std::string& data)
{
    DecodedJpeg out;
    jpeg_decompress_struct info;
    TestJpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = test_jump;
    error.manager.output_message = quiet;
    jpeg_create_decompress(&info);
    if (setjmp(error.recovery)) {
        jpeg_destroy_decompress(&info);
        out.ok = false;
        return out;
    }
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(data.data()), data.size());
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    out.width = static_cast<int>(info.output_width);
    out.height = static_cast<int>(info.output_height);
    out.components = info.output_components;
    out.pixels.resize(static_cast<size_t>(out.width) * out.height * out.components);
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[1] = {out.pixels.data() +
                            static_cast<size_t>(info.output_scanline) * out.width * out.components};
        jpeg_read_scanlines(&info, rows, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    out.ok = true;
    return out;
}
