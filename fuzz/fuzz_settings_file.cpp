// The settings file reader on arbitrary bytes, through the same file read
// the program uses; then the file is written and read back. Every value
// read must come back unchanged, and no value may turn into a line of its
// own (which would set another key).
#include "core/settings.h"
#include "fuzz_scratch_dir.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace
{

bool write_file(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    const bool whole = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && whole;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const FuzzScratchDir scratch("fuzz-settings");
    const std::string& dir = scratch.path;
    const std::string input = dir + "/input.ini";
    const std::string output = dir + "/output.ini";
    if (!write_file(input, data, size)) {
        return 0;
    }
    settings_free_all();
    settings_set_file_path(input);
    settings_read_file();
    std::string read[KEY_COUNT];
    for (int key = 0; key < KEY_COUNT; ++key) {
        read[key] = setting_str(key);
    }
    const std::string text = settings_file_text();
    settings_set_file_path(output);
    settings_write();
    settings_free_all();
    settings_read_file();
    for (int key = 0; key < KEY_COUNT; ++key) {
        // Keys the file does not carry are not written, so come back unset.
        const bool carried =
            text.find('\n' + std::string(setting_name(key)) + '=') != std::string::npos;
        if (setting_str(key) != (carried ? read[key] : std::string())) {
            abort();
        }
    }
    settings_free_all();
    return 0;
}
