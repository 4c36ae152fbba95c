#include "scan/ipod_database.h"

#include "core/log.h"
#include "core/paths.h"
#include "core/time_util.h"
#include "core/utf8.h"
#include "db/media_db.h"
#include "scan/music_tags.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

namespace
{

// The file as a sequence of records: every read and every skip is checked
// against the end of the record that holds it (and so against the file's
// size, the outermost end).
struct Cursor {
    FILE* file;
    int64_t size;
    int64_t pos = 0;
};

struct Header {
    std::array<char, 4> tag{};
    uint32_t header_length = 0;
    uint32_t third = 0; // the total length or, for the lists, a count
    int64_t start = 0;
};

uint32_t le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string tag_text(const std::array<char, 4>& tag)
{
    std::string out;
    for (char c : tag) {
        out.push_back(c >= 0x20 && c < 0x7F ? c : '.');
    }
    return out;
}

bool is_tag(const Header& h, const char* tag)
{
    return memcmp(h.tag.data(), tag, 4) == 0;
}

// Reads n bytes that must lie before end.
bool read_bytes(Cursor& c, int64_t end, void* to, size_t n, const char* what)
{
    if (c.pos + static_cast<int64_t>(n) > end) {
        fprintf(stderr, "error: %s: past the end of its record\n", what);
        return false;
    }
    if (fread(to, 1, n, c.file) != n) {
        fprintf(stderr, "error: %s: %s\n", what,
                ferror(c.file) ? strerror(errno) : "the file ends early");
        return false;
    }
    c.pos += static_cast<int64_t>(n);
    return true;
}

// Moves to an offset that must lie between here and end.
bool seek_to(Cursor& c, int64_t offset, int64_t end, const char* what)
{
    if (offset < c.pos || offset > end) {
        fprintf(stderr, "error: %s: a length points outside its record\n", what);
        return false;
    }
    if (fseeko(c.file, offset, SEEK_SET) != 0) {
        fprintf(stderr, "error: %s: %s\n", what, strerror(errno));
        return false;
    }
    c.pos = offset;
    return true;
}

// A record header, which must lie before end, with a header length that
// fits the record. For the records whose third field is their total length,
// the total must cover the header and lie before end as well.
bool read_header(Cursor& c, int64_t end, Header& h, const char* what)
{
    std::array<uint8_t, 12> raw{};
    h.start = c.pos;
    if (!read_bytes(c, end, raw.data(), raw.size(), what)) {
        return false;
    }
    memcpy(h.tag.data(), raw.data(), 4);
    h.header_length = le32(raw.data() + 4);
    h.third = le32(raw.data() + 8);
    if (h.header_length > kIpodMaxHeader) {
        fprintf(stderr, "error: record size too large: %d\n", static_cast<int>(h.header_length));
        return false;
    }
    if (h.header_length < 12 || h.start + h.header_length > end) {
        fprintf(stderr, "error: %s record: header length %u outside its record\n",
                tag_text(h.tag).c_str(), h.header_length);
        return false;
    }
    const bool counted = is_tag(h, "mhlt") || is_tag(h, "mhlp");
    if (!counted && (h.third < h.header_length || h.start + h.third > end)) {
        fprintf(stderr, "error: %s record: total length %u outside its record\n",
                tag_text(h.tag).c_str(), h.third);
        return false;
    }
    return true;
}

int64_t record_end(const Header& h)
{
    return h.start + h.third;
}

// The header's bytes after the first 12, as far as needed (at most want).
bool read_header_body(Cursor& c, const Header& h, std::vector<uint8_t>& body, size_t want,
                      const char* what)
{
    const size_t n = std::min<size_t>(want, h.header_length - 12);
    body.assign(want, 0);
    return read_bytes(c, h.start + h.header_length, body.data(), n, what);
}

// A count of records that each take at least 12 bytes must fit the bytes
// left before end.
bool count_fits(const Cursor& c, int64_t end, uint32_t count, const char* what)
{
    if (count > static_cast<uint64_t>(end - c.pos) / 12) {
        fprintf(stderr, "error: %s: count %u larger than its record holds\n", what, count);
        return false;
    }
    return true;
}

// A text record: its type and, for the text types read, its text.
struct Text {
    uint32_t type = 0;
    std::optional<std::string> text;
};

bool string_type(uint32_t type)
{
    return type >= 1 && type <= 6;
}

bool read_mhod(Cursor& c, int64_t end, Text& out)
{
    Header h;
    if (!read_header(c, end, h, "reading info header")) {
        return false;
    }
    if (!is_tag(h, "mhod")) {
        fprintf(stderr, "error: invalid info header type: %d\n",
                static_cast<int>(le32(reinterpret_cast<const uint8_t*>(h.tag.data()))));
        return false;
    }
    out = Text{};
    std::array<uint8_t, 20> body{};
    // Types other than texts (playlist column settings, smart-list rules,
    // podcast addresses) are passed over whole.
    if (h.third < 32) {
        return seek_to(c, record_end(h), end, "reading info body");
    }
    if (!read_bytes(c, record_end(h), body.data(), body.size(), "reading info body")) {
        return false;
    }
    out.type = le32(body.data());
    if (!string_type(out.type) || h.third < 40) {
        return seek_to(c, record_end(h), end, "reading info body");
    }
    const uint32_t encoding = le32(body.data() + 12);
    const uint32_t length = le32(body.data() + 16);
    if (length > h.third - 40 || length > kIpodMaxString) {
        fprintf(stderr, "error: text length %u larger than its record\n", length);
        return false;
    }
    // The text stands at the end of the record.
    if (!seek_to(c, record_end(h) - length, record_end(h), "reading mhod failed")) {
        return false;
    }
    std::string raw(length, '\0');
    if (!read_bytes(c, record_end(h), raw.data(), length, "reading mhod failed")) {
        return false;
    }
    // Most databases hold UTF-16LE; some writers mark UTF-8 with a 2.
    out.text = encoding == 2 ? utf8_repair(raw) : utf8_from_utf16(raw, false, false);
    return true;
}

// Adds one song; the path of its item, or nothing when it was refused.
std::optional<std::string> add_song(const std::string& db_path, const IpodSong& s,
                                    LibraryRefusals& refused)
{
    if (s.location.empty()) {
        library_refuse(refused, s.title, "", "no location");
        return std::nullopt;
    }
    const std::string path = ipod_song_path(db_path, s.location);
    // The player's music folder is served like a content directory: only
    // music files of a type this program plays, inside it (or a content
    // directory) once links are followed, go into the tree.
    if (const std::optional<const char*> why = library_track_refusal(path)) {
        library_refuse(refused, s.title, path, *why);
        return std::nullopt;
    }
    const std::string duration =
        s.length_ms > 0 ? format_duration(static_cast<long>(s.length_ms)) : std::string();
    const std::string date = s.year > 0 ? music_date_from_year(std::to_string(s.year)) : "";
    DbItemFields f;
    f.title = s.title.empty() ? nullptr : s.title.c_str();
    f.upnp_class = kClassMusicTrack;
    f.artist = s.artist.empty() ? nullptr : s.artist.c_str();
    f.album = s.album.empty() ? nullptr : s.album.c_str();
    f.genre = s.genre.empty() ? nullptr : s.genre.c_str();
    f.date = date.empty() ? nullptr : date.c_str();
    f.path = path.c_str();
    f.duration = duration.empty() ? nullptr : duration.c_str();
    f.track = s.track;
    f.bitrate = s.bitrate;
    f.size = s.size;
    f.library = db_path.c_str();
    if (db_add_item(f) == DB_ADD_FAILED) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to add item: %s\n", s.title.c_str());
        return std::nullopt;
    }
    return path;
}

