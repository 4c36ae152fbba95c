// The split of a request or response head into the header fields the server
// reads. A head is split once, when it has been received; every consumer
// (framing, ranges, SOAP, eventing, the state-changing pages) then reads the
// field it needs from the split, with one rule for all: names compared
// ignoring case and matched exactly, each field found once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// The header fields read anywhere in the server, in the order of kHttpFieldNames.
enum class HttpField : uint8_t {
    Host,
    Connection,
    ContentLength,
    TransferEncoding,
    Expect,
    Range,
    TimeSeekRange, // TimeSeekRange.dlna.org
    SeekRange,     // X-Seek-Range
    SoapAction,
    Sid,
    Callback,
    Nt,
    Timeout,
    UserAgent,
    Origin,
    Referer,
    Man, // the search fields of an SSDP M-SEARCH, which is HTTP-shaped too
    Mx,
    St,
    GetCaptionInfo,     // getCaptionInfo.sec: a television asks where a video's subtitle is
    AvClientInfo,       // X-AV-Client-Info, which names some televisions' models
    GetContentFeatures, // getcontentFeatures.dlna.org
    TransferMode,       // transferMode.dlna.org
    ContentType,        // of a relayed source's answer
    Location,           // where a relayed source's redirection points
    Count
};

inline constexpr size_t kHttpFieldCount = static_cast<size_t>(HttpField::Count);

// Where a field's value (blanks around it trimmed) stands in the head text.
// Offsets rather than pointers, so that a copied record stays valid.
struct HttpFieldSpan {
    uint16_t offset = 0;
    uint16_t length = 0;
    bool present = false;
};

struct HttpHead {
    std::array<HttpFieldSpan, kHttpFieldCount> fields{};
    bool connection_close = false; // a Connection field lists "close"
    bool expect_continue = false;  // Expect: 100-continue
    bool chunked = false;          // Transfer-Encoding: chunked
    int64_t content_length = -1;   // -1: no Content-Length field
};

enum class HeadSplit {
    Ok,
    Malformed, // the answer is 400 and the connection closes
};

struct HeadSplitResult {
    HeadSplit status = HeadSplit::Ok;
    const char* reason = ""; // for the log, when malformed
};

// Splits head (the first line, then field lines up to the blank line; the
// first line itself is not examined) into out. Malformed, as RFC 9112 asks a
// server to refuse: a field line without a colon or with blanks before it, a
// folded line, a bare CR or a NUL byte, Content-Length fields that disagree
// or hold anything but digits, a transfer coding other than "chunked", a
// Transfer-Encoding together with a Content-Length, and a second Host or a
// second one of the fields that name a single thing (SOAPACTION, SID,
// CALLBACK, NT, TIMEOUT and the ranges).
HeadSplitResult http_split_head(std::string_view head, HttpHead& out);

// The line of head that starts at at, without its LF or CR LF, moving at past
// it; nothing once at is at the end. Requests and relayed answers are read
// line by line with it.
std::optional<std::string_view> http_head_next_line(std::string_view head, size_t& at);

// The value of a field of a split head; empty when absent.
std::string_view http_head_field(std::string_view head, const HttpHead& split, HttpField field);

inline bool http_head_has(const HttpHead& split, HttpField field)
{
    return split.fields[static_cast<size_t>(field)].present;
}
