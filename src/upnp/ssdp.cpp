#include "upnp/ssdp.h"

#include "control/clients.h"
#include "core/log.h"
#include "core/text_util.h"
#include "core/time_util.h"
#include "http/http_head.h"
#include "http/http_registry.h"
#include "http/http_response.h"
#include "upnp/description.h"
#include "upnp/interfaces.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

std::atomic<int> ssdp_mode{SSDP_ALIVE};

void ssdp_set_mode(int mode)
{
    if (mode == SSDP_ALIVE || mode == SSDP_STEALTH) {
        ssdp_mode = mode;
    }
}

// Never destroyed: answer threads may still send while the process exits.
std::array<SsdpInterface, kMaxServerAddresses>& g_ssdp_interfaces =
    *new std::array<SsdpInterface, kMaxServerAddresses>;

namespace
{

constexpr const char* kDescriptionPath = "/DeviceDescription.xml";
std::atomic<int> g_server_announcements{0};

// The announcement targets in order; the server's own types only once the
// search answerer is registered.
std::vector<std::string> announcement_targets()
{
    std::vector<std::string> targets = {device_udn(), "upnp:rootdevice"};
    if (g_server_announcements) {
        targets.push_back("urn:schemas-upnp-org:device:MediaServer:1");
        targets.push_back("urn:schemas-upnp-org:service:ContentDirectory:1");
        targets.push_back("urn:schemas-upnp-org:service:ConnectionManager:1");
    }
    return targets;
}

std::string usn_for(const std::string& target)
{
    const std::string& udn = device_udn();
    return target == udn ? udn : udn + "::" + target;
}

void send_message(int socket, const sockaddr_in& destination, const std::string& message)
{
    log_msg(LOG_INFO, LOG_CAT_SSDP, "### SSDP sending:\n%s\n", message.c_str());
    sendto(socket, message.data(), message.size(), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
}

std::string cut_message(const char* text, int n)
{
    if (n < 0) {
        return {};
    }
    return std::string(text, std::min<size_t>(static_cast<size_t>(n), kSsdpMessageSize - 1));
}

in_addr interface_address(const SsdpInterface& interface)
{
    in_addr addr{};
    inet_pton(AF_INET, interface.listener->address.data(), &addr);
    return addr;
}

int open_receive_socket(in_addr address)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return -1;
    }
    int on = 1;
    sockaddr_in group = ssdp_group_destination();
    ip_mreq membership{};
    membership.imr_multiaddr = group.sin_addr;
    membership.imr_interface = address;
    // The stop also shuts the socket down; the time-out is the fallback that
    // lets the listen thread see its flag in any case.
    timeval wake{1, 0};
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(s, reinterpret_cast<sockaddr*>(&group), sizeof group) != 0 ||
        setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake) != 0) {
        close(s);
        return -1;
    }
    return s;
}

int open_answer_socket(in_addr address)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    for (int port = kSsdpFirstAnswerPort; port <= kSsdpLastAnswerPort; ++port) {
        local.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) {
            int ttl = kSsdpTtl;
            if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0) {
                return s;
            }
            break;
        }
    }
    close(s);
    return -1;
}

int open_heartbeat_socket(in_addr address)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return -1;
    }
    int ttl = kSsdpTtl;
    if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address) != 0 ||
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
        close(s);
        return -1;
    }
    return s;
}

void send_alive_burst(int socket, const SsdpInterface& interface)
{
    const sockaddr_in group = ssdp_group_destination();
    for (int copy = 0; copy < 3; ++copy) {
        ssdp_send_set(socket, interface.listener->address.data(), interface.listener->port, group,
                      "ssdp:all", true);
    }
}

struct AnswerJob {
    int delay_ms = 0;
    std::string target;
    sockaddr_in searcher{};
    SsdpInterface* interface = nullptr;
    std::shared_ptr<SsdpSocket> socket;
};

void answer_search(const AnswerJob& job)
{
    sleep_ms(job.delay_ms);
    SsdpInterface& interface = *job.interface;
    // A server that stopped meanwhile no longer answers.
    if (interface.g_SSDP_listen_thread_running == 1) {
        for (int round = 0; round < ssdp_answer_rounds(job.target); ++round) {
            ssdp_send_set(job.socket->fd, interface.listener->address.data(),
                          interface.listener->port, job.searcher, job.target, false);
        }
    }
    ssdp_release_search(interface, job.searcher.sin_addr);
}

