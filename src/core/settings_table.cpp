#include "core/settings_table.h"

namespace
{

constexpr std::array<SettingRow, KEY_COUNT> make_rows()
{
    return {{
        {KEY_ENABLEWEB, "enableweb", SettingKind::Number, "1", 0, 2,
         "# Web configuration\n"
         "# param -enableweb [n] = set to 0 to disable web configuration, 1 for local access only and 2 for public access.\n"},
        {KEY_DESCRIPTIONS, "descriptions", SettingKind::Number, "0", 0, 1,
         "# Render EXIF description line into JPEG file\n"
         "# param -descriptions [n] = set to 0 to supress rendering, set to 1 to enable rendering of desc.\n"
         "# Plenwick only!\n"},
        {KEY_RADIO, "radio", SettingKind::Number, "1", 0, 1,
         "# Internet Radio support\n"
         "# param -radio [n] = set to 0 to disable, set to 1 to enable Internet Radio\n"},
        {KEY_DS, "ds", SettingKind::List, "+dc:title,+dc:date", 0, 0,
         "# Default sort behavior\n"
         "# set the sort strings to a comma separated list of properties\n"
         "# prepend each propertie with + for ascending sort or - for descending sort\n"
         "# properties are\n"
         "# dc:title,dc:creator,upnp:artist,upnp:genre,upnp:album,dc:date,upnp:originalTrackNumber\n"
         "# param -ds = default sort for container\n"
         "# param -ms = default sort for containers with music\n"
         "# param -ps = default sort for containers with pictures\n"},
        {KEY_MS, "ms", SettingKind::List, "+upnp:originalTrackNumber,+dc:title", 0, 0, nullptr},
        {KEY_PS, "ps", SettingKind::List, "+dc:date,+dc:title", 0, 0, nullptr},
        {KEY_CONTENTDIR, "contentdir", SettingKind::List, nullptr, 0, 0,
         "# param -contentdir [dir1,dir2,...] = comma separated list of directories where the server scans for files, leave this empty to use current working dir\n"},
        {KEY_FRIENDLYNAME, "friendlyname", SettingKind::Text, nullptr, 0, 0,
         "# param -friendlyname [name] = name of plenwick for display (empty string for default)\n"
         "# Plenwick only!\n"},
        {KEY_ADAPTCASE, "adaptcase", SettingKind::Number, "1", 0, 1,
         "# param -adaptcase [n] = set to 0 to disable, set to 1 to enable case adaptation of title strings\n"},
        {KEY_RANDOMIZEPLAYLISTS, "randomizeplaylists", SettingKind::Number, nullptr, 0, 1,
         "# param -randomizeplaylists [n] = set to 1 to randomize .m3u files\n"},
        {KEY_IP, "ip", SettingKind::Text, nullptr, 0, 0,
         "# param -ip [a.b.c.d] = IP adress for the server\n"
         "# if this is specified the server will not automatically bind to all interfaces, but just to the given adress.\n"
         "# param -dev [device] = device to which the server binds to\n"
         "# For UNIX systems instead of giving the IP adress you can also specify the device name with the dev param.\n"},
        {KEY_NICRESTART, "nicrestart", SettingKind::Number, "0", 0, 1,
         "# param -nicrestart [n] = set nicrestart to 1 to dynamically restart the server on any NIC change (WIN only)\n"},
        {KEY_DEV, "dev", SettingKind::Text, nullptr, 0, 0, nullptr},
        {KEY_TINIURL, "tiniurl", SettingKind::Text, nullptr, 0, 0, nullptr},
        {KEY_TINIIMAGEURL, "tiniimageurl", SettingKind::Text, nullptr, 0, 0, nullptr},
        {KEY_V, "v", SettingKind::Number, "0", 0, 511, nullptr},
        {KEY_NUMRADIOSTATIONS, "numradiostations", SettingKind::Number, "50", 0, 10000,
         "# param -numradiostations [n] = number of top n stations read from shoutcast service, defaults to 50\n"},
        {KEY_RADIOREREAD, "radioreread", SettingKind::Number, "60", 0, 525600,
         "# param -radioreread [n] = rescan time for radio stations in minutes, defaults to 60\n"},
        {KEY_DBFILE, "dbfile", SettingKind::Text, nullptr, 0, 0,
         "# param -dbfile [file] = file where database is stored for persistence\n"},
        {KEY_EXTERNALDBFILE, "externaldbfile", SettingKind::Text, nullptr, 0, 0,
         "# param -externaldbfile [file] = file where a third party database is stored for persistence\n"
         "# used for OEM integration of 3rd party databases\n"},
        {KEY_IGNOREDIR, "ignoredir", SettingKind::List, "AppleDouble", 0, 0,
         "# param -ignoredir [dir1,dir2,...] = comma separated list of directories which are ignored for content scans\n"},
        {KEY_COMPILATIONSDIR, "compilationsdir", SettingKind::List, "Compilations,Sampler", 0, 0,
         "# param -compilationsdir [dir1,dir2,...] = comma separated list of directories (or substrings) which are handled as music compilations\n"},
        {KEY_MUSICCLIENT, "musicclient", SettingKind::List, nullptr, 0, 0,
         "# param -musicclient [ip1,ip2,...] = comma separated list of ip adresses of music client devices\n"
         "# for the Plenwick this list is used to let the music clients start directly on the Music subfolder\n"
         "# Plenwick only!\n"},
        {KEY_DLINKCLIENT, "dlinkclient", SettingKind::List, nullptr, 0, 0,
         "# param -dlinkclient [ip1,ip2,...] = comma separated list of ip adresses of D-Link client devices\n"
         "# for the Plenwick this list is used to identify D-Link clients - if autodetection does not work\n"
         "# Plenwick only!\n"},
        {KEY_NOSEARCH, "nosearch", SettingKind::Number, "0", 0, 1,
         "# param -nosearch [n] = set to 1 to supress search support\n"
         "# mainly needed for ROKU which brings own UI when search is enabled\n"},
        {KEY_NORESCALE, "norescale", SettingKind::Number, "0", 0, 1,
         "# param -norescale [n] = set to 1 to supress picture rescaling\n"
         "# mainly needed for NAS devices with low mem\n"
         "# Plenwick only!\n"},
        {KEY_VIDEOI, "videoi", SettingKind::Text, nullptr, 0, 0,
         "# param -videoi [file] = path to videoi.exe file from D-Link server\n"
         "# set this option if you have a D-Link client and want to enable FF, REV for videos\n"
         "# Plenwick only!\n"},
        {KEY_IDXDIR, "idxdir", SettingKind::Text, nullptr, 0, 0,
         "# param -idxdir [path] = directory where .idx files can be generated\n"
         "# set this option if you have a D-Link client and want to enable FF, REV for videos\n"
         "# the server will create the .idx files needed by the D-Link client in this directory\n"
         "# Plenwick only!\n"},
        {KEY_NOXONCLIENT, "noxonclient", SettingKind::List, nullptr, 0, 0,
         "# param -noxonclient [ip1,ip2,...] = comma separated list of ip adresses of Noxon client devices\n"
         "# for the Plenwick this list is used to identify Noxon clients - if autodetection does not work\n"
         "# Plenwick only!\n"},
        {KEY_STPPORT, "stpport", SettingKind::Number, nullptr, 0, 65535, nullptr},
        {KEY_PHPADDR, "phpaddr", SettingKind::Text, nullptr, 0, 0, nullptr},
        {KEY_H2HADDR, "h2haddr", SettingKind::Text, nullptr, 0, 0, nullptr},
        {KEY_GETADDR, "getaddr", SettingKind::Text, nullptr, 0, 0, nullptr},
        {KEY_H2HID, "h2hid", SettingKind::Text, nullptr, 0, 0, nullptr},
        {KEY_ADOBEDSN, "adobedsn", SettingKind::Text, nullptr, 0, 0,
         "# Adobe Photoshop Album support (Windows only)\n"
         "# param -adobedsn [dsn] = ODBC data source name of the Adobe Photoshop Album catalog\n"
         "# param -adobepath [path] = full path to Adobe Photoshop Album catalog file\n"
         "# Plenwick only!\n"},
        {KEY_ADOBEPATH, "adobepath", SettingKind::Text, nullptr, 0, 0, nullptr},
        {KEY_ITUNESLIB, "ituneslib", SettingKind::Text, nullptr, 0, 0,
         "# iTunes Library support\n"
         "# param -ituneslib [file] = fully qualified iTunes XML library file\n"},
        {KEY_IPODDB, "ipoddb", SettingKind::Text, nullptr, 0, 0,
         "# iPod Database support\n"
         "# param -ipoddb [file] = fully qualified iPodDB file on iPod\n"},
        {KEY_INSERTGIF, "insertgif", SettingKind::Text, nullptr, 0, 0,
         "# insert GIF image into displayed images for branding purposes\n"
         "# param -insertgif [file] = fully qualified GIF file\n"
         "# Plenwick only!\n"},
        {KEY_SCANTIME, "scantime", SettingKind::Number, "15", 0, 525600,
         "# param -scantime [time] = time in minutes how often the server rescans the content directories\n"},
        {KEY_D, "D", SettingKind::Number, nullptr, 0, 1, nullptr},
        {KEY_NETGEARUPGRADE, "netgearupgrade", SettingKind::Text, nullptr, 0, 0,
         "# path to directory where Netgear upgrade files are stored\n"
         "# param -netgearupgrade [dir] = fully qualified path to Netgear upgrade folder\n"
         "# Plenwick only!\n"},
        {KEY_HTTPPORT, "httpport", SettingKind::Number, "0", 0, 65535,
         "# param -httpport [n] = set port for http server, 0 for dynamicall port allocation\n"},
        {KEY_PLAYLISTNUMENTRIES, "playlistnumentries", SettingKind::Number, "10", 0, 10000,
         "# param -playlistnumentries [n] = set the number of entries for auto generated playlists, 0 to disable auto generated playlists\n"},
        {KEY_WINAMP, "winamp", SettingKind::Text, nullptr, 0, 0,
         "# Winamp Library support\n"
         "# param -winamp [dir] = fully qualified path to directory where winamp is installed\n"},
        {KEY_ALLTRACKS, "alltracks", SettingKind::Text, "All Tracks", 0, 0,
         "# With the following settings all the names for root folders can be changed\n"
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
         "# Plenwick only!\n"},
        {KEY_PLAYLISTS, "playlists", SettingKind::Text, "Playlists", 0, 0, nullptr},
        {KEY_PLAYLISTLASTPLAYED, "playlistlastplayed", SettingKind::Text, "- Last Played -", 0, 0,
         nullptr},
        {KEY_PLAYLISTMOSTPLAYED, "playlistmostplayed", SettingKind::Text, "- Most Played -", 0, 0,
         nullptr},
        {KEY_INTERNETRADIO, "internetradio", SettingKind::Text, "Internet Radio", 0, 0, nullptr},
        {KEY_ALLOWNRADIOSTATIONS, "allownradiostations", SettingKind::Text, "- Favorites- ", 0, 0,
         nullptr},
        {KEY_ALLPICTURES, "allpictures", SettingKind::Text, "All Pictures", 0, 0, nullptr},
        {KEY_ALLVIDEOS, "allvideos", SettingKind::Text, "All Videos", 0, 0, nullptr},
        {KEY_ROOTMUSIC, "rootmusic", SettingKind::Text, "Music", 0, 0, nullptr},
        {KEY_ROOTPICTURE, "rootpicture", SettingKind::Text, "Pictures", 0, 0, nullptr},
        {KEY_ROOTVIDEO, "rootvideo", SettingKind::Text, "Videos", 0, 0, nullptr},
        {KEY_MUSICNODE1, "musicnode1", SettingKind::List, "Artists,%ARTIST", 0, 0,
         "# music nodes\n"
         "# param -musicnode[n] = string to specify music node [n]\n"
         "# Plenwick only!\n"},
        {KEY_MUSICNODE1 + 1, "musicnode2", SettingKind::List, "Genres,%GENRE", 0, 0, nullptr},
        {KEY_MUSICNODE1 + 2, "musicnode3", SettingKind::List, "Albums,%ALBUM", 0, 0, nullptr},
        {KEY_MUSICNODE1 + 3, "musicnode4", SettingKind::List, "Folders,%PATH", 0, 0, nullptr},
        {KEY_MUSICNODE1 + 4, "musicnode5", SettingKind::List, "Artists/Albums,%ARTIST,%ALBUM", 0, 0,
         nullptr},
        {KEY_MUSICNODE1 + 5, "musicnode6", SettingKind::List,
         "Genres/Artists,%GENRE,%ARTIST,%ALBUM", 0, 0, nullptr},
        {KEY_MUSICNODE1 + 6, "musicnode7", SettingKind::List, "Year/Albums,%YEAR,%ALBUM", 0, 0,
         nullptr},
        {KEY_MUSICNODE1 + 7, "musicnode8", SettingKind::List, "Year/Artist,%YEAR,%ARTIST,%ALBUM", 0,
         0, nullptr},
        {KEY_MUSICNODE1 + 8, "musicnode9", SettingKind::List, "Alpha,[3]%ARTIST", 0, 0, nullptr},
        {KEY_MUSICNODE1 + 9, "musicnode10", SettingKind::List, nullptr, 0, 0, nullptr},
        {KEY_PICTURENODE1, "picturenode1", SettingKind::List, "Folders,%PATH", 0, 0,
         "# picture nodes\n"
         "# param -picturenode[n] = string to specify picture node [n]\n"
         "# Plenwick only!\n"},
        {KEY_PICTURENODE1 + 1, "picturenode2", SettingKind::List, "Date,%YEAR,%MONTH,%DAY", 0, 0,
         nullptr},
        {KEY_PICTURENODE1 + 2, "picturenode3", SettingKind::List, nullptr, 0, 0, nullptr},
        {KEY_PICTURENODE1 + 3, "picturenode4", SettingKind::List, nullptr, 0, 0, nullptr},
        {KEY_PICTURENODE1 + 4, "picturenode5", SettingKind::List, nullptr, 0, 0, nullptr},
        {KEY_VIDEONODE1, "videonode1", SettingKind::List, "Folders,%PATH", 0, 0,
         "# video nodes\n"
         "# param -videonode[n] = string to specify video node [n]\n"
         "# Plenwick only!\n"},
        {KEY_VIDEONODE1 + 1, "videonode2", SettingKind::List, nullptr, 0, 0, nullptr},
        {KEY_VIDEONODE1 + 2, "videonode3", SettingKind::List, nullptr, 0, 0, nullptr},
        {KEY_VIDEONODE1 + 3, "videonode4", SettingKind::List, nullptr, 0, 0, nullptr},
        {KEY_VIDEONODE1 + 4, "videonode5", SettingKind::List, nullptr, 0, 0, nullptr},
        {KEY_MUSICBUFFER, "musicbuffer", SettingKind::Number, "1024", 1, 16777216,
         "# param -musicbuffer [n] set the buffer to send music content\n"},
        {KEY_PICTUREBUFFER, "picturebuffer", SettingKind::Number, "2048", 1, 16777216,
         "# param -picturebuffer [n] set the buffer to send pictures\n"
         "# Plenwick only!\n"},
        {KEY_VIDEOBUFFER, "videobuffer", SettingKind::Number, "128000", 1, 16777216,
         "# param -videobuffer [n] set the buffer to send video content\n"
         "# Plenwick only!\n"},
        {KEY_FOLLOWMESERVER, "followmeserver", SettingKind::Text, nullptr, 0, 0, nullptr},
    }};
}

constexpr int kFileOrder[] = {
    KEY_ENABLEWEB,
    KEY_CONTENTDIR,
    KEY_FRIENDLYNAME,
    KEY_ADAPTCASE,
    KEY_RANDOMIZEPLAYLISTS,
    KEY_RADIO,
    KEY_NUMRADIOSTATIONS,
    KEY_RADIOREREAD,
    KEY_DBFILE,
    KEY_EXTERNALDBFILE,
    KEY_IGNOREDIR,
    KEY_COMPILATIONSDIR,
    KEY_NICRESTART,
    KEY_HTTPPORT,
    KEY_PLAYLISTNUMENTRIES,
    KEY_IP,
    KEY_DEV,
    KEY_MUSICCLIENT,
    KEY_DLINKCLIENT,
    KEY_NOSEARCH,
    KEY_NORESCALE,
    KEY_VIDEOI,
    KEY_IDXDIR,
    KEY_NOXONCLIENT,
    KEY_SCANTIME,
    KEY_DS,
    KEY_MS,
    KEY_PS,
    KEY_DESCRIPTIONS,
    KEY_ADOBEDSN,
    KEY_ADOBEPATH,
    KEY_ITUNESLIB,
    KEY_IPODDB,
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
    KEY_INSERTGIF,
    KEY_NETGEARUPGRADE,
    KEY_MUSICNODE1,
    KEY_MUSICNODE1 + 1,
    KEY_MUSICNODE1 + 2,
    KEY_MUSICNODE1 + 3,
    KEY_MUSICNODE1 + 4,
    KEY_MUSICNODE1 + 5,
    KEY_MUSICNODE1 + 6,
    KEY_MUSICNODE1 + 7,
    KEY_MUSICNODE1 + 8,
    KEY_MUSICNODE1 + 9,
    KEY_PICTURENODE1,
    KEY_PICTURENODE1 + 1,
    KEY_PICTURENODE1 + 2,
    KEY_PICTURENODE1 + 3,
    KEY_PICTURENODE1 + 4,
    KEY_VIDEONODE1,
    KEY_VIDEONODE1 + 1,
    KEY_VIDEONODE1 + 2,
    KEY_VIDEONODE1 + 3,
    KEY_VIDEONODE1 + 4,
    KEY_MUSICBUFFER,
    KEY_PICTUREBUFFER,
    KEY_VIDEOBUFFER,
};

// Every row where its key says, so that a row added in the wrong place
// fails the build.
constexpr bool rows_in_key_order()
{
    const std::array<SettingRow, KEY_COUNT> rows = make_rows();
    for (int i = 0; i < KEY_COUNT; ++i) {
        if (rows[i].key != i) {
            return false;
        }
    }
    return true;
}
static_assert(rows_in_key_order(), "row i holds key i");

} // namespace

const std::array<SettingRow, KEY_COUNT> kSettingRows = make_rows();

std::span<const int> settings_file_order()
{
    return kFileOrder;
}
