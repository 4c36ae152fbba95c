#include "scan/ipod_thread.h"

#include "core/settings.h"
#include "scan/ipod_database.h"
#include "scan/library_watch.h"

void ipod_thread_start(ThreadFlag& flag, const ThreadFlag& reader_flag)
{
    const std::string file = setting_str(KEY_IPODDB);
    library_watch_start(flag, reader_flag, LibraryWatch{file, 200, 10, "iPod database"},
                        [file](const ThreadFlag*) { ipod_import(file); });
}
