#include "scan/wma_reader.h"

#include "core/utf8.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr uint8_t kAsfHeaderStart[4] = {0x30, 0x26, 0xB2, 0x75};
constexpr size_t kWmaMinimum = 50;

uint32_t u32(const uint8_t* data, size_t at)
{
    return static_cast<uint32_t>(data[at]) | static_cast<uint32_t>(data[at + 1]) << 8 |
           static_cast<uint32_t>(data[at + 2]) << 16 | static_cast<uint32_t>(data[at + 3]) << 24;
}

// The GUID of the file properties object, as stored.
constexpr uint8_t kFilePropertiesGuid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                             0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
// Without a file properties object, the time a player waits before the
// first sample is taken as this.
constexpr int64_t kDefaultPrerollMs = 2000;

uint64_t u64(const uint8_t* data, size_t at)
{
    return static_cast<uint64_t>(u32(data, at)) | static_cast<uint64_t>(u32(data, at + 4)) << 32;
}

// A UTF-16LE text as UTF-8, up to its terminator.
std::string narrow(const uint8_t* text, size_t length)
{
    return utf8_from_utf16(std::string_view(reinterpret_cast<const char*>(text), length), false,
                           false);
}

// The decimal number of the ASCII digits among every second byte; -1 when
// there is none.
int64_t digits_of(const uint8_t* value, size_t length)
{
    int64_t number = -1;
    for (size_t i = 0; i < length; i += 2) {
        if (value[i] >= '0' && value[i] <= '9') {
            number = std::min<int64_t>((number < 0 ? 0 : number) * 10 + (value[i] - '0'), INT_MAX);
        }
    }
    return number;
}

int64_t number_of(const WmaDescriptor& d)
{
    if (d.type == 3 && d.length == 4) {
        return d.value[0];
    }
    return digits_of(d.value, d.length);
}

// For every position, the next position of the same parity that holds a
// zero byte (n when none): whether a UTF-16 text has a zero low byte before
// its end is then one comparison.
std::vector<uint32_t> next_zero_of_parity(const uint8_t* data, size_t n)
{
    std::vector<uint32_t> next(n + 2, static_cast<uint32_t>(n));
    for (size_t i = n; i-- > 0;) {
        next[i] = data[i] == 0 ? static_cast<uint32_t>(i) : next[i + 2];
    }
    return next;
}

// A UTF-16 string of the content description: empty, or ending in two zero
// bytes with no zero byte at an even distance from its start before them.
bool plausible_string(const uint8_t* data, const std::vector<uint32_t>& next_zero, size_t at,
                      size_t length)
{
    if (length == 0) {
        return true;
    }
    if (length < 2 || data[at + length - 2] != 0 || data[at + length - 1] != 0) {
        return false;
    }
    return next_zero[at] >= at + length - 2;
}

// The offset of the five lengths of the content description object, or
// SIZE_MAX when no offset fits.
size_t find_content_description(const uint8_t* data, size_t n)
{
    if (data[30] == 51 && data[31] == 38) {
        return 54;
    }
    const size_t limit = std::min<size_t>({wma_u16(data, 16), kWmaHeaderRead, n});
    if (limit < 10) {
        return SIZE_MAX;
    }
    const std::vector<uint32_t> next_zero = next_zero_of_parity(data, n);
    for (size_t p = 0; p < limit - 10; ++p) {
        size_t lengths[5];
        size_t total = p + 10;
        for (int k = 0; k < 5; ++k) {
            lengths[k] = wma_u16(data, p + 2 * static_cast<size_t>(k));
            total += lengths[k];
        }
        if (total > limit || lengths[0] == 0 || lengths[1] == 0) {
            continue;
        }
        size_t at = p + 10;
        bool all = true;
        for (int k = 0; k < 5 && all; ++k) {
            all = plausible_string(data, next_zero, at, lengths[k]);
            at += lengths[k];
        }
        if (all) {
            return p;
        }
    }
    return SIZE_MAX;
}

