#include "scan/itunes_library.h"

#include "core/log.h"
#include "core/paths.h"
#include "core/text_util.h"
#include "core/time_util.h"
#include "db/media_db.h"
#include "scan/music_tags.h"
#include "scan/plist_reader.h"

#include <memory>
#include <unordered_map>
#include <vector>

namespace
{

// The places of the property list the import cares about; everything else
// (nested dictionaries of other keys, arrays of other keys) is read past.
enum class Role {
    Other,
    Root,      // the top dictionary
    Tracks,    // the "Tracks" dictionary: track id -> track
    Track,     // one track
    Playlists, // the "Playlists" array
    Playlist,  // one playlist
    Items,     // its "Playlist Items" array
    Item,      // one entry: a dictionary with the "Track ID"
};

Role role_of(Role parent, const std::string& key, bool dict)
{
    switch (parent) {
    case Role::Other:
        return Role::Other;
    case Role::Root:
        if (dict && key == "Tracks") {
            return Role::Tracks;
        }
        return !dict && key == "Playlists" ? Role::Playlists : Role::Other;
    case Role::Tracks:
        return dict ? Role::Track : Role::Other;
    case Role::Playlists:
        return dict ? Role::Playlist : Role::Other;
    case Role::Playlist:
        return !dict && key == "Playlist Items" ? Role::Items : Role::Other;
    case Role::Items:
        return dict ? Role::Item : Role::Other;
    default:
        return Role::Other;
    }
}

struct Frame {
    Role role;
    std::string key; // the last key read in this dictionary
};

struct Track {
    std::optional<int64_t> id;
    std::optional<std::string> name, artist, album, genre, location, track_type, year;
    int64_t size = 0;
    int64_t total_time = 0;
    int64_t track_number = 0;
    int64_t bit_rate = 0;
    int64_t play_count = 0;
    int64_t artwork_count = 0;
    int64_t date_modified = 0;
    int64_t play_date = 0;
    bool compilation = false;
};

struct Playlist {
    std::string name;
    std::string persistent_id;
    bool skipped = false; // the master list and the built-in category lists
    std::vector<int64_t> track_ids;
};

// Integers of the file clamped into the tree's 32-bit fields.
int32_t int32_of(int64_t v)
{
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// The text or number a token gives a track's field. Integer fields written
// as strings (some tools do) are read as well.
int64_t number_of(const PlistToken& t)
{
    return plist_integer(t.text).value_or(0);
}

void take_track_value(Track& track, const std::string& key, const PlistToken& t)
{
    const bool text = t.kind == PlistKind::String;
    if (key == "Track ID") {
        track.id = plist_integer(t.text);
    } else if (key == "Name" && text) {
        track.name = t.text;
    } else if (key == "Artist" && text) {
        track.artist = t.text;
    } else if (key == "Album" && text) {
        track.album = t.text;
    } else if (key == "Genre" && text) {
        track.genre = t.text;
    } else if (key == "Size") {
        track.size = number_of(t);
    } else if (key == "Total Time") {
        track.total_time = number_of(t);
    } else if (key == "Track Number") {
        track.track_number = number_of(t);
    } else if (key == "Bit Rate") {
        track.bit_rate = number_of(t);
    } else if (key == "Play Count") {
        track.play_count = number_of(t);
    } else if (key == "Artwork Count") {
        track.artwork_count = number_of(t);
    } else if (key == "Date Modified") {
        track.date_modified = plist_date_seconds(t.text).value_or(0);
    } else if (key == "Play Date UTC") {
        track.play_date = plist_date_seconds(t.text).value_or(0);
    } else if (key == "Track Type" && text) {
        track.track_type = t.text;
    } else if (key == "Year") {
        // An integer in iTunes' files, a string in the oldest ones.
        track.year = t.text;
    } else if (key == "Location" && text) {
        track.location = t.text;
    } else if (key == "Compilation") {
        track.compilation = t.kind == PlistKind::True;
    }
}

void take_playlist_value(Playlist& list, const std::string& key, const PlistToken& t)
{
    if (key == "Name" && t.kind == PlistKind::String) {
        list.name = t.text;
    } else if (key == "Playlist Persistent ID" && t.kind == PlistKind::String) {
        list.persistent_id = t.text;
    } else if (key == "Master" && t.kind == PlistKind::True) {
        list.skipped = true;
    } else if (key == "Distinguished Kind") {
        // The built-in lists by kind of media (Music, Movies, Podcasts,
        // ...): each holds a whole category of the library, which the
        // views show already.
        list.skipped = true;
    }
}

struct Import {
    std::string file;
    LibraryContents now;
    // Track id -> the item it became, for the playlists, which may come
    // before or after the tracks (a re-saved file sorts the top keys).
    std::unordered_map<int64_t, std::pair<std::string, const char*>> added;
    std::vector<Playlist> playlists;
    int32_t stations = 0;
    std::vector<DbPlaylistEntry> station_entries;
    LibraryRefusals refused;
};

// A stream track is an http:// address and nothing else: a "URL" track
// with a local path would be served from the disk as a station, whatever
// the file, and the relay speaks no other scheme.
bool is_http(const std::optional<std::string>& location)
{
    return location && location->starts_with("http://");
}

void add_track(Import& im, const Track& t)
{
    const bool stream = is_http(t.location);
    std::optional<std::string> path;
    if (t.location) {
        path = stream ? std::optional<std::string>(*t.location) : itunes_location_path(*t.location);
    }
    const std::string title = t.name && !t.name->empty() ? *t.name : path ? *path : "Unknown";
    if (t.track_type && *t.track_type == "URL" && !stream) {
        library_refuse(im.refused, title, t.location.value_or(""),
                       "a stream track must be an http:// address");
        return;
    }
    if (!path) {
        library_refuse(im.refused, title, t.location.value_or(""), "no usable location");
        return;
    }
    if (!stream) {
        if (const std::optional<const char*> why = library_track_refusal(*path)) {
            library_refuse(im.refused, title, *path, *why);
            return;
        }
    }
    const std::string duration =
        t.total_time > 0
            ? format_duration(static_cast<long>(std::min<int64_t>(t.total_time, INT32_MAX)))
            : std::string();
    const std::string keywords = t.id ? std::to_string(*t.id) : std::string();
    const std::string date = t.year ? music_date_from_year(*t.year) : std::string();
    const std::string stations_source = library_playlist_source(im.file, "stations");
    DbItemFields f;
    f.title = title.c_str();
    f.upnp_class = stream ? kClassBroadcast : kClassMusicTrack;
    f.artist = t.artist ? t.artist->c_str() : nullptr;
    f.album = t.album ? t.album->c_str() : nullptr;
    f.genre = t.genre ? t.genre->c_str() : nullptr;
    f.date = t.year && t.year->size() > 0 ? date.c_str() : nullptr;
    f.path = path->c_str();
    f.duration = duration.empty() ? nullptr : duration.c_str();
    f.keywords = t.id ? keywords.c_str() : nullptr;
    f.track = int32_of(t.track_number);
    f.album_art = t.artwork_count > 0 ? 1 : 0;
    f.compilation = t.compilation ? 1 : 0;
    f.bitrate = int32_of(t.bit_rate);
    f.size = std::max<int64_t>(t.size, 0);
    f.mtime = t.date_modified;
    f.last_played = t.play_date;
    f.play_count = int32_of(t.play_count);
    f.library = im.file.c_str();
    int32_t station_order = 0;
    if (stream) {
        station_order = ++im.stations;
        f.playlist = kItunesStationsList;
        f.playlist_source = stations_source.c_str();
        f.playlist_order = station_order;
    }
    if (db_add_item(f) == DB_ADD_FAILED) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to add item: %s %s\n", title.c_str(),
                path->c_str());
        return;
    }
    const char* cls = stream ? kClassBroadcast : kClassMusicTrack;
    im.now.items.emplace(*path, cls);
    if (stream) {
        im.station_entries.push_back({*path, cls, station_order});
    }
    if (t.id) {
        im.added[*t.id] = {*path, cls};
    }
}

