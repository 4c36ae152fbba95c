#include "control/search_criteria.h"

#include "core/text_util.h"
#include "core/utf8.h"
#include "db/media_db.h"
#include "db/node_store.h"
#include "db/views.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unordered_set>

namespace
{

// Each level of an expression holds at most this many symbols; the text
// beyond is not read.
constexpr size_t kMaxSymbols = 127;

enum class Property {
    Title,
    Source,
    Creator,
    Artist,
    AuthorRole,
    Author,
    AlbumArt,
    Album,
    Genre,
    Date,
    Res,
    Class,
    Track,
    Id,
    ParentId,
    RefId,
};

// Matched as prefixes, in this order ("upnp:albumArtURI" before "upnp:album").
constexpr struct {
    const char* token;
    Property property;
} kProperties[] = {
    {"dc:title", Property::Title},
    {"dc:source", Property::Source},
    {"dc:creator", Property::Creator},
    {"upnp:artist", Property::Artist},
    {"upnp:author@role", Property::AuthorRole},
    {"upnp:author", Property::Author},
    {"upnp:albumArtURI", Property::AlbumArt},
    {"upnp:album", Property::Album},
    {"upnp:genre", Property::Genre},
    {"dc:date", Property::Date},
    {"res", Property::Res},
    {"upnp:class", Property::Class},
    {"upnp:originalTrackNumber", Property::Track},
    {"@id", Property::Id},
    {"@parentID", Property::ParentId},
    {"@refID", Property::RefId},
};

constexpr const char* kOperators[] = {
    "=", "!=", "<=", "<", ">=", ">", "contains", "doesNotContain", "derivedfrom", "exists"};

} // namespace

// One symbol of an expression level: a condition, a group, or an operator.
struct SearchTerm {
    enum class Kind { Condition, Group, And, Or };
    explicit SearchTerm(Kind k) : kind(k)
    {
    }
    Kind kind;
    Property property = Property::Title;
    std::string op;
    std::string literal;
    // The literal folded, for the operators that ignore case: folded once
    // here, not once per node.
    std::string folded;
    std::shared_ptr<const SearchExpression> group;
};

struct SearchExpression {
    std::vector<SearchTerm> terms;
    // True when no condition looks at a node's own ids: a reference then
    // matches exactly when its item does.
    bool item_only = true;
    // True when a condition names a place by id (@id, @parentID): the client
    // then asks for the nodes there, whichever view they are in.
    bool names_place = false;
};

