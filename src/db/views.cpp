#include "db/views.h"

#include "core/paths.h"
#include "core/settings.h"
#include "core/text_util.h"
#include "core/utf8.h"
#include "db/db_internal.h"

#include <cstring>
#include <optional>
#include <unistd.h>
#include <vector>

namespace
{

constexpr const char* kAllTitle = "- All -";

const char* folder_class_of(const DbItem* item)
{
    return db_folder_class(item->upnp_class);
}

// The keys of a view level; a level that is no key is a literal title.
enum class ViewKey {
    Literal,
    Path,
    Title,
    Artist,
    Album,
    Genre,
    Duration,
    Description,
    Track,
    Width,
    Height,
    Year,
    Month,
    Day,
    Unknown,
};

// One element of a view definition, parsed once.
struct ViewLevel {
    bool placeable = true; // a group prefix without ']' places nothing
    int group = 0;         // letter-group size, 0 for none
    ViewKey key = ViewKey::Literal;
    std::string literal;
};

ViewLevel parse_level(std::string_view text)
{
    ViewLevel level;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) {
            level.placeable = false;
            return level;
        }
        level.group = atoi(std::string(text.substr(1, close - 1)).c_str());
        // A group size of 0 or below would divide by zero: no group then.
        if (level.group < 0) {
            level.group = 0;
        }
        text = text.substr(close + 1);
    }
    if (text.empty() || text[0] != '%') {
        level.literal = std::string(text);
        return level;
    }
    static constexpr std::pair<std::string_view, ViewKey> kKeys[] = {
        {"%TITLE", ViewKey::Title},       {"%ARTIST", ViewKey::Artist},
        {"%ALBUM", ViewKey::Album},       {"%GENRE", ViewKey::Genre},
        {"%DURATION", ViewKey::Duration}, {"%DESCRIPTION", ViewKey::Description},
        {"%TRACK", ViewKey::Track},       {"%WIDTH", ViewKey::Width},
        {"%HEIGTH", ViewKey::Height},     {"%YEAR", ViewKey::Year},
        {"%MONTH", ViewKey::Month},       {"%DAY", ViewKey::Day},
        {"%PATH", ViewKey::Path},
    };
    level.key = ViewKey::Unknown;
    for (const auto& [name, key] : kKeys) {
        if (equal_nocase(name, text)) {
            level.key = key;
        }
    }
    return level;
}

// A key's value for an item and the class of containers made for it. Numbers
// are formatted into the caller's buffer; texts are views of the item's own.
struct KeyValue {
    bool present = false;
    std::string_view value;
    const char* upnp_class = nullptr;
};

using NumberBuffer = char[24];

std::string_view text_or(const DbText& text, std::string_view fallback, bool& present)
{
    if (text) {
        present = true;
        return text.get();
    }
    present = fallback.data() != nullptr;
    return fallback;
}

std::string_view number(int32_t n, NumberBuffer& buffer)
{
    const int length = snprintf(buffer, sizeof buffer, "%d", n);
    return std::string_view(buffer, static_cast<size_t>(length));
}

// Characters of the date from start (year 0, month 5, day 8); "0000" without
// a date. A short date (only from a hand-edited file) gives what is there.
std::string_view date_part(const DbItem* item, size_t start, size_t length)
{
    if (!item->date) {
        return "0000";
    }
    std::string_view date(item->date.get());
    return start < date.size() ? date.substr(start, length) : std::string_view();
}

