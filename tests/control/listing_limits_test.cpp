// The arguments of Browse and Search against their limits: oversized ones
// are answered with their fault at once and leave the tree lock free, the
// ui4 numbers neither wrap nor pass as numbers when they are not, and a
// stopping server ends a listing in progress.
#include "control/browse.h"
#include "control/control_limits.h"
#include "control/search.h"
#include "control/soap.h"
#include "db/db_fixture.h"
#include "support/captured_connection.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace
{

struct Answer {
    int fault = 0;
    int returned = -1;
    int total = -1;
    std::string body;
};

int number_in(const std::string& body, const std::string& element)
{
    const size_t at = body.find("<" + element + ">");
    return at == std::string::npos ? -1 : atoi(body.c_str() + at + element.size() + 2);
}

// Posts the arguments of an action to the control handler.
Answer post(const char* action, const std::string& inner)
{
    CapturedConnection cap("/ContentDirectory/Control");
    HttpConnection& c = cap.c;
    c.method = HTTP_POST;
    strcpy(c.client_ip.data(), "10.0.0.1");
    strcpy(c.base_url.data(), "http://h:1/");
    const std::string head = std::string("POST /ContentDirectory/Control HTTP/1.1\r\nSOAPACTION: "
                                         "\"urn:schemas-upnp-org:service:ContentDirectory:1#") +
                             action + "\"\r\n\r\n";
    http_set_head(&c, head);
    const std::string body = std::string(kSoapEnvelopeStart) + "<s:Body><u:" + action + ">" +
                             inner + "</u:" + action + "></s:Body></s:Envelope>";
    c.body = body.c_str();
    c.body_length = static_cast<int64_t>(body.size());
    Answer a;
    a.body = cap.run([&] { return soap_control_handler(&c); });
    a.fault = std::max(0, number_in(a.body, "errorCode"));
    a.returned = number_in(a.body, "NumberReturned");
    a.total = number_in(a.body, "TotalMatches");
    return a;
}

std::string element(const std::string& name, const std::string& value)
{
    return "<" + name + ">" + value + "</" + name + ">";
}

std::string browse_args(NodeId id, const std::string& start, const std::string& count,
                        const std::string& extra = "")
{
    return element("ObjectID", std::to_string(id)) + element("BrowseFlag", "BrowseDirectChildren") +
           element("Filter", "dc:title") + element("StartingIndex", start) +
           element("RequestedCount", count) + extra;
}

std::string search_args(const std::string& criteria, const std::string& extra = "")
{
    return element("ContainerID", "0") + element("SearchCriteria", criteria) +
           element("Filter", "dc:title") + extra;
}

// text repeated n times, joined by glue.
std::string repeated(const std::string& text, int n, const std::string& glue)
{
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += (i ? glue : "") + text;
    }
    return out;
}

class ListingLimits : public DbTest
{
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        db_create();
    }
    // count tracks in "All Tracks"; its id.
    NodeId tracks(int count)
    {
        for (int i = 0; i < count; ++i) {
            const std::string path = file("t/" + std::to_string(i) + ".mp3");
            EXPECT_EQ(
                add_music(path, ("Song " + std::to_string(i)).c_str(), "Band", "Disc", i % 20),
                DB_ADDED);
        }
        const DbLock lock = db_lock();
        return db_tree(lock).all_tracks->id;
    }
    // Posts on another thread; the answer, once it came within a generous
    // deadline (a request that holds the tree for minutes does not).
    Answer post_in_time(const char* action, const std::string& inner)
    {
        auto pending = std::async(std::launch::async, [&] { return post(action, inner); });
        if (pending.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << action << " still runs after 20 s";
            pending.wait();
        }
        return pending.get();
    }
};

TEST_F(ListingLimits, OversizedArgumentsAreRefusedAtOnceAndLeaveTheTreeFree)
{
    const NodeId all = tracks(3000);
    const std::string many_conditions = repeated("dc:title contains \"zq\"", 20000, " or ");
    const std::string many_keys = repeated("+upnp:genre", 20000, ",");
    const std::string long_filter(300000, 'x');
    struct Row {
        const char* what;
        const char* action;
        std::string inner;
        int fault;
    };
    const Row rows[] = {
        {"criteria of 500 KB", "Search", search_args(many_conditions), 708},
        // A level reads 127 symbols at most; groups hold more conditions.
        {"criteria of 66 conditions in groups", "Search",
         search_args(repeated("(dc:title = \"a\" or dc:title = \"b\")",
                              kSearchMaxConditions / 2 + 1, " or ")),
         708},
        {"20 000 sort keys on Search", "Search",
         search_args("*", element("SortCriteria", many_keys)), 709},
        {"20 000 sort keys on Browse", "Browse",
         browse_args(all, "0", "0", element("SortCriteria", many_keys)), 709},
        {"17 sort keys", "Browse",
         browse_args(all, "0", "0",
                     element("SortCriteria", repeated("+dc:title", kSortMaxKeys + 1, ","))),
         709},
        {"sort criteria of 2 KiB", "Browse",
         browse_args(all, "0", "0", element("SortCriteria", "+dc:title," + std::string(2048, 'y'))),
         709},
        {"Filter of 300 KB on Browse", "Browse",
         element("ObjectID", std::to_string(all)) + element("BrowseFlag", "BrowseMetadata") +
             element("Filter", long_filter),
         402},
        {"Filter of 300 KB on Search", "Search",
         element("ContainerID", "0") + element("SearchCriteria", "*") +
             element("Filter", long_filter),
         402},
    };
    for (const Row& row : rows) {
        const Answer a = post_in_time(row.action, row.inner);
        EXPECT_EQ(a.fault, row.fault) << row.what;
        EXPECT_TRUE(db_lock_is_free()) << row.what;
    }
    // At the limits the requests are served.
    const Answer at_limit = post_in_time(
        "Search", search_args(repeated("(dc:title = \"Song 7\" or dc:title = \"x\")",
                                       kSearchMaxConditions / 2, " or "),
                              element("SortCriteria", repeated("-dc:title", kSortMaxKeys, ","))));
    EXPECT_EQ(at_limit.fault, 0);
    EXPECT_GT(at_limit.total, 0) << "the track and its places in the views";
    EXPECT_EQ(post("Browse", element("ObjectID", std::string(2048, '1')) +
                                 element("BrowseFlag", "BrowseMetadata"))
                  .fault,
              402);
}

