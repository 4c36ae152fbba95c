// The DLNA description of what the server sends: the fourth field of a
// protocolInfo ("DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_FLAGS=..."), which
// DIDL-Lite res elements, GetProtocolInfo and the contentFeatures.dlna.org
// header of media answers all carry, so that a player sees one story. A
// profile name is written only where the server is sure of it: a player that
// trusts a wrong one fails to play, one that sees none probes the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class DlnaKind { Other, Audio, Video, Picture };

// One resource as sent.
struct DlnaResource {
    std::string_view mime;    // the Content-Type of the answer
    int32_t audio_format = 0; // DbAudioFormat of the item
    int width = 0;            // of the picture sent; 0 unknown
    int height = 0;
    bool scaled = false;    // a rendition made by the picture code (no ranges)
    bool time_seek = false; // a play-time seek is answered
};

// The kind of a MIME type (parameters such as ";rate=44100" ignored).
DlnaKind dlna_kind(std::string_view mime);

// The DLNA media profile, or null when it is not certain.
const char* dlna_profile(const DlnaResource& resource);

// The fourth protocolInfo field; "*" for a type DLNA says nothing of.
std::string dlna_fourth_field(const DlnaResource& resource);

// GetProtocolInfo's Source: every type the server sends, with each profile
// it writes.
std::string dlna_source_protocols();

// The type of a picture rendition by its URL suffix (".yuv", ".pjpg",
// ".tini.jpg", ".jpg"): the listing names it and the picture service answers
// with it.
const char* dlna_picture_mime(std::string_view suffix);