KeyValue key_value(const DbItem* item, ViewKey key, NumberBuffer& buffer)
{
    KeyValue kv;
    kv.upnp_class = folder_class_of(item);
    kv.present = true;
    switch (key) {
    case ViewKey::Title:
        kv.value = text_or(item->title, {}, kv.present);
        break;
    case ViewKey::Artist:
        kv.value = item->compilation ? std::string_view("Various")
                                     : text_or(item->artist, "Unknown", kv.present);
        kv.upnp_class = kClassArtist;
        break;
    case ViewKey::Album:
        kv.value = text_or(item->album, "Unknown", kv.present);
        kv.upnp_class = kClassAlbum;
        break;
    case ViewKey::Genre:
        kv.value = text_or(item->genre, "Unknown", kv.present);
        kv.upnp_class = kClassMusicFolder;
        break;
    case ViewKey::Duration:
        kv.value = text_or(item->duration, {}, kv.present);
        kv.upnp_class = kClassMusicFolder;
        break;
    case ViewKey::Description:
        kv.value = text_or(item->description, {}, kv.present);
        break;
    case ViewKey::Track:
        kv.value = number(item->track, buffer);
        kv.upnp_class = kClassMusicFolder;
        break;
    case ViewKey::Width:
        kv.value = number(item->width, buffer);
        break;
    case ViewKey::Height:
        kv.value = number(item->height, buffer);
        break;
    case ViewKey::Year:
        kv.value = date_part(item, 0, 4);
        break;
    case ViewKey::Month:
        kv.value = date_part(item, 5, 2);
        break;
    case ViewKey::Day:
        kv.value = date_part(item, 8, 2);
        break;
    default:
        kv.present = false;
        break;
    }
    return kv;
}

// The view definitions and content directories, parsed once and refreshed
// when a setting changes (placement runs for every item added, under the
// tree lock, which also guards this copy).
struct ViewCache {
    unsigned generation = ~0u;
    std::vector<std::vector<ViewLevel>> definitions; // by slot (view_slot)
    std::vector<std::string> content_dirs;
    std::string start_dir;
};

// Never destroyed, like the rest of the tree's state.
ViewCache& g_cache = *new ViewCache;

int view_slot(int view_number)
{
    if (view_number >= 101 && view_number <= 110) {
        return view_number - 101;
    }
    if (view_number >= 131 && view_number <= 135) {
        return 10 + view_number - 131;
    }
    if (view_number >= 161 && view_number <= 165) {
        return 15 + view_number - 161;
    }
    return -1;
}

// Refreshed only where no element of the old copy is in use: at the start of
// a view's placement.
void refresh_cache(const DbLock&)
{
    const unsigned generation = settings_generation();
    if (g_cache.generation == generation) {
        return;
    }
    g_cache.generation = generation;
    g_cache.definitions.assign(20, {});
    for (int slot = 0; slot < 20; ++slot) {
        const int view = slot < 10 ? 101 + slot : slot < 15 ? 131 + slot - 10 : 161 + slot - 15;
        const int key = view_setting_key(view);
        for (int i = 0; i < setting_list_count(key); ++i) {
            g_cache.definitions[slot].push_back(
                parse_level(setting_list_item(key, i).value_or("")));
        }
    }
    g_cache.content_dirs.clear();
    // The scanner names files by their canonical paths; the directories as
    // written still serve items of older persistence files.
    for (const ContentRoot& root : content_roots()) {
        g_cache.content_dirs.push_back(root.canonical);
    }
    for (int i = 0; i < setting_list_count(KEY_CONTENTDIR); ++i) {
        g_cache.content_dirs.push_back(setting_list_item(KEY_CONTENTDIR, i).value_or(""));
    }
    g_cache.start_dir = start_directory();
}

const ViewLevel* view_level(const DbLock&, int view_number, int level)
{
    const int slot = view_slot(view_number);
    if (slot < 0 || g_cache.definitions.empty()) {
        return nullptr;
    }
    const auto& definition = g_cache.definitions[static_cast<size_t>(slot)];
    return static_cast<size_t>(level) < definition.size() ? &definition[static_cast<size_t>(level)]
                                                          : nullptr;
}

DbContainer* find_or_create(const DbLock& lock, DbContainer* parent, std::string_view title,
                            const char* upnp_class, bool permanent)
{
    if (!parent || title.empty()) {
        return nullptr;
    }
    if (DbContainer* c = db_find_child(lock, parent, title)) {
        return c;
    }
    return db_add_container(lock, title, parent, upnp_class, permanent);
}

