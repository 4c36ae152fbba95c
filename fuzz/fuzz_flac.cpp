// The FLAC reader on arbitrary bytes written as a file and read as the
// scanner reads it, and the picture search of the album-art answer on the
// same file.
#include "fuzz_scratch_dir.h"
#include "scan/flac_reader.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const FuzzScratchDir scratch("fuzz-flac");
    const std::string path = scratch.write("input.flac", data, size);
    if (!path.empty()) {
        flac_read_tags(path.c_str());
        MusicPicture picture;
        flac_read_picture(path.c_str(), picture);
    }
    return 0;
}
