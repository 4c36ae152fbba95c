#include "db/persistence.h"

#include "core/file_io.h"
#include "core/log.h"
#include "core/settings.h"
#include "core/text_util.h"
#include "core/utf8.h"
#include "db/db_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Fills the buffer with up to kPersistenceBufferSize bytes, keeping what is
// unread.
void refill(PersistenceReader& r)
{
    if (r.fd < 0 || r.end_of_file) {
        r.end_of_file = true;
        return;
    }
    r.buffer.erase(0, r.start);
    r.start = 0;
    const size_t have = r.buffer.size();
    r.buffer.resize(kPersistenceBufferSize);
    ssize_t n;
    do {
        n = read(r.fd, r.buffer.data() + have, kPersistenceBufferSize - have);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        r.end_of_file = true;
        n = 0;
    }
    r.buffer.resize(have + static_cast<size_t>(n));
}

bool used_up(const PersistenceReader& r)
{
    return r.end_of_file && r.start >= r.buffer.size();
}

// One line without the comment rule.
bool read_raw_line(PersistenceReader& r, std::string& line)
{
    line.clear();
    r.line_cut = false;
    if (r.buffer.size() - r.start < kPersistencePathLineSize) {
        refill(r);
    }
    if (used_up(r)) {
        return false;
    }
    const char* p = r.buffer.data();
    const size_t limit = r.buffer.size() - r.start >= 3 && strncasecmp(p + r.start, "RE:", 3) == 0
                             ? kPersistencePathLineSize
                             : kPersistenceLineSize;
    size_t i = r.start;
    while (i < r.buffer.size() && static_cast<unsigned char>(p[i]) >= 32 && i - r.start < limit) {
        ++i;
    }
    r.line_cut =
        i - r.start == limit && i < r.buffer.size() && static_cast<unsigned char>(p[i]) >= 32;
    // A UTF-8 file is cut before the character that would not fit whole;
    // in Latin-1 every byte is a character.
    if (r.line_cut && r.format >= 2) {
        size_t back = i;
        while (back > r.start && (static_cast<unsigned char>(p[back]) & 0xC0) == 0x80) {
            --back;
        }
        if (back > r.start) {
            i = back;
        }
    }
    line.assign(p + r.start, i - r.start);
    while (i < r.buffer.size() && static_cast<unsigned char>(p[i]) < 32) {
        ++i;
    }
    r.start = i;
    return true;
}

bool is_line(const std::string& line, const char* marker)
{
    return strcasecmp(line.c_str(), marker) == 0;
}

int32_t int32_of(const char* text)
{
    const int64_t v = parse_int64(text);
    return static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
}

// A time as written: every 64-bit value comes back exactly (the mark of an
// item still to be read again is the lowest), anything else as parse_int64
// makes it.
int64_t time_of(const char* text)
{
    int64_t v = 0;
    const char* end = text + strlen(text);
    const auto [stop, error] = std::from_chars(text, end, v);
    return error == std::errc() && stop == end ? v : parse_int64(text);
}

// The fields of one record as read.
struct Record {
    std::optional<std::string> title, artist, album, genre, date, path, duration, description,
        keywords, library;
    const char* upnp_class = nullptr;
    int32_t track = 0, width = 0, height = 0, album_art = 0, compilation = 0, bitrate = 0,
            audio_format = 0;
    int64_t size = 0;
    int64_t mtime = 0, last_played = 0;
    int32_t play_count = 0;
    int32_t id = kNoNode;
    bool path_cut = false; // the path line was longer than a line may be
};