// The item's directory below its content directory.
std::string relative_directory(const DbLock&, std::string_view path)
{
    auto after = [&](std::string_view dir) -> std::string {
        if (dir.back() == '/') {
            return std::string(path.substr(dir.size()));
        }
        return std::string(path.substr(std::min(path.size(), dir.size() + 1)));
    };
    const ViewCache& views = g_cache;
    // An empty directory names nothing (and has no last character to look at).
    for (const std::string& dir : views.content_dirs) {
        if (!dir.empty() && starts_with_nocase(path, dir)) {
            return after(dir);
        }
        if (dir.size() > 2 && starts_with_nocase(path, std::string_view(dir).substr(2))) {
            return after(std::string_view(dir).substr(2));
        }
    }
    if (!views.start_dir.empty() && starts_with_nocase(path, views.start_dir)) {
        return after(views.start_dir);
    }
    return std::string(path);
}

// "%PATH": nested folders for the item's directory below its content directory.
DbContainer* path_container(const DbLock& lock, DbItem* item, DbContainer* container)
{
    std::string_view path = item->path ? std::string_view(item->path.get()) : std::string_view();
    if (path.rfind("http://", 0) == 0 || path.rfind(".", 0) == 0) {
        return nullptr;
    }
    std::string relative = relative_directory(lock, path);
    // Folder names are cut at fixed lengths, each before a character that
    // would not fit whole.
    relative.resize(utf8_cut(relative, 1024));
    const size_t last_slash = relative.rfind('/');
    if (last_slash == std::string::npos || last_slash == 0) {
        return container;
    }
    relative.resize(last_slash + 1);
    DbContainer* current = container;
    size_t start = 0;
    for (size_t slash = relative.find('/'); slash != std::string::npos;
         slash = relative.find('/', start)) {
        // A directory name carries no encoding: UTF-8 when it reads as
        // UTF-8, else the Latin-1 of older systems.
        std::string part =
            utf8_from_unknown(std::string_view(relative).substr(start, slash - start));
        part.resize(utf8_cut(part, 1023));
        if (part.empty()) {
            return nullptr;
        }
        // Not permanent: a folder deleted or moved away leaves the view when
        // its last item has gone, as the other views' containers do.
        current = find_or_create(lock, current, part, folder_class_of(item), false);
        if (!current) {
            return nullptr;
        }
        start = slash + 1;
    }
    return current;
}

// The container a level of a view definition places the item in.
DbContainer* placement_container(const DbLock& lock, DbItem* item, DbContainer* container,
                                 const ViewLevel& level)
{
    if (level.key == ViewKey::Path) {
        return path_container(lock, item, container);
    }
    NumberBuffer buffer;
    KeyValue kv;
    if (level.key == ViewKey::Literal) {
        kv.present = true;
        kv.value = level.literal;
        kv.upnp_class = folder_class_of(item);
    } else {
        kv = key_value(item, level.key, buffer);
    }
    if (!kv.present || kv.value.empty()) {
        return nullptr;
    }
    if (level.group == 0) {
        return find_or_create(lock, container, kv.value, kv.upnp_class, false);
    }
    const std::string group_title = view_group_name(kv.value, level.group);
    DbContainer* group_container =
        find_or_create(lock, container, group_title, kv.upnp_class, false);
    return find_or_create(lock, group_container, kv.value, kv.upnp_class, false);
}

// The keys whose containers a search across views answers from one view.
bool is_searched_once(ViewKey key)
{
    return key == ViewKey::Album || key == ViewKey::Artist || key == ViewKey::Genre;
}

// Where the containers of a key are answered by a search across views: the
// slot and level of the view, or slot -1 when no view files by the key.
struct KeyHome {
    int slot = -1;
    int level = 0;
};

