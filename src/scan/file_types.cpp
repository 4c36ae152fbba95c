#include "scan/file_types.h"

#include "core/edition.h"
#include "http/mime.h"
#include "scan/flac_reader.h"
#include "scan/mp3_reader.h"
#include "scan/mp4_reader.h"
#include "scan/ogg_reader.h"
#include "scan/playlist_readers.h"
#include "scan/wav_reader.h"
#include "scan/wma_reader.h"

#include <cstring>
#include <vector>

namespace
{

// The full table; the music edition has its music rows. "m3u8" is an m3u
// in UTF-8 (m3u_read tells them apart by the extension). The readers of
// pictures and video are registered by the full edition, so that the music
// edition holds none of their code.
ScanFileType g_types[] = {
    {"mp3", mp3_add, 'M'},
    {"wav", wav_add, 'M'},
    {"m4a", mp4_add, 'M'},
    {"pcm", wav_add, 'M'},
    {"lpcm", wav_add, 'M'},
    {"wma", wma_add, 'M'},
    {"m3u", m3u_read, 'M'},
    {"m3u8", m3u_read, 'M'},
    {"wpl", wpl_read, 'M'},
    {"pls", pls_read, 'M'},
    {"jpg", nullptr, 'P'},
    {"jpeg", nullptr, 'P'},
    {"avi", nullptr, 'V'},
    {"mpg", nullptr, 'V'},
    {"mp4", nullptr, 'V'},
    {"wmv", nullptr, 'V'},
    {"vob", nullptr, 'V'},
    {"mpeg2", nullptr, 'V'},
    {"mpeg", nullptr, 'V'},
    // Later formats follow the original rows, which keep their order.
    {"flac", flac_add, 'M'},
    {"ogg", ogg_add, 'M'},
    {"oga", ogg_add, 'M'},
    {"opus", ogg_add, 'M'},
    {"m4b", mp4_add, 'M'},
    {"aac", mp4_add, 'M'},
    // Picture and video rows of the full edition.
    {"png", nullptr, 'P'},
    {"mkv", nullptr, 'V'},
    {"webm", nullptr, 'V'},
    {"m4v", nullptr, 'V'},
    {"mov", nullptr, 'V'},
    {"ts", nullptr, 'V'},
    {"m2ts", nullptr, 'V'},
};

} // namespace

bool scan_is_music_track_name(std::string_view name)
{
    name = name.substr(0, name.find('?'));
    const std::string_view extension = scan_extension(name.substr(name.rfind('/') + 1));
    const std::span<const ScanFileType> types = scan_file_types();
    return std::any_of(types.begin(), types.end(), [&](const ScanFileType& t) {
        return t.kind == 'M' && t.reader != m3u_read && t.reader != pls_read &&
               t.reader != wpl_read && extension.size() == strlen(t.extension) &&
               strncasecmp(extension.data(), t.extension, extension.size()) == 0;
    });
}

std::span<const ScanFileType> scan_file_types()
{
    if (!edition_music_only()) {
        return std::span<const ScanFileType>(g_types);
    }
    // The music edition's table is the music rows of the full one, in their
    // order; their readers are fixed, so the copy never goes stale.
    static const std::vector<ScanFileType> music = [] {
        std::vector<ScanFileType> rows;
        for (const ScanFileType& type : g_types) {
            if (type.kind == 'M') {
                rows.push_back(type);
            }
        }
        return rows;
    }();
    return std::span<const ScanFileType>(music);
}

void scan_register_reader(const char* extension, ScanReader reader)
{
    for (ScanFileType& type : g_types) {
        if (strcmp(type.extension, extension) == 0) {
            type.reader = reader;
        }
    }
}

std::string_view scan_extension(std::string_view file_name)
{
    return file_extension(file_name);
}
