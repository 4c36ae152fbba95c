// The readers on files written by tools this project did not write: ID3
// tags by mutagen (versions 2.3 and 2.4, every text encoding, large covers),
// MP3 and WMA files by ffmpeg, EXIF by exiftool. What the readers give is
// compared with what the same tools read back. A test whose tool is missing
// is skipped.
#include "mp3_writer.h"
#include "scan/mp3_reader.h"
#include "scan/picture_reader.h"
#include "scan/wma_reader.h"
#include "support/temp_dir.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace
{

constexpr const char* kPython = "/usr/bin/python3";

const std::vector<std::string> kTitles = {
    "Caf\u00e9 Cr\u00e8me",           "Beyonc\u00e9", "\u0414\u043e\u0440\u043e\u0433\u0430",
    "\u0395\u03bb\u03ad\u03bd\u03b7", "\u6771\u4eac", "\U0001F3B5 Emoji"};

bool has_command(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// What the command writes to its standard output; nothing when it fails.
std::optional<std::string> output_of(const std::string& command)
{
    FILE* p = popen(command.c_str(), "r");
    if (!p) {
        return std::nullopt;
    }
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) {
        out.append(buffer, n);
    }
    return pclose(p) == 0 ? std::optional(out) : std::nullopt;
}

// Single quotes for the shell.
std::string quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// Lines of tab-separated fields.
std::vector<std::vector<std::string>> rows_of(const std::string& text)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
            fields.push_back(line.substr(start, tab - start));
        }
        fields.push_back(line.substr(start));
        rows.push_back(std::move(fields));
    }
    return rows;
}

// Seconds of a "H:MM:SS.mmm" duration.
double seconds_of(const std::optional<std::string>& duration)
{
    long h = 0, m = 0, s = 0, ms = 0;
    if (!duration || sscanf(duration->c_str(), "%ld:%ld:%ld.%ld", &h, &m, &s, &ms) != 4) {
        return -1;
    }
    return static_cast<double>(h * 3600 + m * 60 + s) + static_cast<double>(ms) / 1000.0;
}

// Tags copies of an MP3 file with mutagen, one per version, encoding, title
// and cover size, then reads every copy back with mutagen: one line per file
// with its path, title, artist, album, genre, track and year.
constexpr const char* kMutagenScript = R"(
import sys, os, shutil
from mutagen.id3 import ID3, TIT2, TPE1, TALB, TCON, TRCK, TDRC, APIC, COMM
base, out = sys.argv[1], sys.argv[2]
titles = [t for t in sys.argv[3:]]
n = 0
for version in (3, 4):
    for encoding in (0, 1, 2, 3):
        for title in titles:
            if encoding == 0:
                try:
                    title.encode('latin-1')
                except UnicodeEncodeError:
                    continue
            n += 1
            path = os.path.join(out, '%d.mp3' % n)
            shutil.copy(base, path)
            tag = ID3()
            cover = 100000 + (n * 37000) % 950000
            tag.add(COMM(encoding=encoding, lang='eng', desc='', text='c' * 300))
            tag.add(APIC(encoding=encoding, mime='image/jpeg', type=3, desc='cover',
                         data=b'\xff\xd8\xff\xe0' + bytes(cover)))
            tag.add(TIT2(encoding=encoding, text=title))
            tag.add(TPE1(encoding=encoding, text=title + ' artist'))
            tag.add(TALB(encoding=encoding, text='Album ' + title))
            tag.add(TCON(encoding=encoding, text=['(13)', 'Rock', '(RX)', '17'][n % 4]))
            tag.add(TRCK(encoding=encoding, text='%d/20' % (n % 20 + 1)))
            tag.add(TDRC(encoding=encoding, text='%d-05-06' % (1960 + n)))
            tag.save(path, v2_version=version)
