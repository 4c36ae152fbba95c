#include "core/edition.h"
#include "core/file_io.h"
#include "core/log.h"
#include "core/settings.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
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

struct Default {
    int key;
    const char* value;
};

// Applied in this order at start-up.
constexpr Default kDefaults[] = {
    {KEY_V, "0"},
    {KEY_ENABLEWEB, "1"},
    {KEY_NICRESTART, "0"},
    {KEY_ADAPTCASE, "1"},
    {KEY_HTTPPORT, "0"},
    {KEY_SCANTIME, "15"},
    {KEY_RADIO, "1"},
    {KEY_NUMRADIOSTATIONS, "50"},
    {KEY_RADIOREREAD, "60"},
    {KEY_DESCRIPTIONS, "0"},
    {KEY_DS, "+dc:title,+dc:date"},
    {KEY_MS, "+upnp:originalTrackNumber,+dc:title"},
    {KEY_PS, "+dc:date,+dc:title"},
    {KEY_IGNOREDIR, "AppleDouble"},
    {KEY_ALLTRACKS, "All Tracks"},
    {KEY_PLAYLISTS, "Playlists"},
    {KEY_PLAYLISTLASTPLAYED, "- Last Played -"},
    {KEY_PLAYLISTMOSTPLAYED, "- Most Played -"},
    {KEY_INTERNETRADIO, "Internet Radio"},
    {KEY_ALLOWNRADIOSTATIONS, "- Favorites- "},
    {KEY_ALLPICTURES, "All Pictures"},
    {KEY_ALLVIDEOS, "All Videos"},
    {KEY_ROOTMUSIC, "Music"},
    {KEY_ROOTPICTURE, "Pictures"},
    {KEY_ROOTVIDEO, "Videos"},
    {KEY_COMPILATIONSDIR, "Compilations,Sampler"},
    {KEY_MUSICNODE1, "Artists,%ARTIST"},
    {KEY_MUSICNODE1 + 1, "Genres,%GENRE"},
    {KEY_MUSICNODE1 + 2, "Albums,%ALBUM"},
    {KEY_MUSICNODE1 + 3, "Folders,%PATH"},
    {KEY_MUSICNODE1 + 4, "Artists/Albums,%ARTIST,%ALBUM"},
    {KEY_MUSICNODE1 + 5, "Genres/Artists,%GENRE,%ARTIST,%ALBUM"},
    {KEY_MUSICNODE1 + 6, "Year/Albums,%YEAR,%ALBUM"},
    {KEY_MUSICNODE1 + 7, "Year/Artist,%YEAR,%ARTIST,%ALBUM"},
    {KEY_MUSICNODE1 + 8, "Alpha,[3]%ARTIST"},
    {KEY_PICTURENODE1, "Folders,%PATH"},
    {KEY_PICTURENODE1 + 1, "Date,%YEAR,%MONTH,%DAY"},
    {KEY_VIDEONODE1, "Folders,%PATH"},
    {KEY_MUSICBUFFER, "1024"},
    {KEY_PICTUREBUFFER, "2048"},
    {KEY_VIDEOBUFFER, "128000"},
    {KEY_PLAYLISTNUMENTRIES, "10"},
    {KEY_NOSEARCH, "0"},
    {KEY_NORESCALE, "0"},
};

struct TemplateBlock {
    const char* comments;
    std::initializer_list<int> keys;
};

