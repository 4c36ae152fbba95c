#include "control/didl.h"

#include "control/clients.h"
#include "control/didl_subtitles.h"
#include "control/xml.h"
#include "core/edition.h"
#include "core/settings.h"
#include "core/time_util.h"
#include "db/auto_playlists.h"
#include "db/media_db.h"
#include "dlna/dlna_fields.h"
#include "http/album_art_url.h"
#include "http/mime.h"

#include <cstring>
#include <string>

namespace
{

struct Context {
    const DbLock& lock;
    const char* filter;
    const char* base; // "http://address:port/"
    ClientType client;
    const ClientQuirks& quirks;
    bool utf8; // false: values are sent as Latin-1, "?" for other characters
};

bool is_music_container(const DbContainer* c)
{
    return c->upnp_class == kClassAlbum || c->upnp_class == kClassArtist ||
           c->upnp_class == kClassPlaylist || c->upnp_class == kClassMusicFolder;
}

const char* text(const DbText& t)
{
    return t.get();
}

std::string extension_of(const DbItem* item)
{
    return std::string(file_extension(item->path ? item->path.get() : ""));
}

// The first child item (references resolved) for which pick holds.
template <typename Pick>
const DbItem* first_item(const DbLock& lock, const DbContainer* c, Pick pick)
{
    for (DbNode* n = db_first_child(lock, c); n; n = db_next_sibling(lock, n)) {
        const DbItem* item = db_target_item(lock, n);
        if (item && pick(item)) {
            return item;
        }
    }
    return nullptr;
}

// The fourth protocolInfo field of an item's own file as the disk service
// sends it: the DLNA description for the client types that are sent it, "*"
// for the others and for what the server only passes on from elsewhere.
std::string file_fourth_field(const DbItem* item, std::string_view mime, bool from_disk,
                              const Context& ctx)
{
    if (!from_disk || !client_gets_dlna_fields(ctx.client)) {
        return "*";
    }
    DlnaResource resource;
    resource.mime = mime;
    resource.audio_format = item->audio_format;
    resource.width = item->width;
    resource.height = item->height;
    // The disk service maps play time to bytes only at a known, constant rate.
    resource.time_seek = item->bitrate != 0 && item->duration_ms > 0;
    return dlna_fourth_field(resource);
}

// The album art of an object whose art is that of item. Today's players are
// sent the thumbnail URL, whose answer is a JPEG of at most
// kAlbumArtThumbnailSide on either side as JPEG_TN promises, where the
// edition holds the picture codec to make it; the full-size picture stays at
// the plain URL, which the older players are sent as they always were (items
// with the profile they were given, containers without).
void render_album_art(StrBuf& out, const Context& ctx, const DbItem* item, NodeId id,
                      bool profile_for_older)
{
    const bool thumbnail = client_gets_dlna_fields(ctx.client) && !edition_music_only();
    const std::string url = std::string(ctx.base) + "albumart-" + extension_of(item) + "/" +
                            std::to_string(id) + (thumbnail ? kAlbumArtThumbnailSuffix : "") +
                            ".jpg";
    const bool profile = thumbnail || (profile_for_older && !client_gets_dlna_fields(ctx.client));
    xml_didl_element(out, "upnp:albumArtURI",
                     profile ? " dlna:profileID=\"JPEG_TN\" "
                               "xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0\""
                             : "",
                     url.c_str(), ctx.utf8);
}

void render_container(StrBuf& out, const DbContainer* c, const Context& ctx)
{
    const DbLock& lock = ctx.lock;
    const DbContainer* parent = db_parent(lock, c);
    strbuf_appendf(out,
                   "&lt;container id=\"%d\" parentID=\"%d\" childCount=\"%d\" restricted=\"%d\" "
                   "searchable=\"1\"&gt;",
                   c->id, parent ? parent->id : -1, c->child_count, c->permanent ? 1 : 0);
    if (ctx.quirks.folder_icons) {
        xml_didl_element(out, "icon", "", (std::string(ctx.base) + "picture/folder.goicon").c_str(),
                         ctx.utf8);
    }
    xml_didl_element(out, "dc:title", "", text(c->title), ctx.utf8);
    if (didl_filter_wants(ctx.filter, "date")) {
        const DbItem* first = db_target_item(lock, db_first_child(lock, c));
        xml_didl_element(out, "dc:date", "", first ? text(first->date) : nullptr, ctx.utf8);
    }
    const bool music = is_music_container(c);
    if (music && didl_filter_wants(ctx.filter, "artist")) {
        const DbItem* i =
            first_item(ctx.lock, c, [](const DbItem* it) { return bool(it->artist); });
        xml_didl_element(out, "upnp:artist", "", i ? text(i->artist) : nullptr, ctx.utf8);
    }
    if (music && didl_filter_wants(ctx.filter, "genre")) {
        const DbItem* i = first_item(ctx.lock, c, [](const DbItem* it) { return bool(it->genre); });
        xml_didl_element(out, "upnp:genre", "", i ? text(i->genre) : nullptr, ctx.utf8);
    }
    if (music && didl_filter_wants(ctx.filter, "albumArtURI")) {
        if (const DbItem* i = db_first_item_with_art(ctx.lock, c)) {
            render_album_art(out, ctx, i, c->id, false);
        }
    }
    if (music && !ctx.quirks.no_container_m3u) {
        std::string attributes;
        if (didl_filter_wants(ctx.filter, "duration")) {
            attributes = " duration=\"" +
                         format_clock(static_cast<long>(music_duration_total(lock, c))) + "\" ";
        }
        const bool with_duration = !attributes.empty();
        attributes += " protocolInfo=\"http-get:*:audio/x-mpegurl:*\"";
        if (with_duration || didl_filter_wants(ctx.filter, "res")) {
            const std::string url = std::string(ctx.base) + "m3u/" + std::to_string(c->id) + ".m3u";
            xml_didl_element(out, "res", attributes.c_str(), url.c_str(), ctx.utf8);
        }
    }
    xml_didl_element(out, "upnp:class", "",
                     ctx.quirks.folders_as_storage ? kClassStorageFolder : c->upnp_class, ctx.utf8);
    strbuf_append(out, "&lt;/container&gt;");
}

void render_resource(StrBuf& out, const DbItem* item, NodeId id, std::string attributes,
                     const HttpConnection* connection, const Context& ctx)
{
    const char* path = item->path ? item->path.get() : "";
    const char* dir = strncmp(path, "http://", 7) == 0  ? "httpproxy"
                      : strncmp(path, "ftp://", 6) == 0 ? "ftpproxy"
                                                        : "disk";
    const std::string base = std::string(ctx.base) + dir + "/" + std::to_string(id);
    const std::string ext = extension_of(item);
    const bool from_disk = strcmp(dir, "disk") == 0;
    std::string url;
    if (item->upnp_class == kClassMusicTrack || item->upnp_class == kClassMovie) {
        const char* mime = client_mime_for(ctx.client, path);
        if (item->upnp_class == kClassMusicTrack && strcmp(mime, "audio/L16") == 0) {
            const int rate = strstr(path, "48") ? 48000 : 44100;
            const int channels = strstr(path, "Mono") ? 1 : 2;
            const std::string type =
                "audio/L16;rate=" + std::to_string(rate) + ";channels=" + std::to_string(channels);
            const std::string fourth = client_gets_dlna_fields(ctx.client)
                                           ? file_fourth_field(item, type, from_disk, ctx)
                                           : "DLNA.ORG_PN=LPCM;DLNA.ORG_OP=11";
            attributes += "protocolInfo=\"http-get:*:" + type + ":" + fourth + "\" ";
            url = base + "_DLNA_LPCM." + ext;
        } else {
            attributes += std::string("protocolInfo=\"http-get:*:") + mime + ":" +
                          file_fourth_field(item, mime, from_disk, ctx) + "\" ";
            url = base + "." + ext;
        }
    } else if (item->upnp_class == kClassBroadcast) {
        attributes += "protocolInfo=\"http-get:*:audio/mpeg:*\" ";
        url = base + ".mp3";
    } else if (item->upnp_class == kClassPhoto) {
        if (setting_int(KEY_NORESCALE) == 0) {
            didl_picture_resources(out, item, id, connection);
            return;
        }
        attributes += "resolution=\"" + std::to_string(item->width) + "x" +
                      std::to_string(item->height) + "\" protocolInfo=\"http-get:*:image/jpeg:" +
                      file_fourth_field(item, "image/jpeg", from_disk, ctx) + "\" ";
        url = base + ".jpg";
    } else {
        return;
    }
    xml_didl_element(out, "res", attributes.c_str(), url.c_str(), ctx.utf8);
}

void render_item(StrBuf& out, const DbNode* node, const DbItem* item, const Context& ctx,
                 const HttpConnection* connection)
{
    const DbLock& lock = ctx.lock;
    const DbReference* ref =
        node->kind == DB_REFERENCE ? static_cast<const DbReference*>(node) : nullptr;
    const DbContainer* parent = db_parent(lock, node);
    const int parent_id = parent ? parent->id : -1;
    if (ref) {
        strbuf_appendf(out, "&lt;item id=\"%d\" refID=\"%d\" parentID=\"%d\" restricted=\"1\"&gt;",
                       node->id, item->id, parent_id);
    } else {
        strbuf_appendf(out, "&lt;item id=\"%d\" parentID=\"%d\" restricted=\"1\"&gt;", node->id,
                       parent_id);
    }
    const char* cls = item->upnp_class;
    const bool music = cls == kClassMusicTrack;
    const bool radio = cls == kClassBroadcast;
    const bool picture = cls == kClassPhoto;
    auto wants = [&](const char* p) { return didl_filter_wants(ctx.filter, p); };
    xml_didl_element(out, "dc:title", "", text(item->title), ctx.utf8);
    if (music && wants("creator")) {
        xml_didl_element(out, "dc:creator", "", text(item->artist), ctx.utf8);
    }
    if (music && wants("artist")) {
        xml_didl_element(out, "upnp:artist", "", text(item->artist), ctx.utf8);
    }
    if (wants("album")) {
        xml_didl_element(out, "upnp:album", "", text(item->album), ctx.utf8);
    }
    if ((music || radio) && wants("genre")) {
        xml_didl_element(out, "upnp:genre", "", text(item->genre), ctx.utf8);
    }
    if ((music || radio) && wants("playlist")) {
        xml_didl_element(out, "upnp:playlist", "", text(item->playlist), ctx.utf8);
    }
    if (wants("date")) {
        xml_didl_element(out, "dc:date", "", text(item->date), ctx.utf8);
    }
    if (music && wants("originalTrackNumber")) {
        const int track = ref && ref->order >= 1 ? ref->order : item->track;
        xml_didl_element(out, "upnp:originalTrackNumber", "", std::to_string(track).c_str(),
                         ctx.utf8);
    }
    if (picture && wants("description")) {
        xml_didl_element(out, "dc:description", "", text(item->description), ctx.utf8);
    }
    if (music && wants("albumArtURI")) {
        if (item->album_art != 0) {
            render_album_art(out, ctx, item, node->id, true);
        }
        // An item without art writes no album-art element: an empty one
        // names no picture, and a player would show a broken one.
    }
    if (picture && wants("keywords")) {
        xml_didl_element(out, "upnp:keywords", "", text(item->keywords), ctx.utf8);
    }
    if (picture && wants("icon") && ctx.quirks.folder_icons) {
        strbuf_appendf(out, "&lt;icon&gt;%spicture/%d(168x112,1).goicon.jpg&lt;/icon&gt;", ctx.base,
                       node->id);
    }
    std::string attributes = " ";
    bool extra = false;
    if (wants("size") && item->size != 0) {
        attributes += "size=\"" + std::to_string(item->size) + "\" ";
        extra = true;
    }
    const bool movie = cls == kClassMovie;
    if (wants("duration") && (music || movie) && item->duration) {
        attributes += std::string("duration=\"") + item->duration.get() + "\" ";
        extra = true;
    }
    if (wants("resolution") && movie && item->width > 0 && item->height > 0) {
        attributes += "resolution=\"" + std::to_string(item->width) + "x" +
                      std::to_string(item->height) + "\" ";
        extra = true;
    }
    if (extra || wants("res")) {
        render_resource(out, item, node->id, attributes, connection, ctx);
        if (movie && didl_sends_subtitles(ctx.client)) {
            didl_subtitle_resources(out, item, node->id, ctx.base,
                                    didl_writes_caption_info(ctx.client), ctx.utf8);
        }
    }
    xml_didl_element(out, "upnp:class", "", cls, ctx.utf8);
    strbuf_append(out, "&lt;/item&gt;");
}

} // namespace

