#include "scan/file_types.h"

#include "core/edition.h"
#include "http/mime.h"
#include "scan/flac_reader.h"
#include "scan/mp3_reader.h"
#include "scan/mp4_reader.h"
#include "scan/ogg_reader.h"
#include "scan/playlist_readers.h"
#include "scan/wav_reader.h"
#include "scan/wma_reader.h"

#include <array>
#include <vector>

namespace
{

// The music readers are part of both programs; the readers of pictures and
// video are registered by the full edition, so that the music edition holds
// none of their code.
std::array<ScanReader, static_cast<size_t>(FileReader::Count)> g_readers = [] {
    std::array<ScanReader, static_cast<size_t>(FileReader::Count)> readers{};
    const auto set = [&](FileReader reader, ScanReader code) {
        readers[static_cast<size_t>(reader)] = code;
    };
    set(FileReader::Mp3, mp3_add);
    set(FileReader::Wav, wav_add);
    set(FileReader::Mp4, mp4_add);
    set(FileReader::Wma, wma_add);
    set(FileReader::M3u, m3u_read);
    set(FileReader::Wpl, wpl_read);
    set(FileReader::Pls, pls_read);
    set(FileReader::Flac, flac_add);
    set(FileReader::Ogg, ogg_add);
    return readers;
}();

std::vector<FileTypeRow> rows_of(bool music_only)
{
    std::vector<FileTypeRow> rows;
    for (const FileTypeRow& row : file_type_rows()) {
        if (row.kind == 'M' || (row.kind != 0 && !music_only)) {
            rows.push_back(row);
        }
    }
    return rows;
}

} // namespace

std::span<const FileTypeRow> scan_file_types()
{
    static const std::vector<FileTypeRow> full = rows_of(false);
    static const std::vector<FileTypeRow> music = rows_of(true);
    return edition_music_only() ? music : full;
}

ScanReader scan_reader(FileReader reader)
{
    return g_readers[static_cast<size_t>(reader)];
}

void scan_register_reader(FileReader reader, ScanReader code)
{
    g_readers[static_cast<size_t>(reader)] = code;
}

const FileTypeRow* scan_file_type(std::string_view file_name)
{
    const FileTypeRow* row = file_type_for(scan_extension(file_name));
    if (!row || row->kind == 0 || (row->kind != 'M' && edition_music_only())) {
        return nullptr;
    }
    return row;
}

bool scan_is_music_track_name(std::string_view name)
{
    name = name.substr(0, name.find('?'));
    const FileTypeRow* row = scan_file_type(name.substr(name.rfind('/') + 1));
    return row && row->kind == 'M' && !file_type_is_playlist(*row);
}

std::string_view scan_extension(std::string_view file_name)
{
    return file_extension(file_name);
}
