#include "db/db_fixture.h"
#include "eventing/event_delivery.h"
#include "eventing/eventing_thread.h"
#include "eventing/subscriptions.h"
#include "support/captured_connection.h"
#include "support/event_listener.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <regex>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace
{

struct Reply {
    std::string text;
    int status = 0;
    std::string sid; // the number after "SID: uuid:"
};

Reply request(const std::string& method, const std::string& url, const std::string& headers,
              const char* client = "127.0.0.1")
{
    CapturedConnection cap(url.c_str());
    cap.c.method = method == "SUBSCRIBE" ? HTTP_SUBSCRIBE : HTTP_UNSUBSCRIBE;
    snprintf(cap.c.client_ip.data(), cap.c.client_ip.size(), "%s", client);
    const std::string head =
        method + " " + url + " HTTP/1.1\r\nHOST: 127.0.0.1:9000\r\n" + headers + "\r\n";
    http_set_head(&cap.c, head);
    if (method == "SUBSCRIBE") {
        subscribe_handler(&cap.c);
    } else {
        unsubscribe_handler(&cap.c);
    }
    Reply r;
    r.text = cap.sent();
    if (r.text.size() > 12) {
        r.status = std::stoi(r.text.substr(9, 3));
    }
    std::smatch m;
    if (std::regex_search(r.text, m, std::regex("SID: uuid:([0-9]+)"))) {
        r.sid = m[1];
    }
    return r;
}

Reply subscribe(const std::string& callback, const std::string& url = "/ContentDirectory/Event",
                const std::string& extra = "TIMEOUT: Second-1800\r\n")
{
    return request("SUBSCRIBE", url, "CALLBACK: " + callback + "\r\nNT: upnp:event\r\n" + extra);
}

Reply renew(const std::string& sid, int timeout)
{
    return request("SUBSCRIBE", "/ContentDirectory/Event",
                   "SID: uuid:" + sid + "\r\nTIMEOUT: Second-" + std::to_string(timeout) + "\r\n");
}

Reply unsubscribe(const std::string& sid)
{
    return request("UNSUBSCRIBE", "/ContentDirectory/Event", "SID: uuid:" + sid + "\r\n");
}

// A TCP socket bound to a free loopback port, listening when asked; the
// port through port.
int loopback_socket(bool listening, int& port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (listening) {
        listen(s, 4);
    }
    socklen_t len = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    return s;
}

class Eventing : public DbTest
{
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        db_create();
        eventing_start();
    }
    void TearDown() override
    {
        eventing_stop();
        DbTest::TearDown();
    }
};

TEST_F(Eventing, SubscriptionGetsTheInitialEventThenNumberedEvents)
{
    EventListener listener;
    const auto start = std::chrono::steady_clock::now();
    Reply r = subscribe(listener.callback());
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.text.find("\r\nTIMEOUT: second-300\r\n"), std::string::npos) << r.text;
    EXPECT_NE(r.text.find("\r\nSERVER: Linux/2.x.x, UPnP/1.0, Corvalenso UPnP SDK/1.0\r\n"),
              std::string::npos);
    ASSERT_FALSE(r.sid.empty());

    auto first = listener.event(0, 3s);
    ASSERT_TRUE(first);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
    EXPECT_EQ(first->head.substr(0, first->head.find("\r\n")), "NOTIFY /evt HTTP/1.1");
    EXPECT_EQ(first->header("HOST"), "127.0.0.1:" + std::to_string(listener.port));
    EXPECT_EQ(first->header("SID"), "uuid:" + r.sid);
    EXPECT_EQ(first->header("SEQ"), "0");
    EXPECT_EQ(first->header("NT"), "upnp:event");
    EXPECT_EQ(first->header("NTS"), "upnp:propchange");
    EXPECT_EQ(first->body, content_directory_event_body(db_system_update_id(), nullptr));

    event_content_directory(-1, 5, "3,1");
    auto second = listener.event(1, 3s);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->header("SEQ"), "1");
    EXPECT_NE(second->body.find("<ContainerUpdateIDs>3,1</ContainerUpdateIDs>"), std::string::npos);
    EXPECT_EQ(listener.count(), 2u) << "no ConnectionManager event for this subscription";
}

