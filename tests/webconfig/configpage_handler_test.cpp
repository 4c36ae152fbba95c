#include "core/settings.h"
#include "http/http_connection.h"
#include "support/captured_connection.h"
#include "support/temp_dir.h"
#include "webconfig/configpage_handler.h"
#include "webconfig/resource_pack.h"

#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

struct Page {
    int status = 0;
    std::string head;
    std::string body;
};

class ConfigPage : public ::testing::Test
{
protected:
    void SetUp() override
    {
        settings_free_all();
        settings_apply_defaults();
        settings_set_file_path(dir.file("test.ini"));
        resource_init("", dir.path);
    }
    void TearDown() override
    {
        resource_init("", "");
        settings_free_all();
        settings_apply_defaults();
    }

    Page request(const std::string& url, const char* body = nullptr,
                 const std::string& headers = "", const char* client = "127.0.0.1",
                 const char* base = "http://127.0.0.1:9000/")
    {
        CapturedConnection cap(url.c_str());
        cap.c.method = body ? HTTP_POST : HTTP_GET;
        snprintf(cap.c.client_ip.data(), cap.c.client_ip.size(), "%s", client);
        snprintf(cap.c.base_url.data(), cap.c.base_url.size(), "%s", base);
        // The listener's own name, unless the test names another.
        const std::string host =
            headers.starts_with("Host:")
                ? std::string()
                : "Host: " + std::string(base).substr(7, strlen(base) - 8) + "\r\n";
        http_set_head(&cap.c, std::string(body ? "POST " : "GET ") + url + " HTTP/1.1\r\n" + host +
                                  headers + "\r\n");
        if (body) {
            cap.c.body = body;
            cap.c.body_length = static_cast<int64_t>(strlen(body));
        }
        const std::string raw = cap.run([&] { return configpage_handler(&cap.c); });
        Page p;
        const size_t end = raw.find("\r\n\r\n");
        p.head = raw.substr(0, end);
        p.body = end == std::string::npos ? "" : raw.substr(end + 4);
        p.status = raw.size() > 12 ? std::stoi(raw.substr(9, 3)) : 0;
        return p;
    }

    TempDir dir;
};

bool restricted(const Page& p)
{
    return p.body.find("Access is restricted to Plenwick configuration!") != std::string::npos;
}

TEST_F(ConfigPage, AccessFollowsEnableweb)
{
    setting_set(KEY_ENABLEWEB, "0");
    EXPECT_TRUE(restricted(request("/configpage/status.htm")));
    setting_set(KEY_ENABLEWEB, "1");
    // The server's own address only, compared whole: 192.168.1.1 is not
    // 192.168.1.10.
    const char* base = "http://192.168.1.10:9000/";
    EXPECT_TRUE(restricted(request("/configpage/status.htm", nullptr, "", "192.168.1.1", base)));
    EXPECT_TRUE(restricted(request("/configpage/status.htm", nullptr, "", "192.168.1.100", base)));
    const Page own = request("/configpage/status.htm", nullptr, "", "192.168.1.10", base);
    EXPECT_FALSE(restricted(own));
    EXPECT_NE(own.body.find("<title>Status</title>"), std::string::npos);
    setting_set(KEY_ENABLEWEB, "2");
    EXPECT_FALSE(restricted(request("/configpage/status.htm", nullptr, "", "10.9.8.7")));
    // The restricted page: red, status 200.
    setting_set(KEY_ENABLEWEB, "0");
    const Page red = request("/configpage/general.htm");
    EXPECT_EQ(red.status, 200);
    EXPECT_NE(red.body.find("#FF0000"), std::string::npos);
    EXPECT_NE(red.body.find("Plenwick Restriced Access"), std::string::npos);
}

TEST_F(ConfigPage, FormsChangeTheSettingsFileAndAnswerTheirPage)
{
    setting_set(KEY_RANDOMIZEPLAYLISTS, "1");
    Page p = request("/configpage/randomplay", "group1=off&set+randomize=set+randomize");
    EXPECT_EQ(p.status, 200);
    EXPECT_NE(p.body.find("<title>Music</title>"), std::string::npos);
    EXPECT_EQ(setting_str(KEY_RANDOMIZEPLAYLISTS), "0");
    EXPECT_NE(read_text_file(settings_file_path()).find("\nrandomizeplaylists=0"),
              std::string::npos);

    setting_set(KEY_CONTENTDIR, "/a,/b,/c");
    p = request("/configpage/directory", "C0=ON&set+dir=%2Fmedia%2Fnew&submit=set+dir");
    EXPECT_NE(p.body.find("<title>General</title>"), std::string::npos);
    EXPECT_EQ(setting_str(KEY_CONTENTDIR), "/a,/media/new");

    setting_set(KEY_HTTPPORT, "9000");
    request("/configpage/httpport", "port=&set+port=set+port");
    EXPECT_EQ(setting_str(KEY_HTTPPORT), "0");

    request("/configpage/dirrescan", "scantime=30&set+time=set+time");
    EXPECT_EQ(setting_str(KEY_SCANTIME), "30");
    request("/configpage/msort", "myselect=1&C0=ON&myselect=6&set+music+order=set+music+order");
    EXPECT_EQ(setting_str(KEY_MS), "+dc:title,-upnp:album");

    // A GET of an action shows its page and changes nothing.
    request("/configpage/httpport?port=1234");
    EXPECT_EQ(setting_str(KEY_HTTPPORT), "0");
}

