// The table that maps URL prefixes and methods to handlers, and the smaller
// table of handlers for received SSDP datagrams. Both are filled once at
// start-up, before any listener runs, and only read afterwards.
#pragma once

#include "http/http_connection.h"

#include <netinet/in.h>

inline constexpr int kMaxUrlHandlers = 24;
inline constexpr int kMaxUrlPrefix = 511;
inline constexpr int kMaxSsdpHandlers = 9;

// Registers handler for requests whose method is in mask and whose target
// begins with prefix (null or empty: every target). A full table is critical.
void http_register_handler(HttpHandler handler, int method_mask, const char* prefix);

// Calls the first handler whose mask admits the method and whose prefix
// begins the target (case-sensitive, no decoding). A method of 0 passes every
// mask. Returns the handler's result, or -1 when nothing matched.
inline constexpr int kHttpNoHandler = -1;
int http_dispatch(HttpConnection* connection);

struct SsdpInterface;
using SsdpHandler = void (*)(const char* datagram, SsdpInterface* interface,
                             const sockaddr_in* sender);

void ssdp_register_handler(SsdpHandler handler, const char* name);

// Calls every registered SSDP handler in registration order.
void ssdp_dispatch(const char* datagram, SsdpInterface* interface, const sockaddr_in* sender);

// Forgets every registration (tests only; the server registers once).
void http_registry_clear();