// Adds the songs and playlists of a whole pass, and takes out what the
// database no longer holds.
void add_pass(const IpodPass& pass)
{
    LibraryContents now;
    LibraryRefusals refused;
    std::unordered_map<uint32_t, std::string> paths; // song id -> the item's path
    for (const IpodSong& s : pass.songs) {
        if (std::optional<std::string> path = add_song(pass.db_path, s, refused)) {
            now.items.emplace(*path, kClassMusicTrack);
            paths[s.id] = std::move(*path);
        }
    }
    library_refusals_end(refused, pass.db_path);
    for (const IpodPlaylist& p : pass.playlists) {
        std::vector<DbPlaylistEntry> list;
        for (uint32_t id : p.songs) {
            const auto at = paths.find(id);
            if (at != paths.end()) {
                list.push_back(
                    {at->second, kClassMusicTrack, static_cast<int32_t>(list.size() + 1)});
            }
        }
        std::string source = library_playlist_source(pass.db_path, "name:" + p.name);
        for (int n = 2; now.playlists.contains(source); ++n) {
            source =
                library_playlist_source(pass.db_path, "name:" + p.name + "#" + std::to_string(n));
        }
        if (db_set_playlist(source.c_str(), p.name.c_str(), list, false) > 0) {
            now.playlists.insert(source);
        }
    }
    library_replace(pass.db_path, now);
    log_msg(LOG_INFO, LOG_CAT_DB, "iPod database %s: %zu songs, %zu playlists\n",
            pass.db_path.c_str(), now.items.size(), now.playlists.size());
}

