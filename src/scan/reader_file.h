// A music file opened by a reader: its size and change time taken once, and
// reads at an offset that never reach past the size it had then.
#pragma once

#include "scan/music_tags.h"

#include <cstddef>
#include <cstdint>

struct ReaderFile {
    explicit ReaderFile(const char* path);
    ~ReaderFile();
    ReaderFile(const ReaderFile&) = delete;
    ReaderFile& operator=(const ReaderFile&) = delete;

    // Whether the file opened and its size is known.
    bool ok() const
    {
        return fd >= 0 && size >= 0;
    }

    // Exactly n bytes at the offset; false when the file does not hold them.
    bool read_at(int64_t at, void* to, size_t n) const;

    int fd = -1;
    int64_t size = -1;
    int64_t mtime = 0;
};

// Starts a file's record: its size and change time, or the problem "cannot
// open" (and false) when it did not open.
bool reader_file_tags_start(const ReaderFile& file, MusicTags& tags);
