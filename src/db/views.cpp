#include "db/views.h"

#include "core/paths.h"
#include "core/settings.h"
#include "db/db_internal.h"

#include <optional>
#include <strings.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr const char* kAllTitle = "- All -";

const char* folder_class_of(const DbItem* item)
{
    return db_folder_class(item->upnp_class);
}

// A key's value for an item and the class of containers made for it.
struct KeyValue {
    std::optional<std::string> value;
    const char* upnp_class;
};

std::string date_part(const DbItem* item, size_t start, size_t length)
{
    if (!item->date) {
        return "0000";
    }
    std::string_view date(item->date.get());
    // A short date (only from a hand-edited file) gives what is there.
    return start < date.size() ? std::string(date.substr(start, length)) : std::string();
}

std::optional<std::string> text_or(const DbText& text, const char* fallback)
{
    if (text) {
        return std::string(text.get());
    }
    if (fallback) {
        return std::string(fallback);
    }
    return std::nullopt;
}

KeyValue key_value(const DbItem* item, std::string_view key)
{
    auto is = [&](const char* name) {
        return key.size() == strlen(name) && strncasecmp(key.data(), name, key.size()) == 0;
    };
    const char* folder = folder_class_of(item);
    if (is("%TITLE")) {
        return {text_or(item->title, nullptr), folder};
    }
    if (is("%ARTIST")) {
        return {item->compilation ? std::optional<std::string>("Various")
                                  : text_or(item->artist, "Unknown"),
                kClassArtist};
    }
    if (is("%ALBUM")) {
        return {text_or(item->album, "Unknown"), kClassAlbum};
    }
    if (is("%GENRE")) {
        return {text_or(item->genre, "Unknown"), kClassMusicFolder};
    }
    if (is("%DURATION")) {
        return {text_or(item->duration, nullptr), kClassMusicFolder};
    }
    if (is("%DESCRIPTION")) {
        return {text_or(item->description, nullptr), folder};
    }
    if (is("%TRACK")) {
        return {std::to_string(item->track), kClassMusicFolder};
    }
    if (is("%WIDTH")) {
        return {std::to_string(item->width), folder};
    }
    if (is("%HEIGTH")) {
        return {std::to_string(item->height), folder};
    }
    if (is("%YEAR")) {
        return {date_part(item, 0, 4), folder};
    }
    if (is("%MONTH")) {
        return {date_part(item, 5, 2), folder};
    }
    if (is("%DAY")) {
        return {date_part(item, 8, 2), folder};
    }
    return {std::nullopt, folder};
}

DbContainer* find_or_create(DbContainer* parent, std::string_view title, const char* upnp_class,
                            bool permanent)
{
    if (!parent || title.empty()) {
        return nullptr;
    }
    if (DbContainer* c = db_find_child(parent, title)) {
        return c;
    }
    return db_add_container(title, parent, upnp_class, permanent);
}

bool starts_with_nocase(std::string_view text, std::string_view prefix)
{
    return !prefix.empty() && text.size() >= prefix.size() &&
           strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// The item's directory below its content directory.
std::string relative_directory(std::string_view path)
{
    auto after = [&](std::string_view dir) -> std::string {
        if (dir.back() == '/') {
            return std::string(path.substr(dir.size()));
        }
        return std::string(path.substr(std::min(path.size(), dir.size() + 1)));
    };
    const int dirs = setting_list_count(KEY_CONTENTDIR);
    for (int i = 0; i < dirs; ++i) {
        const std::string dir = setting_list_item(KEY_CONTENTDIR, i).value_or("");
        if (starts_with_nocase(path, dir)) {
            return after(dir);
        }
        if (dir.size() > 2 && starts_with_nocase(path, std::string_view(dir).substr(2))) {
            return after(std::string_view(dir).substr(2));
        }
    }
    const std::string start = start_directory();
    if (starts_with_nocase(path, start)) {
        return after(start);
    }
    return std::string(path);
}

// "%PATH": nested folders for the item's directory below its content directory.
DbContainer* path_container(DbItem* item, DbContainer* container)
{
    std::string_view path = item->path ? std::string_view(item->path.get()) : std::string_view();
    if (path.rfind("http://", 0) == 0 || path.rfind(".", 0) == 0) {
        return nullptr;
    }
    std::string relative = relative_directory(path).substr(0, 1024);
    const size_t last_slash = relative.rfind('/');
    if (last_slash == std::string::npos || last_slash == 0) {
        return container;
    }
    relative.resize(last_slash + 1);
    DbContainer* current = container;
    size_t start = 0;
    for (size_t slash = relative.find('/'); slash != std::string::npos;
         slash = relative.find('/', start)) {
        std::string_view part =
            std::string_view(relative).substr(start, slash - start).substr(0, 1023);
        if (part.empty()) {
            return nullptr;
        }
        current = find_or_create(current, part, folder_class_of(item), true);
        if (!current) {
            return nullptr;
        }
        start = slash + 1;
    }
    return current;
}

// The container an element of a view definition places the item in.
DbContainer* placement_container(DbItem* item, DbContainer* container, std::string_view element,
                                 int group)
{
    if (starts_with_nocase(element, "%PATH") && element.size() == 5) {
        return path_container(item, container);
    }
    std::optional<std::string> value;
    const char* upnp_class = folder_class_of(item);
    if (!element.empty() && element[0] == '%') {
        KeyValue kv = key_value(item, element);
        value = std::move(kv.value);
        upnp_class = kv.upnp_class;
    } else {
        value = std::string(element);
    }
    if (!value || value->empty()) {
        return nullptr;
    }
    if (group == 0) {
        return find_or_create(container, *value, upnp_class, false);
    }
    const std::string group_title = view_group_name(static_cast<unsigned char>((*value)[0]), group);
    DbContainer* group_container = find_or_create(container, group_title, upnp_class, false);
    return find_or_create(group_container, *value, upnp_class, false);
}

} // namespace

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