bool didl_filter_wants(const char* filter, const char* property)
{
    if (!filter || filter[0] == '*') {
        return true;
    }
    const size_t n = strlen(property);
    for (const char* at = strstr(filter, property); at; at = strstr(at + 1, property)) {
        const unsigned char after = static_cast<unsigned char>(at[n]);
        if (after < 33 || after >= 0x80 || after == ',' || after == '@') {
            return true;
        }
    }
    return false;
}

void xml_didl_element(StrBuf& out, const char* name, const char* attributes, const char* value,
                      bool utf8)
{
    const std::optional<std::string> escaped =
        value ? xml_escape_for_didl(value, utf8) : std::nullopt;
    strbuf_appendf(out, "&lt;%s%s&gt;", name, attributes ? attributes : "");
    if (escaped) {
        strbuf_append(out, *escaped);
    }
    strbuf_appendf(out, "&lt;/%s&gt;", name);
}

void didl_picture_res(StrBuf& out, const HttpConnection* c, NodeId id, int width, int height,
                      int mode, const char* profile, const char* suffix)
{
    const char* mime = dlna_picture_mime(suffix);
    strbuf_appendf(out, "&lt;res resolution=\"%dx%d\" ", width, height);
    strbuf_appendf(out, "protocolInfo=\"http-get:*:%s:%s\"&gt;%s%s/%d(%dx%d,%d)%s&lt;/res&gt;",
                   mime, profile, c->base_url.data(), mode != 0 ? "picture" : "disk", id, width,
                   height, mode, suffix);
}

