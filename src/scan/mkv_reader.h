// Matroska and WebM video ("mkv", "webm"): the play time and title of the
// segment's Info, the picture size of the first video track and the title
// of the file-wide tags, found before the first cluster. Every element
// length is checked against the bytes around it.
// Full edition only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The Info, Tracks and Tags elements are read up to this length each.
inline constexpr size_t kMkvElementRead = 1024 * 1024;

struct MkvInfo {
    std::optional<std::string> title;
    int64_t duration_ms = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// The record from the first n bytes of a file (all of it in memory).
MkvInfo mkv_parse(const uint8_t* data, size_t n);

// The record of the file at path; empty when it cannot be read.
MkvInfo mkv_read(const char* path);

// The scanner's reader. Returns the db_add_item result.
int mkv_add(const char* path, int compilation);
