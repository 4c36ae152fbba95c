#include "delivery/art_encode.h"
#include "delivery/jpeg_decode.h"
#include "delivery/picture_encode.h"
#include "delivery/png_decode.h"
#include "delivery/rgb_image.h"
#include "support/jpeg_files.h"
#include "support/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <png.h>
#include <random>

namespace
{

TEST(PictureFit, CanvasAndFittedSizeByMode)
{
    // A 4:3 photo in a square: fitted by width, centred between borders.
    PictureFit f = picture_fit(1600, 1200, 160, 160, PICTURE_BORDERED);
    EXPECT_EQ(f.canvas_w, 160);
    EXPECT_EQ(f.canvas_h, 160);
    EXPECT_EQ(f.fit_w, 160);
    EXPECT_EQ(f.fit_h, 120);
    EXPECT_EQ(f.x_off, 0);
    EXPECT_EQ(f.y_off, 20);

    f = picture_fit(1600, 1200, 160, 160, PICTURE_FITTED);
    EXPECT_EQ(f.canvas_w, 160);
    EXPECT_EQ(f.canvas_h, 120);
    EXPECT_EQ(f.y_off, 0);

    f = picture_fit(1600, 1200, 160, 160, PICTURE_AS_DECODED);
    EXPECT_EQ(f.canvas_w, 1600);
    EXPECT_EQ(f.canvas_h, 1200);
    EXPECT_EQ(f.x_step, 1000);

    // Pixels 9/8 as wide: both ratios are 1.5, so the height decides, and
    // the single-precision scale of 0.95 leaves the last column uncovered.
    f = picture_fit(640, 480, 684, 456, PICTURE_WIDE);
    EXPECT_EQ(f.fit_h, 456);
    EXPECT_EQ(f.fit_w, 683);
    EXPECT_EQ(f.x_off, 0);
    EXPECT_EQ(f.x_step, 937);
    EXPECT_EQ(f.canvas_w, 684);

    // Unknown modes act as 1; a sliver still covers one row.
    f = picture_fit(1600, 1200, 160, 160, 9);
    EXPECT_EQ(f.y_off, 20);
    f = picture_fit(10000, 1, 160, 160, PICTURE_BORDERED);
    EXPECT_EQ(f.fit_h, 1);
}

class PictureDecode : public ::testing::Test
{
protected:
    std::string jpeg(const std::string& name, int w, int h, const PixelFunction& pixel,
                     bool grey = false)
    {
        const std::string path = dir.file(name);
        write_jpeg(path, w, h, pixel, grey);
        return path;
    }
    TempDir dir;
};

uint8_t channel_at(const RgbImage& image, int x, int y, int c)
{
    return image.row(y)[x * 3 + c];
}

TEST_F(PictureDecode, BordersAndTheUncoveredLastColumnStayBlack)
{
    const auto white = [](int, int, uint8_t rgb[3]) { rgb[0] = rgb[1] = rgb[2] = 255; };
    std::optional<RgbImage> canvas =
        decode_scaled(jpeg("white.jpg", 1600, 1200, white).c_str(), 160, 160, PICTURE_BORDERED);
    ASSERT_TRUE(canvas);
    ASSERT_EQ(canvas->width, 160);
    ASSERT_EQ(canvas->height, 160);
    for (int x = 0; x < 160; x += 53) {
        EXPECT_EQ(channel_at(*canvas, x, 19, 0), 0) << "border above";
        EXPECT_GT(channel_at(*canvas, x, 20, 0), 240) << "picture";
        EXPECT_GT(channel_at(*canvas, x, 139, 1), 240) << "picture";
        EXPECT_EQ(channel_at(*canvas, x, 140, 2), 0) << "border below";
    }

    canvas = decode_scaled(jpeg("wide.jpg", 640, 480, white).c_str(), 684, 456, PICTURE_WIDE);
    ASSERT_TRUE(canvas);
    ASSERT_EQ(canvas->width, 684);
    for (int y = 0; y < 456; y += 45) {
        EXPECT_EQ(channel_at(*canvas, 683, y, 0), 0) << y;
        EXPECT_GT(channel_at(*canvas, 600, y, 0), 240) << y;
    }
}

TEST_F(PictureDecode, GreyscaleComesOutWithEqualChannels)
{
    const auto ramp = [](int x, int, uint8_t rgb[3]) { rgb[0] = static_cast<uint8_t>(x); };
    std::optional<RgbImage> canvas =
        decode_scaled(jpeg("grey.jpg", 256, 64, ramp, true).c_str(), 256, 64, PICTURE_FITTED);
    ASSERT_TRUE(canvas);
    EXPECT_EQ(canvas->width, 256);
    bool varied = false;
    for (int x = 0; x < 256; ++x) {
        const uint8_t* p = canvas->row(30) + x * 3;
        ASSERT_EQ(p[0], p[1]) << x;
        ASSERT_EQ(p[1], p[2]) << x;
        varied = varied || p[0] > 200;
    }
    EXPECT_TRUE(varied);
}

TEST_F(PictureDecode, UnreadablePicturesBecomeThePlaceholder)
{
    const std::string text = dir.file("not.jpg");
    write_text_file(text, "this is not a picture at all");
    for (const std::string& path : {text, dir.file("missing.jpg")}) {
        std::optional<RgbImage> canvas = decode_scaled(path.c_str(), 160, 160, PICTURE_BORDERED);
        ASSERT_TRUE(canvas) << path;
        EXPECT_EQ(canvas->width, kPlaceholderSize);
        EXPECT_EQ(canvas->height, kPlaceholderSize);
        EXPECT_EQ(canvas->row(99)[299], 0x80);
    }

    // A cut file decodes: the library fills in what is missing.
    const std::string whole = make_jpeg(320, 240, [](int, int, uint8_t rgb[3]) {
        rgb[0] = 200;
        rgb[1] = rgb[2] = 10;
    });
    const std::string cut = dir.file("cut.jpg");
    write_text_file(cut, whole.substr(0, whole.size() / 2));
    std::optional<RgbImage> canvas = decode_scaled(cut.c_str(), 160, 120, PICTURE_FITTED);
    ASSERT_TRUE(canvas);
    EXPECT_EQ(canvas->width, 160);
    EXPECT_GT(channel_at(*canvas, 80, 5, 0), 150) << "the part that arrived";

    // Sizes nothing could hold are refused, not attempted.
    EXPECT_FALSE(decode_scaled(cut.c_str(), 0, 120, PICTURE_BORDERED));
    EXPECT_FALSE(decode_scaled(cut.c_str(), 100000, 100000, PICTURE_BORDERED));
}

// The library's scaled decode is a box average where the filter on the full
// decode samples points; on a picture without sharp edges the two agree
// closely. Tolerance: every channel within 6, and on average within 1.
TEST_F(PictureDecode, LibraryScalingMatchesTheFullDecode)
{
    const auto smooth = [](int x, int y, uint8_t rgb[3]) { smooth_pixel(1600, 1200, x, y, rgb); };
    const std::string path = jpeg("smooth.jpg", 1600, 1200, smooth);
    struct Case {
        int w, h, mode;
    };
    for (const Case& k :
         {Case{160, 160, 1}, Case{1024, 768, 1}, Case{684, 456, 3}, Case{333, 111, 2}}) {
        std::optional<RgbImage> fast = decode_scaled(path.c_str(), k.w, k.h, k.mode, true);
        std::optional<RgbImage> full = decode_scaled(path.c_str(), k.w, k.h, k.mode, false);
        ASSERT_TRUE(fast && full);
        ASSERT_EQ(fast->width, full->width);
        ASSERT_EQ(fast->height, full->height);
        int worst = 0;
        int64_t total = 0;
        for (size_t i = 0; i < full->bytes(); ++i) {
            const int d = std::abs(fast->pixels[i] - full->pixels[i]);
            worst = std::max(worst, d);
            total += d;
        }
        EXPECT_LE(worst, 6) << k.w << "x" << k.h;
        EXPECT_LE(static_cast<double>(total) / full->bytes(), 1.0) << k.w << "x" << k.h;
    }
}

// What a request may make the decoder allocate does not depend on the size
// of the source: a picture asked for at its own size fits the largest
// canvas, and a progressive picture whose coefficients would not fit the
// decoder's budget is refused, not decoded.
TEST_F(PictureDecode, SourceSizeNeverDecidesTheMemory)
{
    const auto plain = [](int, int, uint8_t rgb[3]) { rgb[0] = rgb[1] = rgb[2] = 200; };
    std::optional<RgbImage> canvas =
        decode_scaled(jpeg("long.jpg", 8200, 64, plain).c_str(), 10, 10, PICTURE_AS_DECODED);
    ASSERT_TRUE(canvas);
    EXPECT_EQ(canvas->width, kMaxPictureSide);
    EXPECT_EQ(canvas->height, 31) << "64 * 4096 / 8200, the aspect ratio kept";
    EXPECT_NEAR(channel_at(*canvas, 2000, 15, 0), 200, 3);

    // The largest canvas is still made; one pixel more is not.
    EXPECT_TRUE(picture_size_allowed(kMaxPictureSide, kMaxPictureSide));
    EXPECT_FALSE(picture_size_allowed(kMaxPictureSide + 1, 1));
    EXPECT_FALSE(picture_size_allowed(1, kMaxPictureSide + 1));
    EXPECT_FALSE(picture_size_allowed(8192, 8192));
    EXPECT_FALSE(rgb_image_new(kMaxPictureSide + 1, 1, 0));
    const std::string small = jpeg("small.jpg", 64, 48, plain);
    EXPECT_FALSE(decode_scaled(small.c_str(), 8192, 8192, PICTURE_BORDERED));

    // A 12-megapixel progressive picture keeps 36 MB of coefficients: the
    // placeholder. One of 2 megapixels decodes.
    const std::string path = dir.file("progressive.jpg");
    write_jpeg(path, 4000, 3000, plain, false, 75, true);
    canvas = decode_scaled(path.c_str(), 160, 120, PICTURE_BORDERED);
    ASSERT_TRUE(canvas);
    EXPECT_EQ(canvas->width, kPlaceholderSize);
    write_jpeg(path, 1600, 1200, plain, false, 75, true);
    canvas = decode_scaled(path.c_str(), 160, 120, PICTURE_BORDERED);
    ASSERT_TRUE(canvas);
    EXPECT_EQ(canvas->width, 160);
    EXPECT_NEAR(channel_at(*canvas, 80, 60, 0), 200, 3);
}

RgbImage filled(int w, int h, uint8_t r, uint8_t g, uint8_t b)
{
    RgbImage image = *rgb_image_new(w, h, 0);
    for (size_t i = 0; i < image.bytes(); i += 3) {
        image.pixels[i] = r;
        image.pixels[i + 1] = g;
        image.pixels[i + 2] = b;
    }
    return image;
}

TEST(PictureEncode, RawFormsHaveTheirLengthsAndValues)
{
    std::vector<uint8_t> out;
    // Y, then Cb and Cr of 68 x 45 blocks each.
    ASSERT_EQ(encode_yuv420(filled(136, 90, 255, 255, 255), out), 18360u);
    EXPECT_EQ(out[0], 254); // the coefficients sum to just under 1
    EXPECT_EQ(out[12239], 254);
    EXPECT_EQ(out[12240], 128);
    EXPECT_EQ(out[18359], 128);
    encode_yuv420(filled(2, 2, 255, 0, 0), out);
    ASSERT_EQ(out.size(), 6u);
    EXPECT_EQ(out[0], 76);
    EXPECT_EQ(out[4], 84);  // Cb of red
    EXPECT_EQ(out[5], 255); // Cr of red
    // Odd sizes repeat the last row and column instead of reading past them.
    EXPECT_EQ(encode_yuv420(filled(3, 3, 0, 0, 0), out), 9u + 4 + 4);

    ASSERT_EQ(encode_rgb565(filled(320, 240, 255, 255, 255), out), 153600u);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0xFF);
    encode_rgb565(filled(1, 1, 0x12, 0x34, 0x56), out);
    const unsigned v = out[0] | out[1] << 8;
    EXPECT_EQ(v, (0x10u << 8) | (0x34u << 3) | (0x56u >> 3));
}