KeyHome key_home(const DbLock&, ViewKey key)
{
    const auto& definitions = g_cache.definitions;
    // A first level is one container per value; deeper levels repeat a value
    // below every value of the levels above.
    for (size_t slot = 0; slot < definitions.size(); ++slot) {
        const auto& levels = definitions[slot];
        if (levels.size() > 1 && levels[1].key == key && levels[1].group == 0) {
            return {static_cast<int>(slot), 1};
        }
    }
    for (size_t slot = 0; slot < definitions.size(); ++slot) {
        const auto& levels = definitions[slot];
        for (size_t level = 1; level < levels.size(); ++level) {
            if (levels[level].key == ViewKey::Path) {
                break; // folders of any depth: the levels below cannot be told apart
            }
            if (levels[level].key == key && levels[level].group == 0) {
                return {static_cast<int>(slot), static_cast<int>(level)};
            }
        }
    }
    return {};
}

} // namespace

const char kClassPhoto[] = "object.item.imageItem.photo";
const char kClassMusicTrack[] = "object.item.audioItem.musicTrack";
const char kClassBroadcast[] = "object.item.audioItem.audioBroadcast";
const char kClassMovie[] = "object.item.videoItem.movie";
const char kClassContainer[] = "object.container";
const char kClassPlaylist[] = "object.container.playlistContainer";
const char kClassMusicFolder[] = "object.container.musicContainer";
const char kClassPictureFolder[] = "object.container.pictureContainer";
const char kClassVideoFolder[] = "object.container.videoContainer";
const char kClassStorageFolder[] = "object.container.storageFolder";
const char kClassAlbum[] = "object.container.album.musicAlbum";
const char kClassArtist[] = "object.container.person.musicArtist";

const char* db_folder_class(const char* item_class)
{
    if (item_class == kClassPhoto) {
        return kClassPictureFolder;
    }
    if (item_class == kClassMusicTrack || item_class == kClassBroadcast) {
        return kClassMusicFolder;
    }
    if (item_class == kClassMovie) {
        return kClassVideoFolder;
    }
    return kClassContainer;
}

const char* db_class_from_text(std::string_view text)
{
    for (const char* c : {kClassPhoto, kClassMusicTrack, kClassBroadcast, kClassMovie,
                          kClassContainer, kClassPlaylist, kClassMusicFolder, kClassPictureFolder,
                          kClassVideoFolder, kClassStorageFolder, kClassAlbum, kClassArtist}) {
        if (text == c) {
            return c;
        }
    }
    return nullptr;
}

int view_setting_key(int view_number)
{
    if (view_number >= 101 && view_number <= 110) {
        return KEY_MUSICNODE1 + view_number - 101;
    }
    if (view_number >= 131 && view_number <= 135) {
        return KEY_PICTURENODE1 + view_number - 131;
    }
    if (view_number >= 161 && view_number <= 165) {
        return KEY_VIDEONODE1 + view_number - 161;
    }
    return -1;
}

void view_create_root(const DbLock& lock, int setting_key, int view_number, DbContainer* parent,
                      const char* upnp_class)
{
    auto title = setting_list_item(setting_key, 0);
    if (!title) {
        return;
    }
    if (DbContainer* root = db_add_container(lock, *title, parent, upnp_class, true)) {
        root->view_number = static_cast<uint16_t>(view_number);
    }
}

void view_place_item(const DbLock& lock, DbItem* item, DbContainer* top)
{
    if (!top) {
        return;
    }
    std::vector<DbContainer*> roots;
    for (DbNode* n = db_first_child(lock, top); n; n = db_next_sibling(lock, n)) {
        DbContainer* c = db_as_container(n);
        if (c && c->view_number >= 101 && c->view_number <= 199) {
            roots.push_back(c);
        }
    }
    for (DbContainer* root : roots) {
        view_place_level(lock, item, root, root->view_number, 1);
    }
}

void view_place_level(const DbLock& lock, DbItem* item, DbContainer* container, int view_number,
                      int level)
{
    if (!container) {
        return;
    }
    if (level == 1) {
        refresh_cache(lock);
    }
    const ViewLevel* element = view_level(lock, view_number, level);
    if (!element) {
        db_add_reference(lock, container, item, -1);
        return;
    }
    if (!element->placeable) {
        return;
    }
    view_place_level(lock, item, placement_container(lock, item, container, *element), view_number,
                     level + 1);
    // Every level without a group gets a "- All -" sibling that collects the
    // items of all its values.
    if (element->group == 0) {
        view_place_level(lock, item,
                         find_or_create(lock, container, kAllTitle, folder_class_of(item), false),
                         view_number, level + 1);
    }
}

