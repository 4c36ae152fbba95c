#include "mp3_writer.h"

#include <cstdio>
#include <cstring>

namespace
{

void put_synchsafe(Bytes& out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>((v >> 21) & 0x7f));
    out.push_back(static_cast<uint8_t>((v >> 14) & 0x7f));
    out.push_back(static_cast<uint8_t>((v >> 7) & 0x7f));
    out.push_back(static_cast<uint8_t>(v & 0x7f));
}

void put_big_endian(Bytes& out, uint32_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

} // namespace

Bytes id3_latin1(const std::string& text)
{
    Bytes b = {0};
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

Bytes id3_utf16(const std::u16string& text, bool little_endian)
{
    Bytes b = {1};
    b.push_back(little_endian ? 0xff : 0xfe);
    b.push_back(little_endian ? 0xfe : 0xff);
    for (char16_t c : text) {
        const auto hi = static_cast<uint8_t>(c >> 8);
        const auto lo = static_cast<uint8_t>(c & 0xff);
        b.push_back(little_endian ? lo : hi);
        b.push_back(little_endian ? hi : lo);
    }
    return b;
}

Bytes id3v2_tag(const std::vector<Id3Frame>& frames, const Id3v2Options& o)
{
    Bytes body;
    if (o.extended_header) {
        if (o.major == 4) {
            put_synchsafe(body, 6); // the size counts itself in 2.4
            body.push_back(1);
            body.push_back(0);
        } else {
            put_big_endian(body, 6, 4); // and leaves itself out in 2.3
            body.insert(body.end(), 6, 0);
        }
    }
    for (const Id3Frame& f : frames) {
        body.insert(body.end(), f.id.begin(), f.id.end());
        if (o.major == 2) {
            put_big_endian(body, static_cast<uint32_t>(f.data.size()), 3);
        } else {
            put_big_endian(body, static_cast<uint32_t>(f.data.size()), 4);
            body.push_back(0);
            body.push_back(0);
        }
        body.insert(body.end(), f.data.begin(), f.data.end());
    }
    body.insert(body.end(), o.padding, 0);
    Bytes tag = {'I', 'D',
                 '3', static_cast<uint8_t>(o.major),
                 0,   static_cast<uint8_t>(o.extended_header ? 0x40 : 0)};
    put_synchsafe(tag, o.declared_size >= 0 ? static_cast<uint32_t>(o.declared_size)
                                            : static_cast<uint32_t>(body.size()));
    tag.insert(tag.end(), body.begin(), body.end());
    return tag;
}

Bytes id3v1_tag(const std::string& title, const std::string& artist, const std::string& album,
                const std::string& year, int track, int genre)
{
    Bytes t(128, 0);
    memcpy(t.data(), "TAG", 3);
    auto put = [&](size_t at, const std::string& s, size_t n) {
        memcpy(t.data() + at, s.data(), std::min(n, s.size()));
    };
    put(3, title, 30);
    put(33, artist, 30);
    put(63, album, 30);
    put(93, year, 4);
    t[126] = static_cast<uint8_t>(track);
    t[127] = static_cast<uint8_t>(genre);
    return t;
}

Bytes mpeg_frames(int count, uint32_t xing_frames)
{
    Bytes out;
    out.reserve(static_cast<size_t>(count) * kMpegFrameBytes);
    for (int i = 0; i < count; ++i) {
        const size_t at = out.size();
        out.insert(out.end(), kMpegHeader, kMpegHeader + 4);
        out.resize(at + kMpegFrameBytes, 0);
        if (i == 0 && xing_frames > 0) {
            // After the header and 32 bytes of side information (stereo).
            uint8_t* x = out.data() + at + 36;
            memcpy(x, "Xing", 4);
            x[7] = 1; // flags: frame count present
            x[8] = static_cast<uint8_t>(xing_frames >> 24);
            x[9] = static_cast<uint8_t>(xing_frames >> 16);
            x[10] = static_cast<uint8_t>(xing_frames >> 8);
            x[11] = static_cast<uint8_t>(xing_frames);
        }
    }
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

bool write_bytes(const std::string& path, const Bytes& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}
