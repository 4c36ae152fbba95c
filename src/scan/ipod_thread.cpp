#include "scan/ipod_thread.h"

#include "core/settings.h"
#include "scan/ipod_database.h"
#include "scan/library_watch.h"

#include <memory>

void ipod_thread_start(ThreadFlag& flag, const ThreadFlag& reader_flag)
{
    const std::string file = setting_str(KEY_IPODDB);
    if (file.empty()) {
        return;
    }
    ThreadFlag* f = &flag;
    const ThreadFlag* r = &reader_flag;
    start_worker(flag, [f, r, file] {
        // What the last pass added, so that the next one can remove the
        // songs and playlists that left the player.
        auto contents = std::make_unique<LibraryContents>();
        const LibraryWatch watch{file, 200, 10, "iPod database"};
        library_watch_run(*f, *r, watch, [&] { ipod_import(file, *contents); });
    });
}
