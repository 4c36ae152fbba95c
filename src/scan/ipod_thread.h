// The iPod worker: reads the database named by "ipoddb" once the persistence
// file has been read, and again whenever the file's modification time grows.
#pragma once

#include "core/threads.h"

// Starts the worker when "ipoddb" is set.
void ipod_thread_start(ThreadFlag& flag, const ThreadFlag& reader_flag);
