#include "http/http_admission.h"

#include "core/log.h"
#include "http/http_limits.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <list>
#include <mutex>
#include <sys/socket.h>
#include <unordered_map>

namespace
{

// A few more than the cap may run for a moment: an evicted connection's
// thread ends right after the newcomer's starts.
constexpr int kHardLimit = kMaxConnectionThreads + 8;

// Never destroyed: connection threads may still end while the process exits.
struct AdmissionTable {
    std::mutex lock;
    std::list<HttpAdmission> admitted;
    std::unordered_map<in_addr_t, int> per_peer;
    int64_t last_log_ms = -1000000;
    int unlogged = 0;
};

AdmissionTable& table()
{
    static auto* t = new AdmissionTable;
    return *t;
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
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
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

// Closes a waiting connection of the busiest host, when that host has at
// least two connections more than the newcomer; false when none qualifies.
bool evict_for(AdmissionTable& t, in_addr_t newcomer)
{
    const int own = t.per_peer.count(newcomer) ? t.per_peer[newcomer] : 0;
    in_addr_t busiest = 0;
    int most = 0;
    for (const auto& [peer, count] : t.per_peer) {
        if (count > most) {
            busiest = peer;
            most = count;
        }
    }
    if (most < own + 2) {
        return false;
    }
    for (HttpAdmission& a : t.admitted) {
        if (a.peer == busiest && a.waiting.exchange(false)) {
            // Its thread sees the connection end and releases the slot.
            shutdown(a.socket, SHUT_RDWR);
            log_limited(t, "all %2$d connections taken: closed a waiting connection of %1$s",
                        busiest, kMaxConnectionThreads);
            return true;
        }
    }
    return false;
}

} // namespace

HttpAdmission* http_admit(int socket, in_addr_t peer)
{
    AdmissionTable& t = table();
    std::lock_guard guard(t.lock);
    const int total = static_cast<int>(t.admitted.size());
    int& own = t.per_peer[peer];
    if (own >= kMaxConnectionsPerPeer) {
        log_limited(t, "too many connections from %s (%d), connection closed", peer,
                    kMaxConnectionsPerPeer);
        if (own == 0) {
            t.per_peer.erase(peer);
        }
        return nullptr;
    }
    if (total >= kHardLimit || (total >= kMaxConnectionThreads && !evict_for(t, peer))) {
        log_limited(t, "too many connections (%2$d), connection from %1$s closed", peer,
                    kMaxConnectionThreads);
        if (t.per_peer[peer] == 0) {
            t.per_peer.erase(peer);
        }
        return nullptr;
    }
    ++t.per_peer[peer];
    HttpAdmission& a = t.admitted.emplace_back();
    a.socket = socket;
    a.peer = peer;
    return &a;
}

void http_release(HttpAdmission* admission)
{
    if (!admission) {
        return;
    }
    AdmissionTable& t = table();
    std::lock_guard guard(t.lock);
    auto count = t.per_peer.find(admission->peer);
    if (count != t.per_peer.end() && --count->second <= 0) {
        t.per_peer.erase(count);
    }
    for (auto it = t.admitted.begin(); it != t.admitted.end(); ++it) {
        if (&*it == admission) {
            t.admitted.erase(it);
            return;
        }
    }
}

int http_admitted_count()
{
    AdmissionTable& t = table();
    std::lock_guard guard(t.lock);
    return static_cast<int>(t.admitted.size());
}
