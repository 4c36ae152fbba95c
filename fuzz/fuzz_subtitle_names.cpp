// File names as a directory lists them, matched as the scanner matches
// subtitle sidecars to their videos: the first line is the video's name, the
// others the subtitle names of its directory. The choice must be one of the
// names, must match the video, and must be made whenever any name matches.
#include "http/subtitle_types.h"
#include "scan/subtitle_sidecars.h"

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= input.size()) {
        const size_t end = input.find('\n', start);
        lines.push_back(
            input.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    const std::string video = lines.front();
    const std::vector<std::string> names(lines.begin() + 1, lines.end());
    const std::string picked = subtitle_pick_sidecar(video, names);
    bool any = false;
    for (const std::string& name : names) {
        any = any || subtitle_matches_video(video, name);
        const SubtitleType* type = subtitle_type_of(name);
        if (subtitle_is_sidecar_name(name) != (type != nullptr)) {
            __builtin_trap();
        }
    }
    if (any != !picked.empty()) {
        __builtin_trap();
    }
    if (!picked.empty() && !subtitle_matches_video(video, picked)) {
        __builtin_trap();
    }
    return 0;
}
