#include "core/strbuf.h"

#include "core/utf8.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace
{

constexpr int kDefaultCapacity = 256;

bool reserve_for(StrBuf& sb, size_t added)
{
    if (sb.capacity == 0) {
        sb = strbuf_new({}, kDefaultCapacity);
        if (sb.capacity == 0) {
            return false;
        }
    }
    const size_t needed = static_cast<size_t>(sb.length) + added + 1;
    if (needed <= static_cast<size_t>(sb.capacity)) {
        return true;
    }
    if (needed > 0x7fffffff) {
        return false;
    }
    size_t grown = static_cast<size_t>(sb.capacity) * 2;
    if (grown < needed) {
        grown = needed;
    }
    if (grown > 0x7fffffff) {
        grown = needed;
    }
    std::unique_ptr<char[]> block(new (std::nothrow) char[grown]);
    if (!block) {
        return false;
    }
    memcpy(block.get(), sb.data.get(), static_cast<size_t>(sb.length) + 1);
    sb.data = std::move(block);
    sb.capacity = static_cast<int>(grown);
    return true;
}

} // namespace

StrBuf strbuf_new(std::string_view text, int capacity)
{
    StrBuf sb;
    if (capacity < 1) {
        capacity = 1;
    }
    sb.data.reset(new (std::nothrow) char[static_cast<size_t>(capacity)]());
    if (!sb.data) {
        return sb;
    }
    sb.capacity = capacity;
    strbuf_append(sb, text);
    return sb;
}

StrBuf& strbuf_append_bytes(StrBuf& sb, const void* bytes, size_t n)
{
    if ((n == 0 && sb.capacity != 0) || !reserve_for(sb, n)) {
        return sb;
    }
    if (n > 0) {
        memcpy(sb.data.get() + sb.length, bytes, n);
    }
    sb.length += static_cast<int>(n);
    sb.data[sb.length] = '\0';
    return sb;
}

StrBuf& strbuf_append(StrBuf& sb, std::string_view text)
{
    return strbuf_append_bytes(sb, text.data(), text.size());
}

StrBuf& strbuf_appendf(StrBuf& sb, const char* format, ...)
{
    char piece[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (n < 0) {
        return sb;
    }
    size_t len = static_cast<size_t>(n) < sizeof piece ? static_cast<size_t>(n) : sizeof piece - 1;
    if (len < static_cast<size_t>(n)) {
        // A cut piece ends before a character that does not fit whole.
        len = utf8_complete_prefix(std::string_view(piece, len));
    }
    return strbuf_append_bytes(sb, piece, len);
}

void strbuf_clear(StrBuf& sb)
{
    sb.length = 0;
    if (sb.data) {
        sb.data[0] = '\0';
    }
}

std::string_view strbuf_view(const StrBuf& sb)
{
    if (!sb.data) {
        return {};
    }
    return {sb.data.get(), static_cast<size_t>(sb.length)};
}

const char* strbuf_c_str(const StrBuf& sb)
{
    return sb.data ? sb.data.get() : "";
}
