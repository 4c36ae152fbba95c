// Streaming a media item's file: "disk/<id>..." URLs with byte ranges and
// DLNA time seek, "continue/<id>_<offset>..." URLs that resume a stream, and
// the ".idx" index files that some players use to wind through a video.
#pragma once

#include "http/http_connection.h"

#include <string>

int disk_handler(HttpConnection* connection);
int continue_handler(HttpConnection* connection);

// Where the index of the item's file lives: the "idxdir" directory with the
// file's name and ".idx" appended, or the item's own path when "idxdir" is
// not set.
std::string index_file_path(const std::string& item_path);
