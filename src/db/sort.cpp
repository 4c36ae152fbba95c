#include "db/sort.h"

#include "core/settings.h"
#include "core/utf8.h"
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

// Ignoring case, in the order of a listing by name (utf8_collate). Bytes
// that are the same in both texts are passed over here, on the terminated
// texts as they are; only where a character beyond ASCII makes the
// difference is the rest collated.
int collate_text(const char* a, const char* b)
{
    size_t i = 0;
    for (;;) {
        while (a[i] == b[i] && a[i] != '\0') {
            ++i;
        }
        const unsigned char x = static_cast<unsigned char>(a[i]);
        const unsigned char y = static_cast<unsigned char>(b[i]);
        if (x == y) {
            return 0;
        }
        if (x >= 0x80 || y >= 0x80) {
            break;
        }
        const int lx = x >= 'A' && x <= 'Z' ? x + 32 : x;
        const int ly = y >= 'A' && y <= 'Z' ? y + 32 : y;
        if (lx != ly) {
            return lx < ly ? -1 : 1;
        }
        ++i;
    }
    // Back to the start of the character that differs; what comes before it
    // is the same in both and weighs nothing in the order of the rest.
    const auto continues = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
    while (i > 0 && (continues(a[i]) || continues(b[i]))) {
        --i;
    }
    return utf8_collate(a + i, b + i);
}

// Missing values sort before present ones.
int compare_text(const char* a, const char* b, bool ignore_case)
{
    if (!a || !b) {
        return (a ? 1 : 0) - (b ? 1 : 0);
    }
    return ignore_case ? collate_text(a, b) : strcmp(a, b);
}

bool is_ascii(const char* text)
{
    unsigned char any = 0;
    for (const char* p = text; p && *p; ++p) {
        any |= static_cast<unsigned char>(*p);
    }
    return any < 0x80;
}

// What the comparison reads of a node, found once: a sort compares each node
// many times, and following a reference to its item every time is most of
// the work for a list of references.
struct SortEntry {
    DbNode* node;
    const DbItem* item; // the node, or a reference's item; null for containers
    const char* title;
    int32_t track;
    bool container;
    // Two ASCII titles (most of them) are compared by the C library's
    // strcasecmp, which reads many bytes at a time: a sort compares each
    // title many times.
    bool title_ascii;
};

int compare_titles(const SortEntry& a, const SortEntry& b)
{
    if (a.title && b.title && a.title_ascii && b.title_ascii) {
        return strcasecmp(a.title, b.title);
    }
    return compare_text(a.title, b.title, true);
}

SortEntry entry_of(const DbLock& lock, DbNode* node)
{
    SortEntry e{node, nullptr, nullptr, 0, node->kind == DB_CONTAINER, true};
    if (e.container) {
        e.title = static_cast<const DbContainer*>(node)->title.get();
        e.title_ascii = is_ascii(e.title);
        return e;
    }
    e.item = db_target_item(lock, node);
    e.title = e.item ? e.item->title.get() : nullptr;
    e.title_ascii = is_ascii(e.title);
    e.track = e.item ? e.item->track : 0;
    if (node->kind == DB_REFERENCE) {
        // A playlist position wins over the track tag.
        const int32_t order = static_cast<const DbReference*>(node)->order;
        if (order >= 1) {
            e.track = order;
        }
    }
    return e;
}

const char* item_text(const SortEntry& e, DbText DbItem::*field)
{
    return e.item ? (e.item->*field).get() : nullptr;
}

int compare_property(const SortEntry& a, const SortEntry& b, SortKey::Property property)
{
    switch (property) {
    case SortKey::Title:
        return compare_titles(a, b);
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
    case SortKey::Track:
        return a.track < b.track ? -1 : (a.track > b.track ? 1 : 0);
    }
    return 0;
}

