#include "delivery/picture_slots.h"

#include <condition_variable>
#include <mutex>

namespace
{

std::mutex g_slot_lock;
std::condition_variable g_slot_freed;
int g_slots_in_use = 0;

} // namespace

PictureSlot::PictureSlot(std::chrono::milliseconds wait)
{
    std::unique_lock lock(g_slot_lock);
    held = g_slot_freed.wait_for(lock, wait, [] { return g_slots_in_use < kPictureSlots; });
    if (held) {
        ++g_slots_in_use;
    }
}

PictureSlot::~PictureSlot()
{
    if (!held) {
        return;
    }
    {
        std::lock_guard guard(g_slot_lock);
        --g_slots_in_use;
    }
    g_slot_freed.notify_one();
}

int picture_slots_in_use()
{
    std::lock_guard guard(g_slot_lock);
    return g_slots_in_use;
}