void view_create_root(int setting_key, int view_number, DbContainer* parent, const char* upnp_class)
{
    auto title = setting_list_item(setting_key, 0);
    if (!title) {
        return;
    }
    if (DbContainer* root = db_add_container(*title, parent, upnp_class, true)) {
        root->view_number = static_cast<uint16_t>(view_number);
    }
}

void view_place_item(DbItem* item, DbContainer* top)
{
    if (!top) {
        return;
    }
    std::vector<DbContainer*> roots;
    for (DbNode* n = db_first_child(top); n; n = db_next_sibling(n)) {
        DbContainer* c = db_as_container(n);
        if (c && c->view_number >= 101 && c->view_number <= 199) {
            roots.push_back(c);
        }
    }
    for (DbContainer* root : roots) {
        view_place_level(item, root, root->view_number, 1);
    }
}

void view_place_level(DbItem* item, DbContainer* container, int view_number, int level)
{
    if (!container) {
        return;
    }
    auto element = setting_list_item(view_setting_key(view_number), level);
    if (!element) {
        db_add_reference(container, item, -1);
        return;
    }
    std::string_view text = *element;
    int group = 0;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return;
        }
        group = atoi(std::string(text.substr(1, close - 1)).c_str());
        text = text.substr(close + 1);
        // A group size of 0 or below would divide by zero: no group then.
        if (group < 0) {
            group = 0;
        }
    }
    view_place_level(item, placement_container(item, container, text, group), view_number,
                     level + 1);
    if (group == 0) {
        view_place_level(item, find_or_create(container, kAllTitle, folder_class_of(item), false),
                         view_number, level + 1);
    }
}

std::string view_group_name(unsigned char c, int group_size)
{
    if (group_size <= 0) {
        return {};
    }
    if ((c >= 192 && c <= 198) || (c >= 224 && c <= 230)) {
        c = 'A';
    } else if (c == 199 || c == 231) {
        c = 'C';
    } else if ((c >= 200 && c <= 203) || (c >= 232 && c <= 235)) {
        c = 'E';
    } else if ((c >= 204 && c <= 207) || (c >= 236 && c <= 239)) {
        c = 'I';
    } else if (c == 209 || c == 241) {
        c = 'N';
    } else if ((c >= 210 && c <= 216) || (c >= 242 && c <= 248)) {
        c = 'O';
    } else if ((c >= 217 && c <= 220) || (c >= 249 && c <= 252)) {
        c = 'U';
    }
    if (c >= 'a' && c <= 'z') {
        c = static_cast<unsigned char>(c - 'a' + 'A');
    }
    int index = (static_cast<int>(c) - 'A') / group_size;
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

void keyword_folders_rebuild(DbItem* item)
{
    DbContainer* tags = g_db.adobe_tags;
    if (!tags) {
        return;
    }
    db_remove_references(tags, item);
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
        current = find_or_create(current, segment, kClassPictureFolder, true);
        if (!current) {
            return;
        }
        if (c == ',') {
            db_add_reference(current, item, -1);
            current = tags;
        }
    }
}
