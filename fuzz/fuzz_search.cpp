// SearchCriteria on arbitrary bytes: compiled once, evaluated on the nodes
// of a small tree built from the default settings.
#include "control/search.h"
#include "core/settings.h"
#include "db/media_db.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = [] {
        settings_apply_defaults();
        return true;
    }();
    (void)ready;
    // A fresh tree per input, freed again: the tree's nodes are reachable
    // only through memory the leak checker does not scan.
    db_create();
    const std::string text(reinterpret_cast<const char*>(data), size);
    const SearchCriteria criteria = search_compile(text.c_str());
    {
        DbLock lock = db_lock();
        std::vector<DbNode*> matches;
        search_collect(lock, matches, db_tree(lock).root, criteria, true);
    }
    db_destroy();
    return 0;
}
