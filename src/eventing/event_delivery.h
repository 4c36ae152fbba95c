// Event bodies and their delivery: NOTIFY requests to the callback URLs of
// the subscribers. Every subscriber gets its own short time budget per event
// and is served alongside the others, so that one that is slow, silent or
// unreachable delays nobody else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Connect, send and the start of the answer, over all URLs of one subscriber.
inline constexpr int kNotifyBudgetMs = 1000;

// Delivers body to entry index (or every entry, -1) subscribed to service.
// With expected_sid, only while the entry is still that subscription.
// Returns when every delivery is done.
void notify_subscribers(int index, uint8_t service, const std::string& body,
                        const std::optional<std::string>& expected_sid = std::nullopt);

std::string content_directory_event_body(uint32_t system_update_id, const char* container_ids);
std::string connection_manager_event_body(const char* source, const char* sink);

// SystemUpdateID and ContainerUpdateIDs (null: none) to ContentDirectory
// subscribers.
void event_content_directory(int index, uint32_t system_update_id, const char* container_ids,
                             const std::optional<std::string>& expected_sid = std::nullopt);

// The protocol lists to ConnectionManager subscribers.
void event_connection_manager(int index, const char* source, const char* sink,
                              const std::optional<std::string>& expected_sid = std::nullopt);

// The NOTIFY request for one callback URL; sid is the whole "uuid:..." text.
struct CallbackUrl;
std::string notify_request(const CallbackUrl& url, const std::string& sid, uint32_t seq,
                           const std::string& body);
