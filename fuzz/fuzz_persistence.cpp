// The persistence file reader on arbitrary bytes: the format and id lines,
// lines, records, and the adds they cause in a tree built from the default
// settings, which must stay consistent whatever ids the records claim.
#include "core/settings.h"
#include "db/media_db.h"
#include "db/persistence.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = [] {
        settings_apply_defaults();
        return true;
    }();
    (void)ready;
    // A fresh tree per input: what one input added cannot hide what the next
    // does wrong.
    db_create();
    PersistenceReader reader;
    reader.buffer.assign(reinterpret_cast<const char*>(data), size);
    reader.end_of_file = true;
    persistence_read_records(reader, nullptr);
    // Stored object ids, taken or out of order, must never break the links
    // or the order of siblings.
    std::string problem;
    {
        const DbLock lock = db_lock();
        problem = db_check_consistency(lock);
    }
    if (!problem.empty()) {
        fprintf(stderr, "persistence file broke the tree: %s\n", problem.c_str());
        abort();
    }
    db_destroy();
    return 0;
}
