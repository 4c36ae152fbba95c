// The WMA header reader on arbitrary bytes written as a file and read as
// the scanner reads it, and the album-art search of WMA files on the same
// bytes taken as the start of a file.
#include "fuzz_scratch_dir.h"
#include "scan/embedded_art.h"
#include "scan/wma_reader.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const FuzzScratchDir scratch("fuzz-wma");
    const std::string path = scratch.write("input.wma", data, size);
    if (!path.empty()) {
        wma_read_header(path.c_str());
    }
    if (size > 4) {
        albumart_wma_find(data + 4, size - 4);
    }
    return 0;
}
