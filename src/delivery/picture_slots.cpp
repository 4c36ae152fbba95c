#include "delivery/picture_slots.h"

#include <condition_variable>
#include <malloc.h>
#include <mutex>

namespace
{

std::mutex g_slot_lock;
std::condition_variable g_slot_freed;
int g_slots_in_use = 0;

// Picture buffers are large and short-lived, and each connection thread
// allocates them from its own heap arena. By default the C library raises
// its threshold for mapping a block directly up to 32 MiB after the first
// such block is freed; from then on canvases and outputs come from the
// arenas, which keep freed memory, and the server's memory grows with the
// number of threads that ever made a picture, whatever the slots allow.
// A fixed threshold sends every block above it straight back to the kernel
// when it is freed.
constexpr int kMapThreshold = 256 * 1024;
std::once_flag g_map_threshold_set;

} // namespace

PictureSlot::PictureSlot(std::chrono::milliseconds wait)
{
    std::call_once(g_map_threshold_set, [] { mallopt(M_MMAP_THRESHOLD, kMapThreshold); });
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
