#include "core/log.h"
#include "core/paths.h"
#include "core/settings.h"

#include <cstring>
#include <strings.h>
#include <unistd.h>

namespace
{

bool is_inifile_option(const char* arg)
{
    return strcasecmp(arg, "-inifile") == 0;
}

bool asks_for_help(const char* arg)
{
    return strchr(arg, '?') != nullptr || strstr(arg, "help") != nullptr;
}

// Option names on the command line are case-sensitive (unlike in the file).
int key_by_exact_name(const char* name)
{
    for (int key = 0; key < KEY_COUNT; ++key) {
        if (strcmp(setting_name(key), name) == 0) {
            return key;
        }
    }
    return -1;
}

void apply_command_line(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (asks_for_help(arg)) {
            settings_usage(argv[0]);
        }
        if (is_inifile_option(arg)) {
            ++i;
            continue;
        }
        if (arg[0] != '-') {
            log_msg(LOG_PROBLEM, LOG_CAT_SYSTEM,
                    "unknown command line parameter \"%s\", skipped.\n", arg);
            continue;
        }
        int key = key_by_exact_name(arg + 1);
        if (key < 0) {
            continue;
        }
        if (key == KEY_D) {
            setting_set(key, "1");
            continue;
        }
        if (i + 1 >= argc) {
            settings_usage(argv[0]);
        }
        setting_set(key, argv[++i]);
    }
}

} // namespace

void settings_load(int argc, char** argv)
{
    char cwd[1024];
    if (getcwd(cwd, sizeof cwd)) {
        set_program_paths(argc > 0 ? argv[0] : "", cwd);
    }
    settings_set_file_path({});

    for (int i = 1; i < argc; ++i) {
        if (is_inifile_option(argv[i])) {
            if (i + 1 >= argc) {
                settings_usage(argv[0]);
            }
            settings_set_file_path(argv[++i]);
        }
    }
    settings_apply_defaults();
    settings_read_file();
    apply_command_line(argc, argv);
    settings_write();
}
