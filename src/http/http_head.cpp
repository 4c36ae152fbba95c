#include "http/http_head.h"

#include "core/text_util.h"
#include "http/http_connection.h"

#include <cstring>

namespace
{

struct FieldRow {
    const char* name;
    bool single; // a second occurrence makes the request ambiguous
};

// Indexed by HttpField.
constexpr FieldRow kFieldRows[kHttpFieldCount] = {
    {"Host", true},
    {"Connection", false},
    {"Content-Length", false}, // checked for agreement instead
    {"Transfer-Encoding", true},
    {"Expect", false},
    {"Range", true},
    {"TimeSeekRange.dlna.org", true},
    {"X-Seek-Range", true},
    {"SOAPACTION", true},
    {"SID", true},
    {"CALLBACK", true},
    {"NT", true},
    {"TIMEOUT", true},
    {"User-Agent", false},
    {"Origin", false},
    {"Referer", false},
    {"MAN", true},
    {"MX", true},
    {"ST", true},
    {"getCaptionInfo.sec", false},
    {"X-AV-Client-Info", false},
    {"getcontentFeatures.dlna.org", false},
    {"transferMode.dlna.org", true},
    {"Content-Type", true},
    {"Location", true},
};

// RFC 9110 token characters.
bool is_token_char(unsigned char c)
{
    if (c >= '0' && c <= '9') {
        return true;
    }
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') {
        return true;
    }
    switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
        return true;
    default:
        return false;
    }
}

std::string_view trim(std::string_view v)
{
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) {
        v.remove_prefix(1);
    }
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) {
        v.remove_suffix(1);
    }
    return v;
}

// Whether a comma-separated list holds the token, ignoring case.
bool list_has(std::string_view list, std::string_view token)
{
    while (!list.empty()) {
        const size_t comma = list.find(',');
        if (equal_nocase(trim(list.substr(0, comma)), token)) {
            return true;
        }
        if (comma == std::string_view::npos) {
            break;
        }
        list.remove_prefix(comma + 1);
    }
    return false;
}

// A Content-Length value: digits only, at most 18 of them.
int64_t length_value(std::string_view v)
{
    if (v.empty() || v.size() > 18) {
        return -1;
    }
    int64_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') {
            return -1;
        }
        n = n * 10 + (c - '0');
    }
    return n;
}

HeadSplitResult malformed(const char* reason)
{
    return HeadSplitResult{HeadSplit::Malformed, reason};
}

HeadSplitResult take_field(std::string_view head, std::string_view name, std::string_view value,
                           HttpHead& out)
{
    for (size_t i = 0; i < kHttpFieldCount; ++i) {
        if (!equal_nocase(name, kFieldRows[i].name)) {
            continue;
        }
        const auto field = static_cast<HttpField>(i);
        HttpFieldSpan& span = out.fields[i];
        if (field == HttpField::ContentLength) {
            const int64_t n = length_value(value);
            if (n < 0) {
                return malformed("invalid Content-Length");
            }
            if (span.present && n != out.content_length) {
                return malformed("conflicting Content-Length fields");
            }
            out.content_length = n;
        } else if (field == HttpField::TransferEncoding) {
            // The only coding this server decodes; anything else would be
            // read as another request's bytes.
            if (!equal_nocase(value, "chunked")) {
                return malformed("unknown transfer coding");
            }
            out.chunked = true;
        } else if (field == HttpField::Connection) {
            out.connection_close = out.connection_close || list_has(value, "close");
        } else if (field == HttpField::Expect) {
            out.expect_continue = out.expect_continue || list_has(value, "100-continue");
        }
        if (span.present) {
            if (kFieldRows[i].single) {
                return malformed("repeated header field");
            }
            return HeadSplitResult{}; // the first one counts
        }
        span.present = true;
        span.offset = static_cast<uint16_t>(value.data() - head.data());
        span.length = static_cast<uint16_t>(value.size());
        return HeadSplitResult{};
    }
    return HeadSplitResult{};
}

} // namespace

std::optional<std::string_view> http_head_next_line(std::string_view head, size_t& at)
{
    if (at >= head.size()) {
        return std::nullopt;
    }
    size_t end = head.find('\n', at);
    if (end == std::string_view::npos) {
        end = head.size();
    }
    std::string_view line = head.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

HeadSplitResult http_split_head(std::string_view head, HttpHead& out)
{
    out = HttpHead{};
    // Offsets are 16-bit; no head the server reads comes near that.
    if (head.size() > UINT16_MAX) {
        return malformed("head too large");
    }
    if (head.find('\0') != std::string_view::npos) {
        return malformed("NUL byte in head");
    }
    size_t at = head.find('\n');
    if (at == std::string_view::npos) {
        return HeadSplitResult{}; // a first line only
    }
    ++at;
    while (const std::optional<std::string_view> next = http_head_next_line(head, at)) {
        const std::string_view line = *next;
        if (line.empty()) {
            break; // the blank line ends the head
        }
        if (line.find('\r') != std::string_view::npos) {
            return malformed("bare CR in head");
        }
        if (line.front() == ' ' || line.front() == '\t') {
            return malformed("folded header line");
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            return malformed("header line without a name");
        }
        const std::string_view name = line.substr(0, colon);
        for (char c : name) {
            if (!is_token_char(static_cast<unsigned char>(c))) {
                return malformed("invalid header name");
            }
        }
        const HeadSplitResult r = take_field(head, name, trim(line.substr(colon + 1)), out);
        if (r.status != HeadSplit::Ok) {
            return r;
        }
    }
    if (out.chunked && http_head_has(out, HttpField::ContentLength)) {
        return malformed("both Transfer-Encoding and Content-Length");
    }
    return HeadSplitResult{};
}

std::string_view http_head_field(std::string_view head, const HttpHead& split, HttpField field)
{
    const HttpFieldSpan& span = split.fields[static_cast<size_t>(field)];
    if (!span.present || static_cast<size_t>(span.offset) + span.length > head.size()) {
        return {};
    }
    return head.substr(span.offset, span.length);
}

bool http_set_head(HttpConnection* c, std::string_view head)
{
    if (head.size() >= c->head.size()) {
        return false;
    }
    memcpy(c->head.data(), head.data(), head.size());
    c->head[head.size()] = '\0';
    return http_split_head(std::string_view(c->head.data(), head.size()), c->fields).status ==
           HeadSplit::Ok;
}