std::string view_group_name(std::string_view value, int group_size)
{
    if (group_size <= 0) {
        return {};
    }
    // The first character decides: a Latin letter is filed under its base
    // letter ("É" under "E"); anything else below 'A' goes to the first
    // group and anything above 'Z' (other scripts included) to the last.
    size_t pos = 0;
    const char32_t first = value.empty() ? 0 : utf8_next(value, pos);
    const char base = utf8_latin_base_letter(first);
    const int c = base ? base : first < 'A' ? 0 : 0x10FFFF;
    int index = (c - 'A') / group_size;
    if (index < 0) {
        index = 0;
    }
    if (index > 26 / group_size) {
        index = 26 / group_size;
    }
    std::string title;
    for (int i = 0; i < group_size; ++i) {
        const int letter = 'A' + index * group_size + i;
        if (letter > 'Z') {
            break;
        }
        title += static_cast<char>(letter);
    }
    return title;
}

void keyword_folders_rebuild(const DbLock& lock, DbItem* item)
{
    DbContainer* tags = g_db.adobe_tags;
    if (!tags) {
        return;
    }
    db_remove_references(lock, tags, item);
    if (!item->keywords) {
        return;
    }
    // "People/Anna,Places/Rome": '/' separates levels, ',' tag paths.
    const std::string_view keywords(item->keywords.get());
    DbContainer* current = tags;
    size_t start = 0;
    for (size_t i = 0; i <= keywords.size(); ++i) {
        const bool end = i == keywords.size();
        const char c = end ? ',' : keywords[i];
        if (c != '/' && c != ',') {
            continue;
        }
        std::string_view segment = keywords.substr(start, i - start);
        start = i + 1;
        // An empty segment ends the walk without its reference.
        if (segment.empty()) {
            return;
        }
        current = find_or_create(lock, current, segment, kClassPictureFolder, true);
        if (!current) {
            return;
        }
        if (c == ',') {
            db_add_reference(lock, current, item, -1);
            current = tags;
        }
    }
}

bool view_container_searchable(const DbLock& lock, const DbContainer* c, const DbContainer* within)
{
    // The containers from c up to (not including) its view's root, c first.
    std::vector<const DbContainer*> path;
    const DbContainer* root = nullptr;
    for (const DbContainer* n = c; n; n = db_parent(lock, n)) {
        if (n == within) {
            return true;
        }
        if (view_slot(n->view_number) >= 0) {
            root = n;
            break;
        }
        path.push_back(n);
    }
    if (!root || path.empty()) {
        return true;
    }
    refresh_cache(lock);
    const int slot = view_slot(root->view_number);
    const auto& levels = g_cache.definitions[static_cast<size_t>(slot)];
    // Down the path, level by level: a level with letter groups made two
    // containers, the group and the value.
    bool below_all = false;
    size_t depth = path.size();
    for (size_t level = 1; level < levels.size() && depth > 0; ++level) {
        const ViewLevel& element = levels[level];
        if (!element.placeable || element.key == ViewKey::Path) {
            return true;
        }
        if (element.group > 0) {
            --depth;
            if (depth == 0) {
                // A letter group of a key that a search answers from one
                // view is never that view's container.
                return !is_searched_once(element.key);
            }
        }
        const DbContainer* here = path[--depth];
        const bool all = here->title.get() && strcmp(here->title.get(), kAllTitle) == 0;
        if (depth > 0) {
            below_all = below_all || all;
            continue;
        }
        if (all || !is_searched_once(element.key)) {
            return true;
        }
        const KeyHome home = key_home(lock, element.key);
        return home.slot == slot && home.level == static_cast<int>(level) && !below_all;
    }
    return true;
}
