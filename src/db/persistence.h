// The persistence file: the items of the tree as text records between
// "<SOI>" and "<EOI>", one "TAG:value" line per field, so that a restart
// need not read every media file again. Besides the media fields, "LI:"
// names the library file an item came from (see DbItem::library); readers
// skip tags they do not know, so a file of a later version still reads. A
// reader thread loads it once at start-up, before the first scan; a writer
// thread rewrites it whole a few seconds after the tree stops changing.
#pragma once

#include "core/threads.h"
#include "db/db_values.h"

#include <cstddef>
#include <string>

// Bytes read from the file at a time, and the longest line.
inline constexpr size_t kPersistenceBufferSize = 100000;
inline constexpr size_t kPersistenceLineSize = 1024;
// The longest "RE:" line: paths may be longer than other values (up to
// kDbMaxPath), and a cut path would name another file.
inline constexpr size_t kPersistencePathLineSize = 3 + kDbMaxPath;

// The file's first line names its format. Files without it were written
// before text in the tree was UTF-8: their values are Latin-1, their items
// carry no object ids, and their track numbers may have come from playlists.
inline constexpr int kPersistenceFormat = 2;
inline constexpr const char* kPersistenceFormatLine = "# media library, text UTF-8, format ";
// Written next: the highest object id of an item in the file, so that the
// containers made while the file is read take ids above every stored one.
inline constexpr const char* kPersistenceHighestIdLine = "# highest object id ";
// Stored ids above this are not taken back: a damaged file must not use up
// the ids of the process.
inline constexpr int32_t kPersistenceMaxKeptId = 1 << 30;

// The buffered line reader: from a file, or (fd -1) from text in memory.
struct PersistenceReader {
    int fd = -1;
    std::string buffer; // holds unread bytes at [start, buffer.size())
    size_t start = 0;
    bool end_of_file = false;
    bool line_cut = false; // the last line read was cut at its limit
    // What the comment lines at the top said: 1 for a file without a format
    // line (Latin-1, no ids), and the highest stored id (0 when not given).
    int format = 1;
    int32_t highest_id = 0;
    bool past_header = false; // a line other than a comment was read
};

// The next line: it ends at any byte below 32 (so empty lines vanish), is
// cut after 1024 bytes (an "RE:" line after kPersistencePathLineSize; the
// rest is the next line; in a UTF-8 file the cut moves back to a character
// boundary), and comment lines ("#...") are skipped, those at the top read
// for the format and the highest id. False once the input is used up.
bool persistence_read_line(PersistenceReader& reader, std::string& line);

// Reads every record and adds its item; returns the number of records read.
// Items of a file of an earlier format get their text converted from Latin-1
// and a time older than any file's, so that the next scan reads each again
// once (keeping its id and play count).
int persistence_read_records(PersistenceReader& reader, const ThreadFlag* running);

// The file text: the format line, the highest id, then every item below "All
// Tracks", "All Pictures" and "All Videos", in that order, each container's
// from the oldest (lowest id) to the newest, so that items read back in file
// order keep their stored ids and siblings still run from the highest id to
// the lowest. Takes the lock. An item with a value
// that could not be read back whole (a byte below 32, a line too long) is
// left out and logged: it would be read as other lines, or another path.
std::string persistence_text();

// Writes the file (atomically); false when it cannot be written.
bool persistence_write(const std::string& path);

// When the writer writes: it looks for changes every poll_ms, and then
// waits until the tree has stayed unchanged for steps looks step_ms apart
// (about five seconds), so that a scan adding thousands of items causes one
// write at its end. Tests shorten the times.
struct PersistenceTimes {
    int poll_ms = 500;
    int step_ms = 100;
    int steps = 51;
};
void persistence_set_times(const PersistenceTimes& times);

// Start the reader (which ends when the file is read) and the writer (which
// runs until asked to stop) with their flags.
void persistence_reader_start(ThreadFlag& flag);
void persistence_writer_start(ThreadFlag& flag);

// The external database hook of "externaldbfile": a thread that wakes every
// 5 s and does nothing else in this system.
void external_db_hook_start(ThreadFlag& flag);
