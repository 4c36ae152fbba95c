#include "support/child_process.h"
#include "upnp/description.h"
#include "upnp/ssdp.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

TEST(SsdpSearch, AcceptanceTargetAndMx)
{
    const std::string ok =
        "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n";
    struct Row {
        std::string datagram;
        bool accepted;
        std::string target;
        int mx;
    } rows[] = {
        {ok + "MX: 3\r\nST: ssdp:all\r\n\r\n", true, "ssdp:all", 3},
        {ok + "MX: 0\r\nST:upnp:rootdevice\r\n\r\n", true, "upnp:rootdevice", 1},
        {ok + "MX: 500\r\nST: urn:x\r\n\r\n", true, "urn:x", 120},
        {ok + "MX: soon\r\nST: urn:x y\r\n\r\n", true, "urn:x", 1},
        {ok + "Mx : 2\r\nST: urn:x\r\n\r\n", true, "urn:x", 5},
        {ok + "MX: 2\r\nST: a\xe9z\r\n\r\n", true, "a", 2},
        {"m-search * HTTP/1.1\r\nhost: x\r\nman: y\r\nmx: 1\r\nst: ssdp:all\r\n\r\n", true,
         "ssdp:all", 1},
        {"M-SEARCH * HTTP/1.1\r\nHOST: x\r\nMX: 1\r\nST: ssdp:all\r\n\r\n", false, "", 0},
        {"M-SEARCH * HTTP/1.1\r\nHOST: x\r\nMAN: y\r\nMX: 1\r\n\r\n", false, "", 0},
        {ok + "MX: 1\r\nSTX ssdp:all\r\n\r\n", false, "", 0},
        {"M-SEARCH * HTTP/1.0\r\nHOST: x\r\nMAN: y\r\nMX: 1\r\nST: ssdp:all\r\n\r\n", false, "", 0},
        {"NOTIFY * HTTP/1.1\r\nHOST: x\r\nNT: y\r\n\r\n", false, "", 0},
    };
    for (const Row& row : rows) {
        auto search = ssdp_parse_msearch(row.datagram.c_str());
        ASSERT_EQ(search.has_value(), row.accepted) << row.datagram;
        if (search) {
            EXPECT_EQ(search->target, row.target) << row.datagram;
            EXPECT_EQ(search->mx, row.mx) << row.datagram;
        }
    }
    const std::string long_target = ok + "MX: 1\r\nST: " + std::string(300, 't') + "\r\n\r\n";
    EXPECT_EQ(ssdp_parse_msearch(long_target.c_str())->target.size(), 128u);
}

