#include "delivery/picture_handler.h"

#include "control/clients.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/settings.h"
#include "core/text_util.h"
#include "db/media_db.h"
#include "dlna/dlna_headers.h"
#include "delivery/jpeg_decode.h"
#include "delivery/picture_encode.h"
#include "delivery/picture_slots.h"
#include "delivery/png_decode.h"
#include "http/http_response.h"
#include "http/mime.h"

#include <climits>
#include <cstring>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <vector>

std::optional<PictureRequest> parse_picture_url(const char* url)
{
    const char* key = strstr(url, "picture/");
    if (!key) {
        return std::nullopt;
    }
    key += strlen("picture/");
    const char* open = strchr(key, '(');
    const char* x = open ? strchr(open, 'x') : nullptr;
    const char* comma = x ? strchr(x, ',') : nullptr;
    if (!comma) {
        return std::nullopt;
    }
    PictureRequest request;
    request.id = key;
    request.width = parse_int64(open + 1);
    request.height = parse_int64(x + 1);
    const int64_t mode = parse_int64(comma + 1);
    // Any mode beyond the known ones acts as 1, so a huge number may too.
    request.mode = mode < 0 || mode > INT_MAX ? PICTURE_BORDERED : static_cast<int>(mode);
    if (strstr(comma, ".goicon")) {
        request.form = PictureForm::FolderIcon;
    } else if (strstr(comma, ".tini")) {
        request.form = PictureForm::Rgb565;
    } else if (strstr(comma, ".yuv")) {
        request.form = PictureForm::Yuv420;
    }
    return request;
}

namespace
{

bool is_http_source(const std::string& path)
{
    return path.compare(0, 7, "http://") == 0;
}

// Captions over pictures are not drawn: there is no agreed look for them,
// and a player that wants the description reads it from the DIDL-Lite. The
// conditions stay here so that a caption, once designed, goes where players
// expect it: on pictures at least 201 pixels wide, for players other than
// the QX remote control point, when "descriptions" asks for it.
void caption_step(RgbImage&, const std::string&)
{
}

bool caption_wanted(const std::optional<std::string>& description, const RgbImage& canvas,
                    const HttpConnection* c)
{
    return description && setting_flag(KEY_DESCRIPTIONS) && canvas.width >= 201 &&
           !client_quirks_of(c).uncaptioned_pictures;
}

size_t encode_as(PictureForm form, const RgbImage& canvas, std::vector<uint8_t>& out)
{
    switch (form) {
    case PictureForm::Rgb565:
        return encode_rgb565(canvas, out);
    case PictureForm::Yuv420:
        return encode_yuv420(canvas, out);
    default:
        return encode_jpeg(canvas, out);
    }
}

} // namespace

int picture_handler(HttpConnection* c)
{
    const std::optional<PictureRequest> request = parse_picture_url(c->url.data());
    // Sizes of 0 or below, or beyond kMaxPictureSide, are refused before
    // anything is allocated. Refused rather than made smaller: a player
    // that takes raw frames (".yuv", ".tini") would read a smaller picture
    // than it asked for as garbage, and no listing hands out such sizes.
    if (!request || !picture_size_allowed(request->width, request->height)) {
        return http_send_404(c);
    }
    const int width = static_cast<int>(request->width);
    const int height = static_cast<int>(request->height);
    // Held until the answer has gone out: the output buffer lives that long,
    // and a slot released earlier would let the buffers of many slow clients
    // pile up. Web-camera pictures are fetched inside the slot too.
    const PictureSlot slot;
    if (!slot.held) {
        log_msg(LOG_ERROR, LOG_CAT_HTTP, "picture %s refused: %d pictures in work\n", c->url.data(),
                kPictureSlots);
        return http_send_404(c);
    }
    std::optional<RgbImage> canvas;
    std::optional<std::string> description;
    if (request->form == PictureForm::FolderIcon) {
        if (std::optional<RgbImage> icon = folder_icon()) {
            canvas = stretch_rgb(*icon, width, height);
        }
    } else {
        const std::optional<DbLocation> location = db_item_location(request->id);
        struct stat st = {};
        if (!location || location->path.empty()) {
            return http_send_404(c);
        }
        // A file item is read only from inside the content directories,
        // whatever a link or a library file says.
        if (!is_http_source(location->path) &&
            (stat(location->path.c_str(), &st) != 0 || !path_in_content_dir(location->path))) {
            return http_send_404(c);
        }
        description = db_item_description(request->id);
        const std::string_view extension = file_extension(location->path);
        const bool png = extension.size() == 3 && strncasecmp(extension.data(), "png", 3) == 0;
        canvas = png ? decode_png_scaled(location->path.c_str(), width, height, request->mode)
                     : decode_scaled(location->path.c_str(), width, height, request->mode);
    }
    if (!canvas) {
        return http_send_404(c);
    }
    if (caption_wanted(description, *canvas, c)) {
        caption_step(*canvas, *description);
    }
    std::vector<uint8_t> out;
    const size_t length = encode_as(request->form, *canvas, out);
    canvas.reset();
    // An empty picture would be a failure answered as success.
    if (length == 0) {
        return http_send_404(c);
    }
    // The answer carries the type the listing named for this rendition; the
    // DLNA lines go on the picture answer only, never on a not-found page.
    const char* suffix = strrchr(c->url.data(), ')');
    c->content_type = dlna_picture_mime(suffix ? suffix : "");
    DlnaResource resource;
    resource.mime = c->content_type;
    resource.width = width;
    resource.height = height;
    resource.scaled = true;
    if (dlna_add_media_headers(c, resource, false) != 0) {
        return http_send_empty(c, 406);
    }
    c->content_length = static_cast<int64_t>(length);
    return http_send_response(c, reinterpret_cast<const char*>(out.data()));
}
