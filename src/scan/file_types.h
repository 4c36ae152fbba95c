// Which reader reads a file, by its extension, and what kind of media it
// gives. Rows are tried in their order; a row whose reader is not part of
// this program is passed over.
#pragma once

#include <span>
#include <string_view>

// A reader: the file's full path and its directory's compilation flag;
// returns the db_add_item result.
using ScanReader = int (*)(const char* path, int compilation);

struct ScanFileType {
    const char* extension;
    ScanReader reader; // null: not read by this program
    char kind;         // 'M' music, 'P' pictures, 'V' video
};

// The rows of this program's edition: the music rows only in the music
// edition.
std::span<const ScanFileType> scan_file_types();

// Sets the reader of the row for extension; done once at start-up, before
// any scan.
void scan_register_reader(const char* extension, ScanReader reader);

// Whether the name (a path or an address; a query after '?' is ignored)
// ends in the extension of a music track type of this edition: a music row
// that is no playlist. Library imports and remote playlist entries add only
// such files, whatever else the library or playlist names.
bool scan_is_music_track_name(std::string_view name);

// The extension of a file name as the table compares it: the text after its
// last '.', the whole name when it has none.
std::string_view scan_extension(std::string_view file_name);
