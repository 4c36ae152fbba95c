#include "wma_writer.h"

namespace
{

void append(Bytes& to, const Bytes& more)
{
    to.insert(to.end(), more.begin(), more.end());
}

} // namespace

void put16(Bytes& b, unsigned v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(Bytes& b, uint32_t v)
{
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

Bytes utf16(const std::string& text)
{
    Bytes b;
    for (char c : text) {
        put16(b, static_cast<uint8_t>(c));
    }
    put16(b, 0);
    return b;
}

Bytes descriptor_list(const std::vector<Descriptor>& list, int count)
{
    Bytes b;
    put16(b, count < 0 ? static_cast<unsigned>(list.size()) : static_cast<unsigned>(count));
    for (const Descriptor& d : list) {
        const Bytes name = utf16(d.name);
        put16(b, static_cast<unsigned>(name.size()));
        append(b, name);
        put16(b, d.type);
        put16(b, static_cast<unsigned>(d.value.size()));
        append(b, d.value);
    }
    return b;
}

Bytes dword(uint32_t v)
{
    Bytes b;
    put32(b, v);
    return b;
}

Bytes wma_file(const std::string& title, const std::string& author,
               const std::vector<Descriptor>& descriptors, bool description_first, bool with_sdk)
{
    Bytes b = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
               0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    put32(b, 4000); // header size, low half
    put32(b, 0);
    put32(b, 5);
    put16(b, 0x0201);
    const Bytes t = utf16(title);
    const Bytes a = utf16(author);
    Bytes description = {0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                         0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    put32(description, static_cast<uint32_t>(34 + t.size() + a.size()));
    put32(description, 0);
    put16(description, static_cast<unsigned>(t.size()));
    put16(description, static_cast<unsigned>(a.size()));
    put16(description, 0);
    put16(description, 0);
    put16(description, 0);
    append(description, t);
    append(description, a);
    if (!description_first) {
        // Some other object first: the description is then searched for.
        append(b, Bytes(40, 0x11));
    }
    append(b, description);
    Bytes format;
    put16(format, 0x0161);
    put16(format, 2);
    put32(format, 44100);
    put32(format, 16000);
    put16(format, 4);
    put16(format, 16);
    put16(format, 10); // extra size
    append(format, Bytes(10, 0));
    append(b, format);
    std::vector<Descriptor> list = descriptors;
    if (with_sdk) {
        list.insert(list.begin(), {"WMFSDKVersion", 0, utf16("9.00")});
    }
    append(b, descriptor_list(list));
    append(b, Bytes(64, 0));
    return b;
}
