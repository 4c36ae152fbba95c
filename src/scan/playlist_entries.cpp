#include "scan/playlist_entries.h"

#include "core/log.h"
#include "core/paths.h"
#include "core/settings.h"
#include "core/utf8.h"
#include "scan/file_types.h"
#include "scan/music_tags.h"
#include "scan/playlist_readers.h"
#include "scan/scanner.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The longest path a joined entry may have; longer ones name nothing.
constexpr size_t kMaxEntryPath = 4095;

bool starts_with_separator_after(std::string_view text, std::string_view prefix)
{
    return text.size() > prefix.size() && text.substr(0, prefix.size()) == prefix &&
           (text[prefix.size()] == '/' || text[prefix.size()] == '\\');
}

// playlist_locate_entry for one spelling of the entry.
std::optional<PlaylistLocation> locate_spelling(std::string_view entry,
                                                const std::string& playlist_path)
{
    if (entry.substr(0, 1) == "/" || (entry.size() > 1 && entry[1] == ':')) {
        if (std::optional<std::string> found = playlist_library_file(std::string(entry))) {
            return PlaylistLocation{*found, false};
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

} // namespace

// Only regular files are read: opening a named pipe waits for a writer
// forever, and a device never ends. No file name holds a NUL byte; one in
// an entry would have the extension tested on other text than the path
// opened. And only files inside the content directories: a playlist is a
// file anyone with write access to the library may drop there, and it must
// not bring in "/etc/passwd" or "../../etc/passwd.mp3".
std::optional<std::string> playlist_library_file(const std::string& path)
{
    const std::optional<std::string> canonical = path_canonical(path);
    struct stat st = {};
    if (!canonical || stat(canonical->c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        path_is_system(*canonical) || !content_root_holding(*canonical, content_roots())) {
        return std::nullopt;
    }
    return canonical;
}

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
    // A path cut short would name another file, or half a character.
    if (candidate.size() > kMaxEntryPath) {
        return std::nullopt;
    }
    if (!candidate.empty() && static_cast<unsigned char>(candidate.back()) < 32) {
        candidate.pop_back();
    }
    if (std::optional<std::string> found = playlist_library_file(candidate)) {
        return found;
    }
    std::replace(candidate.begin(), candidate.end(), '\\', '/');
    return playlist_library_file(candidate);
}

std::optional<std::string> playlist_other_spelling(std::string_view entry)
{
    if (std::all_of(entry.begin(), entry.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        return std::nullopt;
    }
    if (!utf8_valid(entry)) {
        return utf8_from_latin1(entry);
    }
    // Back to Latin-1 only when every character has a byte there: "?" for
    // the others would name another file.
    std::string latin1 = utf8_to_latin1(entry);
    if (utf8_from_latin1(latin1) != entry) {
        return std::nullopt;
    }
    return latin1;
}

std::optional<PlaylistLocation> playlist_locate_entry(std::string_view entry,
                                                      const std::string& playlist_path)
{
    if (entry.substr(0, 7) == "http://" || entry.substr(0, 6) == "ftp://") {
        return PlaylistLocation{std::string(entry), true};
    }
    // The bytes as written first: they name the file on the disk the
    // playlist was written for.
    if (std::optional<PlaylistLocation> found = locate_spelling(entry, playlist_path)) {
        return found;
    }
    if (const std::optional<std::string> other = playlist_other_spelling(entry)) {
        return locate_spelling(*other, playlist_path);
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

PlaylistBuild::PlaylistBuild(std::string source_path, std::string title)
    : source(std::move(source_path)), name(std::move(title))
{
}

ScanEntry PlaylistBuild::add_file(const std::string& location)
{
    const ScanEntry kind = scan_playlist_entry(location);
    if (kind == ScanEntry::Music) {
        entries.push_back({location, kClassMusicTrack, counter.next()});
    }
    return kind;
}

void PlaylistBuild::add_known(const std::string& path, const char* upnp_class, int32_t order)
{
    entries.push_back({path, upnp_class, order});
}

void PlaylistBuild::finish()
{
    db_set_playlist(source.c_str(), name.c_str(), entries, setting_flag(KEY_RANDOMIZEPLAYLISTS));
}

void playlist_add_remote(PlaylistBuild& build, const std::string& location,
                         const std::optional<std::string>& title)
{
    if (!scan_is_music_track_name(location)) {
        return;
    }
    const MusicTags tags;
    DbItemFields f = music_item_fields(tags, location.c_str(), 0);
    if (title) {
        f.title = title->c_str();
    }
    if (db_add_item(f) == DB_ADD_FAILED) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to add item: %s\n", location.c_str());
        return;
    }
    build.add_known(location, kClassMusicTrack, build.counter.next());
}
