// Plain files from the "netgearupgrade" directory, for the firmware update
// of the players that look for it: "/NetgearUpgrade/<name>" and
// "/file%3A.../<name>" URLs.
#pragma once

#include "http/http_connection.h"

int download_handler(HttpConnection* connection);
