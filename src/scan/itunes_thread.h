// The iTunes worker: imports the library file named by "ituneslib" once the
// persistence file has been read, and again whenever the file's modification
// time grows.
#pragma once

#include "core/threads.h"

// Starts the worker when "ituneslib" is set.
void itunes_thread_start(ThreadFlag& flag, const ThreadFlag& reader_flag);
