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
                             "TI:Cut\there\n<eoi>\n"
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
    const std::string db = dir.file("library.db");
    ASSERT_TRUE(persistence_write(db));
    const std::string text = read_log(db);
    EXPECT_EQ(text.rfind("<SOI>\nTI:Beta\nCL:object.item.audioItem.musicTrack\nAR:Bono\nAL:Red\n"
                         "GE:Rock\nDA:2001-02-03\nRE:" +
                             b +
                             "\nDU:0:03:00.000\nBI:128000\nMT:200\n"
                             "<EOI>\n",
                         0),
              0u)
        << text;
    db_destroy();
    db_create();
    EXPECT_EQ(read_text(text), 2);
    const DbLock lock = db_lock();
    ASSERT_TRUE(item_by_path(lock, a));
    EXPECT_EQ(item_by_path(lock, a)->track, 2);
    EXPECT_EQ(item_by_path(lock, b)->mtime, 200);
    EXPECT_FALSE(std::filesystem::exists(db + ".tmp"));
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

// A burst of adds gives one write, about five seconds after the last.
TEST_F(Persistence, BurstOfAddsGivesOneWrite)
{
    const std::string log = dir.file("log.txt");
    const std::string db = dir.file("library.db");
    setting_set(KEY_DBFILE, db);
    setting_set(KEY_V, "4"); // database information lines
    log_open_file(log.c_str());
    db_create();
    ThreadFlag writer{0};
    persistence_writer_start(writer);
    for (int i = 0; i < 20; ++i) {
        add_music(file("burst/" + std::to_string(i) + ".mp3"), "T", "A", "B");
        sleep_ms(50);
    }
    const auto last_add = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(db); }, std::chrono::seconds(10)));
    const auto written = std::chrono::steady_clock::now();
    EXPECT_GT(written - last_add, std::chrono::milliseconds(4500));
    sleep_ms(1500);
    thread_request_stop(writer);
    ASSERT_TRUE(wait_until([&] { return writer == 0; }, std::chrono::seconds(5)));
    log_close();
    EXPECT_EQ(count_occurrences(read_log(log), "writing DB"), 1);
    EXPECT_EQ(count_occurrences(read_log(db), "<SOI>"), 20);
}

} // namespace