void set_playlist(Import& im, const std::string& key, const std::string& name,
                  const std::vector<DbPlaylistEntry>& entries)
{
    std::string source = library_playlist_source(im.file, key);
    for (int n = 2; im.now.playlists.contains(source); ++n) {
        source = library_playlist_source(im.file, key + "#" + std::to_string(n));
    }
    if (db_set_playlist(source.c_str(), name.c_str(), entries, false) > 0) {
        im.now.playlists.insert(source);
    }
}

void add_playlists(Import& im)
{
    set_playlist(im, "stations", kItunesStationsList, im.station_entries);
    for (const Playlist& list : im.playlists) {
        std::vector<DbPlaylistEntry> entries;
        for (int64_t id : list.track_ids) {
            const auto at = im.added.find(id);
            if (at != im.added.end()) {
                entries.push_back({at->second.first, at->second.second,
                                   static_cast<int32_t>(entries.size() + 1)});
            }
        }
        const std::string key =
            list.persistent_id.empty() ? "name:" + list.name : "id:" + list.persistent_id;
        set_playlist(im, key, list.name, entries);
    }
}

// The folder that holds a file: "." for a bare name.
std::string parent_folder(const std::string& file)
{
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
}

} // namespace

std::optional<std::string> itunes_location_path(std::string_view location)
{
    std::string_view rest;
    if (location.starts_with("file://localhost/")) {
        rest = location.substr(16);
    } else if (location.starts_with("file://")) {
        rest = location.substr(7);
    } else {
        return std::string(location);
    }
    std::string path;
    path.reserve(rest.size() + 1);
    if (!rest.starts_with('/')) {
        path = "//"; // file://host/share/...: a network share
    }
    for (size_t i = 0; i < rest.size(); ++i) {
        char c = rest[i];
        if (c == '%' && i + 2 < rest.size() && hex_value(rest[i + 1]) >= 0 &&
            hex_value(rest[i + 2]) >= 0) {
            c = static_cast<char>(hex_value(rest[i + 1]) * 16 + hex_value(rest[i + 2]));
            i += 2;
        }
        if (static_cast<unsigned char>(c) < 0x20) {
            return std::nullopt;
        }
        path.push_back(c);
    }
    // "/C:/Music/...": a Windows path keeps its drive letter first.
    if (path.size() >= 3 && path[0] == '/' && path[2] == ':' &&
        ((path[1] >= 'A' && path[1] <= 'Z') || (path[1] >= 'a' && path[1] <= 'z'))) {
        path.erase(0, 1);
    }
    return path;
}