TEST_F(ListingLimits, CountsAreUi4AndNeverWrap)
{
    const NodeId all = tracks(5);
    struct Row {
        const char* start;
        const char* count;
        int fault;
        int returned;
    };
    const Row rows[] = {
        {"2147483648", "0", 0, 0}, {"4294967295", "0", 0, 0}, {"4", "4294967295", 0, 1},
        {"0", "4294967295", 0, 5}, {"0", "2147483648", 0, 5}, {" 1 ", "", 0, 4},
        {"abc", "0", 402, -1},     {"-1", "0", 402, -1},      {"4294967296", "0", 402, -1},
        {"0", "abc", 402, -1},     {"0", "-1", 402, -1},      {"0", "4294967296", 402, -1},
        {"12abc", "0", 402, -1},
    };
    for (const Row& row : rows) {
        for (const char* action : {"Browse", "Search"}) {
            const std::string numbers =
                element("StartingIndex", row.start) + element("RequestedCount", row.count);
            const Answer a =
                std::string(action) == "Browse"
                    ? post(action, browse_args(all, row.start, row.count))
                    : post(action, element("ContainerID", std::to_string(all)) +
                                       element("SearchCriteria", "upnp:class derivedfrom "
                                                                 "\"object.item\"") +
                                       numbers);
            EXPECT_EQ(a.fault, row.fault) << action << " " << row.start << "/" << row.count;
            if (row.fault == 0) {
                EXPECT_EQ(a.returned, row.returned) << action << " " << row.start;
                EXPECT_EQ(a.total, 5) << action << " " << row.start;
            }
        }
    }
}

// A Search of a large library lets the tree lock go now and then: it finds
// the same matches, and when the tree changed while the lock was free it
// says so instead of using nodes that may be gone.
TEST_F(ListingLimits, APausingSearchFindsTheSameOrNoticesAChange)
{
    tracks(3000);
    for (const char* text : {"upnp:class derivedfrom \"object.item\"", "dc:title contains \"9\"",
                             "upnp:class derivedfrom \"object.container\" or dc:title = \"x\""}) {
        const SearchCriteria criteria = search_compile(text);
        DbLock lock = db_lock();
        const DbContainer* root = db_tree(lock).root;
        std::vector<DbNode*> held;
        ASSERT_EQ(search_collect(lock, held, root, criteria, false), 0) << text;
        DbPause pause = db_pause_start(lock);
        pause.since = {}; // always due: the lock is let go at every check
        std::vector<DbNode*> paused;
        ASSERT_EQ(search_collect(lock, paused, root, criteria, false, nullptr, &pause), 0);
        EXPECT_GT(pause.pauses, 0) << text;
        std::sort(held.begin(), held.end());
        std::sort(paused.begin(), paused.end());
        EXPECT_EQ(paused, held) << text;

        DbPause stale = db_pause_start(lock);
        stale.since = {};
        --stale.changes;
        std::vector<DbNode*> ignored;
        EXPECT_EQ(search_collect(lock, ignored, root, criteria, false, nullptr, &stale),
                  kSearchTreeChanged)
            << text;
    }
    // Through the action, with the tree changing beside it, the answer is
    // still whole.
    std::atomic<bool> changing{true};
    std::thread writer([&] {
        while (changing) {
            {
                const DbLock lock = db_lock();
                db_mark_changed(lock, db_tree(lock).all_tracks);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    const Answer a = post("Search", "<ContainerID>0</ContainerID><SearchCriteria>upnp:class "
                                    "derivedfrom &quot;object.item&quot;</SearchCriteria>"
                                    "<Filter>*</Filter><StartingIndex>0</StartingIndex>"
                                    "<RequestedCount>10</RequestedCount><SortCriteria>+dc:title"
                                    "</SortCriteria>");
    changing = false;
    writer.join();
    EXPECT_EQ(a.fault, 0);
    EXPECT_EQ(a.returned, 10);
    EXPECT_GE(a.total, 3000);
}

TEST_F(ListingLimits, AStoppingServerEndsAListingInProgress)
{
    const NodeId all = tracks(3000);
    ThreadFlag running{1};
    for (const bool search : {true, false}) {
        CapturedConnection cap("/ContentDirectory/Control");
        cap.c.stop_flag = &running;
        strcpy(cap.c.base_url.data(), "http://h:1/");
        running = 0; // the server is asked to stop
        const std::string sent = cap.run([&] {
            return search ? search_action(&cap.c, "0", "*", "*", 0, 0, nullptr)
                          : browse_direct_children(&cap.c, std::to_string(all).c_str(), "*", 0, 0,
                                                   "+dc:title");
        });
        EXPECT_NE(cap.result, 0) << (search ? "Search" : "Browse");
        EXPECT_EQ(sent, "") << "nothing is answered to a connection that is closing";
        EXPECT_TRUE(db_lock_is_free());
        running = 1;
    }
}

} // namespace
