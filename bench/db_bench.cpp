// Builds a media tree of 100 000 music tracks with the default views from
// files on disk and reports the speed of adding, the memory per item and the
// cost of the lookups a request makes.
//
// With a second argument it then destroys and rebuilds the tree that many
// times, as every restart of the services does, and reports the resident
// memory after the first build and after the last.
//
// Usage: db_bench [items] [rebuilds]   (default 100000, no rebuilds)
#include "control/browse.h"
#include "core/settings.h"
#include "db/media_db.h"
#include "db/sort.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

long resident_bytes()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Track {
    std::string path;
    std::string title;
    std::string artist;
    std::string album;
    std::string genre;
    std::string date;
    int track;
};

// 1 000 artists with ten albums each of ten tracks, 25 genres, 60 years.
std::vector<Track> make_library(const std::string& root, int count)
{
    std::vector<Track> tracks;
    tracks.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const int album = i / 10;
        const int artist = album % 1000;
        Track t;
        t.artist = "Artist Number " + std::to_string(artist);
        t.album = "Album Title " + std::to_string(album);
        t.genre = "Genre " + std::to_string(artist % 25);
        t.date = std::to_string(1960 + album % 60) + "-0" + std::to_string(1 + album % 9) + "-1" +
                 std::to_string(album % 10);
        t.track = 1 + i % 10;
        t.title = "Song " + std::to_string(i);
        t.path = root + "/" + t.artist + "/" + t.album + "/" + std::to_string(t.track) + " - " +
                 t.title + ".mp3";
        tracks.push_back(std::move(t));
    }
    return tracks;
}

int add_all(const std::vector<Track>& tracks)
{
    int added = 0;
    for (const Track& t : tracks) {
        DbItemFields f;
        f.title = t.title.c_str();
        f.upnp_class = kClassMusicTrack;
        f.artist = t.artist.c_str();
        f.album = t.album.c_str();
        f.genre = t.genre.c_str();
        f.date = t.date.c_str();
        f.path = t.path.c_str();
        f.duration = "0:04:12.000";
        f.track = t.track;
        f.bitrate = 192000;
        f.size = 6000000;
        f.mtime = 1000;
        added += db_add_item(f) == DB_ADDED;
    }
    return added;
}

// Milliseconds one SOAP action takes, answered into a socket pair whose
// other end is never read (its buffer holds a whole page).
template <typename Act> double action_ms(Act act)
{
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    int big = 1 << 20;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    HttpConnection c;
    c.socket = fds[0];
    c.http_version = 11;
    c.method = HTTP_POST;
    strcpy(c.base_url.data(), "http://127.0.0.1:9000/");
    strcpy(c.client_ip.data(), "127.0.0.1");
    const auto t0 = Clock::now();
    act(&c);
    const double ms = seconds_since(t0) * 1000;
    close(fds[0]);
    close(fds[1]);
    return ms;
}