TEST(PictureEncode, JpegOfAnySizeAndDetailOrNone)
{
    // Noise at the default quality takes more room than a photo: the output
    // must grow rather than overrun.
    RgbImage noise = *rgb_image_new(256, 256, 0);
    std::mt19937 random(7);
    for (size_t i = 0; i < noise.bytes(); ++i) {
        noise.pixels[i] = static_cast<uint8_t>(random());
    }
    std::vector<uint8_t> out;
    const size_t length = encode_jpeg(noise, out);
    ASSERT_GT(length, noise.bytes() / 8);
    DecodedJpeg back = decode_jpeg(std::string(out.begin(), out.end()));
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(back.width, 256);
    EXPECT_EQ(back.components, 3);

    // Wider than a JPEG may be: the library's error comes back as no picture.
    testing::internal::CaptureStdout();
    RgbImage too_wide;
    too_wide.width = 70000;
    too_wide.height = 1;
    too_wide.pixels = std::make_unique<uint8_t[]>(too_wide.bytes() + kPixelSlack);
    EXPECT_EQ(encode_jpeg(too_wide, out), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error on encoding JPEG  - skipped");
}

TEST(PictureDraw, FolderIconAndItsStretch)
{
    std::optional<RgbImage> icon = folder_icon();
    ASSERT_TRUE(icon);
    ASSERT_EQ(icon->width, 30);
    ASSERT_EQ(icon->height, 20);
    EXPECT_EQ(channel_at(*icon, 0, 0, 0), 192);
    EXPECT_EQ(channel_at(*icon, 5, 2, 0), 0);
    EXPECT_EQ(channel_at(*icon, 11, 2, 0), 192);
    EXPECT_EQ(channel_at(*icon, 6, 4, 1), 192) << "inside the tab";
    EXPECT_EQ(channel_at(*icon, 24, 6, 2), 0);
    EXPECT_EQ(channel_at(*icon, 10, 10, 0), 192) << "inside the folder";
    EXPECT_EQ(channel_at(*icon, 23, 12, 0), 0);
    EXPECT_EQ(channel_at(*icon, 24, 17, 0), 0);
    EXPECT_EQ(channel_at(*icon, 25, 17, 0), 192);

    std::optional<RgbImage> same = stretch_rgb(*icon, 30, 20);
    ASSERT_TRUE(same);
    EXPECT_EQ(memcmp(same->pixels.get(), icon->pixels.get(), icon->bytes()), 0);
    std::optional<RgbImage> big = stretch_rgb(*icon, 168, 112);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->width, 168);
    EXPECT_EQ(channel_at(*big, 0, 0, 0), 192);
    EXPECT_EQ(channel_at(*big, 167, 111, 0), 192) << "the edge stands in past the last pixel";
    EXPECT_EQ(channel_at(*big, 84, 95, 0), 0) << "the folder's bottom";
    EXPECT_FALSE(stretch_rgb(*icon, 0, 10));
}

