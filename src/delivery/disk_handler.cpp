#include "delivery/disk_handler.h"

#include "control/clients.h"
#include "core/file_io.h"
#include "core/paths.h"
#include "core/settings.h"
#include "core/text_util.h"
#include "db/auto_playlists.h"
#include "db/media_db.h"
#include "dlna/dlna_headers.h"
#include "delivery/media_stream.h"
#include "delivery/media_url.h"
#include "delivery/play_status.h"
#include "delivery/subtitle_handler.h"
#include "http/http_range.h"
#include "http/http_response.h"
#include "http/mime.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr size_t kIndexPathLimit = 1024;

bool ends_with(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The range the answer covers. A play-time range becomes bytes at the
// item's average rate; without a duration there is no rate, so the seek is
// ignored and the whole file goes out.
HttpByteSpan answer_span(const HttpConnection* c, int64_t file_size, int64_t duration_ms)
{
    HttpRange range = http_request_range(c);
    if (range.is_time()) {
        range = duration_ms > 0 && range.start >= 0
                    ? http_time_range_to_bytes(range, file_size, duration_ms)
                    : HttpRange{};
    }
    return http_byte_span(range, file_size);
}

} // namespace

std::string index_file_path(const std::string& item_path)
{
    std::string dir = setting_str(KEY_IDXDIR);
    if (dir.empty()) {
        return item_path;
    }
    if (dir.size() > kIndexPathLimit) {
        dir.resize(kIndexPathLimit);
    }
    if (dir.back() != '/') {
        dir += '/';
    }
    const size_t slash = item_path.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        return dir;
    }
    return dir + item_path.substr(slash + 1) + ".idx";
}

int disk_handler(HttpConnection* c)
{
    const std::string_view url(c->url.data());
    const char* id_text = media_url_id(c->url.data(), "disk/");
    if (!id_text) {
        return HTTP_CLOSE;
    }
    auto location = db_item_location(id_text);
    if (!location || location->path.empty()) {
        return http_send_404(c);
    }
    std::string path = location->path;
    if (url.size() > 4 && ends_with(url, ".idx")) {
        path = index_file_path(path);
    }
    UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    // Only files inside the content directories go out, whatever the tree
    // holds. Index files have a directory of their own.
    const bool inside = path == location->path ? path_in_content_dir(path, file.fd)
                                               : path_in_content_dir(location->path);
    struct stat st = {};
    if (file.fd < 0 || !inside || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return http_send_404(c);
    }
    const int64_t file_size = st.st_size;
    char lpcm_type[128];
    c->content_type = client_mime_for(client_of(c), path);
    if (ends_with_nocase(url, ".lpcm")) {
        const int rate = path.find("48") != std::string::npos ? 48000 : 44100;
        const int channels = path.find("Mono") != std::string::npos ? 1 : 2;
        snprintf(lpcm_type, sizeof lpcm_type, "%s;rate=%d;channels=%d", "audio/L16", rate,
                 channels);
        c->content_type = lpcm_type;
    }

    subtitle_add_caption_header(c, id_text);
    DlnaResource resource;
    resource.mime = c->content_type;
    resource.audio_format = location->audio_format;
    resource.width = location->width;
    resource.height = location->height;
    resource.time_seek = location->duration_ms > 0;
    if (dlna_add_media_headers(c, resource, true) != 0) {
        return http_send_empty(c, 406);
    }
    // A play-time seek needs the item's byte rate; without it the seek
    // cannot be honoured, and a player told so seeks by bytes instead of
    // playing the start as if it were the place it asked for.
    const bool time_seek = http_request_range(c).source == RangeSource::TimeSeek;
    if (time_seek && !resource.time_seek) {
        return http_send_empty(c, 406);
    }

    const HttpByteSpan span = answer_span(c, file_size, location->duration_ms);
    c->range_total = file_size;
    if (!span.satisfiable) {
        // Nothing of the file lies in the range: the client learns its size.
        return http_send_empty(c, 416);
    }
    if (time_seek) {
        const HttpRange asked = http_request_range(c);
        dlna_add_time_seek_header(c, asked.start, asked.end, location->duration_ms, span.start,
                                  span.end, file_size);
    }
    // A play is counted when a player starts the item: a GET from its first
    // byte (or play time 0). Players probe with HEAD and small ranges and
    // seek with ranges while they play; none of that is another play.
    if (c->method == HTTP_GET && (!span.partial || span.start == 0) && path == location->path) {
        db_item_played(id_text);
    }
    c->content_length = span.length;
    int status = 200;
    if (span.partial) {
        c->range_start = span.start;
        c->range_end = span.end;
        status = 206;
    }
    const bool with_body = c->method != HTTP_HEAD && span.length > 0;
    if (http_send_header(c, status, with_body) != 0) {
        return HTTP_CLOSE;
    }
    if (c->method == HTTP_HEAD) {
        return HTTP_KEEP;
    }
    const int32_t object_id = media_url_object_id(id_text);
    const int64_t status_base = span.partial ? span.start : -1;
    play_status_update(c->client_ip.data(), object_id, status_base);

    StreamPlan plan;
    plan.fd = file.fd;
    plan.offset = span.partial ? span.start : 0;
    plan.length = span.length;
    plan.status_base = status_base;
    plan.object_id = object_id;
    plan.chunk_size = stream_chunk_size(c->content_type);
    plan.pace = client_quirks_of(c).paced_stream;
    plan.duration_ms = location->duration_ms;
    plan.file_size = file_size;
    return stream_file_body(c, plan) == 0 ? HTTP_KEEP : HTTP_CLOSE;
}

int continue_handler(HttpConnection* c)
{
    const std::optional<ContinueUrl> parsed = media_url_continue(c->url.data());
    if (!parsed) {
        return HTTP_CLOSE;
    }
    const int64_t offset = parsed->offset;
    const char* id_text = parsed->id_text;
    auto location = db_item_location(id_text);
    if (!location || location->path.empty()) {
        return http_send_404(c);
    }
    // The stream goes on as a plain disk request from the offset, whatever
    // range the client itself asked for. Without a '.', the URL never takes
    // the ".lpcm" or ".idx" forms.
    const std::string_view extension = file_extension(location->path);
    const int32_t id = media_url_object_id(id_text);
    char rewritten[kHttpUrlSize];
    snprintf(rewritten, sizeof rewritten, "%.*sdisk/%d%.*s", parsed->prefix_length, c->url.data(),
             id, static_cast<int>(extension.size()), extension.data());
    snprintf(c->url.data(), c->url.size(), "%s", rewritten);
    c->range_override = offset < 0 ? 0 : offset;
    return disk_handler(c);
}
