// The album art of music files, "albumart-<extension>/{id}.jpg" (and with
// the thumbnail suffix, "{id}_tn.jpg", fitted into 160 x 160): the picture
// inside the file, found by the finder the file-type table names for the
// file's format (scan/embedded_art.h), or else the folder's cover file.
// Players expect JPEG art: a PNG picture is re-encoded as a JPEG where the
// edition holds the picture codec, and else sent as "image/png".
#pragma once

#include "http/http_connection.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Re-encodes a JPEG or PNG picture as a JPEG, fitted into max_side when
// that is not 0; false when it cannot. Called with a picture slot held.
using AlbumArtReencode = bool (*)(const uint8_t* picture, size_t size, int max_side,
                                  std::vector<uint8_t>& jpeg);

// Set once at start by the edition that holds the picture codec; without it
// pictures go out as they are stored, thumbnails included.
void albumart_set_reencoder(AlbumArtReencode convert);

// Every "/albumart-" URL.
int albumart_handler(HttpConnection* connection);

int albumart_mp3_handler(HttpConnection* connection);
int albumart_wma_handler(HttpConnection* connection);
