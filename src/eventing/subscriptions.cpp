#include "eventing/subscriptions.h"

#include "core/log.h"
#include "core/text_util.h"
#include "core/threads.h"
#include "core/time_util.h"
#include "db/media_db.h"
#include "eventing/callback_urls.h"
#include "eventing/event_delivery.h"
#include "http/http_response.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace
{

using Clock = std::chrono::steady_clock;

struct Subscription {
    bool in_use = false;
    std::string callback;
    uint8_t services = 0;
    uint32_t sid = 0;
    uint32_t seq = 0;
    // A control point that leaves without UNSUBSCRIBE frees its entry when
    // the time-out it was given passes without a renewal.
    Clock::time_point expires{};
};

std::mutex g_table_lock;
std::array<Subscription, kMaxSubscriptions> g_table;
std::atomic<bool> g_enabled{false};

void free_entry(Subscription& s)
{
    s = Subscription{};
}

// Caller holds the lock.
void expire_locked(Clock::time_point now)
{
    for (Subscription& s : g_table) {
        if (s.in_use && s.expires <= now) {
            log_msg(LOG_INFO, LOG_CAT_EVENTING, "subscription uuid:%u expired\n", s.sid);
            free_entry(s);
        }
    }
}

// The header text after name (found ignoring case), or null.
const char* header_after(const char* head, const char* name)
{
    const char* at = str_find_nocase(head, name);
    return at ? at + strlen(name) : nullptr;
}

// The requested time-out: the number after the first '-' of the TIMEOUT
// line; 0 for "Second-infinite" or no header.
int requested_timeout(const char* head)
{
    const char* p = header_after(head, "TIMEOUT:");
    if (!p) {
        return 0;
    }
    for (; *p && *p != '\n' && *p != '-'; ++p) {
    }
    if (*p != '-') {
        return 0;
    }
    const int64_t value = parse_int64(p + 1);
    return value < 0 ? 0 : static_cast<int>(std::min<int64_t>(value, INT32_MAX));
}

// The subscription id of a "SID:" line: blanks and "uuid:" skipped.
int64_t sid_value(const char* after_sid)
{
    const char* p = after_sid;
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    if (strncasecmp(p, "uuid:", 5) == 0) {
        p += 5;
    }
    return parse_int64(p);
}

// An id not in use: the millisecond clock, moved on while another entry
// already has that value (two subscriptions in one millisecond).
uint32_t fresh_sid_locked()
{
    uint32_t sid = elapsed_ms();
    for (bool clash = true; clash;) {
        clash = false;
        for (const Subscription& s : g_table) {
            if (s.in_use && s.sid == sid) {
                ++sid;
                clash = true;
            }
        }
    }
    return sid;
}

int send_text(HttpConnection* c, const std::string& text)
{
    return http_send_body(c, text.data(), text.size());
}

// The answer to a SUBSCRIBE. The length line tells a kept-alive client that
// no body follows.
std::string subscribe_answer(uint32_t sid, const char* timeout_word, int timeout)
{
    char block[512];
    snprintf(block, sizeof block,
             "HTTP/1.1 200 OK\r\nDATE: %s\r\nSERVER: %s\r\nSID: uuid:%u\r\nTIMEOUT: %s-%d\r\n"
             "CONTENT-LENGTH: 0\r\n\r\n",
             http_date().c_str(), kServerIdentification, sid, timeout_word, timeout);
    return block;
}

// Every URL of the callback must point back at the subscriber itself:
// otherwise anyone could have the server send requests to third parties.
bool callback_is_subscribers_own(const std::string& callback, const char* subscriber)
{
    const std::vector<CallbackUrl> urls = callback_urls(callback);
    if (urls.empty()) {
        return false;
    }
    for (const CallbackUrl& url : urls) {
        if (url.host != subscriber) {
            return false;
        }
    }
    return true;
}

int renew(HttpConnection* c, const char* sid_text, int timeout)
{
    const int64_t sid = sid_value(sid_text);
    // A renewal without a usable time-out keeps the usual one.
    const int granted = timeout > 0 ? timeout : kSubscriptionTimeoutS;
    bool found = false;
    {
        std::lock_guard guard(g_table_lock);
        expire_locked(Clock::now());
        for (Subscription& s : g_table) {
            if (s.in_use && s.sid == sid) {
                s.expires = Clock::now() + std::chrono::seconds(granted);
                found = true;
                break;
            }
        }
    }
    if (!found) {
        return http_send_empty(c, 412);
    }
    return send_text(c, subscribe_answer(static_cast<uint32_t>(sid), "Second", granted));
}

void send_initial_events(int index, uint32_t sid)
{
    sleep_ms(100);
    event_content_directory(index, db_system_update_id(), nullptr, sid);
    event_connection_manager(index, kEventSourceProtocols, "", sid);
}

} // namespace

