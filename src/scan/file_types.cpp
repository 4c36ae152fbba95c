#include "scan/file_types.h"

#include "core/edition.h"
#include "http/mime.h"
#include "scan/mp3_reader.h"

namespace
{

// The full table; the first nine rows are the music rows. Readers of the
// other formats join here as they are written.
constexpr ScanFileType kTypes[] = {
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
    return std::span(kTypes, edition_music_only() ? kMusicRows : std::size(kTypes));
}

std::string_view scan_extension(std::string_view file_name)
{
    return file_extension(file_name);
}
