// The picture service against ImageMagick: a 4000 x 3000 JPEG made into a
// 160 x 160 and a 1024 x 768 picture (fitted, centred on black, encoded as
// JPEG), one at a time and four at once, by the server's own decoder and by
// Debian's `convert` in the same run.
//
// Usage: picture_bench [rounds] [convert]   (default 5 rounds, /usr/bin/convert)
//
// Each measurement runs in a child process of its own, so that its peak
// memory is its own: for the server's code, the growth of the resident set
// over what the child had at its start; for convert, its maximum resident
// set. Times are medians of the rounds.
#include "delivery/jpeg_decode.h"
#include "delivery/picture_encode.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace
{

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// A photo-like picture: smooth light with fine grain, so that the file is
// as large as a camera's.
bool make_source(const std::string& path, int width, int height)
{
    std::optional<RgbImage> image = rgb_image_new(width, height, 0);
    if (!image) {
        return false;
    }
    std::mt19937 random(42);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = image->row(y);
        for (int x = 0; x < width; ++x) {
            const int grain = static_cast<int>(random() % 25) - 12;
            const int base[3] = {60 + 150 * x / width, 40 + 170 * y / height,
                                 100 + ((x / 37 + y / 53) % 7) * 15};
            for (int c = 0; c < 3; ++c) {
                row[x * 3 + c] = static_cast<uint8_t>(std::clamp(base[c] + grain, 0, 255));
            }
        }
    }
    std::vector<uint8_t> out;
    if (encode_jpeg(*image, out) == 0) {
        return false;
    }
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    const bool written = fwrite(out.data(), 1, out.size(), f) == out.size();
    return fclose(f) == 0 && written;
}

long resident_kib(const char* field)
{
    FILE* f = fopen("/proc/self/status", "r");
    long value = 0;
    char line[256];
    while (f && fgets(line, sizeof line, f)) {
        if (strncmp(line, field, strlen(field)) == 0) {
            value = atol(line + strlen(field));
        }
    }
    if (f) {
        fclose(f);
    }
    return value;
}

struct Measured {
    double ms = 0;     // median time of one picture
    long peak_kib = 0; // peak memory
};

// One picture as the server makes it: decode, rescale, encode.
bool make_picture(const std::string& source, int size)
{
    const int height = size == 160 ? 160 : 768;
    std::optional<RgbImage> canvas = decode_scaled(source.c_str(), size, height, PICTURE_BORDERED);
    std::vector<uint8_t> out;
    return canvas && canvas->width == size && encode_jpeg(*canvas, out) > 0;
}

// In a child: rounds of `parallel` pictures made at once by as many threads.
Measured measure_own(const std::string& source, int size, int parallel, int rounds)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        const long base = resident_kib("VmRSS:");
        std::vector<double> times;
        for (int r = 0; r < rounds; ++r) {
            std::vector<std::thread> workers;
            std::vector<double> took(static_cast<size_t>(parallel));
            for (int t = 0; t < parallel; ++t) {
                workers.emplace_back([&, t] {
                    const Clock::time_point start = Clock::now();
                    if (!make_picture(source, size)) {
                        _exit(1);
                    }
                    took[static_cast<size_t>(t)] = ms_since(start);
                });
            }
            for (std::thread& w : workers) {
                w.join();
            }
            times.insert(times.end(), took.begin(), took.end());
        }
        Measured m{median(times), resident_kib("VmHWM:") - base};
        const bool sent = write(pipe_fds[1], &m, sizeof m) == static_cast<ssize_t>(sizeof m);
        _exit(sent ? 0 : 1);
    }
    close(pipe_fds[1]);
    Measured m;
    const bool got = read(pipe_fds[0], &m, sizeof m) == static_cast<ssize_t>(sizeof m);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return got && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? m : Measured{};
}

// Rounds of `parallel` convert processes started at once.
Measured measure_convert(const std::string& program, const std::string& source,
                         const std::string& dir, int size, int parallel, int rounds)
{
    const std::string geometry = std::to_string(size) + "x" + (size == 160 ? "160" : "768");
    std::vector<double> times;
    long peak = 0;
    for (int r = 0; r < rounds; ++r) {
        std::vector<std::pair<pid_t, Clock::time_point>> running;
        for (int t = 0; t < parallel; ++t) {
            const std::string out = dir + "/convert" + std::to_string(t) + ".jpg";
            std::vector<std::string> args = {program,       source,   "-resize",  geometry,
                                             "-background", "black",  "-gravity", "center",
                                             "-extent",     geometry, out};
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            pid_t pid = 0;
            if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
                return {};
            }
            running.emplace_back(pid, Clock::now());
        }
        for (auto& [pid, start] : running) {
            int status = 0;
            rusage usage{};
            if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
                WEXITSTATUS(status) != 0) {
                return {};
            }
            times.push_back(ms_since(start));
            peak = std::max(peak, usage.ru_maxrss);
        }
    }
    return {median(times), peak};
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const std::string convert = argc > 2 ? argv[2] : "/usr/bin/convert";
    char pattern[] = "/tmp/picture-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
        perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    const std::string source = dir + "/source.jpg";
    if (!make_source(source, 4000, 3000)) {
        fprintf(stderr, "cannot make the source picture\n");
        return 1;
    }
    printf("source: 4000x3000 JPEG, %ju bytes; %d rounds\n",
           static_cast<uintmax_t>(std::filesystem::file_size(source)), rounds);
    const bool have_convert = access(convert.c_str(), X_OK) == 0;
    if (!have_convert) {
        printf("%s not found: no comparison\n", convert.c_str());
    }
    double own_single[2] = {0, 0};
    double convert_single[2] = {0, 0};
    const int sizes[2] = {160, 1024};
    for (int parallel : {1, 4}) {
        for (int i = 0; i < 2; ++i) {
            const Measured own = measure_own(source, sizes[i], parallel, rounds);
            const Measured other =
                have_convert ? measure_convert(convert, source, dir, sizes[i], parallel, rounds)
                             : Measured{};
            printf("%d at once, %4d: own %7.1f ms %6ld KiB peak, convert %7.1f ms %6ld KiB "
                   "peak, ratio %.2f\n",
                   parallel, sizes[i], own.ms, own.peak_kib, other.ms, other.peak_kib,
                   own.ms > 0 ? other.ms / own.ms : 0.0);
            if (parallel == 1) {
                own_single[i] = own.ms;
                convert_single[i] = other.ms;
            }
        }
    }
    std::filesystem::remove_all(dir);
    printf("picture: 160 %.1f ms, 1024 %.1f ms, convert 160 %.1f ms, convert 1024 %.1f ms\n",
           own_single[0], own_single[1], convert_single[0], convert_single[1]);
    return 0;
}