// Another request (an item's location, as a stream start asks it) taking
// the tree lock again and again on a thread of its own: the longest it
// waited shows how long the measured work holds the lock at once.
class LockWaits
{
public:
    explicit LockWaits(std::string id) : id_(std::move(id)), thread_([this] { run(); })
    {
    }
    // Ends the other request; the longest wait in milliseconds.
    double stop()
    {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
        return worst_ms_;
    }
    ~LockWaits()
    {
        stop();
    }

private:
    void run()
    {
        while (running_) {
            const auto t0 = Clock::now();
            db_item_location(id_.c_str());
            worst_ms_ = std::max(worst_ms_.load(), seconds_since(t0) * 1000);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    std::string id_;
    std::atomic<bool> running_{true};
    std::atomic<double> worst_ms_{0};
    std::thread thread_;
};

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int rebuilds = argc > 2 ? std::atoi(argv[2]) : 0;
    const std::string root = std::filesystem::temp_directory_path() /
                             ("corvalenso-db-bench-" + std::to_string(getpid()));
    std::vector<Track> tracks = make_library(root, count);
    for (const Track& t : tracks) {
        std::filesystem::create_directories(std::filesystem::path(t.path).parent_path());
        std::ofstream(t.path) << "x";
    }

    settings_apply_defaults();
    setting_set(KEY_CONTENTDIR, "M|" + root);
    db_create();
    const long before = resident_bytes();

    rusage usage_before{};
    getrusage(RUSAGE_SELF, &usage_before);
    const double cpu_before = usage_before.ru_utime.tv_sec + usage_before.ru_utime.tv_usec / 1e6 +
                              usage_before.ru_stime.tv_sec + usage_before.ru_stime.tv_usec / 1e6;
    const auto start = Clock::now();
    const int added = add_all(tracks);
    const double add_seconds = seconds_since(start);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu_seconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                               usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6 - cpu_before;
    const long after = resident_bytes();
    const DbStats stats = db_stats();
    const double rate = added / add_seconds;
    const double bytes_per_item = static_cast<double>(after - before) / added;

    // Object id lookups, spread over the whole id range.
    const int lookups = 1000000;
    long found = 0;
    auto lookup_start = Clock::now();
    {
        const DbLock lock = db_lock();
        for (int i = 0; i < lookups; ++i) {
            found += db_find_by_id(lock, static_cast<NodeId>((i * 7919L) % stats.next_object_id)) !=
                     nullptr;
        }
    }
    const double lookup_ns = seconds_since(lookup_start) * 1e9 / lookups;

    // Sorting the largest container's children with the music criteria.
    double sort_ms = 0;
    size_t largest_size = 0;
    {
        const DbLock lock = db_lock();
        const DbContainer* largest = db_tree(lock).all_tracks;
        std::vector<DbNode*> nodes;
        for (DbNode* n = db_first_child(lock, largest); n; n = db_next_sibling(lock, n)) {
            nodes.push_back(n);
        }
        largest_size = nodes.size();
        const SortCriteria criteria = sort_parse(setting_str(KEY_MS).c_str());
        const auto sort_start = Clock::now();
        sort_nodes(lock, nodes, criteria);
        sort_ms = seconds_since(sort_start) * 1000;
    }

    // Pages of 50 of "All Tracks" as a player browses them: the first one
    // sorts, the later ones use the kept order.
    double first_page_ms = 0;
    double later_page_ms = 0;
    {
        NodeId all;
        {
            const DbLock lock = db_lock();
            all = db_tree(lock).all_tracks->id;
        }
        auto page_ms = [&](int start) {
            return action_ms([&](HttpConnection* c) {
                browse_direct_children(c, std::to_string(all).c_str(), "*", start, 50, nullptr);
            });
        };
        first_page_ms = page_ms(0);
        later_page_ms = page_ms(500);

        // Another request (an item's location, as a stream start asks it)
        // while one client pages through the whole container after a change
        // made its kept order stale: the other waits at most one page.
        {
            const DbLock lock = db_lock();
            db_mark_changed(lock, db_tree(lock).all_tracks);
        }
        const std::string other_id = std::to_string(all + 1);
        LockWaits paging_waits(other_id);
        double paging_ms = 0;
        for (int start = 0; start < 5000; start += 50) {
            paging_ms += page_ms(start);
        }
        printf("paging 100 pages:   %.1f ms in all; another request waited at most %.1f ms\n",
               paging_ms, paging_waits.stop());

        // A Search that matches every track (and its places in the views),
        // a page of 50 from its middle: the walk and the windowed sort are
        // what holds the lock.
        auto search_ms = [&](const char* criteria, const char* sort) {
            return action_ms([&](HttpConnection* c) {
                search_action(c, "0", criteria, "dc:title", 20000, 50, sort);
            });
        };
        // Meanwhile another request takes the lock again and again: how long
        // it waits at most shows how long the Search holds the lock at once.
        LockWaits search_waits(other_id);
        const double all_ms =
            search_ms("upnp:class derivedfrom \"object.item.audioItem\"", "+dc:title");
        const double some_ms = search_ms("dc:title contains \"zq\" or dc:title contains \"17\"",
                                         "+upnp:genre,-dc:date,+dc:title");
        printf("search:             every track, page of 50 from 20000 %.1f ms; two "
               "conditions %.1f ms; another request waited at most %.1f ms\n",
               all_ms, some_ms, search_waits.stop());
    }

    printf("items added:        %d in %.2f s (%.2f s of processor time)\n", added, add_seconds,
           cpu_seconds);
    printf("nodes in the tree:  %lld (%lld containers, %lld items, %lld references)\n",
           static_cast<long long>(stats.nodes), static_cast<long long>(stats.containers),
           static_cast<long long>(stats.items), static_cast<long long>(stats.references));
    printf("resident memory:    %.1f MiB for the items (%.1f MiB in all)\n",
           (after - before) / 1048576.0, after / 1048576.0);
    printf("db_find_by_id:      %.0f ns per lookup (%ld of %d found)\n", lookup_ns, found, lookups);
    printf("sort %zu children:  %.1f ms with \"%s\"\n", largest_size, sort_ms,
           setting_str(KEY_MS).c_str());
    printf("browse All Tracks:  first page of 50 %.1f ms, a later page %.3f ms\n", first_page_ms,
           later_page_ms);
    printf("tree: %d items, %.0f items/s, %.0f bytes/item\n", added, rate, bytes_per_item);

    if (rebuilds > 0) {
        const long first = resident_bytes();
        for (int i = 0; i < rebuilds; ++i) {
            db_destroy();
            db_create();
            add_all(tracks);
        }
        printf("rebuilds: %d of %d items, %.1f MiB resident after the first build, %.1f MiB after "
               "the last (ids now up to %d)\n",
               rebuilds, count, first / 1048576.0, resident_bytes() / 1048576.0,
               db_stats().next_object_id);
    }

    db_destroy();
    std::filesystem::remove_all(root);
    return 0;
}
