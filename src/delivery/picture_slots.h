// How much picture work runs at once. One picture job (decode, rescale,
// encode and the sending of its output) holds at most about 80 MiB: while
// decoding, the decoder's own buffers (32 MiB at most) and a canvas of at
// most 4096 x 4096 (48 MiB); while encoding and sending, the canvas and then
// the output (32 MiB at most, RGB 5:6:5). Album art is such a job from the
// moment its picture is read into memory (32 MiB at most) until its answer
// has gone out. With two jobs at once all picture work together stays under
// about 160 MiB, however many clients ask at the same time; the others wait
// for a slot, holding nothing, and give up after a bounded wait.
#pragma once

#include <chrono>

inline constexpr int kPictureSlots = 2;

// How long a request waits for a slot before it is refused: long enough for
// a large picture ahead of it, short enough that a player is not left
// hanging for its own time-out.
inline constexpr std::chrono::milliseconds kPictureSlotWait{15000};

// One of the kPictureSlots, held from construction (when held is true)
// until destruction.
struct PictureSlot {
    explicit PictureSlot(std::chrono::milliseconds wait = kPictureSlotWait);
    ~PictureSlot();
    PictureSlot(const PictureSlot&) = delete;
    PictureSlot& operator=(const PictureSlot&) = delete;

    bool held = false;
};

// Slots held right now (tests and the log).
int picture_slots_in_use();
