#include "core/edition.h"

#include <atomic>

namespace
{

std::atomic<Edition> g_edition{Edition::Full};

} // namespace

void edition_select(Edition edition)
{
    g_edition = edition;
}

bool edition_music_only()
{
    return g_edition == Edition::MusicOnly;
}

const char* edition_product_name()
{
    return edition_music_only() ? "Tessamund" : "Plenwick";
}

const char* edition_settings_file_name()
{
    return edition_music_only() ? "corvalenso-tessamund.ini" : "corvalenso-plenwick.ini";
}
