// End to end: the real plenwick program scanning a generated library of MP3
// files over loopback. Reports the time from start until the first scan is
// complete, the time of a rescan that finds nothing changed, the time until
// the tree is complete after a restart with the persistence file, and the
// resident memory after the scan.
//
// Then it streams a large file from the program and from nginx serving the
// same file on loopback, and compares them.
//
// Usage: scan_bench [files] [program] [stream MiB]   (default 10000 files,
// the plenwick program beside the bench directory, 1024 MiB)
//        scan_bench [files] [program] --scan-only     (default 100000 files)
//        scan_bench [files] [program] --mixed         (default 10000 files)
//
// The library is made in the temporary directory, deterministically: real
// MPEG-1 Layer III frames with ID3v2 and ID3v1 tags, at a constant bitrate
// and every tenth file with a Xing header, laid out as Artist/Album/NN -
// Title.mp3. Titles, artists and albums mix Latin, Greek, Cyrillic, CJK and
// emoji: every fifth file has an ID3v2.3 tag in UTF-16, two in five an
// ID3v2.4 tag in UTF-8 and the rest an ID3v2.3 tag in Latin-1 (with Latin
// text only), so file and directory names are UTF-8 too.
//
// With --scan-only the library holds small files only (MP3s of two frames,
// every tenth file a 16 x 16 JPEG with an EXIF date), made quickly for
// libraries of 100 000 files and more, and only the scan, the memory, the
// rescan and the restart are measured.
//
// With --mixed the library holds the same tags in turn in MP3, FLAC, Ogg
// Vorbis, Opus and M4A files, and everything but the streaming is measured.
#include "delivery/picture_encode.h"
#include "mp3_writer.h"
#include "stream_measure.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Words of several scripts; the first kLatinWords are Latin-1 text, and so
// are the first eight names.
constexpr const char* kWords[] = {"Café",   "Mélodie", "Straße", "Ωδή",  "Θάλασσα", "Привет",
                                  "Звезда", "東京",    "夜の歌", "사랑", "🎉 Fête",  "Ночь 🌙"};
constexpr int kWordCount = static_cast<int>(std::size(kWords));
constexpr int kLatinWords = 3;

constexpr const char* kFirst[] = {"Anna",   "Björn",  "Carla",   "Désirée", "Emil",   "Françoise",
                                  "Gustav", "Hélène", "Γιώργος", "Дмитрий", "さくら", "Zoë"};
constexpr int kFirstCount = static_cast<int>(std::size(kFirst));

