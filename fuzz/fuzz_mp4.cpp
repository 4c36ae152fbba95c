// The MP4 reader on arbitrary bytes written as a file and read as the
// scanner reads it, and the moov parser on the same bytes taken as a moov
// payload.
#include "fuzz_scratch_dir.h"
#include "scan/mp4_reader.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const FuzzScratchDir scratch("fuzz-mp4");
    const std::string path = scratch.write("input.m4a", data, size);
    if (!path.empty()) {
        mp4_read(path.c_str());
        std::string cover;
        mp4_read_cover(path.c_str(), cover);
    }
    mp4_parse_moov(data, size, 0);
    return 0;
}
