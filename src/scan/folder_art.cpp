#include "scan/folder_art.h"

#include "core/text_util.h"

#include <dirent.h>
#include <memory>
#include <sys/stat.h>

namespace
{

struct DirCloser {
    void operator()(DIR* d) const
    {
        closedir(d);
    }
};

// The rank of a folder-art name, lower first: cover, folder, front, AlbumArt*,
// each JPEG before PNG; -1 for any other name.
int cover_rank(std::string_view name)
{
    int format = 0;
    if (ends_with_nocase(name, ".jpg")) {
        format = 0;
    } else if (ends_with_nocase(name, ".png")) {
        format = 1;
    } else {
        return -1;
    }
    const std::string_view stem = name.substr(0, name.size() - 4);
    static constexpr std::string_view kExact[] = {"cover", "folder", "front"};
    for (int i = 0; i < 3; ++i) {
        if (stem.size() == kExact[i].size() && starts_with_nocase(stem, kExact[i])) {
            return i * 2 + format;
        }
    }
    if (starts_with_nocase(stem, "albumart")) {
        return 6 + format;
    }
    return -1;
}

} // namespace

bool folder_art_is_cover_name(std::string_view name)
{
    return cover_rank(name) >= 0;
}

std::string folder_art_find(const std::string& directory)
{
    std::unique_ptr<DIR, DirCloser> d(opendir(directory.empty() ? "/" : directory.c_str()));
    if (!d) {
        return {};
    }
    std::string best;
    int best_rank = -1;
    while (const dirent* entry = readdir(d.get())) {
        const int rank = cover_rank(entry->d_name);
        // Among several AlbumArt* files the name decides, so that the choice
        // does not depend on the order the directory lists them in.
        if (rank >= 0 && (best_rank < 0 || rank < best_rank ||
                          (rank == best_rank && best.compare(entry->d_name) > 0))) {
            best = entry->d_name;
            best_rank = rank;
        }
    }
    return best.empty() ? best : directory + "/" + best;
}

bool folder_art_beside(const char* file_path)
{
    if (!file_path || file_path[0] != '/') {
        return false;
    }
    const std::string_view path(file_path);
    const std::string directory(path.substr(0, path.rfind('/')));
    // The directory's change time tells whether a cover came or went since
    // the last look.
    struct stat st {
    };
    if (stat(directory.empty() ? "/" : directory.c_str(), &st) != 0) {
        return false;
    }
    thread_local std::string last_directory;
    thread_local timespec last_change{-1, 0};
    thread_local bool last_found = false;
    if (directory != last_directory || st.st_mtim.tv_sec != last_change.tv_sec ||
        st.st_mtim.tv_nsec != last_change.tv_nsec) {
        last_found = !folder_art_find(directory).empty();
        last_directory = directory;
        last_change = st.st_mtim;
    }
    return last_found;
}
