#include "delivery/dlna_fields.h"

#include "control/clients.h"
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

// JPEG profiles by the size of the picture sent. The two icon profiles are
// exact sizes; the others are upper bounds, landscape as the profiles
// define them.
const char* jpeg_profile(int width, int height)
{
    if (width <= 0 || height <= 0) {
        return nullptr;
    }
    if (width == 48 && height == 48) {
        return "JPEG_SM_ICO";
    }
    if (width == 120 && height == 120) {
        return "JPEG_LRG_ICO";
    }
    if (width <= 160 && height <= 160) {
        return "JPEG_TN";
    }
    if (width <= 640 && height <= 480) {
        return "JPEG_SM";
    }
    if (width <= 1024 && height <= 768) {
        return "JPEG_MED";
    }
    if (width <= 4096 && height <= 4096) {
        return "JPEG_LRG";
    }
    return nullptr;
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
    const std::string_view type = bare_type(r.mime);
    if (type == "audio/mpeg") {
        return r.audio_format == kAudioFormatMp3 ? "MP3" : nullptr;
    }
    if (type == "audio/mp4") {
        return r.audio_format == kAudioFormatAacLc     ? "AAC_ISO_320"
               : r.audio_format == kAudioFormatAacLcHi ? "AAC_ISO"
                                                       : nullptr;
    }
    if (type == "audio/L16") {
        // Raw 16-bit samples at 44.1 or 48 kHz, one or two channels: what
        // the ".lpcm" files are by definition.
        return "LPCM";
    }
    if (type == "image/jpeg") {
        return jpeg_profile(r.width, r.height);
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
    // The profiles the server writes, then every type it sends.
    static const char* const kProfiled[][2] = {
        {"audio/mpeg", "MP3"},
        {"audio/mp4", "AAC_ISO_320"},
        {"audio/mp4", "AAC_ISO"},
        {"audio/L16;rate=44100;channels=2", "LPCM"},
        {"audio/L16;rate=44100;channels=1", "LPCM"},
        {"audio/L16;rate=48000;channels=2", "LPCM"},
        {"audio/L16;rate=48000;channels=1", "LPCM"},
        {"image/jpeg", "JPEG_SM_ICO"},
        {"image/jpeg", "JPEG_LRG_ICO"},
        {"image/jpeg", "JPEG_TN"},
        {"image/jpeg", "JPEG_SM"},
        {"image/jpeg", "JPEG_MED"},
        {"image/jpeg", "JPEG_LRG"},
    };
    static const char* const kTypes[] = {
        "audio/mpeg",      "audio/mp4",        "audio/aac",
        "audio/x-ms-wma",  "audio/wav",        "audio/x-aiff",
        "audio/flac",      "audio/ogg",        "audio/opus",
        "audio/x-mpegurl", "image/jpeg",       "image/pjpeg",
        "image/png",       "image/gif",        "image/x-ycbcr-yuv420",
        "image/x-rgb565",  "video/mp4",        "video/x-msvideo",
        "video/mpeg",      "video/mpeg2",      "video/x-ms-wmv",
        "video/dvd",       "video/x-matroska", "video/webm",
        "video/mp2t",      "video/quicktime",  "video/x-mkv",
    };
    std::string source;
    for (const auto& row : kProfiled) {
        source += std::string("http-get:*:") + row[0] + ":DLNA.ORG_PN=" + row[1] + ",";
    }
    for (const char* type : kTypes) {
        source += std::string("http-get:*:") + type + ":*,";
    }
    source.pop_back();
    return source;
}

const char* dlna_picture_mime(std::string_view suffix)
{
    if (suffix.find(".tini") != std::string_view::npos) {
        // Raw RGB 5:6:5 pixels, named like the raw YCbCr frames.
        return "image/x-rgb565";
    }
    if (suffix.find(".yuv") != std::string_view::npos) {
        return "image/x-ycbcr-yuv420";
    }
    if (suffix.find(".pjpg") != std::string_view::npos) {
        return "image/pjpeg";
    }
    return "image/jpeg";
}
