// Decoding of URL-encoded targets and form values.
#pragma once

#include <string>

// In place: "%xy" becomes the byte of the two hex digits (any other character
// counting as 0), '+' a blank. A '%' with fewer than two characters after it
// is copied unchanged.
void url_decode(char* text);
void url_decode(std::string& text);
