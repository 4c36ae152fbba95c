// The growable text buffer in which every XML, HTML and SOAP answer is built.
// Always NUL-terminated, and also used for bodies that contain zero bytes.
#pragma once

#include <memory>
#include <string_view>

struct StrBuf {
    int length = 0;   // bytes in use, without the terminating NUL
    int capacity = 0; // bytes allocated for data
    std::unique_ptr<char[]> data;
};

// A buffer of capacity bytes (zero-filled) holding text.
StrBuf strbuf_new(std::string_view text, int capacity);

// Appends text; a buffer that was never allocated gets 256 bytes first. When
// the text does not fit, the capacity doubles, or becomes exactly what is
// needed when doubling is not enough. An allocation failure drops the append.
StrBuf& strbuf_append(StrBuf& sb, std::string_view text);
StrBuf& strbuf_append_bytes(StrBuf& sb, const void* bytes, size_t n);

// printf-style append; the formatted text is cut at 1023 bytes, the size of
// every formatted piece of the answers.
StrBuf& strbuf_appendf(StrBuf& sb, const char* format, ...) __attribute__((format(printf, 2, 3)));

void strbuf_clear(StrBuf& sb);

// The bytes in use ("" for a buffer that was never allocated).
std::string_view strbuf_view(const StrBuf& sb);
const char* strbuf_c_str(const StrBuf& sb);
