// A temporary directory for the files a fuzz target reads, made once and
// removed when the process ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

struct FuzzScratchDir {
    explicit FuzzScratchDir(const char* name)
    {
        std::string pattern = std::string("/tmp/") + name + "-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            abort();
        }
        path = pattern;
    }
    ~FuzzScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    // Writes the input as the file name in the directory, so that a
    // reader goes through the same file reads as on a real file; the path,
    // or an empty text when the file could not be written.
    std::string write(const char* name, const uint8_t* data, size_t size) const
    {
        const std::string file = path + "/" + name;
        FILE* f = fopen(file.c_str(), "wb");
        if (!f) {
            return {};
        }
        const bool written = fwrite(data, 1, size, f) == size;
        return fclose(f) == 0 && written ? file : std::string();
    }
    FuzzScratchDir(const FuzzScratchDir&) = delete;
    FuzzScratchDir& operator=(const FuzzScratchDir&) = delete;
    std::string path;
};
