// The station list reader on arbitrary bytes, in both answer formats: every
// station it returns has an "http://" address or none, and a genre.
#include "scan/station_list.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string body(reinterpret_cast<const char*>(data), size);
    const std::vector<StationEntry> stations = station_list_read(body.c_str(), 100);
    if (stations.size() > 100) {
        abort();
    }
    for (const StationEntry& s : stations) {
        if ((!s.path.empty() && s.path.rfind("http://", 0) != 0) || s.genre.empty() ||
            s.bitrate < 0) {
            abort();
        }
    }
    return 0;
}
