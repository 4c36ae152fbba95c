#include "core/log.h"
#include "db/persistence.h"
#include "db_fixture.h"
#include "support/child_process.h"

#include <fstream>
#include <sys/stat.h>

namespace
{

using Persistence = DbTest;

PersistenceReader from_text(const std::string& text)
{
    PersistenceReader reader;
    reader.buffer = text;
    reader.end_of_file = true;
    return reader;
}

int read_text(const std::string& text)
{
    PersistenceReader reader = from_text(text);
    return persistence_read_records(reader, nullptr);
}

std::string read_log(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(PersistenceLines, LinesEndAtControlBytesAndAreCut)
{
    PersistenceReader reader =
        from_text("one\r\n\n\ttwo\x01three\n# comment\n" + std::string(1500, 'x') + "\nlast");
    std::vector<std::string> lines;
    std::string line;
    while (persistence_read_line(reader, line)) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "one");
    EXPECT_EQ(lines[1], "two");
    EXPECT_EQ(lines[2], "three");
    EXPECT_EQ(lines[3], std::string(1024, 'x')) << "a long line is cut after 1024 bytes";
    EXPECT_EQ(lines[4], std::string(476, 'x')) << "and the rest is the next line";
    EXPECT_EQ(lines[5], "last");
}

TEST(PersistenceLines, PathLinesMayBeLongerThanOthers)
{
    const std::string path(3000, 'p');
    PersistenceReader reader = from_text("re:" + path + "\nRE:" + std::string(5000, 'q') + "\n");
    std::string line;
    ASSERT_TRUE(persistence_read_line(reader, line));
    EXPECT_EQ(line, "re:" + path);
    EXPECT_FALSE(reader.line_cut);
    ASSERT_TRUE(persistence_read_line(reader, line));
    EXPECT_EQ(line.size(), kPersistencePathLineSize);
    EXPECT_TRUE(reader.line_cut);
    ASSERT_TRUE(persistence_read_line(reader, line));
    EXPECT_EQ(line.size(), 5003 - kPersistencePathLineSize) << "the rest is the next line";
}

TEST_F(Persistence, RecordsAsTheirTagsSay)
{
    db_create();
    const std::string a = file("Only Path.mp3");
    const std::string b = file("b.mp3");
    const std::string c = file("c.mp3");
    const std::string text = "junk before\n"
                             "<SOI>\nRE:" +
                             a +
                             "\nCL:object.item.audioItem.musicTrack\n<EOI>\n"
                             "<soi>\ncl:object.item.audioItem.musicTrack\nre:" +
                             b +
                             "\nti:First\nTI:Second\nAR:One\nAR:Two\nSI:3000000000\nTR:4\nTR:5\n"
                             "TI:Cut\there\nLI:/m/lib.xml\nZZ:a tag of a later version\n<eoi>\n"
                             "<SOI>\nCL:object.container\nRE:" +
                             c + "\n<EOI>\n";
    EXPECT_EQ(read_text(text), 3);
    const DbLock lock = db_lock();
    const DbItem* only = item_by_path(lock, a);
    ASSERT_TRUE(only);
    EXPECT_STREQ(only->title.get(), "Only Path") << "titled from the file name";
    const DbItem* second = item_by_path(lock, b);
    ASSERT_TRUE(second) << "tags and markers ignore case";
    EXPECT_STREQ(second->title.get(), "Cut") << "the last title counts, cut at the tab";
    EXPECT_STREQ(second->artist.get(), "One") << "the first artist counts";
    EXPECT_EQ(second->size, 3000000000LL);
    EXPECT_EQ(second->track, 5);
    EXPECT_STREQ(second->library, "/m/lib.xml");
    EXPECT_EQ(second->library, db_library_name("/m/lib.xml")) << "one copy per library";
    EXPECT_FALSE(only->library);
    EXPECT_FALSE(item_by_path(lock, c)) << "a container class is no item";
}

TEST_F(Persistence, HostileFilesAreSkippedNotFatal)
{
    db_create();
    const std::string a = file("a.mp3");
    std::string junk;
    for (int i = 0; i < 200000; ++i) {
        junk += static_cast<char>(i * 7919 % 256);
    }
    // Binary junk, a record a megabyte long, and a file cut inside a record.
    const std::string text = junk + "\n<SOI>\nTI:" + std::string(1000000, 'y') + "\n<EOI>\n" +
                             "<SOI>\nCL:object.item.audioItem.musicTrack\nRE:" + a + "\nTI:Cut";
    read_text(text);
    const DbLock lock = db_lock();
    const DbItem* cut = item_by_path(lock, a);
    ASSERT_TRUE(cut) << "the last record counts with what was read";
    EXPECT_STREQ(cut->title.get(), "Cut");
    EXPECT_EQ(db_check_consistency(lock), "");
}

TEST_F(Persistence, WrittenFileReadsBackTheSameItems)
{
    db_create();
    const std::string a = file("x/a.mp3");
    const std::string b = file("y/b.mp3");
    add_music(a, "Alpha", "Abba", "Gold", 2, 100);
    add_music(b, "Beta", "Bono", "Red", 0, 200);
    {
        // What the reader learnt of the coding survives a restart, so that
        // the DLNA profile does not need the file read again.
        const DbLock lock = db_lock();
        const_cast<DbItem*>(item_by_path(lock, a))->audio_format = kAudioFormatAacLc;
        // And the library it came from, so that its next import can take it out.
        const_cast<DbItem*>(item_by_path(lock, b))->library = db_library_name("/m/lib.xml");
    }
    const std::string db = dir.file("library.db");
    ASSERT_TRUE(persistence_write(db));
    const std::string text = read_log(db);
    NodeId b_id;
    {
        const DbLock lock = db_lock();
        b_id = item_by_path(lock, b)->id;
    }
    EXPECT_EQ(text.rfind(std::string(kPersistenceFormatLine) + "2\n", 0), 0u) << text;
    const size_t beta =
        text.find("<SOI>\nID:" + std::to_string(b_id) +
                  "\nTI:Beta\nCL:object.item.audioItem.musicTrack\nAR:Bono\nAL:Red\n"
                  "GE:Rock\nDA:2001-02-03\nRE:" +
                  b +
                  "\nDU:0:03:00.000\nBI:128000\nMT:200\nLI:/m/lib.xml\n"
                  "<EOI>\n");
    ASSERT_NE(beta, std::string::npos) << text;
    EXPECT_LT(text.find("TI:Alpha"), beta) << "the oldest item comes first";
    db_destroy();
    db_create();
    EXPECT_EQ(read_text(text), 2);
    const DbLock lock = db_lock();
    ASSERT_TRUE(item_by_path(lock, a));
    EXPECT_EQ(item_by_path(lock, a)->track, 2);
    EXPECT_EQ(item_by_path(lock, b)->mtime, 200);
    EXPECT_EQ(item_by_path(lock, a)->audio_format, kAudioFormatAacLc);
    EXPECT_EQ(item_by_path(lock, b)->audio_format, kAudioFormatUnknown);
    EXPECT_STREQ(item_by_path(lock, b)->library, "/m/lib.xml");
    EXPECT_FALSE(item_by_path(lock, a)->library);
    EXPECT_FALSE(std::filesystem::exists(db + ".tmp"));
}

// What the reader makes of the file the writer wrote: the tree is built anew
// from it alone.
int write_and_read_back(const std::string& db)
{
    EXPECT_TRUE(persistence_write(db));
    const std::string text = read_log(db);
    db_destroy();
    db_create();
    return read_text(text);
}

// A path of exactly length bytes below root, made of directories short
// enough for the file system, with the file itself created.
std::string make_long_path(const std::string& root, size_t length)
{
    std::string path = root;
    while (path.size() + 1 < length) {
        const size_t left = length - path.size() - 1;
        // Never leave a "/" without a name after it.
        const size_t part = left <= 200 ? left : left - 201 >= 1 ? 200 : 100;
        if (part == left) {
            std::filesystem::create_directories(path);
        }
        path += "/" + std::string(part, part == left ? 'f' : 'd');
    }
    write_text_file(path, "x");
    return path;
}

// Object ids survive a restart, so that links players saved ("disk/<id>")
// still name the same file.
TEST_F(Persistence, ObjectIdsSurviveARestart)
{
    db_create();
    std::vector<std::pair<std::string, NodeId>> ids;
    for (const char* name : {"a.mp3", "b.mp3", "sub/c.mp3"}) {
        ASSERT_EQ(add_music(file(name), name, name, "Album"), DB_ADDED);
    }
    DbItemFields photo;
    const std::string jpg = file("p.jpg");
    photo.upnp_class = kClassPhoto;
    photo.path = jpg.c_str();
    photo.date = "2020-01-01";
    ASSERT_EQ(db_add_item(photo), DB_ADDED);
    {
        const DbLock lock = db_lock();
        db_for_each_item(lock, [&](DbItem* i) { ids.emplace_back(i->path.get(), i->id); });
    }
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(write_and_read_back(dir.file("library.db")), 4);
    {
        const DbLock lock = db_lock();
        EXPECT_EQ(db_check_consistency(lock), "");
    }
    for (const auto& [path, id] : ids) {
        const std::optional<DbLocation> location = db_item_location(std::to_string(id).c_str());
        ASSERT_TRUE(location) << path;
        EXPECT_EQ(location->path, path);
    }
    // Ids issued later continue above the stored ones.
    const std::string d = file("d.mp3");
    ASSERT_EQ(add_music(d, "D", "D", "D"), DB_ADDED);
    const DbLock lock = db_lock();
    for (const auto& [path, id] : ids) {
        EXPECT_GT(item_by_path(lock, d)->id, id);
    }
}

// In a real restart the ids start low again: the containers the views make
// while the file is read must not take the ids of items still to come, and an
// id that is taken or out of order is replaced rather than breaking the tree.
TEST_F(Persistence, StoredIdsAreReservedAndCheckedWhenRead)
{
    db_create();
    const NodeId base = node_store_next_id() + 100;
    std::string text = std::string(kPersistenceFormatLine) + "2\n" + kPersistenceHighestIdLine +
                       std::to_string(base + 3) + "\n";
    std::vector<std::string> paths;
    for (int i = 0; i < 4; ++i) {
        paths.push_back(file("r" + std::to_string(i) + ".mp3"));
        // Artists of their own: each record makes new view containers.
        text += "<SOI>\nID:" + std::to_string(base + i) + "\nCL:" + kClassMusicTrack +
                "\nAR:Artist " + std::to_string(i) + "\nRE:" + paths.back() + "\nMT:5\n<EOI>\n";
    }
    const std::string late = file("late.mp3");
    const std::string taken = file("taken.mp3");
    NodeId root_of_music;
    {
        const DbLock lock = db_lock();
        root_of_music = g_db.music_root->id;
    }
    // Lower than an item before it, and the id of a container.
    text += "<SOI>\nID:" + std::to_string(base) + "\nCL:" + kClassMusicTrack + "\nRE:" + late +
            "\n<EOI>\n<SOI>\nID:" + std::to_string(root_of_music) + "\nCL:" + kClassMusicTrack +
            "\nRE:" + taken + "\n<EOI>\n";
    EXPECT_EQ(read_text(text), 6);
    const DbLock lock = db_lock();
    EXPECT_EQ(db_check_consistency(lock), "");
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(item_by_path(lock, paths[i]));
        EXPECT_EQ(item_by_path(lock, paths[i])->id, base + i);
        EXPECT_EQ(item_by_path(lock, paths[i])->mtime, 5) << "a current file is not read again";
    }
    ASSERT_TRUE(item_by_path(lock, late));
    EXPECT_GT(item_by_path(lock, late)->id, base + 3);
    ASSERT_TRUE(item_by_path(lock, taken));
    EXPECT_NE(item_by_path(lock, taken)->id, root_of_music);
    EXPECT_EQ(g_db.music_root->id, root_of_music);
}

