#include "scan/itunes_thread.h"

#include "core/settings.h"
#include "scan/itunes_library.h"
#include "scan/library_watch.h"

#include <memory>

void itunes_thread_start(ThreadFlag& flag, const ThreadFlag& reader_flag)
{
    const std::string file = setting_str(KEY_ITUNESLIB);
    if (file.empty()) {
        return;
    }
    ThreadFlag* f = &flag;
    const ThreadFlag* r = &reader_flag;
    start_worker(flag, [f, r, file] {
        // What the last import added, so that the next one can remove what
        // left the library.
        auto contents = std::make_unique<LibraryContents>();
        const LibraryWatch watch{file, 100, 20, "iTunes library"};
        library_watch_run(*f, *r, watch, [&] { itunes_import(file, *contents, f); });
    });
}