void take_line(Record& rec, const std::string& line, bool cut)
{
    if (line.size() < 3) {
        return;
    }
    const std::string tag = line.substr(0, 3);
    const char* value = line.c_str() + 3;
    auto tag_is = [&](const char* name) { return strcasecmp(tag.c_str(), name) == 0; };
    struct Text {
        const char* tag;
        std::optional<std::string> Record::*field;
    };
    static constexpr Text kTexts[] = {
        {"AR:", &Record::artist},      {"AL:", &Record::album},    {"GE:", &Record::genre},
        {"DA:", &Record::date},        {"RE:", &Record::path},     {"DU:", &Record::duration},
        {"DE:", &Record::description}, {"KE:", &Record::keywords}, {"LI:", &Record::library},
    };
    struct Number {
        const char* tag;
        int32_t Record::*field;
    };
    static constexpr Number kNumbers[] = {
        {"TR:", &Record::track},        {"WI:", &Record::width},       {"HE:", &Record::height},
        {"AA:", &Record::album_art},    {"CO:", &Record::compilation}, {"BI:", &Record::bitrate},
        {"AF:", &Record::audio_format}, {"PC:", &Record::play_count},  {"ID:", &Record::id},
    };
    if (tag_is("TI:")) {
        rec.title = value; // the last one counts
        return;
    }
    if (tag_is("CL:")) {
        if (!rec.upnp_class) {
            rec.upnp_class = db_class_from_text(value);
            // Only the four item classes are items.
            if (rec.upnp_class != kClassMusicTrack && rec.upnp_class != kClassBroadcast &&
                rec.upnp_class != kClassPhoto && rec.upnp_class != kClassMovie) {
                rec.upnp_class = nullptr;
            }
        }
        return;
    }
    if (tag_is("SI:")) {
        rec.size = parse_int64(value);
        return;
    }
    // Times are 64-bit: files dated before 1970 or after January 2038.
    if (tag_is("MT:")) {
        rec.mtime = time_of(value);
        return;
    }
    if (tag_is("PT:")) {
        rec.last_played = time_of(value);
        return;
    }
    for (const Text& t : kTexts) {
        if (tag_is(t.tag)) {
            if (!(rec.*t.field)) {
                rec.*t.field = value; // the first one counts
                rec.path_cut = rec.path_cut || (t.field == &Record::path && cut);
            }
            return;
        }
    }
    for (const Number& n : kNumbers) {
        if (tag_is(n.tag)) {
            rec.*n.field = int32_of(value);
            return;
        }
    }
}

const char* text_or_null(const std::optional<std::string>& s)
{
    return s ? s->c_str() : nullptr;
}

// Values of a file of an earlier format were Latin-1 (the path is not a
// value: it is the file system's bytes and names the file as it is).
void convert_from_latin1(Record& rec)
{
    for (std::optional<std::string> Record::*text :
         {&Record::title, &Record::artist, &Record::album, &Record::genre, &Record::date,
          &Record::duration, &Record::description, &Record::keywords}) {
        if (rec.*text) {
            rec.*text = utf8_from_latin1(*(rec.*text));
        }
    }
}

void add_record(const Record& rec)
{
    // The writer never writes such a line: a path cut short would name
    // another file, so the record is not added at all.
    if (rec.path_cut) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to add item: %s, path longer than %zu bytes\n",
                rec.title ? rec.title->c_str() : "NO TITLE AVAILABLE", kDbMaxPath);
        return;
    }
    DbItemFields f;
    f.title = text_or_null(rec.title);
    f.upnp_class = rec.upnp_class;
    f.artist = text_or_null(rec.artist);
    f.album = text_or_null(rec.album);
    f.genre = text_or_null(rec.genre);
    f.date = text_or_null(rec.date);
    f.path = text_or_null(rec.path);
    f.duration = text_or_null(rec.duration);
    f.description = text_or_null(rec.description);
    f.keywords = text_or_null(rec.keywords);
    f.library = text_or_null(rec.library);
    db_copy_file_numbers(f, rec);
    f.mtime = rec.mtime;
    f.last_played = rec.last_played;
    f.play_count = rec.play_count;
    f.id = rec.id > 0 && rec.id <= kPersistenceMaxKeptId ? rec.id : kNoNode;
    if (db_add_item(f) == DB_ADD_FAILED) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "failed to add item: %s,%s\n",
                rec.title ? rec.title->c_str() : "NO TITLE AVAILABLE",
                rec.path ? rec.path->c_str() : "");
    }
}