std::vector<uint8_t> png_of(int width, int height, uint32_t format, const std::vector<uint8_t>& px)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<uint32_t>(width);
    image.height = static_cast<uint32_t>(height);
    image.format = format;
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&image, nullptr, &size, 0, px.data(), 0, nullptr);
    std::vector<uint8_t> out(size);
    EXPECT_TRUE(png_image_write_to_memory(&image, out.data(), &size, 0, px.data(), 0, nullptr));
    out.resize(size);
    return out;
}

TEST(PngDecode, PixelsTransparencyAndRefusals)
{
    // Two pixels: opaque blue, fully transparent black (shown on white).
    const std::vector<uint8_t> rgba = png_of(2, 1, PNG_FORMAT_RGBA, {0, 0, 255, 255, 0, 0, 0, 0});
    const std::optional<RgbImage> picture = decode_png(rgba.data(), rgba.size());
    ASSERT_TRUE(picture);
    ASSERT_EQ(picture->width, 2);
    ASSERT_EQ(picture->height, 1);
    const uint8_t* p = picture->row(0);
    EXPECT_EQ(std::vector<uint8_t>(p, p + 6), (std::vector<uint8_t>{0, 0, 255, 255, 255, 255}));

    // A grey picture comes out in RGB.
    const std::vector<uint8_t> grey = png_of(1, 1, PNG_FORMAT_GRAY, {100});
    ASSERT_TRUE(decode_png(grey.data(), grey.size()));
    EXPECT_EQ(decode_png(grey.data(), grey.size())->row(0)[2], 100);

    // Wider than any picture the service makes, cut short, or no PNG.
    const std::vector<uint8_t> wide =
        png_of(kMaxPictureSide + 1, 1, PNG_FORMAT_GRAY, std::vector<uint8_t>(kMaxPictureSide + 1));
    EXPECT_FALSE(decode_png(wide.data(), wide.size()));
    EXPECT_FALSE(decode_png(rgba.data(), rgba.size() - 20));
    EXPECT_FALSE(decode_png(rgba.data() + 1, rgba.size() - 1));

    std::vector<uint8_t> jpeg;
    EXPECT_TRUE(art_to_jpeg(rgba.data(), rgba.size(), 0, jpeg));
    ASSERT_GT(jpeg.size(), 2u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    EXPECT_FALSE(art_to_jpeg(rgba.data(), 10, 0, jpeg));
}

TEST(PngDecode, ScaledIntoTheCanvasOfTheRequest)
{
    TempDir dir;
    // 4 x 2 of white into 8 x 8 with borders: rows 2 to 5 are the picture.
    const std::vector<uint8_t> white = png_of(4, 2, PNG_FORMAT_RGB, std::vector<uint8_t>(24, 255));
    const std::string path = dir.file("w.png");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(white.data()),
               static_cast<std::streamsize>(white.size()));
    std::optional<RgbImage> canvas = decode_png_scaled(path.c_str(), 8, 8, PICTURE_BORDERED);
    ASSERT_TRUE(canvas);
    EXPECT_EQ(canvas->width, 8);
    EXPECT_EQ(canvas->height, 8);
    EXPECT_EQ(canvas->row(1)[0], 0);
    EXPECT_EQ(canvas->row(2)[0], 255);
    EXPECT_EQ(canvas->row(5)[21], 255);
    EXPECT_EQ(canvas->row(6)[0], 0);
    canvas = decode_png_scaled(path.c_str(), 8, 8, PICTURE_FITTED);
    ASSERT_TRUE(canvas);
    EXPECT_EQ(canvas->height, 4);
    // A file that is no PNG is the placeholder, as an unreadable JPEG is.
    canvas = decode_png_scaled(dir.file("missing.png").c_str(), 8, 8, PICTURE_BORDERED);
    ASSERT_TRUE(canvas);
    EXPECT_EQ(canvas->width, kPlaceholderSize);
}

} // namespace
