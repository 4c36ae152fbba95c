#include "http/mime.h"

#include "core/text_util.h"

#include <initializer_list>

namespace
{

struct MimeEntry {
    const char* type;
    std::initializer_list<std::string_view> extensions;
};

// First match wins; the last entry answers every other extension.
const MimeEntry kMimeTable[] = {
    {"text/xml; charset=\"UTF-8\"", {"txt"}},
    {"text/html; charset=UTF-8", {"htm", "html"}},
    {"audio/mpeg", {"mp3"}},
    {"audio/x-ms-wma", {"wma"}},
    {"audio/L16", {"lpcm"}},
    {"audio/wav", {"wav"}},
    {"image/jpeg", {"jpg", "jpeg"}},
    {"image/gif", {"gif"}},
    {"image/png", {"png"}},
    {"audio/x-mpegurl", {"m3u"}},
    {"image/x-ycbcr-yuv420", {"yuv"}},
    {"video/x-msvideo", {"avi"}},
    {"video/mpeg", {"mpg"}},
    {"video/mpeg2", {"mpeg", "mpeg2"}},
    {"video/mp4", {"mp4", "m4v"}},
    {"video/x-ms-wmv", {"wmv"}},
    {"video/dvd", {"vob"}},
    {"audio/mp4", {"m4a", "m4b"}},
    // An .aac file is a bare ADTS stream, no MP4 file.
    {"audio/aac", {"aac"}},
    {"video/x-matroska", {"mkv"}},
    {"video/webm", {"webm"}},
    {"video/mp2t", {"ts", "m2ts"}},
    {"video/quicktime", {"mov"}},
    {"audio/x-aiff", {"aif", "aiff"}},
    {"audio/flac", {"flac"}},
    {"audio/ogg", {"ogg", "oga"}},
    {"audio/opus", {"opus"}},
    // The static files of the configuration pages.
    {"text/css; charset=UTF-8", {"css"}},
    {"text/javascript; charset=UTF-8", {"js"}},
    {"image/x-icon", {"ico"}},
    {"image/svg+xml", {"svg"}},
    {"application/octet-stream", {}},
};

} // namespace

std::string_view file_extension(std::string_view name)
{
    for (size_t i = name.size(); i > 1; --i) {
        if (name[i - 1] == '.') {
            return name.substr(i);
        }
    }
    return name;
}

const char* mime_type_for(std::string_view name)
{
    const std::string_view extension = file_extension(name);
    for (const MimeEntry& entry : kMimeTable) {
        for (std::string_view candidate : entry.extensions) {
            if (equal_nocase(candidate, extension)) {
                return entry.type;
            }
        }
    }
    return "application/octet-stream";
}
