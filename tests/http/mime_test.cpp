#include "http/mime.h"

#include <gtest/gtest.h>

namespace
{

TEST(Mime, TypesByExtensionIgnoringCase)
{
    const std::pair<const char*, const char*> rows[] = {
        {"song.MP3", "audio/mpeg"},
        {"song.ogg", "audio/ogg"},
        {"song.OPUS", "audio/opus"},
        {"README.txt", "text/xml; charset=\"UTF-8\""},
        {"index.HTM", "text/html; charset=UTF-8"},
        {"a.jpeg", "image/jpeg"},
        {"film.mpeg2", "video/mpeg2"},
        {"film.mp4", "video/mp4"},
        {"film.MKV", "video/x-matroska"},
        {"clip.webm", "video/webm"},
        {"tv.m2ts", "video/mp2t"},
        {"book.m4b", "audio/mp4"},
        {"raw.aac", "audio/aac"},
        {"x.aiff", "audio/x-aiff"},
        {"mp3", "audio/mpeg"},
        {".mp3", "application/octet-stream"},
        {"archive.tar.flac", "audio/flac"},
        {"", "application/octet-stream"},
    };
    for (const auto& [name, type] : rows) {
        EXPECT_STREQ(mime_type_for(name), type) << name;
    }
}

TEST(Mime, ExtensionSearchStopsAtSecondCharacter)
{
    EXPECT_EQ(file_extension("a.b.wav"), "wav");
    EXPECT_EQ(file_extension(".hidden"), ".hidden");
    EXPECT_EQ(file_extension("x."), "");
    EXPECT_EQ(file_extension("noext"), "noext");
}

} // namespace
