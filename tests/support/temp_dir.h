// A fresh directory under the system temporary directory, removed with all
// its contents when the object goes out of scope.
#pragma once

#include <string>
#include <string_view>

struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Path of name inside the directory.
    std::string file(std::string_view name) const;

    std::string path;
};

// Writes text to path (creating or truncating it).
void write_text_file(const std::string& path, std::string_view text);

// The whole content of path, or an empty text when it cannot be read.
std::string read_text_file(const std::string& path);
