#include "core/edition.h"
#include "core/file_io.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/settings_table.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <unistd.h>

namespace
{

// The default settings file name is the edition's; "-inifile" replaces it.
std::mutex& path_mutex()
{
    static auto* m = new std::mutex;
    return *m;
}

std::string& path_storage()
{
    static auto* p = new std::string;
    return *p;
}

// Serialises writers of the settings file (start-up and configuration pages).
std::mutex& write_mutex()
{
    static auto* m = new std::mutex;
    return *m;
}

// The last three groups of the file follow each other without an empty line.
constexpr size_t kGroupsWithoutGap = 3;

// A control byte ends a line; bytes 128-255 are ordinary.
bool ends_line(unsigned char c)
{
    return c < 32;
}

// One line of the settings file: "name=value", the name matched ignoring case.
// Only the blank right before the first '=' is dropped from the name; blanks
// after it are skipped; trailing blanks of the value stay. A later '=' is
// part of the value: the file holds what was set ("a=b" in a friendly name,
// a query in an address) and gives it back whole.
void apply_file_line(const char* line)
{
    // A '#' before the '=' makes the line a comment. One after it is part
    // of the value: the file gives back what was set ("Kitchen #2", a
    // folder "#Favourites"), and a value cut at it could name the parent of
    // the folder the user shares.
    const char* p = line;
    while (*p && !ends_line(static_cast<unsigned char>(*p)) && *p != '=' && *p != '#') {
        ++p;
    }
    if (*p != '=') {
        return;
    }
    const char* name_end = (p > line && p[-1] == ' ') ? p - 1 : p;
    const char* value = p + 1;
    while (*value == ' ') {
        ++value;
    }
    const char* end = value;
    while (*end && !ends_line(static_cast<unsigned char>(*end))) {
        ++end;
    }
    setting_set_by_name(std::string_view(line, static_cast<size_t>(name_end - line)),
                        std::string_view(value, static_cast<size_t>(end - value)));
}

// Reads one line without its line break into line, keeping at most max
// bytes of it; the rest of a longer line is read past, so that it can never
// become a line of its own, and too_long tells. False at the end of the file.
bool read_line(FILE* f, std::string& line, size_t max, bool& too_long)
{
    line.clear();
    too_long = false;
    int c = getc(f);
    if (c == EOF) {
        return false;
    }
    for (; c != EOF && c != '\n'; c = getc(f)) {
        if (line.size() < max) {
            line.push_back(static_cast<char>(c));
        } else {
            too_long = true;
        }
    }
    return true;
}

// The name of a line's setting, for a message about it.
std::string_view line_name(std::string_view line)
{
    const size_t end = line.find('=');
    return line.substr(0, std::min<size_t>(end == std::string_view::npos ? 0 : end, 64));
}

bool read_settings_from(const std::string& path)
{
    std::unique_ptr<FILE, decltype(&fclose)> f(fopen(path.c_str(), "r"), fclose);
    if (!f) {
        return false;
    }
    // Room for a name, its '=' and the longest value a setting holds.
    constexpr size_t kLineMax = kSettingValueMax + 256;
    std::string line;
    bool too_long = false;
    for (int number = 1; read_line(f.get(), line, kLineMax, too_long); ++number) {
        // Editors on some systems begin a UTF-8 file with a byte-order mark.
        if (number == 1 && line.starts_with("\xEF\xBB\xBF")) {
            line.erase(0, 3);
        }
        if (too_long) {
            // Half a value could name a folder the user never asked for;
            // the setting keeps the value it had before the file.
            const std::string_view name = line_name(line);
            log_msg(LOG_ERROR, LOG_CAT_SYSTEM,
                    "settings file %s, line %d: the value of \"%.*s\" is longer than %zu "
                    "characters and is not taken\n",
                    path.c_str(), number, static_cast<int>(name.size()), name.data(),
                    kSettingValueMax);
            continue;
        }
        apply_file_line(line.c_str());
    }
    return true;
}

std::string comments_text()
{
    std::string text = kSettingsFileHeader;
    for (int key : settings_file_order()) {
        if (const char* comment = kSettingRows[key].comment) {
            text += comment;
        }
    }
    return text;
}

} // namespace

std::string settings_file_path()
{
    std::lock_guard guard(path_mutex());
    std::string& p = path_storage();
    if (p.empty()) {
        p = std::string("./") + edition_settings_file_name();
    }
    return p;
}

void settings_set_file_path(std::string_view path)
{
    std::lock_guard guard(path_mutex());
    path_storage() = std::string(path.substr(0, 1023));
}

void settings_apply_defaults()
{
    for (const SettingRow& row : kSettingRows) {
        if (row.default_value) {
            setting_set(row.key, row.default_value);
        }
    }
}

void settings_read_file()
{
    std::string path = settings_file_path();
    if (read_settings_from(path)) {
        return;
    }
    // The music edition also takes over the full edition's settings file.
    if (edition_music_only()) {
        size_t at = path.find("tessamund.ini");
        if (at != std::string::npos) {
            path.replace(at, strlen("tessamund.ini"), "plenwick.ini");
            read_settings_from(path);
        }
    }
}

std::string settings_file_text()
{
    const std::span<const int> order = settings_file_order();
    const size_t groups = static_cast<size_t>(std::count_if(
        order.begin(), order.end(), [](int key) { return kSettingRows[key].comment != nullptr; }));
    std::string text = kSettingsFileHeader;
    size_t group = 0;
    for (int key : order) {
        if (const char* comment = kSettingRows[key].comment) {
            if (++group <= groups - kGroupsWithoutGap + 1) {
                text += '\n';
            }
            text += comment;
        }
        text += kSettingRows[key].name;
        text += '=';
        text += setting_str(key);
        text += '\n';
    }
    return text;
}

void settings_write()
{
    const std::string path = settings_file_path();
    const std::string text = settings_file_text();
    std::lock_guard guard(write_mutex());
    // Never a truncated settings file, whatever happens midway.
    if (!file_replace(path, text)) {
        log_msg(LOG_ERROR, LOG_CAT_SYSTEM, "\nini file \"%s\" not writable! ***\n\n", path.c_str());
    }
}

std::string settings_usage_text()
{
    // Every "# param" comment becomes one entry: the '=' starts an indented
    // description, the end of the comment line ends the entry.
    const std::string text = comments_text();
    static constexpr std::string_view kMarker = "# param";
    std::string out;
    bool printing = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, kMarker.size(), kMarker) == 0) {
            i += kMarker.size() - 1;
            printing = true;
            continue;
        }
        if (!printing) {
            continue;
        }
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '=') {
            out += "\n\t";
        } else if (c < 32) {
            out += "\n\n";
            printing = false;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void settings_usage(const char* program)
{
    printf("\nusage: %s\n\n", program ? program : "");
    fputs(settings_usage_text().c_str(), stdout);
    fflush(stdout);
    exit(0);
}
