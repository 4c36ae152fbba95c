// The delivery URLs of a CALLBACK header value: one or more "<http://...>"
// groups, tried in order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct CallbackUrl {
    std::string host;      // name or dotted address
    int port = 80;         // 80 when the URL names none
    std::string host_port; // host and port as written, for the HOST line
    std::string path;      // from the first '/' after the host, up to '>'
};

// The URLs in order; the walk ends at the first URL without a path.
std::vector<CallbackUrl> callback_urls(std::string_view callback);
