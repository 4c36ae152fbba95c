// The Ogg Vorbis and Opus reader on arbitrary bytes written as a file and read as the
// scanner reads it, and the picture search of the album-art answer on the
// same file.
#include "fuzz_scratch_dir.h"
#include "scan/ogg_reader.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const FuzzScratchDir scratch("fuzz-ogg");
    const std::string path = scratch.write("input.ogg", data, size);
    if (!path.empty()) {
        ogg_read_tags(path.c_str());
        MusicPicture picture;
        ogg_read_picture(path.c_str(), picture);
    }
    return 0;
}
