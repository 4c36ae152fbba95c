// The delivery URLs of a CALLBACK header value: one or more
// "<http://a.b.c.d[:port]/path>" groups, tried in order. A URL is parsed once,
// here, into the address and port that delivery connects to; the check that
// the URL points back at the subscriber reads the very same record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <vector>

// URLs kept per subscription: a control point needs one or two; every further
// one is ignored so that a subscriber cannot make one event cost many tries.
inline constexpr size_t kMaxCallbackUrls = 5;

struct CallbackUrl {
    in_addr address{};     // the host, a dotted IPv4 address
    uint16_t port = 80;    // 80 when the URL names none
    std::string host_port; // host and port as written, for the HOST line
    std::string path;      // from the first '/' after the host, up to '>'
};

// Parses the value into out (at most kMaxCallbackUrls URLs, the rest
// ignored). False, with out empty, when any kept group is not of the form
// above: another scheme, user information ("@"), a host name, a bad port, no
// path, control bytes or blanks in the path, or text outside the groups.
[[nodiscard]] bool callback_parse(std::string_view value, std::vector<CallbackUrl>& out);

// The parsed callback when every URL of it names subscriber (dotted IPv4
// text) itself, else false with out empty: anything else would let anybody
// on the network aim the server's requests at a third party.
[[nodiscard]] bool callback_accept(std::string_view value, std::string_view subscriber,
                                   std::vector<CallbackUrl>& out);

// The socket address delivery connects to for url.
sockaddr_in callback_destination(const CallbackUrl& url);
