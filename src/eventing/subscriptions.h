// The GENA subscription table: SUBSCRIBE (new and renewed), UNSUBSCRIBE, and
// what delivery needs to know of an entry. One lock guards the table; no
// send happens with it held.
#pragma once

#include "eventing/callback_urls.h"
#include "http/http_connection.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Enough for every control point of a home: each subscribes to both
// services.
inline constexpr int kMaxSubscriptions = 64;
// Per subscriber address: a control point subscribes to both services, and a
// phone may run two control points. Beyond its share an address's own
// subscription that expires soonest gives way: a control point that was
// stopped without unsubscribing and starts again must not wait for its old
// entries to expire. When the table is full, the subscription that expires
// soonest of the address holding the most gives way to a newcomer, so that
// a few hosts cannot lock the others out; its renewal then fails, and a
// control point that wants events subscribes again.
inline constexpr int kMaxSubscriptionsPerAddress = 4;
// What an address keeps whoever else asks: a control point subscribes to
// both services, and many addresses with one each must not push it out.
inline constexpr int kKeptSubscriptionsPerAddress = 2;
// Granted to a new subscription, and to a renewal that asks for no time.
inline constexpr int kSubscriptionTimeoutS = 300;
// The longest time granted to a renewal.
inline constexpr int kMaxSubscriptionTimeoutS = 1800;
// "uuid:" and the 36 characters of a UUID.
inline constexpr size_t kSidLength = 41;

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

// The seconds granted for a TIMEOUT value ("Second-1800"): what was asked
// for, at most kMaxSubscriptionTimeoutS; kSubscriptionTimeoutS when the value
// is empty, "Second-infinite", 0 or not a number.
int subscription_granted_timeout(std::string_view timeout);

// A fresh subscription id "uuid:xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx" from
// the system's random source, so that no host can guess another's; empty
// when the system gives no random bytes.
std::string subscription_new_sid();

// Whether text has the form of the ids made above.
bool subscription_sid_well_formed(std::string_view text);

// One event's worth of an entry, copied out of the table so that the event
// can be sent without the lock. Taking it counts the event: seq grows by one.
struct SubscriptionTarget {
    std::vector<CallbackUrl> urls;
    std::string sid;
    uint32_t seq = 0;
};

// The targets of the entries in use, not expired and subscribed to service,
// in the order they subscribed: the entry index alone, or every entry (-1);
// with expected_sid only while the entry is still that subscription.
std::vector<SubscriptionTarget>
subscriptions_take_events(int index, uint8_t service,
                          const std::optional<std::string>& expected_sid);

// Frees the entries whose time-out passed without a renewal.
void subscriptions_expire();

// Entries in use (tests and the statistics).
int subscription_count();