TEST_F(Eventing, ConnectionManagerSubscriptionGetsTheProtocolLists)
{
    EventListener listener;
    ASSERT_EQ(subscribe(listener.callback(), "/ConnectionManager/Event").status, 200);
    auto first = listener.event(0, 3s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->body, connection_manager_event_body(kEventSourceProtocols, ""));
    event_content_directory(-1, 5, "3,1");
    EXPECT_FALSE(listener.event(1, 500ms));
}

TEST_F(Eventing, RenewalAndUnsubscribe)
{
    EventListener listener;
    Reply r = subscribe(listener.callback());
    Reply renewed = renew(r.sid, 900);
    EXPECT_EQ(renewed.status, 200);
    EXPECT_NE(renewed.text.find("\r\nTIMEOUT: Second-900\r\n"), std::string::npos);
    EXPECT_EQ(renewed.sid, r.sid);
    EXPECT_EQ(renew("4242424", 900).status, 412);

    // No SID: no answer at all.
    EXPECT_EQ(request("UNSUBSCRIBE", "/ContentDirectory/Event", "").text, "");
    Reply gone = unsubscribe(r.sid);
    EXPECT_EQ(gone.status, 200);
    EXPECT_NE(gone.text.find("Content-Type: text/xml; charset=\"UTF-8\""), std::string::npos);
    EXPECT_EQ(unsubscribe(r.sid).status, 412);
    EXPECT_EQ(renew(r.sid, 900).status, 412);
    EXPECT_EQ(subscription_count(), 0);
}

TEST_F(Eventing, BadCallbacksAreRefused)
{
    EventListener listener;
    EXPECT_EQ(request("SUBSCRIBE", "/ContentDirectory/Event", "NT: upnp:event\r\n").status, 412);
    EXPECT_EQ(subscribe("http://127.0.0.1:1/evt").status, 412) << "no '<'";
    // A callback that points at anyone but the subscriber would let anybody
    // on the network aim the server's requests at a third party.
    EXPECT_EQ(subscribe("<http://10.0.0.5:4004/evt>").status, 412);
    EXPECT_EQ(subscribe(listener.callback() + "<http://10.0.0.5:4004/evt>").status, 412);
    EXPECT_EQ(subscribe("<http://127.0.0.1:4004>").status, 412) << "no path to deliver to";
    EXPECT_EQ(subscription_count(), 0);
}

TEST_F(Eventing, TwentyFirstSubscriptionIsRefusedUntilOneLeaves)
{
    EventListener listener;
    std::vector<std::string> sids;
    for (int i = 0; i < kMaxSubscriptions; ++i) {
        Reply r = subscribe(listener.callback());
        ASSERT_EQ(r.status, 200) << i;
        sids.push_back(r.sid);
    }
    std::sort(sids.begin(), sids.end());
    EXPECT_EQ(std::unique(sids.begin(), sids.end()), sids.end()) << "ids are unique";
    EXPECT_EQ(subscribe(listener.callback()).status, 500);
    EXPECT_EQ(unsubscribe(sids[7]).status, 200);
    EXPECT_EQ(subscribe(listener.callback()).status, 200);
}

TEST_F(Eventing, SubscriptionExpiresWithoutRenewal)
{
    EventListener listener;
    Reply r = subscribe(listener.callback());
    ASSERT_TRUE(listener.event(0, 3s));
    // The control point asks for one second and then leaves silently.
    EXPECT_EQ(renew(r.sid, 1).status, 200);
    std::this_thread::sleep_for(1200ms);
    event_content_directory(-1, 9, "");
    EXPECT_FALSE(listener.event(1, 500ms));
    EXPECT_EQ(renew(r.sid, 300).status, 412);
    EXPECT_EQ(subscription_count(), 0);
}

