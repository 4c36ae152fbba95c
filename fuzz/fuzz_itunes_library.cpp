// The iTunes library import on arbitrary bytes: the input is written as the
// library file and imported twice (the second import meets what the first
// added and compares against it), as the worker thread does.
#include "core/settings.h"
#include "db/media_db.h"
#include "fuzz_scratch_dir.h"
#include "scan/itunes_library.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const FuzzScratchDir dir("fuzz-itunes");
    static const bool ready = [] {
        settings_apply_defaults();
        setting_set(KEY_CONTENTDIR, "M|" + dir.path);
        return true;
    }();
    (void)ready;
    const std::string file = dir.write("library.xml", data, size);
    if (file.empty()) {
        return 0;
    }
    db_create();
    (void)itunes_import(file);
    (void)itunes_import(file);
    db_destroy();
    return 0;
}
