#include "db/auto_playlists.h"
#include "db/sort.h"
#include "db_fixture.h"

#include <atomic>
#include <thread>
#include <type_traits>

namespace
{

using Concurrency = DbTest;

// A `const DbLock&` proves the lock is held only if no DbLock can exist
// without holding it: none is made but by db_lock(), and none lets go before
// its scope ends (no unlock, no move that leaves an empty one behind).
template <typename L>
concept Unlockable = requires(L& l)
{
    l.unlock();
};
static_assert(!Unlockable<DbLock>);
static_assert(!std::is_default_constructible_v<DbLock>);
static_assert(!std::is_copy_constructible_v<DbLock> && !std::is_move_constructible_v<DbLock>);
static_assert(!std::is_copy_assignable_v<DbLock> && !std::is_move_assignable_v<DbLock>);

// The lock is held for exactly the life of its value: another thread gets
// it only after the holder's scope ends.
TEST(DbLockValue, HeldForTheLifeOfItsValue)
{
    auto other_thread_gets_it = [] {
        bool got = false;
        std::thread([&] { got = db_lock_is_free(); }).join();
        return got;
    };
    {
        const DbLock lock = db_lock();
        EXPECT_FALSE(other_thread_gets_it());
    }
    EXPECT_TRUE(other_thread_gets_it()) << "released at the end of its scope";
}

// Writers, readers, flushes and prunes at once: afterwards every count,
// link and index must still agree with a walk of the tree.
TEST_F(Concurrency, AddRemoveReadFlushTogether)
{
    db_create();
    std::vector<std::string> paths;
    for (int i = 0; i < 200; ++i) {
        paths.push_back(file("d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".mp3"));
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            for (int round = 1; round <= 4; ++round) {
                for (size_t i = w; i < paths.size(); i += 2) {
                    const std::string artist = "Artist" + std::to_string((i + round) % 13);
                    add_music(paths[i], "T", artist.c_str(),
                              ("Album" + std::to_string(i % 17)).c_str(), static_cast<int>(i % 12),
                              round, i % 5 == 0 ? "Mix" : nullptr);
                }
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop) {
            const DbLock lock = db_lock();
            std::vector<DbNode*> nodes;
            for (DbNode* n = db_first_child(lock, g_db.all_tracks); n;
                 n = db_next_sibling(lock, n)) {
                nodes.push_back(n);
            }
            sort_nodes(lock, nodes, sort_parse("+upnp:originalTrackNumber,+dc:title"));
            // The lock is not fair: without a pause the readers could keep
            // the writers out for long stretches.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    threads.emplace_back([&] {
        while (!stop) {
            db_flush_events();
            db_prune_empty();
            auto m3u = m3u_for_container("0", "http://h/");
            db_item_played("120");
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int w = 0; w < 2; ++w) {
        threads[w].join();
    }
    stop = true;
    for (size_t t = 2; t < threads.size(); ++t) {
        threads[t].join();
    }
    db_prune_empty();
    const DbLock lock = db_lock();
    EXPECT_EQ(db_check_consistency(lock), "");
    EXPECT_EQ(g_db.all_tracks->child_count, 200);
}

// Writers that add the same files at once: each path must end up as one
// item, however the adds interleave between looking for the path and linking
// the new item.
TEST_F(Concurrency, WritersSharingPathsLeaveOneItemEach)
{
    db_create();
    std::vector<std::string> paths;
    for (int i = 0; i < 150; ++i) {
        paths.push_back(file("shared/f" + std::to_string(i) + ".mp3"));
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
            for (int round = 1; round <= 3; ++round) {
                for (size_t k = 0; k < paths.size(); ++k) {
                    // Each writer walks the paths in its own order, so that
                    // the same path is often in flight in two threads.
                    const size_t i = w % 2 == 0 ? k : paths.size() - 1 - k;
                    add_music(paths[i], "T", "Artist", "Album", 1, round,
                              i % 10 == 0 ? "Mix" : nullptr);
                }
            }
        });
    }
    for (std::thread& t : writers) {
        t.join();
    }
    const DbLock lock = db_lock();
    EXPECT_EQ(db_check_consistency(lock), "");
    EXPECT_EQ(g_db.all_tracks->child_count, 150);
    for (const std::string& path : paths) {
        ASSERT_TRUE(item_by_path(lock, path)) << path;
    }
    DbContainer* mix = db_find_child(lock, g_db.playlists, "Mix");
    ASSERT_TRUE(mix);
    EXPECT_EQ(mix->child_count, 15) << "one reference per playlist entry";
}

} // namespace