void append_line(std::string& out, const char* tag, const DbText& value)
{
    if (value) {
        out += tag;
        out += value.get();
        out += '\n';
    }
}

void append_number(std::string& out, const char* tag, int64_t value)
{
    if (value != 0) {
        out += tag;
        out += std::to_string(value);
        out += '\n';
    }
}

// Whether the value comes back whole from a line of at most limit bytes
// with its tag.
bool fits_line(const DbText& value, size_t limit)
{
    const std::string_view text = db_text_of(value);
    return text.size() + 3 <= limit && db_text_is_clean(text);
}

// Whether the reader gets the item back as it is. Values enter the tree
// clean (db_add_item), so this only guards against a value that got in some
// other way: written, a line break in it would start lines of its own.
bool item_writable(const DbItem* i)
{
    const DbText* texts[] = {&i->title, &i->artist,   &i->album,       &i->genre,
                             &i->date,  &i->duration, &i->description, &i->keywords};
    for (const DbText* t : texts) {
        if (!fits_line(*t, kPersistenceLineSize)) {
            return false;
        }
    }
    return fits_line(i->path, kPersistencePathLineSize);
}

void append_item(std::string& out, const DbItem* i)
{
    out += "<SOI>\n";
    append_number(out, "ID:", i->id);
    append_line(out, "TI:", i->title);
    out += "CL:";
    out += i->upnp_class;
    out += '\n';
    append_line(out, "AR:", i->artist);
    append_line(out, "AL:", i->album);
    append_line(out, "GE:", i->genre);
    append_line(out, "DA:", i->date);
    append_line(out, "RE:", i->path);
    append_line(out, "DU:", i->duration);
    append_line(out, "DE:", i->description);
    append_line(out, "KE:", i->keywords);
    append_number(out, "TR:", i->track);
    append_number(out, "WI:", i->width);
    append_number(out, "HE:", i->height);
    append_number(out, "AA:", i->album_art);
    append_number(out, "CO:", i->compilation);
    append_number(out, "BI:", i->bitrate);
    append_number(out, "AF:", i->audio_format);
    append_number(out, "SI:", i->size);
    append_number(out, "MT:", i->mtime);
    append_number(out, "PT:", i->last_played);
    append_number(out, "PC:", i->play_count);
    // The library the item came from, so that the first import after a
    // restart knows what that library added before. Readers of earlier
    // versions skip the tag, as they skip every tag they do not know. A name
    // that would not come back whole from one line is left out: the item is
    // then only not taken out by its library.
    if (i->library && i->library[0] != '\0' && strlen(i->library) + 3 <= kPersistenceLineSize &&
        db_text_is_clean(i->library)) {
        out += "LI:";
        out += i->library;
        out += '\n';
    }
    out += "<EOI>\n";
}

// Items of a container's subtree, depth-first against list order, so from
// the oldest to the newest (items of a nested container where the container
// stands); counts the items left out and keeps the highest id written.
void append_subtree(const DbLock& lock, std::string& out, const DbContainer* container,
                    int& refused, NodeId& highest)
{
    if (!container) {
        return;
    }
    std::vector<const DbNode*> work;
    for (const DbNode* n = db_first_child(lock, container); n; n = db_next_sibling(lock, n)) {
        work.push_back(n);
    }
    while (!work.empty()) {
        const DbNode* n = work.back();
        work.pop_back();
        if (n->kind == DB_ITEM) {
            const auto* item = static_cast<const DbItem*>(n);
            if (item_writable(item)) {
                append_item(out, item);
                highest = std::max(highest, item->id);
            } else {
                ++refused;
            }
        } else if (n->kind == DB_CONTAINER) {
            std::vector<const DbNode*> children;
            for (const DbNode* c = db_first_child(lock, static_cast<const DbContainer*>(n)); c;
                 c = db_next_sibling(lock, c)) {
                children.push_back(c);
            }
            work.insert(work.end(), children.begin(), children.end());
        }
    }
}

