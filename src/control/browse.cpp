#include "control/browse.h"

#include "control/clients.h"
#include "control/control_limits.h"
#include "control/didl.h"
#include "control/object_id.h"
#include "control/search.h"
#include "control/soap.h"
#include "control/xml.h"
#include "core/text_util.h"
#include "core/utf8.h"
#include "db/media_db.h"
#include "db/sort.h"
#include "db/sorted_orders.h"

#include <cstring>
#include <span>
#include <vector>

namespace
{

// Tries of a Search that lets the tree lock go now and then before the last,
// which holds it throughout (a library that changes all the time).
constexpr int kSearchAttempts = 3;

// An answer stops growing once it has reached this size; the client pages on.
constexpr int kPageLimit = 195001;

// Search results are put in order this many at a time; a page rarely holds
// more (the size limit ends it after about a thousand objects).
constexpr size_t kSortWindow = 1024;

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

void response_end(StrBuf& sb, uint32_t returned, int total)
{
    strbuf_appendf(sb,
                   "&lt;/DIDL-Lite&gt;</Result><NumberReturned>%u</NumberReturned><TotalMatches>%d"
                   "</TotalMatches><UpdateID>0</UpdateID></u:BrowseResponse></s:Body></s:Envelope>",
                   returned, total);
}

const char* title_of(const DbLock& lock, const DbNode* n)
{
    if (n->kind == DB_CONTAINER) {
        return static_cast<const DbContainer*>(n)->title.get();
    }
    const DbItem* item = db_target_item(lock, const_cast<DbNode*>(n));
    return item ? item->title.get() : nullptr;
}

// A page as it is rendered: how many objects, and why it ended.
struct Page {
    uint32_t returned = 0;
    bool full = false;    // the count or the size limit was reached
    bool stopped = false; // the server is stopping: the answer is given up
};

// Renders nodes[from, to) into sb while the page has room (RequestedCount 0
// asks for as many as fit).
void render_range(const DbLock& lock, StrBuf& sb, std::span<DbNode* const> nodes, size_t from,
                  size_t to, uint32_t requested, const char* filter, const HttpConnection* c,
                  Page& page)
{
    for (size_t i = from; i < to && i < nodes.size(); ++i) {
        if (requested != 0 && page.returned >= requested) {
            page.full = true;
            return;
        }
        if ((i - from) % kStopCheckInterval == 0 && http_stop_requested(c)) {
            page.stopped = true;
            return;
        }
        didl_render_object(lock, sb, nodes[i], filter, c);
        ++page.returned;
        if (sb.length >= kPageLimit) {
            page.full = true;
            return;
        }
    }
}

// The browsed container under the held lock; null, with the fault to
// answer, when there is none.
const DbContainer* resolve_container(const DbLock& lock, NodeId id, int& fault)
{
    DbNode* node = db_find_by_id(lock, id);
    if (!node) {
        fault = 701;
        return nullptr;
    }
    const DbContainer* container = db_as_container(node);
    if (!container) {
        fault = 402; // an item has no children
    }
    return container;
}

// What an answer built under the tree lock holds once the lock is gone: the
// text so far and how the page ended, or the fault to answer instead. Each
// action builds it in a function of its own that takes the lock, so that the
// lock is let go when that function returns and never held while sending.
struct Built {
    int fault = 0; // nonzero: answer this fault, nothing was rendered
    StrBuf sb;
    Page page;
    int total = 0;
    size_t start = 0; // where a browse by letter began
};

// Sends an answer built under a lock that is now released.
int send_answer(HttpConnection* c, const StrBuf& sb)
{
    return soap_send_envelope(c, sb);
}

Built build_children(const HttpConnection* c, NodeId id, const char* filter,
                     uint32_t starting_index, uint32_t requested_count, const char* sort_criteria)
{
    Built out;
    const DbLock lock = db_lock();
    const DbContainer* container = resolve_container(lock, id, out.fault);
    if (!container) {
        return out;
    }
    const std::string criteria = sort_criteria_for(sort_criteria, container->upnp_class);
    std::vector<DbNode*> scratch;
    const DbNode* first = db_first_child(lock, container);
    const bool shuffled = sort_criteria && strstr(sort_criteria, "Philips:shuffle") && first &&
                          first->kind != DB_CONTAINER;
    if (shuffled) {
        // The same seed gives the same order, so the pages of a shuffled list
        // fit together.
        const char* colon = strrchr(sort_criteria, ':');
        const unsigned seed = static_cast<unsigned>(atoi(colon + 1));
        for (DbNode* n = db_first_child(lock, container); n; n = db_next_sibling(lock, n)) {
            scratch.push_back(n);
        }
        shuffle(std::span(scratch), seed);
    }
    const std::vector<DbNode*>& nodes =
        shuffled ? scratch : db_sorted_children(lock, container, criteria, scratch);
    out.sb = response_start("Browse");
    render_range(lock, out.sb, nodes, starting_index, nodes.size(), requested_count, filter, c,
                 out.page);
    out.total = container->child_count;
    return out;
}

Built build_metadata(const HttpConnection* c, NodeId id, const char* filter)
{
    Built out;
    const DbLock lock = db_lock();
    const DbNode* node = db_find_by_id(lock, id);
    if (!node) {
        out.fault = 701;
        return out;
    }
    out.sb = response_start("Browse");
    didl_render_object(lock, out.sb, node, filter, c);
    return out;
}

Built build_by_letter(const HttpConnection* c, NodeId id, const char* filter,
                      const char* starting_letter, uint32_t requested_count,
                      const char* sort_criteria)
{
    Built out;
    const DbLock lock = db_lock();
    const DbContainer* container = resolve_container(lock, id, out.fault);
    if (!container) {
        return out;
    }
    std::vector<DbNode*> scratch;
    const std::vector<DbNode*>& nodes = db_sorted_children(
        lock, container, sort_criteria_for(sort_criteria, container->upnp_class), scratch);
    const char* letter = starting_letter ? starting_letter : "";
    out.start = nodes.size();
    for (size_t i = 0; i < nodes.size(); ++i) {
        const char* title = title_of(lock, nodes[i]);
        // The same order as the listing's titles: "Élan" comes among the
        // titles from "E" on.
        if (title && utf8_collate(title, letter) >= 0) {
            out.start = i;
            break;
        }
    }
    out.sb = response_start("X_BrowseByLetter");
    render_range(lock, out.sb, nodes, out.start, nodes.size(), requested_count, filter, c,
                 out.page);
    out.total = container->child_count;
    return out;
}

Built build_search(const HttpConnection* c, NodeId id, const SearchCriteria& criteria,
                   bool unique_titles, const char* filter, uint32_t starting_index,
                   uint32_t requested_count, const char* sort_criteria)
{
    Built out;
    DbLock lock = db_lock();
    std::vector<DbNode*> matches;
    // A long search lets the lock go now and then; when the tree changes
    // meanwhile it starts again, and the last try keeps the lock throughout.
    for (int attempt = 1;; ++attempt) {
        DbPause pause = db_pause_start(lock);
        DbPause* pausing = attempt < kSearchAttempts ? &pause : nullptr;
        matches.clear();
        const DbContainer* container = db_as_container(db_find_by_id(lock, id));
        if (!container) {
            out.fault = 710;
            return out;
        }
        const int collected =
            search_collect(lock, matches, container, criteria, unique_titles, c, pausing);
        if (collected == kSearchTreeChanged) {
            continue;
        }
        if (collected == kSearchStopped) {
            out.page.stopped = true;
            return out;
        }
        if (collected < 0) {
            out.fault = 708;
            return out;
        }
        // One order for all matches: mixing the defaults of the containers
        // they were found in would be no order at all. Only the part of the
        // order that the page shows is made, a window at a time: a search
        // that matches the whole library must not sort it all for a page of 50.
        const SortCriteria order =
            sort_parse(sort_criteria_for(sort_criteria, container->upnp_class).c_str());
        const std::span<DbNode*> all(matches);
        out.sb = response_start("Search");
        out.page = Page{};
        size_t from = std::min<size_t>(starting_index, matches.size());
        bool first_window = true;
        bool changed = false;
        while (from < matches.size() && !out.page.full && !out.page.stopped) {
            const size_t to = std::min(matches.size(), from + kSortWindow);
            // After the first window, everything from here on sorts after
            // what was rendered.
            const bool sorted = first_window
                                    ? sort_nodes_window_paused(lock, all, order, from, to, pausing)
                                    : sort_nodes_window_paused(lock, all.subspan(from), order, 0,
                                                               to - from, pausing);
            if (!sorted) {
                changed = true;
                break;
            }
            first_window = false;
            render_range(lock, out.sb, matches, from, to, requested_count, filter, c, out.page);
            from = to;
        }
        if (!changed) {
            break;
        }
    }
    out.total = static_cast<int>(matches.size());
    return out;
}

// Sends what a build made: its fault, nothing for a request that stopped
// (the client went away), else the answer that end closes. A Browse whose
// answer could not be sent has always been answered with fault 501 too.
template <class End>
int send_built(HttpConnection* c, Built& built, End end, bool fault_when_unsent = false)
{
    if (built.fault != 0) {
        return soap_send_fault(c, built.fault);
    }
    if (built.page.stopped) {
        return 1;
    }
    end(built);
    const int sent = send_answer(c, built.sb);
    return sent != 0 && fault_when_unsent ? soap_send_fault(c, 501) : sent;
}

} // namespace

