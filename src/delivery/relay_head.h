// Reading the answer of a relayed source: its status line and the header
// fields the relay acts on, the type the client is sent, and the addresses
// a redirection or a playlist body names. Internet radio servers answer
// with "ICY 200 OK" instead of an HTTP status line; both are read here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The longest address taken from an answer.
inline constexpr size_t kRelayUrlLimit = 1024;

struct RelayHead {
    bool icy = false; // an "ICY" status line
    int status = 0;   // 0 when the status line is unreadable
    // Lower case, without parameters; empty when absent or not a plain
    // "type/subtype" (it goes into the client's head as it stands).
    std::string content_type;
    int64_t content_length = -1;
    std::string location; // the Location field as sent
    bool chunked = false; // Transfer-Encoding: chunked
};

// The fields of an answer head (status line and header lines, CR LF or LF).
RelayHead relay_parse_head(std::string_view head);

// The type the client gets when the answer is media; nothing when it is
// not (a redirection, a playlist, a page, an error). An ICY answer is
// "audio/mpeg" unless it names another audio type; an HTTP 200 is media
// when its type is audio, video, image or "application/ogg" and no playlist
// type, and when it names no type or "application/octet-stream", the
// type of url's extension decides.
std::optional<std::string> relay_media_type(const RelayHead& head, std::string_view url);

// Whether the status asks the client to go elsewhere (301, 302, 303, 307,
// 308).
bool relay_is_redirect(const RelayHead& head);

// The absolute "http://" address a Location value names from url: an
// absolute one as it stands, "/path" on url's host, any other relative one
// beside url's last path component. Nothing for another scheme or a value
// with control bytes.
std::optional<std::string> relay_resolve_location(std::string_view url, std::string_view location);

// The "http://" addresses in text, in order, at most max of them; each runs
// to the first control byte, blank, quotation mark or angle bracket, and at
// most kRelayUrlLimit bytes (a longer one is left out), so that the lines
// of m3u and pls files and the attributes of XML playlists all give
// addresses.
std::vector<std::string> relay_candidates(std::string_view text, size_t max);
