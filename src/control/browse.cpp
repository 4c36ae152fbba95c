#include "control/browse.h"

#include "control/clients.h"
#include "control/didl.h"
#include "control/object_id.h"
#include "control/search.h"
#include "control/soap.h"
#include "control/xml.h"
#include "core/text_util.h"
#include "db/media_db.h"
#include "db/sort.h"

#include <cstring>
#include <mutex>
#include <strings.h>
#include <vector>

namespace
{

// An answer stops growing once it has reached this size; the client pages on.
constexpr int kPageLimit = 195001;

constexpr char kDidlStart[] = "&lt;DIDL-Lite xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
                              "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\" "
                              "xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\"&gt;";

StrBuf response_start(const char* action)
{
    StrBuf sb = strbuf_new(kSoapEnvelopeStart, 4096);
    strbuf_appendf(sb, "<s:Body><u:%sResponse xmlns:u=\"%s\"><Result>", action,
                   kContentDirectoryNs);
    strbuf_append(sb, kDidlStart);
    return sb;
}

void response_end(StrBuf& sb, int returned, int total)
{
    strbuf_appendf(sb,
                   "&lt;/DIDL-Lite&gt;</Result><NumberReturned>%d</NumberReturned><TotalMatches>%d"
                   "</TotalMatches><UpdateID>0</UpdateID></u:BrowseResponse></s:Body></s:Envelope>",
                   returned, total);
}

// Sorted orders of containers, kept for the next pages: sorting 100 000
// children for every page of 50 would hold the tree lock for most of the
// time. An order is used only while nothing in the tree has changed since
// it was made: the change counter grows with every link, unlink, repointed
// reference and property change, whichever container they mark, and no node
// is freed without an unlink, so the kept pointers stay valid until then.
struct SortedOrder {
    NodeId container = kNoNode;
    std::string criteria;
    uint64_t changes = 0;
    std::vector<DbNode*> order;
};

constexpr size_t kKeptOrders = 8;
// Small containers are sorted again cheaply; only larger ones are kept.
constexpr size_t kKeptMinimum = 256;

// Guarded by the tree lock. Never destroyed, like the tree.
std::vector<SortedOrder>& kept_orders()
{
    static auto* orders = new std::vector<SortedOrder>;
    return *orders;
}

// The children of a container in the order of the criteria; valid while the
// tree lock is held. scratch holds an order that is not kept.
const std::vector<DbNode*>& sorted_children(const DbContainer* c, const std::string& criteria,
                                            std::vector<DbNode*>& scratch)
{
    std::vector<SortedOrder>& orders = kept_orders();
    for (const SortedOrder& kept : orders) {
        if (kept.container == c->id && kept.changes == g_db.change_count &&
            kept.criteria == criteria) {
            return kept.order;
        }
    }
    scratch.clear();
    scratch.reserve(static_cast<size_t>(c->child_count));
    for (DbNode* n = db_first_child(c); n; n = db_next_sibling(n)) {
        scratch.push_back(n);
    }
    sort_nodes(scratch, sort_parse(criteria.c_str()));
    if (scratch.size() < kKeptMinimum) {
        return scratch;
    }
    if (orders.size() >= kKeptOrders) {
        orders.erase(orders.begin());
    }
    orders.push_back(SortedOrder{c->id, criteria, g_db.change_count, std::move(scratch)});
    return orders.back().order;
}

const char* title_of(const DbNode* n)
{
    if (n->kind == DB_CONTAINER) {
        return static_cast<const DbContainer*>(n)->title.get();
    }
    const DbItem* item = db_target_item(const_cast<DbNode*>(n));
    return item ? item->title.get() : nullptr;
}

// Renders nodes[start...] into sb within the count and the page limit;
// returns how many were rendered.
int render_page(StrBuf& sb, const std::vector<DbNode*>& nodes, size_t start, int requested,
                const char* filter, const HttpConnection* c)
{
    int returned = 0;
    for (size_t i = start; i < nodes.size(); ++i) {
        if (requested != 0 && returned >= requested) {
            break;
        }
        didl_render_object(sb, nodes[i], filter, c);
        ++returned;
        if (sb.length >= kPageLimit) {
            break;
        }
    }
    return returned;
}

// The browsed object, with the tree lock held on success; a fault code when
// there is none (the lock is then released).
struct Resolved {
    DbNode* node = nullptr;
    int fault = 0;
};

Resolved resolve(const char* object_id, const HttpConnection* c)
{
    Resolved r;
    if (!object_id) {
        r.fault = 701;
        return r;
    }
    const NodeId id = control_resolve_object_id(object_id, c->client_ip.data());
    db_lock();
    r.node = db_find_by_id(id);
    if (!r.node) {
        db_unlock();
        r.fault = 701;
    }
    return r;
}

// The browsed container, with the tree lock held; null, with the lock
// released and the fault to answer, when there is none.
const DbContainer* resolve_container(const char* object_id, const HttpConnection* c, int& fault)
{
    const Resolved r = resolve(object_id, c);
    if (r.fault) {
        fault = r.fault;
        return nullptr;
    }
    const DbContainer* container = db_as_container(r.node);
    if (!container) {
        db_unlock();
        fault = 402; // an item has no children
    }
    return container;
}

} // namespace

