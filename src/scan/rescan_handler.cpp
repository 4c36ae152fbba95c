#include "scan/rescan_handler.h"

#include "core/paths.h"
#include "core/settings.h"
#include "core/utf8.h"
#include "http/html_escape.h"
#include "http/http_origin.h"
#include "http/http_response.h"
#include "http/url.h"
#include "scan/scanner.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace
{

constexpr size_t kMaxDir = 1023;
constexpr size_t kMaxPage = 2047;

int send_page(HttpConnection* c, const char* format, const std::string& dir)
{
    char page[kMaxPage + 1];
    // A directory name is the file system's bytes: shown as UTF-8 when it
    // is, else as Latin-1, and a page cut at its bound ends on a whole
    // character.
    const std::string shown =
        dir.empty() ? "content root directories" : html_escape(utf8_from_unknown(dir));
    int n = snprintf(page, sizeof page, format, shown.c_str());
    const size_t length = std::min<size_t>(n < 0 ? 0 : static_cast<size_t>(n), kMaxPage);
    c->content_type = kMimeHtml;
    c->content_length = static_cast<int64_t>(utf8_complete_prefix(std::string_view(page, length)));
    return http_send_response(c, page) == 0 ? HTTP_KEEP : HTTP_CLOSE;
}

} // namespace

std::optional<std::string> rescan_dir_resolve(const std::string& dir)
{
    if (dir.empty()) {
        return dir;
    }
    const ContentRoot asked = content_root_split(dir);
    const std::optional<std::string> canonical = path_canonical_allow_missing(asked.written);
    if (!canonical || path_is_system(*canonical)) {
        return std::nullopt;
    }
    for (const ContentRoot& root : content_roots()) {
        if (root.kind == asked.kind && path_is_below(*canonical, root.canonical)) {
            const std::string prefix = asked.kind ? dir.substr(0, 2) : "";
            return prefix + *canonical;
        }
    }
    return std::nullopt;
}

int rescan_handler(HttpConnection* c)
{
    static constexpr char kRunning[] =
        "<html><head><title>Rescan</title></head><body>rescan allready running!</body></html>";
    if (!http_request_is_own_origin(c)) {
        return http_send_empty(c, 403);
    }
    if (scan_requested()) {
        return send_page(c, kRunning, "");
    }
    // The text after "/rescan" and one separator: /rescan?M|/data/music.
    const char* url = c->url.data();
    std::string dir = strlen(url) > 8 ? std::string(url + 8).substr(0, kMaxDir) : std::string();
    url_decode(dir);
    if (const std::optional<std::string> walked = rescan_dir_resolve(dir)) {
        // Another request may have come first since the test above.
        if (!scan_request(*walked)) {
            return send_page(c, kRunning, "");
        }
        return send_page(
            c,
            "<html><head><title>Rescan</title></head><body>rescan initiated on %s!</body></html>",
            dir);
    }
    return send_page(
        c, "<html><head><title>Rescan</title></head><body>rescan invalid for %s!</body></html>",
        dir);
}
