// The persistence file: the items of the tree as text records between
// "<SOI>" and "<EOI>", one "TAG:value" line per field, so that a restart
// need not read every media file again. A reader thread loads it once at
// start-up, before the first scan; a writer thread rewrites it whole a few
// seconds after the tree stops changing.
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

// The buffered line reader: from a file, or (fd -1) from text in memory.
struct PersistenceReader {
    int fd = -1;
    std::string buffer; // holds unread bytes at [start, buffer.size())
    size_t start = 0;
    bool end_of_file = false;
    bool line_cut = false; // the last line read was cut at its limit
};

// The next line: it ends at any byte below 32 (so empty lines vanish), is
// cut after 1024 bytes (an "RE:" line after kPersistencePathLineSize; the
// rest is the next line), and comment lines ("#...") are skipped. False once
// the input is used up.
bool persistence_read_line(PersistenceReader& reader, std::string& line);

// Reads every record and adds its item; returns the number of records read.
int persistence_read_records(PersistenceReader& reader, const ThreadFlag* running);

// The file text of every item below "All Tracks", "All Pictures" and "All
// Videos", in that order, depth-first. Takes the lock. An item with a value
// that could not be read back whole (a byte below 32, a line too long) is
// left out and logged: it would be read as other lines, or another path.
std::string persistence_text();

// Writes the file (atomically); false when it cannot be written.
bool persistence_write(const std::string& path);

// How long the tree must stay unchanged before the writer writes.
inline constexpr int kPersistenceSettleSteps = 51; // of 100 ms

// Start the reader (which ends when the file is read) and the writer (which
// runs until asked to stop) with their flags.
void persistence_reader_start(ThreadFlag& flag);
void persistence_writer_start(ThreadFlag& flag);

// The external database hook of "externaldbfile": a thread that wakes every
// 5 s and does nothing else in this system.
void external_db_hook_start(ThreadFlag& flag);
