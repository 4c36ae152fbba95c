#include "eventing/eventing_thread.h"

#include "db/media_db.h"
#include "eventing/event_delivery.h"
#include "eventing/subscriptions.h"

void eventing_thread(ThreadFlag& running)
{
    running = 1;
    while (running == 1) {
        for (int step = 0; step < kEventModerationSteps && running == 1; ++step) {
            sleep_ms(100);
        }
        if (running != 1) {
            break;
        }
        subscriptions_expire();
        // The tree lock is released before anything is sent.
        if (auto flush = db_flush_events()) {
            event_content_directory(-1, flush->system_update_id,
                                    flush->container_update_ids.c_str());
        }
    }
    running = 0;
}

bool eventing_thread_start(ThreadFlag& running)
{
    return start_worker(running, [&running] { eventing_thread(running); });
}
