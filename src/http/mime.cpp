#include "http/mime.h"

#include "core/file_type_table.h"
#include "core/text_util.h"

#include <initializer_list>

namespace
{

struct MimeEntry {
    const char* type;
    std::initializer_list<std::string_view> extensions;
};

// The files of the configuration pages and the text answers; media types
// come from the file-type table.
const MimeEntry kPageTypes[] = {
    {"text/xml; charset=\"UTF-8\"", {"txt"}},
    {"text/html; charset=UTF-8", {"htm", "html"}},
    {"text/css; charset=UTF-8", {"css"}},
    {"text/javascript; charset=UTF-8", {"js"}},
    {"image/x-icon", {"ico"}},
    {"image/svg+xml", {"svg"}},
};

constexpr const char* kUnknownType = "application/octet-stream";

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
    if (const FileTypeRow* row = file_type_for(extension)) {
        return row->mime ? row->mime : kUnknownType;
    }
    for (const MimeEntry& entry : kPageTypes) {
        for (std::string_view candidate : entry.extensions) {
            if (equal_nocase(candidate, extension)) {
                return entry.type;
            }
        }
    }
    return kUnknownType;
}
