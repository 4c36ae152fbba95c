#include "core/log.h"
#include "db/db_internal.h"
#include "db_fixture.h"

#include <climits>
#include <fstream>
#include <unistd.h>

namespace
{

using NodeStore = DbTest;

// Ids keep growing across rebuilds, but the memory of ids whose nodes are
// all gone is given back: the tenth build costs what the first did.
TEST_F(NodeStore, RebuildsDoNotGrowTheIdTable)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 300; ++i) {
        paths.push_back(file("r/" + std::to_string(i % 9) + "/t" + std::to_string(i) + ".mp3"));
    }
    auto build = [&] {
        db_create();
        for (size_t i = 0; i < paths.size(); ++i) {
            const std::string artist = "Artist " + std::to_string(i % 31);
            ASSERT_EQ(add_music(paths[i], "T", artist.c_str(), "Album", 1), DB_ADDED);
        }
        // Enough ids per build that every rebuild moves into fresh chunks.
        const DbLock lock = db_lock();
        node_store_set_next_id(node_store_next_id() + 300000);
    };
    build();
    const NodeId first_next = node_store_next_id();
    db_destroy();
    build();
    const size_t after_second = node_store_memory_bytes();
    for (int cycle = 0; cycle < 8; ++cycle) {
        db_destroy();
        build();
    }
    // A rebuilt tree numbers its nodes as the first build did, as a new
    // process would.
    EXPECT_EQ(node_store_next_id(), first_next);
    // A leak would be whole 2 MiB blocks; the chunk list itself may grow a little.
    EXPECT_LE(node_store_memory_bytes(), after_second + 64 * 1024);
    const DbLock lock = db_lock();
    EXPECT_EQ(db_check_consistency(lock), "");
}

// Running out of object ids makes adds fail with a log line; the tree stays
// consistent. Run in a child process: the ids stay used up for its life.
TEST_F(NodeStore, ExhaustedIdsFailTheAdd)
{
    const std::string log_path = dir.file("log.txt");
    const std::string a = file("a.mp3");
    const std::string b = file("b.mp3");
    EXPECT_EXIT(
        {
            log_open_file(log_path.c_str());
            db_create();
            {
                const DbLock lock = db_lock();
                node_store_set_next_id(INT32_MAX - 2);
            }
            // The item takes one of the last ids; its view references find
            // none left and are simply not placed.
            const int first = add_music(a, "A", "Artist", "Album", 1);
            const int second = add_music(b, "B", "Artist", "Album", 1);
            const DbLock lock = db_lock();
            const bool consistent = db_check_consistency(lock).empty();
            log_close();
            _exit(first == DB_ADDED && second == DB_ADD_FAILED && consistent ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    std::ifstream in(log_path);
    std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find("all object ids are used up"), std::string::npos) << log;
    EXPECT_NE(log.find("no object id left for " + b), std::string::npos) << log;
}

} // namespace
