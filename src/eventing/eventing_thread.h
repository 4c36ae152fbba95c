// The moderation loop: at most one ContentDirectory event every two
// seconds, carrying every container that changed in that time.
#pragma once

#include "core/threads.h"

inline constexpr int kEventModerationSteps = 20; // of 100 ms

// Raises the flag and starts the loop on a thread of its own.
bool eventing_thread_start(ThreadFlag& running);

// The loop itself, on the calling thread; it lowers the flag at its end.
void eventing_thread(ThreadFlag& running);
