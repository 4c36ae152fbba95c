// Whether a request that changes the server's state (SSDP stealth, a rescan,
// later the configuration) comes from the server's own pages or from a
// client speaking to the server directly, rather than from a page of another
// site that the user's browser happens to show.
#pragma once

#include "http/http_connection.h"

#include <string_view>

// True when:
// - the Host field names the listener the request came in on: its
//   "address:port", the bare address, this machine's host name (also with
//   ".local", as multicast DNS names it), or "localhost" when that listener
//   is on a loopback address; a name with the port only when it is the
//   listener's port. A browser sends the
//   name it resolved, so a foreign name with the server's address behind it
//   (DNS rebinding) is refused. A request without Host (HTTP/1.0 players
//   and scripts) passes this test; an empty Host does not.
// - an Origin field, when present, is "http://" and one of those names
//   ("null", sent by sandboxed and privacy-restricted pages, is refused);
// - a Referer field, when present, is an "http://" URL on one of those names.
// A request from another site's page that carries neither Origin nor Referer
// (an image whose page asked for no referrer) cannot be told from a player's
// and passes.
[[nodiscard]] bool http_request_is_own_origin(const HttpConnection* connection);

// The Host part of that test alone, for what the server shows rather than
// changes (the configuration pages, the play status): another site's script
// can read an answer only through a name of its own that it made resolve to
// this server, and the browser then sends that name. Origin and Referer are
// not asked, so that a link from another page still opens the pages.
[[nodiscard]] bool http_request_host_is_own(const HttpConnection* connection);

// The same test on the parts themselves: base_url is the listener's
// "http://address:port/", and has_* false marks a field the request lacks.
struct OriginFields {
    std::string_view machine_name; // this machine's host name; empty: none
    bool has_host = false;
    std::string_view host;
    bool has_origin = false;
    std::string_view origin;
    bool has_referer = false;
    std::string_view referer;
};
[[nodiscard]] bool http_origin_is_own(std::string_view base_url, const OriginFields& fields);
