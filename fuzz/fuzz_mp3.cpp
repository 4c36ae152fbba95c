// The MP3 reader on arbitrary bytes written as a whole file and read as the
// scanner reads it, so that the buffer grows as it does for a large tag.
#include "fuzz_scratch_dir.h"
#include "scan/mp3_reader.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const FuzzScratchDir scratch("fuzz-mp3");
    const std::string path = scratch.write("input.mp3", data, size);
    if (!path.empty()) {
        mp3_read_tags(path.c_str());
    }
    mp3_frame_info(std::span(data, size), static_cast<int64_t>(size));
    id3_text_frame(std::span(data, size));
    return 0;
}