// The request line of a search: "M-SEARCH * HTTP/1.1", the method in any case.
bool is_msearch_line(std::string_view line)
{
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    constexpr std::string_view kMethod = "M-SEARCH";
    return line.size() == kMethod.size() + 11 &&
           strncasecmp(line.data(), kMethod.data(), kMethod.size()) == 0 &&
           line.substr(kMethod.size()) == " * HTTP/1.1";
}

// The leading decimal digits of text; 0 when there are none.
int leading_number(std::string_view text)
{
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        n = std::min(n * 10 + (c - '0'), 1000000);
    }
    return n;
}

} // namespace

SsdpSocket::~SsdpSocket()
{
    if (fd >= 0) {
        close(fd);
    }
}

sockaddr_in ssdp_group_destination()
{
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kSsdpPort);
    inet_pton(AF_INET, kSsdpGroup, &group.sin_addr);
    return group;
}

std::string ssdp_compose_alive(const char* address, int port, const std::string& target,
                               const std::string& usn)
{
    char text[kSsdpMessageSize];
    int n = snprintf(text, sizeof text,
                     "NOTIFY * HTTP/1.1\r\nHOST: %s:%d\r\nCACHE-CONTROL: max-age=%u\r\nLOCATION: "
                     "http://%s:%d%s\r\nNT: %s\r\nNTS: ssdp:alive\r\nSERVER: %s\r\nUSN: %s\r\n\r\n",
                     kSsdpGroup, kSsdpPort, kSsdpMaxAge, address, port, kDescriptionPath,
                     target.c_str(), kServerIdentification, usn.c_str());
    return cut_message(text, n);
}

std::string ssdp_compose_byebye(const std::string& target, const std::string& usn)
{
    char text[kSsdpMessageSize];
    int n = snprintf(
        text, sizeof text,
        "NOTIFY * HTTP/1.1\r\nHOST: %s:%d\r\nNT: %s\r\nNTS: ssdp:byebye\r\nUSN: %s\r\n\r\n",
        kSsdpGroup, kSsdpPort, target.c_str(), usn.c_str());
    return cut_message(text, n);
}

std::string ssdp_compose_response(const char* address, int port, const std::string& target,
                                  const std::string& usn)
{
    char text[kSsdpMessageSize];
    int n =
        snprintf(text, sizeof text,
                 "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=%u\r\nDATE: %s\r\nEXT:\r\nLOCATION: "
                 "http://%s:%d%s\r\nSERVER: %s\r\nST: %s\r\nUSN: %s\r\nContent-Length: 0\r\n\r\n",
                 kSsdpMaxAge, http_date().c_str(), address, port, kDescriptionPath,
                 kServerIdentification, target.c_str(), usn.c_str());
    return cut_message(text, n);
}

void ssdp_send_set(int socket, const char* address, int port, const sockaddr_in& destination,
                   const std::string& search_target, bool alive)
{
    for (const std::string& target : announcement_targets()) {
        if (search_target != "ssdp:all" && search_target != target) {
            continue;
        }
        const std::string usn = usn_for(target);
        send_message(socket, destination,
                     alive ? ssdp_compose_alive(address, port, target, usn)
                           : ssdp_compose_response(address, port, target, usn));
    }
}

void ssdp_send_byebye_set(int socket, const sockaddr_in& destination)
{
    for (const std::string& target : announcement_targets()) {
        send_message(socket, destination, ssdp_compose_byebye(target, usn_for(target)));
    }
}

void ssdp_interface_clear(SsdpInterface& interface, HttpListener* listener)
{
    interface.g_SSDP_listen_thread_running = 0;
    interface.g_SSDP_heartbeat_thread_running = 0;
    interface.listener = listener;
    interface.receive_socket = -1;
    interface.network = in_addr{};
    interface.netmask = in_addr{};
    {
        std::lock_guard guard(interface.pending_lock);
        interface.pending_answers = 0;
        interface.pending_by_source.clear();
    }
    std::lock_guard guard(interface.send_lock);
    interface.send_socket.reset();
}

