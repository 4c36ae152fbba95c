// Writes the ASF header of WMA files for tests: the header object, the
// content description, an audio format and the extended content
// descriptors, laid out as encoders write them.
#pragma once

#include "mp3_writer.h"

#include <string>
#include <vector>

void put16(Bytes& b, unsigned v);
void put32(Bytes& b, uint32_t v);

// UTF-16LE with its two-byte terminator.
Bytes utf16(const std::string& text);

// A 32-bit little-endian value.
Bytes dword(uint32_t v);

struct Descriptor {
    std::string name;
    uint16_t type;
    Bytes value;
};

// The descriptor list: its count (the list's size unless given), then each
// descriptor.
Bytes descriptor_list(const std::vector<Descriptor>& list, int count = -1);

// An ASF header: the header object, the content description (title, author)
// right after it or after 40 other bytes, an audio format of 16000 bytes per
// second, and the extended descriptors (led by WMFSDKVersion when with_sdk),
// then 64 zero bytes.
Bytes wma_file(const std::string& title, const std::string& author,
               const std::vector<Descriptor>& descriptors, bool description_first = true,
               bool with_sdk = true);
