#include "core/log.h"
#include "core/titles.h"
#include "db/media_db.h"
#include "scan/playlist_entries.h"
#include "scan/playlist_readers.h"

#include <algorithm>
#include <memory>
#include <sys/stat.h>

namespace
{

// Where a pls entry points; the file's existence is left to the add.
std::string pls_location(const std::string& entry, const std::string& playlist_path)
{
    std::string location;
    if (entry.rfind("http://", 0) == 0 || entry.rfind('/', 0) == 0 ||
        (entry.size() > 1 && entry[1] == ':')) {
        location = entry;
    } else {
        std::string relative = entry;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        const size_t slash = playlist_path.rfind('/');
        location = slash == std::string::npos ? playlist_path + "/" + relative
                                              : playlist_path.substr(0, slash + 1) + relative;
    }
    playlist_trim(location);
    return location;
}

} // namespace

int pls_read(const char* path, int)
{
    struct stat st = {};
    if (stat(path, &st) != 0) {
        return 0;
    }
    std::unique_ptr<FILE, decltype(&fclose)> file(fopen(path, "r"), fclose);
    if (!file) {
        return 0;
    }
    PlaylistBuild build(path, title_from_filename(path));
    std::string line;
    while (playlist_read_line(file.get(), line)) {
        const size_t equals = line.find('=');
        if (line.rfind("File", 0) != 0 || equals == std::string::npos) {
            continue;
        }
        const std::string entry = line.substr(equals + 1);
        const std::string location = pls_location(entry, path);
        if (location.rfind("http://", 0) == 0 || location.rfind("ftp://", 0) == 0) {
            playlist_add_remote(build, location);
            continue;
        }
        // The bytes as written first, then in the other encoding. Only files
        // a music reader takes are added (add_file).
        std::optional<std::string> found = playlist_library_file(location);
        if (!found) {
            if (const std::optional<std::string> other = playlist_other_spelling(entry)) {
                found = playlist_library_file(pls_location(*other, path));
            }
        }
        if (!found) {
            log_msg(LOG_PROBLEM, LOG_CAT_DB, "item could not be found on disk: %s\n",
                    location.c_str());
            continue;
        }
        build.add_file(*found);
    }
    build.finish();
    return 0;
}
