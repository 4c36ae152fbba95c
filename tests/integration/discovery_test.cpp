// Discovery as a control point on this machine sees it: SSDP over loopback
// multicast, then the description documents over HTTP.
#include "support/http_client.h"
#include "support/server_process.h"

#include <arpa/inet.h>
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace
{

std::string host_name()
{
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

// A control point's socket on 127.0.0.1 that multicasts searches and reads
// the unicast answers; optionally also a member of the group to see NOTIFYs.
struct ControlPoint {
    explicit ControlPoint(bool join_group = false)
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (join_group) {
            int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            local.sin_port = htons(1900);
            inet_pton(AF_INET, "239.255.255.250", &local.sin_addr);
        }
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        in_addr lo{};
        lo.s_addr = htonl(INADDR_LOOPBACK);
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
        if (join_group) {
            ip_mreq m{};
            inet_pton(AF_INET, "239.255.255.250", &m.imr_multiaddr);
            m.imr_interface = lo;
            setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
        }
        timeval t{0, 100 * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    }
    ~ControlPoint()
    {
        close(fd);
    }
    void search(const std::string& datagram)
    {
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(1900);
        inet_pton(AF_INET, "239.255.255.250", &group.sin_addr);
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&group),
               sizeof group);
    }
    struct Datagram {
        std::string text;
        int from_port;
    };
    // Everything received for about the given time that contains needle.
    std::vector<Datagram> collect(std::chrono::milliseconds time, const std::string& needle)
    {
        std::vector<Datagram> found;
        const auto end = std::chrono::steady_clock::now() + time;
        while (std::chrono::steady_clock::now() < end) {
            char buf[2048];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t n =
                recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n > 0) {
                std::string text(buf, static_cast<size_t>(n));
                if (text.find(needle) != std::string::npos) {
                    found.push_back({text, ntohs(from.sin_port)});
                }
            }
        }
        return found;
    }
    int fd;
};

std::string msearch(const std::string& target, const char* mx = "1", bool with_man = true)
{
    std::string d = "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n";
    if (with_man) {
        d += "MAN: \"ssdp:discover\"\r\n";
    }
    d += std::string("MX: ") + mx + "\r\n";
    if (!target.empty()) {
        d += "ST: " + target + "\r\n";
    }
    return d + "\r\n";
}

std::string field(const std::string& message, const std::string& name)
{
    std::smatch m;
    std::regex re("\r\n" + name + ": ?([^\r]*)\r\n");
    return std::regex_search(message, m, re) ? m[1].str() : "";
}

std::string udn_of(int port)
{
    auto answer = http_exchange(port, "GET /DeviceDescription.xml HTTP/1.1\r\n\r\n");
    if (!answer) {
        return {};
    }
    std::smatch m;
    std::regex re("<UDN>([^<]*)</UDN>");
    return std::regex_search(answer->body, m, re) ? m[1].str() : "";
}

TEST(Discovery, DeviceDescriptionAndKeepAlive)
{
    ServerUnderTest server(PLENWICK_BIN);
    ASSERT_GT(server.port(), 0);
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
    RawHttpClient client(server.port());
    client.send_text("GET /DeviceDescription.xml HTTP/1.1\r\nHost: x\r\n\r\n"
                     "GET /DeviceDescription.xml HTTP/1.1\r\nHost: x\r\n\r\n");
    auto first = client.read_answer();
    auto second = client.read_answer();
    ASSERT_TRUE(first && second) << "both requests on one connection are answered";
    EXPECT_EQ(first->status, 200);
    EXPECT_EQ(header_value(first->head, "Content-Type"), "text/xml; charset=\"UTF-8\"");
    EXPECT_EQ(header_value(first->head, "Connection"), "keep-alive");
    EXPECT_EQ(first->body, second->body);
    const std::string& doc = first->body;
    EXPECT_NE(doc.find("<friendlyName>[" + host_name() + "] Plenwick by Corvalenso</friendlyName>"),
              std::string::npos)
        << doc;
    EXPECT_NE(doc.find("<presentationURL>" + base + "configpage/index.htm</presentationURL>"),
              std::string::npos);
    EXPECT_EQ(doc.find("D5Upgrade"), std::string::npos);
    EXPECT_TRUE(std::regex_search(
        doc, std::regex("<UDN>uuid:896659847466-[0-9a-f-]+-73783736426233</UDN>")))
        << doc;
}

