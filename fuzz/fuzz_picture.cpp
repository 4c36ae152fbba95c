// The JPEG frame scan and the EXIF reader on arbitrary bytes taken as a
// whole picture file.
#include "scan/picture_reader.h"

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
    PictureInfo info;
    read_picture_stream(f, static_cast<int64_t>(size), 0, info);
    fclose(f);
    return 0;
}
