#include "delivery/subtitle_handler.h"

#include "core/file_io.h"
#include "core/paths.h"
#include "db/db_subtitles.h"
#include "delivery/media_url.h"
#include "http/http_response.h"
#include "http/subtitle_types.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

} // namespace

int subtitle_handler(HttpConnection* c)
{
    const char* id_text = media_url_id(c->url.data(), "subtitle/");
    if (!id_text) {
        return http_send_404(c);
    }
    // The id's digits name the item; whatever follows them ("../x", another
    // extension) is not a name of anything.
    const std::optional<std::string> path = db_item_subtitle(id_text);
    const SubtitleType* type = path ? subtitle_type_of(*path) : nullptr;
    if (!type) {
        return http_send_404(c);
    }
    UniqueFd file(open((*path).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st = {};
    if (file.fd < 0 || !path_in_content_dir(*path, file.fd) || fstat(file.fd, &st) != 0 ||
        !S_ISREG(st.st_mode)) {
        return http_send_404(c);
    }
    c->content_type = type->mime;
    c->content_length = st.st_size;
    const bool with_body = c->method != HTTP_HEAD && st.st_size > 0;
    if (http_send_header(c, 200, with_body) != 0) {
        return HTTP_CLOSE;
    }
    if (!with_body) {
        return HTTP_KEEP;
    }
    return http_send_file(c, file.fd, 0, st.st_size) == 0 ? HTTP_KEEP : HTTP_CLOSE;
}

void subtitle_add_caption_header(HttpConnection* c, const char* id_text)
{
    if (http_header(c, HttpField::GetCaptionInfo) != "1") {
        return;
    }
    const std::optional<std::string> path = db_item_subtitle(id_text);
    const SubtitleType* type = path ? subtitle_type_of(*path) : nullptr;
    if (!type) {
        return;
    }
    // The same URL as the item's subtitle resource, under the id the
    // player asked for.
    const std::string line = "CaptionInfo.sec: " +
                             subtitle_url(c->base_url.data(), media_url_object_id(id_text), *type) +
                             "\r\n";
    http_add_header(c, line.c_str());
}
