// A streaming reader of XML property lists (the format of iTunes library
// files). The file is read in blocks and handed out as a sequence of tokens:
// dictionary keys, scalar values and the starts and ends of dictionaries and
// arrays, each with its nesting depth. Nothing depends on how the writer laid
// the markup out over lines, memory stays bounded whatever the file's size
// (one block and one value), and every step is linear in the bytes read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// The longest key or value kept; a longer one makes the file malformed (no
// library value comes near it; <data> values are skipped, not kept).
inline constexpr size_t kPlistValueLimit = 65536;
// The deepest nesting of dictionaries and arrays accepted.
inline constexpr int kPlistMaxDepth = 64;
// The size of one read from the file.
inline constexpr size_t kPlistBlockSize = 65536;

enum class PlistKind {
    Key,
    String,
    Integer,
    Real,
    Date,
    True,
    False,
    Data, // its text is not kept
    DictBegin,
    DictEnd,
    ArrayBegin,
    ArrayEnd,
};

struct PlistToken {
    PlistKind kind = PlistKind::Key;
    // Depth of the token: the top dictionary begins at 1, its keys and
    // values stand at 1 too, and the end of a dictionary or array has the
    // depth of its beginning.
    int depth = 0;
    // Entity-decoded UTF-8 text of keys and scalar values.
    std::string text;
};

enum class PlistStep {
    Token, // a token was read
    End,   // the top element ended, or the file ended outside any element
    Malformed,
};

struct PlistReader {
    explicit PlistReader(FILE* f) : file(f), block(kPlistBlockSize)
    {
    }
    FILE* file;
    std::vector<char> block;
    size_t pos = 0;
    size_t end = 0;
    bool at_eof = false;
    // Open dictionaries ('d'), arrays ('a') and the plist element ('p').
    std::string open;
    // Why the file is malformed, for the log.
    std::string error;
    std::string scratch;
};

// The next token. After Malformed, error says why; after End or Malformed
// the reader must not be asked again.
PlistStep plist_next(PlistReader& reader, PlistToken& token);

// The seconds since 1970 (UTC) of an ISO 8601 time "YYYY-MM-DDTHH:MM:SSZ",
// as property lists write dates; nothing for any other text.
std::optional<int64_t> plist_date_seconds(const std::string& text);

// The decimal integer of a value, nothing when it is not one.
std::optional<int64_t> plist_integer(const std::string& text);
