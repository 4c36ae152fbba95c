// Matroska and WebM video ("mkv", "webm"): the play time and title of the
// segment's Info, the picture size of the first video track and the title
// of the file-wide tags. The elements are read from the file's first bytes
// up to the first cluster; every element length is checked against them.
// Full edition only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// How much of the file's start is read.
inline constexpr size_t kMkvHeadRead = 4 * 1024 * 1024;

struct MkvInfo {
    std::optional<std::string> title;
    int64_t duration_ms = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// The record from the first n bytes of a file.
MkvInfo mkv_parse(const uint8_t* data, size_t n);

// The record of the file at path; empty when it cannot be read.
MkvInfo mkv_read(const char* path);

// The scanner's reader. Returns the db_add_item result.
int mkv_add(const char* path, int compilation);
