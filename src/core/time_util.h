// Clocks and the time and duration texts of HTTP and UPnP answers.
#pragma once

#include <cstdint>
#include <string>

// Milliseconds since the first call (which returns 0); wraps after ~49 days.
uint32_t elapsed_ms();

// The current UTC time as "%a, %d %b %Y %H:%M:%S GMT" with English day and
// month names, whatever the process locale.
std::string http_date();

// "H:MM:SS.mmm" (hours not padded), the form of UPnP "duration" values.
std::string format_duration(long ms);

// "HH:MM:SS", no fraction.
std::string format_clock(long ms);

// Milliseconds of "h:m:s.f": hours, minutes, seconds and the fraction taken
// as a plain number of milliseconds; missing fields count as 0.
long parse_duration(const char* text);
