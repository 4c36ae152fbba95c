// The DLNA header lines of a media answer, GET and HEAD alike:
// contentFeatures.dlna.org (the protocolInfo's fourth field),
// transferMode.dlna.org, Accept-Ranges, and the TimeSeekRange.dlna.org line
// of an answer to a play-time seek.
#pragma once

#include "dlna/dlna_fields.h"
#include "http/http_connection.h"

#include <cstdint>

// Adds the lines for the resource. contentFeatures.dlna.org goes out when the
// request asks for it ("getcontentFeatures.dlna.org: 1") or the client type
// is sent the DLNA fields anyway. byte_ranges: the answer honours Range.
// Returns 0, or 406 when the request names a transfer mode the media does
// not allow (Streaming for a picture, Interactive for audio or video, or an
// unknown mode); the caller then answers 406 without a body.
int dlna_add_media_headers(HttpConnection* connection, const DlnaResource& resource,
                           bool byte_ranges);

// "TimeSeekRange.dlna.org: npt=<start>-<end>/<total> bytes=<first>-<last>/<size>"
// with times in seconds. end_ms -1: up to the end.
void dlna_add_time_seek_header(HttpConnection* connection, int64_t start_ms, int64_t end_ms,
                               int64_t duration_ms, int64_t first_byte, int64_t last_byte,
                               int64_t size);
