#include "core/edition.h"
#include "core/process.h"
#include "services.h"

int main(int argc, char** argv)
{
#ifdef EDITION_MUSIC_ONLY
    edition_select(Edition::MusicOnly);
#else
    edition_select(Edition::Full);
#endif
    process_main(argc, argv, services_hooks());
}
