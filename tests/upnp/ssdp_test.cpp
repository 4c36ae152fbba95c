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
        {ok + "MX: 500\r\nST: urn:x\r\n\r\n", true, "urn:x", 5},
        {ok + "MX: 6\r\nST: urn:x\r\n\r\n", true, "urn:x", 5},
        {ok + "MX: 99999999999999999999\r\nST: urn:x\r\n\r\n", true, "urn:x", 5},
        {ok + "MX: -3\r\nST: urn:x\r\n\r\n", true, "urn:x", 1},
        {ok + "MX: soon\r\nST: urn:x y\r\n\r\n", true, "urn:x", 1},
        // Header lines are read as HTTP reads them: exact names, one each.
        {ok + "Mx : 2\r\nST: urn:x\r\n\r\n", false, "", 0},
        {ok + "MXX: 2\r\nST: urn:x\r\n\r\n", false, "", 0},
        {ok + "MX: 2\r\nST: urn:x\r\nST: ssdp:all\r\n\r\n", false, "", 0},
        {ok + "MX: 2\r\nST:\r\n\r\n", false, "", 0},
        {"M-SEARCH * HTTP/1.1\r\nMAN: y\r\nMX: 1\r\nST: ssdp:all\r\n\r\n", false, "", 0},
        {"M-SEARCH /x HTTP/1.1\r\nHOST: x\r\nMAN: y\r\nMX: 1\r\nST: ssdp:all\r\n\r\n", false, "",
         0},
        {"NOTIFY * HTTP/1.1\r\nHOST: x\r\nMAN: M-SEARCH\r\nMX: 1\r\nST: ssdp:all\r\n\r\n", false,
         "", 0},
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
    EXPECT_EQ(ssdp_answer_rounds("ssdp:all"), 1) << "already five answers per round";
    EXPECT_EQ(ssdp_answer_rounds("upnp:rootdevice"), 3);
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

in_addr ip(const char* text)
{
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a;
}

TEST(SsdpSearch, OnlyTheInterfacesOwnNetworkIsAnswered)
{
    SsdpInterface interface;
    interface.network = ip("192.168.1.5");
    interface.netmask = ip("255.255.255.0");
    EXPECT_TRUE(ssdp_sender_on_network(interface, ip("192.168.1.77")));
    EXPECT_TRUE(ssdp_sender_on_network(interface, ip("192.168.1.5")));
    EXPECT_FALSE(ssdp_sender_on_network(interface, ip("192.168.2.77")));
    EXPECT_FALSE(ssdp_sender_on_network(interface, ip("8.8.8.8")));
    interface.network = ip("127.0.0.1");
    interface.netmask = ip("255.0.0.0");
    EXPECT_TRUE(ssdp_sender_on_network(interface, ip("127.3.2.1")));
    EXPECT_FALSE(ssdp_sender_on_network(interface, ip("128.0.0.1")));
}

TEST(SsdpSearch, PendingAnswersAreBoundedPerSource)
{
    SsdpInterface interface;
    for (int i = 0; i < kSsdpMaxPendingPerSource; ++i) {
        EXPECT_TRUE(ssdp_admit_search(interface, ip("10.0.0.1"))) << i;
    }
    EXPECT_FALSE(ssdp_admit_search(interface, ip("10.0.0.1")));
    ssdp_release_search(interface, ip("10.0.0.1"));
    EXPECT_TRUE(ssdp_admit_search(interface, ip("10.0.0.1"))) << "a place came free";
    // Other sources fill up to the interface's bound.
    int admitted = kSsdpMaxPendingPerSource;
    for (int host = 2; host < 100; ++host) {
        const std::string source = "10.0.0." + std::to_string(host);
        for (int i = 0; i < kSsdpMaxPendingPerSource; ++i) {
            admitted += ssdp_admit_search(interface, ip(source.c_str())) ? 1 : 0;
        }
    }
    EXPECT_EQ(admitted, kSsdpMaxPendingAnswers);
    EXPECT_EQ(interface.pending_answers, kSsdpMaxPendingAnswers);
    EXPECT_LE(interface.pending_by_source.size(),
              static_cast<size_t>(kSsdpMaxPendingAnswers / kSsdpMaxPendingPerSource));
}