namespace
{

bool is_blank(unsigned char c)
{
    return c <= 32 || c >= 0x80;
}

// A literal ended by its length bound must not end inside a character.
void drop_cut_character(std::string& literal, const char* text, size_t p, size_t end)
{
    if (p < end && (static_cast<unsigned char>(text[p]) & 0xC0) == 0x80) {
        const std::string with_next = literal + text[p];
        literal.resize(utf8_cut(with_next, literal.size()));
    }
}

bool ignores_case(const std::string& op)
{
    return op == "contains" || op == "doesNotContain";
}

int compare(const char* value, const std::string& op, const char* literal,
            const std::string& folded_literal, bool numeric);

// Whether value contains the folded literal, ignoring case.
bool contains_folded(const char* value, const std::string& folded)
{
    bool ascii = true;
    for (char c : folded) {
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    }
    if (ascii) {
        // The C library's search is many times faster than a walk by
        // characters, and exact for an ASCII literal: beyond ASCII only
        // U+0130 and U+017F fold to ASCII letters, and only a text holding
        // their lead bytes needs the walk.
        if (strcasestr(value, folded.c_str())) {
            return true;
        }
        if (!strpbrk(value, "\xC4\xC5")) {
            return false;
        }
    }
    return utf8_contains_folded(value, folded);
}

// Compiles text[0, end) into an expression; false on a syntax error or when
// the conditions, counted across all groups, pass the limit.
bool compile(const char* text, size_t end, int depth, int& conditions, SearchExpression& out)
{
    if (depth > kSearchMaxDepth) {
        return false;
    }
    size_t p = 0;
    while (p < end && out.terms.size() < kMaxSymbols) {
        while (p < end && is_blank(static_cast<unsigned char>(text[p]))) {
            ++p;
        }
        if (p >= end) {
            break;
        }
        if (text[p] == '(') {
            // The matching ')', skipping quoted strings.
            int nesting = 1;
            bool quoted = false;
            size_t q = p + 1;
            for (; q < end && nesting > 0; ++q) {
                if (quoted) {
                    if (text[q] == '\\') {
                        ++q;
                    } else if (text[q] == '"') {
                        quoted = false;
                    }
                } else if (text[q] == '"') {
                    quoted = true;
                } else if (text[q] == '(') {
                    ++nesting;
                } else if (text[q] == ')') {
                    --nesting;
                }
            }
            if (nesting > 0) {
                return false;
            }
            auto group = std::make_shared<SearchExpression>();
            if (!compile(text + p + 1, q - 1 - (p + 1), depth + 1, conditions, *group)) {
                return false;
            }
            out.item_only = out.item_only && group->item_only;
            out.names_place = out.names_place || group->names_place;
            SearchTerm t(SearchTerm::Kind::Group);
            t.group = std::move(group);
            out.terms.push_back(std::move(t));
            p = q;
            continue;
        }
        const std::string_view rest(text + p, end - p);
        if (rest.starts_with("and")) {
            out.terms.emplace_back(SearchTerm::Kind::And);
            p += 3;
            continue;
        }
        if (rest.starts_with("or")) {
            out.terms.emplace_back(SearchTerm::Kind::Or);
            p += 2;
            continue;
        }
        if (++conditions > kSearchMaxConditions) {
            return false;
        }
        SearchTerm t(SearchTerm::Kind::Condition);
        bool found = false;
        for (const auto& row : kProperties) {
            if (rest.starts_with(row.token)) {
                t.property = row.property;
                p += strlen(row.token);
                found = true;
                break;
            }
        }
        if (!found) {
            return false;
        }
        if (t.property == Property::Id || t.property == Property::ParentId ||
            t.property == Property::RefId) {
            out.item_only = false;
            out.names_place = out.names_place || t.property != Property::RefId;
        }
        while (p < end && text[p] == ' ') {
            ++p;
        }
        found = false;
        for (const char* op : kOperators) {
            const size_t n = strlen(op);
            // The rest must be longer than the operator.
            if (end - p > n && strncmp(text + p, op, n) == 0) {
                t.op = op;
                p += n;
                found = true;
                break;
            }
        }
        if (!found) {
            return false;
        }
        // The literal starts one character after the operator, whatever that
        // character is (normally the blank that follows it).
        ++p;
        while (p < end && text[p] == ' ') {
            ++p;
        }
        if (p < end && text[p] == '"') {
            ++p;
            while (p < end && text[p] != '"' && t.literal.size() < 1023) {
                if (text[p] == '\\' && p + 1 < end) {
                    ++p;
                }
                t.literal += text[p++];
            }
            drop_cut_character(t.literal, text, p, end);
            if (p < end) {
                ++p; // the closing quote
            }
        } else {
            while (p < end && text[p] != ' ' && t.literal.size() < 1024) {
                t.literal += text[p++];
            }
            drop_cut_character(t.literal, text, p, end);
            if (p < end) {
                ++p; // the ending blank
            }
        }
        if (ignores_case(t.op)) {
            t.folded = utf8_fold(t.literal);
        }
        out.terms.push_back(std::move(t));
    }
    return true;
}

// The value of a property for a node (item values from a reference's
// target, ids the node's own), or null when absent. Numbers are written into
// scratch; texts are the node's own, not copied, as this runs for every node
// of the searched subtree.
const char* property_value(const DbLock& lock, const DbNode* node, Property property,
                           char (&scratch)[24])
{
    const DbItem* item = db_target_item(lock, const_cast<DbNode*>(node));
    const DbContainer* container =
        node->kind == DB_CONTAINER ? static_cast<const DbContainer*>(node) : nullptr;
    auto number = [&](long long v) {
        snprintf(scratch, sizeof scratch, "%lld", v);
        return scratch;
    };
    switch (property) {
    case Property::Title:
        return item ? item->title.get() : container ? container->title.get() : nullptr;
    case Property::AuthorRole:
        return "Composer";
    case Property::Class:
        return item ? item->upnp_class : container ? container->upnp_class : nullptr;
    case Property::Id:
        return number(node->id);
    case Property::ParentId: {
        const DbContainer* parent = db_parent(lock, node);
        return number(parent ? parent->id : node == db_tree(lock).root ? -1 : 0);
    }
    case Property::RefId:
        return node->kind == DB_REFERENCE && item ? number(item->id) : nullptr;
    default:
        break;
    }
    if (!item) {
        return nullptr;
    }
    switch (property) {
    case Property::Source:
    case Property::Res:
        return item->path.get();
    case Property::Creator:
    case Property::Artist:
    case Property::Author:
        return item->artist.get();
    case Property::AlbumArt:
        return number(item->album_art);
    case Property::Album:
        return item->album.get();
    case Property::Genre:
        return item->genre.get();
    case Property::Date:
        return item->date.get();
    case Property::Track:
        return number(item->track);
    default:
        return nullptr;
    }
}

int evaluate(const DbLock& lock, const DbNode* node, const SearchExpression& e)
{
    // The symbols of this level: '0', '1', '&', '|'.
    std::string symbols;
    symbols.reserve(e.terms.size());
    char scratch[24];
    for (const SearchTerm& t : e.terms) {
        switch (t.kind) {
        case SearchTerm::Kind::And:
            symbols += '&';
            break;
        case SearchTerm::Kind::Or:
            symbols += '|';
            break;
        case SearchTerm::Kind::Group:
            symbols += evaluate(lock, node, *t.group) ? '1' : '0';
            break;
        case SearchTerm::Kind::Condition: {
            symbols += compare(property_value(lock, node, t.property, scratch), t.op,
                               t.literal.c_str(), t.folded, t.property == Property::Track)
                           ? '1'
                           : '0';
            break;
        }
        }
    }
    // "and" first, then "or", each time the leftmost pair.
    auto is_value = [](char c) { return c == '0' || c == '1'; };
    for (const char op : {'&', '|'}) {
        size_t i = 0;
        while (i + 2 < symbols.size()) {
            if (symbols[i + 1] == op && is_value(symbols[i]) && is_value(symbols[i + 2])) {
                const bool x = symbols[i] == '1';
                const bool y = symbols[i + 2] == '1';
                symbols.replace(i, 3, 1, (op == '&' ? x && y : x || y) ? '1' : '0');
                i = 0;
            } else {
                ++i;
            }
        }
    }
    return !symbols.empty() && symbols[0] == '1' ? 1 : 0;
}

} // namespace