for n in range(1, n + 1):
    path = os.path.join(out, '%d.mp3' % n)
    tag = ID3(path)
    print('\t'.join([path, str(tag['TIT2']), str(tag['TPE1']), str(tag['TALB']),
                     tag['TCON'].genres[0], str(tag['TRCK']).split('/')[0],
                     str(tag['TDRC'])[:4]]))
)";

TEST(ToolFiles, MutagenTagsOfEveryVersionEncodingAndCover)
{
    if (!has_command(std::string(kPython) + " -c 'import mutagen'")) {
        GTEST_SKIP() << "python3-mutagen is not installed";
    }
    const TempDir dir;
    const std::string script = dir.file("tag.py");
    write_text_file(script, kMutagenScript);
    const std::string base = dir.file("base.mp3");
    ASSERT_TRUE(write_bytes(base, mpeg_frames(40)));
    std::string command = std::string(kPython) + " " + script + " " + base + " " + dir.path;
    for (const std::string& title : kTitles) {
        command += " " + quoted(title);
    }
    const std::optional<std::string> listing = output_of(command);
    ASSERT_TRUE(listing) << command;
    const auto rows = rows_of(*listing);
    ASSERT_GE(rows.size(), 40u);
    const std::optional<std::string> untagged = mp3_read_tags(base.c_str()).duration;
    ASSERT_TRUE(untagged);
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 7u);
        const Mp3Tags t = mp3_read_tags(row[0].c_str());
        EXPECT_EQ(t.title.value_or("-"), row[1]) << row[0];
        EXPECT_EQ(t.artist.value_or("-"), row[2]) << row[0];
        EXPECT_EQ(t.album.value_or("-"), row[3]) << row[0];
        EXPECT_EQ(t.genre.value_or("-"), row[4]) << row[0];
        EXPECT_EQ(std::to_string(t.track), row[5]) << row[0];
        EXPECT_EQ(t.date.value_or("-"), row[6] + "-01-01") << row[0];
        EXPECT_GT(t.album_art, 0) << row[0];
        EXPECT_EQ(t.duration, untagged) << "the frames after the tag, " << row[0];
        EXPECT_EQ(t.problem, "") << row[0];
    }
}

// The duration ffprobe gives for a file, in seconds; negative when unknown.
double ffprobe_seconds(const std::string& path)
{
    const std::optional<std::string> out = output_of(
        "ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 " + quoted(path));
    return out ? atof(out->c_str()) : -1;
}

TEST(ToolFiles, FfmpegMp3DurationsAndTags)
{
    if (!has_command("ffmpeg -version") || !has_command("ffprobe -version")) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    struct Kind {
        int rate;
        int channels;
        const char* quality; // a bitrate, or a VBR quality
        const char* id3;     // the ID3v2 version ffmpeg writes
    };
    const Kind kinds[] = {
        {44100, 2, "-b:a 128k", "4"}, {44100, 1, "-b:a 32k", "3"}, {22050, 1, "-b:a 32k", "4"},
        {22050, 2, "-b:a 64k", "3"},  {16000, 2, "-b:a 32k", "4"}, {11025, 1, "-b:a 16k", "4"},
        {44100, 2, "-q:a 4", "4"},    {22050, 1, "-q:a 4", "3"},   {16000, 1, "-q:a 4", "4"},
    };
    const TempDir dir;
    int n = 0;
    for (const Kind& k : kinds) {
        const std::string title = kTitles[static_cast<size_t>(n) % kTitles.size()];
        const std::string path = dir.file(std::to_string(++n) + ".mp3");
        const std::string command =
            "ffmpeg -hide_banner -loglevel error -y -f lavfi -i sine=frequency=440:duration=7 -ar " +
            std::to_string(k.rate) + " -ac " + std::to_string(k.channels) + " " + k.quality +
            " -id3v2_version " + k.id3 + " -metadata title=" + quoted(title) +
            " -metadata artist=" + quoted(title) + " -metadata date=2021 " + quoted(path);
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const Mp3Tags t = mp3_read_tags(path.c_str());
        const double expected = ffprobe_seconds(path);
        EXPECT_NEAR(seconds_of(t.duration), expected, 0.1) << command;
        EXPECT_EQ(t.title.value_or("-"), title) << command;
        EXPECT_EQ(t.artist.value_or("-"), title) << command;
        EXPECT_EQ(t.date.value_or("-"), "2021-01-01") << command;
    }
}