TEST_F(Eventing, NextCallbackUrlIsTriedWhenOneRefuses)
{
    // A port that nobody listens on: bind one and close it again.
    int closed_port = 0;
    close(loopback_socket(false, closed_port));

    EventListener listener;
    ASSERT_EQ(subscribe("<http://127.0.0.1:" + std::to_string(closed_port) + "/a>" +
                        listener.callback("/b"))
                  .status,
              200);
    auto ev = listener.event(0, 3s);
    ASSERT_TRUE(ev);
    EXPECT_EQ(ev->head.substr(0, ev->head.find("\r\n")), "NOTIFY /b HTTP/1.1");
}

TEST_F(Eventing, SubscriptionToNeitherServiceGetsNoEvents)
{
    EventListener listener;
    EXPECT_EQ(subscribe(listener.callback(), "/Other/Event").status, 200);
    event_content_directory(-1, 9, "");
    EXPECT_FALSE(listener.event(0, 500ms));
    EXPECT_EQ(subscription_count(), 1);
}

TEST_F(Eventing, SilentSubscriberDoesNotHoldUpTheOthers)
{
    // Connections to this socket complete but are never served.
    int silent_port = 0;
    const int silent = loopback_socket(true, silent_port);
    EventListener listener;
    // The table is filled from its end: the silent one is delivered first.
    subscribe("<http://127.0.0.1:" + std::to_string(silent_port) + "/x>");
    subscribe(listener.callback());
    ASSERT_TRUE(listener.event(0, 3s));
    const auto start = std::chrono::steady_clock::now();
    event_content_directory(-1, 9, "");
    ASSERT_TRUE(listener.event(1, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    close(silent);
}

TEST_F(Eventing, DisabledEventingAnswersNothing)
{
    EventListener listener;
    eventing_stop();
    EXPECT_EQ(subscribe(listener.callback()).text, "");
    EXPECT_EQ(unsubscribe("1").text, "");
}

TEST_F(Eventing, ChangesWithinTwoSecondsMakeOneEvent)
{
    EventListener listener;
    ASSERT_EQ(subscribe(listener.callback()).status, 200);
    ASSERT_TRUE(listener.event(0, 3s));
    const uint32_t before = db_system_update_id();
    add_music(file("a/one.mp3"), "One", "Artist A", "Album A");
    add_music(file("b/two.mp3"), "Two", "Artist B", "Album B");
    ThreadFlag running{0};
    ASSERT_TRUE(eventing_thread_start(running));
    auto ev = listener.event(1, 5s);
    ASSERT_TRUE(ev);
    EXPECT_EQ(ev->header("SEQ"), "1");
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(ev->body, m, std::regex("<SystemUpdateID>([0-9]+)</SystemUpdateID>")));
    EXPECT_GT(std::stoul(m[1]), before);
    ASSERT_TRUE(std::regex_search(ev->body, m,
                                  std::regex("<ContainerUpdateIDs>(.*)</ContainerUpdateIDs>")));
    std::string ids = m[1];
    // The folders of both files are in the one event.
    std::string folder_a, folder_b;
    {
        const DbLock lock = db_lock();
        folder_a = std::to_string(item_by_path(lock, dir.file("a/one.mp3"))->parent) + ",";
        folder_b = std::to_string(item_by_path(lock, dir.file("b/two.mp3"))->parent) + ",";
    }
    EXPECT_NE(("," + ids).find("," + folder_a), std::string::npos) << ids;
    EXPECT_NE(("," + ids).find("," + folder_b), std::string::npos) << ids;
    EXPECT_FALSE(listener.event(2, 2500ms)) << "nothing changed since";
    thread_request_stop(running);
    for (int i = 0; i < 30 && running != 0; ++i) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(running, 0);
}

} // namespace