bool ssdp_open_sockets(SsdpInterface& interface)
{
    const in_addr address = interface_address(interface);
    interface.network = address;
    if (auto mask = interface_netmask(interface.listener->address.data())) {
        interface.netmask = *mask;
    } else {
        // An address no interface reports: only the server's own host.
        interface.netmask.s_addr = INADDR_NONE;
        log_msg(LOG_PROBLEM, LOG_CAT_SSDP, "no network mask for %s, searches only from itself\n",
                interface.listener->address.data());
    }
    const int receive = open_receive_socket(address);
    const int send = open_answer_socket(address);
    interface.receive_socket = receive;
    {
        std::lock_guard guard(interface.send_lock);
        interface.send_socket = send >= 0 ? std::make_shared<SsdpSocket>(send) : nullptr;
    }
    return receive >= 0 && send >= 0;
}

void ssdp_shutdown_sockets(SsdpInterface& interface)
{
    const int receive = interface.receive_socket;
    if (receive >= 0) {
        shutdown(receive, SHUT_RDWR);
    }
    std::lock_guard guard(interface.send_lock);
    interface.send_socket.reset();
}

void ssdp_close_sockets(SsdpInterface& interface)
{
    const int receive = interface.receive_socket.exchange(-1);
    if (receive >= 0) {
        close(receive);
    }
    std::lock_guard guard(interface.send_lock);
    interface.send_socket.reset();
}

void ssdp_listen_thread(SsdpInterface* interface)
{
    const int s = interface->receive_socket;
    // A stop that came before this thread ran has nothing left for it.
    if (s < 0 || g_upnp_server_thread_running == -1) {
        return;
    }
    interface->g_SSDP_listen_thread_running = 1;
    sleep_ms(rand() % 100);
    char datagram[kSsdpDatagramSize];
    while (interface->g_SSDP_listen_thread_running == 1) {
        sockaddr_in sender{};
        socklen_t sender_length = sizeof sender;
        ssize_t n = recvfrom(s, datagram, sizeof datagram - 1, 0,
                             reinterpret_cast<sockaddr*>(&sender), &sender_length);
        if (n <= 0) {
            continue;
        }
        datagram[n] = '\0';
        if (ssdp_mode == SSDP_ALIVE) {
            ssdp_dispatch(datagram, interface, &sender);
        }
    }
    // Closed here, after the last receive, so a reused descriptor number is
    // never read from.
    const int own = interface->receive_socket.exchange(-1);
    if (own >= 0) {
        close(own);
    }
    interface->g_SSDP_listen_thread_running = 0;
    log_msg(LOG_INFO, LOG_CAT_SSDP, "### SSDP terminated listen thread\n");
}

bool ssdp_sender_on_network(const SsdpInterface& interface, in_addr sender)
{
    return (sender.s_addr & interface.netmask.s_addr) ==
           (interface.network.s_addr & interface.netmask.s_addr);
}

bool ssdp_admit_search(SsdpInterface& interface, in_addr source)
{
    std::lock_guard guard(interface.pending_lock);
    int& of_source = interface.pending_by_source[source.s_addr];
    if (interface.pending_answers >= kSsdpMaxPendingAnswers ||
        of_source >= kSsdpMaxPendingPerSource) {
        if (of_source == 0) {
            interface.pending_by_source.erase(source.s_addr);
        }
        return false;
    }
    ++of_source;
    ++interface.pending_answers;
    return true;
}

void ssdp_release_search(SsdpInterface& interface, in_addr source)
{
    std::lock_guard guard(interface.pending_lock);
    auto at = interface.pending_by_source.find(source.s_addr);
    if (at == interface.pending_by_source.end()) {
        return;
    }
    if (--at->second == 0) {
        interface.pending_by_source.erase(at);
    }
    --interface.pending_answers;
}

int ssdp_answer_rounds(const std::string& target)
{
    return target == "ssdp:all" ? 1 : 3;
}

