#include "core/file_io.h"

#include <memory>
#include <unistd.h>

namespace
{

struct FileCloser {
    void operator()(FILE* f) const
    {
        fclose(f);
    }
};

} // namespace

int64_t copy_file_to_stream(FILE* stream, const std::string& path)
{
    if (!stream) {
        return 0;
    }
    std::unique_ptr<FILE, FileCloser> in(fopen(path.c_str(), "rb"));
    if (!in) {
        return 0;
    }
    // Copied in pieces rather than read whole, so a large file never needs
    // its size in memory.
    char piece[16384];
    int64_t copied = 0;
    size_t n;
    while ((n = fread(piece, 1, sizeof piece, in.get())) > 0) {
        if (fwrite(piece, 1, n, stream) != n) {
            break;
        }
        copied += static_cast<int64_t>(n);
    }
    return copied;
}

bool file_replace(const std::string& path, std::string_view text)
{
    const std::string temp = path + ".tmp";
    FILE* f = fopen(temp.c_str(), "wb");
    if (!f) {
        return false;
    }
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (fflush(f) == 0) && ok;
    ok = (fsync(fileno(f)) == 0) && ok;
    ok = (fclose(f) == 0) && ok;
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
    }
    return ok;
}

UniqueFd::~UniqueFd()
{
    if (fd >= 0) {
        close(fd);
    }
}

std::optional<std::string> read_whole_file(const std::string& path, size_t limit)
{
    std::unique_ptr<FILE, decltype(&fclose)> in(fopen(path.c_str(), "rb"), fclose);
    if (!in) {
        return std::nullopt;
    }
    std::string text;
    char piece[65536];
    size_t n;
    while ((n = fread(piece, 1, sizeof piece, in.get())) > 0) {
        if (text.size() + n > limit) {
            return std::nullopt;
        }
        text.append(piece, n);
    }
    if (ferror(in.get())) {
        return std::nullopt;
    }
    return text;
}
