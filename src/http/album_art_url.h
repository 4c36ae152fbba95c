// The album-art URLs the listings write and the art handler answers:
// "albumart-<extension>/<id>.jpg" for the picture at its own size, and with
// the suffix below for the thumbnail that today's players show in lists.
#pragma once

inline constexpr const char* kAlbumArtThumbnailSuffix = "_tn";

// The largest side of a thumbnail: what the JPEG_TN profile allows.
inline constexpr int kAlbumArtThumbnailSide = 160;
