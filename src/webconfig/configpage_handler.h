// "/configpage/...": the configuration pages, their form actions and the
// static files of the resource pack, behind the "enableweb" access rule
// (0 nobody, 1 clients on the server's own address, 2 everybody).
#pragma once

#include "http/http_connection.h"

int configpage_handler(HttpConnection* connection);

// Whether the client at client_ip may see the pages of the listener at
// base_url ("http://address:port/") under the "enableweb" value: with 1 only
// when the client's address is the listener's own, compared whole.
bool configpage_access_allowed(int enableweb, std::string_view base_url,
                               std::string_view client_ip);