int compare_entries(const SortEntry& a, const SortEntry& b, const SortCriteria& criteria)
{
    if (!criteria.present) {
        return 0;
    }
    // Containers always come first, whatever the criteria say.
    if (a.container != b.container) {
        return a.container ? -1 : 1;
    }
    for (const SortKey& key : criteria.keys) {
        const int result = compare_property(a, b, key.property);
        if (result != 0) {
            return result * key.sign;
        }
    }
    return compare_titles(a, b) * criteria.last_sign;
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

int sort_compare(const DbLock& lock, const DbNode* a, const DbNode* b, const SortCriteria& criteria)
{
    return compare_entries(entry_of(lock, const_cast<DbNode*>(a)),
                           entry_of(lock, const_cast<DbNode*>(b)), criteria);
}

void sort_nodes(const DbLock& lock, std::vector<DbNode*>& nodes, const SortCriteria& criteria)
{
    std::vector<SortEntry> entries;
    entries.reserve(nodes.size());
    for (DbNode* n : nodes) {
        entries.push_back(entry_of(lock, n));
    }
    std::sort(entries.begin(), entries.end(), [&](const SortEntry& a, const SortEntry& b) {
        return compare_entries(a, b, criteria) < 0;
    });
    for (size_t i = 0; i < entries.size(); ++i) {
        nodes[i] = entries[i].node;
    }
}

int sort_token_count(std::string_view criteria)
{
    int count = 0;
    while (!criteria.empty()) {
        const size_t comma = criteria.find(',');
        count += comma != 0 ? 1 : 0;
        criteria =
            comma == std::string_view::npos ? std::string_view() : criteria.substr(comma + 1);
    }
    return count;
}

void sort_nodes_window(const DbLock& lock, std::span<DbNode*> nodes, const SortCriteria& criteria,
                       size_t first, size_t last)
{
    last = std::min(last, nodes.size());
    if (first >= last) {
        return;
    }
    std::vector<SortEntry> entries;
    entries.reserve(nodes.size());
    for (DbNode* n : nodes) {
        entries.push_back(entry_of(lock, n));
    }
    auto less = [&](const SortEntry& a, const SortEntry& b) {
        return compare_entries(a, b, criteria) < 0;
    };
    if (first > 0) {
        std::nth_element(entries.begin(), entries.begin() + static_cast<ptrdiff_t>(first),
                         entries.end(), less);
    }
    std::partial_sort(entries.begin() + static_cast<ptrdiff_t>(first),
                      entries.begin() + static_cast<ptrdiff_t>(last), entries.end(), less);
    for (size_t i = 0; i < entries.size(); ++i) {
        nodes[i] = entries[i].node;
    }
}

bool sort_nodes_window_paused(DbLock& lock, std::span<DbNode*> nodes, const SortCriteria& criteria,
                              size_t first, size_t last, DbPause* pause, size_t slice_entries)
{
    last = std::min(last, nodes.size());
    if (first >= last) {
        return true;
    }
    auto less = [&](const SortEntry& a, const SortEntry& b) {
        return compare_entries(a, b, criteria) < 0;
    };
    // The last entries that sort first are gathered a slice at a time, with
    // the lock let go between slices: a slice costs a selection over what
    // is kept plus the slice, so a first page of a huge result holds the
    // lock a few milliseconds at a time. The rest is kept for the order
    // after the window.
    const size_t slice = std::max<size_t>(std::max<size_t>(slice_entries, 1), last);
    std::vector<SortEntry> best;
    best.reserve(std::min(nodes.size(), last + slice));
    std::vector<DbNode*> rest;
    rest.reserve(nodes.size() - last);
    for (size_t at = 0; at < nodes.size(); at += slice) {
        const size_t end = std::min(nodes.size(), at + slice);
        for (size_t i = at; i < end; ++i) {
            best.push_back(entry_of(lock, nodes[i]));
        }
        if (best.size() > last) {
            std::nth_element(best.begin(), best.begin() + static_cast<ptrdiff_t>(last), best.end(),
                             less);
            for (size_t i = last; i < best.size(); ++i) {
                rest.push_back(best[i].node);
            }
            best.resize(last);
        }
        if (end < nodes.size() && !db_pause_if_due(lock, pause)) {
            return false;
        }
    }
    if (first > 0) {
        std::nth_element(best.begin(), best.begin() + static_cast<ptrdiff_t>(first), best.end(),
                         less);
    }
    std::sort(best.begin() + static_cast<ptrdiff_t>(first), best.end(), less);
    size_t out = 0;
    for (const SortEntry& e : best) {
        nodes[out++] = e.node;
    }
    for (DbNode* n : rest) {
        nodes[out++] = n;
    }
    return true;
}