// A file of an earlier version holds Latin-1 values and possibly wrong
// track numbers: its text is converted (never its paths, which name files)
// and its items are read again by the next scan, keeping id and play count.
TEST_F(Persistence, LegacyFileIsConvertedAndReadAgain)
{
    db_create();
    const std::string path = file("caf\xE9.mp3"); // a file name in Latin-1 bytes
    const std::string text = std::string("<SOI>\nTI:Caf\xE9\nCL:") + kClassMusicTrack +
                             "\nAR:Bj\xF6rk\nRE:" + path + "\nTR:17\nMT:100\nPC:7\n<EOI>\n";
    EXPECT_EQ(read_text(text), 1);
    NodeId id;
    {
        const DbLock lock = db_lock();
        const DbItem* item = item_by_path(lock, path);
        ASSERT_TRUE(item) << "the path is taken as it is";
        EXPECT_STREQ(item->title.get(), "Caf\xC3\xA9");
        EXPECT_STREQ(item->artist.get(), "Bj\xC3\xB6rk");
        id = item->id;
    }
    EXPECT_EQ(db_needs_update_since(path.c_str(), INT64_MIN + 2, -1, nullptr), 1)
        << "any other time is a change";
    EXPECT_EQ(db_needs_update_since(path.c_str(), -2000000000, -1, nullptr), 1);
    // The scan reads the file: its own track number, the same object.
    ASSERT_EQ(add_music(path, "Caf\xC3\xA9", "Bj\xC3\xB6rk", "Post", 3, 100), DB_ADDED);
    {
        const DbLock lock = db_lock();
        const DbItem* item = item_by_path(lock, path);
        EXPECT_EQ(item->id, id);
        EXPECT_EQ(item->track, 3);
        EXPECT_EQ(item->play_count, 7);
        EXPECT_EQ(item->mtime, 100);
    }
    // Written again in the new format, nothing is converted twice and
    // nothing needs reading.
    EXPECT_EQ(write_and_read_back(dir.file("library.db")), 1);
    const DbLock lock = db_lock();
    const DbItem* item = item_by_path(lock, path);
    ASSERT_TRUE(item);
    EXPECT_STREQ(item->title.get(), "Caf\xC3\xA9");
    EXPECT_EQ(item->mtime, 100);
    EXPECT_EQ(item->id, id);
}

