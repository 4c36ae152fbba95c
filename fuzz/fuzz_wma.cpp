// The WMA header reader and the album-art search of WMA files on arbitrary
// bytes taken as the start of a file.
#include "delivery/albumart_handler.h"
#include "scan/wma_reader.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    wma_parse(data, size, static_cast<int64_t>(size) * 3);
    if (size > 4) {
        albumart_wma_find(data + 4, size - 4);
    }
    return 0;
}