void read_content_description(const uint8_t* data, size_t n, MusicTags& t)
{
    const size_t p = find_content_description(data, n);
    if (p == SIZE_MAX || p + 10 > n) {
        return;
    }
    const size_t title_length = wma_u16(data, p);
    const size_t author_length = wma_u16(data, p + 2);
    // Right after the header the lengths are taken as they stand: they
    // must still lie within what was read.
    if (p + 10 + title_length + author_length > n) {
        return;
    }
    t.title = narrow(data + p + 10, title_length);
    t.artist = narrow(data + p + 10 + title_length, author_length);
}

// The play duration and preroll of the file properties object, in
// milliseconds; false when the object is not among the bytes read.
bool file_properties(const uint8_t* data, size_t n, int64_t& play_ms, int64_t& preroll_ms)
{
    const void* found = memmem(data, n, kFilePropertiesGuid, sizeof kFilePropertiesGuid);
    if (!found) {
        return false;
    }
    const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
    if (at + 88 > n) {
        return false;
    }
    // In units of 100 ns, the preroll in milliseconds; both within reason.
    play_ms = static_cast<int64_t>(std::min<uint64_t>(u64(data, at + 64) / 10000, INT32_MAX));
    preroll_ms = static_cast<int64_t>(std::min<uint64_t>(u64(data, at + 80), INT32_MAX));
    return true;
}

void set_duration(int64_t ms, MusicTags& t)
{
    if (ms <= 0) {
        return;
    }
    // Minutes are not folded into hours.
    char text[64];
    snprintf(text, sizeof text, "0:%02ld:%02ld.%03ld", static_cast<long>(ms / 60000),
             static_cast<long>(ms / 1000 % 60), static_cast<long>(ms % 1000));
    t.duration = text;
}

void read_playing_time(const uint8_t* data, size_t n, int64_t file_size, MusicTags& t)
{
    // The file's own play duration counts the preroll, the time before the
    // first sample that a player does not show.
    int64_t play_ms = 0;
    int64_t preroll_ms = kDefaultPrerollMs;
    if (file_properties(data, n, play_ms, preroll_ms) && play_ms > preroll_ms) {
        set_duration(play_ms - preroll_ms, t);
        return;
    }
    // Else from the size of the data and the byte rate of the first audio
    // format.
    for (size_t i = 4; i + 20 < n; ++i) {
        if (data[i] != 97 || data[i + 1] != 1 || wma_u16(data, i + 2) > 9 ||
            u32(data, i + 4) < 8000) {
            continue;
        }
        const int64_t per_second = u32(data, i + 8);
        const int64_t extra = wma_u16(data, i + 16);
        // Only the first audio format counts; one that claims no data rate
        // gives no time.
        if (per_second > 0) {
            const int64_t bytes = file_size - static_cast<int64_t>(i) - extra - 17;
            set_duration(bytes / per_second * 1000 - preroll_ms, t);
        }
        return;
    }
}

// Where the extended content descriptor list starts, or SIZE_MAX.
size_t find_descriptor_list(const uint8_t* data, size_t n)
{
    const size_t sdk = wma_find_utf16(data, n, 4, "WMFSDK");
    if (sdk != SIZE_MAX) {
        return sdk - 4;
    }
    // No encoder descriptor: the first "WM/" name whose stored length
    // matches the distance to its terminator.
    // The terminator search is remembered between candidates, so that a
    // buffer of names without terminators costs one pass, not one per name.
    size_t terminator = 0;
    for (size_t at = 2; (at = wma_find_utf16(data, n, at, "WM/")) != SIZE_MAX; ++at) {
        if (terminator < at) {
            const void* pair = memmem(data + at, n - at, "\0\0", 2);
            if (!pair) {
                return SIZE_MAX;
            }
            terminator = static_cast<size_t>(static_cast<const uint8_t*>(pair) - data);
        }
        const size_t length = wma_u16(data, at - 2);
        if (at >= 4 && length >= 3 && terminator - at == length - 3) {
            return at - 4;
        }
    }
    return SIZE_MAX;
}

std::optional<std::string> year_date(int64_t year)
{
    if (year < 0 || year > 9999) {
        return std::nullopt;
    }
    if (year <= 99) {
        year += year > 49 ? 1900 : 2000;
    }
    char text[16];
    snprintf(text, sizeof text, "%04d-01-01", static_cast<int>(year));
    return text;
}

