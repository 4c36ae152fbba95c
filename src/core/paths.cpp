#include "core/paths.h"

#include "core/settings.h"

#include <algorithm>
#include <mutex>
#include <strings.h>
#include <sys/stat.h>

namespace
{

struct ProgramPaths {
    std::mutex lock;
    std::string program;
    std::string start;
};

ProgramPaths& program_paths()
{
    static auto* p = new ProgramPaths;
    return *p;
}

bool exists(const std::string& path)
{
    struct stat st {
    };
    return stat(path.c_str(), &st) == 0;
}

bool starts_with(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

bool has_media_prefix(std::string_view dir)
{
    if (dir.size() < 2 || dir[1] != '|') {
        return false;
    }
    char c = static_cast<char>(dir[0] & ~0x20);
    return c == 'P' || c == 'M' || c == 'V';
}

} // namespace

void set_program_paths(std::string_view program_path, std::string_view start_directory)
{
    ProgramPaths& p = program_paths();
    std::lock_guard guard(p.lock);
    p.program = std::string(program_path.substr(0, 255));
    p.start = std::string(start_directory.substr(0, 1023));
}

std::string program_path()
{
    ProgramPaths& p = program_paths();
    std::lock_guard guard(p.lock);
    return p.program;
}

std::string start_directory()
{
    ProgramPaths& p = program_paths();
    std::lock_guard guard(p.lock);
    return p.start;
}

std::optional<std::string> resolve_path(std::string_view base, std::string_view relative)
{
    std::string dir(base.substr(0, 1023));
    if (starts_with(relative, "./") || starts_with(relative, ".\\")) {
        relative.remove_prefix(2);
    }
    while (starts_with(relative, "../") || starts_with(relative, "..\\")) {
        relative.remove_prefix(3);
        size_t cut = dir.rfind('/');
        if (cut == std::string::npos) {
            cut = dir.rfind('\\');
        }
        if (cut != std::string::npos) {
            dir.resize(cut);
        }
    }
    std::string joined = dir;
    if (joined.empty() || (joined.back() != '/' && joined.back() != '\\')) {
        joined += '/';
    }
    joined += relative;
    joined.resize(std::min<size_t>(joined.size(), 1023));
    // Playlist lines may still carry their CR.
    if (!joined.empty() && static_cast<unsigned char>(joined.back()) < 32) {
        joined.pop_back();
    }
    if (exists(joined)) {
        return joined;
    }
    backslash_to_slash(joined);
    if (exists(joined)) {
        return joined;
    }
    return std::nullopt;
}

std::optional<LocatedFile> locate_file(std::string_view name, std::string_view reference_file)
{
    if (starts_with(name, "http://")) {
        return LocatedFile{std::string(name), true};
    }
    bool absolute = starts_with(name, "/") || (name.size() > 1 && name[1] == ':');
    if (absolute && exists(std::string(name))) {
        return LocatedFile{std::string(name), false};
    }
    size_t slash = reference_file.rfind('/');
    std::string_view ref_dir =
        slash == std::string_view::npos ? reference_file : reference_file.substr(0, slash);
    if (auto hit = resolve_path(ref_dir, name)) {
        return LocatedFile{*hit, false};
    }
    const int dirs = setting_list_count(KEY_CONTENTDIR);
    if (dirs == 0) {
        if (auto hit = resolve_path(start_directory(), name)) {
            return LocatedFile{*hit, false};
        }
        return std::nullopt;
    }
    for (int i = 0; i < dirs; ++i) {
        std::string dir = setting_list_item(KEY_CONTENTDIR, i).value_or("");
        if (has_media_prefix(dir)) {
            if (auto hit = resolve_path(std::string_view(dir).substr(2), name)) {
                return LocatedFile{*hit, false};
            }
        }
        if (auto hit = resolve_path(dir, name)) {
            return LocatedFile{*hit, false};
        }
    }
    return std::nullopt;
}

char* backslash_to_slash(char* path)
{
    for (char* p = path; p && *p; ++p) {
        if (*p == '\\') {
            *p = '/';
        }
    }
    return path;
}

void backslash_to_slash(std::string& path)
{
    std::replace(path.begin(), path.end(), '\\', '/');
}
