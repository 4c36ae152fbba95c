// The "/rescan" page: asks the scanner for a pass over every content
// directory ("/rescan") or over one of them or a directory below one
// ("/rescan?M|/data/music").
#pragma once

#include "http/http_connection.h"

int rescan_handler(HttpConnection* connection);

// Whether dir may be rescanned: empty (every content directory), or below a
// content directory as written, prefix included (below the start directory
// when none is set), ignoring case.
bool rescan_dir_valid(const std::string& dir);