// The code points of UTF-8 text that the program itself wrote (valid).
std::vector<char32_t> code_points(const std::string& text)
{
    std::vector<char32_t> out;
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const int extra = b < 0x80 ? 0 : b < 0xe0 ? 1 : b < 0xf0 ? 2 : 3;
        char32_t c = extra == 0 ? b : b & (0x3f >> extra);
        for (int k = 1; k <= extra; ++k) {
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
        }
        out.push_back(c);
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

Bytes frame_utf16(const std::string& text)
{
    std::u16string units;
    for (char32_t c : code_points(text)) {
        if (c >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xd800 + ((c - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xdc00 + ((c - 0x10000) & 0x3ff)));
        } else {
            units.push_back(static_cast<char16_t>(c));
        }
    }
    return id3_utf16(units, true);
}

// Only for text of Latin-1 characters.
Bytes frame_latin1(const std::string& text)
{
    std::string bytes;
    for (char32_t c : code_points(text)) {
        bytes.push_back(static_cast<char>(c));
    }
    return id3_latin1(bytes);
}

Bytes frame_utf8(const std::string& text)
{
    Bytes b;
    b.reserve(text.size() + 1);
    b.push_back(3);
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

struct Track {
    std::string dir;
    std::string file;
    Bytes tag; // the ID3v2 tag
    std::string title, artist, album;
    int track = 0;
};

// The tags of the i-th file. Every frame stays under 128 bytes, where the
// sizes of versions 2.3 and 2.4 are written alike.
Track make_track(const std::string& root, int i)
{
    Track t;
    const int album = i / 10;
    const int artist = album / 5;
    // One kind of tag for all the files of an artist: 0 is version 2.3 in
    // UTF-16, 1 and 2 are version 2.4 in UTF-8, else version 2.3 in Latin-1.
    const int kind = artist % 5;
    const bool latin1 = kind >= 3;
    const int words = latin1 ? kLatinWords : kWordCount;
    const int first = latin1 ? artist % 8 : artist % kFirstCount;
    t.artist = std::string(kFirst[first]) + " " + std::to_string(artist);
    t.album = std::string(kWords[album % words]) + " " + std::to_string(album);
    // One title in a hundred holds the word the search looks for.
    t.title =
        std::string(kWords[i % words]) + " " + std::to_string(i) + (i % 100 == 7 ? " Zephyr" : "");
    t.track = i % 10 + 1;
    t.dir = root + "/" + t.artist + "/" + t.album;
    char name[16];
    snprintf(name, sizeof name, "/%02d - ", t.track);
    t.file = t.dir + name + t.title + ".mp3";
    auto text = [&](const std::string& value) {
        return kind == 0 ? frame_utf16(value) : latin1 ? frame_latin1(value) : frame_utf8(value);
    };
    const std::string year = std::to_string(1960 + album % 60);
    std::vector<Id3Frame> frames = {
        {"TIT2", text(t.title)},
        {"TPE1", text(t.artist)},
        {"TALB", text(t.album)},
        {"TRCK", id3_latin1(std::to_string(t.track))},
        {kind == 1 || kind == 2 ? "TDRC" : "TYER", id3_latin1(year)},
        {"TCON", id3_latin1("(" + std::to_string(album % 80) + ")")},
    };
    t.tag = id3v2_tag(frames, {.major = kind == 1 || kind == 2 ? 4 : 3, .padding = 64});
    return t;
}

void make_corpus(const std::string& root, int count)
{
    for (int i = 0; i < count; ++i) {
        const Track t = make_track(root, i);
        fs::create_directories(t.dir);
        write_bytes(t.file, concat({t.tag, mpeg_frames(4, i % 10 == 0 ? 9000 : 0),
                                    id3v1_tag(t.title, t.artist, t.album, "1999", t.track, 17)}));
    }
}

// The mixed library: the same tags in the formats of today's collections,
// in turn MP3, FLAC, Ogg Vorbis, Opus and M4A. Each file holds what a
// reader looks at (headers, tags, the last page or the movie header) and a
// few kilobytes of stand-in audio, like the MP3s of four frames.
void put_le(Bytes& b, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        b.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void put_be(Bytes& b, uint64_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) {
        b.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void put_text(Bytes& b, const std::string& text)
{
    b.insert(b.end(), text.begin(), text.end());
}

constexpr int kMixedSeconds = 4;

// A Vorbis comment list, as FLAC, Vorbis and Opus all write it.
Bytes vorbis_comments(const Track& t, const std::string& year)
{
    const std::vector<std::string> fields = {
        "TITLE=" + t.title, "ARTIST=" + t.artist,
        "ALBUM=" + t.album, "TRACKNUMBER=" + std::to_string(t.track) + "/10",
        "DATE=" + year,     "GENRE=Jazz"};
    Bytes b;
    const std::string vendor = "scan_bench";
    put_le(b, vendor.size(), 4);
    put_text(b, vendor);
    put_le(b, fields.size(), 4);
    for (const std::string& f : fields) {
        put_le(b, f.size(), 4);
        put_text(b, f);
    }
    return b;
}

Bytes flac_file(const Track& t, const std::string& year)
{
    Bytes b;
    put_text(b, "fLaC");
    // STREAMINFO: block sizes, frame sizes unknown, 44.1 kHz, stereo, 16
    // bits, the total samples, no MD5.
    b.push_back(0);
    put_be(b, 34, 3);
    put_be(b, 4096, 2);
    put_be(b, 4096, 2);
    put_be(b, 0, 3);
    put_be(b, 0, 3);
    const uint64_t samples = 44100ull * kMixedSeconds;
    put_be(b, (44100ull << 44) | (1ull << 41) | (15ull << 36) | samples, 8);
    b.insert(b.end(), 16, 0);
    const Bytes comments = vorbis_comments(t, year);
    b.push_back(0x80 | 4);
    put_be(b, comments.size(), 3);
    b.insert(b.end(), comments.begin(), comments.end());
    b.push_back(0xff);
    b.push_back(0xf8);
    b.insert(b.end(), 1600, 0x55);
    return b;
}

uint32_t ogg_crc(const Bytes& page)
{
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k) {
                r = r & 0x80000000u ? (r << 1) ^ 0x04c11db7u : r << 1;
            }
            t[i] = r;
        }
        return t;
    }();
    uint32_t crc = 0;
    for (uint8_t byte : page) {
        crc = (crc << 8) ^ table[((crc >> 24) ^ byte) & 0xff];
    }
    return crc;
}

// One page holding whole packets of under 64 KiB in all.
void ogg_page(Bytes& out, const std::vector<Bytes>& packets, uint8_t flags, uint64_t granule,
              uint32_t sequence)
{
    Bytes page;
    put_text(page, "OggS");
    page.push_back(0);
    page.push_back(flags);
    put_le(page, granule, 8);
    put_le(page, 0x5ca4, 4);
    put_le(page, sequence, 4);
    put_le(page, 0, 4);
    Bytes lacing;
    for (const Bytes& p : packets) {
        lacing.insert(lacing.end(), p.size() / 255, 255);
        lacing.push_back(static_cast<uint8_t>(p.size() % 255));
    }
    page.push_back(static_cast<uint8_t>(lacing.size()));
    page.insert(page.end(), lacing.begin(), lacing.end());
    for (const Bytes& p : packets) {
        page.insert(page.end(), p.begin(), p.end());
    }
    const uint32_t crc = ogg_crc(page);
    for (int i = 0; i < 4; ++i) {
        page[22 + i] = static_cast<uint8_t>(crc >> (8 * i));
    }
    out.insert(out.end(), page.begin(), page.end());
}

Bytes ogg_file(const Track& t, const std::string& year, bool opus)
{
    Bytes head, tags;
    uint64_t last_granule;
    if (opus) {
        put_text(head, "OpusHead");
        head.push_back(1);
        head.push_back(2);
        put_le(head, 312, 2);
        put_le(head, 44100, 4);
        put_le(head, 0, 2);
        head.push_back(0);
        put_text(tags, "OpusTags");
        const Bytes c = vorbis_comments(t, year);
        tags.insert(tags.end(), c.begin(), c.end());
        last_granule = 48000ull * kMixedSeconds + 312;
    } else {
        head.push_back(1);
        put_text(head, "vorbis");
        put_le(head, 0, 4);
        head.push_back(2);
        put_le(head, 44100, 4);
        put_le(head, 0, 4);
        put_le(head, 128000, 4);
        put_le(head, 0, 4);
        head.push_back(0xb8);
        head.push_back(1);
        tags.push_back(3);
        put_text(tags, "vorbis");
        const Bytes c = vorbis_comments(t, year);
        tags.insert(tags.end(), c.begin(), c.end());
        tags.push_back(1);
        last_granule = 44100ull * kMixedSeconds;
    }
    Bytes out;
    ogg_page(out, {head}, 0x02, 0, 0);
    // Vorbis puts its setup header (here a stand-in) beside the comments.
    Bytes setup = {5, 'v', 'o', 'r', 'b', 'i', 's'};
    setup.insert(setup.end(), 600, 0x42);
    ogg_page(out, opus ? std::vector<Bytes>{tags} : std::vector<Bytes>{tags, setup}, 0, 0, 1);
    ogg_page(out, {Bytes(800, 0x33)}, 0, last_granule / 2, 2);
    ogg_page(out, {Bytes(800, 0x33)}, 0x04, last_granule, 3);
    return out;
}

// A box: its size, its four-character type and its body.
Bytes mp4_box(const char* type, std::initializer_list<Bytes> body)
{
    const Bytes inner = concat(body);
    Bytes b;
    put_be(b, inner.size() + 8, 4);
    put_text(b, type);
    b.insert(b.end(), inner.begin(), inner.end());
    return b;
}

Bytes mp4_text(const char* type, const std::string& text)
{
    Bytes data;
    put_be(data, 1, 4); // UTF-8
    put_be(data, 0, 4);
    put_text(data, text);
    return mp4_box(type, {mp4_box("data", {data})});
}

Bytes m4a_file(const Track& t, const std::string& year)
{
    Bytes ftyp;
    put_text(ftyp, "M4A ");
    put_be(ftyp, 0, 4);
    put_text(ftyp, "M4A isom");
    Bytes mvhd;
    put_be(mvhd, 0, 12); // version, flags and the two dates
    put_be(mvhd, 1000, 4);
    put_be(mvhd, 1000 * kMixedSeconds, 4);
    put_be(mvhd, 0x00010000, 4);
    put_be(mvhd, 0x0100, 2);
    mvhd.insert(mvhd.end(), 10, 0);
    for (uint32_t m : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u}) {
        put_be(mvhd, m, 4);
    }
    mvhd.insert(mvhd.end(), 24, 0);
    put_be(mvhd, 2, 4);
    Bytes tkhd;
    put_be(tkhd, 7, 4); // version 0, enabled and in the movie
    put_be(tkhd, 0, 8);
    put_be(tkhd, 1, 4);
    put_be(tkhd, 0, 4);
    put_be(tkhd, 1000 * kMixedSeconds, 4);
    tkhd.insert(tkhd.end(), 8, 0);
    put_be(tkhd, 0, 4);
    put_be(tkhd, 0x0100, 2);
    put_be(tkhd, 0, 2);
    for (uint32_t m : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u}) {
        put_be(tkhd, m, 4);
    }
    put_be(tkhd, 0, 8); // no picture
    Bytes mdhd;
    put_be(mdhd, 0, 12);
    put_be(mdhd, 44100, 4);
    put_be(mdhd, 44100 * kMixedSeconds, 4);
    put_be(mdhd, 0x55c4, 2); // undetermined language
    put_be(mdhd, 0, 2);
    Bytes hdlr;
    put_be(hdlr, 0, 8);
    put_text(hdlr, "soun");
    hdlr.insert(hdlr.end(), 13, 0);
    Bytes meta_hdlr;
    put_be(meta_hdlr, 0, 8);
    put_text(meta_hdlr, "mdir");
    put_text(meta_hdlr, "appl");
    meta_hdlr.insert(meta_hdlr.end(), 9, 0);
    Bytes trkn;
    put_be(trkn, 0, 8);
    put_be(trkn, 0, 2);
    put_be(trkn, static_cast<uint64_t>(t.track), 2);
    put_be(trkn, 10, 2);
    put_be(trkn, 0, 2);
    const Bytes ilst = mp4_box("ilst", {mp4_text("\xa9nam", t.title),
                                        mp4_text("\xa9"
                                                 "ART",
                                                 t.artist),
                                        mp4_text("\xa9"
                                                 "alb",
                                                 t.album),
                                        mp4_text("\xa9"
                                                 "day",
                                                 year),
                                        mp4_box("trkn", {mp4_box("data", {trkn})})});
    const Bytes meta = mp4_box("meta", {Bytes(4, 0), mp4_box("hdlr", {meta_hdlr}), ilst});
    const Bytes moov = mp4_box(
        "moov",
        {mp4_box("mvhd", {mvhd}),
         mp4_box("trak", {mp4_box("tkhd", {tkhd}),
                          mp4_box("mdia", {mp4_box("mdhd", {mdhd}), mp4_box("hdlr", {hdlr})})}),
         mp4_box("udta", {meta})});
    return concat({mp4_box("ftyp", {ftyp}), moov, mp4_box("mdat", {Bytes(1600, 0x21)})});
}

