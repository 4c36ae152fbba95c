#include "core/paths.h"

#include "core/settings.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

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

ContentRoot content_root_split(std::string_view element)
{
    ContentRoot root;
    if (has_media_prefix(element)) {
        root.kind = static_cast<char>(element[0] & ~0x20);
        element.remove_prefix(2);
    }
    root.written = std::string(element);
    return root;
}

std::vector<ContentRoot> content_roots()
{
    std::vector<ContentRoot> roots;
    const int count = setting_list_count(KEY_CONTENTDIR);
    auto add = [&roots](ContentRoot root) {
        if (std::optional<std::string> canonical = path_canonical(root.written)) {
            root.canonical = std::move(*canonical);
            roots.push_back(std::move(root));
        }
    };
    if (count == 0) {
        add(ContentRoot{0, start_directory(), {}});
    }
    for (int i = 0; i < count; ++i) {
        const std::optional<std::string> element = setting_list_item(KEY_CONTENTDIR, i);
        if (element && !element->empty()) {
            add(content_root_split(*element));
        }
    }
    return roots;
}

const ContentRoot* content_root_holding(std::string_view canonical,
                                        const std::vector<ContentRoot>& roots)
{
    for (const ContentRoot& root : roots) {
        if (path_is_below(canonical, root.canonical)) {
            return &root;
        }
    }
    return nullptr;
}

std::optional<std::string> path_canonical(const std::string& path)
{
    // A NUL inside would have the C library look at another path than ours.
    if (path.empty() || path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), free);
    if (!resolved) {
        return std::nullopt;
    }
    return std::string(resolved.get());
}

std::optional<std::string> path_canonical_allow_missing(const std::string& path)
{
    if (std::optional<std::string> whole = path_canonical(path)) {
        return whole;
    }
    if (path.empty() || path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    for (size_t cut = path.size(); cut > 0;) {
        const size_t slash = path.rfind('/', cut - 1);
        if (slash == std::string::npos) {
            return std::nullopt;
        }
        const std::optional<std::string> base =
            path_canonical(slash == 0 ? "/" : path.substr(0, slash));
        if (!base) {
            cut = slash;
            continue;
        }
        std::string out = *base == "/" ? "" : *base;
        std::string_view rest = std::string_view(path).substr(slash);
        while (!rest.empty()) {
            const size_t next = rest.find('/', 1);
            std::string_view part =
                rest.substr(1, next == std::string_view::npos ? rest.npos : next - 1);
            rest = next == std::string_view::npos ? std::string_view() : rest.substr(next);
            if (part == "." || part == "..") {
                return std::nullopt;
            }
            if (!part.empty()) {
                out += '/';
                out += part;
            }
        }
        return out.empty() ? std::string("/") : out;
    }
    return std::nullopt;
}

std::optional<std::string> path_canonical_of_fd(int fd)
{
    if (fd < 0) {
        return std::nullopt;
    }
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    char target[PATH_MAX + 1];
    const ssize_t n = readlink(link.c_str(), target, PATH_MAX);
    // Anything but an absolute path (a pipe, a socket, a deleted file) is no
    // place in the file system.
    if (n <= 0 || target[0] != '/') {
        return std::nullopt;
    }
    return std::string(target, static_cast<size_t>(n));
}

bool path_is_below(std::string_view path, std::string_view root)
{
    while (root.size() > 1 && root.back() == '/') {
        root.remove_suffix(1);
    }
    if (root.empty() || root[0] != '/' || !starts_with(path, root)) {
        return false;
    }
    return path.size() == root.size() || root == "/" || path[root.size()] == '/';
}

bool path_is_system(std::string_view canonical)
{
    return path_is_below(canonical, "/proc") || path_is_below(canonical, "/sys") ||
           path_is_below(canonical, "/dev");
}

namespace
{

struct LibraryFolders {
    std::mutex mutex;
    std::vector<std::string> canonical;
};

LibraryFolders& library_folders()
{
    static LibraryFolders* folders = new LibraryFolders; // used by threads until exit
    return *folders;
}

bool in_library_folder(std::string_view canonical)
{
    LibraryFolders& folders = library_folders();
    const std::lock_guard<std::mutex> hold(folders.mutex);
    return std::any_of(folders.canonical.begin(), folders.canonical.end(),
                       [&](const std::string& root) { return path_is_below(canonical, root); });
}

} // namespace

bool path_add_library_folder(const std::string& dir, const std::string& home)
{
    std::optional<std::string> canonical = path_canonical(dir);
    // The root would share every file of the machine.
    if (!canonical || *canonical == "/" || path_is_system(*canonical)) {
        return false;
    }
    const std::optional<std::string> trusted = path_canonical(home);
    // Strictly below: the folder itself would share everything beside the
    // library file (a library kept in the home folder, the whole home).
    const bool in_home = trusted && *trusted != "/" && !path_is_system(*trusted) &&
                         *canonical != *trusted && path_is_below(*canonical, *trusted);
    if (!in_home && !content_root_holding(*canonical, content_roots())) {
        return false;
    }
    LibraryFolders& folders = library_folders();
    const std::lock_guard<std::mutex> hold(folders.mutex);
    if (std::find(folders.canonical.begin(), folders.canonical.end(), *canonical) ==
        folders.canonical.end()) {
        folders.canonical.push_back(std::move(*canonical));
    }
    return true;
}

bool path_in_content_dir(const std::string& path, int fd)
{
    std::optional<std::string> canonical = fd >= 0 ? path_canonical_of_fd(fd) : std::nullopt;
    // Without /proc the descriptor cannot tell its path; the name then has to.
    if (!canonical) {
        canonical = path_canonical(path);
    }
    return canonical && !path_is_system(*canonical) &&
           (content_root_holding(*canonical, content_roots()) != nullptr ||
            in_library_folder(*canonical));
}
