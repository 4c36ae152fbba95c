// Subtitle files beside a video ("movie.srt", "movie.en.srt" for
// "movie.mkv") are not media of their own: the scanner notes each directory's
// subtitle files and, once the directory is read, records on every video
// item the sidecar that belongs to it. A sidecar added, renamed or deleted
// is seen by the next pass, and the first pass after a restart records them
// all again, so the persistence file need not carry them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Whether the file name has the extension of a subtitle format.
bool subtitle_is_sidecar_name(std::string_view file_name);

// Whether subtitle_name is a sidecar of video_name: the same name without
// its extension, or that name followed by '.' and a language tag ("en",
// "pt-BR", "forced"); the case of the extension is ignored.
bool subtitle_matches_video(std::string_view video_name, std::string_view subtitle_name);

// The sidecar chosen for a video among a directory's subtitle file names:
// one without a language tag before one with, then by format (SubRip
// first), then by name, so that the choice does not hang on the order the
// directory lists its files in. Empty when none matches.
std::string subtitle_pick_sidecar(std::string_view video_name,
                                  const std::vector<std::string>& subtitle_names);

// A video file met by the walk of one directory: its name there and the
// path its item has.
struct SidecarVideo {
    std::string name;
    std::string path;
};

// Records on the item of each video its sidecar in the directory (the
// directory's path joined with the chosen name), or that it has none.
void subtitle_record_sidecars(const std::string& directory, const std::vector<SidecarVideo>& videos,
                              const std::vector<std::string>& subtitle_names);
