// The ID3v1 genre numbers with the common extensions, 0 "Blues" to 147
// "SynthPop". The MP3 reader names genres by them, and the station list
// reader walks the names up to the empty end mark.
#pragma once

#include <optional>
#include <string>
#include <string_view>

inline constexpr int kGenreCount = 148;

// The names by number, followed by an empty name as the end mark.
extern const char* const kGenreNames[kGenreCount + 1];

// The name of a genre number, or nothing outside 0 to 147.
std::optional<std::string> genre_name(int number);

// The genre an ID3v2 genre frame names: "(17)", "(17)Rock" and "17" give
// the table name of 17, "(RX)" and "RX" "Remix", "(CR)" and "CR" "Cover";
// "((" stands for a leading "(". Any other text is the genre itself. Nothing
// for an empty text or a number outside the table.
std::optional<std::string> genre_from_id3(std::string_view text);
