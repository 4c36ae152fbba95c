// What each player is streaming right now and how far it has got: one row
// per client address, in order of first appearance, for the status page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr int kPlayStatusRows = 10;
inline constexpr size_t kPlayStatusClientSize = 20; // address characters kept

struct PlayStatus {
    std::string client;
    int32_t object_id = 0;
    int64_t position = 0; // byte in the file after the last chunk sent
};

// Records the position of the client's stream; the eleventh and later new
// addresses are not recorded. Called by every streaming thread.
void play_status_update(const char* client, int32_t object_id, int64_t position);

// A copy of the rows, in order.
std::vector<PlayStatus> play_status_rows();

// Forgets every row (tests).
void play_status_clear();

// The status page text: "playing<br>\n", then per row the address, the id,
// the position (a music track's less the 1.5 MB a player buffers), the MIME
// type and the title, tab-separated.
std::string play_status_page();
