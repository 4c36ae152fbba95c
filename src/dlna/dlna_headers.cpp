#include "dlna/dlna_headers.h"

#include "control/clients.h"
#include "core/text_util.h"
#include "http/http_response.h"

#include <cinttypes>
#include <cstdio>
#include <string>

namespace
{

// The transfer mode an answer goes out in: the one asked for when the media
// allows it (Background always), else the media's own; null when the asked
// one is not allowed.
const char* transfer_mode(std::string_view asked, DlnaKind kind)
{
    const char* own = kind == DlnaKind::Picture ? "Interactive" : "Streaming";
    if (asked.empty()) {
        return own;
    }
    if (equal_nocase(asked, "Background")) {
        return "Background";
    }
    if (equal_nocase(asked, own)) {
        return own;
    }
    return nullptr;
}

std::string seconds(int64_t ms)
{
    char text[32];
    snprintf(text, sizeof text, "%" PRId64 ".%03" PRId64, ms / 1000, ms % 1000);
    return text;
}

} // namespace

int dlna_add_media_headers(HttpConnection* c, const DlnaResource& resource, bool byte_ranges)
{
    const DlnaKind kind = dlna_kind(resource.mime);
    if (kind != DlnaKind::Other) {
        const char* mode = transfer_mode(http_header(c, HttpField::TransferMode), kind);
        if (!mode) {
            return 406;
        }
        const bool features = http_header(c, HttpField::GetContentFeatures) == "1" ||
                              client_quirks_of(c).always_content_features;
        if (features) {
            const std::string line =
                "contentFeatures.dlna.org: " + dlna_fourth_field(resource) + "\r\n";
            http_add_header(c, line.c_str());
        }
        const std::string line = std::string("transferMode.dlna.org: ") + mode + "\r\n";
        http_add_header(c, line.c_str());
    }
    if (byte_ranges) {
        http_add_header(c, "Accept-Ranges: bytes\r\n");
    }
    return 0;
}

void dlna_add_time_seek_header(HttpConnection* c, int64_t start_ms, int64_t end_ms,
                               int64_t duration_ms, int64_t first_byte, int64_t last_byte,
                               int64_t size)
{
    if (end_ms < 0 || end_ms > duration_ms) {
        end_ms = duration_ms;
    }
    char bytes[96];
    snprintf(bytes, sizeof bytes, " bytes=%" PRId64 "-%" PRId64 "/%" PRId64 "\r\n", first_byte,
             last_byte, size);
    const std::string line = "TimeSeekRange.dlna.org: npt=" + seconds(start_ms) + "-" +
                             seconds(end_ms) + "/" + seconds(duration_ms) + bytes;
    http_add_header(c, line.c_str());
}
