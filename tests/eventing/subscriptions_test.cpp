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
#include <set>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace
{

struct Reply {
    std::string text;
    int status = 0;
    std::string sid; // "uuid:..."
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
    if (std::regex_search(r.text, m, std::regex("SID: (uuid:[0-9a-f-]+)"))) {
        r.sid = m[1];
    }
    return r;
}

Reply subscribe(const std::string& callback, const std::string& url = "/ContentDirectory/Event",
                const std::string& extra = "TIMEOUT: Second-1800\r\n",
                const char* client = "127.0.0.1")
{
    return request("SUBSCRIBE", url, "CALLBACK: " + callback + "\r\nNT: upnp:event\r\n" + extra,
                   client);
}

Reply renew(const std::string& sid, const std::string& timeout)
{
    return request("SUBSCRIBE", "/ContentDirectory/Event",
                   "SID: " + sid + "\r\nTIMEOUT: " + timeout + "\r\n");
}

Reply renew(const std::string& sid, int timeout)
{
    return renew(sid, "Second-" + std::to_string(timeout));
}

Reply unsubscribe(const std::string& sid)
{
    return request("UNSUBSCRIBE", "/ContentDirectory/Event", "SID: " + sid + "\r\n");
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
    EXPECT_EQ(first->header("SID"), r.sid);
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
    EXPECT_EQ(renew("uuid:0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9", 900).status, 412);

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
    EXPECT_EQ(unsubscribe("uuid:0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9").text, "");
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

// A loopback port whose connections never complete: its listen queue is
// full and nobody accepts, so further SYNs are dropped, as for a subscriber
// that has left the network.
struct JammedPort {
    JammedPort()
    {
        listener = loopback_socket(false, port);
        listen(listener, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        for (int& filler : fillers) {
            filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(filler, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        }
        std::this_thread::sleep_for(50ms);
    }
    ~JammedPort()
    {
        for (int filler : fillers) {
            close(filler);
        }
        close(listener);
    }
    std::string callbacks(int n) const
    {
        std::string text;
        for (int i = 0; i < n; ++i) {
            text += "<http://127.0.0.1:" + std::to_string(port) + "/j" + std::to_string(i) + ">";
        }
        return text;
    }
    int listener = -1;
    int port = 0;
    int fillers[2] = {-1, -1};
};

TEST_F(Eventing, UserInformationCannotRedirectEvents)
{
    // The check and the delivery once read different hosts out of such a URL.
    EventListener other("127.0.0.2");
    const std::string trick = "<http://127.0.0.1:1@127.0.0.2:" + std::to_string(other.port) + "/x>";
    EXPECT_EQ(subscribe(trick).status, 412);
    EXPECT_EQ(subscribe(trick, "/ContentDirectory/Event", "", "127.0.0.2").status, 412);
    EXPECT_EQ(subscribe("<http://localhost:" + std::to_string(other.port) + "/x>").status, 412)
        << "names could resolve anywhere";
    event_content_directory(-1, 9, "");
    EXPECT_FALSE(other.event(0, 500ms));
    EXPECT_EQ(subscription_count(), 0);
}

TEST_F(Eventing, UnreachableSubscribersDelayNobody)
{
    JammedPort jam;
    int silent_port = 0;
    const int silent = loopback_socket(true, silent_port); // accepts, never answers
    EventListener listener;
    ASSERT_EQ(subscribe(listener.callback()).status, 200);
    ASSERT_TRUE(listener.event(0, 3s));
    // Later subscribers, each with many URLs that go nowhere.
    ASSERT_EQ(subscribe(jam.callbacks(30)).status, 200);
    ASSERT_EQ(subscribe(jam.callbacks(30)).status, 200);
    ASSERT_EQ(subscribe("<http://127.0.0.1:" + std::to_string(silent_port) + "/s>").status, 200);
    std::this_thread::sleep_for(1200ms); // their initial events are over

    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> done{false};
    std::chrono::steady_clock::duration took{};
    std::thread sender([&] {
        event_content_directory(-1, 9, "");
        took = std::chrono::steady_clock::now() - start;
        done = true;
    });
    auto ev = listener.event(1, 3s);
    const auto arrived = std::chrono::steady_clock::now() - start;
    sender.join();
    ASSERT_TRUE(ev);
    EXPECT_LT(arrived, 1500ms);
    // However many URLs, one subscriber gets one budget per event.
    EXPECT_LT(took, std::chrono::milliseconds(kNotifyBudgetMs + 500));
    close(silent);
}

TEST_F(Eventing, UrlsBeyondTheFifthAreIgnored)
{
    int closed_port = 0;
    close(loopback_socket(false, closed_port));
    const std::string refused = "<http://127.0.0.1:" + std::to_string(closed_port) + "/r>";
    EventListener fifth, sixth;
    ASSERT_EQ(subscribe(refused + refused + refused + refused + fifth.callback()).status, 200);
    ASSERT_EQ(subscribe(refused + refused + refused + refused + refused + sixth.callback()).status,
              200);
    EXPECT_TRUE(fifth.event(0, 3s));
    EXPECT_FALSE(sixth.event(0, 1s));
}

TEST_F(Eventing, EventsGoOutInSubscriptionOrder)
{
    int port = 0;
    close(loopback_socket(false, port));
    const std::string callback = "<http://127.0.0.1:" + std::to_string(port) + "/o>";
    std::vector<std::string> sids;
    for (int i = 0; i < 4; ++i) {
        sids.push_back(subscribe(callback).sid);
    }
    unsubscribe(sids[1]);
    sids.erase(sids.begin() + 1);
    sids.push_back(subscribe(callback).sid); // takes the freed entry
    std::vector<std::string> order;
    for (const SubscriptionTarget& t : subscriptions_take_events(-1, EVENT_CONTENT_DIRECTORY, {})) {
        order.push_back(t.sid);
    }
    EXPECT_EQ(order, sids);
}

TEST_F(Eventing, GrantedTimeoutIsCapped)
{
    Reply r = subscribe("<http://127.0.0.1:9/evt>");
    ASSERT_EQ(r.status, 200);
    struct Row {
        const char* asked;
        const char* granted;
    } rows[] = {
        {"Second-2147483647", "Second-1800"}, {"Second-99999999999999999999", "Second-1800"},
        {"Second-1801", "Second-1800"},       {"Second-1800", "Second-1800"},
        {"Second-60", "Second-60"},           {"Second-infinite", "Second-300"},
        {"Second-0", "Second-300"},           {"Second--5", "Second-300"},
        {"infinite", "Second-300"},
    };
    for (const Row& row : rows) {
        Reply renewed = renew(r.sid, row.asked);
        EXPECT_EQ(renewed.status, 200) << row.asked;
        EXPECT_NE(renewed.text.find(std::string("\r\nTIMEOUT: ") + row.granted + "\r\n"),
                  std::string::npos)
            << row.asked << "\n"
            << renewed.text;
    }
    // No TIMEOUT field at all: the usual time.
    Reply bare = request("SUBSCRIBE", "/ContentDirectory/Event", "SID: " + r.sid + "\r\n");
    EXPECT_NE(bare.text.find("\r\nTIMEOUT: Second-300\r\n"), std::string::npos) << bare.text;
}

// A subscription from host, whose events would go to host itself.
Reply subscribe_from(const std::string& host)
{
    return subscribe("<http://" + host + ":9/evt>", "/ContentDirectory/Event", "", host.c_str());
}

// One address holds a small share of the table: beyond it, its own
// subscription that expires soonest gives way, and its other ones are still
// renewed. Three hosts that ask for many leave room for a fourth.
TEST_F(Eventing, EachAddressHoldsASmallShare)
{
    std::vector<std::string> own;
    for (int i = 0; i < kMaxSubscriptionsPerAddress; ++i) {
        own.push_back(subscribe_from("127.0.0.1").sid);
        ASSERT_FALSE(own.back().empty()) << i;
    }
    for (size_t i = 1; i < own.size(); ++i) {
        ASSERT_EQ(renew(own[i], 1800).status, 200) << i;
    }
    EXPECT_EQ(subscribe_from("127.0.0.1").status, 200);
    EXPECT_EQ(subscription_count(), kMaxSubscriptionsPerAddress);
    EXPECT_EQ(renew(own[0], 1800).status, 412) << "the one that expires soonest gave way";
    for (size_t i = 1; i < own.size(); ++i) {
        EXPECT_EQ(renew(own[i], 1800).status, 200) << i;
    }

    for (const char* host : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(subscribe_from(host).status, 200) << host << " " << i;
        }
    }
    EXPECT_EQ(subscription_count(), 4 * kMaxSubscriptionsPerAddress);
    EXPECT_EQ(subscribe_from("127.0.0.5").status, 200) << "a fourth control point";
}

// A full table makes room for a newcomer: the subscription that expires
// soonest of the addresses holding the most gives way, not one of an
// address that holds less, even when that one expires sooner.
TEST_F(Eventing, FullTableTakesFromTheAddressWithTheMost)
{
    constexpr int kFull = kMaxSubscriptions / kMaxSubscriptionsPerAddress - 1;
    constexpr int kSingles = kMaxSubscriptions - kFull * kMaxSubscriptionsPerAddress;
    std::vector<std::string> full_sids;
    for (int h = 0; h < kFull; ++h) {
        for (int i = 0; i < kMaxSubscriptionsPerAddress; ++i) {
            Reply r = subscribe_from("127.0.1." + std::to_string(h + 1));
            ASSERT_EQ(r.status, 200) << h << " " << i;
            full_sids.push_back(r.sid);
        }
    }
    std::vector<std::string> single_sids;
    for (int h = 0; h < kSingles; ++h) {
        Reply r = subscribe_from("127.0.2." + std::to_string(h + 1));
        ASSERT_EQ(r.status, 200) << h;
        single_sids.push_back(r.sid);
    }
    ASSERT_EQ(subscription_count(), kMaxSubscriptions);
    // Every entry but two is renewed for long: a single host's stays the
    // soonest to expire, one of a full host's the next.
    for (const std::string& sid : full_sids) {
        ASSERT_EQ(renew(sid, sid == full_sids[5] ? 900 : 1800).status, 200);
    }
    for (size_t i = 1; i < single_sids.size(); ++i) {
        ASSERT_EQ(renew(single_sids[i], 1800).status, 200);
    }

    EXPECT_EQ(subscribe_from("127.0.3.1").status, 200);
    EXPECT_EQ(subscription_count(), kMaxSubscriptions);
    EXPECT_EQ(renew(full_sids[5], 1800).status, 412);
    EXPECT_EQ(renew(single_sids[0], 1800).status, 200);
}

// Many addresses with one subscription each cannot push out a control point
// that holds its two (one per service): once no address holds more than
// every address keeps, a newcomer is refused.
TEST_F(Eventing, FullTableOfSmallHoldersRefusesTheNewcomer)
{
    const std::string victim = "127.0.5.1";
    std::vector<std::string> kept;
    for (int i = 0; i < kKeptSubscriptionsPerAddress; ++i) {
        kept.push_back(subscribe_from(victim).sid);
    }
    for (int h = 0; subscription_count() < kMaxSubscriptions; ++h) {
        ASSERT_EQ(subscribe_from("127.0.6." + std::to_string(h + 1)).status, 200) << h;
    }
    EXPECT_EQ(subscribe_from("127.0.7.1").status, 500);
    for (const std::string& sid : kept) {
        EXPECT_EQ(renew(sid, 1800).status, 200);
    }
}

TEST_F(Eventing, SidsAreRandomAndMatchedExactly)
{
    EventListener listener;
    Reply a = subscribe(listener.callback());
    Reply b = subscribe(listener.callback());
    ASSERT_EQ(a.status, 200);
    EXPECT_TRUE(subscription_sid_well_formed(a.sid)) << a.sid;
    EXPECT_NE(a.sid, b.sid);
    // Nothing near a known id reaches it.
    std::string near = a.sid;
    near.back() = near.back() == '0' ? '1' : '0';
    EXPECT_EQ(unsubscribe(near).status, 412);
    EXPECT_EQ(unsubscribe(a.sid.substr(0, 20)).status, 412);
    std::string upper = a.sid;
    for (char& ch : upper) {
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    }
    EXPECT_EQ(renew(upper, 300).status, 412);
    EXPECT_EQ(unsubscribe(a.sid + "0").status, 412);
    EXPECT_EQ(subscription_count(), 2);
    EXPECT_EQ(unsubscribe(a.sid).status, 200);
}

TEST(SubscriptionIds, VersionFourUuidsFromTheRandomSource)
{
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::string sid = subscription_new_sid();
        ASSERT_TRUE(subscription_sid_well_formed(sid)) << sid;
        EXPECT_EQ(sid[19], '4') << sid;
        EXPECT_NE(std::string("89ab").find(sid[24]), std::string::npos) << sid;
        seen.insert(sid);
    }
    EXPECT_EQ(seen.size(), 2000u);
    for (const char* bad :
         {"", "uuid:", "uuid:42", "uuid:0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9",
          "uuid:0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f", "0f1e2d3c-4b5a-4978-8695"}) {
        EXPECT_FALSE(subscription_sid_well_formed(bad)) << bad;
    }
}

} // namespace
