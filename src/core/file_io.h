// Whole-file helpers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

// An open file descriptor (a file or a socket), closed when it goes out of
// scope; -1 holds nothing.
struct UniqueFd {
    explicit UniqueFd(int descriptor = -1) : fd(descriptor)
    {
    }
    ~UniqueFd();
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int fd;
};

// Copies the whole file at path to stream; returns the bytes copied, 0 when
// the file is missing or unreadable.
int64_t copy_file_to_stream(FILE* stream, const std::string& path);

// The whole content of the file at path; nothing when it cannot be read or
// holds more than limit bytes.
std::optional<std::string> read_whole_file(const std::string& path, size_t limit);

// Replaces the file at path by text: written to "<path>.tmp", synced and
// renamed over it, so that a crash or a full disk midway leaves the old file
// whole. False (and no temporary file left) when any step fails.
bool file_replace(const std::string& path, std::string_view text);
