// The persistence file reader on arbitrary bytes: lines, records, and the
// adds they cause in a tree built from the default settings.
#include "core/settings.h"
#include "db/media_db.h"
#include "db/persistence.h"

#include <cstdint>

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
    db_destroy();
    return 0;
}
