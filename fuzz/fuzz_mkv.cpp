// The Matroska reader on arbitrary bytes written as a file and read as the
// scanner reads it, and the in-memory parser on the same bytes.
#include "fuzz_scratch_dir.h"
#include "scan/mkv_reader.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const FuzzScratchDir scratch("fuzz-mkv");
    const std::string path = scratch.write("input.mkv", data, size);
    if (!path.empty()) {
        mkv_read(path.c_str());
    }
    mkv_parse(data, size);
    return 0;
}
