#include "temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

TempDir::TempDir()
{
    std::string pattern =
        (std::filesystem::temp_directory_path() / "corvalenso-test-XXXXXX").string();
    if (mkdtemp(pattern.data())) {
        path = pattern;
    }
}

TempDir::~TempDir()
{
    if (!path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

std::string TempDir::file(std::string_view name) const
{
    return path + "/" + std::string(name);
}

void write_text_file(const std::string& path, std::string_view text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::string read_text_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
