#include "control/xml.h"
#include "core/log.h"
#include "core/settings.h"
#include "support/temp_dir.h"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>

namespace
{

TEST(XmlReader, AttributesAreReversedAndChildrenInOrder)
{
    XmlTree root = xml_parse("<?xml version=\"1.0\"?><a x=\"1\" y=\"2\"><b>t&amp;lt;</b><c/></a>");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->name, "a");
    ASSERT_EQ(root->attributes.size(), 2u);
    EXPECT_EQ(root->attributes[0].name, "y");
    EXPECT_EQ(root->attributes[1].name, "x");
    EXPECT_STREQ(xml_attribute(root.get(), "x"), "1");
    EXPECT_STREQ(xml_attribute(root.get(), nullptr), "2") << "null name: first in the list";
    const XmlElement* b = root->first_child;
    ASSERT_TRUE(b);
    EXPECT_EQ(b->name, "b");
    EXPECT_EQ(b->text, "t&lt;");
    ASSERT_TRUE(b->next);
    EXPECT_EQ(b->next->name, "c");
    EXPECT_EQ(b->next->text, std::nullopt);
    EXPECT_EQ(root->next, nullptr);
    EXPECT_EQ(root->text, std::nullopt) << "an element with children has no text";
}

TEST(XmlReader, QuotesHideDelimitersAndValuesEndAtBlanks)
{
    XmlTree root = xml_parse("<a href=\"x>y<z\" w=plain k = \"v\" ><b q=\"</b>\">v</b></a>");
    ASSERT_TRUE(root);
    EXPECT_STREQ(xml_attribute(root.get(), "href"), "x>y<z");
    EXPECT_STREQ(xml_attribute(root.get(), "w"), "plain");
    EXPECT_STREQ(xml_attribute(root.get(), "k"), "v") << "no trailing blanks in names";
    EXPECT_STREQ(xml_text(root.get(), "b"), "v");
    EXPECT_STREQ(xml_attribute(root->first_child, "q"), "</b>");

    XmlTree twice = xml_parse("<a n=\"1\" n=\"2\"/>");
    EXPECT_STREQ(xml_attribute(twice.get(), "n"), "2") << "the last occurrence wins";
}

TEST(XmlReader, MissingAndMismatchedEndTags)
{
    XmlTree open = xml_parse("<a>text");
    ASSERT_TRUE(open);
    EXPECT_EQ(open->text, std::nullopt);
    EXPECT_EQ(open->consumed, 7);

    TempDir dir;
    setting_set(KEY_V, "256");
    log_open_file(dir.file("log.txt").c_str());
    XmlTree wrong = xml_parse("<a>x</z>");
    log_close();
    setting_set(KEY_V, "0");
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->text, "x");
    EXPECT_EQ(wrong->consumed, 7);
    EXPECT_NE(read_text_file(dir.file("log.txt")).find("XML PARSER:bad end tag!\na\n"),
              std::string::npos);

    XmlTree nested = xml_parse("<a><b>1</b><c>unclosed");
    ASSERT_TRUE(nested);
    EXPECT_STREQ(xml_text(nested.get(), "b"), "1");
    EXPECT_TRUE(xml_find(nested.get(), "c")) << "what was parsed stays in the tree";
}

TEST(XmlReader, NoElementOrCutNameGivesNothing)
{
    EXPECT_FALSE(xml_parse(""));
    EXPECT_FALSE(xml_parse("just text"));
    EXPECT_FALSE(xml_parse("<?xml version=\"1.0\"?>"));
    EXPECT_FALSE(xml_parse("<abc"));
    EXPECT_FALSE(xml_parse(nullptr));
    XmlTree empty = xml_parse("<a></a>");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->text, "");
}

TEST(XmlReader, FindWalksSubtreesThenSiblings)
{
    XmlTree root = xml_parse("<a><b>1</b><x><b>2</b></x><b>3</b></a>");
    const XmlElement* first = xml_find(root.get(), "b");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->text, "1");
    const XmlElement* second = xml_find_next(first, "b");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->text, "2");
    const XmlElement* third = xml_find_next(xml_find(root.get(), "x"), "b");
    ASSERT_TRUE(third);
    EXPECT_EQ(third->text, "3");
    EXPECT_EQ(xml_find_next(third, "b"), nullptr);
    EXPECT_EQ(xml_find(root.get(), "B"), nullptr) << "names are case-sensitive";
    EXPECT_EQ(xml_int(root.get(), "b"), 1);
    EXPECT_EQ(xml_int(root.get(), "missing"), 0);
}

