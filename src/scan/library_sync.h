// What one import of an external music library (an iTunes library file, an
// iPod database) put into the tree, so that the next import of the same
// library can take out what the library no longer holds: its tracks are
// items like scanned ones, and nothing else would ever remove a track whose
// file still exists.
#pragma once

#include <set>
#include <string>
#include <utility>

struct LibraryContents {
    // Items as (path, class): the class is one of the tree's class
    // pointers, so that the pair names one item.
    std::set<std::pair<std::string, const char*>> items;
    // The playlist sources (see db_set_playlist) of its playlists.
    std::set<std::string> playlists;
};

// The playlist source for one playlist of a library file: the file and the
// playlist's key, which is made unique within one import by a counter when
// two playlists share it.
std::string library_playlist_source(const std::string& file, const std::string& key);

// Removes from the tree the items and playlists of before that now does not
// hold, then makes now the new before.
void library_replace(LibraryContents& before, LibraryContents&& now);
