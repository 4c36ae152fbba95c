// Sending a media file's body: in chunks whose size depends on the kind of
// media, with the play status advanced as the bytes leave, and paced to the
// item's byte rate for the one player that needs it. A player that pauses
// keeps its stream for as long as the stream pause limit allows.
#pragma once

#include "http/http_connection.h"

#include <cstdint>
#include <string_view>

// Bytes per chunk for a content type, from "picturebuffer", "videobuffer"
// or "musicbuffer" (every other type); never below 1024.
int64_t stream_chunk_size(std::string_view content_type);

struct StreamPlan {
    int fd = -1;
    int64_t offset = 0;       // first byte of the body in the file
    int64_t length = 0;       // body bytes
    int64_t status_base = -1; // play-status position before the first byte
    int32_t object_id = 0;
    int64_t chunk_size = 1024;
    bool pace = false;       // send at the item's byte rate
    int64_t duration_ms = 0; // 0: unknown, never paced
    int64_t file_size = 0;
};

// Sends the body. A failed send is logged as "send (<peer>): <error>".
// 0 sent, 1 failed.
int stream_file_body(HttpConnection* connection, const StreamPlan& plan);