TEST(XmlReader, SoapEnvelopeArguments)
{
    XmlTree root = xml_parse(
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<s:Envelope "
        "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:Browse "
        "xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\"><ObjectID>0</ObjectID><BrowseFlag>"
        "BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex>"
        "<RequestedCount>10</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->name, "s:Envelope");
    EXPECT_STREQ(xml_text(root.get(), "ObjectID"), "0");
    EXPECT_STREQ(xml_text(root.get(), "BrowseFlag"), "BrowseDirectChildren");
    EXPECT_EQ(xml_int(root.get(), "RequestedCount"), 10);
    EXPECT_STREQ(xml_text(root.get(), "SortCriteria"), "");
}

TEST(XmlReader, DeepNestingIsBoundedNotRecursedForEver)
{
    std::string deep;
    for (int i = 0; i < 100000; ++i) {
        deep += "<e>";
    }
    XmlTree root = xml_parse(deep.c_str());
    ASSERT_TRUE(root);
    int depth = 0;
    for (const XmlElement* e = root.get(); e; e = e->first_child) {
        ++depth;
    }
    EXPECT_EQ(depth, kXmlMaxDepth + 1);
    EXPECT_EQ(root->consumed, static_cast<int>(deep.size()));
}

TEST(XmlReader, ManySiblingsAreFreedWithoutRecursion)
{
    std::string wide = "<list>";
    for (int i = 0; i < 200000; ++i) {
        wide += "<entry/>";
    }
    wide += "</list>";
    XmlTree root = xml_parse(wide.c_str());
    ASSERT_TRUE(root);
    EXPECT_EQ(xml_find(root.get(), "missing"), nullptr);
}

TEST(XmlEntities, DecodeTableNumericBoundsAndUnknowns)
{
    const std::pair<std::string, std::string> rows[] = {
        {"&#65;&#x41;", "AA"},
        {"&#65535;", "\uFFFD"},
        {"&#9999;", "\u270F"},
        {"&#x4142;", "\u4142"},
        {"Caf&#233; &#x1F3B5;&#1114111;", "Caf\u00E9 \U0001F3B5\U0010FFFF"},
        {"&#x110000;&#xD800;&#1;&#9;", "\uFFFD\uFFFD\uFFFD\t"},
        {"&#12345678;&#x1234567;", "&#12345678;&#x1234567;"},
        {"&foo; & &", "&foo; & &"},
        {"&amp;amp;", "&amp;"},
        {"&amp;lt;", "&lt;"},
        {"a&nbsp;b&apos;&quot;&gt;", "a b'\">"},
        {"&#;", "&#;"},
        {"&#0;", "\uFFFD"},
        {"caf\xe9", "caf\uFFFD"},
        {"Caf\u00E9 \u0414\u043E \u6771 \U0001F3B5", "Caf\u00E9 \u0414\u043E \u6771 \U0001F3B5"},
        {"&amp;\xC3", "&\uFFFD"},
        {"&#65", "&#65"},
    };
    for (const auto& [in, out] : rows) {
        std::string text = in;
        xml_decode_entities(text);
        EXPECT_EQ(text, out) << in;
    }
}

TEST(XmlEntities, EscapeTwiceForDidl)
{
    EXPECT_EQ(xml_escape_for_didl("a<b", true), "a&amp;lt;b");
    EXPECT_EQ(xml_escape_for_didl("Tom & Jerry>", false), "Tom &amp;amp; Jerry&amp;gt;");
    EXPECT_EQ(xml_escape_for_didl("\t\n", true), "&amp;#9;&amp;#10;");
    EXPECT_EQ(xml_escape_for_didl("Caf\u00E9 \u0414 \u6771 \U0001F3B5", true),
              "Caf\u00E9 \u0414 \u6771 \U0001F3B5")
        << "UTF-8 passes as it is";
    EXPECT_EQ(xml_escape_for_didl("Caf\u00E9 Cr\u00E8me & \u0414\U0001F3B5", false),
              "Caf\xe9 Cr\xe8me &amp;amp; ??")
        << "Latin-1, '?' beyond it";
    EXPECT_EQ(xml_escape_for_didl("a\xe9"
                                  "b\xC3",
                                  true),
              "a\uFFFDb\uFFFD")
        << "broken sequences";
    EXPECT_EQ(xml_escape_for_didl("\xe9", false), "?");
    EXPECT_EQ(xml_escape_for_didl("\"it's\" 100%", true), "\"it's\" 100%");
    EXPECT_EQ(xml_escape_for_didl("", true), std::nullopt);
    EXPECT_EQ(xml_escape_for_didl(std::string(1021, 'x'), true)->size(), 1021u);
    EXPECT_EQ(xml_escape_for_didl(std::string(1022, 'x'), true), std::nullopt);
    EXPECT_EQ(xml_escape_for_didl(std::string(200, '&'), true), std::nullopt)
        << "1800 bytes encoded";
    std::string two_byte;
    for (int i = 0; i < 510; ++i) {
        two_byte += "\u00E9";
    }
    EXPECT_EQ(xml_escape_for_didl(two_byte, true), two_byte) << "1020 bytes fit";
    EXPECT_EQ(xml_escape_for_didl(two_byte + "\u00E9", true), std::nullopt)
        << "the last character would pass the bound: the value is not split";
    EXPECT_EQ(xml_escape_for_didl(two_byte + "\u00E9", false)->size(), 511u);
}

// XML 1.0 forbids these characters even as references: one of them makes a
// parser refuse the whole document.
TEST(XmlEntities, EscapersDropCharactersXmlForbids)
{
    EXPECT_EQ(xml_escape_for_didl("A\x01"
                                  "B\x1f"
                                  "C",
                                  true),
              "ABC");
    EXPECT_EQ(xml_escape_for_didl(std::string("a\0b\x0b\x0c\x7f", 6), false), "ab\x7f");
    EXPECT_EQ(xml_escape_for_didl("\r", true), "&amp;#13;") << "allowed: kept as a reference";
    EXPECT_EQ(xml_escape_for_didl("\x01\x02", true), "") << "nothing left, but encoded";
    for (int c = 0; c < 256; ++c) {
        const bool allowed = c >= 0x20 || c == '\t' || c == '\n' || c == '\r';
        EXPECT_EQ(xml_char_allowed(static_cast<unsigned char>(c)), allowed) << c;
    }
}

TEST(XmlStrings, Helpers)
{
    EXPECT_EQ(str_concat(nullptr, "b"), "b");
    EXPECT_EQ(str_concat("a", nullptr), "a");
    EXPECT_EQ(str_concat(nullptr, nullptr), "");
    EXPECT_LT(str_compare_null("a", "b"), 0);
    EXPECT_EQ(str_compare_null(nullptr, "b"), 1);
    EXPECT_EQ(str_compare_null(nullptr, ""), 0);
    EXPECT_EQ(str_compare_null("a", nullptr), -1);
    EXPECT_EQ(str_substring("hello", 1, 3), "ell");
    EXPECT_EQ(str_substring("hello", 3, 10), "lo");
    EXPECT_EQ(str_substring("hello", 1, 0), std::nullopt);
    EXPECT_EQ(str_substring("hello", 6, 1), std::nullopt);
}

} // namespace