bool is_directory(const std::string& path)
{
    struct stat st {
    };
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// What the writer watches: grows with every change of the tree.
uint64_t change_count()
{
    const DbLock lock = db_lock();
    return g_db.change_count;
}

void reader_thread(ThreadFlag* flag, std::string path)
{
    log_msg(LOG_INFO, LOG_CAT_DB, "reading persistance DB!\n");
    PersistenceReader reader;
    reader.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (reader.fd < 0) {
        log_msg(LOG_ERROR, LOG_CAT_DB, "%s file not found!\n", path.c_str());
        *flag = 0;
        return;
    }
    persistence_read_records(reader, flag);
    close(reader.fd);
    *flag = 0;
    log_msg(LOG_INFO, LOG_CAT_DB, "read on persistance DB completed!\n");
}

// Sleeps ms in steps of 100 ms; false when a stop was requested meanwhile.
bool nap(const ThreadFlag& flag, int ms)
{
    for (int slept = 0; slept < ms; slept += 100) {
        if (flag != 1) {
            return false;
        }
        sleep_ms(std::min(100, ms - slept));
    }
    return flag == 1;
}

std::atomic<int> g_poll_ms{PersistenceTimes{}.poll_ms};
std::atomic<int> g_step_ms{PersistenceTimes{}.step_ms};
std::atomic<int> g_steps{PersistenceTimes{}.steps};

void writer_thread(ThreadFlag* flag, uint64_t written)
{
    while (*flag == 1) {
        if (!nap(*flag, g_poll_ms) || change_count() == written) {
            continue;
        }
        uint64_t seen = change_count();
        for (int quiet = 0; quiet < g_steps && *flag == 1;) {
            sleep_ms(g_step_ms);
            const uint64_t now = change_count();
            quiet = now == seen ? quiet + 1 : 0;
            seen = now;
        }
        if (*flag != 1) {
            break;
        }
        written = seen;
        const std::string path = setting_str(KEY_DBFILE);
        if (path.empty()) {
            continue;
        }
        if (is_directory(path)) {
            log_msg(LOG_PROBLEM, LOG_CAT_DB, "give a filename not a path for DB: %s\n",
                    path.c_str());
            break;
        }
        log_msg(LOG_INFO, LOG_CAT_DB, "writing DB\n");
        if (!persistence_write(path)) {
            log_msg(LOG_ERROR, LOG_CAT_DB, "could not open %s for writing\n", path.c_str());
        }
    }
    *flag = 0;
}

} // namespace

bool persistence_read_line(PersistenceReader& reader, std::string& line)
{
    while (read_raw_line(reader, line)) {
        if (line.empty() || line[0] != '#') {
            reader.past_header = true;
            return true;
        }
        if (reader.past_header) {
            continue;
        }
        const std::string_view comment(line);
        const std::string_view format_line(kPersistenceFormatLine);
        const std::string_view id_line(kPersistenceHighestIdLine);
        if (comment.starts_with(format_line)) {
            const int64_t format = parse_int64(line.c_str() + format_line.size());
            reader.format = static_cast<int>(std::clamp<int64_t>(format, 1, INT_MAX));
        } else if (comment.starts_with(id_line)) {
            reader.highest_id = int32_of(line.c_str() + id_line.size());
        }
    }
    return false;
}

