// Where the program lives and started, and how relative names of media and
// playlist entries are found on disk.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Records the program path (255 characters kept) and the start directory
// (1023 characters kept).
void set_program_paths(std::string_view program_path, std::string_view start_directory);
std::string program_path();
std::string start_directory();

// Joins base and relative ("./" dropped, each "../" climbing one level of
// base) and returns the result when it exists; otherwise retries once with
// every '\' turned into '/'.
std::optional<std::string> resolve_path(std::string_view base, std::string_view relative);

struct LocatedFile {
    std::string path;
    bool is_url = false;
};

// Finds a file named in a playlist or library: an "http://" URL as it is, an
// absolute path that exists, a path relative to the referring file's
// directory, then relative to each content directory (or the start directory
// when none is configured).
std::optional<LocatedFile> locate_file(std::string_view name, std::string_view reference_file);

// A content directory: the kind its "M|", "P|" or "V|" prefix admits (0 for
// every kind), the directory as written, and its canonical form (empty when
// it does not exist).
struct ContentRoot {
    char kind = 0;
    std::string written;
    std::string canonical;
};

// A "contentdir" element split into its kind (the prefix letter in either
// case) and the directory; canonical is left empty.
ContentRoot content_root_split(std::string_view element);

// The content directories in force, in list order, with their canonical
// forms; the start directory when none is configured. Directories that do
// not exist are left out: nothing can lie inside them.
std::vector<ContentRoot> content_roots();

// The first of roots that holds the canonical path, or null.
const ContentRoot* content_root_holding(std::string_view canonical,
                                        const std::vector<ContentRoot>& roots);

// The canonical form of path (absolute, without ".", ".." or symbolic
// links), or nothing when it does not exist.
std::optional<std::string> path_canonical(const std::string& path);

// The same for a path that may not exist yet: the canonical form of its
// longest existing leading part followed by the rest, which may then hold no
// "." or ".." component (nothing could tell where they lead).
std::optional<std::string> path_canonical_allow_missing(const std::string& path);

// The canonical path of what the descriptor has open, or nothing.
std::optional<std::string> path_canonical_of_fd(int fd);

// Whether the canonical path is root or lies below it. Whole components are
// compared: "/srv/music2" is not below "/srv/music".
bool path_is_below(std::string_view path, std::string_view root);

// Whether the canonical path lies in /proc, /sys or /dev: their trees loop,
// never end or change the machine when read.
bool path_is_system(std::string_view canonical);

// Adds the music folder of an imported library (an iTunes library's own
// folder, a player's music folder): the tracks the library names there are
// served as if they lay in a content directory, although the scanner does
// not walk it. The folder is added only where the user already pointed:
// strictly below home (the folder the user's own setting names: the one
// holding the library file, the player's iPod_Control) or inside a content
// directory;
// a library file is no authority on what to share. Never the root or a
// system tree, and never below a home that is the root. False, with
// nothing added, when the folder does not exist or is not trusted.
bool path_add_library_folder(const std::string& dir, const std::string& home);

// Whether path lies inside a content directory (or a library folder) once every link is followed,
// and outside the system trees. With fd >= 0, the file open on fd is judged
// instead (what is actually read, whatever became of the path since).
bool path_in_content_dir(const std::string& path, int fd = -1);

// Replaces every '\' by '/' in place and returns path (null stays null).
char* backslash_to_slash(char* path);
void backslash_to_slash(std::string& path);
