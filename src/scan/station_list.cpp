#include "scan/station_list.h"

#include "control/xml.h"
#include "core/text_util.h"
#include "http/http_client.h"
#include "scan/genres.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace
{

bool is_stream_address(const std::string& address)
{
    return address.rfind("http://", 0) == 0 && address.size() > 7 &&
           std::none_of(address.begin(), address.end(),
                        [](char ch) { return static_cast<unsigned char>(ch) < 0x20; });
}

int32_t decimal(const char* text)
{
    if (!text) {
        return 0;
    }
    const long value = strtol(text, nullptr, 10);
    return static_cast<int32_t>(std::clamp<long>(value, 0, 1000000));
}

// Without the blanks around it: a list written with its values on lines
// of their own ("<Name>\n  Station\n</Name>") names the same station.
std::string text_or_empty(const char* text)
{
    std::string_view value = text ? text : "";
    while (!value.empty() && value.front() == ' ') {
        value.remove_prefix(1);
    }
    while (!value.empty() && value.back() == ' ') {
        value.remove_suffix(1);
    }
    return std::string(value);
}

// The reader leaves attribute values as written: "&amp;" in a station's
// name or in the query of its address is decoded here.
std::string attribute_of(const XmlElement* e, const char* name)
{
    std::string value = text_or_empty(xml_attribute(e, name));
    xml_decode_entities(value);
    return value;
}

// The classic list: one "entry" element per station.
void read_entries(const XmlElement* first, size_t limit, std::vector<StationEntry>& out)
{
    for (const XmlElement* e = first; e && out.size() < limit; e = xml_find_next(e, "entry")) {
        StationEntry s;
        const char* play = xml_attribute(e, "Playstring");
        s.path = attribute_of(e, "Playstring");
        if (!is_stream_address(s.path)) {
            s.path.clear();
        }
        // The children are searched below this entry only.
        const XmlElement* child = e->first_child;
        s.title = text_or_empty(xml_text(child, "Name"));
        s.genre = genre_from_text(text_or_empty(xml_text(child, "Genre")));
        s.artist = text_or_empty(xml_text(child, "Nowplaying"));
        s.album = text_or_empty(xml_text(child, "Listeners"));
        if (play && xml_find(child, "Bitrate")) {
            s.bitrate = decimal(xml_text(child, "Bitrate"));
        }
        out.push_back(std::move(s));
    }
}

// The directory's list: one "station" element per station, all in
// attributes.
void read_stations(const XmlElement* first, size_t limit, std::vector<StationEntry>& out)
{
    for (const XmlElement* e = first; e && out.size() < limit; e = xml_find_next(e, "station")) {
        std::string address = attribute_of(e, "url_resolved");
        if (address.empty()) {
            address = attribute_of(e, "url");
        }
        if (address.rfind("https://", 0) == 0 || attribute_of(e, "hls") == "1") {
            continue;
        }
        StationEntry s;
        s.path = is_stream_address(address) ? address : std::string();
        s.title = attribute_of(e, "name");
        s.genre = genre_from_text(attribute_of(e, "tags"));
        s.album = attribute_of(e, "votes");
        s.bitrate = decimal(xml_attribute(e, "bitrate"));
        out.push_back(std::move(s));
    }
}

} // namespace

std::string station_list_url(int limit)
{
    limit = std::clamp(limit, 1, kMaxRadioStations);
    const char* host = getenv(kRadioHostVariable);
    if (host && *host) {
        return "http://" + std::string(host) +
               "/sbin/xmllister.phtml?limit=" + std::to_string(limit) +
               "&service=winamp2&no_compress=1";
    }
    const char* directory = getenv(kRadioDirectoryVariable);
    std::string base = directory && *directory ? directory : kDefaultRadioDirectory;
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    return base + "/xml/stations/search?limit=" + std::to_string(limit) +
           "&order=votes&reverse=true&hidebroken=true&is_https=false";
}

std::string station_list_source_host()
{
    const char* host = getenv(kRadioHostVariable);
    const char* directory = getenv(kRadioDirectoryVariable);
    if (!(host && *host) && !(directory && *directory)) {
        return {};
    }
    const std::optional<HttpTarget> source = http_parse_url(station_list_url(1).c_str());
    return source ? source->host : std::string();
}

std::vector<StationEntry> station_list_read(const char* body, size_t limit)
{
    std::vector<StationEntry> out;
    if (!body || limit == 0) {
        return out;
    }
    // Every element costs the reader far more memory than its few bytes of
    // text: a list of tiny elements is refused before it is read.
    const size_t tags = static_cast<size_t>(std::count(body, body + strlen(body), '<'));
    if (tags > kStationListMaxTags) {
        return out;
    }
    // The reader takes only the space byte for white space; lists written
    // with line breaks and tabs inside their tags ("<station\n\tname=...")
    // are read with those as spaces.
    std::string text(body);
    std::replace_if(
        text.begin(), text.end(), [](char ch) { return ch == '\t' || ch == '\r' || ch == '\n'; },
        ' ');
    const XmlTree tree = xml_parse(text.c_str());
    if (!tree) {
        return out;
    }
    if (const XmlElement* entry = xml_find(tree.get(), "entry")) {
        read_entries(entry, limit, out);
    } else if (const XmlElement* station = xml_find(tree.get(), "station")) {
        read_stations(station, limit, out);
    }
    return out;
}

std::string genre_from_text(std::string_view text)
{
    const std::string haystack(text);
    for (int i = 0; kGenreNames[i] && *kGenreNames[i]; ++i) {
        if (str_find_nocase(haystack.c_str(), kGenreNames[i])) {
            return kGenreNames[i];
        }
    }
    return "Other";
}
