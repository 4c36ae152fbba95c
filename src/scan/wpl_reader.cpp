#include "control/xml.h"
#include "core/file_io.h"
#include "core/log.h"
#include "core/titles.h"
#include "core/utf8.h"
#include "db/media_db.h"
#include "scan/playlist_entries.h"
#include "scan/playlist_readers.h"

#include <algorithm>
#include <cctype>
#include <sys/stat.h>

namespace
{

// The document as UTF-8: a UTF-16 file (with its byte-order mark) and one
// that declares a Latin-1 encoding are converted; anything else is UTF-8,
// the default of XML.
std::string wpl_as_utf8(std::string text)
{
    if (text.rfind("\xFF\xFE", 0) == 0 || text.rfind("\xFE\xFF", 0) == 0) {
        return utf8_from_utf16(text, false, true);
    }
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
        text.erase(0, 3);
    }
    const size_t end = text.find("?>");
    if (text.rfind("<?", 0) == 0 && end != std::string::npos) {
        std::string declaration = text.substr(0, end);
        std::transform(declaration.begin(), declaration.end(), declaration.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        for (const char* latin1 : {"iso-8859-1", "latin1", "latin-1", "windows-1252"}) {
            if (declaration.find(std::string("encoding=\"") + latin1) != std::string::npos ||
                declaration.find(std::string("encoding='") + latin1) != std::string::npos) {
                return utf8_from_latin1(text);
            }
        }
    }
    return text;
}

} // namespace

int wpl_read(const char* path, int)
{
    // The whole file is held at once: one far beyond any playlist is
    // refused rather than read.
    struct stat st = {};
    if (stat(path, &st) == 0 && st.st_size > kWplFileLimit) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "playlist too large, skipped: %s\n", path);
        return 0;
    }
    const std::optional<std::string> raw = read_whole_file(path, kWplFileLimit);
    if (!raw) {
        return 0;
    }
    const std::string text = wpl_as_utf8(*raw);
    const XmlTree tree = xml_parse(text.c_str());
    if (!tree) {
        return 0;
    }
    const char* title = xml_text(tree.get(), "title");
    std::string name = title && *title ? title : "";
    xml_decode_entities(name);
    name = utf8_repair(name);
    if (name.empty()) {
        name = title_from_filename(path);
    }
    PlaylistBuild build(path, name);
    PlaylistFailures failures;
    for (const XmlElement* media = xml_find(tree.get(), "media"); media;
         media = xml_find_next(media, "media")) {
        const char* src_value = xml_attribute(media, "src");
        if (!src_value) {
            continue;
        }
        std::string src = src_value;
        xml_decode_entities(src);
        const std::optional<PlaylistLocation> found = playlist_locate_entry(src, path);
        if (!found) {
            failures.not_located(src);
            continue;
        }
        if (found->is_url) {
            playlist_add_remote(build, found->location);
        } else {
            build.add_file(found->location);
        }
    }
    failures.finish(path);
    build.finish();
    return 0;
}
