#include "delivery/jpeg_errors.h"

#include "core/log.h"

namespace
{

[[noreturn]] void jump_back(j_common_ptr info)
{
    // The manager is the first member, so the record starts where it does.
    auto* error = reinterpret_cast<JpegErrorJump*>(info->err);
    longjmp(error->recovery, 1);
}

void log_message(j_common_ptr info)
{
    char text[JMSG_LENGTH_MAX];
    (*info->err->format_message)(info, text);
    log_msg(LOG_INFO, LOG_CAT_SYSTEM, "JPEG: %s\n", text);
}

} // namespace

jpeg_error_mgr* jpeg_error_jump_init(JpegErrorJump& error)
{
    jpeg_std_error(&error.manager);
    error.manager.error_exit = jump_back;
    error.manager.output_message = log_message;
    return &error.manager;
}