TEST(ToolFiles, FfmpegWmaDurationAndTags)
{
    if (!has_command("ffmpeg -version") || !has_command("ffprobe -version")) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    const TempDir dir;
    int n = 0;
    for (int seconds : {7, 95}) {
        const std::string title = kTitles[static_cast<size_t>(n) * 2 + 2];
        const std::string path = dir.file(std::to_string(++n) + ".wma");
        const std::string command =
            "ffmpeg -hide_banner -loglevel error -y -f lavfi -i sine=frequency=440:duration=" +
            std::to_string(seconds) + " -c:a wmav2 -b:a 64k -metadata title=" + quoted(title) +
            " -metadata artist=" + quoted(kTitles[1]) + " -metadata album=" + quoted(kTitles[5]) +
            " " + quoted(path);
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const MusicTags t = wma_read_header(path.c_str());
        EXPECT_NEAR(seconds_of(t.duration), ffprobe_seconds(path), 0.1) << command;
        EXPECT_EQ(t.title.value_or("-"), title);
        EXPECT_EQ(t.artist.value_or("-"), kTitles[1]);
        EXPECT_EQ(t.album.value_or("-"), kTitles[5]);
    }
}

TEST(ToolFiles, ExiftoolDatesAndDescriptions)
{
    if (!has_command("exiftool -ver") || !has_command("ffmpeg -version")) {
        GTEST_SKIP() << "exiftool or ffmpeg is not installed";
    }
    const TempDir dir;
    struct Photo {
        const char* taken;    // DateTimeOriginal, or empty
        const char* modified; // DateTime, or empty
        std::string description;
    };
    const Photo photos[] = {
        {"2019:08:15 14:30:00", "", "Plage \u00e0 Nice"},
        {"2020:01:02 03:04:05", "2023:06:07 08:09:10", kTitles[2]},
        {"", "2018:12:24 18:00:00", kTitles[4]},
    };
    int n = 0;
    for (const Photo& p : photos) {
        const std::string path = dir.file(std::to_string(++n) + ".jpg");
        std::string command =
            "ffmpeg -hide_banner -loglevel error -y -f lavfi -i color=c=blue:s=64x48 "
            "-frames:v 1 " +
            quoted(path) +
            " && exiftool -q -overwrite_original -ImageDescription=" + quoted(p.description);
        if (*p.taken) {
            command += " -DateTimeOriginal=" + quoted(p.taken);
        }
        if (*p.modified) {
            command += " -ModifyDate=" + quoted(p.modified);
        }
        command += " " + quoted(path);
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const std::optional<std::string> read = output_of(
            "exiftool -s3 -d %Y-%m-%d -DateTimeOriginal -ModifyDate -ImageDescription -T " +
            quoted(path));
        ASSERT_TRUE(read);
        const auto rows = rows_of(*read);
        ASSERT_EQ(rows.size(), 1u);
        ASSERT_EQ(rows[0].size(), 3u);
        const std::string expected_date = rows[0][0] != "-" ? rows[0][0] : rows[0][1];
        const PictureInfo info = get_picture_info(path.c_str());
        EXPECT_EQ(info.date.value_or("-"), expected_date) << path;
        EXPECT_EQ(info.description.value_or("-"), rows[0][2]) << path;
        EXPECT_EQ(info.description.value_or("-"), p.description) << path;
        EXPECT_EQ(info.width, 64u);
        EXPECT_EQ(info.height, 48u);
    }
}

} // namespace
