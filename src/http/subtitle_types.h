// The subtitle formats that travel beside a video as a file of their own:
// their extension, the type a player is told in protocolInfo and
// Content-Type, and the name the captioning televisions give the format.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct SubtitleType {
    const char* extension; // lower case, as written in URLs
    const char* mime;
    const char* caption_type; // sec:type of CaptionInfoEx
};

// The format of a file name by its extension (case ignored), or null.
const SubtitleType* subtitle_type_of(std::string_view file_name);

// The table's rank of a format: a lower rank is preferred when one video has
// sidecars of several formats.
int subtitle_type_rank(const SubtitleType* type);

// The URL under which the subtitle of the item with that object id is
// served: "<base>subtitle/<id>.<ext>" (base ends with '/').
std::string subtitle_url(std::string_view base, int64_t id, const SubtitleType& type);
