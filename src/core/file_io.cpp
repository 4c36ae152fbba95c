#include "core/file_io.h"

#include <memory>

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
