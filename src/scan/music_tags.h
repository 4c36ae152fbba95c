// What a music reader finds in a file, and how it becomes a music item: the
// one record of the MP3, WMA and WAV readers and of the playlist readers
// that add their entries with it.
#pragma once

#include "db/media_db.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

constexpr int32_t kAlbumArtFromFolder = -1;

struct MusicTags {
    std::optional<std::string> title;
    std::optional<std::string> artist;
    std::optional<std::string> album;
    std::optional<std::string> genre;
    std::optional<std::string> date;     // "YYYY-01-01"
    std::optional<std::string> duration; // "H:MM:SS.mmm"
    int32_t track = 0;
    // Set by a tag that marks the album as a compilation; the directory's
    // flag holds otherwise.
    bool compilation = false;
    // For MP3 files the byte offset of the picture frame's data, for other
    // formats 1; 0 for none. An item's value is kAlbumArtFromFolder when its
    // art is the folder's cover file.
    int32_t album_art = 0;
    int32_t bitrate = 0; // kbit/s; 0 for variable or unknown
    int32_t audio_format = kAudioFormatUnknown;
    int64_t size = 0;
    int64_t mtime = 0;
    // What was wrong with the tags, for the log; empty when nothing was.
    std::string problem;
};

// "YYYY-01-01" from the leading number of a year or date text.
std::string music_date_from_year(std::string_view text);

// The item fields of a music track at path; the texts point into tags, which
// must outlive the fields.
DbItemFields music_item_fields(const MusicTags& tags, const char* path, int compilation);

// Adds the track; a failure is logged as "failed to add <kind>: <path>".
// Returns the db_add_item result.
int music_add(const MusicTags& tags, const char* path, int compilation, const char* kind);
