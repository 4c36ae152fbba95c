// Where the program lives and started, and how relative names of media and
// playlist entries are found on disk.
#pragma once

#include <optional>
#include <string>
#include <string_view>

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

// Replaces every '\' by '/' in place and returns path (null stays null).
char* backslash_to_slash(char* path);
void backslash_to_slash(std::string& path);
