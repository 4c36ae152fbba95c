#include "scan/playlist_entries.h"

#include "core/log.h"
#include "core/paths.h"
#include "core/settings.h"
#include "scan/mp3_reader.h"
#include "scan/wma_reader.h"

#include <algorithm>
#include <cstdlib>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Only regular files are read: opening a named pipe waits for a writer
// forever, and a device never ends. No file name holds a NUL byte; one in
// an entry would have the extension tested on other text than the path
// opened. And only files inside the content directories: a playlist is a
// file anyone with write access to the library may drop there, and it must
// not bring in "/etc/passwd" or "../../etc/passwd.mp3".
bool is_library_file(const std::string& path)
{
    struct stat st = {};
    return path.find('\0') == std::string::npos && stat(path.c_str(), &st) == 0 &&
           S_ISREG(st.st_mode) && path_in_content_dir(path);
}

bool starts_with_separator_after(std::string_view text, std::string_view prefix)
{
    return text.size() > prefix.size() && text.substr(0, prefix.size()) == prefix &&
           (text[prefix.size()] == '/' || text[prefix.size()] == '\\');
}

} // namespace

std::optional<std::string> playlist_join(std::string_view base_text, std::string_view entry)
{
    std::string base(base_text);
    if (starts_with_separator_after(entry, ".") && !starts_with_separator_after(entry, "..")) {
        entry.remove_prefix(2);
    }
    while (starts_with_separator_after(entry, "..")) {
        entry.remove_prefix(3);
        size_t cut = base.rfind('/');
        if (cut == std::string::npos) {
            cut = base.rfind('\\');
        }
        base.erase(cut == std::string::npos ? 0 : cut);
    }
    std::string candidate = base;
    if (candidate.empty() || (candidate.back() != '/' && candidate.back() != '\\')) {
        candidate += '/';
    }
    candidate += entry;
    if (candidate.size() > kPlaylistLineLimit) {
        candidate.resize(kPlaylistLineLimit);
    }
    if (!candidate.empty() && static_cast<unsigned char>(candidate.back()) < 32) {
        candidate.pop_back();
    }
    if (is_library_file(candidate)) {
        return candidate;
    }
    std::replace(candidate.begin(), candidate.end(), '\\', '/');
    if (is_library_file(candidate)) {
        return candidate;
    }
    return std::nullopt;
}

std::optional<PlaylistLocation> playlist_locate_entry(std::string_view entry,
                                                      const std::string& playlist_path)
{
    if (entry.substr(0, 7) == "http://") {
        return PlaylistLocation{std::string(entry), true};
    }
    if (entry.substr(0, 1) == "/" || (entry.size() > 1 && entry[1] == ':')) {
        const std::string path(entry);
        if (is_library_file(path)) {
            return PlaylistLocation{path, false};
        }
        return std::nullopt;
    }
    const size_t slash = playlist_path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : playlist_path.substr(0, slash);
    if (std::optional<std::string> found = playlist_join(directory, entry)) {
        return PlaylistLocation{*found, false};
    }
    const int count = setting_list_count(KEY_CONTENTDIR);
    for (int i = 0; i < count; ++i) {
        const std::string element = setting_list_item(KEY_CONTENTDIR, i).value_or("");
        if (element.size() > 2 && element[1] == '|' &&
            (element[0] == 'P' || element[0] == 'M' || element[0] == 'V')) {
            if (std::optional<std::string> found = playlist_join(element.substr(2), entry)) {
                return PlaylistLocation{*found, false};
            }
        }
        if (std::optional<std::string> found = playlist_join(element, entry)) {
            return PlaylistLocation{*found, false};
        }
    }
    if (count == 0) {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd)) {
            if (std::optional<std::string> found = playlist_join(cwd, entry)) {
                return PlaylistLocation{*found, false};
            }
        }
    }
    return std::nullopt;
}

bool playlist_read_line(FILE* file, std::string& line)
{
    line.clear();
    bool too_long = false;
    for (int c; (c = fgetc(file)) != EOF;) {
        if (c == '\n') {
            if (!too_long) {
                return true;
            }
            too_long = false;
            line.clear();
            continue;
        }
        if (too_long) {
            continue;
        }
        if (line.size() == kPlaylistLineLimit) {
            too_long = true;
            continue;
        }
        line += static_cast<char>(c);
    }
    // The last line needs no line feed.
    return !too_long && !line.empty();
}

void playlist_trim(std::string& text)
{
    while (!text.empty() && static_cast<unsigned char>(text.back()) < 32) {
        text.pop_back();
    }
}

void PlaylistFailures::not_located(const std::string& entry)
{
    if (++count <= kPlaylistFailuresLogged) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to locate/add playlist item: %s\n", entry.c_str());
    }
}

void PlaylistFailures::finish(const char* playlist_path) const
{
    if (count > kPlaylistFailuresLogged) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "%d more playlist items not located in %s\n",
                count - kPlaylistFailuresLogged, playlist_path);
    }
}

int32_t PlaylistCounter::next()
{
    ++position;
    return setting_flag(KEY_RANDOMIZEPLAYLISTS) ? rand() : position;
}

bool playlist_has_extension(std::string_view location, const char* extension)
{
    return location.size() >= 3 &&
           strncasecmp(location.data() + location.size() - 3, extension, 3) == 0;
}

void playlist_add_track(const std::string& location, const std::string& playlist,
                        PlaylistCounter& counter)
{
    const bool wma = playlist_has_extension(location, "wma");
    if (!wma && !playlist_has_extension(location, "mp3")) {
        return;
    }
    if (location.rfind("http://", 0) != 0 && location.rfind("ftp://", 0) != 0 &&
        !is_library_file(location)) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "item could not be found on disk: %s\n", location.c_str());
        return;
    }
    const MusicTags tags =
        wma ? wma_read_header(location.c_str()) : mp3_read_tags(location.c_str());
    DbItemFields f = music_item_fields(tags, location.c_str(), 0);
    f.playlist = playlist.c_str();
    f.track = counter.next();
    if (db_add_item(f) == DB_ADD_FAILED) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to add item: %s\n",
                tags.title ? tags.title->c_str() : location.c_str());
    }
}
