// MIME types of served files, by extension.
#pragma once

#include <string_view>

// The MIME type for a file name's extension (ignoring case);
// "application/octet-stream" for every extension not listed.
const char* mime_type_for(std::string_view file_name);

// The text after the last '.', searched down to the second character; a name
// without such a '.' is returned whole (a file named "mp3" counts as MP3).
std::string_view file_extension(std::string_view file_name);
