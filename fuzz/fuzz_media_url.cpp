// The ids of the media URLs, read as the handlers read them: the item id
// after each keyword, the offset of a resumed stream, the size and mode of
// a picture, and the tree's reading of the id text.
#include "db/media_db.h"
#include "delivery/media_url.h"
#include "delivery/picture_handler.h"
#include "delivery/rgb_image.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The server hands the handlers a NUL-terminated target of at most 255
    // characters; the reading must not depend on that, so take it whole.
    const std::string url(reinterpret_cast<const char*>(data), size);
    for (const char* keyword : {"disk/", "albumart-mp3/", "albumart-wma/", "m3u/", "picture/"}) {
        if (const char* id_text = media_url_id(url.c_str(), keyword)) {
            db_parse_id(id_text);
            media_url_object_id(id_text);
        }
    }
    if (const std::optional<ContinueUrl> resumed = media_url_continue(url.c_str())) {
        db_parse_id(resumed->id_text);
        media_url_object_id(resumed->id_text);
        if (resumed->prefix_length < 0 || resumed->id_text < url.c_str() ||
            resumed->id_text > url.c_str() + url.size()) {
            __builtin_trap();
        }
    }
    if (const std::optional<PictureRequest> picture = parse_picture_url(url.c_str())) {
        db_parse_id(picture->id);
        // What passes this test is what the service may allocate.
        if (picture_size_allowed(picture->width, picture->height) &&
            (picture->width > kMaxPictureSide || picture->height > kMaxPictureSide)) {
            __builtin_trap();
        }
    }
    return 0;
}
