#include "scan/vorbis_comment.h"

#include "core/utf8.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <strings.h>

namespace
{

uint32_t le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t be32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

bool name_is(std::string_view name, const char* wanted)
{
    const size_t length = strlen(wanted);
    return name.size() == length && strncasecmp(name.data(), wanted, length) == 0;
}

// The leading number of "3" or "3/12".
int32_t leading_number(std::string_view text)
{
    int64_t value = 0;
    for (size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9' && value < INT32_MAX;
         ++i) {
        value = value * 10 + (text[i] - '0');
    }
    return static_cast<int32_t>(std::min<int64_t>(value, INT32_MAX));
}

// The first of repeated fields wins, as a player shows the first artist.
void set_once(std::optional<std::string>& field, std::string_view value)
{
    if (!field && !value.empty()) {
        field = utf8_repair(value);
    }
}

void take_comment(std::string_view entry, MusicTags& tags, MusicPicture* picture,
                  std::optional<std::string>& album_artist)
{
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos) {
        return;
    }
    const std::string_view name = entry.substr(0, equals);
    const std::string_view value = entry.substr(equals + 1);
    if (name_is(name, "TITLE")) {
        set_once(tags.title, value);
    } else if (name_is(name, "ARTIST")) {
        set_once(tags.artist, value);
    } else if (name_is(name, "ALBUMARTIST") || name_is(name, "ALBUM ARTIST")) {
        set_once(album_artist, value);
    } else if (name_is(name, "ALBUM")) {
        set_once(tags.album, value);
    } else if (name_is(name, "GENRE")) {
        set_once(tags.genre, value);
    } else if (name_is(name, "DATE") || name_is(name, "YEAR")) {
        if (!tags.date && !value.empty() && value[0] >= '0' && value[0] <= '9') {
            tags.date = music_date_from_year(value);
        }
    } else if (name_is(name, "TRACKNUMBER")) {
        if (tags.track == 0) {
            tags.track = leading_number(value);
        }
    } else if (name_is(name, "COMPILATION")) {
        tags.compilation = tags.compilation || leading_number(value) == 1;
    } else if (name_is(name, "METADATA_BLOCK_PICTURE")) {
        MusicPicture found;
        std::string bytes;
        if (!music_base64_decode(value, bytes) ||
            !music_picture_parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                 found)) {
            return;
        }
        const bool first = tags.album_art == 0;
        tags.album_art = 1;
        if (picture &&
            (first || (found.type == kPictureFrontCover && picture->type != kPictureFrontCover))) {
            *picture = std::move(found);
        }
    }
}

// The track's own artist comes first; the album's stands in for it.
void take_album_artist(MusicTags& tags, std::optional<std::string>& album_artist)
{
    if (!tags.artist && album_artist) {
        tags.artist = std::move(album_artist);
    }
}

int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    return c == '/' ? 63 : -1;
}

} // namespace

bool vorbis_comment_parse(const uint8_t* data, size_t n, MusicTags& tags, MusicPicture* picture)
{
    if (n < 4) {
        tags.problem = "comment block too short";
        return false;
    }
    const uint32_t vendor = le32(data);
    if (vendor > n - 4 || n - 4 - vendor < 4) {
        tags.problem = "vendor text past the comment block";
        return false;
    }
    size_t at = 4 + vendor;
    const uint32_t count = le32(data + at);
    at += 4;
    std::optional<std::string> album_artist;
    for (uint32_t i = 0; i < count; ++i) {
        if (n - at < 4) {
            tags.problem = "comment count past the comment block";
            take_album_artist(tags, album_artist);
            return false;
        }
        const uint32_t length = le32(data + at);
        at += 4;
        if (length > n - at) {
            tags.problem = "comment past the comment block";
            take_album_artist(tags, album_artist);
            return false;
        }
        take_comment(std::string_view(reinterpret_cast<const char*>(data + at), length), tags,
                     picture, album_artist);
        at += length;
    }
    take_album_artist(tags, album_artist);
    return true;
}

bool music_picture_parse(const uint8_t* data, size_t n, MusicPicture& out)
{
    size_t at = 0;
    // Reads a 32-bit length and checks that many bytes follow it.
    auto length_at = [&](uint32_t& length) {
        if (n - at < 4) {
            return false;
        }
        length = be32(data + at);
        at += 4;
        return length <= n - at;
    };
    if (n < 4) {
        return false;
    }
    const uint32_t type = be32(data);
    at = 4;
    uint32_t mime = 0;
    if (!length_at(mime)) {
        return false;
    }
    const size_t mime_at = at;
    at += mime;
    uint32_t description = 0;
    if (!length_at(description)) {
        return false;
    }
    at += description;
    if (n - at < 16) { // width, height, depth, colours
        return false;
    }
    at += 16;
    uint32_t size = 0;
    if (!length_at(size)) {
        return false;
    }
    out.type = type;
    out.mime.assign(reinterpret_cast<const char*>(data + mime_at), mime);
    out.data.assign(reinterpret_cast<const char*>(data + at), size);
    return true;
}

bool music_base64_decode(std::string_view text, std::string& out)
{
    out.clear();
    out.reserve(text.size() / 4 * 3);
    uint32_t bits = 0;
    int held = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] != '='; ++i) {
        const int value = base64_value(text[i]);
        if (value < 0) {
            return false;
        }
        bits = bits << 6 | static_cast<uint32_t>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<char>(bits >> held & 0xff));
        }
    }
    for (; i < text.size(); ++i) {
        if (text[i] != '=') {
            return false;
        }
    }
    return true;
}
