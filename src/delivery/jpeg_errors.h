// The error handling every use of libjpeg shares: an error jumps back to the
// recovery point of the call that started the work instead of ending the
// process, and the library's warnings go to the log, not to the terminal.
#pragma once

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

struct JpegErrorJump {
    jpeg_error_mgr manager;
    jmp_buf recovery;
};

// Fills error and returns the manager to hand to the library. The caller
// then calls setjmp(error.recovery) before any library call that may fail.
jpeg_error_mgr* jpeg_error_jump_init(JpegErrorJump& error);