bool read_song(Cursor& c, int64_t end, IpodPass& pass)
{
    Header h;
    if (!read_header(c, end, h, "reading song header")) {
        return false;
    }
    if (!is_tag(h, "mhit")) {
        fprintf(stderr, "error: invalid song header type: %d\n",
                static_cast<int>(le32(reinterpret_cast<const uint8_t*>(h.tag.data()))));
        return false;
    }
    if (h.header_length < 156) {
        fprintf(stderr, "error: song size to small\n");
        return false;
    }
    std::vector<uint8_t> body;
    if (!read_header_body(c, h, body, 144, "reading song body")) {
        return false;
    }
    // Offsets below are those of the record; body starts at 12.
    auto field = [&](size_t offset) { return le32(body.data() + offset - 12); };
    IpodSong s;
    const uint32_t texts = field(12);
    s.id = field(16);
    s.size = field(36);
    s.length_ms = field(40);
    s.track = static_cast<int32_t>(std::min<uint32_t>(field(44), INT32_MAX));
    s.year = static_cast<int32_t>(std::min<uint32_t>(field(52), 9999));
    s.bitrate = static_cast<int32_t>(std::min<uint32_t>(field(56), INT32_MAX));
    if (!seek_to(c, h.start + h.header_length, record_end(h), "reading song body") ||
        !count_fits(c, record_end(h), texts, "song texts")) {
        return false;
    }
    for (uint32_t i = 0; i < texts; ++i) {
        Text t;
        if (!read_mhod(c, record_end(h), t)) {
            return false;
        }
        if (!t.text) {
            continue;
        }
        std::string* to[] = {&s.title, &s.location, &s.album, &s.artist, &s.genre, &s.file_type};
        *to[t.type - 1] = std::move(*t.text);
    }
    if (!seek_to(c, record_end(h), end, "reading song body")) {
        return false;
    }
    pass.songs.push_back(std::move(s));
    return true;
}

bool read_songs(Cursor& c, int64_t end, uint32_t count, IpodPass& pass)
{
    if (!count_fits(c, end, count, "song list")) {
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (!read_song(c, end, pass)) {
            return false;
        }
    }
    return true;
}

bool read_playlist(Cursor& c, const Header& h, IpodPass& pass)
{
    const int64_t end = record_end(h);
    if (h.header_length < 32) {
        fprintf(stderr, "error: reading playlist body: header of %u bytes\n", h.header_length);
        return false;
    }
    std::vector<uint8_t> body;
    if (!read_header_body(c, h, body, 20, "reading playlist body")) {
        return false;
    }
    const uint32_t texts = le32(body.data());
    const uint32_t entries = le32(body.data() + 4);
    if (!seek_to(c, h.start + h.header_length, end, "reading playlist body") ||
        !count_fits(c, end, texts, "playlist texts") ||
        !count_fits(c, end, entries, "playlist entries")) {
        return false;
    }
    std::string name;
    for (uint32_t i = 0; i < texts; ++i) {
        Text t;
        if (!read_mhod(c, end, t)) {
            return false;
        }
        if (t.type == 1 && t.text) {
            name = std::move(*t.text);
        }
    }
    const bool master = pass.playlists_read++ == 0;
    std::vector<uint32_t> list;
    uint32_t read = 0;
    while (read < entries && c.pos < end) {
        Header e;
        if (!read_header(c, end, e, "reading pl song header")) {
            return false;
        }
        if (is_tag(e, "mhod")) {
            // A text record between the entries (their position in the list).
            if (!seek_to(c, record_end(e), end, "reading pl song body")) {
                return false;
            }
            continue;
        }
        if (!is_tag(e, "mhip")) {
            fprintf(stderr, "error: invalid pl song header type: %d\n",
                    static_cast<int>(le32(reinterpret_cast<const uint8_t*>(e.tag.data()))));
            return false;
        }
        std::vector<uint8_t> entry;
        if (e.header_length < 28) {
            fprintf(stderr, "error: reading pl song body: header of %u bytes\n", e.header_length);
            return false;
        }
        if (!read_header_body(c, e, entry, 20, "reading pl song body")) {
            return false;
        }
        const uint32_t song = le32(entry.data() + 12);
        if (!seek_to(c, record_end(e), end, "reading pl song body")) {
            return false;
        }
        ++read;
        list.push_back(song);
    }
    if (!seek_to(c, end, end, "reading playlist body")) {
        return false;
    }
    if (!master && !name.empty()) {
        pass.playlists.push_back({std::move(name), std::move(list)});
    }
    return true;
}

} // namespace

