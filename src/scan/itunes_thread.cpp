#include "scan/itunes_thread.h"

#include "core/settings.h"
#include "scan/itunes_library.h"
#include "scan/library_watch.h"

void itunes_thread_start(ThreadFlag& flag, const ThreadFlag& reader_flag)
{
    const std::string file = setting_str(KEY_ITUNESLIB);
    library_watch_start(flag, reader_flag, LibraryWatch{file, 100, 20, "iTunes library"},
                        [file](const ThreadFlag* f) { itunes_import(file, f); });
}
