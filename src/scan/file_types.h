// The scanner's view of the file-type table: the rows this edition scans and
// the code behind each reader of the table.
#pragma once

#include "core/file_type_table.h"

#include <span>
#include <string_view>

// A reader: the file's full path and its directory's compilation flag;
// returns the db_add_item result.
using ScanReader = int (*)(const char* path, int compilation);

// The rows this edition scans, in the table's order: the music rows only in
// the music edition. A row whose reader is not part of this program is
// still there; scan_reader answers null for it.
std::span<const FileTypeRow> scan_file_types();

// The code of a reader; null when this program holds none.
ScanReader scan_reader(FileReader reader);

// Sets the code of a reader; done once at start-up, before any scan.
void scan_register_reader(FileReader reader, ScanReader code);

// The scanned row of a file name's extension in this edition; null when
// none.
const FileTypeRow* scan_file_type(std::string_view file_name);

// Whether the name (a path or an address; a query after '?' is ignored)
// ends in the extension of a music track type of this edition: a music row
// that is no playlist. Library imports and remote playlist entries add only
// such files, whatever else the library or playlist names.
bool scan_is_music_track_name(std::string_view name);

// The extension of a file name as the table compares it: the text after its
// last '.', the whole name when it has none.
std::string_view scan_extension(std::string_view file_name);