int persistence_read_records(PersistenceReader& reader, const ThreadFlag* running)
{
    int records = 0;
    int stray = 0;
    bool cut = false;
    bool ids_reserved = false;
    std::string line;
    while ((!running || *running == 1) && persistence_read_line(reader, line)) {
        if (!is_line(line, "<SOI>")) {
            ++stray;
            continue;
        }
        // Containers made for the views while the file is read take ids
        // above every stored one, which then are all still free.
        if (!ids_reserved) {
            ids_reserved = true;
            if (reader.highest_id > 0 && reader.highest_id <= kPersistenceMaxKeptId) {
                const DbLock lock = db_lock();
                node_store_set_next_id(reader.highest_id + 1);
            }
        }
        Record rec;
        // A file cut inside a record still adds what was read of it.
        bool ended = false;
        while (persistence_read_line(reader, line)) {
            if (is_line(line, "<EOI>")) {
                ended = true;
                break;
            }
            take_line(rec, line, reader.line_cut);
        }
        cut = cut || !ended;
        if (reader.format < kPersistenceFormat) {
            convert_from_latin1(rec);
            // Read with an earlier version: Latin-1 tags, and track numbers
            // a playlist may have set. Older than any file, so that the next
            // scan reads the file again.
            rec.mtime = INT64_MIN;
        }
        add_record(rec);
        ++records;
    }
    if (stray > 0) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "persistence file: %d lines outside records skipped\n",
                stray);
    }
    if (cut) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "persistence file ends inside a record\n");
    }
    return records;
}

std::string persistence_text()
{
    std::string items;
    int refused = 0;
    NodeId highest = 0;
    {
        const DbLock lock = db_lock();
        append_subtree(lock, items, g_db.all_tracks, refused, highest);
        append_subtree(lock, items, g_db.all_pictures, refused, highest);
        append_subtree(lock, items, g_db.all_videos, refused, highest);
    }
    std::string out = kPersistenceFormatLine + std::to_string(kPersistenceFormat) + "\n" +
                      kPersistenceHighestIdLine + std::to_string(highest) + "\n";
    out += items;
    if (refused > 0) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB,
                "persistence file: %d items not written, a value holds a line break or is "
                "too long\n",
                refused);
    }
    return out;
}

bool persistence_write(const std::string& path)
{
    // The text is made under the lock, the file written without it, so that
    // requests do not wait for the disk.
    return file_replace(path, persistence_text());
}

void persistence_reader_start(ThreadFlag& flag)
{
    const std::string path = setting_str(KEY_DBFILE);
    struct stat st {
    };
    if (path.empty() || stat(path.c_str(), &st) != 0) {
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        log_msg(LOG_PROBLEM, LOG_CAT_DB, "give a filename not a path for DB: %s\n", path.c_str());
        return;
    }
    // The flag is raised before the thread runs, so that the scanner,
    // started right after, never misses that there is a file to wait for.
    if (flag == 1) {
        log_msg(LOG_INFO, LOG_CAT_DB, "read database thread overlapping, terminating one!\n");
        return;
    }
    ThreadFlag* f = &flag;
    start_worker(flag, [f, path] { reader_thread(f, path); });
}

void persistence_writer_start(ThreadFlag& flag)
{
    if (setting_str(KEY_DBFILE).empty()) {
        return;
    }
    // Changes from here on are written; what the tree holds now came from
    // the file (or is empty).
    const uint64_t baseline = change_count();
    ThreadFlag* f = &flag;
    start_worker(flag, [f, baseline] { writer_thread(f, baseline); });
}

void persistence_set_times(const PersistenceTimes& times)
{
    g_poll_ms = times.poll_ms;
    g_step_ms = times.step_ms;
    g_steps = times.steps;
}

void external_db_hook_start(ThreadFlag& flag)
{
    if (setting_str(KEY_EXTERNALDBFILE).empty()) {
        return;
    }
    ThreadFlag* f = &flag;
    start_worker(flag, [f] {
        // The integration step of a third-party database: nothing here.
        while (nap(*f, 5000)) {
        }
        *f = 0;
    });
}
