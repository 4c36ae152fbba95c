#include "delivery/relay_head.h"

#include "core/text_util.h"
#include "http/http_head.h"
#include "http/mime.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace
{

std::string lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return out;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// Three digits after the protocol word, as "HTTP/1.0 200" or "ICY 200".
int status_code(std::string_view line)
{
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos || line.size() < blank + 4) {
        return 0;
    }
    const std::string_view digits = line.substr(blank + 1, 3);
    if (!std::all_of(digits.begin(), digits.end(),
                     [](char ch) { return ch >= '0' && ch <= '9'; })) {
        return 0;
    }
    return (digits[0] - '0') * 100 + (digits[1] - '0') * 10 + (digits[2] - '0');
}

// Types whose body lists addresses rather than being the media: the relay
// follows them instead of passing them on.
bool is_playlist_type(const std::string& type)
{
    static const char* const kPlaylists[] = {
        "audio/x-mpegurl",       "audio/mpegurl",
        "application/x-mpegurl", "application/vnd.apple.mpegurl",
        "audio/x-scpls",         "audio/scpls",
        "application/pls+xml",   "application/xspf+xml",
        "audio/x-ms-wax",        "video/x-ms-asx",
        "application/x-ms-asx",
    };
    return std::any_of(std::begin(kPlaylists), std::end(kPlaylists),
                       [&](const char* p) { return type == p; });
}

bool is_media_type(const std::string& type)
{
    return !is_playlist_type(type) &&
           (type.rfind("audio/", 0) == 0 || type.rfind("video/", 0) == 0 ||
            type.rfind("image/", 0) == 0 || type == "application/ogg");
}

bool has_control_byte(std::string_view text)
{
    return std::any_of(text.begin(), text.end(),
                       [](char ch) { return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F; });
}

// A media type as the client may be sent it: "type/subtype" of token
// characters and of sane length. Anything else (a line break that would
// split the client's head, a value longer than the head has room for) is
// taken as no type at all.
bool is_plain_type(std::string_view type)
{
    constexpr size_t kLongestType = 127;
    const size_t slash = type.find('/');
    if (type.size() > kLongestType || slash == std::string_view::npos || slash == 0 ||
        slash + 1 == type.size()) {
        return false;
    }
    return std::all_of(type.begin(), type.end(), [](char ch) {
        return (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
               (ch != '\0' && strchr("/!#$&^_.+-", ch) != nullptr);
    });
}

bool ends_candidate(char ch)
{
    const auto u = static_cast<unsigned char>(ch);
    return u <= 0x20 || u == 0x7F || ch == '"' || ch == '\'' || ch == '<' || ch == '>';
}

} // namespace

RelayHead relay_parse_head(std::string_view head)
{
    RelayHead h;
    size_t at = 0;
    const std::optional<std::string_view> first = http_head_next_line(head, at);
    if (!first) {
        return h;
    }
    h.icy = first->rfind("ICY ", 0) == 0;
    // The fields by the rule every head is read by; an answer that rule
    // refuses (disagreeing lengths, a second Location, an unknown transfer
    // coding) is no answer the relay can pass on.
    HttpHead split;
    if (http_split_head(head, split).status != HeadSplit::Ok) {
        return h;
    }
    if (h.icy || first->rfind("HTTP/", 0) == 0) {
        h.status = status_code(*first);
    }
    const std::string_view type = http_head_field(head, split, HttpField::ContentType);
    std::string bare = lower(trim(type.substr(0, type.find(';'))));
    h.content_type = is_plain_type(bare) ? std::move(bare) : std::string();
    h.content_length = split.content_length;
    h.location =
        std::string(http_head_field(head, split, HttpField::Location).substr(0, kRelayUrlLimit));
    h.chunked = split.chunked;
    return h;
}

std::optional<std::string> relay_media_type(const RelayHead& head, std::string_view url)
{
    if (head.status != 200 || head.chunked) {
        return std::nullopt;
    }
    if (head.icy) {
        return head.content_type.rfind("audio/", 0) == 0 && is_media_type(head.content_type)
                   ? head.content_type
                   : std::string("audio/mpeg");
    }
    if (is_media_type(head.content_type)) {
        return head.content_type;
    }
    if (head.content_type.empty() || head.content_type == "application/octet-stream") {
        // The address may end in a query; the type is the path's.
        const std::string_view path = url.substr(0, url.find('?'));
        const std::string by_name = mime_type_for(path.substr(path.rfind('/') + 1));
        if (is_media_type(by_name)) {
            return by_name;
        }
    }
    return std::nullopt;
}

bool relay_is_redirect(const RelayHead& head)
{
    return head.status == 301 || head.status == 302 || head.status == 303 || head.status == 307 ||
           head.status == 308;
}

std::optional<std::string> relay_resolve_location(std::string_view url, std::string_view location)
{
    if (location.empty() || has_control_byte(location) || location.size() > kRelayUrlLimit) {
        return std::nullopt;
    }
    if (starts_with_nocase(location, "http://")) {
        return "http://" + std::string(location.substr(7));
    }
    // Another scheme ("https:", "ftp:", "mms:") is none the relay can follow.
    const size_t colon = location.find(':');
    const size_t slash = location.find('/');
    if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash)) {
        return std::nullopt;
    }
    if (!starts_with_nocase(url, "http://")) {
        return std::nullopt;
    }
    if (location.rfind("//", 0) == 0) {
        return "http:" + std::string(location);
    }
    const size_t path_start = url.find('/', 7);
    const std::string_view origin = url.substr(0, path_start);
    if (location.front() == '/') {
        return std::string(origin) + std::string(location);
    }
    std::string_view path =
        path_start == std::string_view::npos ? std::string_view("/") : url.substr(path_start);
    path = path.substr(0, path.find('?'));
    path = path.substr(0, path.rfind('/') + 1);
    return std::string(origin) + std::string(path) + std::string(location);
}

std::vector<std::string> relay_candidates(std::string_view text, size_t max)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (out.size() < max) {
        const size_t found = text.find("http://", at);
        if (found == std::string_view::npos) {
            break;
        }
        size_t end = found + 7;
        while (end < text.size() && !ends_candidate(text[end])) {
            ++end;
        }
        at = end;
        if (end - found > 7 && end - found <= kRelayUrlLimit) {
            out.emplace_back(text.substr(found, end - found));
        }
    }
    return out;
}
