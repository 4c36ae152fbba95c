#include "db/sort.h"

#include "core/settings.h"
#include "db/media_db.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace
{

struct PropertyName {
    std::string_view name;
    SortKey::Property property;
};

constexpr PropertyName kProperties[] = {
    {"dc:title", SortKey::Title},
    {"upnp:artist", SortKey::Artist},
    {"dc:creator", SortKey::Artist},
    {"upnp:album", SortKey::Album},
    {"upnp:genre", SortKey::Genre},
    {"dc:date", SortKey::Date},
    {"upnp:originalTrackNumber", SortKey::Track},
    {"res", SortKey::Res},
};

// Missing values sort before present ones.
int compare_text(const char* a, const char* b, bool ignore_case)
{
    if (!a || !b) {
        return (a ? 1 : 0) - (b ? 1 : 0);
    }
    return ignore_case ? strcasecmp(a, b) : strcmp(a, b);
}

const char* title_of(const DbNode* node)
{
    if (node->kind == DB_CONTAINER) {
        return static_cast<const DbContainer*>(node)->title.get();
    }
    const DbItem* item = db_target_item(const_cast<DbNode*>(node));
    return item ? item->title.get() : nullptr;
}

const char* item_text(const DbNode* node, DbText DbItem::*field)
{
    if (node->kind == DB_CONTAINER) {
        return nullptr;
    }
    const DbItem* item = db_target_item(const_cast<DbNode*>(node));
    return item ? (item->*field).get() : nullptr;
}

int32_t track_of(const DbNode* node)
{
    if (node->kind == DB_CONTAINER) {
        return 0;
    }
    if (node->kind == DB_REFERENCE) {
        const auto* ref = static_cast<const DbReference*>(node);
        // A playlist position wins over the track tag.
        if (ref->order >= 1) {
            return ref->order;
        }
    }
    const DbItem* item = db_target_item(const_cast<DbNode*>(node));
    return item ? item->track : 0;
}

int compare_property(const DbNode* a, const DbNode* b, SortKey::Property property)
{
    switch (property) {
    case SortKey::Title:
        return compare_text(title_of(a), title_of(b), true);
    case SortKey::Artist:
        return compare_text(item_text(a, &DbItem::artist), item_text(b, &DbItem::artist), true);
    case SortKey::Album:
        return compare_text(item_text(a, &DbItem::album), item_text(b, &DbItem::album), true);
    case SortKey::Genre:
        return compare_text(item_text(a, &DbItem::genre), item_text(b, &DbItem::genre), true);
    case SortKey::Date:
        return compare_text(item_text(a, &DbItem::date), item_text(b, &DbItem::date), false);
    case SortKey::Res:
        return compare_text(item_text(a, &DbItem::path), item_text(b, &DbItem::path), true);
    case SortKey::Track: {
        const int32_t ta = track_of(a);
        const int32_t tb = track_of(b);
        return ta < tb ? -1 : (ta > tb ? 1 : 0);
    }
    }
    return 0;
}

} // namespace

std::string sort_criteria_for(const char* client_criteria, const char* container_class)
{
    if (client_criteria && *client_criteria) {
        return client_criteria;
    }
    if (!container_class) {
        return setting_str(KEY_DS);
    }
    const std::string_view c(container_class);
    if (c == "object.container.playlistContainer" || c == "object.container.musicContainer" ||
        c == "object.item.audioItem.musicTrack" || c == "object.container.album.musicAlbum") {
        return setting_str(KEY_MS);
    }
    if (c == "object.item.imageItem.photo" || c == "object.container.pictureContainer") {
        return setting_str(KEY_PS);
    }
    return setting_str(KEY_DS);
}

SortCriteria sort_parse(const char* criteria)
{
    SortCriteria parsed;
    if (!criteria) {
        return parsed;
    }
    parsed.present = true;
    std::string_view rest(criteria);
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        std::string_view token = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        int sign = 1;
        if (!token.empty() && (token[0] == '+' || token[0] == '-')) {
            sign = token[0] == '-' ? -1 : 1;
            token.remove_prefix(1);
        }
        parsed.last_sign = sign;
        for (const PropertyName& p : kProperties) {
            if (token.substr(0, p.name.size()) == p.name) {
                parsed.keys.push_back({p.property, sign});
                break;
            }
        }
    }
    return parsed;
}

int sort_compare(const DbNode* a, const DbNode* b, const SortCriteria& criteria)
{
    if (!criteria.present) {
        return 0;
    }
    // Containers always come first, whatever the criteria say.
    const bool a_container = a->kind == DB_CONTAINER;
    const bool b_container = b->kind == DB_CONTAINER;
    if (a_container != b_container) {
        return a_container ? -1 : 1;
    }
    for (const SortKey& key : criteria.keys) {
        const int result = compare_property(a, b, key.property);
        if (result != 0) {
            return result * key.sign;
        }
    }
    return compare_text(title_of(a), title_of(b), true) * criteria.last_sign;
}

void sort_nodes(std::vector<DbNode*>& nodes, const SortCriteria& criteria)
{
    db_assert_locked();
    std::sort(nodes.begin(), nodes.end(),
              [&](const DbNode* a, const DbNode* b) { return sort_compare(a, b, criteria) < 0; });
}
