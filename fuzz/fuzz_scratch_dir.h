// A temporary directory for the files a fuzz target reads, made once and
// removed when the process ends.
#pragma once

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
    FuzzScratchDir(const FuzzScratchDir&) = delete;
    FuzzScratchDir& operator=(const FuzzScratchDir&) = delete;
    std::string path;
};