TEST(Discovery, ConfiguredFriendlyNameIsEscapedTwice)
{
    ServerUnderTest server(PLENWICK_BIN, {"-friendlyname", "Tom & Jerry"});
    auto answer = http_exchange(server.port(), "GET /DeviceDescription.xml HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(answer);
    EXPECT_NE(answer->body.find("<friendlyName>Tom &amp;amp; Jerry</friendlyName>"),
              std::string::npos);
    EXPECT_NE(answer->body.find("-41928241441</UDN>"), std::string::npos);
}

TEST(Discovery, ServiceDescriptionsByteExactAndPostRefused)
{
    ServerUnderTest server(PLENWICK_BIN);
    auto cd = http_exchange(server.port(), "GET /ContentDirectory.xml HTTP/1.1\r\n\r\n");
    auto cm = http_exchange(server.port(), "GET /ConnectionManager.xml HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(cd && cm);
    EXPECT_EQ(cd->body.size(), 7939u);
    EXPECT_EQ(cm->body.size(), 3378u);
    EXPECT_EQ(cd->body.rfind(
                  "<?xml version=\"1.0\"?><scpd xmlns=\"urn:schemas-upnp-org:service-1-0\">", 0),
              0u);
    const std::string tail = "</serviceStateTable></scpd>";
    EXPECT_EQ(cm->body.substr(cm->body.size() - tail.size()), tail);

    auto head = http_exchange(server.port(), "HEAD /ContentDirectory.xml HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(head);
    EXPECT_EQ(header_value(head->head, "Content-Length"), "7939");

    for (const char* url :
         {"/ContentDirectory.xml", "/ConnectionManager.xml", "/DeviceDescription.xml"}) {
        auto post = http_exchange(server.port(), std::string("POST ") + url +
                                                     " HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
        ASSERT_TRUE(post) << url;
        EXPECT_EQ(post->status, 500) << url;
    }
}

TEST(Discovery, SearchForAllGetsOneRoundOfFiveAnswers)
{
    ServerUnderTest server(PLENWICK_BIN);
    const std::string location =
        "http://127.0.0.1:" + std::to_string(server.port()) + "/DeviceDescription.xml";
    const std::string udn = udn_of(server.port());
    ASSERT_FALSE(udn.empty());
    ControlPoint cp;
    cp.search(msearch("ssdp:all"));
    auto answers = cp.collect(1500ms, "LOCATION: " + location + "\r\n");
    ASSERT_EQ(answers.size(), 5u);
    std::map<std::string, int> per_target;
    for (const auto& a : answers) {
        EXPECT_EQ(a.text.rfind("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1810\r\n", 0), 0u)
            << a.text;
        EXPECT_GE(a.from_port, 9080);
        EXPECT_LE(a.from_port, 9180);
        const std::string st = field(a.text, "ST");
        const std::string usn = field(a.text, "USN");
        EXPECT_EQ(usn, st == udn ? udn : udn + "::" + st);
        ++per_target[st];
    }
    EXPECT_EQ(per_target, (std::map<std::string, int>{
                              {udn, 1},
                              {"upnp:rootdevice", 1},
                              {"urn:schemas-upnp-org:device:MediaServer:1", 1},
                              {"urn:schemas-upnp-org:service:ContentDirectory:1", 1},
                              {"urn:schemas-upnp-org:service:ConnectionManager:1", 1}}));
}

TEST(Discovery, SingleTargetsAndRefusedSearches)
{
    ServerUnderTest server(PLENWICK_BIN);
    const std::string location =
        "LOCATION: http://127.0.0.1:" + std::to_string(server.port()) + "/";
    const std::string udn = udn_of(server.port());
    struct Row {
        std::string datagram;
        size_t answers;
        std::string usn;
    } rows[] = {
        {msearch("upnp:rootdevice"), 3, udn + "::upnp:rootdevice"},
        {msearch(udn), 3, udn},
        {msearch("urn:schemas-upnp-org:service:ContentDirectory:1", "0"), 3,
         udn + "::urn:schemas-upnp-org:service:ContentDirectory:1"},
        {msearch("urn:schemas-upnp-org:device:MediaRenderer:1"), 0, ""},
        {msearch("ssdp:all", "1", false), 0, ""},
        {msearch(""), 0, ""},
    };
    for (const Row& row : rows) {
        ControlPoint cp;
        cp.search(row.datagram);
        auto answers = cp.collect(row.answers ? 1200ms : 1500ms, location);
        EXPECT_EQ(answers.size(), row.answers) << row.datagram;
        for (const auto& a : answers) {
            EXPECT_EQ(field(a.text, "USN"), row.usn);
        }
    }
}

// "/rpc/mode?stealth" takes the server off the network's view: goodbye, and
// no answers, until "/rpc/mode?alive" announces it again at once.
TEST(Discovery, StealthModeSilencesDiscoveryUntilAlive)
{
    ServerUnderTest server(PLENWICK_BIN);
    const std::string location =
        "LOCATION: http://127.0.0.1:" + std::to_string(server.port()) + "/";
    ControlPoint watcher(true);
    auto page = http_exchange(server.port(), "GET /rpc/mode?stealth HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->body, "SSDP disabled. Plenwick in stealth mode!\n");
    EXPECT_FALSE(watcher.collect(1000ms, "NTS: ssdp:byebye").empty());
    {
        ControlPoint cp;
        cp.search(msearch("upnp:rootdevice"));
        EXPECT_TRUE(cp.collect(1500ms, location).empty());
    }
    // Everything reachable by HTTP still works.
    EXPECT_FALSE(udn_of(server.port()).empty());

    page = http_exchange(server.port(), "GET /rpc/mode?alive HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->body, "SSDP enabled. Plenwick alive!\n");
    EXPECT_FALSE(watcher.collect(1000ms, "NTS: ssdp:alive").empty());
    ControlPoint cp;
    cp.search(msearch("upnp:rootdevice"));
    EXPECT_EQ(cp.collect(1200ms, location).size(), 3u);
}

TEST(Discovery, AliveAfterStartAndByebyeOnStop)
{
    ControlPoint group(true);
    // A friendly name of its own gives this server a device identifier that
    // no other server of the test run shares.
    ServerUnderTest server(PLENWICK_BIN,
                           {"-friendlyname", "Discovery Probe " + std::to_string(getpid())});
    const std::string udn = udn_of(server.port());
    ASSERT_FALSE(udn.empty());
    auto alive = group.collect(1000ms, "USN: " + udn);
    int alive_count = 0;
    for (const auto& d : alive) {
        alive_count += d.text.find("NTS: ssdp:alive") != std::string::npos;
    }
    EXPECT_GE(alive_count, 15) << "the first burst goes out right after start";

    server.process->send_signal(SIGTERM);
    auto gone = group.collect(2500ms, "USN: " + udn);
    int byebye = 0;
    for (const auto& d : gone) {
        byebye += d.text.find("NTS: ssdp:byebye") != std::string::npos;
    }
    EXPECT_EQ(byebye, 5);
    EXPECT_EQ(server.process->wait_exit(20s), 0);
}

TEST(Discovery, MusicEditionHasItsFixedDescription)
{
    ServerUnderTest server(TESSAMUND_BIN, {"-friendlyname", "Kitchen"});
    auto answer = http_exchange(server.port(), "GET /DeviceDescription.xml HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(answer);
    const std::string& doc = answer->body;
    EXPECT_NE(
        doc.find("<friendlyName>[" + host_name() + "] Tessamund by Corvalenso</friendlyName>"),
        std::string::npos)
        << doc;
    EXPECT_NE(doc.find("<modelNumber>1.0</modelNumber>"), std::string::npos);
    EXPECT_NE(doc.find("<presentationURL></presentationURL>"), std::string::npos);
    EXPECT_NE(doc.find("-5569410</UDN>"), std::string::npos) << "digits from the configured name";
}

} // namespace
