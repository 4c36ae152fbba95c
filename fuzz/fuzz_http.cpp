// The request head and body readers, the range parser and the search parser
// on arbitrary bytes, as a client would send them.
#include "control/clients.h"
#include "control/soap.h"
#include "http/http_client.h"
#include "http/http_range.h"
#include "http/http_read.h"
#include "upnp/ssdp.h"

#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 65536) {
        return 0;
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        return 0;
    }
    int buffer = 1 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    if (write(fds[1], data, size) != static_cast<ssize_t>(size)) {
        close(fds[0]);
        close(fds[1]);
        return 0;
    }
    close(fds[1]);
    HttpReader reader;
    reader.socket = fds[0];
    char head[kHttpHeadSize];
    for (int request = 0; request < 4; ++request) {
        HeadResult r = http_read_head(reader, head, sizeof head);
        if (r.status == HeadStatus::Closed || r.status == HeadStatus::Failed) {
            break;
        }
        http_parse_range(head);
        http_byte_span(http_parse_range(head), 1000);
        ssdp_parse_msearch(head);
        HttpHead split;
        if (http_split_head(std::string_view(head, r.length), split).status == HeadSplit::Ok) {
            // Every field view lies within the head.
            for (size_t f = 0; f < kHttpFieldCount; ++f) {
                const std::string_view v = http_head_field(head, split, static_cast<HttpField>(f));
                if (!v.empty() && (v.data() < head || v.data() + v.size() > head + r.length)) {
                    abort();
                }
            }
            soap_action_of(http_head_field(head, split, HttpField::SoapAction));
            // The players' texts, looked for in the head and its fields.
            client_type_from_head(std::string_view(head, r.length));
            HttpConnection c;
            if (http_set_head(&c, std::string_view(head, r.length))) {
                client_of(&c);
            }
            http_read_body(reader, split, 1 << 16);
        }
    }
    close(fds[0]);
    // The same bytes as a URL the client would be given.
    const std::string url(reinterpret_cast<const char*>(data), size);
    http_parse_url(url.c_str());
    return 0;
}
