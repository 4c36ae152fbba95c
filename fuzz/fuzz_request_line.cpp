// The server's request-line parse and head split on the same arbitrary
// bytes, as a client would send them as one request head.
#include "http/http_connection.h"
#include "http/http_head.h"
#include "http/http_server.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The server never holds more than one head buffer of text.
    if (size >= kHttpHeadSize) {
        return 0;
    }
    auto c = std::make_unique<HttpConnection>();
    memcpy(c->head.data(), data, size);
    c->head[size] = '\0';
    if (http_parse_request_line(*c)) {
        // The kept target is NUL-terminated within the URL buffer and holds
        // no control characters.
        const size_t kept = strnlen(c->url.data(), c->url.size());
        if (kept == c->url.size()) {
            abort();
        }
        for (size_t i = 0; i < kept; ++i) {
            if (static_cast<unsigned char>(c->url[i]) < ' ') {
                abort();
            }
        }
        if (c->http_version != 10 && c->http_version != 11) {
            abort();
        }
    }
    // The split reads the head only up to the first NUL, as received.
    const std::string_view head(c->head.data(), strnlen(c->head.data(), size));
    if (http_split_head(head, c->fields).status == HeadSplit::Ok) {
        for (size_t f = 0; f < kHttpFieldCount; ++f) {
            const std::string_view v = http_header(c.get(), static_cast<HttpField>(f));
            if (!v.empty() && (v.data() < head.data() || v.data() + v.size() > head.end())) {
                abort();
            }
        }
    }
    return 0;
}