void make_mixed_corpus(const std::string& root, int count)
{
    static const char* const kSuffixes[] = {".mp3", ".flac", ".ogg", ".opus", ".m4a"};
    for (int i = 0; i < count; ++i) {
        const Track t = make_track(root, i);
        fs::create_directories(t.dir);
        const int kind = i % 5;
        const std::string year = std::to_string(1960 + i / 10 % 60);
        const std::string path =
            t.file.substr(0, t.file.size() - 4) + kSuffixes[kind]; // without ".mp3"
        write_bytes(path, kind == 0
                              ? concat({t.tag, mpeg_frames(4, i % 10 == 0 ? 9000 : 0),
                                        id3v1_tag(t.title, t.artist, t.album, "1999", t.track, 17)})
                          : kind == 1 ? flac_file(t, year)
                          : kind == 4 ? m4a_file(t, year)
                                      : ogg_file(t, year, kind == 3));
    }
}

// A 16 x 16 JPEG with an EXIF block whose only entry is DateTime: the JPEG
// encoded once, the block put behind its start marker for each picture.
Bytes small_jpeg(int day)
{
    static const Bytes body = [] {
        std::vector<uint8_t> out;
        const std::optional<RgbImage> image = rgb_image_new(16, 16, 128);
        if (!image || encode_jpeg(*image, out) == 0) {
            return Bytes();
        }
        return Bytes(out.begin(), out.end());
    }();
    if (body.size() < 2) {
        return {};
    }
    char date[24];
    snprintf(date, sizeof date, "20%02d:%02d:%02d 12:00:00", 10 + day % 15, day % 12 + 1,
             day % 28 + 1);
    // "Exif", the TIFF header (little-endian, IFD at 8), one IFD entry (tag
    // 0x0132, ASCII, 20 bytes at offset 26), no next IFD, the date.
    Bytes exif = {'E',  'x', 'i', 'f', 0,  0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
                  0x32, 1,   2,   0,   20, 0, 0,   0,   26, 0, 0, 0, 0, 0, 0, 0};
    exif.insert(exif.end(), date, date + 20);
    const size_t length = exif.size() + 2;
    Bytes out;
    out.reserve(4 + length + body.size());
    for (uint8_t b : {0xff, 0xd8, 0xff, 0xe1}) {
        out.push_back(b);
    }
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(length & 0xff));
    out.insert(out.end(), exif.begin(), exif.end());
    out.insert(out.end(), body.begin() + 2, body.end());
    return out;
}

