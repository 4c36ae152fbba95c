// Subtitles of videos: "subtitle/<id>.<ext>" serves the sidecar file the
// scanner recorded for the video item <id>, and a video request that asks
// for its captions ("getCaptionInfo.sec: 1") learns that URL in a
// "CaptionInfo.sec" header. Only a file recorded on an item goes out; the
// URL names an item, never a path.
#pragma once

#include "http/http_connection.h"

// The handler of "subtitle/" URLs (GET and HEAD).
int subtitle_handler(HttpConnection* connection);

// Adds the "CaptionInfo.sec" header to the answer about the item of id_text
// when the request asks for it and the item has a subtitle.
void subtitle_add_caption_header(HttpConnection* connection, const char* id_text);