// A searcher's socket on a loopback address.
struct Searcher {
    explicit Searcher(const char* address)
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        self.sin_family = AF_INET;
        self.sin_addr = ip(address);
        bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self);
        socklen_t length = sizeof self;
        getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length);
        timeval t{0, 100 * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    }
    ~Searcher()
    {
        close(fd);
    }
    // Answers naming location that arrive within ms.
    int answers(int ms, const std::string& location)
    {
        int n = 0;
        for (int waited = 0; waited < ms; waited += 100) {
            char answer[1024];
            for (ssize_t got; (got = recv(fd, answer, sizeof answer - 1, 0)) > 0;) {
                answer[got] = '\0';
                n += strstr(answer, location.c_str()) != nullptr;
            }
        }
        return n;
    }
    int fd;
    sockaddr_in self{};
};

// The handler called as the listen thread would, on an interface of its own.
struct SearchedInterface {
    SearchedInterface() : interface(g_ssdp_interfaces[1])
    {
        strcpy(listener.address.data(), "127.0.0.1");
        listener.port = 9998; // only named in LOCATION
        ssdp_interface_clear(interface, &listener);
        opened = ssdp_open_sockets(interface);
        interface.g_SSDP_listen_thread_running = 1;
    }
    ~SearchedInterface()
    {
        // Let the answer threads finish before the record is reused.
        wait_until(
            [&] {
                std::lock_guard guard(interface.pending_lock);
                return interface.pending_answers == 0;
            },
            std::chrono::seconds(8));
        interface.g_SSDP_listen_thread_running = 0;
        ssdp_close_sockets(interface);
    }
    void search(const Searcher& from, const char* target)
    {
        const std::string d = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                              "MAN: \"ssdp:discover\"\r\nMX: 1\r\nST: " +
                              std::string(target) + "\r\n\r\n";
        ssdp_handle_msearch(d.c_str(), &interface, &from.self);
    }
    HttpListener listener;
    SsdpInterface& interface;
    bool opened = false;
    const std::string location = "LOCATION: http://127.0.0.1:9998/";
};

TEST(SsdpSearch, SearchersOffTheNetworkGetNoAnswer)
{
    SearchedInterface server;
    ASSERT_TRUE(server.opened);
    server.interface.netmask = ip("255.255.255.255"); // a network of 127.0.0.1 alone
    Searcher inside("127.0.0.1");
    Searcher outside("127.0.0.2");
    server.search(outside, "upnp:rootdevice");
    server.search(inside, "upnp:rootdevice");
    EXPECT_EQ(inside.answers(1500, server.location), 3);
    EXPECT_EQ(outside.answers(300, server.location), 0);
}

TEST(SsdpSearch, SearchForAllIsAnsweredInOneRound)
{
    SearchedInterface server;
    ASSERT_TRUE(server.opened);
    Searcher searcher("127.0.0.1");
    server.search(searcher, "ssdp:all");
    const int answers = searcher.answers(1500, server.location);
    // One answer per announcement target: two before the search answerer is
    // registered (the device and the root device), five after.
    EXPECT_TRUE(answers == 2 || answers == 5) << answers;
}

TEST(SsdpSearch, OneFloodingHostLeavesRoomForOthers)
{
    SearchedInterface server;
    ASSERT_TRUE(server.opened);
    Searcher flood("127.0.0.1");
    Searcher player("127.0.0.3");
    for (int i = 0; i < 40; ++i) {
        server.search(flood, "upnp:rootdevice");
    }
    server.search(player, "upnp:rootdevice");
    EXPECT_EQ(player.answers(1500, server.location), 3);
    EXPECT_EQ(flood.answers(500, server.location), kSsdpMaxPendingPerSource * 3);
}

} // namespace
