#include "scan/subtitle_sidecars.h"

#include "db/db_subtitles.h"
#include "http/subtitle_types.h"

#include <tuple>

namespace
{

// The longest language tag taken: "pt-BR", "eng", "forced", "sdh" and their
// like are short; a longer part after the video's name is another title
// ("movie.directors-cut.srt" belongs to "movie.directors-cut.mkv").
constexpr size_t kMaxLanguageTag = 8;

std::string_view name_stem(std::string_view name)
{
    const size_t dot = name.rfind('.');
    return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

bool is_language_tag(std::string_view tag)
{
    if (tag.empty() || tag.size() > kMaxLanguageTag) {
        return false;
    }
    for (const char ch : tag) {
        const bool letter = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
        if (!letter && !(ch >= '0' && ch <= '9') && ch != '-' && ch != '_') {
            return false;
        }
    }
    return true;
}

// 0: same name, 1: with a language tag, -1: no sidecar of the video.
int match_kind(std::string_view video_name, std::string_view subtitle_name)
{
    if (!subtitle_is_sidecar_name(subtitle_name)) {
        return -1;
    }
    const std::string_view video = name_stem(video_name);
    const std::string_view subtitle = name_stem(subtitle_name);
    if (video.empty() || subtitle.size() < video.size() ||
        subtitle.substr(0, video.size()) != video) {
        return -1;
    }
    if (subtitle.size() == video.size()) {
        return 0;
    }
    if (subtitle[video.size()] == '.' && is_language_tag(subtitle.substr(video.size() + 1))) {
        return 1;
    }
    return -1;
}

} // namespace

bool subtitle_is_sidecar_name(std::string_view file_name)
{
    return subtitle_type_of(file_name) != nullptr;
}

bool subtitle_matches_video(std::string_view video_name, std::string_view subtitle_name)
{
    return match_kind(video_name, subtitle_name) >= 0;
}

std::string subtitle_pick_sidecar(std::string_view video_name,
                                  const std::vector<std::string>& subtitle_names)
{
    const std::string* best = nullptr;
    std::tuple<int, int, std::string_view> best_key;
    for (const std::string& name : subtitle_names) {
        const int kind = match_kind(video_name, name);
        if (kind < 0) {
            continue;
        }
        const std::tuple<int, int, std::string_view> key{
            kind, subtitle_type_rank(subtitle_type_of(name)), name};
        if (!best || key < best_key) {
            best = &name;
            best_key = key;
        }
    }
    return best ? *best : std::string();
}

void subtitle_record_sidecars(const std::string& directory, const std::vector<SidecarVideo>& videos,
                              const std::vector<std::string>& subtitle_names)
{
    for (const SidecarVideo& video : videos) {
        const std::string name = subtitle_pick_sidecar(video.name, subtitle_names);
        std::string path;
        if (!name.empty()) {
            path = directory;
            if (path.empty() || path.back() != '/') {
                path += '/';
            }
            path += name;
        }
        db_set_subtitle(video.path, path);
    }
}
