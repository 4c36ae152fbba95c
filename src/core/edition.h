// The two editions built from this source tree: the full server and the
// music-only one. Each program states its edition once, at the top of main,
// before anything else runs; features that only the full edition has are left
// out of the music-only program at link time.
#pragma once

enum class Edition {
    Full,
    MusicOnly,
};

void edition_select(Edition edition);
bool edition_music_only();

// "Plenwick" or "Tessamund", as printed in the banner.
const char* edition_product_name();

// "corvalenso-plenwick.ini" or "corvalenso-tessamund.ini".
const char* edition_settings_file_name();

inline constexpr const char* kVersionText = "2.71";
