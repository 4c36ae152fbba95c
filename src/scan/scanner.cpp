#include "scan/scanner.h"

#include "core/log.h"
#include "core/paths.h"
#include "core/settings.h"
#include "db/media_db.h"
#include "scan/file_types.h"
#include "scan/folder_art.h"
#include "scan/playlist_readers.h"
#include "scan/subtitle_sidecars.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr size_t kMaxPath = 4095;

// The pending rescan. Never destroyed: the request handler may still run
// while the process exits.
struct RescanState {
    std::atomic<bool> requested{false};
    std::mutex lock;
    std::condition_variable wake; // a request ends the scanner's wait at once
    std::string dir;
};

RescanState& rescan()
{
    static auto* state = new RescanState;
    return *state;
}

struct DirCloser {
    void operator()(DIR* d) const
    {
        closedir(d);
    }
};

// Whether any element of a list setting occurs in text, ignoring case.
bool contains_any(int key, const std::string& text)
{
    for (int i = 0; i < setting_list_count(key); ++i) {
        const std::optional<std::string> item = setting_list_item(key, i);
        if (item && !item->empty() && strcasestr(text.c_str(), item->c_str())) {
            return true;
        }
    }
    return false;
}

// What one walk keeps: the content directories it may reach, and the
// directories on the way from the content directory down to the one being
// read, so that a link back to one of them (or a bind mount of one inside
// itself) is not entered again and again.
struct Walk {
    const ThreadFlag& flag;
    char filter;
    std::vector<ContentRoot> roots;
    std::vector<std::pair<dev_t, ino_t>> open_path;
    ScanPass& pass;
};

// The canonical path of a directory just opened as written, when the walk
// may go into it: inside a content directory, outside /proc, /sys and /dev,
// and not already on the walk's path.
std::optional<std::string> enterable(int fd, const std::string& written, const Walk& w)
{
    struct stat st {
    };
    if (fstat(fd, &st) != 0) {
        return std::nullopt;
    }
    for (const auto& [dev, ino] : w.open_path) {
        if (dev == st.st_dev && ino == st.st_ino) {
            return std::nullopt;
        }
    }
    std::optional<std::string> canonical = path_canonical_of_fd(fd);
    if (!canonical) {
        canonical = path_canonical(written);
    }
    if (!canonical || path_is_system(*canonical) || !content_root_holding(*canonical, w.roots)) {
        return std::nullopt;
    }
    return canonical;
}

// Whether the directory was walked already in this pass for the same kinds
// (a link to a directory elsewhere in the library, a content directory
// inside another); marks it walked when not.
bool walked_before(int fd, Walk& w)
{
    struct stat st {
    };
    if (fstat(fd, &st) != 0) {
        return false;
    }
    return !w.pass.walked.insert({st.st_dev, st.st_ino, w.filter}).second;
}

// Whether the reader of a file name's extension gives a video under the
// walk's filter; the music edition has no video rows.
bool is_video_name(std::string_view name, char filter)
{
    const FileTypeRow* row = scan_file_type(name);
    return (!filter || filter == 'V') && row && row->kind == 'V';
}

std::string child_path(const std::string& directory, const char* name)
{
    std::string path = directory;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path + name;
}