// A value found by name in the bytes before end, after a broken list: the
// last match wins.
std::optional<std::string> search_value(const uint8_t* data, size_t end, const char* name,
                                        size_t length_at)
{
    std::optional<std::string> found;
    for (size_t at = 0; (at = wma_find_utf16(data, end, at, name)) != SIZE_MAX; ++at) {
        if (at + length_at + 2 > end) {
            break;
        }
        const size_t length = wma_u16(data, at + length_at);
        if (at + length_at + 2 + length <= end) {
            found = narrow(data + at + length_at + 2, length);
        }
    }
    return found;
}

void read_descriptors(const uint8_t* data, size_t n, MusicTags& t)
{
    const size_t start = find_descriptor_list(data, n);
    if (start == SIZE_MAX) {
        return;
    }
    bool track_number = false;
    int64_t track_plus_one = -1;
    size_t position = 0;
    const WmaWalkEnd end =
        wma_walk_descriptors(data, n, start, position, [&](const WmaDescriptor& d) {
            const std::string_view name = d.name;
            if (name == "WM/AlbumTitle") {
                t.album = narrow(d.value, d.length);
            } else if (name == "WM/Genre") {
                t.genre = narrow(d.value, d.length);
            } else if (name == "WM/TrackNumber") {
                t.track = static_cast<int32_t>(std::max<int64_t>(number_of(d), 0));
                track_number = true;
            } else if (name == "WM/Track") {
                // Counted from 0.
                const int64_t number = number_of(d);
                track_plus_one = number < 0 ? -1 : number + 1;
            } else if (name == "WM/Picture") {
                t.album_art = 1;
            } else if (name == "WM/OriginalReleaseYear" || (name == "WM/Year" && !t.date)) {
                if (std::optional<std::string> date = year_date(digits_of(d.value, d.length))) {
                    t.date = date;
                }
            }
            return true;
        });
    if (!track_number && track_plus_one >= 1) {
        t.track = static_cast<int32_t>(std::min<int64_t>(track_plus_one, INT32_MAX));
    }
    if (end == WmaWalkEnd::Broken) {
        const size_t before = std::min(position, n);
        if (!t.album) {
            t.album = search_value(data, before, "WM/AlbumTitle", 30);
        }
        if (!t.genre) {
            t.genre = search_value(data, before, "WM/Genre", 20);
        }
    }
}

} // namespace

size_t wma_find_utf16(const uint8_t* data, size_t end, size_t from, const char* ascii)
{
    const size_t span = 2 * strlen(ascii) - 1;
    for (size_t i = from; i + span <= end; ++i) {
        const void* hit = memchr(data + i, ascii[0], end - span - i + 1);
        if (!hit) {
            return SIZE_MAX;
        }
        i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
        size_t k = 1;
        while (ascii[k] && data[i + 2 * k] == static_cast<uint8_t>(ascii[k])) {
            ++k;
        }
        if (!ascii[k]) {
            return i;
        }
    }
    return SIZE_MAX;
}

MusicTags wma_parse(const uint8_t* data, size_t n, int64_t file_size)
{
    MusicTags t;
    if (n < kWmaMinimum || memcmp(data, kAsfHeaderStart, 4) != 0) {
        return t;
    }
    read_content_description(data, n, t);
    read_playing_time(data, n, file_size, t);
    read_descriptors(data, n, t);
    return t;
}

MusicTags wma_read_header(const char* path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    std::vector<uint8_t> data(kWmaHeaderRead);
    size_t n = 0;
    while (n < data.size()) {
        const ssize_t got = read(fd, data.data() + n, data.size() - n);
        if (got <= 0) {
            break;
        }
        n += static_cast<size_t>(got);
    }
    struct stat st = {};
    const bool examined = fstat(fd, &st) == 0;
    close(fd);
    if (n < kWmaMinimum || !examined) {
        return {};
    }
    MusicTags t = wma_parse(data.data(), n, st.st_size);
    t.size = st.st_size;
    t.mtime = static_cast<int64_t>(st.st_mtime);
    return t;
}

int wma_add(const char* path, int compilation)
{
    return music_add(wma_read_header(path), path, compilation, "wma");
}