// The small library: every tenth file a picture, the others MP3s of two
// frames.
bool make_small_corpus(const std::string& root, int count)
{
    std::string made_dir;
    for (int i = 0; i < count; ++i) {
        const Track t = make_track(root, i);
        if (t.dir != made_dir) {
            fs::create_directories(t.dir);
            made_dir = t.dir;
        }
        const bool ok = i % 10 == 9
                            ? write_bytes(t.dir + "/" + std::to_string(i) + ".jpg", small_jpeg(i))
                            : write_bytes(t.file, concat({t.tag, mpeg_frames(2, 0)}));
        if (!ok) {
            return false;
        }
    }
    return true;
}

struct Server {
    pid_t pid = -1;
    std::string out;
};

Server start(const std::string& program, const std::string& workdir,
             const std::vector<std::string>& args)
{
    Server s;
    s.out = workdir + "/stdout.txt";
    s.pid = fork();
    if (s.pid == 0) {
        if (chdir(workdir.c_str()) != 0) {
            _exit(127);
        }
        int fd = open(s.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> argv = {const_cast<char*>(program.c_str())};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return s;
}

std::string read_all(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int occurrences(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

// Waits until the server's output holds needle count times.
bool wait_for(const Server& s, const std::string& needle, int count, double timeout_s)
{
    const auto start = Clock::now();
    while (seconds_since(start) < timeout_s) {
        if (occurrences(read_all(s.out), needle) >= count) {
            return true;
        }
        usleep(2000);
    }
    return false;
}

long resident_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return atol(line.c_str() + 6);
        }
    }
    return 0;
}

// A keep-alive connection that posts SOAP actions.
struct SoapClient {
    explicit SoapClient(int port) : fd(connect_loopback(port))
    {
    }
    ~SoapClient()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
    // The answer body, or empty on failure.
    std::string call(const std::string& action, const std::string& arguments)
    {
        const std::string body = "<?xml version=\"1.0\"?><s:Envelope><s:Body><u:" + action + ">" +
                                 arguments + "</u:" + action + "></s:Body></s:Envelope>";
        const std::string request =
            "POST /ContentDirectory/Control HTTP/1.1\r\nHost: 127.0.0.1\r\nSOAPAction: "
            "\"urn:schemas-upnp-org:service:ContentDirectory:1#" +
            action + "\"\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            return {};
        }
        size_t end;
        while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
            if (!receive()) {
                return {};
            }
        }
        const size_t at = pending.find("Content-Length: ");
        const size_t length = std::strtoul(pending.c_str() + at + 16, nullptr, 10);
        while (pending.size() < end + 4 + length) {
            if (!receive()) {
                return {};
            }
        }
        std::string answer = pending.substr(end + 4, length);
        pending.erase(0, end + 4 + length);
        return answer;
    }
    bool receive()
    {
        char buf[65536];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            return false;
        }
        pending.append(buf, static_cast<size_t>(n));
        return true;
    }
    int fd = -1;
    std::string pending;
};

