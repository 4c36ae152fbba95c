#include "scan/reader_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

ReaderFile::ReaderFile(const char* path) : fd(open(path, O_RDONLY | O_CLOEXEC))
{
    struct stat st {
    };
    if (fd >= 0 && fstat(fd, &st) == 0) {
        size = st.st_size;
        mtime = static_cast<int64_t>(st.st_mtime);
    }
}

ReaderFile::~ReaderFile()
{
    if (fd >= 0) {
        close(fd);
    }
}

bool ReaderFile::read_at(int64_t at, void* to, size_t n) const
{
    if (at < 0 || at > size || static_cast<int64_t>(n) > size - at) {
        return false;
    }
    auto* out = static_cast<char*>(to);
    size_t done = 0;
    while (done < n) {
        const ssize_t got = pread(fd, out + done, n - done, static_cast<off_t>(at) + done);
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

bool reader_file_tags_start(const ReaderFile& file, MusicTags& tags)
{
    if (!file.ok()) {
        tags.problem = "cannot open";
        return false;
    }
    tags.size = file.size;
    tags.mtime = file.mtime;
    return true;
}
