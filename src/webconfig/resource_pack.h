// The static files of the configuration pages (the frame set, the
// navigation bar and its pictures) travel inside the full edition's program
// file: appended after its last byte as a pack whose index sits at the very
// end. A file of the same name in the start directory is served instead, so
// that the pages can be changed without rebuilding.
//
// Pack layout (integers unsigned 32-bit big-endian): the data blocks, one
// index entry of 264 bytes per file (size, offset from the start of the
// program file, 256 bytes of zero-padded name), the count, and "QX".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr size_t kPackEntrySize = 264;
inline constexpr size_t kPackNameSize = 256;
inline constexpr int kPackMaxEntries = 99;
// The largest file served from the pack or the start directory.
inline constexpr int64_t kResourceMaxBytes = 16 * 1024 * 1024;

// Records the pack file (the program file, 4095 characters kept) and
// the override directory (the start directory, 1023 characters kept).
void resource_init(std::string_view pack_file, std::string_view override_directory);

// Whether name may name a static file: a plain file name of web content
// (".htm", ".html", ".css", ".js", ".gif", ".jpg", ".jpeg", ".png", ".ico",
// ".svg"), without a directory part, "..", a leading '.', a backslash or a
// control byte. The start directory also holds the settings file and
// perhaps the library's persistence file: neither goes out through here.
bool resource_name_allowed(std::string_view name);

// The whole content of the static file name: from the override directory
// when a regular file of that name is there, else from the pack, where the
// name must match exactly (letter case counts). Nothing for a name that is
// not allowed, a missing file, a program without a pack or a damaged pack.
std::optional<std::string> resource_read(std::string_view name);

// Appends the regular files of resource_directory, in name order, as a pack
// to program_file; prints "resources already added to %s\n" when it ends in
// a pack already, and "added %d resources from %s\n" when done. 0 done (or
// already done), 1 failed (the program file is left as it was).
int resource_pack_write(const char* program_file, const char* resource_directory);
