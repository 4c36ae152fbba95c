#include "scan/file_types.h"

#include "core/edition.h"
#include "http/mime.h"
#include "scan/mp3_reader.h"

#include <cstring>

namespace
{

// The full table; the first nine rows are the music rows. The readers of
// pictures and video are registered by the full edition, so that the music
// edition holds none of their code.
ScanFileType g_types[] = {
    {"mp3", mp3_add, 'M'},   {"wav", nullptr, 'M'},  {"m4a", nullptr, 'M'},  {"pcm", nullptr, 'M'},
    {"lpcm", nullptr, 'M'},  {"wma", nullptr, 'M'},  {"m3u", nullptr, 'M'},  {"wpl", nullptr, 'M'},
    {"pls", nullptr, 'M'},   {"jpg", nullptr, 'P'},  {"jpeg", nullptr, 'P'}, {"avi", nullptr, 'V'},
    {"mpg", nullptr, 'V'},   {"mp4", nullptr, 'V'},  {"wmv", nullptr, 'V'},  {"vob", nullptr, 'V'},
    {"mpeg2", nullptr, 'V'}, {"mpeg", nullptr, 'V'},
};
constexpr size_t kMusicRows = 9;

} // namespace

std::span<const ScanFileType> scan_file_types()
{
    return std::span<const ScanFileType>(g_types,
                                         edition_music_only() ? kMusicRows : std::size(g_types));
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
