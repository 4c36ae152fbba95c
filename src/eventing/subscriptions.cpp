#include "eventing/subscriptions.h"

#include "core/log.h"
#include "core/threads.h"
#include "core/time_util.h"
#include "db/media_db.h"
#include "eventing/event_delivery.h"
#include "http/http_response.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <strings.h>
#include <sys/random.h>
#include <unistd.h>
#include <unordered_map>

namespace
{

using Clock = std::chrono::steady_clock;

struct Subscription {
    bool in_use = false;
    std::vector<CallbackUrl> urls;
    std::string subscriber; // the peer address that subscribed
    std::string sid;
    uint8_t services = 0;
    uint32_t seq = 0;
    uint64_t serial = 0; // the order of subscription; events go out in it
    // A control point that leaves without UNSUBSCRIBE frees its entry when
    // the time-out it was given passes without a renewal.
    Clock::time_point expires{};
};

std::mutex g_table_lock;
std::array<Subscription, kMaxSubscriptions> g_table;
uint64_t g_next_serial = 0; // under the lock
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
            log_msg(LOG_INFO, LOG_CAT_EVENTING, "subscription %s expired\n", s.sid.c_str());
            free_entry(s);
        }
    }
}

// Caller holds the lock.
Subscription* find_locked(std::string_view sid)
{
    for (Subscription& s : g_table) {
        if (s.in_use && s.sid == sid) {
            return &s;
        }
    }
    return nullptr;
}

// The entry a new subscription from subscriber takes: a free one; else,
// when subscriber holds its share already, its own entry that expires
// soonest; else, when the table is full, the entry that expires soonest of
// the address holding the most (the subscriber's own when it holds as many
// as anyone), when that address holds more than every address keeps; else
// none (-1). Caller holds the lock.
int entry_for_new_locked(const std::string& subscriber)
{
    std::unordered_map<std::string_view, int> held;
    int free_index = -1;
    for (int i = kMaxSubscriptions - 1; i >= 0; --i) {
        const Subscription& s = g_table[i];
        if (s.in_use) {
            ++held[s.subscriber];
        } else {
            free_index = i;
        }
    }
    const int own = held.count(subscriber) ? held[subscriber] : 0;
    if (own < kMaxSubscriptionsPerAddress && free_index >= 0) {
        return free_index;
    }
    int most = own;
    for (const auto& [address, count] : held) {
        most = std::max(most, count);
    }
    // The subscriber's own entries go first: it never takes one from an
    // address that holds no more than it does, nor from one that holds only
    // what every address keeps; then the newcomer is refused.
    const bool from_own = own >= kMaxSubscriptionsPerAddress || own == most;
    if (!from_own && most <= kKeptSubscriptionsPerAddress) {
        return -1;
    }
    int victim = -1;
    for (int i = 0; i < kMaxSubscriptions; ++i) {
        const Subscription& s = g_table[i];
        if (!s.in_use) {
            continue;
        }
        const bool candidate = from_own ? s.subscriber == subscriber : held[s.subscriber] == most;
        if (candidate && (victim < 0 || s.expires < g_table[victim].expires)) {
            victim = i;
        }
    }
    return victim;
}

// Fills buffer from getrandom(), or from /dev/urandom where the system call
// is missing.
bool random_bytes(uint8_t* buffer, size_t size)
{
    size_t got = 0;
    while (got < size) {
        const ssize_t n = getrandom(buffer + got, size - got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    if (got == size) {
        return true;
    }
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    got = 0;
    while (got < size) {
        const ssize_t n = read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    return got == size;
}

int send_text(HttpConnection* c, const std::string& text)
{
    return http_send_body(c, text.data(), text.size());
}

// The answer to a SUBSCRIBE. The length line tells a kept-alive client that
// no body follows.
std::string subscribe_answer(const std::string& sid, const char* timeout_word, int timeout)
{
    char block[512];
    snprintf(block, sizeof block,
             "HTTP/1.1 200 OK\r\nDATE: %s\r\nSERVER: %s\r\nSID: %s\r\nTIMEOUT: %s-%d\r\n"
             "CONTENT-LENGTH: 0\r\n\r\n",
             http_date().c_str(), kServerIdentification, sid.c_str(), timeout_word, timeout);
    return block;
}

int renew(HttpConnection* c, std::string_view sid, int granted)
{
    std::string renewed;
    {
        std::lock_guard guard(g_table_lock);
        expire_locked(Clock::now());
        if (Subscription* s = find_locked(sid)) {
            s->expires = Clock::now() + std::chrono::seconds(granted);
            renewed = s->sid;
        }
    }
    if (renewed.empty()) {
        return http_send_empty(c, 412);
    }
    return send_text(c, subscribe_answer(renewed, "Second", granted));
}

void send_initial_events(int index, const std::string& sid)
{
    sleep_ms(100);
    event_content_directory(index, db_system_update_id(), nullptr, sid);
    event_connection_manager(index, kEventSourceProtocols, "", sid);
}

} // namespace

int subscription_granted_timeout(std::string_view timeout)
{
    const size_t dash = timeout.find('-');
    if (dash == std::string_view::npos) {
        return kSubscriptionTimeoutS;
    }
    const std::string_view digits = timeout.substr(dash + 1);
    int64_t asked = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), asked);
    if (error == std::errc::result_out_of_range) {
        return kMaxSubscriptionTimeoutS;
    }
    // "Second-infinite" would hold an entry for ever; it gets the usual time.
    if (error != std::errc{} || end == digits.data() || asked <= 0) {
        return kSubscriptionTimeoutS;
    }
    return static_cast<int>(std::min<int64_t>(asked, kMaxSubscriptionTimeoutS));
}

