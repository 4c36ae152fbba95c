#include "scan/plist_reader.h"

#include "control/xml.h"

#include <charconv>
#include <cstring>
#include <string_view>

namespace
{

enum class Until {
    Found,   // the delimiter was reached and consumed
    Eof,     // the file ended first
    TooLong, // more than the limit came before it
};

bool fill(PlistReader& r)
{
    if (r.pos < r.end) {
        return true;
    }
    if (r.at_eof) {
        return false;
    }
    r.pos = 0;
    r.end = fread(r.block.data(), 1, r.block.size(), r.file);
    if (r.end == 0) {
        r.at_eof = true;
        return false;
    }
    return true;
}

// The next byte, or -1 at the end of the file.
int next_byte(PlistReader& r)
{
    if (!fill(r)) {
        return -1;
    }
    return static_cast<unsigned char>(r.block[r.pos++]);
}

// Reads up to the delimiter, appending what comes before it to out (when
// given) as long as out stays within limit bytes.
Until read_until(PlistReader& r, char delimiter, std::string* out, size_t limit)
{
    while (fill(r)) {
        const char* from = r.block.data() + r.pos;
        const size_t available = r.end - r.pos;
        const void* hit = memchr(from, delimiter, available);
        const size_t n =
            hit ? static_cast<size_t>(static_cast<const char*>(hit) - from) : available;
        if (out) {
            if (out->size() + n > limit) {
                return Until::TooLong;
            }
            out->append(from, n);
        }
        r.pos += n;
        if (hit) {
            ++r.pos;
            return Until::Found;
        }
    }
    return Until::Eof;
}

// Skips past the end marker (of a comment or a processing instruction).
bool skip_past(PlistReader& r, std::string_view marker)
{
    // The last bytes read, as long as the marker: comments are rare and
    // short, so a byte at a time is enough.
    std::string window;
    for (int c = next_byte(r); c >= 0; c = next_byte(r)) {
        window.push_back(static_cast<char>(c));
        if (window.size() > marker.size()) {
            window.erase(0, 1);
        }
        if (window == marker) {
            return true;
        }
    }
    return false;
}

// Skips a declaration such as <!DOCTYPE ...>, which may hold an internal
// subset in brackets with its own '>' characters.
bool skip_declaration(PlistReader& r)
{
    int brackets = 0;
    for (int c = next_byte(r); c >= 0; c = next_byte(r)) {
        if (c == '[') {
            ++brackets;
        } else if (c == ']' && brackets > 0) {
            --brackets;
        } else if (c == '>' && brackets == 0) {
            return true;
        }
    }
    return false;
}

PlistStep malformed(PlistReader& r, std::string why)
{
    r.error = std::move(why);
    return PlistStep::Malformed;
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && strchr(" \t\r\n", s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && strchr(" \t\r\n", s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

struct Scalar {
    std::string_view name;
    PlistKind kind;
};

constexpr Scalar kScalars[] = {
    {"key", PlistKind::Key},     {"string", PlistKind::String}, {"integer", PlistKind::Integer},
    {"real", PlistKind::Real},   {"date", PlistKind::Date},     {"true", PlistKind::True},
    {"false", PlistKind::False}, {"data", PlistKind::Data},
};

int container_depth(const PlistReader& r)
{
    int depth = 0;
    for (char c : r.open) {
        depth += c != 'p';
    }
    return depth;
}

// The rest of a scalar element after its start tag: the text and the end tag.
PlistStep read_scalar(PlistReader& r, const Scalar& scalar, PlistToken& token)
{
    token.kind = scalar.kind;
    token.depth = container_depth(r);
    token.text.clear();
    const bool keep = scalar.kind != PlistKind::Data;
    switch (read_until(r, '<', keep ? &token.text : nullptr, kPlistValueLimit)) {
    case Until::Found:
        break;
    case Until::Eof:
        return malformed(r, "the file ends inside a value");
    case Until::TooLong:
        return malformed(r, "a value longer than 65536 bytes");
    }
    r.scratch.clear();
    if (read_until(r, '>', &r.scratch, 64) != Until::Found ||
        trimmed(r.scratch) != "/" + std::string(scalar.name)) {
        return malformed(r, "<" + std::string(scalar.name) + "> holds markup or has no end tag");
    }
    xml_decode_entities(token.text);
    return PlistStep::Token;
}

} // namespace

PlistStep plist_next(PlistReader& r, PlistToken& token)
{
    if (!r.error.empty()) {
        return PlistStep::Malformed;
    }
    if (!r.open.empty() && (r.open.back() == 'D' || r.open.back() == 'A')) {
        token.kind = r.open.back() == 'D' ? PlistKind::DictEnd : PlistKind::ArrayEnd;
        token.depth = container_depth(r);
        token.text.clear();
        r.open.pop_back();
        return PlistStep::Token;
    }
    for (;;) {
        // What stands between elements is white space; it is skipped
        // without being kept.
        if (read_until(r, '<', nullptr, 0) != Until::Found) {
            if (r.open.empty()) {
                return PlistStep::End;
            }
            return malformed(r, "the file ends before the end tags of what is open");
        }
        const int first = next_byte(r);
        if (first == '?') {
            if (!skip_past(r, "?>")) {
                return malformed(r, "the file ends inside a processing instruction");
            }
            continue;
        }
        if (first == '!') {
            const int a = next_byte(r);
            const bool done = a == '-'             ? next_byte(r) == '-' && skip_past(r, "-->")
                              : a >= 0 && a != '>' ? skip_declaration(r)
                                                   : a == '>';
            if (!done) {
                return malformed(r, "a broken comment or declaration");
            }
            continue;
        }
        if (first < 0) {
            return malformed(r, "the file ends inside a tag");
        }
        r.scratch.assign(1, static_cast<char>(first));
        if (read_until(r, '>', &r.scratch, 1024) != Until::Found) {
            return malformed(r, "a tag without its end");
        }
        std::string_view tag = trimmed(r.scratch);
        if (tag.starts_with('/')) {
            const std::string_view name = trimmed(tag.substr(1));
            const char expected = r.open.empty() ? 0 : r.open.back();
            const char closing = name == "dict"    ? 'd'
                                 : name == "array" ? 'a'
                                 : name == "plist" ? 'p'
                                                   : 1;
            if (closing != expected) {
                return malformed(r, "the end tag </" + std::string(name) + "> closes nothing open");
            }
            const int depth = container_depth(r);
            r.open.pop_back();
            if (closing == 'p') {
                return PlistStep::End;
            }
            token.kind = closing == 'd' ? PlistKind::DictEnd : PlistKind::ArrayEnd;
            token.depth = depth;
            token.text.clear();
            return PlistStep::Token;
        }
        const bool empty = tag.ends_with('/');
        if (empty) {
            tag.remove_suffix(1);
        }
        const std::string_view name = tag.substr(0, tag.find_first_of(" \t\r\n"));
        if (name == "plist") {
            if (!empty) {
                r.open.push_back('p');
            }
            continue;
        }
        if (name == "dict" || name == "array") {
            if (container_depth(r) >= kPlistMaxDepth) {
                return malformed(r, "nested deeper than 64 levels");
            }
            const bool dict = name == "dict";
            r.open.push_back(dict ? 'd' : 'a');
            token.kind = dict ? PlistKind::DictBegin : PlistKind::ArrayBegin;
            token.depth = container_depth(r);
            token.text.clear();
            if (empty) {
                // "<dict/>": the end is written back as if it had been read.
                r.open.pop_back();
                r.open.push_back(dict ? 'D' : 'A');
            }
            return PlistStep::Token;
        }
        for (const Scalar& scalar : kScalars) {
            if (name == scalar.name) {
                if (empty) {
                    token.kind = scalar.kind;
                    token.depth = container_depth(r);
                    token.text.clear();
                    return PlistStep::Token;
                }
                return read_scalar(r, scalar, token);
            }
        }
        return malformed(r, "the unknown element <" + std::string(name) + ">");
    }
}

std::optional<int64_t> plist_integer(const std::string& text)
{
    const std::string_view digits = trimmed(text);
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<int64_t> plist_date_seconds(const std::string& text)
{
    // YYYY-MM-DDTHH:MM:SSZ
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
    const std::string_view t = trimmed(text);
    if (t.size() != kShape.size()) {
        return std::nullopt;
    }
    for (size_t i = 0; i < t.size(); ++i) {
        const bool digit = t[i] >= '0' && t[i] <= '9';
        if (kShape[i] == 'd' ? !digit : t[i] != kShape[i]) {
            return std::nullopt;
        }
    }
    auto number = [&](size_t at, size_t n) {
        int v = 0;
        for (size_t i = at; i < at + n; ++i) {
            v = v * 10 + (t[i] - '0');
        }
        return v;
    };
    const int year = number(0, 4);
    const int month = number(5, 2);
    const int day = number(8, 2);
    const int hour = number(11, 2);
    const int minute = number(14, 2);
    const int second = number(17, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    // Days from the civil date (the proleptic Gregorian calendar).
    const int y = year - (month <= 2);
    const int era = y / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = static_cast<int64_t>(era) * 146097 + doe - 719468;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}
