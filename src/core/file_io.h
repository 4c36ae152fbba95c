// Whole-file helpers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Copies the whole file at path to stream; returns the bytes copied, 0 when
// the file is missing or unreadable.
int64_t copy_file_to_stream(FILE* stream, const std::string& path);
