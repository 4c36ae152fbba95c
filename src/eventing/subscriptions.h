// The GENA subscription table: SUBSCRIBE (new and renewed), UNSUBSCRIBE, and
// what delivery needs to know of an entry. One lock guards the table; no
// send happens with it held.
#pragma once

#include "http/http_connection.h"

#include <cstdint>
#include <optional>
#include <string>

inline constexpr int kMaxSubscriptions = 20;
inline constexpr int kSubscriptionTimeoutS = 300;

enum EventService : uint8_t {
    EVENT_CONTENT_DIRECTORY = 1,
    EVENT_CONNECTION_MANAGER = 2,
};

// The source protocols announced in the first ConnectionManager event.
inline constexpr const char* kEventSourceProtocols =
    "http-get:*:audio/mpeg:*,http-get:*:audio/mpegurl:*,http-get:*:image/jpeg:*";

// Clears the table and switches eventing on.
void eventing_start();

// Switches eventing off, waits 100 ms and drops every subscription.
void eventing_stop();

bool eventing_enabled();

int subscribe_handler(HttpConnection* connection);
int unsubscribe_handler(HttpConnection* connection);

// One event's worth of an entry, copied out of the table so that the event
// can be sent without the lock. Taking it counts the event: seq grows by one.
struct SubscriptionTarget {
    std::string callback;
    uint32_t sid = 0;
    uint32_t seq = 0;
};

// The entry's target when it is in use, not expired, subscribed to service
// and (unless expected_sid is empty) still the subscription with that sid.
std::optional<SubscriptionTarget> subscription_take_event(int index, uint8_t service,
                                                          std::optional<uint32_t> expected_sid);

// Frees the entries whose time-out passed without a renewal.
void subscriptions_expire();

// Entries in use (tests and the statistics).
int subscription_count();
