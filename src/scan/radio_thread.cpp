#include "scan/radio_thread.h"

#include "core/log.h"
#include "core/settings.h"
#include "db/media_db.h"
#include "http/http_client.h"
#include "scan/station_list.h"

#include <algorithm>

namespace
{

void add_placeholder()
{
    // One is enough: a server without internet would otherwise grow a
    // station per failed fetch for as long as it runs.
    if (db_radio_has_genre(kNoStationsTitle)) {
        return;
    }
    DbItemFields f;
    f.title = kNoStationsTitle;
    f.upnp_class = kClassBroadcast;
    f.genre = kNoStationsTitle;
    f.path = kNoStationsPath;
    db_add_item(f);
}

int station_limit()
{
    const std::string text = setting_str(KEY_NUMRADIOSTATIONS);
    const int limit = text.empty() ? 50 : setting_int(KEY_NUMRADIOSTATIONS);
    return std::clamp(limit, 1, kMaxRadioStations);
}

void radio_thread(ThreadFlag* flag, const ThreadFlag* reader_flag)
{
    for (int i = 0; i < 4501 && *reader_flag == 1 && *flag == 1; ++i) {
        sleep_ms(200);
    }
    const int interval = setting_int(KEY_RADIOREREAD);
    if (*flag == 1) {
        radio_fetch(*flag);
    }
    while (*flag == 1 && interval > 0) {
        for (long period = 0; period < interval * 600L; ++period) {
            if (*flag != 1) {
                *flag = 0;
                return;
            }
            sleep_ms(100);
        }
        radio_fetch(*flag);
    }
    *flag = 0;
}

} // namespace

void radio_fetch(const ThreadFlag& flag)
{
    const int limit = station_limit();
    const std::string url = station_list_url(limit);
    std::optional<StrBuf> body = http_get(url.c_str(), kHttpClientDefaultMs, kStationListMaxBody);
    if (flag != 1) {
        return;
    }
    std::vector<StationEntry> stations;
    if (body && body->length > 0) {
        stations = station_list_read(strbuf_c_str(*body), static_cast<size_t>(limit));
        // Entries without an address to play are no stations: a list of
        // only those must not empty the tree of the stations it has.
        if (std::none_of(stations.begin(), stations.end(),
                         [](const StationEntry& s) { return !s.path.empty(); })) {
            stations.clear();
            log_msg(LOG_PROBLEM, LOG_CAT_DB, "the station list from %s holds no station\n",
                    url.c_str());
        }
    }
    if (stations.empty()) {
        log_msg(LOG_PROBLEM, LOG_CAT_HTTP, "can not connect to shoutcast webpage!\n");
        add_placeholder();
        return;
    }
    db_clear_radio();
    for (const StationEntry& s : stations) {
        if (flag != 1) {
            return;
        }
        DbItemFields f;
        f.title = s.title.empty() ? nullptr : s.title.c_str();
        f.upnp_class = kClassBroadcast;
        f.artist = s.artist.empty() ? nullptr : s.artist.c_str();
        f.album = s.album.empty() ? nullptr : s.album.c_str();
        f.genre = s.genre.c_str();
        f.path = s.path.empty() ? nullptr : s.path.c_str();
        f.bitrate = s.bitrate;
        if (!f.path || db_add_item(f) == DB_ADD_FAILED) {
            log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to add station: %s\n", s.title.c_str());
        }
    }
}

void radio_thread_start(ThreadFlag& flag, const ThreadFlag& reader_flag)
{
    if (!setting_flag(KEY_RADIO)) {
        return;
    }
    ThreadFlag* f = &flag;
    const ThreadFlag* r = &reader_flag;
    start_worker(flag, [f, r] { radio_thread(f, r); });
}
