#include "control/xml.h"

#include "core/log.h"
#include "core/utf8.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace
{

// Bytes before the first byte of delimiters found outside double quotes, or
// the rest of the text when there is none.
size_t span(const char* p, const char* delimiters)
{
    bool quoted = false;
    size_t n = 0;
    for (; p[n]; ++n) {
        if (p[n] == '"') {
            quoted = !quoted;
        } else if (!quoted && strchr(delimiters, p[n])) {
            break;
        }
    }
    return n;
}

// Position after the first '<' outside quotes that does not open a
// processing instruction, or null.
const char* find_element_start(const char* p)
{
    bool quoted = false;
    for (; *p; ++p) {
        if (*p == '"') {
            quoted = !quoted;
        } else if (!quoted && *p == '<' && p[1] != '?') {
            return p + 1;
        }
    }
    return nullptr;
}

// The bytes strictly between the first two quotes of the span, or the span.
std::string quoted_value(const char* p, size_t n)
{
    const char* first = static_cast<const char*>(memchr(p, '"', n));
    if (first) {
        const char* second = static_cast<const char*>(memchr(first + 1, '"', n - (first + 1 - p)));
        if (second) {
            return std::string(first + 1, second);
        }
    }
    return std::string(p, n);
}

const char* skip_spaces(const char* p)
{
    while (*p == ' ') {
        ++p;
    }
    return p;
}

int offset(const char* start, const char* p)
{
    return static_cast<int>(p - start);
}

// How the attribute list of a start tag ended.
enum class TagEnd {
    Open,  // at '>': content follows
    Empty, // at '/': an empty element
    Text,  // the text ended inside the tag
};

TagEnd parse_attributes(const char*& p, XmlElement& element)
{
    while (*p != '>') {
        p = skip_spaces(p);
        // Blanks before '>' end the tag, not start another attribute.
        if (*p == '>') {
            break;
        }
        size_t n = span(p, "=/");
        if (p[n] == '/') {
            p += n;
            return TagEnd::Empty;
        }
        if (p[n] == '\0') {
            p += n;
            return TagEnd::Text;
        }
        size_t name_length = n;
        while (name_length > 0 && p[name_length - 1] == ' ') {
            --name_length;
        }
        XmlAttribute attribute;
        attribute.name.assign(p, name_length);
        p = skip_spaces(p + n + 1);
        size_t m = span(p, " />");
        attribute.value = quoted_value(p, m);
        element.attributes.push_back(std::move(attribute));
        p += m;
        if (*p == '/') {
            return TagEnd::Empty;
        }
        if (*p == '\0') {
            return TagEnd::Text;
        }
        if (*p != '>') {
            ++p;
        }
    }
    return TagEnd::Open;
}

void append_child(XmlElement& parent, XmlElement*& last, XmlElement* child)
{
    if (last) {
        last->next = child;
    } else {
        parent.first_child = child;
    }
    last = child;
}

XmlElement* parse_element(const char* start, int depth)
{
    const char* p = find_element_start(start);
    if (!p) {
        return nullptr;
    }
    size_t n = span(p, " />");
    if (p[n] == '\0') {
        return nullptr;
    }
    auto* element = new XmlElement;
    element->name.assign(p, n);
    p = skip_spaces(p + n);
    if (*p == '/') {
        element->consumed = offset(start, p + 1);
        return element;
    }
    const TagEnd tag_end = parse_attributes(p, *element);
    // Lookups find the last occurrence of a name first: the list runs from
    // the last attribute written to the first.
    std::reverse(element->attributes.begin(), element->attributes.end());
    switch (tag_end) {
    case TagEnd::Empty:
        element->consumed = offset(start, p + 1);
        return element;
    case TagEnd::Text:
        element->consumed = offset(start, p);
        return element;
    case TagEnd::Open:
        break;
    }
    const char* content = p + 1;
    n = span(content, "<");
    const char* q = content + n;
    if (*q == '\0') {
        element->consumed = offset(start, q);
        return element;
    }
    if (q[1] == '/') {
        std::string text(content, n);
        xml_decode_entities(text);
        element->text = std::move(text);
    } else if (depth >= kXmlMaxDepth) {
        // Too deep to descend: the element ends where the input ends.
        element->consumed = offset(start, q + strlen(q));
        return element;
    } else {
        XmlElement* last = nullptr;
        while (*q && q[1] != '/') {
            XmlElement* child = parse_element(q, depth + 1);
            if (!child) {
                element->consumed = offset(start, q);
                return element;
            }
            q += child->consumed;
            append_child(*element, last, child);
            q += span(q, "<");
            if (*q == '\0') {
                break;
            }
        }
        if (*q == '\0') {
            element->consumed = offset(start, q);
            return element;
        }
    }
    // q is at "</": the end tag.
    if (strncmp(q + 2, element->name.c_str(), element->name.size()) != 0) {
        log_msg(LOG_INFO, LOG_CAT_XML_PARSER, "bad end tag!\n%s\n", element->name.c_str());
    }
    const char* close = strchr(q, '>');
    element->consumed = offset(start, close ? close : q + strlen(q));
    return element;
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_hex(char c)
{
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A numeric reference "&#ddd;" or "&#xhh;" at text[i]: its length and the
// character it names, when at most seven decimal or six hexadecimal digits
// come before its ';' (enough for every character). Only those few bytes are
// looked at, so a text full of "&#" stays linear. A reference to a character
// XML does not allow (NUL and the other control characters but tab, line feed
// and carriage return, surrogates, U+FFFE, U+FFFF, beyond U+10FFFF) names
// U+FFFD: the text then shows that something was there, and a NUL never cuts
// it short for later readers.
bool numeric_reference(std::string_view text, size_t i, size_t& length, char32_t& character)
{
    const bool hex = text.compare(i, 3, "&#x") == 0;
    const size_t digits_at = i + (hex ? 3 : 2);
    const size_t max_digits = hex ? 6 : 7;
    const size_t window = std::min(text.size(), digits_at + max_digits + 1);
    const size_t semicolon = text.substr(0, window).find(';', digits_at);
    if (semicolon == std::string_view::npos || semicolon == digits_at) {
        return false;
    }
    uint32_t value = 0;
    for (size_t k = digits_at; k < semicolon; ++k) {
        char c = text[k];
        if (hex ? !is_hex(c) : !is_digit(c)) {
            return false;
        }
        value = value * (hex ? 16 : 10) +
                static_cast<uint32_t>(is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    const bool control = value < 0x20 && value != '\t' && value != '\n' && value != '\r';
    const bool forbidden = control || (value >= 0xD800 && value <= 0xDFFF) || value == 0xFFFE ||
                           value == 0xFFFF || value > 0x10FFFF;
    character = forbidden ? kUtf8Replacement : value;
    length = semicolon - i + 1;
    return true;
}

void free_one(XmlElement* element)
{
    // Siblings are walked in a loop; only nesting (bounded by the parser's
    // depth limit) recurses.
    while (element) {
        XmlElement* next = element->next;
        free_one(element->first_child);
        delete element;
        element = next;
    }
}

} // namespace

void xml_free(XmlElement* element)
{
    free_one(element);
}

XmlTree xml_parse(const char* text)
{
    if (!text) {
        return nullptr;
    }
    return XmlTree(parse_element(text, 0));
}

const XmlElement* xml_find(const XmlElement* element, const char* name)
{
    if (!name) {
        return nullptr;
    }
    for (; element; element = element->next) {
        if (element->name == name) {
            return element;
        }
        if (const XmlElement* hit = xml_find(element->first_child, name)) {
            return hit;
        }
    }
    return nullptr;
}

const XmlElement* xml_find_next(const XmlElement* element, const char* name)
{
    return element ? xml_find(element->next, name) : nullptr;
}

const char* xml_attribute(const XmlElement* element, const char* name)
{
    if (!element) {
        return nullptr;
    }
    for (const XmlAttribute& a : element->attributes) {
        if (!name || a.name == name) {
            return a.value.c_str();
        }
    }
    return nullptr;
}

const char* xml_text(const XmlElement* tree, const char* name)
{
    const XmlElement* e = xml_find(tree, name);
    return e && e->text ? e->text->c_str() : nullptr;
}

int xml_int(const XmlElement* tree, const char* name)
{
    const char* text = xml_text(tree, name);
    return text ? atoi(text) : 0;
}

void xml_decode_entities(std::string& text)
{
    struct Named {
        std::string_view sequence;
        char byte;
    };
    static constexpr Named kNamed[] = {
        {"&amp;", '&'}, {"&nbsp;", ' '},  {"&lt;", '<'},
        {"&gt;", '>'},  {"&apos;", '\''}, {"&quot;", '"'},
    };
    // Most values hold neither an entity nor a broken sequence.
    if (text.find('&') == std::string::npos && utf8_valid(text)) {
        return;
    }
    // One pass, left to right: the scan goes on after what each entity
    // produced ("&amp;lt;" gives "&lt;"), and a text full of entities costs
    // no more than any other. Text is UTF-8; a byte that begins no valid
    // sequence becomes U+FFFD, so that nothing undecodable reaches the tree
    // or a comparison.
    const std::string in = std::move(text);
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        if (c >= 0x80) {
            utf8_append(out, utf8_next(in, i));
            continue;
        }
        if (c == '&') {
            bool named = false;
            for (const Named& entity : kNamed) {
                if (in.compare(i, entity.sequence.size(), entity.sequence) == 0) {
                    out += entity.byte;
                    i += entity.sequence.size();
                    named = true;
                    break;
                }
            }
            if (named) {
                continue;
            }
            size_t length = 0;
            char32_t character = 0;
            if (in.compare(i, 2, "&#") == 0 && numeric_reference(in, i, length, character)) {
                utf8_append(out, character);
                i += length;
                continue;
            }
        }
        out += static_cast<char>(c);
        ++i;
    }
    text = std::move(out);
}

bool xml_char_allowed(unsigned char c)
{
    // XML 1.0 takes no other character below 0x20, not even as a reference
    // ("&#1;"): a parser refuses the whole document, so a whole page of
    // results would be lost for one bad value. Bytes from 0x80 belong to
    // multi-byte characters, judged whole by the escaper.
    return c >= 0x20 || c == '\t' || c == '\n' || c == '\r';
}

std::optional<std::string> xml_escape_for_didl(std::string_view text, bool utf8)
{
    if (text.empty()) {
        return std::nullopt;
    }
    // The encoded value with its terminating NUL must stay below 1023 bytes.
    // The bound is looked at after each whole character, so a value is
    // either encoded whole or not at all; a sequence is never split.
    constexpr size_t kLimit = 1023;
    std::string out;
    out.reserve(text.size() + 16);
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            // The tree holds UTF-8; a broken sequence, which should never
            // get there, is sent as U+FFFD rather than as bytes that would
            // make the whole document unreadable.
            char32_t cp = utf8_next(text, i);
            if (cp == 0xFFFE || cp == 0xFFFF) {
                cp = kUtf8Replacement;
            }
            if (utf8) {
                utf8_append(out, cp);
            } else {
                // Players that read only Latin-1 get it, with '?' for
                // every character beyond it.
                out += cp <= 0xFF ? static_cast<char>(cp) : '?';
            }
        } else {
            ++i;
            if (!xml_char_allowed(c)) {
                continue;
            }
            if (c == '<') {
                out += "&amp;lt;";
            } else if (c == '>') {
                out += "&amp;gt;";
            } else if (c == '&') {
                out += "&amp;amp;";
            } else if (c < 0x20) {
                out += "&amp;#" + std::to_string(c) + ";";
            } else {
                out += static_cast<char>(c);
            }
        }
        if (out.size() + 1 >= kLimit) {
            return std::nullopt;
        }
    }
    return out;
}

std::string str_concat(const char* a, const char* b)
{
    return std::string(a ? a : "") + (b ? b : "");
}

int str_compare_null(const char* a, const char* b)
{
    if (a && b) {
        return strcmp(a, b);
    }
    if (!a) {
        return b && *b ? 1 : 0;
    }
    return *a ? -1 : 0;
}

std::optional<std::string> str_substring(std::string_view s, size_t start, size_t length)
{
    if (length == 0 || start > s.size()) {
        return std::nullopt;
    }
    return std::string(s.substr(start, length));
}
