#include "core/strbuf.h"

#include <gtest/gtest.h>
#include <string>

namespace
{

TEST(StrBuf, GrowsByDoublingOrExactlyWhatIsNeeded)
{
    StrBuf sb = strbuf_new("", 256);
    strbuf_append(sb, std::string(300, 'a'));
    EXPECT_EQ(sb.capacity, 512);
    EXPECT_EQ(sb.length, 300);
    strbuf_append(sb, std::string(2000, 'b'));
    EXPECT_EQ(sb.capacity, 2301) << "doubling to 1024 is not enough";
    EXPECT_EQ(sb.length, 2300);
    EXPECT_EQ(strbuf_view(sb).substr(298, 4), "aabb");
    EXPECT_EQ(sb.data[sb.length], '\0');
}

TEST(StrBuf, UnallocatedBufferStartsAt256)
{
    StrBuf sb;
    EXPECT_EQ(strbuf_view(sb), "");
    EXPECT_STREQ(strbuf_c_str(sb), "");
    strbuf_append(sb, "hi");
    EXPECT_EQ(sb.capacity, 256);
    EXPECT_STREQ(strbuf_c_str(sb), "hi");

    StrBuf empty;
    strbuf_append_bytes(empty, nullptr, 0);
    EXPECT_EQ(empty.capacity, 256);
    EXPECT_EQ(empty.length, 0);
}

TEST(StrBuf, BytesMayContainZerosAndClearKeepsCapacity)
{
    StrBuf sb = strbuf_new("x", 4);
    const char bytes[] = {'a', '\0', 'b'};
    strbuf_append_bytes(sb, bytes, sizeof bytes);
    EXPECT_EQ(strbuf_view(sb), std::string_view("xa\0b", 4));
    EXPECT_EQ(sb.capacity, 8);
    strbuf_clear(sb);
    EXPECT_EQ(sb.length, 0);
    EXPECT_EQ(sb.capacity, 8);
    EXPECT_STREQ(strbuf_c_str(sb), "");
}

TEST(StrBuf, FormattedPiecesAreCutAt1023Bytes)
{
    StrBuf sb;
    strbuf_appendf(sb, "<%s:%d>", "id", 42);
    EXPECT_EQ(strbuf_view(sb), "<id:42>");
    strbuf_appendf(sb, "%s", std::string(3000, 'z').c_str());
    EXPECT_EQ(sb.length, 7 + 1023);
    // A character across the cut goes whole.
    StrBuf wide;
    strbuf_appendf(wide, "%s\u00E9tude", std::string(1022, 'a').c_str());
    EXPECT_EQ(strbuf_view(wide), std::string(1022, 'a'));
    StrBuf fits;
    strbuf_appendf(fits, "%s\u00E9", std::string(1021, 'a').c_str());
    EXPECT_EQ(fits.length, 1023);
}

} // namespace
