#include "delivery/play_status.h"

#include "control/xml.h"
#include "db/media_db.h"
#include "http/mime.h"

#include <cinttypes>
#include <cstdio>
#include <mutex>

namespace
{

// Written by every streaming thread, read by the status page.
std::mutex g_play_status_lock;
std::vector<PlayStatus> g_play_status;

// How much of a music stream a player is assumed to hold in its buffer, not
// yet played.
constexpr int64_t kMusicBufferBytes = 1500000;

} // namespace

void play_status_update(const char* client, int32_t object_id, int64_t position)
{
    const std::string address(client, strnlen(client, kPlayStatusClientSize));
    std::lock_guard guard(g_play_status_lock);
    for (PlayStatus& row : g_play_status) {
        if (row.client == address) {
            row.object_id = object_id;
            row.position = position;
            return;
        }
    }
    if (g_play_status.size() >= static_cast<size_t>(kPlayStatusRows)) {
        return;
    }
    g_play_status.push_back(PlayStatus{address, object_id, position});
}

std::vector<PlayStatus> play_status_rows()
{
    std::lock_guard guard(g_play_status_lock);
    return g_play_status;
}

void play_status_clear()
{
    std::lock_guard guard(g_play_status_lock);
    g_play_status.clear();
}

std::string play_status_page()
{
    std::string page = "playing<br>\n";
    for (const PlayStatus& row : play_status_rows()) {
        page += row.client;
        page += '\t';
        // The tree lock is taken per row, never with the table's lock held.
        if (auto item = db_play_row(static_cast<NodeId>(row.object_id))) {
            int64_t shown = row.position;
            if (item->music) {
                shown = shown - kMusicBufferBytes < 0 ? 0 : shown - kMusicBufferBytes;
            }
            char numbers[64];
            snprintf(numbers, sizeof numbers, "%" PRId32 "\t%" PRId64 "\t", row.object_id, shown);
            page += numbers;
            page += mime_type_for(item->path);
            page += '\t';
            // An HTML page: a title is text, never markup.
            page += xml_escape_text(item->title);
            page += '\t';
        }
        page += "\t<br>\n";
    }
    return page;
}
