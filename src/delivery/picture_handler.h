// The "picture/{id}({W}x{H},{mode}){suffix}" URLs: a picture of the tree (or
// of a web camera) rescaled to the size a player asked for, as a JPEG, as
// YCbCr 4:2:0 planes (".yuv") or as RGB 5:6:5 pixels (".tini"), and the
// folder icon (".goicon"). Full edition only.
#pragma once

#include "http/http_connection.h"

#include <optional>

// What a picture URL asks for.
enum class PictureForm { Jpeg, Yuv420, Rgb565, FolderIcon };
struct PictureRequest {
    const char* id = nullptr; // the decimal id after "picture/"
    int64_t width = 0;
    int64_t height = 0;
    int mode = 0;
    PictureForm form = PictureForm::Jpeg;
};

// Nothing when the URL lacks "picture/" or the "(", "x" and "," after it.
std::optional<PictureRequest> parse_picture_url(const char* url);

int picture_handler(HttpConnection* connection);
