// Discovery: announcements ("ssdp:alive" while running, "ssdp:byebye" when
// leaving or going stealth) and answers to M-SEARCH requests, per server
// address.
#pragma once

#include "core/threads.h"
#include "http/http_limits.h"
#include "http/http_server.h"

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <string_view>

inline constexpr const char* kSsdpGroup = "239.255.255.250";
inline constexpr int kSsdpPort = 1900;
inline constexpr unsigned kSsdpMaxAge = 1810;
inline constexpr int kSsdpTtl = 4;
inline constexpr int kSsdpFirstAnswerPort = 9080;
inline constexpr int kSsdpLastAnswerPort = 9180;
inline constexpr size_t kSsdpMessageSize = 512; // composed messages, 511 bytes
inline constexpr size_t kSsdpDatagramSize = 1024;
inline constexpr size_t kSsdpTargetSize = 129; // search target, 128 characters
// The answer delay bound MX is taken within 1 to 5 s: no search is answered
// at once, so that a flood of searches turns into a trickle of answers, and
// none waits so long that its answer ties up a place for minutes.
inline constexpr int kSsdpMinMx = 1;
inline constexpr int kSsdpMaxMx = 5;
// Searches waiting for their answer per interface, and of those per searcher
// address; a search beyond either is dropped instead of starting a thread,
// so that one host cannot take every place from the players.
inline constexpr int kSsdpMaxPendingAnswers = 32;
inline constexpr int kSsdpMaxPendingPerSource = 4;

// 1: announcements and answers on; 2: stealth.
enum SsdpMode : int {
    SSDP_ALIVE = 1,
    SSDP_STEALTH = 2,
};
extern std::atomic<int> ssdp_mode;

// Switches announcements and answers on (SSDP_ALIVE) or off (SSDP_STEALTH);
// the heartbeats say goodbye or announce again within 100 ms.
void ssdp_set_mode(int mode);

// A UDP socket that closes when its last user is done. Search answers may
// still be waiting on their delay when the server stops, so the answer socket
// is shared between the interface and those answer threads.
struct SsdpSocket {
    explicit SsdpSocket(int descriptor) : fd(descriptor)
    {
    }
    ~SsdpSocket();
    SsdpSocket(const SsdpSocket&) = delete;
    SsdpSocket& operator=(const SsdpSocket&) = delete;
    int fd;
};

struct SsdpInterface {
    ThreadFlag g_SSDP_listen_thread_running{0};
    ThreadFlag g_SSDP_heartbeat_thread_running{0};
    HttpListener* listener = nullptr;
    std::atomic<int> receive_socket{-1};
    std::mutex send_lock; // guards send_socket
    std::shared_ptr<SsdpSocket> send_socket;
    // The interface's own network: searches from elsewhere are not answered,
    // so that nobody can aim the answers at a host outside it.
    in_addr network{};
    in_addr netmask{};
    std::mutex pending_lock; // guards the two below
    int pending_answers = 0;
    std::map<in_addr_t, int> pending_by_source;
};

extern std::array<SsdpInterface, kMaxServerAddresses>& g_ssdp_interfaces;

// Resets an interface record for reuse and links it to its listener.
void ssdp_interface_clear(SsdpInterface& interface, HttpListener* listener);

// Opens the multicast receive socket and the answer socket (bound to the
// interface address on the first free port from 9080 to 9180), and notes the
// interface's network.
bool ssdp_open_sockets(SsdpInterface& interface);

// Whether sender is on the interface's network.
bool ssdp_sender_on_network(const SsdpInterface& interface, in_addr sender);

// Takes a place for one answer to source; false when the interface or that
// source has no place left. ssdp_release_search gives it back.
bool ssdp_admit_search(SsdpInterface& interface, in_addr source);
void ssdp_release_search(SsdpInterface& interface, in_addr source);

// Shuts both sockets down so that the threads notice the stop; the receive
// socket is closed by its thread, or here once no thread uses it.
void ssdp_shutdown_sockets(SsdpInterface& interface);
void ssdp_close_sockets(SsdpInterface& interface);

void ssdp_listen_thread(SsdpInterface* interface);
void ssdp_heartbeat_thread(SsdpInterface* interface);

// The registered SSDP handler for search requests.
void ssdp_handle_msearch(const char* datagram, SsdpInterface* interface, const sockaddr_in* sender);

// Registers ssdp_handle_msearch as "M-Search", which also switches on the
// announcement of the server's own device and service types.
void ssdp_register_search_handler();

// --- messages ---------------------------------------------------------------

std::string ssdp_compose_alive(const char* address, int port, const std::string& target,
                               const std::string& usn);
std::string ssdp_compose_byebye(const std::string& target, const std::string& usn);
std::string ssdp_compose_response(const char* address, int port, const std::string& target,
                                  const std::string& usn);

// Sends alive messages (alive) or search responses for every announcement
// target that search_target selects ("ssdp:all": all of them).
void ssdp_send_set(int socket, const char* address, int port, const sockaddr_in& destination,
                   const std::string& search_target, bool alive);
void ssdp_send_byebye_set(int socket, const sockaddr_in& destination);

struct SsdpSearch {
    std::string target;
    int mx = kSsdpMaxMx;
};

// The target and MX bound of an acceptable M-SEARCH, or nothing: the request
// line "M-SEARCH * HTTP/1.1" (the method in any case), and HOST, MAN, MX and
// a non-empty ST among well-formed header lines.
std::optional<SsdpSearch> ssdp_parse_msearch(std::string_view datagram);

// The rounds of answers a search gets: one for "ssdp:all", which already
// draws one answer per announcement target, three otherwise.
int ssdp_answer_rounds(const std::string& target);

// The multicast group address as a destination.
sockaddr_in ssdp_group_destination();