int browse_direct_children(HttpConnection* c, const char* object_id, const char* filter,
                           int starting_index, int requested_count, const char* sort_criteria)
{
    int fault = 0;
    const DbContainer* container = resolve_container(object_id, c, fault);
    if (!container) {
        return soap_send_fault(c, fault);
    }
    const std::string criteria = sort_criteria_for(sort_criteria, container->upnp_class);
    std::vector<DbNode*> scratch;
    const DbNode* first = db_first_child(container);
    const bool shuffled = sort_criteria && strstr(sort_criteria, "Philips:shuffle") && first &&
                          first->kind != DB_CONTAINER;
    if (shuffled) {
        // The same seed gives the same order, so the pages of a shuffled list
        // fit together.
        const char* colon = strrchr(sort_criteria, ':');
        const unsigned seed = static_cast<unsigned>(atoi(colon + 1));
        for (DbNode* n = db_first_child(container); n; n = db_next_sibling(n)) {
            scratch.push_back(n);
        }
        shuffle(std::span(scratch), seed);
    }
    const std::vector<DbNode*>& nodes =
        shuffled ? scratch : sorted_children(container, criteria, scratch);
    StrBuf sb = response_start("Browse");
    const int returned = render_page(sb, nodes, static_cast<size_t>(std::max(0, starting_index)),
                                     requested_count, filter, c);
    const int total = container->child_count;
    db_unlock();
    response_end(sb, returned, total);
    if (soap_send_envelope(c, sb) != 0) {
        return soap_send_fault(c, 501);
    }
    return 0;
}

int browse_metadata(HttpConnection* c, const char* object_id, const char* filter)
{
    const Resolved r = resolve(object_id, c);
    if (r.fault) {
        return soap_send_fault(c, r.fault);
    }
    StrBuf sb = response_start("Browse");
    didl_render_object(sb, r.node, filter, c);
    // Rendered under the lock, sent after it: a client that stops reading
    // must not hold up every other user of the tree.
    db_unlock();
    response_end(sb, 1, 1);
    return soap_send_envelope(c, sb);
}

int browse_by_letter(HttpConnection* c, const char* object_id, const char* filter,
                     const char* starting_letter, int requested_count, const char* sort_criteria)
{
    int fault = 0;
    const DbContainer* container = resolve_container(object_id, c, fault);
    if (!container) {
        return soap_send_fault(c, fault);
    }
    std::vector<DbNode*> scratch;
    const std::vector<DbNode*>& nodes = sorted_children(
        container, sort_criteria_for(sort_criteria, container->upnp_class), scratch);
    const char* letter = starting_letter ? starting_letter : "";
    size_t start = nodes.size();
    for (size_t i = 0; i < nodes.size(); ++i) {
        const char* title = title_of(nodes[i]);
        if (title && strcasecmp(title, letter) >= 0) {
            start = i;
            break;
        }
    }
    StrBuf sb = response_start("X_BrowseByLetter");
    const int returned = render_page(sb, nodes, start, requested_count, filter, c);
    const int total = container->child_count;
    db_unlock();
    strbuf_appendf(sb,
                   "&lt;/DIDL-Lite&gt;</Result><NumberReturned>%d</NumberReturned><TotalMatches>%d"
                   "</TotalMatches><UpdateID>0</UpdateID><StartingIndex>%d</StartingIndex></"
                   "u:X_BrowseByLetterResponse></s:Body></s:Envelope>",
                   returned, total, static_cast<int>(start));
    return soap_send_envelope(c, sb);
}

int search_action(HttpConnection* c, const char* container_id, const char* search_criteria,
                  const char* filter, int starting_index, int requested_count,
                  const char* sort_criteria)
{
    if (!container_id) {
        return soap_send_fault(c, 701);
    }
    // The reader decoded the criteria once; control points escape them twice.
    std::string criteria_text = search_criteria ? search_criteria : "";
    xml_decode_entities(criteria_text);
    const SearchCriteria criteria =
        search_compile(search_criteria ? criteria_text.c_str() : nullptr);
    const bool unique_titles = client_type_of(c->client_ip.data()) == 9; // Roku Soundbridge
    const NodeId id = control_resolve_object_id(container_id, c->client_ip.data());
    db_lock();
    const DbContainer* container = db_as_container(db_find_by_id(id));
    if (!container) {
        db_unlock();
        return soap_send_fault(c, 710);
    }
    std::vector<DbNode*> matches;
    if (search_collect(matches, container, criteria, unique_titles) < 0) {
        db_unlock();
        return soap_send_fault(c, 708);
    }
    // One order for all matches: mixing the defaults of the containers they
    // were found in would be no order at all.
    sort_nodes(matches,
               sort_parse(sort_criteria_for(sort_criteria, container->upnp_class).c_str()));
    StrBuf sb = response_start("Search");
    const int returned = render_page(sb, matches, static_cast<size_t>(std::max(0, starting_index)),
                                     requested_count, filter, c);
    db_unlock();
    strbuf_appendf(sb,
                   "&lt;/DIDL-Lite&gt;</Result><NumberReturned>%d</NumberReturned><TotalMatches>%d"
                   "</TotalMatches><UpdateID>0</UpdateID></u:SearchResponse></s:Body></s:Envelope>",
                   returned, static_cast<int>(matches.size()));
    return soap_send_envelope(c, sb);
}
