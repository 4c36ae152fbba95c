// The loop the library workers share: wait for the persistence reader, then
// run an import whenever the library file changes (its time, size or inode), until
// the worker is asked to stop.
#pragma once

#include "core/threads.h"

#include <functional>
#include <string>

struct LibraryWatch {
    std::string file;
    long period_ms = 100;  // one wait between two looks at the file is
    int periods = 20;      // this many periods, each ending at a stop request
    const char* what = ""; // for the log: "iTunes library", "iPod database"
};

// Runs in the worker; sets flag to 0 as its last action.
void library_watch_run(ThreadFlag& flag, const ThreadFlag& reader_flag, const LibraryWatch& watch,
                       const std::function<void()>& import);

// Starts a library worker for watch.file (nothing when it is empty): import
// runs with the worker's flag.
void library_watch_start(ThreadFlag& flag, const ThreadFlag& reader_flag, const LibraryWatch& watch,
                         std::function<void(const ThreadFlag* flag)> import);
