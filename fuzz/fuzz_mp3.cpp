// The MP3 tag and frame parsing on arbitrary bytes taken as a whole file.
#include "scan/mp3_reader.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Mp3Source source;
    source.data.assign(data, data + size);
    source.file_size = static_cast<int64_t>(size);
    std::span<const uint8_t> tail;
    if (size >= 128) {
        tail = std::span(data + size - 128, 128);
    }
    mp3_parse(source, tail);
    mp3_frame_info(std::span(data, size), static_cast<int64_t>(size));
    id3_text_frame(std::span(data, size));
    return 0;
}
