// The album-art search of MP3 files on arbitrary bytes taken as a whole
// file.
#include "scan/embedded_art.h"

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) {
        return 0;
    }
    if (const std::optional<AlbumArtSpan> art = albumart_mp3_find(f, static_cast<int64_t>(size))) {
        if (art->offset < 0 || art->length <= 0 ||
            art->offset + art->length > static_cast<int64_t>(size)) {
            __builtin_trap();
        }
    }
    fclose(f);
    return 0;
}
