#include "dlna/dlna_fields.h"

#include "control/clients.h"
#include "core/file_type_table.h"
#include "db/media_db.h"

#include <cstdio>

namespace
{

// DLNA.ORG_FLAGS (the first 32 of 128 bits, the rest zero): DLNA 1.5,
// connection stall and background transfer allowed, and the transfer mode
// the media calls for.
constexpr const char* kFlagsStreaming = "01700000000000000000000000000000";
constexpr const char* kFlagsInteractive = "00D00000000000000000000000000000";

bool starts_with(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

std::string_view bare_type(std::string_view mime)
{
    const size_t semicolon = mime.find(';');
    return semicolon == std::string_view::npos ? mime : mime.substr(0, semicolon);
}

// The profiles the server names, by the set a file type can carry, in the
// order GetProtocolInfo lists them. An audio profile is certain only for
// the audio format the scan found (0: any answer of the type carries it);
// a JPEG profile by the size of the picture sent: the two icon profiles are
// exact sizes, the others upper bounds, landscape as the profiles define
// them.
struct ProfileRow {
    DlnaProfileSet set;
    const char* name;
    int32_t audio_format = 0;
    int width = 0;
    int height = 0;
    bool exact = false;
};

constexpr ProfileRow kProfiles[] = {
    {DlnaProfileSet::Mp3, "MP3", kAudioFormatMp3},
    {DlnaProfileSet::Aac, "AAC_ISO_320", kAudioFormatAacLc},
    {DlnaProfileSet::Aac, "AAC_ISO", kAudioFormatAacLcHi},
    // Raw 16-bit samples at 44.1 or 48 kHz, one or two channels: what the
    // ".lpcm" files are by definition.
    {DlnaProfileSet::Lpcm, "LPCM"},
    {DlnaProfileSet::Jpeg, "JPEG_SM_ICO", 0, 48, 48, true},
    {DlnaProfileSet::Jpeg, "JPEG_LRG_ICO", 0, 120, 120, true},
    {DlnaProfileSet::Jpeg, "JPEG_TN", 0, 160, 160},
    {DlnaProfileSet::Jpeg, "JPEG_SM", 0, 640, 480},
    {DlnaProfileSet::Jpeg, "JPEG_MED", 0, 1024, 768},
    {DlnaProfileSet::Jpeg, "JPEG_LRG", 0, 4096, 4096},
};

// The parameters of the LPCM answers: the rates and channel counts the
// listing names ("audio/L16;rate=48000;channels=1").
constexpr int kLpcmRates[] = {44100, 48000};
constexpr int kLpcmChannels[] = {2, 1};

bool profile_fits(const ProfileRow& p, const DlnaResource& r)
{
    if (p.set == DlnaProfileSet::Jpeg) {
        if (r.width <= 0 || r.height <= 0) {
            return false;
        }
        return p.exact ? r.width == p.width && r.height == p.height
                       : r.width <= p.width && r.height <= p.height;
    }
    return p.audio_format == 0 || p.audio_format == r.audio_format;
}

// The profile set of a MIME type: that of the first file type sent with it.
DlnaProfileSet profile_set_of(std::string_view type)
{
    for (const FileTypeRow& row : file_type_rows()) {
        if (row.mime && type == row.mime) {
            return row.profiles;
        }
    }
    return DlnaProfileSet::None;
}

// The picture renditions by URL suffix; every other suffix is a JPEG.
struct Rendition {
    const char* suffix;
    const char* mime;
};

constexpr Rendition kRenditions[] = {
    // Raw RGB 5:6:5 pixels, named like the raw YCbCr frames.
    {".tini", "image/x-rgb565"},
    {".yuv", "image/x-ycbcr-yuv420"},
    {".pjpg", "image/pjpeg"},
};

void add_protocol(std::string& source, std::string_view mime, std::string_view fourth)
{
    const std::string entry = "http-get:*:" + std::string(mime) + ":" + std::string(fourth);
    if (source.find(entry + ",") == std::string::npos) {
        source += entry + ",";
    }
}

} // namespace

DlnaKind dlna_kind(std::string_view mime)
{
    const std::string_view type = bare_type(mime);
    if (type == "audio/x-mpegurl" || type == "audio/mpegurl") {
        return DlnaKind::Other; // a playlist, not a stream
    }
    if (starts_with(type, "audio/")) {
        return DlnaKind::Audio;
    }
    if (starts_with(type, "video/")) {
        return DlnaKind::Video;
    }
    if (starts_with(type, "image/")) {
        return DlnaKind::Picture;
    }
    return DlnaKind::Other;
}

const char* dlna_profile(const DlnaResource& r)
{
    const DlnaProfileSet set = profile_set_of(bare_type(r.mime));
    for (const ProfileRow& p : kProfiles) {
        if (p.set == set && set != DlnaProfileSet::None && profile_fits(p, r)) {
            return p.name;
        }
    }
    return nullptr;
}

std::string dlna_fourth_field(const DlnaResource& r)
{
    const DlnaKind kind = dlna_kind(r.mime);
    if (kind == DlnaKind::Other) {
        return "*";
    }
    std::string field;
    if (const char* profile = dlna_profile(r)) {
        field = std::string("DLNA.ORG_PN=") + profile + ";";
    }
    // A rendition is made anew for each request and answers no ranges; a
    // file answers byte ranges, and play-time ranges where the time maps to
    // bytes.
    if (!r.scaled) {
        field += r.time_seek ? "DLNA.ORG_OP=11;" : "DLNA.ORG_OP=01;";
    } else {
        field += "DLNA.ORG_CI=1;";
    }
    field += "DLNA.ORG_FLAGS=";
    field += kind == DlnaKind::Picture ? kFlagsInteractive : kFlagsStreaming;
    return field;
}

std::string dlna_source_protocols()
{
    // The profiles the server writes, then every type it sends: the
    // file-type table's, the picture renditions' and those some players are
    // sent instead. An LPCM answer always names its profile.
    static const std::string source = [] {
        std::string list;
        for (const ProfileRow& p : kProfiles) {
            const std::string field = std::string("DLNA.ORG_PN=") + p.name;
            if (p.set == DlnaProfileSet::Lpcm) {
                for (int rate : kLpcmRates) {
                    for (int channels : kLpcmChannels) {
                        add_protocol(list,
                                     "audio/L16;rate=" + std::to_string(rate) +
                                         ";channels=" + std::to_string(channels),
                                     field);
                    }
                }
                continue;
            }
            for (const FileTypeRow& row : file_type_rows()) {
                if (row.profiles == p.set) {
                    add_protocol(list, row.mime, field);
                }
            }
        }
        for (const FileTypeRow& row : file_type_rows()) {
            if (row.mime && row.profiles != DlnaProfileSet::Lpcm) {
                add_protocol(list, row.mime, "*");
            }
        }
        for (const Rendition& rendition : kRenditions) {
            add_protocol(list, rendition.mime, "*");
        }
        for (int type = 0; type < kClientTypeCount; ++type) {
            const MimeOverride& o = client_quirks(static_cast<ClientType>(type)).mime_override;
            if (o.mime) {
                add_protocol(list, o.mime, "*");
            }
        }
        list.pop_back();
        return list;
    }();
    return source;
}

const char* dlna_picture_mime(std::string_view suffix)
{
    for (const Rendition& rendition : kRenditions) {
        if (suffix.find(rendition.suffix) != std::string_view::npos) {
            return rendition.mime;
        }
    }
    return "image/jpeg";
}
