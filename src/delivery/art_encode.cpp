#include "delivery/art_encode.h"

#include "delivery/jpeg_decode.h"
#include "delivery/picture_encode.h"
#include "delivery/png_decode.h"
#include "scan/picture_reader.h"

#include <cstdio>
#include <optional>

namespace
{

// Whether a JPEG picture has a side beyond max_side; a picture whose size
// cannot be read is not re-encoded either.
bool jpeg_larger_than(const uint8_t* data, size_t size, int max_side)
{
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) {
        return false;
    }
    uint32_t width = 0;
    uint32_t height = 0;
    const bool known = jpeg_frame_size(f, static_cast<int64_t>(size), width, height);
    fclose(f);
    const auto side = static_cast<uint32_t>(max_side);
    return known && (width > side || height > side);
}

} // namespace

bool art_to_jpeg(const uint8_t* data, size_t size, int max_side, std::vector<uint8_t>& jpeg)
{
    std::optional<RgbImage> picture;
    if (is_png(data, size)) {
        picture = decode_png(data, size);
        if (picture && max_side > 0 && (picture->width > max_side || picture->height > max_side)) {
            const PictureFit fit =
                picture_fit(picture->width, picture->height, max_side, max_side, PICTURE_FITTED);
            picture = stretch_rgb(*picture, fit.fit_w, fit.fit_h);
        }
    } else if (max_side > 0 && jpeg_larger_than(data, size, max_side)) {
        picture = decode_scaled_memory(data, size, max_side, max_side, PICTURE_FITTED);
    }
    const size_t length = picture ? encode_jpeg(*picture, jpeg) : 0;
    jpeg.resize(length);
    return length > 0;
}
