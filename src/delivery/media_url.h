// The item named by a media URL. Every handler that serves an item reads the
// id from its URL here: "disk/<id>.<ext>", "continue/<id>_<offset>.<ext>",
// "albumart-mp3/<id>.jpg", "albumart-wma/<id>.jpg" and "m3u/<id>" (the
// picture URLs, with their size, are read by parse_picture_url). The id text
// runs from after the keyword; the tree reads its leading digits
// (db_parse_id), so "12.mp3" and "12" name the same item.
#pragma once

#include <cstdint>
#include <optional>

// The id text after the first occurrence of keyword in url; null when the URL
// lacks the keyword.
const char* media_url_id(const char* url, const char* keyword);

// "continue/<id>_<offset>.<ext>": the id text, the number of characters
// before "continue/" (kept when the URL is rewritten to "disk/"), and the
// byte offset, read after the first '_' of the URL (0 without one).
struct ContinueUrl {
    const char* id_text = nullptr;
    int prefix_length = 0;
    int64_t offset = 0;
};
std::optional<ContinueUrl> media_url_continue(const char* url);

// The object id of an id text as the play status shows it: its leading
// decimal number, -1 when that does not fit 32 bits.
int32_t media_url_object_id(const char* id_text);
