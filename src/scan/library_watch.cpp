#include "scan/library_watch.h"

#include "core/log.h"

#include <sys/stat.h>
#include <utility>

void library_watch_run(ThreadFlag& flag, const ThreadFlag& reader_flag, const LibraryWatch& watch,
                       const std::function<void()>& import)
{
    // The items the persistence file restores are the ones an import finds
    // again; importing before they are back would read every track anew.
    for (int i = 0; i < 4501 && reader_flag == 1 && flag == 1; ++i) {
        sleep_ms(200);
    }
    // What the file was at the last import. Any change counts, not only a
    // newer time: a library put back from a backup (cp -p, mv) carries an
    // older one.
    std::array<int64_t, 4> last{INT64_MIN, 0, 0, 0};
    bool missing_logged = false;
    while (flag == 1) {
        struct stat st {
        };
        if (stat(watch.file.c_str(), &st) != 0) {
            // A library on a disk or a player that is not mounted yet: it
            // is looked for again, and reported once.
            if (!missing_logged) {
                log_msg(LOG_PROBLEM, LOG_CAT_DB, "%s %s: %s\n", watch.what, watch.file.c_str(),
                        system_error_text().c_str());
                missing_logged = true;
            }
        } else {
            missing_logged = false;
            // Nanoseconds too: a file saved twice in one second is read twice.
            const std::array<int64_t, 4> now{st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
                                             static_cast<int64_t>(st.st_size),
                                             static_cast<int64_t>(st.st_ino)};
            if (now != last) {
                last = now;
                import();
            }
        }
        for (int i = 0; i < watch.periods && flag == 1; ++i) {
            sleep_ms(watch.period_ms);
        }
    }
    flag = 0;
}

void library_watch_start(ThreadFlag& flag, const ThreadFlag& reader_flag, const LibraryWatch& watch,
                         std::function<void(const ThreadFlag* flag)> import)
{
    if (watch.file.empty()) {
        return;
    }
    ThreadFlag* f = &flag;
    const ThreadFlag* r = &reader_flag;
    start_worker(flag, [f, r, watch, import = std::move(import)] {
        library_watch_run(*f, *r, watch, [&] { import(f); });
    });
}
