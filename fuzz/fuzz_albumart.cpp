// The album-art search of FLAC, MP4 and Ogg files on arbitrary bytes taken as a
// whole file: what either finds must lie inside the file.
#include "delivery/albumart_handler.h"

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    for (const AlbumArtFind find : {albumart_flac_find, albumart_mp4_find, albumart_ogg_find}) {
        FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
        if (!f) {
            return 0;
        }
        if (const std::optional<AlbumArtSpan> art = find(f, static_cast<int64_t>(size))) {
            if (art->offset < 0 || art->length <= 0 ||
                art->offset + art->length > static_cast<int64_t>(size)) {
                __builtin_trap();
            }
        }
        fclose(f);
    }
    return 0;
}