int browse_direct_children(HttpConnection* c, const char* object_id, const char* filter,
                           uint32_t starting_index, uint32_t requested_count,
                           const char* sort_criteria)
{
    if (!object_id) {
        return soap_send_fault(c, 701);
    }
    const NodeId id = control_resolve_object_id(object_id, c->client_ip.data());
    Built built = build_children(c, id, filter, starting_index, requested_count, sort_criteria);
    return send_built(
        c, built, [](Built& b) { response_end(b.sb, b.page.returned, b.total); }, true);
}

int browse_metadata(HttpConnection* c, const char* object_id, const char* filter)
{
    if (!object_id) {
        return soap_send_fault(c, 701);
    }
    const NodeId id = control_resolve_object_id(object_id, c->client_ip.data());
    // Rendered under the lock, sent after it: a client that stops reading
    // must not hold up every other user of the tree.
    Built built = build_metadata(c, id, filter);
    return send_built(c, built, [](Built& b) { response_end(b.sb, 1, 1); });
}

int browse_by_letter(HttpConnection* c, const char* object_id, const char* filter,
                     const char* starting_letter, uint32_t requested_count,
                     const char* sort_criteria)
{
    if (!object_id) {
        return soap_send_fault(c, 701);
    }
    const NodeId id = control_resolve_object_id(object_id, c->client_ip.data());
    Built built = build_by_letter(c, id, filter, starting_letter, requested_count, sort_criteria);
    return send_built(c, built, [](Built& b) {
        strbuf_appendf(b.sb,
                       "&lt;/DIDL-Lite&gt;</Result><NumberReturned>%u</NumberReturned>"
                       "<TotalMatches>%d</TotalMatches><UpdateID>0</UpdateID><StartingIndex>%d"
                       "</StartingIndex></u:X_BrowseByLetterResponse></s:Body></s:Envelope>",
                       b.page.returned, b.total, static_cast<int>(b.start));
    });
}

int search_action(HttpConnection* c, const char* container_id, const char* search_criteria,
                  const char* filter, uint32_t starting_index, uint32_t requested_count,
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
    const bool unique_titles = client_quirks_of(c).unique_search_titles;
    const NodeId id = control_resolve_object_id(container_id, c->client_ip.data());
    if (id == kNoNode) {
        return soap_send_fault(c, 701); // not an object id at all
    }
    Built built = build_search(c, id, criteria, unique_titles, filter, starting_index,
                               requested_count, sort_criteria);
    return send_built(c, built, [](Built& b) {
        strbuf_appendf(b.sb,
                       "&lt;/DIDL-Lite&gt;</Result><NumberReturned>%u</NumberReturned>"
                       "<TotalMatches>%d</TotalMatches><UpdateID>0</UpdateID></u:SearchResponse>"
                       "</s:Body></s:Envelope>",
                       b.page.returned, b.total);
    });
}
