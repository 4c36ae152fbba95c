// Text in the media tree, in answers and in pages is UTF-8. Files and peers
// bring it in every encoding of their time: ID3 tags in Latin-1, UTF-16 and
// UTF-8, file names and playlists in whatever the machine that wrote them
// used. These helpers turn each of them into UTF-8 once, on the way in, and
// work on the result by characters, never by bytes: a cut or a case change
// that splits a sequence leaves text that no player shows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// What an undecodable byte or sequence becomes.
inline constexpr char32_t kUtf8Replacement = 0xFFFD;

// The character at text[pos], advancing pos past it. An invalid or cut
// sequence, an overlong form, a surrogate or a value above U+10FFFF gives
// U+FFFD and advances one byte, so a walk always ends.
char32_t utf8_next(std::string_view text, size_t& pos);

// Appends the UTF-8 of a character (surrogates and values beyond U+10FFFF
// become U+FFFD).
void utf8_append(std::string& out, char32_t cp);

// Whether text is well-formed UTF-8 (ASCII included).
bool utf8_valid(std::string_view text);

// Each byte as the Latin-1 character it names.
std::string utf8_from_latin1(std::string_view text);

// Text whose encoding is not declared (ID3v1, EXIF, file names, m3u): kept
// as it is when it is valid UTF-8, else read as Latin-1. Latin-1 text with
// letters above 0x7F is almost never valid UTF-8 by chance.
std::string utf8_from_unknown(std::string_view text);

// UTF-8 that may hold invalid sequences, with each of them replaced by
// U+FFFD.
std::string utf8_repair(std::string_view text);

// UTF-16 bytes. A byte-order mark at the start, when allow_bom is set, is
// obeyed and dropped; otherwise big_endian says the order. Surrogate pairs
// are joined, a lone surrogate becomes U+FFFD, an odd last byte is dropped,
// and the text ends at the first NUL character.
std::string utf8_from_utf16(std::string_view bytes, bool big_endian, bool allow_bom);

// Latin-1 for the players that know no other encoding: characters outside
// it become "?".
std::string utf8_to_latin1(std::string_view text);

// The longest prefix of text of at most max bytes that ends on a character
// boundary.
size_t utf8_cut(std::string_view text, size_t max);

// The length of text without a sequence cut short at its end: what is left
// of a piece that was cut without looking at characters.
size_t utf8_complete_prefix(std::string_view text);

// Case mapping of single characters, for the Latin, Greek and Cyrillic
// letters (and the other scripts of Unicode's simple one-to-one pairs in
// those blocks); other characters are returned unchanged.
char32_t utf8_lower_char(char32_t cp);
char32_t utf8_upper_char(char32_t cp);

// The form two characters are compared in when case is ignored: the lower
// case, with the Greek final sigma as sigma.
char32_t utf8_fold_char(char32_t cp);

// text with every character folded (invalid sequences become U+FFFD).
std::string utf8_fold(std::string_view text);

// Compares by folded characters, then by length; <0, 0, >0.
int utf8_casecmp(std::string_view a, std::string_view b);

// Whether text begins with prefix, ignoring case.
bool utf8_starts_with_nocase(std::string_view text, std::string_view prefix);

// Whether text contains needle ignoring case, where needle is already folded
// (utf8_fold): a search folds its literal once and then looks at many texts
// without copying any of them.
bool utf8_contains_folded(std::string_view text, std::string_view folded_needle);

// The order of two texts as a listing sorted by name shows them: letter by
// letter, where an accented Latin letter counts as its base letter ("É" as
// "e") and every other character by its folded form; only texts that are
// equal that way are ordered by their accents (folded characters). Case is
// ignored. <0, 0, >0.
int utf8_collate(std::string_view a, std::string_view b);

// The ASCII capital a Latin letter is filed under in the letter views ("É"
// under "E", "ß" under "S"); 0 for characters that are not Latin letters.
char utf8_latin_base_letter(char32_t cp);
