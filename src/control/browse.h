// The browsing actions, called by the SOAP dispatch once their arguments
// are checked. Each sends its own answer: 0 when sent, else 1.
#pragma once

#include "http/http_connection.h"

#include <cstdint>

// StartingIndex past the end gives an empty page; RequestedCount 0 asks for
// as many as the answer's size allows.
int browse_direct_children(HttpConnection* connection, const char* object_id, const char* filter,
                           uint32_t starting_index, uint32_t requested_count,
                           const char* sort_criteria);
int browse_metadata(HttpConnection* connection, const char* object_id, const char* filter);
int browse_by_letter(HttpConnection* connection, const char* object_id, const char* filter,
                     const char* starting_letter, uint32_t requested_count,
                     const char* sort_criteria);
int search_action(HttpConnection* connection, const char* container_id, const char* search_criteria,
                  const char* filter, uint32_t starting_index, uint32_t requested_count,
                  const char* sort_criteria);
