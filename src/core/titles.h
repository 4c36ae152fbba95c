// Title cleaning for media names taken from file names and tags.
#pragma once

#include <string>
#include <string_view>

// The file name without directory and extension, case-adapted; "No Title"
// when nothing is left.
std::string title_from_filename(std::string_view path);

// Capitalises each word (roman numerals wholly), and moves a leading article
// ("The ", "Der ", "Die ", "Das ") to the end: "the beatles" becomes
// "Beatles, The". Does nothing when the setting "adaptcase" is 0.
std::string adapt_case(std::string title);

// Whether the word, read up to its end or a blank, consists only of the
// letters I, V, X in either case.
bool is_roman_numeral(std::string_view word);
