// What a value must look like to enter the media tree. Every text the tree
// keeps ends up in a line of the persistence file, in DIDL-Lite, in event
// bodies and in pages, so bytes below 32 never get in: a line feed in a tag
// would otherwise become a record line of its own in the persistence file.
// Values are also bounded, so that a tag or a request cannot grow the tree
// and the file without limit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The longest text value the tree keeps (title, artist, album, genre, date,
// duration, description, keywords, playlist and container titles), in
// bytes. With its three-byte tag it fits one line of the persistence file,
// and anything longer could not be shown by DIDL-Lite anyway.
inline constexpr size_t kDbMaxText = 1000;

// The longest path or URL of an item, in bytes: what the file system takes
// as a path (PATH_MAX, its NUL included).
inline constexpr size_t kDbMaxPath = 4095;

// The value as the tree keeps it: a tab becomes a blank, every other byte
// below 32 is dropped, invalid UTF-8 becomes U+FFFD, and the rest is cut to
// at most max bytes, before a character that would not fit whole.
std::string db_clean_text(std::string_view text, size_t max = kDbMaxText);

// Whether text holds no byte below 32.
bool db_text_is_clean(std::string_view text);

// Whether a path may name an item: not empty, no byte below 32 and at most
// kDbMaxPath bytes. A path is never altered to fit, since another path
// names another file.
bool db_path_acceptable(std::string_view path);
