#include "delivery/media_url.h"

#include <gtest/gtest.h>
#include <string>

namespace
{

TEST(MediaUrl, IdTextFollowsTheKeyword)
{
    struct Case {
        const char* url;
        const char* keyword;
        const char* id; // null: the keyword is missing
    };
    for (const Case& k : {
             Case{"/disk/12.mp3", "disk/", "12.mp3"},
             Case{"/disk/", "disk/", ""},
             Case{"/dis", "disk/", nullptr},
             Case{"/albumart-mp3/8.jpg", "albumart-mp3/", "8.jpg"},
             Case{"/m3u/0.m3u", "m3u/", "0.m3u"},
             Case{"/m3u", "m3u/", nullptr},
         }) {
        const char* id = media_url_id(k.url, k.keyword);
        if (!k.id) {
            EXPECT_EQ(id, nullptr) << k.url;
        } else {
            ASSERT_NE(id, nullptr) << k.url;
            EXPECT_STREQ(id, k.id) << k.url;
        }
    }
}

TEST(MediaUrl, ContinueUrlsAndObjectIds)
{
    std::optional<ContinueUrl> c = media_url_continue("/continue/17_123456.mp3");
    ASSERT_TRUE(c);
    EXPECT_STREQ(c->id_text, "17_123456.mp3");
    EXPECT_EQ(c->prefix_length, 1);
    EXPECT_EQ(c->offset, 123456);
    EXPECT_EQ(media_url_object_id(c->id_text), 17);

    // The first '_' of the URL, even before the keyword; none: offset 0.
    c = media_url_continue("/a_5/continue/17");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->prefix_length, 5);
    EXPECT_EQ(c->offset, 5);
    c = media_url_continue("/continue/17");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->offset, 0);
    // An absurd offset saturates instead of wrapping to a plausible one.
    EXPECT_EQ(media_url_continue("/continue/1_99999999999999999999999")->offset, INT64_MAX);
    EXPECT_FALSE(media_url_continue("/continu"));

    EXPECT_EQ(media_url_object_id("2147483647.mp3"), 2147483647);
    EXPECT_EQ(media_url_object_id("2147483648.mp3"), -1);
    EXPECT_EQ(media_url_object_id("x"), 0);
}

} // namespace
