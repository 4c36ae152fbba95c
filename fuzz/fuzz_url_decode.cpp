// URL decoding and the "/rescan" directory check on arbitrary bytes. The
// check runs against a small directory tree made once: a content directory
// with a link out, a link back to itself and a sibling whose name starts
// with the content directory's. A '@' in the decoded text stands for the
// tree's own directory, so that inputs can reach into it. Whatever the
// check accepts must lie inside the content directory.
#include "core/paths.h"
#include "core/settings.h"
#include "fuzz_scratch_dir.h"
#include "http/url.h"
#include "scan/rescan_handler.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

std::string make_tree()
{
    static const FuzzScratchDir scratch("fuzz-rescan");
    const std::string root = scratch.path;
    for (const char* dir : {"/music", "/music/a", "/music/a/b", "/music2", "/outside"}) {
        mkdir((root + dir).c_str(), 0700);
    }
    if (symlink((root + "/outside").c_str(), (root + "/music/out").c_str()) != 0 ||
        symlink("..", (root + "/music/a/up").c_str()) != 0 ||
        symlink("/proc/self", (root + "/music/proc").c_str()) != 0) {
        abort();
    }
    settings_apply_defaults();
    setting_set(KEY_CONTENTDIR, "M|" + root + "/music");
    return root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string root = make_tree();
    static const std::string music = *path_canonical(root + "/music");

    std::string text(reinterpret_cast<const char*>(data), size);
    const size_t before = text.size();
    url_decode(text);
    if (text.size() > before) {
        abort();
    }
    std::string dir;
    for (char c : text) {
        dir += c == '@' ? root : std::string(1, c);
    }
    const std::optional<std::string> walked = rescan_dir_resolve(dir);
    if (!walked || walked->empty()) {
        return 0;
    }
    const ContentRoot asked = content_root_split(*walked);
    const std::optional<std::string> canonical = path_canonical_allow_missing(asked.written);
    if (asked.kind != 'M' || !canonical || !path_is_below(*canonical, music)) {
        abort();
    }
    return 0;
}
