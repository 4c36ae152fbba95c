#include "delivery/media_stream.h"

#include "core/log.h"
#include "core/settings.h"
#include "core/threads.h"
#include "core/time_util.h"
#include "delivery/play_status.h"
#include "http/http_response.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace
{

constexpr int64_t kMinChunk = 1024;
// An unpaced body leaves in sendfile calls of about this size (a whole
// number of chunks), so that a small chunk setting costs no throughput.
constexpr int64_t kBulkBytes = 8 << 20;
// A pacing sleep is cut into steps this long, so that a stop is noticed.
constexpr int kPaceStepMs = 100;

bool is_picture_type(std::string_view type)
{
    return type == "image/jpeg" || type == "image/x-ycbcr-yuv420";
}

bool is_video_type(std::string_view type)
{
    return type.starts_with("video/");
}

// How long to wait so that the transfer runs about a second ahead of play
// time; 0 when no wait is due.
int64_t pace_delay_ms(int64_t bytes_sent, int64_t elapsed_ms, int64_t rate)
{
    const int64_t lead_ms = (bytes_sent - elapsed_ms * rate) / rate;
    const int64_t delay = lead_ms - lead_ms / 10 - 100;
    return delay >= 1 && delay <= 1999 ? delay : 0;
}

void pace_sleep(const HttpConnection* c, int64_t delay_ms)
{
    while (delay_ms > 0 && !http_stop_requested(c)) {
        const int64_t step = std::min<int64_t>(delay_ms, kPaceStepMs);
        sleep_ms(static_cast<long>(step));
        delay_ms -= step;
    }
}

} // namespace

int64_t stream_chunk_size(std::string_view content_type)
{
    int key = KEY_MUSICBUFFER;
    if (is_picture_type(content_type)) {
        key = KEY_PICTUREBUFFER;
    } else if (is_video_type(content_type)) {
        key = KEY_VIDEOBUFFER;
    }
    return std::max<int64_t>(setting_int(key), kMinChunk);
}

int stream_file_body(HttpConnection* c, const StreamPlan& plan)
{
    const bool paced = plan.pace && plan.duration_ms > 0;
    int64_t rate = 2048; // bytes per millisecond
    if (plan.duration_ms > 0 && plan.file_size > 0) {
        rate = plan.file_size / plan.duration_ms + 1;
    }
    const int64_t chunk = std::max(plan.chunk_size, kMinChunk);
    const int64_t piece_size = paced ? chunk : chunk * std::max<int64_t>(1, kBulkBytes / chunk);
    const uint32_t start_ms = elapsed_ms();
    int64_t window_bytes = 0;
    int64_t sent = 0;
    // The play status follows every kernel send, not every piece: a piece of
    // the unpaced stream is minutes of music.
    HttpFileSend how;
    how.media_stream = true;
    how.progress = [&](int64_t piece_sent) {
        play_status_update(c->client_ip.data(), plan.object_id,
                           plan.status_base + sent + piece_sent);
    };
    while (sent < plan.length) {
        const int64_t piece = std::min(piece_size, plan.length - sent);
        if (http_send_file(c, plan.fd, plan.offset + sent, piece, how) != 0) {
            log_msg(LOG_INFO, LOG_CAT_HTTP, "send (%s): %s\n", c->client_ip.data(),
                    strerror(errno));
            return 1;
        }
        sent += piece;
        window_bytes += piece;
        if (paced && window_bytes >= rate * 1000) {
            const int64_t elapsed = static_cast<uint32_t>(elapsed_ms() - start_ms);
            pace_sleep(c, pace_delay_ms(sent, elapsed, rate));
            window_bytes = 0;
        }
    }
    return 0;
}