// A line of a UTF-8 file is cut before a character that would not fit
// whole; in a file of an earlier version every byte is a character.
TEST(PersistenceLines, CutKeepsCharactersOfUtf8FilesWhole)
{
    const std::string long_line = "TI:" + std::string(1020, 'a') + "\xC3\xA9" + "end";
    for (const bool utf8 : {true, false}) {
        PersistenceReader reader = from_text(
            (utf8 ? std::string(kPersistenceFormatLine) + "2\n" : std::string()) + long_line);
        std::string first;
        std::string rest;
        ASSERT_TRUE(persistence_read_line(reader, first));
        EXPECT_TRUE(reader.line_cut);
        ASSERT_TRUE(persistence_read_line(reader, rest));
        EXPECT_EQ(first + rest, long_line) << "nothing is lost at the cut";
        EXPECT_EQ(first.size(), utf8 ? 1023u : 1024u);
    }
}

// Times are 64-bit: files dated before 1970 and after January 2038.
TEST_F(Persistence, TimesOutsideThe32BitRangeRoundTrip)
{
    db_create();
    const std::string path = file("old.mp3");
    DbItemFields f;
    f.upnp_class = kClassMusicTrack;
    f.path = path.c_str();
    f.mtime = -315619200;         // 1960
    f.last_played = 4102444800LL; // 2100
    ASSERT_EQ(db_add_item(f), DB_ADDED);
    EXPECT_EQ(write_and_read_back(dir.file("library.db")), 1);
    const DbLock lock = db_lock();
    ASSERT_TRUE(item_by_path(lock, path));
    EXPECT_EQ(item_by_path(lock, path)->mtime, -315619200);
    EXPECT_EQ(item_by_path(lock, path)->last_played, 4102444800LL);
}

