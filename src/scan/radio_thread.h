// The internet radio worker: fetches the station list at start and then
// every "radioreread" minutes, and turns its stations into radio items,
// one genre container each below Internet Radio. Stations that came from
// playlist files (the favourites) are never touched.
#pragma once

#include "core/threads.h"

// The station that stands in for the list when it cannot be fetched.
inline constexpr const char* kNoStationsTitle = "<no connection to shoutcast>";
// A loopback address no server answers, so that playing it fails at once.
inline constexpr const char* kNoStationsPath = "http://127.0.0.1:9/no-station.mp3";

// Starts the worker when "radio" is on; it waits for the persistence reader
// first (the stations it reads are replaced, not doubled, by the fetch).
void radio_thread_start(ThreadFlag& flag, const ThreadFlag& reader_flag);

// One fetch and rebuild. A list that cannot be fetched, or that holds no
// station, leaves the stations as they are and adds the placeholder (once).
void radio_fetch(const ThreadFlag& flag);
