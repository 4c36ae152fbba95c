#include "http/http_admission.h"

#include "core/log.h"
#include "http/http_limits.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <mutex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unordered_map>

namespace
{

// How often a queued connection looks at its listener's running flag.
constexpr int kStopCheckMs = 200;
// Used when the hard descriptor limit is unlimited.
constexpr rlim_t kUnlimitedDescriptors = 65536;

struct PeerCounts {
    int admitted = 0; // every state but Queued, until released
    int queued = 0;
};

// Never destroyed: connection threads may still end while the process exits.
struct AdmissionTable {
    std::mutex lock;
    std::condition_variable slot_freed;
    std::list<HttpAdmission> admitted;
    std::list<HttpAdmission> queued; // oldest first
    std::unordered_map<in_addr_t, PeerCounts> peers;
    int active = 0; // admitted ones that count against the cap: Idle, Head and Busy
    HttpAdmissionLimits limits = http_admission_default_limits();
    int descriptors = 1024; // connections of any kind, queued included
    int64_t last_log_ms = -1000000;
    int unlogged = 0;
};

int descriptor_budget()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1024 - kReservedDescriptors;
    }
    const rlim_t current = std::min<rlim_t>(limit.rlim_cur, kUnlimitedDescriptors);
    return std::max(16, static_cast<int>(current) - kReservedDescriptors);
}

AdmissionTable& table()
{
    static auto* t = [] {
        auto* created = new AdmissionTable;
        created->descriptors = descriptor_budget();
        return created;
    }();
    return *t;
}

int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool counts_as_active(HttpSlot slot)
{
    return slot == HttpSlot::Idle || slot == HttpSlot::Head || slot == HttpSlot::Busy;
}

// Every change of an admitted connection's state goes through here, so that
// the count of active ones stays right.
void set_slot(AdmissionTable& t, HttpAdmission& a, HttpSlot slot)
{
    t.active += (counts_as_active(slot) ? 1 : 0) - (counts_as_active(a.slot) ? 1 : 0);
    a.slot = slot;
}

std::string address_text(in_addr_t peer)
{
    char text[INET_ADDRSTRLEN] = "";
    in_addr a{peer};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// A flood of refusals must not become a flood of log lines: at most one a
// second, with the number of those left out.
void log_limited(AdmissionTable& t, const char* format, in_addr_t peer, int limit)
{
    const int64_t now = now_ms();
    if (now - t.last_log_ms < 1000) {
        ++t.unlogged;
        return;
    }
    char what[160];
    snprintf(what, sizeof what, format, address_text(peer).c_str(), limit);
    if (t.unlogged > 0) {
        log_msg(LOG_PROBLEM, LOG_CAT_HTTP, "%s (and %d more since the last report)\n", what,
                t.unlogged);
    } else {
        log_msg(LOG_PROBLEM, LOG_CAT_HTTP, "%s\n", what);
    }
    t.last_log_ms = now;
    t.unlogged = 0;
}

// Closes the connection that has waited longest for a request, among those
// of peer that have answered one (same_host), or for a request or the rest
// of its head among all; false when there is none. Only the state is changed
// here: the connection's thread sees its socket end and releases the slot.
bool evict_idle(AdmissionTable& t, bool same_host, in_addr_t peer)
{
    HttpAdmission* oldest = nullptr;
    for (HttpAdmission& a : t.admitted) {
        // A host's own head in progress never gives way to its next
        // connection: a client that opens several at once wants them all.
        const bool waiting = a.slot == HttpSlot::Idle || (!same_host && a.slot == HttpSlot::Head);
        if (!waiting || (same_host && (a.peer != peer || !a.served))) {
            continue;
        }
        if (!oldest || a.since_ms < oldest->since_ms) {
            oldest = &a;
        }
    }
    if (!oldest) {
        return false;
    }
    set_slot(t, *oldest, HttpSlot::Evicted);
    shutdown(oldest->socket, SHUT_RDWR);
    return true;
}

// Gives the host's free slots to its oldest waiting connections.
void promote(AdmissionTable& t, in_addr_t peer)
{
    auto found = t.peers.find(peer);
    if (found == t.peers.end()) {
        return;
    }
    PeerCounts& counts = found->second;
    bool moved = false;
    for (auto it = t.queued.begin();
         it != t.queued.end() && counts.queued > 0 && counts.admitted < t.limits.per_peer;) {
        if (it->peer != peer) {
            ++it;
            continue;
        }
        auto next = std::next(it);
        t.admitted.splice(t.admitted.end(), t.queued, it);
        HttpAdmission& a = t.admitted.back();
        set_slot(t, a, HttpSlot::Idle);
        a.since_ms = now_ms();
        --counts.queued;
        ++counts.admitted;
        moved = true;
        it = next;
    }
    if (moved) {
        t.slot_freed.notify_all();
    }
}

void forget_peer_if_unused(AdmissionTable& t, in_addr_t peer)
{
    auto found = t.peers.find(peer);
    if (found != t.peers.end() && found->second.admitted <= 0 && found->second.queued <= 0) {
        t.peers.erase(found);
    }
}

} // namespace

