// Picture files: the JPEG frame size and what the EXIF block tells (date,
// description, pixel size), found behind whatever segments come first.
// Every value is read with bounds against the file and the block, since a
// picture may come from anywhere. Full edition only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

inline constexpr int64_t kExifBlockLimit = 1048576;
inline constexpr uint32_t kExifStringLimit = 1024;

struct PictureInfo {
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t orientation = 0;
    uint32_t x_resolution = 0; // the raw value fields, kept but not used
    uint32_t y_resolution = 0;
    int64_t size = 0;
    time_t mtime = 0;
    // "YYYY-MM-DD" of DateTimeOriginal, else of DateTime, else of the
    // file's change time; none without EXIF.
    std::optional<std::string> date;
    std::optional<std::string> date_taken;  // DateTimeOriginal as it stands
    std::optional<std::string> description; // UTF-8
};

// The frame size from the first frame header (SOF markers C0-C3, C5-C7,
// C9-CB, CD-CF) of a JPEG stream of size bytes; false when there is none.
bool jpeg_frame_size(FILE* f, int64_t size, uint32_t& width, uint32_t& height);

// The size in a PNG file's IHDR chunk; false (the file back at its start)
// when it is no PNG file.
bool png_frame_size(FILE* f, uint32_t& width, uint32_t& height);

// Everything of a picture read from an open stream of size bytes; ctime
// gives the date when the EXIF date is missing or unusable.
void read_picture_stream(FILE* f, int64_t size, time_t ctime, PictureInfo& info);

// The same for a file (size and modification time from its status).
void read_picture_info(const char* path, PictureInfo& info);

// The fields of the item: size, width, height, orientation, date,
// modification time and description.
PictureInfo get_picture_info(const char* path);

// Adds a photo item for the file; returns the db_add_item result.
int add_picture(const char* path, int compilation);