// A tag that holds record lines of the file stays a tag: after a restart the
// item is still the scanned file, never /etc/passwd.
TEST_F(Persistence, RecordLinesInATagStayInTheTag)
{
    db_create();
    const std::string mp3 = file("evil.mp3");
    ASSERT_EQ(add_music(mp3, "Evil\nRE:/etc/passwd", "A\n<EOI>\n<SOI>", "B"), DB_ADDED);
    EXPECT_EQ(write_and_read_back(dir.file("library.db")), 1);
    EXPECT_EQ(db_stats().items, 1);
    const DbLock lock = db_lock();
    const DbItem* item = item_by_path(lock, mp3);
    ASSERT_TRUE(item) << "the real file";
    EXPECT_EQ(std::string(item->title.get()).find('\n'), std::string::npos);
    EXPECT_FALSE(item_by_path(lock, "/etc/passwd"));
}

TEST_F(Persistence, UpdateObjectValueCannotAddARecord)
{
    db_create();
    const std::string mp3 = file("song.mp3");
    ASSERT_EQ(add_music(mp3, "Song", "A", "B"), DB_ADDED);
    std::string id;
    {
        const DbLock lock = db_lock();
        id = std::to_string(item_by_path(lock, mp3)->id);
    }
    ASSERT_EQ(db_update_property(id.c_str(), "title", "Song",
                                 "x\n<EOI>\n<SOI>\nRE:/etc/shadow\n"
                                 "CL:object.item.audioItem.musicTrack\nTI:Shadow"),
              200);
    EXPECT_EQ(write_and_read_back(dir.file("library.db")), 1);
    EXPECT_EQ(db_stats().items, 1);
    const DbLock lock = db_lock();
    ASSERT_TRUE(item_by_path(lock, mp3));
    EXPECT_FALSE(item_by_path(lock, "/etc/shadow"));
}