HttpAdmitResult http_admit(int socket, in_addr_t peer)
{
    AdmissionTable& t = table();
    std::lock_guard guard(t.lock);
    const int held = static_cast<int>(t.admitted.size() + t.queued.size());
    if (held >= t.descriptors) {
        log_limited(t, "too many connections (%2$d), connection from %1$s closed", peer,
                    t.descriptors);
        return {};
    }
    PeerCounts& counts = t.peers[peer];
    // Once some wait, a newcomer waits behind them, so the host's
    // connections are served in the order they came.
    if (counts.admitted >= t.limits.per_peer || counts.queued > 0) {
        if (counts.queued >= t.limits.queued_per_peer ||
            static_cast<int>(t.queued.size()) >= t.limits.queued) {
            log_limited(t, "too many connections waiting from %s (%d), connection closed", peer,
                        counts.queued);
            forget_peer_if_unused(t, peer);
            return {};
        }
        // A connection of the host kept alive after its answer gives way: the
        // client opened a new one because it has no use for the old.
        evict_idle(t, true, peer);
        HttpAdmission& a = t.queued.emplace_back();
        a.socket = socket;
        a.peer = peer;
        a.slot = HttpSlot::Queued;
        a.since_ms = now_ms();
        ++counts.queued;
        return {HttpAdmit::Queued, &a};
    }
    if (t.active >= t.limits.connections) {
        if (!evict_idle(t, false, peer)) {
            log_limited(t, "too many connections (%2$d), connection from %1$s closed", peer,
                        t.limits.connections);
            forget_peer_if_unused(t, peer);
            return {};
        }
        log_limited(t, "all %2$d connections taken: closed the longest idle to admit %1$s", peer,
                    t.limits.connections);
    }
    HttpAdmission& a = t.admitted.emplace_back();
    a.socket = socket;
    a.peer = peer;
    a.slot = HttpSlot::Queued;
    set_slot(t, a, HttpSlot::Idle);
    a.since_ms = now_ms();
    ++counts.admitted;
    return {HttpAdmit::Admitted, &a};
}

bool http_admission_wait_slot(HttpAdmission* admission, int wait_ms, const ThreadFlag* running)
{
    AdmissionTable& t = table();
    std::unique_lock guard(t.lock);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (admission->slot == HttpSlot::Queued) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline || (running && *running != 1)) {
            break;
        }
        const auto step = std::min<std::chrono::steady_clock::duration>(
            deadline - now, std::chrono::milliseconds(kStopCheckMs));
        t.slot_freed.wait_for(guard, step);
    }
    if (admission->slot != HttpSlot::Queued) {
        return true;
    }
    const in_addr_t peer = admission->peer;
    for (auto it = t.queued.begin(); it != t.queued.end(); ++it) {
        if (&*it == admission) {
            t.queued.erase(it);
            break;
        }
    }
    auto found = t.peers.find(peer);
    if (found != t.peers.end()) {
        --found->second.queued;
        forget_peer_if_unused(t, peer);
    }
    log_limited(t, "connection from %s found no free slot within %d ms, closed", peer, wait_ms);
    return false;
}

bool http_admission_claim(HttpAdmission* admission)
{
    AdmissionTable& t = table();
    std::lock_guard guard(t.lock);
    if (admission->slot == HttpSlot::Evicted) {
        return false;
    }
    if (admission->slot != HttpSlot::Head) {
        set_slot(t, *admission, HttpSlot::Head);
        admission->since_ms = now_ms();
    }
    return true;
}

