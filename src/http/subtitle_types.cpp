#include "http/subtitle_types.h"

#include "http/mime.h"

#include <iterator>
#include <strings.h>

namespace
{

// In order of preference: SubRip is the format nearly every player reads;
// the others go to a player only when a video has nothing better. Players
// that show external subtitles know "text/srt"; the rest have no registered
// type, so the common unregistered names are used. A ".sub" beside a video
// is taken for MicroDVD text (the binary VobSub kind needs its ".idx" too
// and is not served). SAMI is "smi/caption", the type the televisions that
// ask for captions expect.
constexpr SubtitleType kTypes[] = {
    {"srt", "text/srt", "srt"},    {"ass", "text/x-ass", "ass"},      {"ssa", "text/x-ssa", "ssa"},
    {"smi", "smi/caption", "smi"}, {"sub", "text/x-microdvd", "sub"},
};

} // namespace

const SubtitleType* subtitle_type_of(std::string_view file_name)
{
    // A name without a '.' has no extension: "srt" alone is not a subtitle.
    if (file_name.find('.') == std::string_view::npos) {
        return nullptr;
    }
    const std::string_view extension = file_extension(file_name);
    for (const SubtitleType& type : kTypes) {
        const std::string_view candidate(type.extension);
        if (extension.size() == candidate.size() &&
            strncasecmp(extension.data(), candidate.data(), candidate.size()) == 0) {
            return &type;
        }
    }
    return nullptr;
}

int subtitle_type_rank(const SubtitleType* type)
{
    return type ? static_cast<int>(type - std::begin(kTypes)) : static_cast<int>(std::size(kTypes));
}

std::string subtitle_url(std::string_view base, int64_t id, const SubtitleType& type)
{
    return std::string(base) + "subtitle/" + std::to_string(id) + "." + type.extension;
}
