#include "core/file_type_table.h"

#include "core/text_util.h"

namespace
{

using enum FileReader;
using P = DlnaProfileSet;
constexpr char M = 'M', Pic = 'P', V = 'V';

// The original rows first, in the order the scanner has always tried them;
// later formats follow. "m3u8" is an m3u in UTF-8 (the m3u reader tells them
// apart by the extension); an ".aac" file is a bare ADTS stream, no MP4 file,
// but the MP4 reader knows it. The last rows are served by type but never
// scanned.
constexpr FileTypeRow kRows[] = {
    {"mp3", M, Mp3, ArtFinder::Mp3, "audio/mpeg", P::Mp3},
    {"wav", M, Wav, ArtFinder::None, "audio/wav", P::None},
    {"m4a", M, Mp4, ArtFinder::Mp4, "audio/mp4", P::Aac},
    {"pcm", M, Wav, ArtFinder::None, nullptr, P::None},
    {"lpcm", M, Wav, ArtFinder::None, "audio/L16", P::Lpcm},
    {"wma", M, Wma, ArtFinder::Wma, "audio/x-ms-wma", P::None},
    {"m3u", M, M3u, ArtFinder::None, "audio/x-mpegurl", P::None},
    {"m3u8", M, M3u, ArtFinder::None, nullptr, P::None},
    {"wpl", M, Wpl, ArtFinder::None, nullptr, P::None},
    {"pls", M, Pls, ArtFinder::None, nullptr, P::None},
    {"jpg", Pic, Picture, ArtFinder::None, "image/jpeg", P::Jpeg},
    {"jpeg", Pic, Picture, ArtFinder::None, "image/jpeg", P::Jpeg},
    {"avi", V, Video, ArtFinder::None, "video/x-msvideo", P::None},
    {"mpg", V, Video, ArtFinder::None, "video/mpeg", P::None},
    {"mp4", V, Mp4Video, ArtFinder::Mp4, "video/mp4", P::None},
    {"wmv", V, Video, ArtFinder::None, "video/x-ms-wmv", P::None},
    {"vob", V, Video, ArtFinder::None, "video/dvd", P::None},
    {"mpeg2", V, Video, ArtFinder::None, "video/mpeg2", P::None},
    {"mpeg", V, Video, ArtFinder::None, "video/mpeg2", P::None},
    {"flac", M, Flac, ArtFinder::Flac, "audio/flac", P::None},
    {"ogg", M, Ogg, ArtFinder::Ogg, "audio/ogg", P::None},
    {"oga", M, Ogg, ArtFinder::Ogg, "audio/ogg", P::None},
    {"opus", M, Ogg, ArtFinder::Ogg, "audio/opus", P::None},
    {"m4b", M, Mp4, ArtFinder::Mp4, "audio/mp4", P::Aac},
    {"aac", M, Mp4, ArtFinder::None, "audio/aac", P::None},
    {"png", Pic, Picture, ArtFinder::None, "image/png", P::None},
    {"mkv", V, Mkv, ArtFinder::None, "video/x-matroska", P::None},
    {"webm", V, Mkv, ArtFinder::None, "video/webm", P::None},
    {"m4v", V, Mp4Video, ArtFinder::Mp4, "video/mp4", P::None},
    {"mov", V, Mp4Video, ArtFinder::Mp4, "video/quicktime", P::None},
    {"ts", V, Video, ArtFinder::None, "video/mp2t", P::None},
    {"m2ts", V, Video, ArtFinder::None, "video/mp2t", P::None},
    {"gif", 0, None, ArtFinder::None, "image/gif", P::None},
    {"yuv", 0, None, ArtFinder::None, "image/x-ycbcr-yuv420", P::None},
    {"aif", 0, None, ArtFinder::None, "audio/x-aiff", P::None},
    {"aiff", 0, None, ArtFinder::None, "audio/x-aiff", P::None},
};

} // namespace

std::span<const FileTypeRow> file_type_rows()
{
    return kRows;
}

const FileTypeRow* file_type_for(std::string_view extension)
{
    for (const FileTypeRow& row : kRows) {
        if (equal_nocase(extension, row.extension)) {
            return &row;
        }
    }
    return nullptr;
}

bool file_type_is_playlist(const FileTypeRow& row)
{
    return row.reader == M3u || row.reader == Wpl || row.reader == Pls;
}
