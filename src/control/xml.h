// A small, forgiving, non-validating XML reader for SOAP bodies, tag values,
// the station list and XML playlists; the entity decoder for text that
// arrives in them; and the double-escaping encoder for values placed into a
// DIDL-Lite document that itself travels escaped inside a SOAP element.
//
// The reader knows no namespaces (a prefix is part of the name), comments,
// CDATA or single-quoted values; it tracks double quotes everywhere and
// ignores delimiters between them. Only the space byte is white space.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct XmlAttribute {
    std::string name;
    std::string value;
};

struct XmlElement {
    std::string name; // as written, prefix included
    // Entity-decoded content of an element holding only text before its end
    // tag; nothing for elements with children, empty elements and text that
    // runs to the end of the input.
    std::optional<std::string> text;
    std::vector<XmlAttribute> attributes; // in REVERSE document order
    XmlElement* next = nullptr;           // next sibling, owned
    XmlElement* first_child = nullptr;    // owned
    int consumed = 0;                     // offset of the element's last character in its input
};

// Frees an element with its children and following siblings.
void xml_free(XmlElement* element);

struct XmlFree {
    void operator()(XmlElement* element) const
    {
        xml_free(element);
    }
};
using XmlTree = std::unique_ptr<XmlElement, XmlFree>;

// Nesting deeper than this is not descended into: the deepest element then
// ends where the input ends, so a hostile body cannot exhaust the stack.
inline constexpr int kXmlMaxDepth = 64;

// Parses the first element of text with its subtree; anything after it is
// ignored. Null when no element starts, or the text ends inside its name.
XmlTree xml_parse(const char* text);

// Pre-order search: the element, its subtree, then its following siblings.
const XmlElement* xml_find(const XmlElement* element, const char* name);

// xml_find started at the element's next sibling.
const XmlElement* xml_find_next(const XmlElement* element, const char* name);

// Value of the first attribute in the (reversed) list with that name, so the
// last occurrence in the document; a null name gives the first in the list.
const char* xml_attribute(const XmlElement* element, const char* name);

// Text of the element xml_find gives, or null.
const char* xml_text(const XmlElement* tree, const char* name);

// atoi of xml_text, 0 when there is none.
int xml_int(const XmlElement* tree, const char* name);

// Decodes entities, left to right, into UTF-8: the named ones, and numeric
// references ("&#233;", "&#x1F3B5;") as the UTF-8 of their character (U+FFFD
// for one XML does not allow). Text outside entities is taken as UTF-8, each
// invalid sequence replaced by U+FFFD.
void xml_decode_entities(std::string& text);

// Whether XML 1.0 allows the byte as a character of a value: not the bytes
// below 0x20 other than tab, line feed and carriage return. The escapers
// below drop the others.
bool xml_char_allowed(unsigned char c);

// Double-escapes a UTF-8 value for DIDL-Lite inside SOAP: markup characters
// become "&amp;lt;" and the like, tab, line feed and carriage return
// "&amp;#n;", other control bytes are dropped, and invalid sequences become
// U+FFFD. With utf8 the characters are sent as UTF-8; without it as Latin-1,
// "?" for those outside it. Nothing for an empty value or when the encoding
// would reach 1023 bytes; callers then use an empty value.
std::optional<std::string> xml_escape_for_didl(std::string_view text, bool utf8);

// Small string helpers of the configuration pages. A null argument counts as
// empty for str_concat; str_compare_null orders null before any non-empty
// text; str_substring gives nothing for a zero length or a start past the end.
std::string str_concat(const char* a, const char* b);
int str_compare_null(const char* a, const char* b);
std::optional<std::string> str_substring(std::string_view s, size_t start, size_t length);
