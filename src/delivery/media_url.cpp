#include "delivery/media_url.h"

#include "core/text_util.h"

#include <climits>
#include <cstring>

const char* media_url_id(const char* url, const char* keyword)
{
    const char* key = strstr(url, keyword);
    return key ? key + strlen(keyword) : nullptr;
}

std::optional<ContinueUrl> media_url_continue(const char* url)
{
    constexpr const char* kKeyword = "continue/";
    const char* key = strstr(url, kKeyword);
    if (!key) {
        return std::nullopt;
    }
    ContinueUrl parsed;
    parsed.id_text = key + strlen(kKeyword);
    parsed.prefix_length = static_cast<int>(key - url);
    // The offset runs from the first '_' of the URL to the next '.'.
    if (const char* underscore = strchr(url, '_')) {
        parsed.offset = parse_int64(underscore + 1);
    }
    return parsed;
}

int32_t media_url_object_id(const char* id_text)
{
    const int64_t id = parse_int64(id_text);
    return id < INT32_MIN || id > INT32_MAX ? -1 : static_cast<int32_t>(id);
}