SearchCriteria search_compile(const char* criteria)
{
    SearchCriteria c;
    if (!criteria || !*criteria) {
        return c;
    }
    const size_t length = strlen(criteria);
    if (length > kSearchCriteriaMaxBytes) {
        c.kind = SearchCriteria::Kind::Invalid;
        return c;
    }
    if (criteria[0] == '*') {
        c.kind = SearchCriteria::Kind::Everything;
        return c;
    }
    auto expression = std::make_shared<SearchExpression>();
    int conditions = 0;
    if (!compile(criteria, length, 0, conditions, *expression)) {
        c.kind = SearchCriteria::Kind::Invalid;
        return c;
    }
    c.kind = SearchCriteria::Kind::Expression;
    c.item_only = expression->item_only;
    c.names_place = expression->names_place;
    c.expression = std::move(expression);
    return c;
}

int search_evaluate(const DbLock& lock, const DbNode* node, const SearchCriteria& criteria)
{
    switch (criteria.kind) {
    case SearchCriteria::Kind::Nothing:
        return 0;
    case SearchCriteria::Kind::Everything:
        return 1;
    case SearchCriteria::Kind::Invalid:
        return -1;
    case SearchCriteria::Kind::Expression:
        break;
    }
    return evaluate(lock, node, *criteria.expression);
}

int search_compare(const char* value, const std::string& op, const char* literal, bool numeric)
{
    const std::string folded = literal && ignores_case(op) ? utf8_fold(literal) : std::string();
    return compare(value, op, literal, folded, numeric);
}

namespace
{

int compare(const char* value, const std::string& op, const char* literal,
            const std::string& folded_literal, bool numeric)
{
    if (op == "exists") {
        const bool want = literal && strcmp(literal, "true") == 0;
        return want == (value != nullptr) ? 1 : 0;
    }
    // Items without, say, an artist are found as artist "Unknown".
    if (!value && literal && strcmp(literal, "Unknown") == 0) {
        value = "Unknown";
    }
    if (!value || !literal || !*literal) {
        return 0;
    }
    const bool text_operator = op == "contains" || op == "doesNotContain" || op == "derivedfrom";
    if (text_operator) {
        if (numeric) {
            return 0;
        }
        if (op == "derivedfrom") {
            return strstr(value, literal) != nullptr ? 1 : 0;
        }
        // Case is ignored for Latin, Greek and Cyrillic letters alike.
        const bool contained = contains_folded(value, folded_literal);
        return (op == "contains") == contained ? 1 : 0;
    }
    // The order of the two values: numbers for the track, bytes otherwise.
    int order;
    if (numeric) {
        const int64_t a = parse_int64(value);
        const int64_t b = parse_int64(literal);
        order = a < b ? -1 : a > b ? 1 : 0;
    } else {
        const int c = strcmp(value, literal);
        order = c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    struct Relation {
        const char* op;
        bool less, equal, greater;
    };
    static constexpr Relation kRelations[] = {
        {"=", false, true, false}, {"!=", true, false, true}, {"<=", true, true, false},
        {">=", false, true, true}, {">", false, false, true}, {"<", true, false, false},
    };
    for (const Relation& r : kRelations) {
        if (op == r.op) {
            return (order < 0 ? r.less : order == 0 ? r.equal : r.greater) ? 1 : 0;
        }
    }
    return 0;
}

} // namespace
