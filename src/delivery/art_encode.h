// Album art as players want it: a JPEG picture, and for the lists of today's
// players one small enough for the JPEG_TN profile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The JPEG or PNG picture in data re-encoded as a JPEG, fitted into
// max_side x max_side when it is larger (0: kept at its own size). False when
// it cannot be decoded or encoded, for a JPEG picture that already fits (or
// is asked for at its own size), which goes out as it is. The caller holds
// a picture slot: the picture it read is picture work already.
bool art_to_jpeg(const uint8_t* data, size_t size, int max_side, std::vector<uint8_t>& jpeg);