namespace
{

// Every prefix of a real request body is parsed without reading past its end
// (the sanitizer build checks the reads).
TEST(XmlReader, EveryPrefixParsesSafely)
{
    const std::string body =
        "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"x\"><s:Body><u:Browse a=\"q>\" b=c><ObjectID>0&amp;1&#65;"
        "</ObjectID><Filter>*</Filter><x/><y z=\"1\"/></u:Browse></s:Body></s:Envelope>";
    for (size_t n = 0; n <= body.size(); ++n) {
        const std::string prefix = body.substr(0, n);
        std::unique_ptr<char[]> exact(new char[n + 1]);
        memcpy(exact.get(), prefix.c_str(), n + 1);
        XmlTree tree = xml_parse(exact.get());
        if (tree) {
            EXPECT_LE(tree->consumed, static_cast<int>(n)) << n;
        }
        std::string text = prefix;
        xml_decode_entities(text);
        xml_escape_for_didl(prefix, true);
    }
}

// Hostile bodies that a server on a home network must shrug off: each is a
// few megabytes of one pattern that a parser doing work per occurrence in
// proportion to the rest of the text would take minutes over. A linear
// parser needs well under a second for all of them, in any build.
TEST(XmlReader, LargeHostileBodiesParseInLinearTime)
{
    auto envelope = [](const std::string& argument) {
        return "<?xml version=\"1.0\"?><s:Envelope><s:Body><u:Browse><ObjectID>" + argument +
               "</ObjectID></u:Browse></s:Body></s:Envelope>";
    };
    std::string entities;
    for (int i = 0; i < 640000; ++i) {
        entities += i % 2 ? "&amp;" : "&#65;";
    }
    std::string attributes = "<a";
    for (int i = 0; i < 200000; ++i) {
        attributes += " x=\"1\"";
    }
    attributes += ">t</a>";
    const std::string bodies[] = {
        envelope(entities),
        envelope(std::string(2000000, '&')),
        envelope([] {
            std::string s;
            for (int i = 0; i < 1000000; ++i) {
                s += "&#";
            }
            return s;
        }()),
        attributes,
    };
    const auto start = std::chrono::steady_clock::now();
    XmlTree first = xml_parse(bodies[0].c_str());
    ASSERT_TRUE(first);
    const char* decoded = xml_text(first.get(), "ObjectID");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(strlen(decoded), 640000u);
    EXPECT_EQ(std::string(decoded, 4), "A&A&");
    for (size_t i = 1; i < std::size(bodies); ++i) {
        XmlTree tree = xml_parse(bodies[i].c_str());
        ASSERT_TRUE(tree) << i;
    }
    XmlTree many = xml_parse(attributes.c_str());
    EXPECT_EQ(many->attributes.size(), 200000u);
    // Quadratic work on these bodies takes many minutes; the bound only has
    // to tell that apart, also in a sanitizer build on a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30))
        << "some pattern costs more than linear time";
}

} // namespace
