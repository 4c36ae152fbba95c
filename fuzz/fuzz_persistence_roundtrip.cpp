// Items built from arbitrary bytes go through the real persistence writer to
// a file and back through the real reader; the tree read back must hold the
// same items, none more and none changed, each under the object id it had.
// Values full of line breaks, record markers and broken UTF-8 are the point:
// no value may turn into lines of its own or come back cut or converted.
#include "core/settings.h"
#include "db/media_db.h"
#include "db/persistence.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace
{

// Reads the input as a sequence of small numbers and byte strings.
struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;

    bool done() const
    {
        return at >= size;
    }
    uint32_t number(int bytes)
    {
        uint32_t v = 0;
        for (int i = 0; i < bytes && at < size; ++i) {
            v = v << 8 | data[at++];
        }
        return v;
    }
    // Up to 1500 bytes, so that the bound on values is crossed too.
    std::string text()
    {
        const size_t wanted = number(2) % 1500;
        const size_t n = std::min(wanted, size - std::min(at, size));
        std::string s(reinterpret_cast<const char*>(data + at), n);
        at += n;
        return s;
    }
};

// What the persistence file keeps of an item.
using Snapshot = std::tuple<std::string, std::string, std::string, std::string, std::string,
                            std::string, std::string, std::string, std::string, std::string,
                            int64_t, std::vector<int64_t>, NodeId>;

std::string text_of(const DbText& t)
{
    // A null field is written as no line, an empty one as an empty line.
    return t ? "=" + std::string(t.get()) : "null";
}

std::vector<Snapshot> snapshot()
{
    std::vector<Snapshot> items;
    const DbLock lock = db_lock();
    const MediaDb& db = db_tree(lock);
    for (const DbContainer* all : {db.all_tracks, db.all_pictures, db.all_videos}) {
        for (DbNode* n = db_first_child(lock, all); n; n = db_next_sibling(lock, n)) {
            const DbItem* i = db_as_item(n);
            if (!i) {
                continue;
            }
            items.emplace_back(
                i->upnp_class, text_of(i->path), text_of(i->title), text_of(i->artist),
                text_of(i->album), text_of(i->genre), text_of(i->date), text_of(i->duration),
                text_of(i->description), text_of(i->keywords), i->size,
                std::vector<int64_t>{i->track, i->width, i->height, i->album_art, i->compilation,
                                     i->bitrate, i->mtime, i->last_played, i->play_count},
                i->id);
        }
    }
    std::sort(items.begin(), items.end());
    return items;
}

void add_items(Input& in)
{
    static const char* const kClasses[] = {
        "object.item.audioItem.musicTrack",
        "object.item.imageItem.photo",
        "object.item.videoItem.movie",
    };
    for (int count = 0; count < 8 && !in.done(); ++count) {
        const uint32_t present = in.number(2);
        std::string texts[10];
        for (int k = 0; k < 10; ++k) {
            if (present & (1u << k)) {
                texts[k] = in.text();
            }
        }
        auto field = [&](int k) { return present & (1u << k) ? texts[k].c_str() : nullptr; };
        // URLs: the reader does not look for files behind them.
        const std::string path = "http://h/" + in.text();
        DbItemFields f;
        f.upnp_class = kClasses[in.number(1) % 3];
        f.title = field(0);
        f.artist = field(1);
        f.album = field(2);
        f.genre = field(3);
        f.date = field(4);
        f.duration = field(5);
        f.description = field(6);
        f.keywords = field(7);
        f.playlist = field(8);
        f.path = path.c_str();
        f.track = static_cast<int32_t>(in.number(4));
        f.width = static_cast<int32_t>(in.number(2));
        f.height = static_cast<int32_t>(in.number(2));
        f.album_art = static_cast<int32_t>(in.number(4));
        f.compilation = static_cast<int32_t>(in.number(1));
        f.bitrate = static_cast<int32_t>(in.number(4));
        f.size = static_cast<int64_t>(in.number(4)) << 8 | in.number(1);
        // Times of the whole 64-bit range: before 1970, past 2038, and the
        // lowest value, which marks items to be read again.
        f.mtime = static_cast<int64_t>(static_cast<uint64_t>(in.number(4)) << 32 | in.number(4));
        f.last_played = static_cast<int32_t>(in.number(4));
        f.play_count = static_cast<int32_t>(in.number(2));
        db_add_item(f);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string file = [] {
        settings_apply_defaults();
        // Case adaptation of a value read back may differ from the first:
        // the file keeps what the tree holds, and that is what is compared.
        setting_set(KEY_ADAPTCASE, "0");
        return "/tmp/fuzz_persistence_roundtrip." + std::to_string(getpid()) + ".db";
    }();
    db_create();
    Input in{data, size};
    add_items(in);
    const std::vector<Snapshot> written = snapshot();
    if (!persistence_write(file)) {
        abort();
    }
    db_destroy();
    db_create();
    PersistenceReader reader;
    reader.fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (reader.fd < 0) {
        abort();
    }
    const int records = persistence_read_records(reader, nullptr);
    close(reader.fd);
    unlink(file.c_str());
    if (reader.format != kPersistenceFormat) {
        fprintf(stderr, "persistence round trip: the format line was not read back\n");
        abort();
    }
    const std::vector<Snapshot> read = snapshot();
    db_destroy();
    if (records != static_cast<int>(written.size()) || read != written) {
        fprintf(stderr, "persistence round trip: %zu items written, %d records, %zu read back\n",
                written.size(), records, read.size());
        abort();
    }
    return 0;
}