// A line break typed into a field must not become a line of its own in the
// settings file, where it would set another key.
TEST_F(ConfigPage, FieldValuesStayOnTheirLineInTheSettingsFile)
{
    setting_set(KEY_ENABLEWEB, "1");
    request("/configpage/friendlyname", "friendlyname=x%0D%0Aenableweb%3D2&set+name=set+name");
    settings_read_file();
    EXPECT_EQ(setting_str(KEY_ENABLEWEB), "1");
    EXPECT_EQ(read_text_file(settings_file_path()).find("\nenableweb=2"), std::string::npos);
}

TEST_F(ConfigPage, PostsFromAnotherSiteChangeNothing)
{
    setting_set(KEY_FRIENDLYNAME, "Mine");
    for (const char* foreign :
         {"Origin: http://evil.example\r\n", "Referer: http://evil.example/page.html\r\n"}) {
        const Page p =
            request("/configpage/friendlyname", "friendlyname=Evil&set+name=set+name", foreign);
        EXPECT_EQ(p.status, 403) << foreign;
        EXPECT_EQ(setting_str(KEY_FRIENDLYNAME), "Mine");
    }
    const Page own = request("/configpage/friendlyname", "friendlyname=Ours&set+name=set+name",
                             "Origin: http://127.0.0.1:9000\r\n");
    EXPECT_EQ(own.status, 200);
    EXPECT_EQ(setting_str(KEY_FRIENDLYNAME), "Ours");
}

// A page of another site that made its own name resolve to the server (DNS
// rebinding) could read the served folders and settings.
TEST_F(ConfigPage, PagesAnswerOnlyTheServersOwnNames)
{
    setting_set(KEY_CONTENTDIR, "/home/me/private");
    for (const char* page : {"/configpage/general.htm", "/configpage/status.htm",
                             "/configpage/index.htm", "/configpage/friendlyname"}) {
        const Page foreign = request(page, nullptr, "Host: evil.example:9000\r\n");
        EXPECT_EQ(foreign.status, 403) << page;
        EXPECT_EQ(foreign.body.find("/home/me/private"), std::string::npos) << page;
        EXPECT_NE(foreign.body.find("href=\"http://127.0.0.1:9000/configpage/index.htm\""),
                  std::string::npos)
            << foreign.body;
    }
    // This machine's own name, and a link from another site's page, open them.
    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    for (const std::string& host :
         {std::string("Host: ") + name + ":9000\r\n", std::string("Host: ") + name + ".local\r\n",
          std::string("Referer: http://evil.example/links.html\r\n")}) {
        const Page own = request("/configpage/general.htm", nullptr, host);
        EXPECT_EQ(own.status, 200) << host;
        EXPECT_NE(own.body.find("/home/me/private"), std::string::npos) << host;
    }
}

TEST_F(ConfigPage, ValuesAreShownEscaped)
{
    setting_set(KEY_FRIENDLYNAME, "<script>alert(1)</script>");
    setting_set(KEY_CONTENTDIR, "/music/\"><img src=x onerror=alert(2)>");
    for (const char* page : {"/configpage/status.htm", "/configpage/general.htm"}) {
        const Page p = request(page);
        EXPECT_EQ(p.body.find("<script>"), std::string::npos) << page;
        EXPECT_EQ(p.body.find("<img src=x"), std::string::npos) << page;
        EXPECT_NE(p.body.find("&lt;script&gt;"), std::string::npos) << page;
    }
}

TEST_F(ConfigPage, StaticFilesComeFromTheStartDirectoryOrThePackOnly)
{
    write_text_file(dir.file("logo1.gif"), "GIF89a");
    Page p = request("/configpage/logo1.gif");
    EXPECT_EQ(p.status, 200);
    EXPECT_EQ(p.body, "GIF89a");
    EXPECT_NE(p.head.find("Content-Type: image/gif"), std::string::npos);
    // The pages answer with a query after their name too.
    EXPECT_NE(request("/configpage/status.htm?x=1").body.find("<title>Status</title>"),
              std::string::npos);
    // Neither the settings file beside it nor anything outside.
    settings_write();
    for (const char* url : {"/configpage/test.ini", "/configpage/..%2f..%2fetc%2fpasswd",
                            "/configpage/%2e%2e/test.ini", "/configpage/nothing.gif"}) {
        EXPECT_EQ(request(url).status, 404) << url;
    }
}

} // namespace
