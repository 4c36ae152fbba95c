// The worker-thread protocol: every long-lived worker owns a running flag
// (0 not running, 1 running, -1 stop requested). The worker sets 1 when it
// begins, leaves its loop as soon as the flag is no longer 1 and sets 0 as its
// very last action; shutdown only turns 1 into -1 and then polls for 0.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

using ThreadFlag = std::atomic<int>;

extern ThreadFlag g_upnp_server_thread_running;
extern ThreadFlag g_db_read_file_thread_running;
extern ThreadFlag g_db_write_file_thread_running;
extern ThreadFlag g_Radio_thread_running;
extern ThreadFlag g_iTunes_thread_running;
extern ThreadFlag g_iPod_thread_running;
extern ThreadFlag g_file_scan_thread_running;
extern ThreadFlag g_external_db_scan_thread_running;
extern ThreadFlag g_eventing_thread_running;
// Reserved: no worker sets it; shutdown still waits for it and reports it.
extern ThreadFlag g_Winamp_thread_running;

// Turns a running flag into a stop request; a flag that is not 1 is left alone.
void thread_request_stop(ThreadFlag& flag);

// Starts routine on a new detached thread, with a stack of stack_bytes (0:
// the system's default). On failure prints "Cannot create thread" with the
// system error and returns false.
bool start_thread(std::function<void()> routine, size_t stack_bytes = 0);

// Starts a worker that owns flag: raises the flag from 0 to 1 before the
// thread runs (so that nobody waiting for the worker can miss it) and starts
// routine, which sets the flag to 0 as its last action. False, with the flag
// untouched, when the worker runs already; false, with the flag back at 0,
// when no thread could be made.
bool start_worker(ThreadFlag& flag, std::function<void()> routine);

// Sleeps ms milliseconds with one nanosleep; an interrupted sleep is not resumed.
void sleep_ms(long ms);

// The text of the current errno.
std::string system_error_text();
