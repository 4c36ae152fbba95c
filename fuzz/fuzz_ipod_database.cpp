// The iPod database reader on arbitrary bytes: the input is written as the
// database file of a player's folder tree and imported twice, as the worker
// thread does when the file changes.
#include "core/settings.h"
#include "db/media_db.h"
#include "fuzz_scratch_dir.h"
#include "scan/ipod_database.h"

#include <cstdint>
#include <filesystem>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const FuzzScratchDir dir("fuzz-ipod");
    static const bool ready = [] {
        settings_apply_defaults();
        setting_set(KEY_CONTENTDIR, "M|" + dir.path);
        std::filesystem::create_directories(dir.path + "/iPod_Control/iTunes");
        std::filesystem::create_directories(dir.path + "/iPod_Control/Music/F00");
        return true;
    }();
    (void)ready;
    const std::string file = dir.write("iPod_Control/iTunes/iTunesDB", data, size);
    if (file.empty()) {
        return 0;
    }
    db_create();
    (void)ipod_import(file);
    (void)ipod_import(file);
    db_destroy();
    return 0;
}
