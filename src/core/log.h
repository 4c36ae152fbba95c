// The one logging call of the server: time-stamped lines, a category mask for
// information lines, markers for problems and errors, and the critical path
// that ends the process.
#pragma once

enum LogLevel : int {
    LOG_INFO = 0,
    LOG_PROBLEM = 1,
    LOG_ERROR = 2,
    LOG_CRITICAL = 3,
};

// One bit per category; the setting "v" selects which information lines show.
enum LogCategory : int {
    LOG_CAT_SYSTEM = 1,
    LOG_CAT_SSDP = 2,
    LOG_CAT_DB = 4,
    LOG_CAT_HTTP = 8,
    LOG_CAT_CLIENT_DB = 16,
    LOG_CAT_EVENTING = 32,
    LOG_CAT_EXIF = 64,
    LOG_CAT_HTTP_PROXY = 128,
    LOG_CAT_XML_PARSER = 256,
};

// The caller supplies the line end. LOG_CRITICAL does not return: it prints
// "!!! CRITICAL ERROR!!!" and the message and exits with status -1.
void log_msg(int level, int category, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// What a critical error does after its message: the process installs the
// termination sequence here. The default ends the process at once with
// status -1, without running the destructors of globals that detached
// workers may still use.
void log_set_critical_exit(void (*handler)());

// Sends every later line to the file at path (truncated); a null path or an
// open failure keeps the console.
void log_open_file(const char* path);

// Closes the log file if one is open; later lines go to the console again.
void log_close();
