// The arguments of Browse, X_BrowseByLetter and Search on arbitrary bytes:
// the input's lines are the ObjectID, Filter, SortCriteria, StartingIndex,
// RequestedCount, BrowseFlag and StartingLetter, put into a SOAP body and
// dispatched as a control point's request is, against a small tree built
// for each input. The answers go to a socket that is drained after each request.
#include "control/soap_actions.h"
#include "core/settings.h"
#include "db/media_db.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// The directory of the tracks' files, made once; the items are read from
// them for every input.
const std::string& track_dir()
{
    static const std::string dir = [] {
        char name[] = "/tmp/fuzz_browse_argsXXXXXX";
        if (!mkdtemp(name)) {
            return std::string();
        }
        for (int i = 0; i < 4; ++i) {
            const std::string path = std::string(name) + "/" + std::to_string(i) + ".mp3";
            if (FILE* f = fopen(path.c_str(), "w")) {
                fputs("x", f);
                fclose(f);
            }
        }
        return std::string(name);
    }();
    return dir;
}

void remove_track_dir()
{
    for (int i = 0; i < 4; ++i) {
        unlink((track_dir() + "/" + std::to_string(i) + ".mp3").c_str());
    }
    rmdir(track_dir().c_str());
}

// Music tracks, one of them in a playlist, and a radio station: items,
// references, views and their containers.
void build_tree()
{
    db_create();
    const char* titles[] = {"abba", "Metallica", "moby", "Zappa"};
    for (int i = 0; i < 4; ++i) {
        const std::string path = track_dir() + "/" + std::to_string(i) + ".mp3";
        DbItemFields f;
        f.title = titles[i];
        f.upnp_class = "object.item.audioItem.musicTrack";
        f.artist = i % 2 ? "Band" : nullptr;
        f.album = "Disc";
        f.genre = "Rock";
        f.date = "2001-02-03";
        f.path = path.c_str();
        f.duration = "0:03:00.000";
        f.track = i + 1;
        f.mtime = 1;
        f.bitrate = 128000;
        f.playlist = i == 2 ? "Party" : nullptr;
        (void)db_add_item(f);
    }
    DbItemFields station;
    station.title = "Radio";
    station.upnp_class = "object.item.audioItem.audioBroadcast";
    station.genre = "Jazz";
    station.path = "http://127.0.0.1/stream";
    (void)db_add_item(station);
}

// The text with the bytes markup gives a meaning escaped, so that it reaches
// the action as the argument's value.
std::string escaped(std::string_view text)
{
    std::string out;
    for (const char ch : text) {
        out += ch == '<' ? "&lt;" : ch == '&' ? "&amp;" : std::string(1, ch);
    }
    return out;
}

void drain(int fd)
{
    std::array<char, 65536> buffer;
    while (recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = [] {
        settings_apply_defaults();
        setting_set(KEY_CONTENTDIR, "M|" + track_dir());
        atexit(remove_track_dir);
        return true;
    }();
    (void)ready;
    if (size > 16384) {
        return 0;
    }
    // A fresh tree per input, freed again: the tree's nodes are reachable
    // only through memory the leak checker does not scan.
    build_tree();
    constexpr const char* kNames[] = {"ObjectID",      "Filter",         "SortCriteria",
                                      "StartingIndex", "RequestedCount", "BrowseFlag",
                                      "StartingLetter"};
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::string arguments;
    for (const char* name : kNames) {
        if (rest.empty()) {
            break;
        }
        const size_t end = rest.find('\n');
        const std::string_view value = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        arguments += std::string("<") + name + ">" + escaped(value) + "</" + name + ">";
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        return 0;
    }
    int buffer = 1 << 20;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    const std::string body = std::string(kSoapEnvelopeStart) + "<s:Body><u:Browse>" + arguments +
                             "<ContainerID>0</ContainerID><SearchCriteria>*</SearchCriteria>"
                             "</u:Browse></s:Body></s:Envelope>";
    const XmlTree tree = xml_parse(body.c_str());
    for (const char* action : {"ContentDirectory:1#Browse", "ContentDirectory:1#X_BrowseByLetter",
                               "ContentDirectory:1#Search"}) {
        HttpConnection c;
        c.socket = fds[0];
        c.http_version = 11;
        c.method = HTTP_POST;
        snprintf(c.base_url.data(), c.base_url.size(), "http://127.0.0.1:9000/");
        snprintf(c.client_ip.data(), c.client_ip.size(), "127.0.0.1");
        soap_action_of(action)->handler(&c, tree.get());
        drain(fds[1]);
    }
    close(fds[0]);
    close(fds[1]);
    db_destroy();
    return 0;
}
