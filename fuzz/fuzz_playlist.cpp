// The three playlist readers on arbitrary bytes: the first byte picks m3u,
// pls or wpl, the rest is the playlist file. Entries that name real files
// of this machine are added to a tree made for the input.
#include "core/settings.h"
#include "db/media_db.h"
#include "scan/playlist_readers.h"

#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = [] {
        settings_apply_defaults();
        return true;
    }();
    (void)ready;
    if (size < 1) {
        return 0;
    }
    // A tree of its own for every input, so that nothing one input added
    // outlives it.
    db_create();
    const int fd = memfd_create("playlist", 0);
    if (fd < 0) {
        return 0;
    }
    if (write(fd, data + 1, size - 1) == static_cast<ssize_t>(size - 1)) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        switch (data[0] % 3) {
        case 0:
            m3u_read(path.c_str(), 0);
            break;
        case 1:
            pls_read(path.c_str(), 0);
            break;
        default:
            wpl_read(path.c_str(), 0);
            break;
        }
    }
    close(fd);
    db_destroy();
    return 0;
}
