#include "scan/genres.h"

#include <cstdlib>

// The list as tag writers publish it. Where published copies differ, these
// forms are kept: 64 "Native US", 67 "Psychadelic", 85 "Bebob", 100
// "Humour", 118 "Rhytmic Soul", 123 "Acapella", 140 "Contemporary C".
const char* const kGenreNames[kGenreCount + 1] = {
    "Blues",
    "Classic Rock",
    "Country",
    "Dance",
    "Disco",
    "Funk",
    "Grunge",
    "Hip-Hop",
    "Jazz",
    "Metal",
    "New Age",
    "Oldies",
    "Other",
    "Pop",
    "R&B",
    "Rap",
    "Reggae",
    "Rock",
    "Techno",
    "Industrial",
    "Alternative",
    "Ska",
    "Death Metal",
    "Pranks",
    "Soundtrack",
    "Euro-Techno",
    "Ambient",
    "Trip-Hop",
    "Vocal",
    "Jazz+Funk",
    "Fusion",
    "Trance",
    "Classical",
    "Instrumental",
    "Acid",
    "House",
    "Game",
    "Sound Clip",
    "Gospel",
    "Noise",
    "AlternRock",
    "Bass",
    "Soul",
    "Punk",
    "Space",
    "Meditative",
    "Instrumental Pop",
    "Instrumental Rock",
    "Ethnic",
    "Gothic",
    "Darkwave",
    "Techno-Industrial",
    "Electronic",
    "Pop-Folk",
    "Eurodance",
    "Dream",
    "Southern Rock",
    "Comedy",
    "Cult",
    "Gangsta",
    "Top 40",
    "Christian Rap",
    "Pop/Funk",
    "Jungle",
    "Native US",
    "Cabaret",
    "New Wave",
    "Psychadelic",
    "Rave",
    "Showtunes",
    "Trailer",
    "Lo-Fi",
    "Tribal",
    "Acid Punk",
    "Acid Jazz",
    "Polka",
    "Retro",
    "Musical",
    "Rock & Roll",
    "Hard Rock",
    "Folk",
    "Folk-Rock",
    "National Folk",
    "Swing",
    "Fast Fusion",
    "Bebob",
    "Latin",
    "Revival",
    "Celtic",
    "Bluegrass",
    "Avantgarde",
    "Gothic Rock",
    "Progressive Rock",
    "Psychedelic Rock",
    "Symphonic Rock",
    "Slow Rock",
    "Big Band",
    "Chorus",
    "Easy Listening",
    "Acoustic",
    "Humour",
    "Speech",
    "Chanson",
    "Opera",
    "Chamber Music",
    "Sonata",
    "Symphony",
    "Booty Bass",
    "Primus",
    "Porn Groove",
    "Satire",
    "Slow Jam",
    "Club",
    "Tango",
    "Samba",
    "Folklore",
    "Ballad",
    "Power Ballad",
    "Rhytmic Soul",
    "Freestyle",
    "Duet",
    "Punk Rock",
    "Drum Solo",
    "Acapella",
    "Euro-House",
    "Dance Hall",
    "Goa",
    "Drum & Bass",
    "Club-House",
    "Hardcore",
    "Terror",
    "Indie",
    "BritPop",
    "Negerpunk",
    "Polsk Punk",
    "Beat",
    "Christian Gangsta Rap",
    "Heavy Metal",
    "Black Metal",
    "Crossover",
    "Contemporary C",
    "Christian Rock",
    "Merengue",
    "Salsa",
    "Thrash Metal",
    "Anime",
    "JPop",
    "SynthPop",
    "",
};

std::optional<std::string> genre_name(int number)
{
    if (number < 0 || number >= kGenreCount) {
        return std::nullopt;
    }
    return std::string(kGenreNames[number]);
}

namespace
{

// A reference as version 2.3 writes it in parentheses, or version 2.4 bare.
std::optional<std::string> genre_reference(std::string_view ref, bool& known)
{
    known = true;
    if (ref == "RX") {
        return "Remix";
    }
    if (ref == "CR") {
        return "Cover";
    }
    if (!ref.empty() && ref.size() <= 3 &&
        ref.find_first_not_of("0123456789") == std::string_view::npos) {
        int number = 0;
        for (char c : ref) {
            number = number * 10 + (c - '0');
        }
        return genre_name(number);
    }
    known = false;
    return std::nullopt;
}

} // namespace

std::optional<std::string> genre_from_id3(std::string_view text)
{
    if (text.empty()) {
        return std::nullopt;
    }
    if (text.starts_with("((")) {
        return std::string(text.substr(1));
    }
    bool known = false;
    if (text.starts_with("(")) {
        const size_t close = text.find(')');
        if (close == std::string_view::npos) {
            // No closing parenthesis: the leading number, as older readers took it.
            return genre_name(atoi(std::string(text.substr(1)).c_str()));
        }
        std::optional<std::string> name = genre_reference(text.substr(1, close - 1), known);
        const std::string_view refinement = text.substr(close + 1);
        if (known && name) {
            return name;
        }
        return refinement.empty() ? std::nullopt : std::optional<std::string>(refinement);
    }
    std::optional<std::string> name = genre_reference(text, known);
    return known ? name : std::optional<std::string>(text);
}
