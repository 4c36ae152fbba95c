#include "scan/wav_reader.h"

#include "core/text_util.h"
#include "core/titles.h"

#include <algorithm>
#include <climits>
#include <sys/stat.h>
#include <vector>

MusicTags wav_read_name(const char* path)
{
    MusicTags t;
    struct stat st = {};
    if (stat(path, &st) != 0) {
        return t;
    }
    t.size = st.st_size;
    t.mtime = static_cast<int64_t>(st.st_mtime);
    const std::string name = title_from_filename(path);
    // At most five fields: after the fourth underscore the rest is the title.
    std::vector<std::string> fields;
    size_t start = 0;
    while (fields.size() < 4) {
        const size_t underscore = name.find('_', start);
        if (underscore == std::string::npos) {
            break;
        }
        fields.push_back(name.substr(start, underscore - start));
        start = underscore + 1;
    }
    fields.push_back(name.substr(start));
    // The fields fill from the title backwards: title, track, album, artist,
    // genre.
    const size_t n = fields.size();
    t.title = fields[n - 1];
    if (n >= 2) {
        t.track = static_cast<int32_t>(
            std::clamp<int64_t>(parse_int64(fields[n - 2].c_str()), 0, INT32_MAX));
    }
    if (n >= 3) {
        t.album = fields[n - 3];
    }
    if (n >= 4) {
        t.artist = fields[n - 4];
    }
    if (n >= 5) {
        t.genre = fields[n - 5];
    }
    return t;
}

int wav_add(const char* path, int compilation)
{
    return music_add(wav_read_name(path), path, compilation, "wav");
}