namespace
{

// The renditions of a picture for the client types that are sent the DLNA
// fields: the same sizes as for the other types, each described as sent.
void dlna_picture_resources(StrBuf& out, const DbItem* item, NodeId id, const HttpConnection* c)
{
    struct Res {
        int width, height, mode;
        const char* suffix;
    };
    static constexpr Res kSet[] = {
        {0, 0, 0, ".jpg"},      {684, 456, 3, ".yuv"}, {136, 90, 1, ".yuv"},
        {160, 160, 1, ".jpg"},  {48, 48, 1, ".jpg"},   {640, 480, 1, ".jpg"},
        {1024, 768, 1, ".jpg"}, {120, 120, 1, ".jpg"}, {800, 600, 1, ".pjpg"}};
    for (const Res& r : kSet) {
        // Mode 0 is the file itself, at its own size.
        const int width = r.mode == 0 ? item->width : r.width;
        const int height = r.mode == 0 ? item->height : r.height;
        DlnaResource resource;
        resource.mime = dlna_picture_mime(r.suffix);
        resource.width = width;
        resource.height = height;
        resource.scaled = r.mode != 0;
        const std::string fourth = dlna_fourth_field(resource);
        didl_picture_res(out, c, id, width, height, r.mode, fourth.c_str(), r.suffix);
    }
}

} // namespace