bool itunes_import(const std::string& file, const ThreadFlag* running)
{
    const LibraryFile f = library_open(file, "iTunes library");
    if (!f) {
        return false;
    }
    log_msg(LOG_INFO, LOG_CAT_DB, "importing the iTunes library %s\n", file.c_str());
    Import im;
    im.file = file;
    // The whole file is read before the tree is touched: a file cut short
    // or damaged (read while iTunes writes it) changes nothing.
    std::vector<Track> tracks;
    std::optional<std::string> music_folder;
    PlistReader reader(f.get());
    PlistToken token;
    std::vector<Frame> frames;
    Track track;
    Playlist playlist;
    bool has_tracks = false;
    for (;;) {
        const PlistStep step = plist_next(reader, token);
        if (step == PlistStep::End) {
            break;
        }
        if (step == PlistStep::Malformed) {
            log_msg(LOG_PROBLEM, LOG_CAT_DB,
                    "iTunes library %s is malformed (%s); nothing of it imported\n", file.c_str(),
                    reader.error.c_str());
            return false;
        }
        if (running && *running != 1) {
            return false;
        }
        switch (token.kind) {
        case PlistKind::DictBegin:
        case PlistKind::ArrayBegin: {
            const bool dict = token.kind == PlistKind::DictBegin;
            const Role role = frames.empty() ? (dict ? Role::Root : Role::Other)
                                             : role_of(frames.back().role, frames.back().key, dict);
            if (role == Role::Track) {
                // The key of a track's dictionary is its id as well.
                track = Track{};
                track.id = plist_integer(frames.back().key);
            } else if (role == Role::Playlist) {
                playlist = Playlist{};
            }
            has_tracks = has_tracks || role == Role::Tracks;
            frames.push_back({role, {}});
            break;
        }
        case PlistKind::DictEnd:
        case PlistKind::ArrayEnd:
            if (frames.empty()) {
                break;
            }
            if (frames.back().role == Role::Track) {
                tracks.push_back(std::move(track));
                track = Track{};
            } else if (frames.back().role == Role::Playlist) {
                // Old libraries mark the master list by its name alone.
                if (!playlist.skipped && playlist.name != "Library" && !playlist.name.empty()) {
                    im.playlists.push_back(std::move(playlist));
                }
                playlist = Playlist{};
            }
            frames.pop_back();
            break;
        case PlistKind::String:
            if (frames.size() == 1 && frames.back().role == Role::Root &&
                frames.back().key == "Music Folder") {
                // The folder the library keeps its files in.
                music_folder = itunes_location_path(token.text);
                break;
            }
            [[fallthrough]];
        default:
            if (frames.empty()) {
                break;
            }
            switch (frames.back().role) {
            case Role::Track:
                take_track_value(track, frames.back().key, token);
                break;
            case Role::Playlist:
                take_playlist_value(playlist, frames.back().key, token);
                break;
            case Role::Item:
                if (frames.back().key == "Track ID") {
                    if (const std::optional<int64_t> id = plist_integer(token.text)) {
                        playlist.track_ids.push_back(*id);
                    }
                }
                break;
            default:
                break;
            }
            break;
        case PlistKind::Key:
            if (!frames.empty()) {
                frames.back().key = token.text;
            }
            break;
        }
    }
    // Every library has its Tracks dictionary, an empty one too. A file
    // without it (empty, as a writer leaves it between truncating and its
    // first write, or any other document) is no library that lost its
    // tracks.
    if (!has_tracks) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB,
                "iTunes library %s holds no Tracks dictionary; nothing of it imported\n",
                file.c_str());
        return false;
    }
    // iTunes keeps its media folder beside the library file the user named
    // ("iTunes Media" next to "iTunes Music Library.xml"): served there, or
    // inside a content directory, and nowhere else the file may name.
    if (music_folder && !path_add_library_folder(*music_folder, parent_folder(file))) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB,
                "music folder %s of the iTunes library %s not served: it lies neither beside the "
                "library file nor in a content directory\n",
                music_folder->c_str(), file.c_str());
    }
    for (const Track& t : tracks) {
        // Stopped halfway: what was added stays, and the next import (of
        // this run or after the restart) compares against it.
        if (running && *running != 1) {
            return false;
        }
        add_track(im, t);
    }
    add_playlists(im);
    library_refusals_end(im.refused, file);
    library_replace(file, im.now);
    log_msg(LOG_INFO, LOG_CAT_DB, "iTunes library %s: %zu tracks, %zu playlists\n", file.c_str(),
            im.now.items.size(), im.now.playlists.size());
    return true;
}
