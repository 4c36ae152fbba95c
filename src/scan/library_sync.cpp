#include "scan/library_sync.h"

#include "core/log.h"
#include "core/paths.h"
#include "db/media_db.h"
#include "scan/file_types.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

std::string library_playlist_source(const std::string& file, const std::string& key)
{
    return file + kDbSourcePartSeparator + key;
}

void library_replace(const std::string& file, const LibraryContents& now)
{
    // What the tree says the library holds, not what this process imported:
    // after a restart the items the persistence file restored count too.
    const DbLibraryHoldings before = db_library_holdings(file);
    for (const std::string& source : before.playlists) {
        if (!now.playlists.contains(source)) {
            db_remove_playlist(source.c_str());
        }
    }
    std::vector<const std::pair<std::string, const char*>*> gone;
    for (const auto& item : before.items) {
        if (!now.items.contains(item)) {
            gone.push_back(&item);
        }
    }
    if (gone.empty()) {
        return;
    }
    // A file that also lies in a content directory is the scanner's as much
    // as the library's: it stays, as a scanned item. Decided before the lock,
    // since it asks the file system.
    const std::vector<ContentRoot> roots = content_roots();
    std::vector<bool> scanned(gone.size());
    for (size_t i = 0; i < gone.size(); ++i) {
        const std::optional<std::string> canonical = path_canonical(gone[i]->first);
        scanned[i] = canonical && content_root_holding(*canonical, roots) != nullptr;
    }
    size_t left = 0;
    const char* library = db_library_name(file);
    const DbLock lock = db_lock();
    for (size_t i = 0; i < gone.size(); ++i) {
        DbItem* found = db_find_item_for_class(lock, gone[i]->first, gone[i]->second);
        // Another library may hold it now.
        if (!found || found->library != library) {
            continue;
        }
        if (scanned[i]) {
            db_release_from_library(lock, found);
        } else {
            db_unlink_item(lock, found);
            ++left;
        }
    }
    if (left > 0) {
        log_msg(LOG_INFO, LOG_CAT_DB, "%zu tracks left the library %s and the tree\n", left,
                file.c_str());
    }
}

LibraryFile library_open(const std::string& file, const char* what)
{
    // Not blocking: opening a pipe would wait for a writer.
    const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {
    };
    if (fd < 0 || fstat(fd, &st) != 0) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "can not open the %s %s: %s\n", what, file.c_str(),
                strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return {nullptr, fclose};
    }
    if (!S_ISREG(st.st_mode)) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "the %s %s is not a regular file; not read\n", what,
                file.c_str());
        close(fd);
        return {nullptr, fclose};
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    LibraryFile f(fdopen(fd, "rb"), fclose);
    if (!f) {
        close(fd);
    }
    return f;
}

void library_refuse(LibraryRefusals& refusals, const std::string& title, const std::string& path,
                    const char* why)
{
    if (refusals.count++ < kLibraryRefusalsLogged) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to add item: %s %s: %s\n", title.c_str(),
                path.c_str(), why);
    }
}

void library_refusals_end(const LibraryRefusals& refusals, const std::string& file)
{
    if (refusals.count > kLibraryRefusalsLogged) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "library %s: %d more tracks not added\n", file.c_str(),
                refusals.count - kLibraryRefusalsLogged);
    }
}

std::optional<const char*> library_track_refusal(const std::string& path)
{
    const std::optional<std::string> canonical = path_canonical(path);
    struct stat st {
    };
    if (!canonical || stat(canonical->c_str(), &st) != 0) {
        return "no such file";
    }
    if (!S_ISREG(st.st_mode) || !scan_is_music_track_name(*canonical)) {
        return "no music file";
    }
    if (!path_in_content_dir(*canonical)) {
        return "outside the content directories and the library's music folder";
    }
    return std::nullopt;
}
