#include "http/http_registry.h"

#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

template <int N> int handler(HttpConnection*)
{
    return 100 + N;
}

// The server's own registration order, each entry answering its row number.
void register_server_table()
{
    http_registry_clear();
    http_register_handler(handler<1>, 3, "/DeviceDescription.xml");
    http_register_handler(handler<2>, 3, "/ConnectionManager.xml");
    http_register_handler(handler<3>, 4, "/ConnectionManager/Control");
    http_register_handler(handler<4>, 3, "/ContentDirectory.xml");
    http_register_handler(handler<5>, 4, "/ContentDirectory/Control");
    http_register_handler(handler<6>, 8, nullptr);
    http_register_handler(handler<7>, 16, nullptr);
    http_register_handler(handler<8>, 3, "/NetgearUpgrade");
    http_register_handler(handler<9>, 3, "/file%3A");
    http_register_handler(handler<10>, 3, "/picture");
    http_register_handler(handler<11>, 3, "/disk");
    http_register_handler(handler<12>, 3, "/continue");
    http_register_handler(handler<18>, 7, "/configpage");
    http_register_handler(handler<19>, 1, "/rescan");
}

int dispatch(int method, const char* url)
{
    HttpConnection c;
    c.method = method;
    strncpy(c.url.data(), url, c.url.size() - 1);
    int result = http_dispatch(&c);
    return result == kHttpNoHandler ? -1 : result - 100;
}

TEST(HttpDispatch, FirstMatchingEntryByMaskAndPrefix)
{
    register_server_table();
    struct Row {
        int method;
        const char* url;
        int entry;
    } rows[] = {
        {HTTP_GET, "/ContentDirectory.xml", 4},
        {HTTP_HEAD, "/ContentDirectory.xml", 4},
        {HTTP_POST, "/ContentDirectory.xml", -1},
        {HTTP_GET, "/ContentDirectory/Control", -1},
        {HTTP_POST, "/ContentDirectory/Control", 5},
        {HTTP_SUBSCRIBE, "/anything/at/all", 6},
        {HTTP_UNSUBSCRIBE, "/ContentDirectory/Event", 7},
        {0, "/ContentDirectory.xml", 4},
        {0, "/disk/12.mp3", 6},
        {HTTP_GET, "/disk/12.mp3", 11},
        {HTTP_GET, "/diskette", 11},
        {HTTP_GET, "/DISK/12.mp3", -1},
        {HTTP_HEAD, "/rescan", -1},
        {HTTP_GET, "/rescan", 19},
        {HTTP_POST, "/configpage/index.htm", 18},
        {HTTP_NOTIFY, "/disk/1", -1},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(dispatch(row.method, row.url), row.entry) << row.method << " " << row.url;
    }
}

TEST(HttpDispatch, NullHandlerIsNotRegisteredAndLongPrefixIsCut)
{
    http_registry_clear();
    http_register_handler(nullptr, 1, "/x");
    EXPECT_EQ(dispatch(HTTP_GET, "/x"), -1);

    const std::string long_prefix = "/" + std::string(600, 'a');
    http_register_handler(handler<1>, 1, long_prefix.c_str());
    // The stored prefix is 511 characters; a target of 255 never reaches it.
    EXPECT_EQ(dispatch(HTTP_GET, long_prefix.substr(0, 255).c_str()), -1);
}

TEST(HttpDispatch, FullTableIsCritical)
{
    EXPECT_EXIT(
        {
            http_registry_clear();
            for (int i = 0; i < kMaxUrlHandlers; ++i) {
                http_register_handler(handler<1>, 1, "/x");
            }
            dup2(2, 1);
            http_register_handler(handler<1>, 1, "/y");
        },
        ::testing::ExitedWithCode(255), "too many callback handlers registered /y");
}

int g_ssdp_calls = 0;
void count_datagram(const char*, SsdpInterface*, const sockaddr_in*)
{
    ++g_ssdp_calls;
}

TEST(SsdpDispatch, EveryHandlerSeesEveryDatagram)
{
    http_registry_clear();
    ssdp_register_handler(count_datagram, "one");
    ssdp_register_handler(nullptr, "none");
    ssdp_register_handler(count_datagram, "two");
    g_ssdp_calls = 0;
    ssdp_dispatch("M-SEARCH * HTTP/1.1\r\n\r\n", nullptr, nullptr);
    EXPECT_EQ(g_ssdp_calls, 2);
}

} // namespace
