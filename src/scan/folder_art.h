// Folder art: a picture beside the music (cover.jpg, folder.jpg, front.jpg,
// AlbumArt*.jpg or the .png form of any, case ignored) is the art of the
// tracks in that folder that carry none of their own. Such a file is art,
// not a photograph: the scanner does not list it among the pictures.
#pragma once

#include <string>
#include <string_view>

// Whether a file name is one of the folder-art names.
bool folder_art_is_cover_name(std::string_view name);

// The path of the folder-art file of a directory, the first by the order of
// the names above (a JPEG before a PNG); empty when it has none.
std::string folder_art_find(const std::string& directory);

// folder_art_find for the directory of a file, remembered for the last
// directory asked about, as a scan asks once per track of the same folder.
bool folder_art_beside(const char* file_path);
