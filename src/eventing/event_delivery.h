// Event bodies and their delivery: NOTIFY requests to the callback URLs of
// the subscribers, one after the other, each with short time limits so that
// one silent subscriber cannot hold up the others.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

inline constexpr int kNotifyConnectMs = 1000;
inline constexpr int kNotifySendMs = 1000;

// Delivers body to entry index (or every entry, -1) subscribed to service.
// With expected_sid, only while the entry is still that subscription.
void notify_subscribers(int index, uint8_t service, const std::string& body,
                        std::optional<uint32_t> expected_sid = std::nullopt);

std::string content_directory_event_body(uint32_t system_update_id, const char* container_ids);
std::string connection_manager_event_body(const char* source, const char* sink);

// SystemUpdateID and ContainerUpdateIDs (null: none) to ContentDirectory
// subscribers.
void event_content_directory(int index, uint32_t system_update_id, const char* container_ids,
                             std::optional<uint32_t> expected_sid = std::nullopt);

// The protocol lists to ConnectionManager subscribers.
void event_connection_manager(int index, const char* source, const char* sink,
                              std::optional<uint32_t> expected_sid = std::nullopt);

// The NOTIFY request for one callback URL.
struct CallbackUrl;
std::string notify_request(const CallbackUrl& url, uint32_t sid, uint32_t seq,
                           const std::string& body);
