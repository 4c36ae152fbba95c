// Every file type the server knows, one row each. The scanner picks a file's
// reader by its row, HTTP answers are typed by it, the album-art service
// finds the picture inside a file by it, and GetProtocolInfo lists what the
// rows can carry; so a new type is one new row here (and, when no reader
// handles it yet, a reader).
#pragma once

#include <span>
#include <string_view>

// The readers of the scanner; the scan subsystem maps each to its code.
enum class FileReader {
    None, // served when asked for, never scanned
    Mp3,
    Wav,
    Mp4,
    Wma,
    M3u,
    Wpl,
    Pls,
    Flac,
    Ogg,
    Picture,
    Video,
    Mp4Video,
    Mkv,
    Count
};

// How the album-art service finds the picture inside a file of the type.
enum class ArtFinder { None, Mp3, Wma, Flac, Mp4, Ogg, Count };

// The DLNA media profiles an answer of the type can carry; which one an
// answer names is decided by the DLNA code from what it knows of the file.
enum class DlnaProfileSet { None, Mp3, Aac, Lpcm, Jpeg };

struct FileTypeRow {
    const char* extension;
    char kind; // 'M' music (playlists too), 'P' pictures, 'V' video; 0: not scanned
    FileReader reader;
    ArtFinder art;
    const char* mime; // null: "application/octet-stream"
    DlnaProfileSet profiles;
};

// Every row, in the order the scanner tries them.
std::span<const FileTypeRow> file_type_rows();

// The row of an extension (case ignored); null when the type is unknown.
const FileTypeRow* file_type_for(std::string_view extension);

// Whether the row's reader reads a playlist, not a track.
bool file_type_is_playlist(const FileTypeRow& row);