void didl_picture_resources(StrBuf& out, const DbItem* item, NodeId id, const HttpConnection* c)
{
    struct Res {
        int width, height, mode;
        const char* profile;
        const char* suffix;
    };
    auto emit = [&](std::initializer_list<Res> set) {
        for (const Res& r : set) {
            didl_picture_res(out, c, id, r.width, r.height, r.mode, r.profile, r.suffix);
        }
    };
    switch (client_quirks_of(c).pictures) {
    case ClientPictures::DlinkSet:
        emit({{684, 456, 3, "*", ".jpg"}});
        strbuf_appendf(out,
                       "&lt;desc&gt;&lt;DA dir=\"0\"&gt;%spicture/%d(120x90,1).jpg&lt;/DA&gt;"
                       "&lt;/desc&gt;",
                       c->base_url.data(), id);
        break;
    case ClientPictures::Unscaled:
        emit({{item->width, item->height, 0, "*", ".jpg"}});
        break;
    case ClientPictures::QxSet:
        emit({{720, 576, 1, "*", ".jpg"}, {120, 105, 1, "*", ".jpg"}});
        break;
    case ClientPictures::PhilipsSet:
        emit({{720, 576, 1, "*", ".jpg"},
              {1024, 768, 1, "*", ".jpg"},
              {120, 105, 1, "*", ".jpg"},
              {69, 51, 1, "*", ".jpg"}});
        break;
    case ClientPictures::Standard:
        if (client_gets_dlna_fields(client_of(c))) {
            dlna_picture_resources(out, item, id, c);
            break;
        }
        emit({{item->width, item->height, 0, "*", ".jpg"},
              {684, 456, 3, "*", ".yuv"},
              {136, 90, 1, "*", ".yuv"},
              {160, 160, 1, "DLNA.ORG_PN=JPEG_TN", ".jpg"},
              {48, 48, 1, "DLNA.ORG_PN=JPEG_SM_ICO", ".jpg"},
              {640, 480, 1, "DLNA.ORG_PN=JPEG_SM", ".jpg"},
              {1024, 768, 1, "DLNA.ORG_PN=JPEG_MED", ".jpg"},
              {120, 120, 1, "DLNA.ORG_PN=JPEG_LRG_ICO", ".jpg"},
              {800, 600, 1, "*", ".pjpg"}});
        break;
    }
}

StrBuf& didl_render_object(const DbLock& lock, StrBuf& out, const DbNode* node, const char* filter,
                           const HttpConnection* connection)
{
    if (!node || !connection) {
        return out;
    }
    const ClientType client = client_of(connection);
    const ClientQuirks& quirks = client_quirks(client);
    // Text in the tree is UTF-8 and goes out as it is, except to the players
    // that read Latin-1 only (in the same envelope as before).
    const Context ctx{lock,   filter, connection->base_url.data(),
                      client, quirks, !quirks.latin1_text};
    if (node->kind == DB_CONTAINER) {
        render_container(out, static_cast<const DbContainer*>(node), ctx);
    } else if (const DbItem* item = db_target_item(lock, const_cast<DbNode*>(node))) {
        render_item(out, node, item, ctx, connection);
    }
    return out;
}