std::string ipod_music_folder(const std::string& db_path)
{
    // ".../iPod_Control/iTunes/iTunesDB" -> ".../iPod_Control/Music/"
    std::string dir = db_path.substr(
        0, db_path.find_last_of('/') == std::string::npos ? 0 : db_path.find_last_of('/'));
    const size_t up = dir.find_last_of('/');
    dir = up == std::string::npos ? std::string() : dir.substr(0, up + 1);
    return dir + "Music/";
}

std::string ipod_song_path(const std::string& db_path, std::string_view location)
{
    static constexpr std::string_view kMusic = ":Music:";
    auto with_slashes = [](std::string_view text) {
        std::string out(text);
        for (char& ch : out) {
            if (ch == ':') {
                ch = '/';
            }
        }
        return out;
    };
    const size_t music = location.rfind(kMusic);
    if (music != std::string_view::npos) {
        return ipod_music_folder(db_path) + with_slashes(location.substr(music + kMusic.size()));
    }
    if (location.starts_with(':')) {
        // Below the mount point: the directory that holds "iPod_Control".
        std::string folder = ipod_music_folder(db_path); // ".../iPod_Control/Music/"
        folder.resize(folder.size() - strlen("Music/"));
        if (!folder.empty()) {
            folder.pop_back();
        }
        const size_t up = folder.find_last_of('/');
        folder = up == std::string::npos ? std::string() : folder.substr(0, up);
        return folder + with_slashes(location);
    }
    return std::string(location);
}

bool ipod_read_records(FILE* file, IpodPass& pass)
{
    struct stat st {
    };
    if (fstat(fileno(file), &st) != 0) {
        fprintf(stderr, "error: reading itunesdb_record: %s\n", strerror(errno));
        return false;
    }
    Cursor c{file, st.st_size, 0};
    const int64_t end = c.size;
    // A database opens with its "mhbd" record and holds a song list, an
    // empty one too: a file without them (empty, as a writer leaves it
    // between truncating and writing) is no player that lost its songs.
    bool song_list = false;
    while (c.pos < end) {
        Header h;
        if (!read_header(c, end, h, "reading itunesdb_record")) {
            return false;
        }
        if (h.start == 0 && !is_tag(h, "mhbd")) {
            fprintf(stderr, "error: no iTunesDB: it does not begin with mhbd\n");
            return false;
        }
        const int64_t after_header = h.start + h.header_length;
        if (is_tag(h, "mhbd") || is_tag(h, "mhlp")) {
            // Containers: their children follow.
            if (!seek_to(c, after_header, end, "reading itunesdb_record")) {
                return false;
            }
        } else if (is_tag(h, "mhsd")) {
            // Data sets: 1 songs, 2 playlists. The others (the podcast
            // view of the playlists, which repeats the master list, and
            // the album and artist lists of newer players) are passed over.
            std::vector<uint8_t> body;
            if (!read_header_body(c, h, body, 4, "reading itunesdb_record")) {
                return false;
            }
            const uint32_t type = le32(body.data());
            const int64_t to = type == 1 || type == 2 ? after_header : record_end(h);
            if (!seek_to(c, to, end, "reading itunesdb_record")) {
                return false;
            }
        } else if (is_tag(h, "mhlt")) {
            if (!seek_to(c, after_header, end, "reading itunesdb_record") ||
                !read_songs(c, end, h.third, pass)) {
                return false;
            }
            song_list = true;
        } else if (is_tag(h, "mhyp")) {
            if (!read_playlist(c, h, pass)) {
                return false;
            }
        } else if (is_tag(h, "mhit") || is_tag(h, "mhod") || is_tag(h, "mhip")) {
            // Out of place: passed over whole.
            if (!seek_to(c, record_end(h), end, "reading itunesdb_record")) {
                return false;
            }
        } else {
            fprintf(stderr, "error: unknown record type: %08x, %s\n",
                    le32(reinterpret_cast<const uint8_t*>(h.tag.data())), tag_text(h.tag).c_str());
            return false;
        }
    }
    if (!song_list) {
        fprintf(stderr, "error: no song list in the iTunesDB\n");
    }
    return song_list;
}

bool ipod_import(const std::string& db_path)
{
    if (db_path.size() <= 2) {
        return false;
    }
    const LibraryFile file = library_open(db_path, "iPod database");
    if (!file) {
        return false;
    }
    IpodPass pass;
    pass.db_path = db_path;
    if (!ipod_read_records(file.get(), pass)) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "iPod database %s is damaged; nothing of it imported\n",
                db_path.c_str());
        return false;
    }
    // The user named this player: its music folder is served like a
    // content directory.
    const std::string folder = ipod_music_folder(db_path);
    path_add_library_folder(folder, folder + "..");
    add_pass(pass);
    return true;
}
