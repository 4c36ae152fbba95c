// A container's music as an M3U playlist: "m3u/<id>" URLs.
#pragma once

#include "http/http_connection.h"

int m3u_handler(HttpConnection* connection);
