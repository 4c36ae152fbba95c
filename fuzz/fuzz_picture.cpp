// The JPEG frame scan and the EXIF reader on arbitrary bytes written as a
// picture file and read as the scanner reads it.
#include "fuzz_scratch_dir.h"
#include "scan/picture_reader.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const FuzzScratchDir scratch("fuzz-picture");
    const std::string path = scratch.write("input.jpg", data, size);
    if (!path.empty()) {
        get_picture_info(path.c_str());
    }
    return 0;
}