// Walks an open directory; dir_fd belongs to the caller, directory is its
// canonical path, so that every file gets one spelling whichever way the
// walk came to it.
void walk(int dir_fd, const std::string& directory, Walk& w, int depth)
{
    const int own = dup(dir_fd);
    std::unique_ptr<DIR, DirCloser> d(own >= 0 ? fdopendir(own) : nullptr);
    if (!d) {
        if (own >= 0) {
            close(own);
        }
        log_msg(LOG_ERROR, LOG_CAT_DB, "opendir failed %s\n", directory.c_str());
        return;
    }
    const int compilation = scan_compilation_flag(directory);
    log_msg(LOG_INFO, LOG_CAT_DB, "scanning %s\n", directory.c_str());
    std::vector<SidecarVideo> videos;
    std::vector<std::string> subtitles;
    bool listed_whole = false;
    while (w.flag == 1) {
        const dirent* entry = readdir(d.get());
        if (!entry) {
            listed_whole = true;
            break;
        }
        const char* name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
            continue;
        }
        struct stat st {
        };
        if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            log_msg(LOG_ERROR, LOG_CAT_DB, "upnp_stat failed %s\n", name);
            continue;
        }
        std::string path = child_path(directory, name);
        if (S_ISLNK(st.st_mode)) {
            // A link is followed only to a place inside a content directory:
            // otherwise anyone who may write into the library could publish
            // every file the server can read. Whoever wants another folder
            // served names it as a content directory.
            const std::optional<std::string> target = path_canonical(path);
            if (!target || fstatat(dir_fd, name, &st, 0) != 0) {
                log_msg(LOG_ERROR, LOG_CAT_DB, "upnp_stat failed %s\n", name);
                continue;
            }
            if (path_is_system(*target) || !content_root_holding(*target, w.roots)) {
                log_msg(LOG_INFO, LOG_CAT_DB, "link leads outside the content directories: %s\n",
                        path.c_str());
                continue;
            }
            // A linked file is the file it leads to: one item, one path.
            if (S_ISREG(st.st_mode)) {
                path = *target;
            }
        }
        const bool is_dir = S_ISDIR(st.st_mode);
        // A named pipe would hold the scan until something writes to it, and
        // a device may never end: only files and directories are taken.
        if (!is_dir && !S_ISREG(st.st_mode)) {
            continue;
        }
        if (path.size() > kMaxPath || contains_any(KEY_IGNOREDIR, path)) {
            continue;
        }
        if (!is_dir) {
            // A subtitle file is part of its video, not an item of its own.
            if (subtitle_is_sidecar_name(name)) {
                subtitles.emplace_back(name);
                continue;
            }
            // A cover beside the music is the art of its tracks, not a
            // picture of its own.
            if (!folder_art_is_cover_name(name)) {
                scan_file(path, w.filter, compilation, st);
            }
            // A linked video keeps the sidecars of its own directory: the
            // link's directory may hold others, and the two would take
            // turns.
            if (path == child_path(directory, name) && is_video_name(name, w.filter)) {
                videos.push_back({name, path});
            }
            continue;
        }
        if (depth + 1 > kScanMaxDepth) {
            log_msg(LOG_INFO, LOG_CAT_DB, "do not descend further\n");
            continue;
        }
        const int child = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (child < 0) {
            log_msg(LOG_ERROR, LOG_CAT_DB, "opendir failed %s\n", path.c_str());
            continue;
        }
        // Checked again on what was opened: the entry may have been swapped
        // for a link since it was examined.
        const std::optional<std::string> inside = enterable(child, path, w);
        if (!inside) {
            log_msg(LOG_INFO, LOG_CAT_DB, "do not descend into %s\n", path.c_str());
        } else if (contains_any(KEY_IGNOREDIR, *inside) || walked_before(child, w)) {
            log_msg(LOG_INFO, LOG_CAT_DB, "already scanned or ignored: %s\n", path.c_str());
        } else {
            w.open_path.emplace_back(st.st_dev, st.st_ino);
            walk(child, *inside, w, depth + 1);
            w.open_path.pop_back();
        }
        close(child);
    }
    // Only a directory read to its end says which sidecars are gone.
    if (listed_whole) {
        subtitle_record_sidecars(directory, videos, subtitles);
    }
}

void scan_root(const std::string& element, const ThreadFlag& flag, ScanPass& pass)
{
    log_msg(LOG_INFO, LOG_CAT_DB, "DB scanning %s\n", element.c_str());
    const ContentRoot root = content_root_split(element);
    scan_directory(root.written, flag, root.kind, 0, pass);
    log_msg(LOG_INFO, LOG_CAT_DB, "DB scan on %s completed\n", element.c_str());
}

DbContainer* owner_for_kind(char kind)
{
    const DbLock lock = db_lock();
    const MediaDb& tree = db_tree(lock);
    return kind == 'P' ? tree.all_pictures : kind == 'V' ? tree.all_videos : tree.all_tracks;
}

// Waits a second, or less when a rescan is requested; false when a stop was
// requested.
bool sleep_or_stop(const ThreadFlag& flag)
{
    RescanState& state = rescan();
    std::unique_lock lock(state.lock);
    state.wake.wait_for(lock, std::chrono::seconds(1), [&] { return state.requested.load(); });
    return flag == 1;
}

void scanner_thread(ThreadFlag* flag, const ThreadFlag* reader_flag)
{
    const std::string scantime = setting_str(KEY_SCANTIME);
    const int interval = scantime.empty() ? 15 : setting_int(KEY_SCANTIME);
    // The persistence file first: its modification times spare the first
    // pass from reading files that did not change.
    for (int i = 0; i < 4501 && *reader_flag == 1 && *flag == 1; ++i) {
        sleep_ms(200);
    }
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    scan_all(*flag);
    auto took = Clock::now() - start;
    while (*flag == 1) {
        const long minutes = std::chrono::duration_cast<std::chrono::minutes>(took).count();
        long ticks = std::max<long>(1, (interval - minutes) * 6);
        while (ticks > 0 && !rescan().requested) {
            for (int s = 0; s < 10 && !rescan().requested; ++s) {
                if (!sleep_or_stop(*flag)) {
                    *flag = 0;
                    return;
                }
            }
            --ticks;
        }
        start = Clock::now();
        if (interval > 0 || rescan().requested) {
            scan_all(*flag);
            db_purge_vanished();
            db_prune_empty();
        }
        took = Clock::now() - start;
    }
    *flag = 0;
}

} // namespace

