#include "scan/rescan_handler.h"

#include "control/xml.h"
#include "core/paths.h"
#include "core/settings.h"
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

bool starts_with_nocase(const std::string& text, const std::string& prefix)
{
    return !prefix.empty() && text.size() >= prefix.size() &&
           strncasecmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

int send_page(HttpConnection* c, const char* format, const std::string& dir)
{
    char page[kMaxPage + 1];
    // The directory comes from the URL: on the page it is text, never markup.
    const std::string escaped = xml_escape_text(dir);
    const char* shown = dir.empty() ? "content root directories" : escaped.c_str();
    int n = snprintf(page, sizeof page, format, shown);
    c->content_type = kMimeHtml;
    c->content_length = std::min<int64_t>(n < 0 ? 0 : n, kMaxPage);
    return http_send_response(c, page) == 0 ? HTTP_KEEP : HTTP_CLOSE;
}

} // namespace

bool rescan_dir_valid(const std::string& dir)
{
    if (dir.empty()) {
        return true;
    }
    const int count = setting_list_count(KEY_CONTENTDIR);
    if (count == 0) {
        return starts_with_nocase(dir, start_directory());
    }
    for (int i = 0; i < count; ++i) {
        const std::optional<std::string> element = setting_list_item(KEY_CONTENTDIR, i);
        if (element && starts_with_nocase(dir, *element)) {
            return true;
        }
    }
    return false;
}

int rescan_handler(HttpConnection* c)
{
    static constexpr char kRunning[] =
        "<html><head><title>Rescan</title></head><body>rescan allready running!</body></html>";
    if (scan_requested()) {
        return send_page(c, kRunning, "");
    }
    // The text after "/rescan" and one separator: /rescan?M|/data/music.
    const char* url = c->url.data();
    std::string dir = strlen(url) > 8 ? std::string(url + 8).substr(0, kMaxDir) : std::string();
    url_decode(dir);
    if (rescan_dir_valid(dir)) {
        // Another request may have come first since the test above.
        if (!scan_request(dir)) {
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
