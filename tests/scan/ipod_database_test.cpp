#include "db/db_fixture.h"
#include "scan/ipod_database.h"

#include <filesystem>
#include <unistd.h>

namespace
{

std::string le32(uint32_t v)
{
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}

// A header rest of n bytes with 32-bit fields at record offsets.
std::string header_rest(size_t n, std::initializer_list<std::pair<size_t, uint32_t>> fields)
{
    std::string rest(n, '\0');
    for (const auto& [offset, value] : fields) {
        rest.replace(offset - 12, 4, le32(value));
    }
    return rest;
}

// A record as the players write it: tag, header length, total length (or
// the count, for the lists), the rest of the header, the children.
std::string record(const char* tag, const std::string& rest, const std::string& children = "",
                   std::optional<uint32_t> count = std::nullopt)
{
    const uint32_t header = static_cast<uint32_t>(12 + rest.size());
    return std::string(tag, 4) + le32(header) +
           le32(count ? *count : header + static_cast<uint32_t>(children.size())) + rest + children;
}

std::string utf16le(std::u16string_view text)
{
    std::string out;
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

std::string mhod(uint32_t type, std::u16string_view text)
{
    const std::string s = utf16le(text);
    return record("mhod", header_rest(12, {{12, type}}),
                  le32(1) + le32(static_cast<uint32_t>(s.size())) + le32(0) + le32(0) + s);
}

std::string mhit(uint32_t id, uint32_t track, const std::string& texts, uint32_t text_count)
{
    return record("mhit", header_rest(144, {{12, text_count}, {16, id}, {40, 2000}, {44, track}}),
                  texts);
}

std::string mhyp(std::u16string_view name, const std::vector<uint32_t>& songs)
{
    std::string children = mhod(1, name);
    for (uint32_t id : songs) {
        children += record("mhip", header_rest(64, {{24, id}}));
    }
    return record("mhyp", header_rest(96, {{12, 1}, {16, static_cast<uint32_t>(songs.size())}}),
                  children);
}

std::string mhsd(uint32_t type, const std::string& children)
{
    return record("mhsd", header_rest(84, {{12, type}}), children);
}

std::string database(const std::string& songs, uint32_t song_count, const std::string& lists,
                     uint32_t list_count)
{
    const std::string body = mhsd(1, record("mhlt", header_rest(80, {}), songs, song_count)) +
                             mhsd(2, record("mhlp", header_rest(80, {}), lists, list_count));
    const std::string rest = header_rest(232, {});
    return "mhbd" + le32(244) + le32(static_cast<uint32_t>(244 + body.size())) + rest + body;
}

class IpodImport : public DbTest
{
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        setting_set(KEY_ADAPTCASE, "0");
        // The player's songs lie in no content directory: they are the
        // player's alone, and leave with it.
        setting_set(KEY_CONTENTDIR, "M|" + dir.file("content"));
        db_create();
        db_path = dir.file("ipod/iPod_Control/iTunes/iTunesDB");
        std::filesystem::create_directories(dir.file("ipod/iPod_Control/iTunes"));
        for (const char* name : {"F00/AAAA.mp3", "F01/ABCD.mp3", "F02/CCCC.mp3"}) {
            file(std::string("ipod/iPod_Control/Music/") + name);
        }
    }

    std::string song(uint32_t id, std::u16string_view title, const char* folder_file)
    {
        std::u16string location = u":iPod_Control:Music:";
        for (const char* p = folder_file; *p; ++p) {
            location += static_cast<char16_t>(*p == '/' ? ':' : *p);
        }
        return mhit(id, id, mhod(1, title) + mhod(2, location) + mhod(4, u"Ärzte"), 3);
    }

    // Three songs, the master list and "Road" with the songs 30, 10, 20.
    std::string good()
    {
        return database(song(10, u"f\u00fcr", "F00/AAAA.mp3") +
                            song(20, u"\u4e2d\u6587 \U0001F319", "F01/ABCD.mp3") +
                            song(30, u"bad \xD800 half", "F02/CCCC.mp3"),
                        3, mhyp(u"iPod", {10, 20, 30}) + mhyp(u"Road", {30, 10, 20}), 2);
    }

    // The import of bytes as the database, with what it wrote to stderr.
    std::pair<bool, std::string> import(const std::string& bytes)
    {
        write_text_file(db_path, bytes);
        testing::internal::CaptureStderr();
        const bool ok = ipod_import(db_path);
        return {ok, testing::internal::GetCapturedStderr()};
    }

    std::vector<std::pair<int, std::string>> road()
    {
        const DbLock lock = db_lock();
        std::vector<std::pair<int, std::string>> out;
        const DbContainer* c = db_find_child(lock, g_db.playlists, "Road");
        for (DbNode* n = c ? db_first_child(lock, c) : nullptr; n; n = db_next_sibling(lock, n)) {
            out.emplace_back(db_as_reference(n)->order, db_text_of(db_target_item(lock, n)->path));
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    std::string music_path(const char* name)
    {
        return dir.file(std::string("ipod/iPod_Control/Music/") + name);
    }

    std::string db_path;
};

TEST(IpodPaths, LocationsPointIntoTheMusicFolder)
{
    const std::string db = "/media/ipod/iPod_Control/iTunes/iTunesDB";
    EXPECT_EQ(ipod_music_folder(db), "/media/ipod/iPod_Control/Music/");
    EXPECT_EQ(ipod_song_path(db, ":iPod_Control:Music:F01:ABCD.mp3"),
              "/media/ipod/iPod_Control/Music/F01/ABCD.mp3");
    EXPECT_EQ(ipod_song_path(db, ":iPod_Control:Other:x.mp3"),
              "/media/ipod/iPod_Control/Other/x.mp3");
    EXPECT_EQ(ipod_song_path(db, "/elsewhere/x.mp3"), "/elsewhere/x.mp3");
    EXPECT_EQ(ipod_song_path("iTunesDB", ":iPod_Control:Music:F00:A.mp3"), "Music/F00/A.mp3");
}

TEST_F(IpodImport, SongsAndThePlaylistAfterTheMasterList)
{
    const auto [ok, errors] = import(good());
    ASSERT_TRUE(ok) << errors;
    EXPECT_EQ(errors, "");
    {
        const DbLock lock = db_lock();
        std::vector<std::string> got = titles(lock, g_db.all_tracks);
        std::sort(got.begin(), got.end());
        // UTF-16 becomes UTF-8: accents, CJK, a surrogate pair; a lone
        // surrogate becomes the replacement character.
        EXPECT_EQ(got, (std::vector<std::string>{"bad \xEF\xBF\xBD half", "für", "中文 🌙"}));
        const DbItem* item = item_by_path(lock, music_path("F01/ABCD.mp3"));
        ASSERT_TRUE(item);
        EXPECT_STREQ(item->artist.get(), "Ärzte");
        EXPECT_EQ(item->track, 20);
        EXPECT_FALSE(db_find_child(lock, g_db.playlists, "iPod"));
    }
    const std::vector<std::pair<int, std::string>> want{{1, music_path("F02/CCCC.mp3")},
                                                        {2, music_path("F00/AAAA.mp3")},
                                                        {3, music_path("F01/ABCD.mp3")}};
    EXPECT_EQ(road(), want);
    // Read again: nothing doubled. Then a song leaves the player.
    const int64_t items = db_stats().items;
    ASSERT_TRUE(import(good()).first);
    EXPECT_EQ(db_stats().items, items);
    EXPECT_EQ(road(), want);
    ASSERT_TRUE(
        import(database(song(10, u"für", "F00/AAAA.mp3"), 1, mhyp(u"iPod", {10}), 1)).first);
    EXPECT_EQ(db_stats().items, 1);
    EXPECT_TRUE(road().empty());
}

TEST_F(IpodImport, DamagedDatabasesEndThePassWithTheirMessage)
{
    const std::string whole = good();
    const size_t first_song = whole.find("mhit");
    const size_t second_song = whole.find("mhit", first_song + 4);
    const size_t first_text = whole.find("mhod");
    const size_t lists = whole.find("mhsd", whole.find("mhsd") + 4);
    auto patched = [&](size_t at, uint32_t value) {
        std::string bytes = whole;
        bytes.replace(at, 4, le32(value));
        return bytes;
    };
    const struct {
        const char* what;
        std::string bytes;
        const char* message;
    } cases[] = {
        {"unknown tag", std::string(whole).replace(lists, 4, "abcd"),
         "error: unknown record type: 64636261, abcd\n"},
        {"unknown song tag", std::string(whole).replace(second_song, 4, "abcd"),
         "error: invalid song header type: 1684234849\n"},
        {"header past the record", patched(second_song + 4, 5000), "header length 5000"},
        {"header too large", patched(second_song + 4, 0x200000),
         "error: record size too large: 2097152\n"},
        {"total past the record", patched(first_text + 8, 0x7FFFFFF0), "total length"},
        {"text past its record", patched(first_text + 28, 1000), "text length 1000"},
        {"song count", patched(whole.find("mhlt") + 8, 0x40000000), "count 1073741824"},
        {"short song header", patched(second_song + 4, 100), "error: song size to small\n"},
        {"no database record", whole.substr(whole.find("mhsd")), "does not begin with mhbd"},
        {"no song list", "mhbd" + le32(244) + le32(244) + header_rest(232, {}), "no song list"},
    };
    for (const auto& c : cases) {
        db_destroy();
        db_create();
        const auto [ok, errors] = import(c.bytes);
        EXPECT_FALSE(ok) << c.what;
        EXPECT_NE(errors.find(c.message), std::string::npos) << c.what << ": " << errors;
    }
    // A damaged database changes nothing: the previous import stays as it
    // was, and the next good one is imported as usual.
    ASSERT_TRUE(
        import(database(song(10, u"für", "F00/AAAA.mp3"), 1, mhyp(u"iPod", {10}), 1)).first);
    // Nor does an empty file, as a writer leaves it between truncating and
    // writing: it is no player that lost its songs.
    for (const std::string& bytes : {std::string(whole).replace(second_song, 4, "abcd"),
                                     std::string(whole).replace(lists, 4, "abcd"), std::string()}) {
        ASSERT_FALSE(import(bytes).first);
        EXPECT_EQ(db_stats().items, 1);
        EXPECT_TRUE(road().empty());
    }
    ASSERT_TRUE(import(whole).first);
    EXPECT_EQ(db_stats().items, 3);
    EXPECT_EQ(road().size(), 3u);
    // A database path that names no regular file is not read.
    EXPECT_FALSE(ipod_import("/dev/zero"));
    // Every cut of the file ends the pass with a message, before the end.
    for (size_t n = 0; n < whole.size(); n += 7) {
        const auto [ok, errors] = import(whole.substr(0, n));
        EXPECT_FALSE(ok) << "cut at " << n;
        EXPECT_FALSE(errors.empty()) << "cut at " << n;
    }
}

// Songs only from the player's music folder (or a content directory), links
// followed; what the database named before a restart is known after it.
TEST_F(IpodImport, SongsOutsideTheMusicFolderAndSongsRemovedWhileStopped)
{
    setting_set(KEY_CONTENTDIR, "M|" + dir.file("content"));
    const std::string outside = file("outside.mp3");
    ASSERT_EQ(symlink("/etc/passwd", music_path("F01/LINK.mp3").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), music_path("F01/OUT.mp3").c_str()), 0);
    const std::string songs = song(10, u"a", "F00/AAAA.mp3") + song(20, u"b", "F01/ABCD.mp3") +
                              song(30, u"c", "F02/CCCC.mp3") +
                              song(40, u"up", "..:..:..:outside.mp3") +
                              song(50, u"link", "F01/LINK.mp3") + song(60, u"out", "F01/OUT.mp3");
    testing::internal::CaptureStdout();
    ASSERT_TRUE(
        import(database(songs, 6, mhyp(u"iPod", {}) + mhyp(u"Road", {60, 30, 10}), 2)).first);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(db_stats().items, 3);
    EXPECT_EQ(road(), (std::vector<std::pair<int, std::string>>{{1, music_path("F02/CCCC.mp3")},
                                                                {2, music_path("F00/AAAA.mp3")}}));
    db_restart_through_persistence();
    ASSERT_EQ(db_stats().items, 3);
    ASSERT_TRUE(import(database(song(20, u"b", "F01/ABCD.mp3"), 1, mhyp(u"iPod", {20}), 1)).first);
    EXPECT_EQ(db_stats().items, 1);
    const DbLock lock = db_lock();
    EXPECT_TRUE(item_by_path(lock, music_path("F01/ABCD.mp3")));
}

} // namespace