int scan_compilation_flag(std::string_view directory)
{
    return contains_any(KEY_COMPILATIONSDIR, std::string(directory)) ? 1 : 0;
}

ScanEntry scan_playlist_entry(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string_view name =
        std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
    ScanEntry kind = ScanEntry::Unknown;
    if (const FileTypeRow* row = scan_file_type(name)) {
        kind = row->kind == 'M' && scan_reader(row->reader) && !file_type_is_playlist(*row)
                   ? ScanEntry::Music
                   : ScanEntry::Other;
    }
    struct stat st {
    };
    if (kind == ScanEntry::Music && stat(path.c_str(), &st) == 0) {
        scan_file(path, 'M', scan_compilation_flag(std::string_view(path).substr(0, slash)), st);
    }
    return kind;
}

void scan_file(const std::string& path, char filter, int compilation, const struct stat& st)
{
    const size_t slash = path.rfind('/');
    const FileTypeRow* row =
        scan_file_type(std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1));
    const ScanReader reader = row ? scan_reader(row->reader) : nullptr;
    if (!reader || (filter && filter != row->kind)) {
        return;
    }
    if (db_needs_update_since(path.c_str(), static_cast<int64_t>(st.st_mtime),
                              static_cast<int64_t>(st.st_size), owner_for_kind(row->kind))) {
        reader(path.c_str(), compilation);
    }
}

void scan_directory(const std::string& directory, const ThreadFlag& flag, char filter, int depth)
{
    ScanPass pass;
    scan_directory(directory, flag, filter, depth, pass);
}

void scan_directory(const std::string& directory, const ThreadFlag& flag, char filter, int depth,
                    ScanPass& pass)
{
    if (depth > kScanMaxDepth) {
        log_msg(LOG_INFO, LOG_CAT_DB, "do not descend further\n");
        return;
    }
    if (flag != 1) {
        return;
    }
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        log_msg(LOG_ERROR, LOG_CAT_DB, "opendir failed %s\n", directory.c_str());
        return;
    }
    Walk w{flag, filter, content_roots(), {}, pass};
    // A requested directory is checked once more here, when it is walked:
    // its links may have changed since the request was accepted. The walk
    // goes on under the canonical name: "dir/", "dir/." and a link to dir
    // all give the same paths.
    if (const std::optional<std::string> canonical = enterable(fd, directory, w)) {
        if (!walked_before(fd, w)) {
            struct stat st {
            };
            if (fstat(fd, &st) == 0) {
                w.open_path.emplace_back(st.st_dev, st.st_ino);
            }
            walk(fd, *canonical, w, depth);
        }
    } else {
        log_msg(LOG_INFO, LOG_CAT_DB, "do not descend into %s\n", directory.c_str());
    }
    close(fd);
}

void scan_all(const ThreadFlag& flag)
{
    RescanState& state = rescan();
    std::string dir;
    if (state.requested) {
        std::lock_guard guard(state.lock);
        dir = state.dir;
    }
    ScanPass pass;
    if (!dir.empty()) {
        scan_root(dir, flag, pass);
    } else if (setting_list_count(KEY_CONTENTDIR) == 0) {
        scan_root(start_directory(), flag, pass);
    } else {
        for (int i = 0; i < setting_list_count(KEY_CONTENTDIR); ++i) {
            const std::optional<std::string> element = setting_list_item(KEY_CONTENTDIR, i);
            if (element && !element->empty()) {
                scan_root(*element, flag, pass);
            }
        }
    }
    std::lock_guard guard(state.lock);
    state.dir.clear();
    state.requested = false;
}

void scan_thread_start(ThreadFlag& flag, const ThreadFlag& reader_flag)
{
    {
        std::lock_guard guard(rescan().lock);
        rescan().dir.clear();
    }
    ThreadFlag* f = &flag;
    const ThreadFlag* r = &reader_flag;
    start_worker(flag, [f, r] { scanner_thread(f, r); });
}

bool scan_request(const std::string& dir)
{
    RescanState& state = rescan();
    std::lock_guard guard(state.lock);
    if (state.requested) {
        return false;
    }
    state.dir = dir;
    state.requested = true;
    state.wake.notify_all();
    return true;
}

bool scan_requested()
{
    return rescan().requested;
}

std::string scan_requested_dir()
{
    std::lock_guard guard(rescan().lock);
    return rescan().dir;
}
