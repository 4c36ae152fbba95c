#include "delivery/albumart_handler.h"

#include "core/file_type_table.h"
#include "core/log.h"
#include "core/paths.h"
#include "db/media_db.h"
#include "delivery/picture_slots.h"
#include "http/album_art_url.h"
#include "http/http_response.h"
#include "http/mime.h"
#include "scan/embedded_art.h"
#include "scan/folder_art.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <vector>

namespace
{

// A PNG picture larger than this is sent as it is rather than decoded.
constexpr int64_t kMaxConvertedArt = 32 * 1024 * 1024;

using FileHandle = std::unique_ptr<FILE, decltype(&fclose)>;

// A picture read into memory is picture work: it is read only inside one of
// the picture slots, taken when the request first needs it and held until
// the answer has gone out. Many requests for a large cover then wait for
// the same few slots holding nothing, instead of each holding the cover
// while it waits. False when no slot came free in time.
bool hold_slot(std::optional<PictureSlot>& slot)
{
    if (!slot) {
        slot.emplace();
    }
    return slot->held;
}

int refuse_busy(HttpConnection* c)
{
    log_msg(LOG_ERROR, LOG_CAT_HTTP, "album art %s refused: %d pictures in work\n", c->url.data(),
            kPictureSlots);
    http_send_404(c);
    return HTTP_CLOSE;
}

// The item of the URL: its path, and the format named after "albumart-".
struct ArtRequest {
    std::string path;
    std::string format;
    int max_side = 0; // the thumbnail's, or 0 for the picture at its own size
};

std::optional<ArtRequest> art_request(const char* url)
{
    const char* keyword = strstr(url, "albumart-");
    if (!keyword) {
        return std::nullopt;
    }
    const char* format = keyword + strlen("albumart-");
    const char* slash = strchr(format, '/');
    // The object's id, in digits, names the art; anything else names none.
    if (!slash || !isdigit(static_cast<unsigned char>(slash[1]))) {
        return std::nullopt;
    }
    const std::optional<DbLocation> location = db_art_location(slash + 1);
    if (!location || location->path.empty()) {
        return std::nullopt;
    }
    const bool thumbnail = strstr(slash, kAlbumArtThumbnailSuffix) != nullptr;
    return ArtRequest{location->path, std::string(format, slash),
                      thumbnail ? kAlbumArtThumbnailSide : 0};
}

// Opens a file that lies inside the content directories, so that a link
// swapped in after the scan reads nothing else.
FileHandle open_content_file(const std::string& path)
{
    FileHandle file(fopen(path.c_str(), "rb"), fclose);
    if (file && !path_in_content_dir(path, fileno(file.get()))) {
        file.reset();
    }
    return file;
}

std::atomic<AlbumArtReencode> g_reencode{nullptr};

// The picture re-encoded where the edition can and the request needs it: a
// PNG picture as a JPEG one, a thumbnail fitted into max_side. The span's
// bytes are read from the file first when they are not held already. What
// cannot be re-encoded is sent as it is. False when no picture slot came
// free for it.
bool reencode(FILE* file, AlbumArtSpan& art, int max_side, std::optional<PictureSlot>& slot)
{
    const AlbumArtReencode convert = g_reencode.load();
    if ((!art.png && max_side == 0) || !convert || art.length > kMaxConvertedArt) {
        return true;
    }
    if (!hold_slot(slot)) {
        return false;
    }
    if (!albumart_read_span(file, art)) {
        return true;
    }
    std::vector<uint8_t> picture = std::move(art.bytes);
    std::vector<uint8_t> jpeg;
    if (!convert(picture.data(), picture.size(), max_side, jpeg)) {
        art.bytes = std::move(picture);
        return true;
    }
    art.bytes = std::move(jpeg);
    art.length = static_cast<int64_t>(art.bytes.size());
    art.png = false;
    return true;
}

void send_span(HttpConnection* c, FILE* file, AlbumArtSpan art, int max_side,
               std::optional<PictureSlot>& slot)
{
    if (!reencode(file, art, max_side, slot)) {
        refuse_busy(c);
        return;
    }
    c->content_type = art.png ? "image/png" : "image/jpeg";
    const bool body = c->method != HTTP_HEAD;
    if (!art.bytes.empty()) {
        c->content_length = static_cast<int64_t>(art.bytes.size());
        http_send_response(c, reinterpret_cast<const char*>(art.bytes.data()));
        return;
    }
    c->content_length = art.length;
    if (http_send_header(c, 200, body) == 0 && body) {
        http_send_file(c, fileno(file), art.offset, art.length);
    }
}

} // namespace

void albumart_set_reencoder(AlbumArtReencode convert)
{
    g_reencode.store(convert);
}

int albumart_handler(HttpConnection* c)
{
    // Players have always seen the connection end after album art; the
    // answer says so, so that a client keeping connections alive does not
    // send its next request into a closing socket.
    c->close_after = 1;
    const std::optional<ArtRequest> request = art_request(c->url.data());
    FileHandle file = request ? open_content_file(request->path) : FileHandle(nullptr, fclose);
    struct stat st = {};
    if (!file || fstat(fileno(file.get()), &st) != 0) {
        http_send_404(c);
        return HTTP_CLOSE;
    }
    // The picture of the file's own format, whatever the URL names.
    const FileTypeRow* type = file_type_for(file_extension(request->path));
    const ArtFinderRow& finder = art_finder_row(type ? type->art : ArtFinder::None);
    std::optional<PictureSlot> slot;
    if (finder.in_memory && !hold_slot(slot)) {
        return refuse_busy(c);
    }
    if (finder.find) {
        if (const std::optional<AlbumArtSpan> art = finder.find(file.get(), st.st_size)) {
            send_span(c, file.get(), *art, request->max_side, slot);
            return HTTP_CLOSE;
        }
    }
    // Else the folder's cover, under the same rule of the content directories.
    const std::string cover = folder_art_find(request->path.substr(0, request->path.rfind('/')));
    FileHandle cover_file = cover.empty() ? FileHandle(nullptr, fclose) : open_content_file(cover);
    if (!cover_file || fstat(fileno(cover_file.get()), &st) != 0 || st.st_size <= 0) {
        // A WMA file without a picture has always closed without an answer,
        // and players that know it wait for nothing else.
        if (finder.finder == ArtFinder::Wma) {
            return HTTP_CLOSE;
        }
        http_send_404(c);
        return HTTP_CLOSE;
    }
    const size_t dot = cover.rfind('.');
    const bool png = strcasecmp(cover.c_str() + dot, ".png") == 0;
    send_span(c, cover_file.get(), AlbumArtSpan{0, st.st_size, png, {}}, request->max_side, slot);
    return HTTP_CLOSE;
}

int albumart_mp3_handler(HttpConnection* c)
{
    return albumart_handler(c);
}

int albumart_wma_handler(HttpConnection* c)
{
    return albumart_handler(c);
}