// Values enter the tree clean; should one not, the writer leaves its item
// out rather than write its line break.
TEST_F(Persistence, WriterLeavesOutItemsThatWouldNotReadBack)
{
    db_create();
    const std::string good = file("good.mp3");
    const std::string bad = file("bad.mp3");
    const std::string long_text = file("long.mp3");
    ASSERT_EQ(add_music(good, "Good", "A", "B"), DB_ADDED);
    ASSERT_EQ(add_music(bad, "Bad", "A", "B"), DB_ADDED);
    ASSERT_EQ(add_music(long_text, "Long", "A", "B"), DB_ADDED);
    {
        const DbLock lock = db_lock();
        item_by_path(lock, bad)->description = DbText("x\nRE:/etc/passwd");
        item_by_path(lock, long_text)->album = DbText(std::string(kPersistenceLineSize, 'a'));
    }
    const std::string text = persistence_text();
    EXPECT_EQ(text.find("/etc/passwd"), std::string::npos);
    EXPECT_EQ(text.find("Bad"), std::string::npos) << "the whole record is left out";
    EXPECT_EQ(text.find("Long"), std::string::npos);
    EXPECT_NE(text.find("TI:Good\n"), std::string::npos);
    EXPECT_EQ(count_occurrences(text, "<SOI>"), 1);
}

// Paths may be longer than other lines; a written path comes back whole.
TEST_F(Persistence, LongPathsReadBackWhole)
{
    db_create();
    const std::string path = make_long_path(dir.path, 2000);
    ASSERT_EQ(path.size(), 2000u);
    ASSERT_EQ(add_music(path, "Deep", "A", "B"), DB_ADDED);
    EXPECT_EQ(write_and_read_back(dir.file("library.db")), 1);
    EXPECT_EQ(db_stats().items, 1);
    const DbLock lock = db_lock();
    ASSERT_TRUE(item_by_path(lock, path));
    EXPECT_STREQ(item_by_path(lock, path)->title.get(), "Deep");
}

// A path line longer than any path (only a hand-edited file has one) is not
// taken cut: the cut path would name another file, here an existing one.
TEST_F(Persistence, OverlongPathLineAddsNoItem)
{
    db_create();
    const std::string existing = make_long_path(dir.path, kDbMaxPath);
    ASSERT_EQ(existing.size(), kDbMaxPath);
    const std::string text =
        "<SOI>\nCL:object.item.audioItem.musicTrack\nRE:" + existing + "/more.mp3\nTI:T\n<EOI>\n";
    EXPECT_EQ(read_text(text), 1);
    EXPECT_EQ(db_stats().items, 0);
    const DbLock lock = db_lock();
    EXPECT_FALSE(item_by_path(lock, existing));
}

TEST_F(Persistence, DirectoryAsFileIsRefusedByBothThreads)
{
    const std::string log = dir.file("log.txt");
    log_open_file(log.c_str());
    setting_set(KEY_DBFILE, dir.path);
    db_create();
    ThreadFlag reader{0};
    ThreadFlag writer{0};
    persistence_reader_start(reader);
    persistence_writer_start(writer);
    ASSERT_EQ(add_music(file("z.mp3"), "Z", "Zed", "Zz"), DB_ADDED);
    ASSERT_TRUE(wait_until([&] { return writer == 0; }, std::chrono::seconds(15)));
    log_close();
    EXPECT_EQ(reader, 0);
    EXPECT_EQ(count_occurrences(read_log(log), "give a filename not a path for DB: " + dir.path),
              2);
}

// A burst of adds gives one write, a quiet period after the last (five
// seconds in the server, shortened here).
TEST_F(Persistence, BurstOfAddsGivesOneWrite)
{
    const std::string log = dir.file("log.txt");
    const std::string db = dir.file("library.db");
    setting_set(KEY_DBFILE, db);
    setting_set(KEY_V, "4"); // database information lines
    log_open_file(log.c_str());
    db_create();
    persistence_set_times({20, 10, 30}); // quiet for 300 ms
    ThreadFlag writer{0};
    persistence_writer_start(writer);
    for (int i = 0; i < 20; ++i) {
        add_music(file("burst/" + std::to_string(i) + ".mp3"), "T", "A", "B");
        sleep_ms(5);
    }
    const auto last_add = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(db); }, std::chrono::seconds(10)));
    const auto written = std::chrono::steady_clock::now();
    EXPECT_GT(written - last_add, std::chrono::milliseconds(250));
    sleep_ms(300);
    thread_request_stop(writer);
    ASSERT_TRUE(wait_until([&] { return writer == 0; }, std::chrono::seconds(5)));
    persistence_set_times({});
    log_close();
    EXPECT_EQ(count_occurrences(read_log(log), "writing DB"), 1);
    EXPECT_EQ(count_occurrences(read_log(db), "<SOI>"), 20);
}

} // namespace
