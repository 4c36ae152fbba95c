// The picture service's own parts on arbitrary bytes: the URL reader on the
// bytes as text, and the JPEG or PNG decode, rescale and the three encoders on the bytes
// as a picture file, at a size and mode taken from its first three bytes.
#include "delivery/jpeg_decode.h"
#include "delivery/picture_encode.h"
#include "delivery/picture_handler.h"
#include "delivery/png_decode.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    parse_picture_url(text.c_str());
    if (size < 4) {
        return 0;
    }
    const int mode = data[0] % 4;
    const int width = 1 + data[1];
    const int height = 1 + data[2];
    const int fd = memfd_create("picture", 0);
    if (fd < 0) {
        return 0;
    }
    if (write(fd, data + 3, size - 3) == static_cast<ssize_t>(size - 3)) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        // The service picks the PNG decoder by the file's name; here the
        // bytes tell.
        std::optional<RgbImage> canvas = is_png(data + 3, size - 3)
                                             ? decode_png_scaled(path.c_str(), width, height, mode)
                                             : decode_scaled(path.c_str(), width, height, mode);
        if (canvas) {
            std::vector<uint8_t> out;
            encode_yuv420(*canvas, out);
            encode_rgb565(*canvas, out);
            if (canvas->bytes() <= 1024 * 1024) {
                encode_jpeg(*canvas, out);
            }
        }
    }
    close(fd);
    return 0;
}