std::optional<SsdpSearch> ssdp_parse_msearch(std::string_view d)
{
    HttpHead head;
    if (!is_msearch_line(d.substr(0, d.find('\n'))) ||
        http_split_head(d, head).status != HeadSplit::Ok || !http_head_has(head, HttpField::Host) ||
        !http_head_has(head, HttpField::Man) || !http_head_has(head, HttpField::Mx) ||
        !http_head_has(head, HttpField::St)) {
        return std::nullopt;
    }
    SsdpSearch search;
    // Control bytes, blanks and bytes of 128 and above end the target.
    for (char c : http_head_field(d, head, HttpField::St)) {
        if (static_cast<signed char>(c) <= 32 || search.target.size() >= kSsdpTargetSize - 1) {
            break;
        }
        search.target += c;
    }
    if (search.target.empty()) {
        return std::nullopt;
    }
    search.mx =
        std::clamp(leading_number(http_head_field(d, head, HttpField::Mx)), kSsdpMinMx, kSsdpMaxMx);
    return search;
}

void ssdp_handle_msearch(const char* datagram, SsdpInterface* interface, const sockaddr_in* sender)
{
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sender->sin_addr, address, sizeof address);
    // Answers are many times larger than a search; a sender beyond the
    // server's own network is most likely a forged one.
    if (!ssdp_sender_on_network(*interface, sender->sin_addr)) {
        log_msg(LOG_INFO, LOG_CAT_SSDP, "search from %s outside the network of %s ignored\n",
                address, interface->listener->address.data());
        return;
    }
    std::string copy(datagram, strnlen(datagram, kSsdpDatagramSize - 1));
    auto search = ssdp_parse_msearch(copy);
    if (!search) {
        return;
    }
    client_recognise_search(copy, address);
    if (!ssdp_admit_search(*interface, sender->sin_addr)) {
        log_msg(LOG_INFO, LOG_CAT_SSDP, "too many pending searches, search from %s dropped\n",
                address);
        return;
    }
    AnswerJob job;
    // Spread over the whole MX window, not in whole seconds, so that even
    // MX 1 is not answered at once.
    job.delay_ms = rand() % (search->mx * 1000);
    job.target = search->target;
    job.searcher = *sender;
    job.interface = interface;
    {
        std::lock_guard guard(interface->send_lock);
        job.socket = interface->send_socket;
    }
    if (!job.socket || !start_thread([job] { answer_search(job); })) {
        ssdp_release_search(*interface, sender->sin_addr);
    }
}

void ssdp_register_search_handler()
{
    ssdp_register_handler(ssdp_handle_msearch, "M-Search");
    g_server_announcements = 1;
}

void ssdp_heartbeat_thread(SsdpInterface* interface)
{
    if (g_upnp_server_thread_running == -1) {
        return;
    }
    const int s = open_heartbeat_socket(interface_address(*interface));
    if (s < 0) {
        return;
    }
    const sockaddr_in group = ssdp_group_destination();
    const char* address = interface->listener->address.data();
    interface->g_SSDP_heartbeat_thread_running = 1;
    log_msg(LOG_INFO, LOG_CAT_SSDP, "SSDP heartbeat started for %s\n", address);
    // Entries left by an earlier run are dropped first.
    ssdp_send_byebye_set(s, group);

    int local_mode = ssdp_mode;
    int ticks = static_cast<int>(kSsdpMaxAge);
    int bursts = 6;
    while (interface->g_SSDP_heartbeat_thread_running == 1) {
        sleep_ms(100);
        if (interface->g_SSDP_heartbeat_thread_running != 1) {
            break;
        }
        ++ticks;
        if (ssdp_mode == SSDP_STEALTH && local_mode == SSDP_ALIVE) {
            ssdp_send_byebye_set(s, group);
            local_mode = SSDP_STEALTH;
            continue;
        }
        if (ssdp_mode == SSDP_ALIVE && local_mode == SSDP_STEALTH) {
            local_mode = SSDP_ALIVE;
            send_alive_burst(s, *interface);
            continue;
        }
        // Six rounds ten seconds apart after start, then about every 20 minutes.
        if (local_mode == SSDP_ALIVE &&
            ((bursts != 0 && ticks > 99) || (bursts == 0 && ticks > 12065))) {
            send_alive_burst(s, *interface);
            ticks = 0;
            if (bursts != 0) {
                --bursts;
            }
        }
    }
    ssdp_send_byebye_set(s, group);
    log_msg(LOG_INFO, LOG_CAT_SSDP, "SSDP heartbeat stopped for %s\n", address);
    interface->g_SSDP_heartbeat_thread_running = 0;
    shutdown(s, SHUT_RDWR);
    close(s);
}