void eventing_start()
{
    std::lock_guard guard(g_table_lock);
    for (Subscription& s : g_table) {
        free_entry(s);
    }
    g_enabled = true;
}

void eventing_stop()
{
    g_enabled = false;
    sleep_ms(100);
    std::lock_guard guard(g_table_lock);
    for (Subscription& s : g_table) {
        free_entry(s);
    }
}

bool eventing_enabled()
{
    return g_enabled;
}

int subscribe_handler(HttpConnection* c)
{
    if (!g_enabled) {
        return HTTP_KEEP;
    }
    const char* head = c->head.data();
    const int timeout = requested_timeout(head);
    if (const char* sid = header_after(head, "SID:")) {
        return renew(c, sid, timeout);
    }
    const char* callback_field = header_after(head, "CALLBACK:");
    const char* open = callback_field ? strchr(callback_field, '<') : nullptr;
    const char* line_end = callback_field ? strchr(callback_field, '\n') : nullptr;
    if (!open || !line_end || open > line_end) {
        return http_send_empty(c, 412);
    }
    const char* stop = line_end;
    if (stop > open && stop[-1] == '\r') {
        --stop;
    }
    std::string callback(open, static_cast<size_t>(stop - open));
    if (!callback_is_subscribers_own(callback, c->client_ip.data())) {
        log_msg(LOG_INFO, LOG_CAT_EVENTING, "subscription from %s refused, callback %s\n",
                c->client_ip.data(), callback.c_str());
        return http_send_empty(c, 412);
    }
    uint8_t services = 0;
    if (strstr(c->url.data(), "ConnectionManager")) {
        services |= EVENT_CONNECTION_MANAGER;
    }
    if (strstr(c->url.data(), "ContentDirectory")) {
        services |= EVENT_CONTENT_DIRECTORY;
    }
    int index = -1;
    uint32_t sid = 0;
    {
        std::lock_guard guard(g_table_lock);
        const auto now = Clock::now();
        expire_locked(now);
        for (int i = kMaxSubscriptions - 1; i >= 0; --i) {
            if (!g_table[i].in_use) {
                index = i;
                break;
            }
        }
        if (index >= 0) {
            Subscription& s = g_table[index];
            s.in_use = true;
            s.sid = fresh_sid_locked();
            s.callback = std::move(callback);
            s.seq = 0;
            s.services = services;
            s.expires = now + std::chrono::seconds(kSubscriptionTimeoutS);
            sid = s.sid;
        }
    }
    if (index < 0) {
        return http_send_empty(c, 500);
    }
    const int result = send_text(c, subscribe_answer(sid, "second", kSubscriptionTimeoutS));
    start_thread([index, sid] { send_initial_events(index, sid); });
    return result;
}

int unsubscribe_handler(HttpConnection* c)
{
    const char* sid_text = header_after(c->head.data(), "SID:");
    if (!sid_text || !g_enabled) {
        return HTTP_KEEP;
    }
    const int64_t sid = sid_value(sid_text);
    bool found = false;
    {
        std::lock_guard guard(g_table_lock);
        for (Subscription& s : g_table) {
            if (s.in_use && s.sid == sid) {
                free_entry(s);
                found = true;
                break;
            }
        }
    }
    if (!found) {
        return http_send_empty(c, 412);
    }
    c->content_type = kMimeXml;
    return http_send_empty(c, 200);
}

std::optional<SubscriptionTarget> subscription_take_event(int index, uint8_t service,
                                                          std::optional<uint32_t> expected_sid)
{
    if (index < 0 || index >= kMaxSubscriptions) {
        return std::nullopt;
    }
    std::lock_guard guard(g_table_lock);
    Subscription& s = g_table[index];
    if (!s.in_use || !(s.services & service) || (expected_sid && *expected_sid != s.sid)) {
        return std::nullopt;
    }
    if (s.expires <= Clock::now()) {
        log_msg(LOG_INFO, LOG_CAT_EVENTING, "subscription uuid:%u expired\n", s.sid);
        free_entry(s);
        return std::nullopt;
    }
    return SubscriptionTarget{s.callback, s.sid, s.seq++};
}

void subscriptions_expire()
{
    std::lock_guard guard(g_table_lock);
    expire_locked(Clock::now());
}

int subscription_count()
{
    std::lock_guard guard(g_table_lock);
    int n = 0;
    for (const Subscription& s : g_table) {
        n += s.in_use ? 1 : 0;
    }
    return n;
}