std::string browse_arguments(const std::string& id, const char* flag, int start, int count)
{
    return "<ObjectID>" + id + "</ObjectID><BrowseFlag>" + flag +
           "</BrowseFlag><Filter>*</Filter><StartingIndex>" + std::to_string(start) +
           "</StartingIndex><RequestedCount>" + std::to_string(count) +
           "</RequestedCount><SortCriteria></SortCriteria>";
}

// The id of the child container titled title, from a Browse answer.
std::string child_id(const std::string& answer, const std::string& title)
{
    std::smatch m;
    const std::regex re("&lt;container id=\"(\\d+)\"[^&]*&gt;&lt;dc:title&gt;" + title + "&lt;");
    return std::regex_search(answer, m, re) ? std::string(m[1]) : "";
}

double median_ms(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct RequestFigures {
    double browse_ms = 0;
    double browse_per_s = 0;
    double metadata_ms = 0;
    double search_ms = 0;
};

RequestFigures measure_requests(int port)
{
    RequestFigures f;
    SoapClient client(port);
    const std::string root =
        client.call("Browse", browse_arguments("0", "BrowseDirectChildren", 0, 0));
    const std::string music = child_id(root, "Music");
    const std::string all = child_id(
        client.call("Browse", browse_arguments(music, "BrowseDirectChildren", 0, 0)), "All Tracks");
    if (all.empty()) {
        fprintf(stderr, "All Tracks not found\n");
        return f;
    }
    std::vector<double> times;
    std::string item;
    for (int i = 0; i < 200; ++i) {
        const auto start = Clock::now();
        const std::string page = client.call(
            "Browse", browse_arguments(all, "BrowseDirectChildren", (i * 50) % 9950, 50));
        times.push_back(seconds_since(start) * 1000);
        if (item.empty()) {
            std::smatch m;
            if (std::regex_search(page, m, std::regex("&lt;item id=\"(\\d+)\""))) {
                item = m[1];
            }
        }
    }
    f.browse_ms = median_ms(times);

    // Eight clients paging at once for two seconds.
    std::atomic<long> done{0};
    std::atomic<bool> stop_clients{false};
    std::vector<std::thread> clients;
    const auto start = Clock::now();
    for (int c = 0; c < 8; ++c) {
        clients.emplace_back([&, c] {
            SoapClient mine(port);
            for (int i = c; !stop_clients; i += 8) {
                if (mine.call("Browse",
                              browse_arguments(all, "BrowseDirectChildren", (i * 50) % 9950, 50))
                        .empty()) {
                    break;
                }
                ++done;
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop_clients = true;
    for (std::thread& t : clients) {
        t.join();
    }
    f.browse_per_s = done / seconds_since(start);

    times.clear();
    for (int i = 0; i < 200; ++i) {
        const auto t0 = Clock::now();
        client.call("Browse", browse_arguments(item, "BrowseMetadata", 0, 0));
        times.push_back(seconds_since(t0) * 1000);
    }
    f.metadata_ms = median_ms(times);

    times.clear();
    for (int i = 0; i < 20; ++i) {
        const auto t0 = Clock::now();
        client.call("Search", "<ContainerID>0</ContainerID><SearchCriteria>dc:title contains "
                              "&quot;Zephyr&quot;</SearchCriteria><Filter>*</Filter>"
                              "<StartingIndex>0</StartingIndex><RequestedCount>50</RequestedCount>"
                              "<SortCriteria></SortCriteria>");
        times.push_back(seconds_since(t0) * 1000);
    }
    f.search_ms = median_ms(times);
    return f;
}

void stop(Server& s)
{
    kill(s.pid, SIGTERM);
    waitpid(s.pid, nullptr, 0);
}

struct StreamResult {
    StreamFigures ours;
    StreamFigures nginx;
};

// The program and nginx serve the same file; their rounds alternate so that
// both see the same noise of a shared machine.
std::optional<StreamResult> measure_streaming(const std::string& program, const std::string& root,
                                              int64_t bytes)
{
    const std::string dir = root + "/stream";
    const std::string work = root + "/stream-run";
    fs::create_directories(dir);
    fs::create_directories(work);
    if (!write_stream_file(dir + "/big.mp3", bytes)) {
        return std::nullopt;
    }
    Server server = start(program, work,
                          {"-ip", "127.0.0.1", "-radio", "0", "-contentdir", dir, "-dbfile",
                           work + "/stream.db", "-v", "5"});
    std::optional<Nginx> nginx;
    std::optional<StreamResult> result;
    if (wait_for(server, "DB scan on " + dir + " completed", 1, 120)) {
        std::smatch m;
        const std::string out = read_all(server.out);
        std::regex_search(out, m, std::regex("Server starting at 127\\.0\\.0\\.1:(\\d+)"));
        const int port = std::stoi(m[1]);
        const std::string m3u = http_body(port, "/m3u/0.m3u");
        std::smatch url;
        nginx = nginx_start(dir, work);
        if (nginx && std::regex_search(m3u, url, std::regex("/disk/[0-9]+\\.mp3"))) {
            StreamResult r;
            for (int round = 0; round < 3; ++round) {
                const StreamFigures a = measure_streams(port, url[0], bytes, 1, 200);
                const StreamFigures b = measure_streams(nginx->port, "/big.mp3", bytes, 1, 200);
                r.ours.one_mb_s = std::max(r.ours.one_mb_s, a.one_mb_s);
                r.ours.eight_mb_s = std::max(r.ours.eight_mb_s, a.eight_mb_s);
                r.nginx.one_mb_s = std::max(r.nginx.one_mb_s, b.one_mb_s);
                r.nginx.eight_mb_s = std::max(r.nginx.eight_mb_s, b.eight_mb_s);
                r.ours.range_ms += a.range_ms / 3;
                r.nginx.range_ms += b.range_ms / 3;
            }
            if (r.ours.one_mb_s > 0 && r.nginx.one_mb_s > 0) {
                result = r;
            }
        }
    }
    if (nginx) {
        nginx_stop(*nginx);
    }
    stop(server);
    return result;
}

} // namespace

// Removes the benchmark's directory however main ends.
struct RemovedAtExit {
    ~RemovedAtExit()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string path;
};

int main(int argc, char** argv)
{
    std::vector<std::string> positional;
    bool scan_only = false;
    bool mixed = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--scan-only") == 0) {
            scan_only = true;
        } else if (strcmp(argv[i], "--mixed") == 0) {
            mixed = true;
        } else {
            positional.emplace_back(argv[i]);
        }
    }
    const int count = positional.size() > 0 ? atoi(positional[0].c_str())
                      : scan_only           ? 100000
                                            : 10000;
    const int64_t stream_bytes = (positional.size() > 2 ? atoll(positional[2].c_str()) : 1024)
                                 << 20;
    // Absolute: the server runs in a directory of its own.
    const std::string program =
        fs::absolute(positional.size() > 1 ? fs::path(positional[1])
                                           : fs::path(argv[0]).parent_path() / ".." / "plenwick");
    const RemovedAtExit removed{fs::temp_directory_path() /
                                ("corvalenso-scan-bench-" + std::to_string(getpid()))};
    const std::string& root = removed.path;
    const std::string music = root + "/music";
    const std::string work = root + "/run";
    fs::create_directories(work);
    const auto making = Clock::now();
    if (scan_only) {
        if (!make_small_corpus(music, count)) {
            fprintf(stderr, "the library could not be written in %s\n", root.c_str());
            return 1;
        }
    } else if (mixed) {
        make_mixed_corpus(music, count);
    } else {
        make_corpus(music, count);
    }
    const double make_s = seconds_since(making);
    const std::string db = root + "/library.db";
    const std::vector<std::string> args = {"-ip", "127.0.0.1", "-radio", "0",  "-contentdir",
                                           music, "-dbfile",   db,       "-v", "5"};
    const std::string done = "DB scan on " + music + " completed";

    // The page cache holds the corpus now, as it would after a first look.
    auto started = Clock::now();
    Server first = start(program, work, args);
    if (!wait_for(first, done, 1, 300)) {
        fprintf(stderr, "the first scan did not complete\n%s", read_all(first.out).c_str());
        stop(first);
        return 1;
    }
    const double scan_s = seconds_since(started);
    const long rss_kib = resident_kib(first.pid);

    std::smatch m;
    const std::string out = read_all(first.out);
    std::regex_search(out, m, std::regex("Server starting at 127\\.0\\.0\\.1:(\\d+)"));
    const int port = std::stoi(m[1]);
    started = Clock::now();
    http_body(port, "/rescan");
    wait_for(first, done, 2, 300);
    const double rescan_s = seconds_since(started);

    const RequestFigures requests = scan_only ? RequestFigures{} : measure_requests(port);

    // The persistence file is written about five seconds after the scan.
    wait_for(first, "writing DB", 1, 120);
    for (const auto waiting = Clock::now(); !fs::exists(db) || fs::exists(db + ".tmp");) {
        if (seconds_since(waiting) > 120) {
            fprintf(stderr, "the persistence file was not written\n");
            stop(first);
            return 1;
        }
        usleep(10000);
    }
    stop(first);

    started = Clock::now();
    Server second = start(program, work, args);
    wait_for(second, "read on persistance DB completed!", 1, 300);
    const double restart_s = seconds_since(started);
    wait_for(second, done, 1, 300);
    const double restart_scan_s = seconds_since(started);
    stop(second);

    printf("first scan:         %.2f s for %d files (made in %.1f s)\n", scan_s, count, make_s);
    printf("unchanged rescan:   %.3f s\n", rescan_s);
    printf("restart:            tree complete after %.3f s (first scan after it done at %.2f s)\n",
           restart_s, restart_scan_s);
    printf("resident memory:    %.1f MiB after the scan\n", rss_kib / 1024.0);
    // The streaming measurement forks; its children must not print this again.
    fflush(stdout);
    if (scan_only) {
        printf("library: %d files, index %.2f s, %.1f MB, rescan %.3f s, restart %.3f s\n", count,
               scan_s, rss_kib / 1024.0, rescan_s, restart_s);
        return 0;
    }

    // The streams of the mixed library are the MP3 run's; only the scan and
    // the requests differ.
    const std::optional<StreamResult> streaming =
        mixed ? std::nullopt : measure_streaming(program, root, stream_bytes);

    printf("scan: %d files, %.0f files/s, rescan %.3f s, restart %.3f s, %.1f MB\n", count,
           count / scan_s, rescan_s, restart_s, rss_kib / 1024.0);
    printf("browse: %.3f ms, %.0f req/s at 8, metadata %.3f ms, search %.3f ms\n",
           requests.browse_ms, requests.browse_per_s, requests.metadata_ms, requests.search_ms);
    if (streaming) {
        const StreamFigures& a = streaming->ours;
        const StreamFigures& b = streaming->nginx;
        printf("one stream:         %.0f MB/s, nginx %.0f MB/s, ratio %.2f\n", a.one_mb_s,
               b.one_mb_s, a.one_mb_s / b.one_mb_s);
        printf("eight streams:      %.0f MB/s, nginx %.0f MB/s, ratio %.2f\n", a.eight_mb_s,
               b.eight_mb_s, a.eight_mb_s / b.eight_mb_s);
        printf("1000-byte range:    %.3f ms, nginx %.3f ms, ratio %.2f\n", a.range_ms, b.range_ms,
               a.range_ms / b.range_ms);
        printf("stream: %.0f MB/s, nginx %.0f MB/s, ratio %.2f, range %.3f ms\n", a.one_mb_s,
               b.one_mb_s, std::min(a.one_mb_s / b.one_mb_s, a.eight_mb_s / b.eight_mb_s),
               a.range_ms);
    } else {
        printf("stream: not measured (%s)\n",
               mixed ? "the mixed library" : "nginx missing or a server failed");
    }
    return 0;
}
