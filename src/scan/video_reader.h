// Video files enter the tree with what the file system tells of them and,
// for the formats a reader looks into (MP4, Matroska), their title, play
// time and picture size. Full edition only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What a reader found in a video file; zero or empty for what it did not.
struct VideoDetails {
    std::optional<std::string> title; // the file name's title when empty
    int64_t duration_ms = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// Adds a movie item for the file with the details; returns the db_add_item
// result (1 also when the file cannot be stat'ed).
int video_add(const char* path, int compilation, const VideoDetails& details);

// The reader of the video files no reader looks into.
int add_video(const char* path, int compilation);

// The reader of MP4 video ("mp4", "m4v", "mov").
int mp4_video_add(const char* path, int compilation);
