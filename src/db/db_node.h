// The nodes of the media tree. A container holds a list of children; an item
// is one media object, owned by exactly one container; a reference is a
// further appearance of an item in another container and owns nothing.
//
// Links between nodes are object ids, resolved through the id table of the
// database: a library of 100 000 tracks has millions of references, and 32-bit
// links keep each of them small.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

using NodeId = int32_t;
inline constexpr NodeId kNoNode = -1;

// Owned, NUL-terminated text or null; eight bytes per field.
struct DbText {
    DbText() = default;
    explicit DbText(std::string_view text) : data(new char[text.size() + 1])
    {
        memcpy(data.get(), text.data(), text.size());
        data[text.size()] = '\0';
    }
    static DbText from(const char* text)
    {
        return text ? DbText(std::string_view(text)) : DbText();
    }
    const char* get() const
    {
        return data.get();
    }
    bool empty() const
    {
        return !data || data[0] == '\0';
    }
    explicit operator bool() const
    {
        return data != nullptr;
    }
    std::unique_ptr<char[]> data;
};

enum DbKind : char {
    DB_CONTAINER = 'c',
    DB_ITEM = 'i',
    DB_REFERENCE = 'r',
};

struct DbNode {
    char kind;
    NodeId id = kNoNode;
    NodeId parent = kNoNode;
    NodeId next = kNoNode; // next sibling: children run from the newest to the oldest
    NodeId prev = kNoNode; // previous sibling, so that a child leaves its list at once
};

struct DbContainer : DbNode {
    NodeId first_child = kNoNode;
    int32_t child_count = 0;
    int32_t update_id = 0;
    uint16_t view_number = 0;
    bool permanent = false;
    bool update_pending = false;
    bool prune_candidate = false; // may have become empty since the last prune
    const char* upnp_class = nullptr;
    DbText title;
    NodeId next_same_title = kNoNode; // chain of the title index
    int64_t music_ms = 0;             // total duration of the music below, references included
};

struct DbItem : DbNode {
    DbText title;
    DbText artist;
    DbText album;
    DbText genre;
    DbText playlist;
    DbText date;
    DbText path;
    DbText duration;
    DbText description;
    DbText keywords;
    DbText subtitle; // a video's sidecar subtitle file, found by the scanner
    const char* upnp_class = nullptr;
    // The library file (an iTunes library, an iPod database) whose import
    // last added or found the item, or null: the next import of that file
    // removes the item when the file no longer holds it, after a restart
    // too. One shared copy per library (db_library_name).
    const char* library = nullptr;
    int64_t size = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t track = 0;
    int32_t bitrate = 0;
    int32_t audio_format = 0; // DbAudioFormat
    int32_t album_art = 0;
    int32_t compilation = 0;
    int64_t mtime = 0; // seconds since 1970, before it too, and past 2038
    int64_t last_played = 0;
    int32_t play_count = 0;
    int32_t duration_ms = 0;          // parsed once from duration
    NodeId first_reference = kNoNode; // chain of the references to this item
    NodeId next_same_path = kNoNode;  // chain of the path index
    NodeId next_same_keywords = kNoNode;
};

struct DbReference : DbNode {
    NodeId target = kNoNode;
    int32_t order = -1;
    NodeId next_reference = kNoNode; // next reference to the same target
};

// The program's whole UPnP class vocabulary. Nodes point at these and the
// code compares the pointers, so each is one object of the program (a string
// literal could be copied per file).
extern const char kClassPhoto[];
extern const char kClassMusicTrack[];
extern const char kClassBroadcast[];
extern const char kClassMovie[];
extern const char kClassContainer[];
extern const char kClassPlaylist[];
extern const char kClassMusicFolder[];
extern const char kClassPictureFolder[];
extern const char kClassVideoFolder[];
extern const char kClassStorageFolder[];
extern const char kClassAlbum[];
extern const char kClassArtist[];

// The fixed class string equal to text, or null.
const char* db_class_from_text(std::string_view text);

// The folder class for containers holding items of an item class.
const char* db_folder_class(const char* item_class);
