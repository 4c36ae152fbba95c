#include "http/html_escape.h"
#include "http/http_origin.h"
#include "http/http_response.h"
#include "support/captured_connection.h"

#include <gtest/gtest.h>

namespace
{

TEST(HtmlEscape, MarkupBecomesTextAndForbiddenCharactersGo)
{
    struct Case {
        const char* text;
        const char* escaped;
    };
    for (const Case& k : {
             Case{"plain text", "plain text"},
             Case{"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
             Case{"Tom & \"Jerry\" 'live'", "Tom &amp; &quot;Jerry&quot; &#39;live&#39;"},
             Case{"&amp;", "&amp;amp;"},
             Case{"tab\there\nline\r\n", "tab\there\nline\r\n"},
             Case{"bell\x07 esc\x1b del\x7f", "bell esc del"},
             Case{"C1 \xc2\x85 and \xc2\x9f gone, \xc2\xa0 kept", "C1  and  gone, \xc2\xa0 kept"},
             Case{"Bj\xc3\xb6rk", "Bj\xc3\xb6rk"},
             Case{"cut \xc2", "cut \uFFFD"},
             Case{"Latin-1 caf\xe9 by mistake", "Latin-1 caf\uFFFD by mistake"},
             Case{"\u6771\u4EAC \u0414\u043E\u0440\u043E\u0433\u0430 \U0001F3B5",
                  "\u6771\u4EAC \u0414\u043E\u0440\u043E\u0433\u0430 \U0001F3B5"},
         }) {
        EXPECT_EQ(html_escape(k.text), k.escaped) << k.text;
    }
    EXPECT_EQ(html_escape(std::string_view("nul\0byte", 8)), "nulbyte");
}

TEST(HtmlEscape, NotFoundPageShowsTheTargetAsText)
{
    CapturedConnection cap("/disk/<script>alert(1)</script>");
    http_send_404(&cap.c);
    const std::string sent = cap.sent();
    const std::string page = sent.substr(sent.find("\r\n\r\n") + 4);
    EXPECT_EQ(page, "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY><H1>Not Found</H1>"
                    "/disk/&lt;script&gt;alert(1)&lt;/script&gt; was not found on this "
                    "server.</BODY></HTML>");
    EXPECT_NE(sent.find("Content-Length: " + std::to_string(page.size()) + "\r\n"),
              std::string::npos);

    // A target of nothing but markup characters grows six-fold; all of it is
    // sent.
    CapturedConnection quotes(std::string(255, '"').c_str());
    http_send_404(&quotes.c);
    std::string all_quotes;
    for (int i = 0; i < 255; ++i) {
        all_quotes += "&quot;";
    }
    EXPECT_NE(quotes.sent().find("<H1>Not Found</H1>" + all_quotes +
                                 " was not found on this "
                                 "server.</BODY></HTML>"),
              std::string::npos);
}

struct OriginCase {
    const char* host;    // null: no Host field
    const char* origin;  // null: no Origin field
    const char* referer; // null: no Referer field
    bool own;
};

void check_origin(const char* base_url, std::initializer_list<OriginCase> cases,
                  const char* machine = "")
{
    int row = 0;
    for (const OriginCase& k : cases) {
        OriginFields f;
        f.machine_name = machine;
        f.has_host = k.host != nullptr;
        f.host = k.host ? k.host : "";
        f.has_origin = k.origin != nullptr;
        f.origin = k.origin ? k.origin : "";
        f.has_referer = k.referer != nullptr;
        f.referer = k.referer ? k.referer : "";
        EXPECT_EQ(http_origin_is_own(base_url, f), k.own)
            << base_url << " row " << row << ": Host " << (k.host ? k.host : "-") << ", Origin "
            << (k.origin ? k.origin : "-") << ", Referer " << (k.referer ? k.referer : "-");
        ++row;
    }
}

TEST(HttpOrigin, OnlyTheListenersOwnNamesMayChangeState)
{
    check_origin(
        "http://192.168.1.5:9000/",
        {
            // Players and scripts: the listener's address, with or
            // without port, or no Host at all.
            {"192.168.1.5:9000", nullptr, nullptr, true},
            {"192.168.1.5", nullptr, nullptr, true},
            {nullptr, nullptr, nullptr, true},
            // The server's own pages.
            {"192.168.1.5:9000", "http://192.168.1.5:9000", nullptr, true},
            {"192.168.1.5:9000", nullptr, "http://192.168.1.5:9000/configpage/a.htm", true},
            {"192.168.1.5:9000", nullptr, "http://192.168.1.5:9000?x", true},
            // DNS rebinding: a foreign name with our address behind it.
            {"evil.example:1234", nullptr, nullptr, false},
            {"evil.example:9000", nullptr, nullptr, false},
            {"", nullptr, nullptr, false},
            {"192.168.1.5:9001", nullptr, nullptr, false},
            {"192.168.1.50:9000", nullptr, nullptr, false},
            {"192.168.1.5:90000", nullptr, nullptr, false},
            // Another site's page.
            {"192.168.1.5:9000", "http://evil.example", nullptr, false},
            {"192.168.1.5:9000", "null", nullptr, false},
            {"192.168.1.5:9000", "https://192.168.1.5:9000", nullptr, false},
            {"192.168.1.5:9000", "http://192.168.1.5:9000/", nullptr, false},
            {"192.168.1.5:9000", nullptr, "http://evil.example/page.html", false},
            {"192.168.1.5:9000", nullptr, "http://192.168.1.5:9000.evil.example/", false},
            {"192.168.1.5:9000", nullptr, "http://user@192.168.1.5:9000/", false},
            {"192.168.1.5:9000", nullptr, "", false},
            {nullptr, "http://evil.example", nullptr, false},
            {nullptr, nullptr, "http://evil.example/", false},
            {nullptr, nullptr, "http://192.168.1.5:9000/", true},
            // "localhost" only means this machine on a loopback
            // listener.
            {"localhost:9000", nullptr, nullptr, false},
        });
    check_origin("http://127.0.0.1:9000/",
                 {
                     {"localhost:9000", nullptr, nullptr, true},
                     {"LocalHost", nullptr, nullptr, true},
                     {"localhost:9000", "http://localhost:9000", nullptr, true},
                     {"localhost:9001", nullptr, nullptr, false},
                     {"localhost.evil.example:9000", nullptr, nullptr, false},
                     {"localhost:90000", nullptr, nullptr, false},
                 });
    // The machine's own name, as the home network's name service or
    // multicast DNS gives it, with the listener's port or none.
    check_origin("http://192.168.1.5:9000/",
                 {
                     {"nas:9000", nullptr, nullptr, true},
                     {"NAS.local", "http://nas.local:9000", nullptr, true},
                     {"192.168.1.5:9000", nullptr, "http://nas:9000/configpage/", true},
                     {"nas:9001", nullptr, nullptr, false},
                     {"nas.evil.example:9000", nullptr, nullptr, false},
                     {"nas.localhost:9000", nullptr, nullptr, false},
                     {"na:9000", nullptr, nullptr, false},
                 },
                 "nas");
    // A connection that came in on no listener knows no name of its own.
    check_origin("",
                 {{"127.0.0.1:9000", nullptr, nullptr, false}, {nullptr, nullptr, nullptr, true}});
}

TEST(HttpOrigin, ReadsTheFieldsOfTheRequest)
{
    CapturedConnection cap("/rpc/mode?stealth");
    snprintf(cap.c.base_url.data(), cap.c.base_url.size(), "http://127.0.0.1:9000/");
    ASSERT_TRUE(http_set_head(&cap.c, "GET /rpc/mode?stealth HTTP/1.1\r\nhost: 127.0.0.1:9000\r\n"
                                      "REFERER: http://127.0.0.1:9000/index.htm\r\n\r\n"));
    EXPECT_TRUE(http_request_is_own_origin(&cap.c));
    ASSERT_TRUE(http_set_head(&cap.c, "GET /rpc/mode?stealth HTTP/1.1\r\nHost: 127.0.0.1:9000\r\n"
                                      "Origin: http://evil.example\r\n\r\n"));
    EXPECT_FALSE(http_request_is_own_origin(&cap.c));
    ASSERT_TRUE(http_set_head(&cap.c, "GET /rpc/mode?stealth HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(http_request_is_own_origin(&cap.c));
}

} // namespace
