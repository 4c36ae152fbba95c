#include "webconfig/resource_pack.h"

#include "core/file_io.h"
#include "core/log.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

struct ResourcePaths {
    std::mutex lock;
    std::string pack_file;
    std::string override_directory;
};

ResourcePaths& paths()
{
    static auto* p = new ResourcePaths;
    return *p;
}

uint32_t read_be32(const unsigned char* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void write_be32(unsigned char* p, uint32_t value)
{
    p[0] = static_cast<unsigned char>(value >> 24);
    p[1] = static_cast<unsigned char>(value >> 16);
    p[2] = static_cast<unsigned char>(value >> 8);
    p[3] = static_cast<unsigned char>(value);
}

bool read_at(int fd, void* out, size_t length, off_t offset)
{
    auto* p = static_cast<char*>(out);
    while (length > 0) {
        const ssize_t n = pread(fd, p, length, offset);
        if (n <= 0) {
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

// A regular file read whole, when it is no larger than the limit.
std::optional<std::string> read_whole(const std::string& path)
{
    UniqueFd f(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st = {};
    if (f.fd < 0 || fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size > kResourceMaxBytes) {
        return std::nullopt;
    }
    std::string content(static_cast<size_t>(st.st_size), '\0');
    if (!content.empty() && !read_at(f.fd, content.data(), content.size(), 0)) {
        return std::nullopt;
    }
    return content;
}

std::optional<std::string> read_from_pack(const std::string& pack_file, std::string_view name)
{
    UniqueFd f(open(pack_file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st = {};
    if (f.fd < 0 || fstat(f.fd, &st) != 0 || st.st_size < 6) {
        return std::nullopt;
    }
    unsigned char tail[6];
    if (!read_at(f.fd, tail, sizeof tail, st.st_size - 6) || tail[4] != 'Q' || tail[5] != 'X') {
        return std::nullopt;
    }
    const uint64_t count = read_be32(tail);
    const uint64_t index_bytes = count * kPackEntrySize;
    if (index_bytes + 6 > static_cast<uint64_t>(st.st_size)) {
        return std::nullopt;
    }
    const off_t index_start = static_cast<off_t>(st.st_size - 6 - static_cast<off_t>(index_bytes));
    for (uint64_t i = 0; i < count; ++i) {
        std::array<unsigned char, kPackEntrySize> entry{};
        if (!read_at(f.fd, entry.data(), entry.size(),
                     index_start + static_cast<off_t>(i * kPackEntrySize))) {
            return std::nullopt;
        }
        const char* entry_name = reinterpret_cast<const char*>(entry.data() + 8);
        const size_t entry_length = strnlen(entry_name, kPackNameSize);
        if (std::string_view(entry_name, entry_length) != name) {
            continue;
        }
        const uint64_t size = read_be32(entry.data());
        const uint64_t offset = read_be32(entry.data() + 4);
        // A block must lie before the index: a damaged entry reads nothing.
        if (offset + size > static_cast<uint64_t>(index_start) ||
            size > static_cast<uint64_t>(kResourceMaxBytes)) {
            return std::nullopt;
        }
        std::string content(size, '\0');
        if (size > 0 && !read_at(f.fd, content.data(), size, static_cast<off_t>(offset))) {
            return std::nullopt;
        }
        return content;
    }
    return std::nullopt;
}

bool has_web_extension(std::string_view name)
{
    static const char* const kExtensions[] = {".htm", ".html", ".css", ".js",  ".gif",
                                              ".jpg", ".jpeg", ".png", ".ico", ".svg"};
    return std::any_of(std::begin(kExtensions), std::end(kExtensions), [&](const char* e) {
        const size_t n = strlen(e);
        return name.size() > n && strncasecmp(name.data() + name.size() - n, e, n) == 0;
    });
}

} // namespace

void resource_init(std::string_view pack_file, std::string_view override_directory)
{
    ResourcePaths& p = paths();
    std::lock_guard guard(p.lock);
    p.pack_file = std::string(pack_file.substr(0, 4095));
    p.override_directory = std::string(override_directory.substr(0, 1023));
}

bool resource_name_allowed(std::string_view name)
{
    if (name.empty() || name.size() >= kPackNameSize || name.front() == '.' ||
        name.find("..") != std::string_view::npos) {
        return false;
    }
    const bool plain = std::none_of(name.begin(), name.end(), [](char ch) {
        const auto u = static_cast<unsigned char>(ch);
        return ch == '/' || ch == '\\' || u < 0x20 || u == 0x7F;
    });
    return plain && has_web_extension(name);
}

std::optional<std::string> resource_read(std::string_view name)
{
    if (!resource_name_allowed(name)) {
        return std::nullopt;
    }
    std::string pack_file;
    std::string directory;
    {
        ResourcePaths& p = paths();
        std::lock_guard guard(p.lock);
        pack_file = p.pack_file;
        directory = p.override_directory;
    }
    if (!directory.empty()) {
        if (std::optional<std::string> local = read_whole(directory + "/" + std::string(name))) {
            return local;
        }
    }
    return pack_file.empty() ? std::nullopt : read_from_pack(pack_file, name);
}

int resource_pack_write(const char* program_file, const char* resource_directory)
{
    struct stat st = {};
    if (!program_file || !resource_directory || stat(program_file, &st) != 0) {
        return 1;
    }
    {
        UniqueFd f(open(program_file, O_RDONLY | O_CLOEXEC));
        unsigned char tail[2];
        if (f.fd >= 0 && st.st_size >= 2 && read_at(f.fd, tail, 2, st.st_size - 2) &&
            tail[0] == 'Q' && tail[1] == 'X') {
            printf("resources already added to %s\n", program_file);
            return 0;
        }
    }
    // Name order, so that two builds of the same files give the same pack.
    std::vector<std::string> names;
    if (DIR* dir = opendir(resource_directory)) {
        while (const dirent* e = readdir(dir)) {
            const std::string entry = e->d_name;
            struct stat es = {};
            const std::string path = std::string(resource_directory) + "/" + entry;
            if (entry != "." && entry != ".." && stat(path.c_str(), &es) == 0 &&
                S_ISREG(es.st_mode) && entry.size() < kPackNameSize) {
                names.push_back(entry);
            }
        }
        closedir(dir);
    } else {
        return 1;
    }
    std::sort(names.begin(), names.end());
    if (names.size() > static_cast<size_t>(kPackMaxEntries)) {
        fprintf(stderr, "only %d resources fit a pack, %zu given\n", kPackMaxEntries, names.size());
        return 1;
    }
    // The pack is built whole in memory and appended in one go, so that a
    // failure leaves no half pack behind.
    std::string pack;
    std::string index;
    uint64_t offset = static_cast<uint64_t>(st.st_size);
    for (const std::string& name : names) {
        const std::optional<std::string> content =
            read_whole(std::string(resource_directory) + "/" + name);
        const std::string data = content.value_or(std::string());
        if (offset + data.size() > UINT32_MAX) {
            return 1;
        }
        std::array<unsigned char, kPackEntrySize> entry{};
        write_be32(entry.data(), static_cast<uint32_t>(data.size()));
        write_be32(entry.data() + 4, static_cast<uint32_t>(offset));
        memcpy(entry.data() + 8, name.data(), name.size());
        index.append(reinterpret_cast<const char*>(entry.data()), entry.size());
        pack += data;
        offset += data.size();
    }
    unsigned char tail[6];
    write_be32(tail, static_cast<uint32_t>(names.size()));
    tail[4] = 'Q';
    tail[5] = 'X';
    pack += index;
    pack.append(reinterpret_cast<const char*>(tail), sizeof tail);
    FILE* out = fopen(program_file, "ab");
    if (!out) {
        return 1;
    }
    const bool written = fwrite(pack.data(), 1, pack.size(), out) == pack.size();
    if (fclose(out) != 0 || !written) {
        // Back to the program as it was.
        if (truncate(program_file, st.st_size) != 0) {
            return 1;
        }
        return 1;
    }
    printf("added %zu resources from %s\n", names.size(), resource_directory);
    return 0;
}
