// The "/rescan" page: asks the scanner for a pass over every content
// directory ("/rescan") or over one of them or a directory below one
// ("/rescan?M|/data/music").
#pragma once

#include "http/http_connection.h"

#include <optional>
#include <string>

int rescan_handler(HttpConnection* connection);

// The directory a rescan request names, as the scanner is to walk it, when
// it may be rescanned: once every "..", "." and link is resolved, it (or
// what exists of it yet) has to lie inside a content directory with the same
// kind prefix (the letter in either case; inside the start directory when
// none is set). The answer is the canonical path with the request's prefix:
// a full pass names files by their canonical paths too, so the items keep
// the paths they have. An empty dir (every content directory) stays empty.
std::optional<std::string> rescan_dir_resolve(const std::string& dir);