// The settings file documents every key it carries. Blocks are separated by
// an empty line, except that the last three follow each other directly.
const TemplateBlock kTemplate[] = {
    {"# Corvalenso ini file\n"
     "# change settings by commandline or by editing this file\n",
     {}},
    {"# Web configuration\n"
     "# param -enableweb [n] = set to 0 to disable web configuration, 1 for local access only and 2 for public access.\n",
     {KEY_ENABLEWEB}},
    {"# param -contentdir [dir1,dir2,...] = comma separated list of directories where the server scans for files, leave this empty to use current working dir\n",
     {KEY_CONTENTDIR}},
    {"# param -friendlyname [name] = name of plenwick for display (empty string for default)\n"
     "# Plenwick only!\n",
     {KEY_FRIENDLYNAME}},
    {"# param -adaptcase [n] = set to 0 to disable, set to 1 to enable case adaptation of title strings\n",
     {KEY_ADAPTCASE}},
    {"# param -randomizeplaylists [n] = set to 1 to randomize .m3u files\n",
     {KEY_RANDOMIZEPLAYLISTS}},
    {"# Internet Radio support\n"
     "# param -radio [n] = set to 0 to disable, set to 1 to enable Internet Radio\n",
     {KEY_RADIO}},
    {"# param -numradiostations [n] = number of top n stations read from shoutcast service, defaults to 50\n",
     {KEY_NUMRADIOSTATIONS}},
    {"# param -radioreread [n] = rescan time for radio stations in minutes, defaults to 60\n",
     {KEY_RADIOREREAD}},
    {"# param -dbfile [file] = file where database is stored for persistence\n", {KEY_DBFILE}},
    {"# param -externaldbfile [file] = file where a third party database is stored for persistence\n"
     "# used for OEM integration of 3rd party databases\n",
     {KEY_EXTERNALDBFILE}},
    {"# param -ignoredir [dir1,dir2,...] = comma separated list of directories which are ignored for content scans\n",
     {KEY_IGNOREDIR}},
    {"# param -compilationsdir [dir1,dir2,...] = comma separated list of directories (or substrings) which are handled as music compilations\n",
     {KEY_COMPILATIONSDIR}},
    {"# param -nicrestart [n] = set nicrestart to 1 to dynamically restart the server on any NIC change (WIN only)\n",
     {KEY_NICRESTART}},
    {"# param -httpport [n] = set port for http server, 0 for dynamicall port allocation\n",
     {KEY_HTTPPORT}},
    {"# param -playlistnumentries [n] = set the number of entries for auto generated playlists, 0 to disable auto generated playlists\n",
     {KEY_PLAYLISTNUMENTRIES}},
    {"# param -ip [a.b.c.d] = IP adress for the server\n"
     "# if this is specified the server will not automatically bind to all interfaces, but just to the given adress.\n"
     "# param -dev [device] = device to which the server binds to\n"
     "# For UNIX systems instead of giving the IP adress you can also specify the device name with the dev param.\n",
     {KEY_IP, KEY_DEV}},
    {"# param -musicclient [ip1,ip2,...] = comma separated list of ip adresses of music client devices\n"
     "# for the Plenwick this list is used to let the music clients start directly on the Music subfolder\n"
     "# Plenwick only!\n",
     {KEY_MUSICCLIENT}},
    {"# param -dlinkclient [ip1,ip2,...] = comma separated list of ip adresses of D-Link client devices\n"
     "# for the Plenwick this list is used to identify D-Link clients - if autodetection does not work\n"
     "# Plenwick only!\n",
     {KEY_DLINKCLIENT}},
    {"# param -nosearch [n] = set to 1 to supress search support\n"
     "# mainly needed for ROKU which brings own UI when search is enabled\n",
     {KEY_NOSEARCH}},
    {"# param -norescale [n] = set to 1 to supress picture rescaling\n"
     "# mainly needed for NAS devices with low mem\n"
     "# Plenwick only!\n",
     {KEY_NORESCALE}},
    {"# param -videoi [file] = path to videoi.exe file from D-Link server\n"
     "# set this option if you have a D-Link client and want to enable FF, REV for videos\n"
     "# Plenwick only!\n",
     {KEY_VIDEOI}},
    {"# param -idxdir [path] = directory where .idx files can be generated\n"
     "# set this option if you have a D-Link client and want to enable FF, REV for videos\n"
     "# the server will create the .idx files needed by the D-Link client in this directory\n"
     "# Plenwick only!\n",
     {KEY_IDXDIR}},
    {"# param -noxonclient [ip1,ip2,...] = comma separated list of ip adresses of Noxon client devices\n"
     "# for the Plenwick this list is used to identify Noxon clients - if autodetection does not work\n"
     "# Plenwick only!\n",
     {KEY_NOXONCLIENT}},
    {"# param -scantime [time] = time in minutes how often the server rescans the content directories\n",
     {KEY_SCANTIME}},
    {"# Default sort behavior\n"
     "# set the sort strings to a comma separated list of properties\n"
     "# prepend each propertie with + for ascending sort or - for descending sort\n"
     "# properties are\n"
     "# dc:title,dc:creator,upnp:artist,upnp:genre,upnp:album,dc:date,upnp:originalTrackNumber\n"
     "# param -ds = default sort for container\n"
     "# param -ms = default sort for containers with music\n"
     "# param -ps = default sort for containers with pictures\n",
     {KEY_DS, KEY_MS, KEY_PS}},
    {"# Render EXIF description line into JPEG file\n"
     "# param -descriptions [n] = set to 0 to supress rendering, set to 1 to enable rendering of desc.\n"
     "# Plenwick only!\n",
     {KEY_DESCRIPTIONS}},
    {"# Adobe Photoshop Album support (Windows only)\n"
     "# param -adobedsn [dsn] = ODBC data source name of the Adobe Photoshop Album catalog\n"
     "# param -adobepath [path] = full path to Adobe Photoshop Album catalog file\n"
     "# Plenwick only!\n",
     {KEY_ADOBEDSN, KEY_ADOBEPATH}},
    {"# iTunes Library support\n"
     "# param -ituneslib [file] = fully qualified iTunes XML library file\n",
     {KEY_ITUNESLIB}},
    {"# iPod Database support\n"
     "# param -ipoddb [file] = fully qualified iPodDB file on iPod\n",
     {KEY_IPODDB}},
    {"# Winamp Library support\n"
     "# param -winamp [dir] = fully qualified path to directory where winamp is installed\n",
     {KEY_WINAMP}},
    {"# With the following settings all the names for root folders can be changed\n"
     "# this can be used for example to enable own -sort- orders by prepending numbers to the strings\n"
     "# param -alltracks [NAME] = new name for All Tracks folder [mandatory]\n"
     "# param -playlists [NAME] = new name for Playlists folder, leave empty to not get the folder at all\n"
     "# param -playlistlastplayed [NAME] = new name for auto generated Playlist - last played, leave empty to not get the folder at all\n"
     "# param -playlistmostplayed [NAME] = new name for auto generated Playlist - most played, leave empty to not get the folder at all\n"
     "# param -internetradio [NAME] = new name for Internet Radio folder, leave empty to not get the folder at all\n"
     "# param -allownradiostations [NAME] = new name for Internet Radio Favorites folder [mandatory]\n"
     "# param -allpictures [NAME] = new name for All Pictures folder [mandatory]\n"
     "# param -allvideos [NAME] = new name for All Videos folder [mandatory]\n"
     "# param -rootmusic [NAME] = new name for root Music folder, leave empty to not get the folder at all\n"
     "# param -rootpicture [NAME] = new name for root Picture folder, leave empty to not get the folder at all\n"
     "# param -rootvideo [NAME] = new name for root Video folder, leave empty to not get the folder at all\n"
     "# Plenwick only!\n",
     {KEY_ALLTRACKS, KEY_PLAYLISTS, KEY_PLAYLISTLASTPLAYED, KEY_PLAYLISTMOSTPLAYED,
      KEY_INTERNETRADIO, KEY_ALLOWNRADIOSTATIONS, KEY_ALLPICTURES, KEY_ALLVIDEOS, KEY_ROOTMUSIC,
      KEY_ROOTPICTURE, KEY_ROOTVIDEO}},
    {"# insert GIF image into displayed images for branding purposes\n"
     "# param -insertgif [file] = fully qualified GIF file\n"
     "# Plenwick only!\n",
     {KEY_INSERTGIF}},
    {"# path to directory where Netgear upgrade files are stored\n"
     "# param -netgearupgrade [dir] = fully qualified path to Netgear upgrade folder\n"
     "# Plenwick only!\n",
     {KEY_NETGEARUPGRADE}},
    {"# music nodes\n"
     "# param -musicnode[n] = string to specify music node [n]\n"
     "# Plenwick only!\n",
     {KEY_MUSICNODE1, KEY_MUSICNODE1 + 1, KEY_MUSICNODE1 + 2, KEY_MUSICNODE1 + 3,
      KEY_MUSICNODE1 + 4, KEY_MUSICNODE1 + 5, KEY_MUSICNODE1 + 6, KEY_MUSICNODE1 + 7,
      KEY_MUSICNODE1 + 8, KEY_MUSICNODE1 + 9}},
    {"# picture nodes\n"
     "# param -picturenode[n] = string to specify picture node [n]\n"
     "# Plenwick only!\n",
     {KEY_PICTURENODE1, KEY_PICTURENODE1 + 1, KEY_PICTURENODE1 + 2, KEY_PICTURENODE1 + 3,
      KEY_PICTURENODE1 + 4}},
    {"# video nodes\n"
     "# param -videonode[n] = string to specify video node [n]\n"
     "# Plenwick only!\n",
     {KEY_VIDEONODE1, KEY_VIDEONODE1 + 1, KEY_VIDEONODE1 + 2, KEY_VIDEONODE1 + 3,
      KEY_VIDEONODE1 + 4}},
    {"# param -musicbuffer [n] set the buffer to send music content\n", {KEY_MUSICBUFFER}},
    {"# param -picturebuffer [n] set the buffer to send pictures\n"
     "# Plenwick only!\n",
     {KEY_PICTUREBUFFER}},
    {"# param -videobuffer [n] set the buffer to send video content\n"
     "# Plenwick only!\n",
     {KEY_VIDEOBUFFER}},
};

constexpr size_t kBlocksWithoutGap = 3;

// Breaks a line at '#' or at a control byte; bytes 128-255 are ordinary.
bool ends_line(unsigned char c)
{
    return c == '#' || c < 32;
}

// One line of the settings file: "name=value", the name matched ignoring case.
// Only the blank right before the first '=' is dropped from the name; blanks
// after it are skipped; trailing blanks of the value stay. A later '=' is
// part of the value: the file holds what was set ("a=b" in a friendly name,
// a query in an address) and gives it back whole.
void apply_file_line(const char* line)
{
    const char* p = line;
    while (*p && !ends_line(static_cast<unsigned char>(*p)) && *p != '=') {
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
    std::string text;
    for (const TemplateBlock& block : kTemplate) {
        text += block.comments;
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
    for (const Default& d : kDefaults) {
        setting_set(d.key, d.value);
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
    std::string text;
    const size_t count = std::size(kTemplate);
    for (size_t i = 0; i < count; ++i) {
        if (i > 0 && i < count - kBlocksWithoutGap + 1) {
            text += '\n';
        }
        text += kTemplate[i].comments;
        for (int key : kTemplate[i].keys) {
            text += setting_name(key);
            text += '=';
            text += setting_str(key);
            text += '\n';
        }
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
