// The small remote control under "/rpc": "playing" (what each player
// streams), "mode?stealth" (SSDP silent) and "mode?alive" (SSDP on again).
#pragma once

#include "http/http_connection.h"

int rpc_handler(HttpConnection* connection);
