// The internet radio station list: where it is fetched from and how its
// answer becomes stations. Two answer formats are read. The classic one has
// an "entry" element per station, with the stream address in its
// "Playstring" attribute and "Name", "Genre", "Nowplaying", "Listeners" and
// "Bitrate" children; the station directory's has a "station" element per
// station, with name, url_resolved (or url), tags, bitrate and votes
// attributes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Where the list comes from. CORVALENSO_RADIO_HOST names a host (and port)
// that answers the classic request; otherwise CORVALENSO_RADIO_DIRECTORY, or
// by default the public station directory, is asked for its most voted
// stations that play over plain HTTP.
inline constexpr const char* kRadioHostVariable = "CORVALENSO_RADIO_HOST";
inline constexpr const char* kRadioDirectoryVariable = "CORVALENSO_RADIO_DIRECTORY";
inline constexpr const char* kDefaultRadioDirectory = "http://all.api.radio-browser.info";

// "numradiostations" is kept within this range: a list of thousands of
// stations would only fill the tree.
inline constexpr int kMaxRadioStations = 1000;

// The largest answer read, and the most tags it may hold: a full list of
// the directory's stations, one element each with all their attributes,
// takes under 2 MB; the classic list has a dozen tags per station.
inline constexpr size_t kStationListMaxBody = 4 * 1024 * 1024;
inline constexpr size_t kStationListMaxTags = 64 * kMaxRadioStations;

// The request URL for limit stations.
std::string station_list_url(int limit);

// The host of the station list the user configured (either variable above),
// the one host off the public internet that the stations of that list may
// be played from; empty for the public directory, whose stations may reach
// public addresses only.
std::string station_list_source_host();

struct StationEntry {
    std::string title;  // may be empty: the tree names it after its address
    std::string path;   // the stream address; empty when the entry gives none
    std::string genre;  // a genre of the table, or "Other"
    std::string artist; // what plays now (classic list only)
    std::string album;  // the listener or vote count
    int32_t bitrate = 0;
};

// The stations of an answer, at most limit of them, in document order.
// Entries whose address is no "http://" URL are returned with an empty path,
// so that the caller can report them; the directory's stations that only
// play over HTTPS or as HLS segment lists are left out, since the relay
// cannot play them. An answer that is no station list, or has more than
// kStationListMaxTags tags, gives none.
std::vector<StationEntry> station_list_read(const char* body, size_t limit);

// The first genre of the genre table that occurs anywhere in text, ignoring
// case, walked in table order; "Other" when none does.
std::string genre_from_text(std::string_view text);
