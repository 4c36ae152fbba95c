#include "control/xml.h"
#include "core/file_io.h"
#include "core/log.h"
#include "core/titles.h"
#include "db/media_db.h"
#include "scan/playlist_entries.h"
#include "scan/playlist_readers.h"

#include <sys/stat.h>

int wpl_read(const char* path, int)
{
    // The whole file is held at once: one far beyond any playlist is
    // refused rather than read.
    struct stat st = {};
    if (stat(path, &st) == 0 && st.st_size > kWplFileLimit) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "playlist too large, skipped: %s\n", path);
        return 0;
    }
    const std::optional<std::string> text = read_whole_file(path, kWplFileLimit);
    if (!text) {
        return 0;
    }
    const XmlTree tree = xml_parse(text->c_str());
    if (!tree) {
        return 0;
    }
    const char* title = xml_text(tree.get(), "title");
    std::string name = title && *title ? title : "";
    xml_decode_entities(name);
    if (name.empty()) {
        name = title_from_filename(path);
    }
    PlaylistCounter counter;
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
        playlist_add_track(found->location, name, counter);
    }
    failures.finish(path);
    return 0;
}
