#include "delivery/download_handler.h"

#include "core/settings.h"
#include "http/http_response.h"

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr size_t kDownloadPathLimit = 1024;

} // namespace

int download_handler(HttpConnection* c)
{
    std::string path = setting_str(KEY_NETGEARUPGRADE);
    if (path.empty()) {
        return http_send_404(c);
    }
    if (path.back() != '/') {
        path += '/';
    }
    // Only the last component names the file, so no request reaches beyond
    // the directory (the target is not decoded: "%2F" is no separator).
    const char* name = strrchr(c->url.data(), '/');
    path += name ? name + 1 : c->url.data();
    if (path.size() > kDownloadPathLimit) {
        return http_send_404(c);
    }
    c->content_type = "application/octet-stream";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st = {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) {
            close(fd);
        }
        return http_send_404(c);
    }
    c->content_length = st.st_size;
    const bool with_body = c->method != HTTP_HEAD && st.st_size > 0;
    int result = http_send_header(c, 200, with_body);
    if (result == 0 && with_body) {
        result = http_send_file(c, fd, 0, st.st_size);
    }
    close(fd);
    return result == 0 ? HTTP_KEEP : HTTP_CLOSE;
}