std::string subscription_new_sid()
{
    uint8_t b[16];
    if (!random_bytes(b, sizeof b)) {
        return {};
    }
    b[6] = static_cast<uint8_t>((b[6] & 0x0f) | 0x40); // version 4
    b[8] = static_cast<uint8_t>((b[8] & 0x3f) | 0x80); // RFC 4122 variant
    char text[kSidLength + 1];
    snprintf(text, sizeof text,
             "uuid:%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
             b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
             b[14], b[15]);
    return text;
}

bool subscription_sid_well_formed(std::string_view text)
{
    if (text.size() != kSidLength || text.substr(0, 5) != "uuid:") {
        return false;
    }
    for (size_t i = 5; i < text.size(); ++i) {
        const bool dash_place = i == 13 || i == 18 || i == 23 || i == 28;
        const char ch = text[i];
        const bool hex = (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f');
        if (dash_place ? ch != '-' : !hex) {
            return false;
        }
    }
    return true;
}

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
    if (http_has_header(c, HttpField::Sid)) {
        return renew(c, http_header(c, HttpField::Sid),
                     subscription_granted_timeout(http_header(c, HttpField::Timeout)));
    }
    // GENA's one event type; a control point that leaves NT out is still
    // served, as players of old did.
    if (http_has_header(c, HttpField::Nt) && http_header(c, HttpField::Nt) != "upnp:event") {
        return http_send_empty(c, 412);
    }
    const std::string_view callback = http_header(c, HttpField::Callback);
    std::vector<CallbackUrl> urls;
    if (!callback_accept(callback, c->client_ip.data(), urls)) {
        log_msg(LOG_INFO, LOG_CAT_EVENTING, "subscription from %s refused, callback %.*s\n",
                c->client_ip.data(), static_cast<int>(callback.size()), callback.data());
        return http_send_empty(c, 412);
    }
    uint8_t services = 0;
    if (strstr(c->url.data(), "ConnectionManager")) {
        services |= EVENT_CONNECTION_MANAGER;
    }
    if (strstr(c->url.data(), "ContentDirectory")) {
        services |= EVENT_CONTENT_DIRECTORY;
    }
    std::string sid = subscription_new_sid();
    const std::string subscriber = c->client_ip.data();
    int index = -1;
    std::string displaced;
    std::string displaced_from;
    const char* refused = sid.empty() ? "no random bytes for an id" : "its new id is taken";
    {
        std::lock_guard guard(g_table_lock);
        const auto now = Clock::now();
        expire_locked(now);
        if (!sid.empty() && !find_locked(sid)) {
            index = entry_for_new_locked(subscriber);
            refused = "the table is full of addresses that keep theirs";
        }
        if (index >= 0) {
            Subscription& s = g_table[index];
            if (s.in_use) {
                displaced = s.sid;
                displaced_from = s.subscriber;
                free_entry(s);
            }
            s.in_use = true;
            s.sid = sid;
            s.urls = std::move(urls);
            s.subscriber = subscriber;
            s.seq = 0;
            s.serial = g_next_serial++;
            s.services = services;
            s.expires = now + std::chrono::seconds(kSubscriptionTimeoutS);
        }
    }
    if (index < 0) {
        log_msg(LOG_INFO, LOG_CAT_EVENTING, "subscription from %s refused: %s\n",
                subscriber.c_str(), refused);
        return http_send_empty(c, 500);
    }
    if (!displaced.empty()) {
        log_msg(LOG_INFO, LOG_CAT_EVENTING, "subscription %s of %s gave way to one from %s\n",
                displaced.c_str(), displaced_from.c_str(), subscriber.c_str());
    }
    const int result = send_text(c, subscribe_answer(sid, "second", kSubscriptionTimeoutS));
    start_thread([index, sid] { send_initial_events(index, sid); });
    return result;
}

int unsubscribe_handler(HttpConnection* c)
{
    if (!http_has_header(c, HttpField::Sid) || !g_enabled) {
        return HTTP_KEEP;
    }
    const std::string_view sid = http_header(c, HttpField::Sid);
    bool found = false;
    {
        std::lock_guard guard(g_table_lock);
        if (Subscription* s = find_locked(sid)) {
            free_entry(*s);
            found = true;
        }
    }
    if (!found) {
        return http_send_empty(c, 412);
    }
    c->content_type = kMimeXml;
    return http_send_empty(c, 200);
}

std::vector<SubscriptionTarget>
subscriptions_take_events(int index, uint8_t service,
                          const std::optional<std::string>& expected_sid)
{
    std::vector<SubscriptionTarget> targets;
    if (index >= kMaxSubscriptions || !g_enabled) {
        return targets;
    }
    std::vector<std::pair<uint64_t, SubscriptionTarget>> taken;
    std::lock_guard guard(g_table_lock);
    const auto now = Clock::now();
    const int first = index < 0 ? 0 : index;
    const int last = index < 0 ? kMaxSubscriptions - 1 : index;
    for (int i = first; i <= last; ++i) {
        Subscription& s = g_table[i];
        if (!s.in_use || !(s.services & service) || (expected_sid && *expected_sid != s.sid)) {
            continue;
        }
        if (s.expires <= now) {
            log_msg(LOG_INFO, LOG_CAT_EVENTING, "subscription %s expired\n", s.sid.c_str());
            free_entry(s);
            continue;
        }
        taken.emplace_back(s.serial, SubscriptionTarget{s.urls, s.sid, s.seq++});
    }
    std::sort(taken.begin(), taken.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& entry : taken) {
        targets.push_back(std::move(entry.second));
    }
    return targets;
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