TEST(SsdpMessages, ExactFormats)
{
    EXPECT_EQ(ssdp_compose_alive("192.168.1.5", 9000, "upnp:rootdevice", "uuid:x::upnp:rootdevice"),
              "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nCACHE-CONTROL: max-age=1810\r\n"
              "LOCATION: http://192.168.1.5:9000/DeviceDescription.xml\r\nNT: upnp:rootdevice\r\n"
              "NTS: ssdp:alive\r\nSERVER: Linux/2.x.x, UPnP/1.0, Corvalenso UPnP SDK/1.0\r\n"
              "USN: uuid:x::upnp:rootdevice\r\n\r\n");
    EXPECT_EQ(
        ssdp_compose_byebye("uuid:x", "uuid:x"),
        "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: uuid:x\r\nNTS: ssdp:byebye\r\n"
        "USN: uuid:x\r\n\r\n");
    const std::string response =
        std::regex_replace(ssdp_compose_response("10.0.0.2", 9001, "uuid:x", "uuid:x"),
                           std::regex("DATE: [^\r]*"), "DATE: D");
    EXPECT_EQ(
        response,
        "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1810\r\nDATE: D\r\nEXT:\r\n"
        "LOCATION: http://10.0.0.2:9001/DeviceDescription.xml\r\n"
        "SERVER: Linux/2.x.x, UPnP/1.0, Corvalenso UPnP SDK/1.0\r\nST: uuid:x\r\nUSN: uuid:x\r\n"
        "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(ssdp_compose_byebye(std::string(600, 't'), "u").size(), 511u) << "cut, never overrun";
}

// Listens on the group over loopback like a control point would.
struct GroupListener {
    GroupListener()
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in group = ssdp_group_destination();
        bind(fd, reinterpret_cast<sockaddr*>(&group), sizeof group);
        ip_mreq m{};
        m.imr_multiaddr = group.sin_addr;
        inet_pton(AF_INET, "127.0.0.1", &m.imr_interface);
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
        timeval t{0, 200 * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    }
    ~GroupListener()
    {
        close(fd);
    }
    // Datagrams received within about seconds that mention the location.
    std::vector<std::string> collect(double seconds, const std::string& location)
    {
        std::vector<std::string> found;
        for (int i = 0; i < seconds * 5; ++i) {
            char buf[2048];
            ssize_t n;
            while ((n = recv(fd, buf, sizeof buf - 1, 0)) > 0) {
                std::string d(buf, static_cast<size_t>(n));
                if (d.find(location) != std::string::npos ||
                    d.find("byebye") != std::string::npos) {
                    found.push_back(d);
                }
            }
        }
        return found;
    }
    int fd;
};

int count_with(const std::vector<std::string>& datagrams, const char* text)
{
    int n = 0;
    for (const std::string& d : datagrams) {
        n += d.find(text) != std::string::npos;
    }
    return n;
}

// Stealth mode silences announcements and search answers; leaving it sends
// the alive burst at once.
TEST(SsdpHeartbeat, StealthModeSilencesAnnouncementsAndSearches)
{
    ssdp_register_search_handler();
    HttpListener listener;
    strcpy(listener.address.data(), "127.0.0.1");
    listener.port = 9999; // only named in LOCATION
    SsdpInterface& interface = g_ssdp_interfaces[0];
    ssdp_interface_clear(interface, &listener);
    ASSERT_TRUE(ssdp_open_sockets(interface));

    GroupListener group;
    ssdp_mode = SSDP_STEALTH;
    g_upnp_server_thread_running = 1;
    SsdpInterface* i = &interface;
    start_thread([i] { ssdp_listen_thread(i); });
    start_thread([i] { ssdp_heartbeat_thread(i); });

    // A search while stealthy gets no answer.
    int searcher = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &local.sin_addr);
    bind(searcher, reinterpret_cast<sockaddr*>(&local), sizeof local);
    in_addr lo = local.sin_addr;
    setsockopt(searcher, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
    timeval t{1, 500 * 1000};
    setsockopt(searcher, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    sleep_ms(300);
    const std::string search =
        "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
        "MX: 1\r\nST: upnp:rootdevice\r\n\r\n";
    sockaddr_in dest = ssdp_group_destination();
    sendto(searcher, search.data(), search.size(), 0, reinterpret_cast<sockaddr*>(&dest),
           sizeof dest);
    // Other servers on this machine may answer too; only ours counts.
    auto our_answers = [&] {
        int n = 0;
        char answer[1024];
        for (ssize_t got; (got = recv(searcher, answer, sizeof answer - 1, 0)) > 0;) {
            answer[got] = '\0';
            n += strstr(answer, "LOCATION: http://127.0.0.1:9999/") != nullptr;
        }
        return n;
    };
    EXPECT_EQ(our_answers(), 0) << "no answer in stealth mode";

    const auto quiet = group.collect(1.0, "127.0.0.1:9999");
    EXPECT_EQ(count_with(quiet, "ssdp:alive"), 0);

    ssdp_mode = SSDP_ALIVE;
    const auto loud = group.collect(1.0, "127.0.0.1:9999");
    const int alive = count_with(loud, "ssdp:alive");
    EXPECT_GE(alive, 15);
    EXPECT_EQ(alive % 15, 0) << "sets of three copies of each of the five targets";

    sendto(searcher, search.data(), search.size(), 0, reinterpret_cast<sockaddr*>(&dest),
           sizeof dest);
    EXPECT_EQ(our_answers(), 3);
    close(searcher);

    g_upnp_server_thread_running = -1;
    thread_request_stop(interface.g_SSDP_listen_thread_running);
    thread_request_stop(interface.g_SSDP_heartbeat_thread_running);
    ssdp_shutdown_sockets(interface);
    EXPECT_TRUE(wait_until(
        [&] {
            return interface.g_SSDP_listen_thread_running == 0 &&
                   interface.g_SSDP_heartbeat_thread_running == 0;
        },
        std::chrono::seconds(5)));
    ssdp_close_sockets(interface);
    g_upnp_server_thread_running = 0;
}

} // namespace

namespace
{

TEST(SsdpSearch, EveryPrefixIsParsedSafely)
{
    const std::string d =
        "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
        "MX: 3\r\nST: ssdp:all\r\n\r\n";
    for (size_t n = 0; n <= d.size(); ++n) {
        std::unique_ptr<char[]> exact(new char[n + 1]);
        memcpy(exact.get(), d.data(), n);
        exact[n] = '\0';
        auto search = ssdp_parse_msearch(exact.get());
        if (search) {
            EXPECT_LE(search->target.size(), n);
        }
    }
}

} // namespace