bool http_admission_busy(HttpAdmission* admission)
{
    AdmissionTable& t = table();
    std::lock_guard guard(t.lock);
    if (admission->slot == HttpSlot::Evicted) {
        return false;
    }
    set_slot(t, *admission, HttpSlot::Busy);
    return true;
}

bool http_admission_idle(HttpAdmission* admission, bool request_pending)
{
    AdmissionTable& t = table();
    std::lock_guard guard(t.lock);
    if (admission->slot == HttpSlot::Evicted) {
        return false;
    }
    admission->served = true;
    // A request already received is served, whoever waits.
    if (request_pending) {
        set_slot(t, *admission, HttpSlot::Head);
        admission->since_ms = now_ms();
        return true;
    }
    auto found = t.peers.find(admission->peer);
    if (found != t.peers.end() && found->second.queued > 0) {
        return false;
    }
    set_slot(t, *admission, HttpSlot::Idle);
    admission->since_ms = now_ms();
    return true;
}

bool http_admission_host_waits(HttpAdmission* admission)
{
    AdmissionTable& t = table();
    std::lock_guard guard(t.lock);
    auto found = t.peers.find(admission->peer);
    return found != t.peers.end() && found->second.queued > 0;
}

void http_admission_stream_waiting(HttpAdmission* admission, bool waiting)
{
    AdmissionTable& t = table();
    std::lock_guard guard(t.lock);
    if (waiting && admission->slot == HttpSlot::Busy) {
        set_slot(t, *admission, HttpSlot::StreamWaiting);
    } else if (!waiting && admission->slot == HttpSlot::StreamWaiting) {
        set_slot(t, *admission, HttpSlot::Busy);
    }
}

void http_release(HttpAdmission* admission)
{
    if (!admission) {
        return;
    }
    AdmissionTable& t = table();
    std::lock_guard guard(t.lock);
    const in_addr_t peer = admission->peer;
    for (auto it = t.admitted.begin(); it != t.admitted.end(); ++it) {
        if (&*it == admission) {
            set_slot(t, *it, HttpSlot::Evicted);
            t.admitted.erase(it);
            break;
        }
    }
    auto found = t.peers.find(peer);
    if (found != t.peers.end()) {
        --found->second.admitted;
    }
    promote(t, peer);
    forget_peer_if_unused(t, peer);
}

int http_admitted_count()
{
    AdmissionTable& t = table();
    std::lock_guard guard(t.lock);
    return static_cast<int>(t.admitted.size());
}

int http_queued_count()
{
    AdmissionTable& t = table();
    std::lock_guard guard(t.lock);
    return static_cast<int>(t.queued.size());
}

HttpAdmissionLimits http_admission_default_limits()
{
    return HttpAdmissionLimits{kMaxConnectionThreads, kMaxConnectionsPerPeer, kMaxQueuedPerPeer,
                               kMaxQueuedConnections};
}

void http_set_admission_limits(const HttpAdmissionLimits& limits)
{
    AdmissionTable& t = table();
    std::lock_guard guard(t.lock);
    t.limits.connections = std::max(1, limits.connections);
    t.limits.per_peer = std::max(1, limits.per_peer);
    t.limits.queued_per_peer = std::max(0, limits.queued_per_peer);
    t.limits.queued = std::max(0, limits.queued);
}

void http_raise_descriptor_limit()
{
    static std::once_flag once;
    std::call_once(once, [] {
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
            const rlim_t wanted = limit.rlim_max == RLIM_INFINITY
                                      ? std::max(limit.rlim_cur, kUnlimitedDescriptors)
                                      : limit.rlim_max;
            limit.rlim_cur = wanted;
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                log_msg(LOG_PROBLEM, LOG_CAT_HTTP, "cannot raise the descriptor limit: %s\n",
                        system_error_text().c_str());
            }
        }
        AdmissionTable& t = table();
        std::lock_guard guard(t.lock);
        t.descriptors = descriptor_budget();
        log_msg(LOG_INFO, LOG_CAT_HTTP, "room for %d connections\n", t.descriptors);
    });
}
