// The album-art search of FLAC, MP4 and Ogg files on arbitrary bytes written
// as a file and opened as the art handler opens it: what a finder points at
// must lie inside the file.
#include "fuzz_scratch_dir.h"
#include "scan/embedded_art.h"

#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const FuzzScratchDir scratch("fuzz-albumart");
    const std::string path = scratch.write("input.art", data, size);
    if (size == 0 || path.empty()) {
        return 0;
    }
    for (const AlbumArtFind find : {albumart_flac_find, albumart_mp4_find, albumart_ogg_find}) {
        FILE* f = fopen(path.c_str(), "rb");
        if (!f) {
            return 0;
        }
        if (const std::optional<AlbumArtSpan> art = find(f, static_cast<int64_t>(size))) {
            const bool held = !art->bytes.empty();
            if (art->length <= 0 ||
                (!held &&
                 (art->offset < 0 || art->offset + art->length > static_cast<int64_t>(size)))) {
                __builtin_trap();
            }
        }
        fclose(f);
    }
    return 0;
}
