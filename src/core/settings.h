// The table of the server's 80 settings: defaults, the settings file, the
// command line, and the accessors every other subsystem reads them through.
//
// The table is shared by every thread and changed at run time by the
// configuration pages, so readers get values they own: an empty text means
// the key is unset (empty values are never stored).
#pragma once

#include <optional>
#include <string>
#include <string_view>

enum SettingKey : int {
    KEY_ENABLEWEB = 0,
    KEY_DESCRIPTIONS,
    KEY_RADIO,
    KEY_DS,
    KEY_MS,
    KEY_PS,
    KEY_CONTENTDIR,
    KEY_FRIENDLYNAME,
    KEY_ADAPTCASE,
    KEY_RANDOMIZEPLAYLISTS,
    KEY_IP,
    KEY_NICRESTART,
    KEY_DEV,
    KEY_TINIURL,
    KEY_TINIIMAGEURL,
    KEY_V,
    KEY_NUMRADIOSTATIONS,
    KEY_RADIOREREAD,
    KEY_DBFILE,
    KEY_EXTERNALDBFILE,
    KEY_IGNOREDIR,
    KEY_COMPILATIONSDIR,
    KEY_MUSICCLIENT,
    KEY_DLINKCLIENT,
    KEY_NOSEARCH,
    KEY_NORESCALE,
    KEY_VIDEOI,
    KEY_IDXDIR,
    KEY_NOXONCLIENT,
    KEY_STPPORT,
    KEY_PHPADDR,
    KEY_H2HADDR,
    KEY_GETADDR,
    KEY_H2HID,
    KEY_ADOBEDSN,
    KEY_ADOBEPATH,
    KEY_ITUNESLIB,
    KEY_IPODDB,
    KEY_INSERTGIF,
    KEY_SCANTIME,
    KEY_D,
    KEY_NETGEARUPGRADE,
    KEY_HTTPPORT,
    KEY_PLAYLISTNUMENTRIES,
    KEY_WINAMP,
    KEY_ALLTRACKS,
    KEY_PLAYLISTS,
    KEY_PLAYLISTLASTPLAYED,
    KEY_PLAYLISTMOSTPLAYED,
    KEY_INTERNETRADIO,
    KEY_ALLOWNRADIOSTATIONS,
    KEY_ALLPICTURES,
    KEY_ALLVIDEOS,
    KEY_ROOTMUSIC,
    KEY_ROOTPICTURE,
    KEY_ROOTVIDEO,
    KEY_MUSICNODE1, // musicnode1 .. musicnode10 follow each other
    KEY_PICTURENODE1 = KEY_MUSICNODE1 + 10,
    KEY_VIDEONODE1 = KEY_PICTURENODE1 + 5,
    KEY_MUSICBUFFER = KEY_VIDEONODE1 + 5,
    KEY_PICTUREBUFFER,
    KEY_VIDEOBUFFER,
    KEY_FOLLOWMESERVER,
    KEY_COUNT, // 80: marks the end of the table
};

static_assert(KEY_MUSICBUFFER == 76 && KEY_COUNT == 80, "key numbers are fixed");

// --- accessors -------------------------------------------------------------

// The value, or an empty text when the key is unset.
std::string setting_str(int key);

// The value read by C atoi rules (leading blanks, sign, digits); 0 when unset.
int setting_int(int key);

// 1 when setting_int is non-zero, else 0.
int setting_flag(int key);

// Item i (from 0) of a list key, exactly as between the commas (an empty
// piece is an empty text); nothing when i is out of range or the key is unset.
std::optional<std::string> setting_list_item(int key, int i);

// Number of items of a list key (0 when unset or not a list key).
int setting_list_count(int key);

// The key's name, or null for a number outside the table.
const char* setting_name(int key);

// Number of the key whose name equals name ignoring case, or -1.
int setting_key_by_name(std::string_view name);

// Whether the key's value is a comma-separated list.
bool setting_is_list(int key);

// The longest value a setting holds: a list of content directories of a
// large household fits many times over, and the settings file is read back
// with lines of this length whole.
inline constexpr size_t kSettingValueMax = 65536;

// Stores a copy of value; an empty value leaves the key unset. A value longer
// than kSettingValueMax is refused with a log line and the key keeps its
// value.
void setting_set(int key, std::string_view value);

// Sets the key whose name equals name ignoring case; unknown names are ignored.
void setting_set_by_name(std::string_view name, std::string_view value);

// Unsets every key.
void settings_free_all();

// The bit mask of "v", kept apart so that logging never waits for the table.
int settings_log_mask();

// Grows with every change of any key, so that readers on hot paths can keep
// parsed copies and refresh them only when something changed.
unsigned settings_generation();

// --- files and command line --------------------------------------------------

// Applies the built-in defaults in their fixed order.
void settings_apply_defaults();

// The whole start-up sequence: defaults, settings file, command line, then the
// file is written back. "help", "?" or an option missing its value print the
// usage text and exit with status 0.
void settings_load(int argc, char** argv);

// Reads the settings file into the table (defaults are not re-applied).
void settings_read_file();

// Rewrites the settings file from the table with its commented template.
void settings_write();

// The template text with the current values, exactly as settings_write stores it.
std::string settings_file_text();

// Prints the usage text for the program and exits with status 0.
[[noreturn]] void settings_usage(const char* program);

// The usage text that settings_usage prints after its heading line.
std::string settings_usage_text();

// The settings file path (at most 1023 characters kept).
std::string settings_file_path();
void settings_set_file_path(std::string_view path);
