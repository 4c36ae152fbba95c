// The real plenwick program under attack by hostile clients over loopback,
// while a well-behaved other client keeps browsing. Five attacks, one after
// the other, each for a bounded time:
//
//   pictures   20 requests at once from one host for raw pictures of the
//              largest size a URL may ask (4096 x 4096) and beyond it
//              (8192 x 8192), repeated;
//   soap       Search and Browse requests with arguments of about 1 MB
//              (search criteria, sort criteria, filter), several at once;
//   events     two subscriptions whose callbacks name 30 URLs that never
//              answer, beside a real subscriber whose NOTIFY delay after a
//              change of the library is measured;
//   burst      50 Browse requests at once, each on its own connection;
//   slots      1000 idle keep-alive connections and 200 that trickle a
//              request head one byte per second, from 31 hosts;
//   covers     thumbnail album art of a track whose cover is a 4000 x 4000
//              JPEG of about 14 MB: 32 requests at once from one host, then
//              90 from three, repeated;
//   gena       eight subscriptions renewed for 1800 s from each of three
//              hosts, then a fourth control point that subscribes and
//              renews, while the three subscribe again and again;
//   heads      1056 connections from 33 hosts that each send the first byte
//              of a request head and nothing more, held for 14 s.
//
// The other client connects from 127.0.0.2, on a fresh connection each
// time, and asks for ten children of the root; it gives up after 10 s and
// counts a failure. The attackers use other loopback addresses (127.0.0.3 and
// up), so that a server that sorts its clients by host can tell them apart.
//
// For each attack one line: the other client's median and worst answer
// time, its failures, the attack's own figures, and the server's peak
// resident memory (VmRSS sampled every 50 ms, and its VmHWM) and thread
// count. The last line tells whether the other client was answered within
// 50 ms during every attack and the server's VmHWM stayed under 200 MB. The server
// is killed when it grows beyond the memory cap (to protect the machine) and
// started again for the next attack; a server that dies is started again too.
//
// Usage: hostile_clients_bench [program] [seconds] [tracks] [cap MiB]
//        (default: the plenwick program beside the bench directory, 5 s per
//        attack, 3000 tracks, 4096 MiB)
//
// Everything runs on 127.0.0.0/8; the server is started with
// -ip 127.0.0.1 -radio 0 in a directory made in the temporary directory and
// removed afterwards.
#include "delivery/picture_encode.h"
#include "delivery/rgb_image.h"
#include "mp3_writer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kOtherClientPatience = std::chrono::seconds(10);
constexpr char kOtherClientHost[] = "127.0.0.2";

double ms_between(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

int remaining_ms(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string read_all(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------------------
// The library: tracks as Artist/Album/NN - Title.mp3 and a few photos.

void write_track(const std::string& dir, int i)
{
    const std::string artist = "Artist " + std::to_string(i / 50);
    const std::string album = "Album " + std::to_string(i / 10);
    const std::string title = "Title " + std::to_string(i);
    fs::create_directories(dir + "/" + artist + "/" + album);
    const std::vector<Id3Frame> frames = {
        {"TIT2", id3_latin1(title)},
        {"TPE1", id3_latin1(artist)},
        {"TALB", id3_latin1(album)},
        {"TRCK", id3_latin1(std::to_string(i % 10 + 1))},
        {"TCON", id3_latin1("(" + std::to_string(i % 80) + ")")},
    };
    write_bytes(dir + "/" + artist + "/" + album + "/" + title + ".mp3",
                concat({id3v2_tag(frames), mpeg_frames(2),
                        id3v1_tag(title, artist, album, "2001", i % 10 + 1, 17)}));
}

bool write_photo(const std::string& path, int width, int height, int seed)
{
    std::optional<RgbImage> image = rgb_image_new(width, height, 0);
    if (!image) {
        return false;
    }
    for (int y = 0; y < height; ++y) {
        uint8_t* row = image->row(y);
        for (int x = 0; x < width; ++x) {
            row[x * 3] = static_cast<uint8_t>(x * 255 / width);
            row[x * 3 + 1] = static_cast<uint8_t>(y * 255 / height);
            row[x * 3 + 2] = static_cast<uint8_t>((x / 40 + y / 40 + seed) % 2 * 200);
        }
    }
    std::vector<uint8_t> out;
    if (encode_jpeg(*image, out) == 0) {
        return false;
    }
    return write_bytes(path, Bytes(out.begin(), out.end()));
}

// A track whose ID3v2 APIC frame holds a 4000 x 4000 JPEG of noise (which
// does not compress), padded after its end to 14 MB as a camera's
// trailing data would be; the cover's size in bytes, 0 on failure.
size_t write_cover_track(const std::string& path)
{
    constexpr int kSide = 4000;
    std::optional<RgbImage> image = rgb_image_new(kSide, kSide, 0);
    if (!image) {
        return 0;
    }
    uint32_t state = 12345;
    for (int y = 0; y < kSide; ++y) {
        uint8_t* row = image->row(y);
        for (int x = 0; x < kSide * 3; ++x) {
            state = state * 1103515245 + 12345;
            row[x] = static_cast<uint8_t>(state >> 24);
        }
    }
    std::vector<uint8_t> jpeg;
    if (encode_jpeg(*image, jpeg) == 0) {
        return 0;
    }
    image.reset();
    jpeg.resize(std::max<size_t>(jpeg.size(), 14 << 20), 0);
    Bytes apic = {0};
    for (char c : std::string("image/jpeg")) {
        apic.push_back(static_cast<uint8_t>(c));
    }
    apic.insert(apic.end(), {0, 3, 0});
    apic.insert(apic.end(), jpeg.begin(), jpeg.end());
    const std::vector<Id3Frame> frames = {
        {"TIT2", id3_latin1("Covered Track")},
        {"TPE1", id3_latin1("Cover Artist")},
        {"TALB", id3_latin1("Cover Album")},
        {"APIC", apic},
    };
    fs::create_directories(fs::path(path).parent_path());
    return write_bytes(path, concat({id3v2_tag(frames), mpeg_frames(2)})) ? jpeg.size() : 0;
}

// ---------------------------------------------------------------------------
// The server under attack.

struct Server {
    std::string program;
    std::string workdir;
    std::vector<std::string> args;
    std::string content;
    pid_t pid = -1;
    int port = 0;
    int starts = 0;
    std::string out;
    rlim_t open_files = 0; // the soft limit the server runs with
};

bool server_alive(Server& s)
{
    if (s.pid <= 0) {
        return false;
    }
    if (waitpid(s.pid, nullptr, WNOHANG) == s.pid) {
        s.pid = -1;
        return false;
    }
    return true;
}

// SIGTERM, and SIGKILL when it has not ended within five seconds: a server
// whose threads hang must not hang the benchmark.
void server_stop(Server& s)
{
    if (s.pid <= 0) {
        return;
    }
    kill(s.pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        if (waitpid(s.pid, nullptr, WNOHANG) == s.pid) {
            s.pid = -1;
            return;
        }
        usleep(20000);
    }
    kill(s.pid, SIGKILL);
    waitpid(s.pid, nullptr, 0);
    s.pid = -1;
}

bool server_start(Server& s, rlim_t open_files)
{
    s.out = s.workdir + "/stdout-" + std::to_string(++s.starts) + ".txt";
    s.open_files = open_files;
    s.pid = fork();
    if (s.pid == 0) {
        // The server gets the limit of open files it would get from a shell,
        // not the one this benchmark raised for its own connections.
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min(open_files, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
        if (chdir(s.workdir.c_str()) != 0) {
            _exit(127);
        }
        const int fd = open(s.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> argv = {const_cast<char*>(s.program.c_str())};
        for (const std::string& a : s.args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(s.program.c_str(), argv.data());
        _exit(127);
    }
    const std::regex port_re("Server starting at 127\\.0\\.0\\.1:(\\d+)");
    const std::string done = "DB scan on " + s.content + " completed";
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (Clock::now() < deadline && server_alive(s)) {
        const std::string text = read_all(s.out);
        std::smatch m;
        if (text.find(done) != std::string::npos && std::regex_search(text, m, port_re)) {
            s.port = std::stoi(m[1]);
            return true;
        }
        usleep(20000);
    }
    fprintf(stderr, "the server did not start\n%s", read_all(s.out).c_str());
    server_stop(s);
    return false;
}

// A field of /proc/<pid>/status in KiB (or a plain count), 0 when gone.
long proc_status_field(pid_t pid, const char* field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t length = strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0) {
            return atol(line.c_str() + length);
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Raw HTTP over non-blocking sockets, many exchanges at once in one poll
// loop, each bounded by a deadline.

int connect_start(const char* source, int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
        close(fd);
        return -1;
    }
    return fd;
}

enum class Outcome {
    Pending,
    Answered,      // a whole answer arrived
    HungUp,        // the server closed the connection before a whole head
    Cut,           // the server closed the connection within the body
    TimedOut,      // the deadline passed first
    ConnectFailed, // refused or not accepted in time
};

struct Exchange {
    std::string request;
    bool body_expected = true; // false: the head alone is the whole answer
    bool keep_open = false;    // the connection stays open after the answer
    int fd = -1;
    bool connected = false;
    size_t sent = 0;
    std::string head;
    bool head_done = false;
    int status = 0;
    int64_t body_length = -1; // from Content-Length; -1 runs to the close
    int64_t body_received = 0;
    std::string body; // kept up to 64 KiB, for the answers we parse
    Outcome outcome = Outcome::Pending;
    Clock::time_point start;
    Clock::time_point end;
};

void exchange_finish(Exchange& x, Outcome outcome)
{
    x.outcome = outcome;
    x.end = Clock::now();
    if (x.fd >= 0 && !(outcome == Outcome::Answered && x.keep_open)) {
        close(x.fd);
        x.fd = -1;
    }
}

void exchange_take(Exchange& x, const char* data, size_t n)
{
    constexpr size_t kKept = 64 << 10;
    std::string rest;
    if (!x.head_done) {
        x.head.append(data, n);
        const size_t end = x.head.find("\r\n\r\n");
        if (end == std::string::npos) {
            return;
        }
        x.head_done = true;
        rest = x.head.substr(end + 4);
        x.head.resize(end + 2);
        if (x.head.compare(0, 5, "HTTP/") == 0 && x.head.size() > 12) {
            x.status = atoi(x.head.c_str() + 9);
        }
        std::string lower = x.head;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(tolower(c)); });
        const size_t at = lower.find("\ncontent-length:");
        if (at != std::string::npos) {
            x.body_length = atoll(lower.c_str() + at + 16);
        }
        if (!x.body_expected) {
            x.body_length = 0;
        }
        data = rest.data();
        n = rest.size();
    }
    x.body_received += static_cast<int64_t>(n);
    x.body.append(data, std::min(n, kKept - std::min(x.body.size(), kKept)));
    if (x.body_length >= 0 && x.body_received >= x.body_length) {
        exchange_finish(x, Outcome::Answered);
    }
}

// Runs the exchanges at once from source until each has an outcome, the
// deadline passes, or stop is set; those still pending then time out.
void exchange_all(std::vector<Exchange>& xs, const char* source, int port,
                  Clock::time_point deadline, const std::atomic<bool>* stop = nullptr)
{
    for (Exchange& x : xs) {
        x.start = Clock::now();
        x.fd = connect_start(source, port);
        if (x.fd < 0) {
            exchange_finish(x, Outcome::ConnectFailed);
        }
    }
    std::vector<char> buffer(256 << 10);
    std::vector<pollfd> polls;
    std::vector<Exchange*> owners;
    for (;;) {
        polls.clear();
        owners.clear();
        for (Exchange& x : xs) {
            if (x.outcome == Outcome::Pending) {
                const bool writing = !x.connected || x.sent < x.request.size();
                polls.push_back({x.fd, static_cast<short>(writing ? POLLOUT : POLLIN), 0});
                owners.push_back(&x);
            }
        }
        if (polls.empty() || Clock::now() >= deadline || (stop && *stop)) {
            break;
        }
        if (poll(polls.data(), polls.size(), std::min(100, remaining_ms(deadline))) < 0) {
            continue;
        }
        for (size_t i = 0; i < polls.size(); ++i) {
            Exchange& x = *owners[i];
            if (polls[i].revents == 0) {
                continue;
            }
            if (!x.connected) {
                int error = 0;
                socklen_t length = sizeof error;
                getsockopt(x.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0) {
                    exchange_finish(x, Outcome::ConnectFailed);
                    continue;
                }
                x.connected = true;
            }
            if (x.sent < x.request.size()) {
                const ssize_t n =
                    send(x.fd, x.request.data() + x.sent, x.request.size() - x.sent, MSG_NOSIGNAL);
                if (n > 0) {
                    x.sent += static_cast<size_t>(n);
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    // A server that answers early and closes may refuse the
                    // rest of a large request; its answer is still read.
                    x.sent = x.request.size();
                }
                continue;
            }
            const ssize_t n = recv(x.fd, buffer.data(), buffer.size(), 0);
            if (n > 0) {
                exchange_take(x, buffer.data(), static_cast<size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                if (x.head_done && x.body_length < 0) {
                    exchange_finish(x, Outcome::Answered);
                } else {
                    exchange_finish(x, x.head_done ? Outcome::Cut : Outcome::HungUp);
                }
            }
        }
    }
    for (Exchange& x : xs) {
        if (x.outcome == Outcome::Pending) {
            exchange_finish(x, x.connected ? Outcome::TimedOut : Outcome::ConnectFailed);
        }
    }
}

Exchange exchange_one(const std::string& request, const char* source, int port,
                      std::chrono::milliseconds patience, bool body_expected = true)
{
    std::vector<Exchange> xs(1);
    xs[0].request = request;
    xs[0].body_expected = body_expected;
    exchange_all(xs, source, port, Clock::now() + patience);
    return std::move(xs[0]);
}

std::string soap_request(const std::string& action, const std::string& arguments, bool keep_alive)
{
    const std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
                             "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                             "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
                             "<s:Body><u:" +
                             action +
                             " xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">" +
                             arguments + "</u:" + action + "></s:Body></s:Envelope>";
    return "POST /ContentDirectory/Control HTTP/1.1\r\nHost: 127.0.0.1\r\n"
           "Content-Type: text/xml; charset=\"utf-8\"\r\n"
           "SOAPACTION: \"urn:schemas-upnp-org:service:ContentDirectory:1#" +
           action + "\"\r\n" + (keep_alive ? "" : "Connection: close\r\n") +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string browse_arguments(const std::string& id, const std::string& flag, int count,
                             const std::string& filter = "*", const std::string& sort = "")
{
    return "<ObjectID>" + id + "</ObjectID><BrowseFlag>" + flag + "</BrowseFlag><Filter>" + filter +
           "</Filter><StartingIndex>0</StartingIndex><RequestedCount>" + std::to_string(count) +
           "</RequestedCount><SortCriteria>" + sort + "</SortCriteria>";
}

std::string search_arguments(const std::string& criteria, const std::string& sort)
{
    return "<ContainerID>0</ContainerID><SearchCriteria>" + criteria +
           "</SearchCriteria><Filter>*</Filter><StartingIndex>0</StartingIndex>"
           "<RequestedCount>10</RequestedCount><SortCriteria>" +
           sort + "</SortCriteria>";
}

// The small Browse of the other client: ten children of the root.
std::string small_browse(bool keep_alive)
{
    return soap_request("Browse", browse_arguments("0", "BrowseDirectChildren", 10), keep_alive);
}

bool browse_answered(const Exchange& x)
{
    return x.outcome == Outcome::Answered && x.status == 200 &&
           x.body.find("BrowseResponse") != std::string::npos;
}

// The id of the child container titled title, from a Browse answer.
std::string child_id(const std::string& answer, const std::string& title)
{
    std::smatch m;
    const std::regex re("&lt;container id=\"(\\d+)\"[^&]*&gt;&lt;dc:title&gt;" + title + "&lt;");
    return std::regex_search(answer, m, re) ? std::string(m[1]) : "";
}

std::string browse_body(int port, const std::string& id, int count)
{
    return exchange_one(
               soap_request("Browse", browse_arguments(id, "BrowseDirectChildren", count), false),
               "127.0.0.1", port, std::chrono::seconds(10))
        .body;
}

// The id of the track with the large cover, by a Search for its title.
std::string find_cover_track_id(int port)
{
    const std::string body =
        exchange_one(soap_request("Search",
                                  search_arguments("dc:title = &quot;Covered Track&quot;", ""),
                                  false),
                     "127.0.0.1", port, std::chrono::seconds(10))
            .body;
    std::smatch m;
    return std::regex_search(body, m, std::regex("&lt;item id=\"(\\d+)\"")) ? std::string(m[1])
                                                                            : "";
}

// The id of a photo, from the Browse of the pictures' container.
std::string find_picture_id(int port)
{
    const std::string pictures = child_id(browse_body(port, "0", 0), "Pictures");
    const std::string all =
        pictures.empty() ? "" : child_id(browse_body(port, pictures, 0), "All Pictures");
    if (all.empty()) {
        return {};
    }
    std::smatch m;
    const std::string page = browse_body(port, all, 10);
    return std::regex_search(page, m, std::regex("&lt;item id=\"(\\d+)\"")) ? std::string(m[1])
                                                                            : "";
}

// ---------------------------------------------------------------------------
// Measuring a phase: the other client and the memory sampler.

struct OtherClient {
    std::vector<double> answered_ms;
    int failures = 0; // no whole answer within its patience
};

// Watches the server's memory and threads every 50 ms for the whole run,
// phases and pauses alike: the work an attack leaves behind may go on after
// it. It kills a server that grows beyond the cap, to protect the machine.
struct Monitor {
    std::atomic<pid_t> pid{-1};
    std::atomic<long> peak_rss_kib{0}; // since the last reset
    std::atomic<long> run_peak_rss_kib{0};
    std::atomic<long> peak_threads{0};
    std::atomic<bool> killed_over_cap{false};
    std::atomic<bool> stop{false};
    long cap_kib = 0;
    std::thread thread;
};

void monitor_start(Monitor& m)
{
    m.thread = std::thread([&m] {
        while (!m.stop) {
            const pid_t pid = m.pid;
            if (pid > 0) {
                const long rss = proc_status_field(pid, "VmRSS:");
                m.peak_rss_kib = std::max<long>(m.peak_rss_kib, rss);
                m.run_peak_rss_kib = std::max<long>(m.run_peak_rss_kib, rss);
                m.peak_threads = std::max<long>(m.peak_threads, proc_status_field(pid, "Threads:"));
                if (rss > m.cap_kib && !m.killed_over_cap) {
                    m.killed_over_cap = true;
                    kill(pid, SIGKILL);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
}

void monitor_stop(Monitor& m)
{
    m.stop = true;
    m.thread.join();
}

// The processor time the server has used, in clock ticks.
long cpu_ticks(pid_t pid)
{
    const std::string stat = read_all("/proc/" + std::to_string(pid) + "/stat");
    const size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos) {
        return 0;
    }
    // After the name: state, then fields 4 to 13, then utime and stime.
    std::vector<long> fields;
    const char* at = stat.c_str() + close_paren + 2;
    for (int i = 0; i < 13 && *at; ++i) {
        char* end;
        fields.push_back(strtol(at, &end, 10));
        at = *end ? end + 1 : end;
    }
    return fields.size() == 13 ? fields[11] + fields[12] : 0;
}

struct Phase {
    std::atomic<bool> stop{false};
    OtherClient other;
    std::thread other_thread;
    long start_rss_kib = 0;
};

void phase_begin(Phase& p, Server& server, Monitor& monitor)
{
    p.start_rss_kib = proc_status_field(server.pid, "VmRSS:");
    monitor.peak_rss_kib = p.start_rss_kib;
    monitor.peak_threads = 0;
    const int port = server.port;
    p.other_thread = std::thread([&p, port] {
        while (!p.stop) {
            const Exchange x =
                exchange_one(small_browse(false), kOtherClientHost, port, kOtherClientPatience);
            if (browse_answered(x)) {
                p.other.answered_ms.push_back(ms_between(x.start, x.end));
            } else {
                ++p.other.failures;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
}

struct PhaseResult {
    double worst_ms = 0;
    int failures = 0;
    bool still_busy = false;
    long hwm_kib = 0;
};

// Seconds until the server's processor is idle (less than a twentieth of
// one processor over half a second), or -1 when it is still busy at the end
// of patience or gone.
double wait_idle(Server& server, std::chrono::seconds patience)
{
    const auto start = Clock::now();
    long ticks = cpu_ticks(server.pid);
    while (Clock::now() < start + patience && server_alive(server)) {
        usleep(500000);
        const long now = cpu_ticks(server.pid);
        if ((now - ticks) * 1000 / sysconf(_SC_CLK_TCK) < 25) {
            return std::max(0.0, ms_between(start, Clock::now()) / 1000 - 0.5);
        }
        ticks = now;
    }
    return -1;
}

// Ends the phase once the server has finished what the attack left it
// (within 15 s), so that this work and its memory count for this attack.
PhaseResult phase_end(Phase& p, Server& server, Monitor& monitor, const std::string& name,
                      const std::string& figures)
{
    p.stop = true;
    p.other_thread.join();
    const double busy_s = wait_idle(server, std::chrono::seconds(15));
    const long hwm = proc_status_field(server.pid, "VmHWM:");
    const std::vector<double>& times = p.other.answered_ms;
    PhaseResult r;
    r.worst_ms = times.empty() ? 0 : *std::max_element(times.begin(), times.end());
    r.failures = p.other.failures;
    r.hwm_kib = hwm;
    const bool lost = !server_alive(server);
    r.still_busy = !lost && busy_s < 0;
    char busy[60];
    snprintf(busy, sizeof busy, r.still_busy ? "still busy 15 s after" : "busy %.1f s after",
             busy_s);
    printf("%-9s other client median %.1f ms, worst %.1f ms, %d failed of %zu; %s; peak %.1f MB "
           "(%.1f MB at the start, VmHWM %.1f MB), %ld threads, %s%s\n",
           (name + ":").c_str(), median(times), r.worst_ms, r.failures,
           times.size() + static_cast<size_t>(r.failures), figures.c_str(),
           monitor.peak_rss_kib / 1024.0, p.start_rss_kib / 1024.0, hwm / 1024.0,
           monitor.peak_threads.load(), lost ? "gone" : busy,
           monitor.killed_over_cap ? "; server KILLED over the memory cap"
           : lost                  ? "; server DIED"
                                   : "");
    fflush(stdout);
    return r;
}

// Before each attack the server must be up and answering; one that died or
// was killed is started again. Returns false when none can be had.
bool server_ready(Server& server, Monitor& monitor, rlim_t open_files)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!server_alive(server)) {
            monitor.pid = -1;
            server_stop(server);
            monitor.killed_over_cap = false;
            if (!server_start(server, open_files)) {
                return false;
            }
            monitor.pid = server.pid;
        }
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            if (browse_answered(exchange_one(small_browse(false), kOtherClientHost, server.port,
                                             std::chrono::seconds(5)))) {
                return true;
            }
            usleep(200000);
        }
        printf("(the server does not answer a Browse; it is started again)\n");
        server_stop(server);
    }
    return false;
}

std::string outcome_counts(const std::vector<Outcome>& outcomes)
{
    int counts[6] = {};
    for (Outcome o : outcomes) {
        ++counts[static_cast<int>(o)];
    }
    char text[200];
    snprintf(text, sizeof text, "%d answered, %d hung up, %d cut, %d timed out, %d not connected",
             counts[1], counts[2], counts[3], counts[4], counts[5]);
    return text;
}

// ---------------------------------------------------------------------------
// The attacks. Each runs until its deadline and returns its figures.

struct Attack {
    Server& server;
    Clock::time_point until;
};

// An attack stops early when the server is gone: refused connections would
// only spin.
bool attack_going(Attack& a)
{
    return Clock::now() < a.until && server_alive(a.server);
}

std::string attack_pictures(Attack& a, const std::string& picture_id)
{
    if (picture_id.empty()) {
        return "no picture found";
    }
    const auto request_for = [&](const char* size) {
        return "GET /picture/" + picture_id + "(" + size +
               ",1).yuv HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    };
    const std::string largest = request_for("4096x4096");
    const std::string beyond = request_for("8192x8192");
    std::vector<Outcome> outcomes;
    int64_t bytes = 0;
    int rounds = 0;
    while (attack_going(a)) {
        std::vector<Exchange> xs(20);
        for (size_t i = 0; i < xs.size(); ++i) {
            xs[i].request = i % 2 == 0 ? largest : beyond;
        }
        // The answers still in flight at the end count as timed out.
        exchange_all(xs, "127.0.0.6", a.server.port, a.until);
        for (const Exchange& x : xs) {
            outcomes.push_back(x.outcome);
            bytes += x.body_received;
        }
        ++rounds;
    }
    char text[300];
    snprintf(text, sizeof text, "%d round(s) of 20 pictures: %s, %.0f MB received", rounds,
             outcome_counts(outcomes).c_str(), bytes / 1e6);
    return text;
}

std::string attack_soap(Attack& a)
{
    std::string criteria = "dc:title contains &quot;zq&quot;";
    while (criteria.size() < 800000) {
        criteria += " or dc:title contains &quot;zq&quot;";
    }
    std::string sort;
    while (sort.size() < 900000) {
        sort += "+upnp:genre,";
    }
    std::string filter = "dc:title";
    while (filter.size() < 900000) {
        filter += ",upnp:artist";
    }
    const std::string requests[] = {
        soap_request("Search", search_arguments(criteria, ""), false),
        soap_request("Search", search_arguments("dc:title contains &quot;zq&quot;", sort), false),
        soap_request("Browse", browse_arguments("0", "BrowseDirectChildren", 10, filter), false),
    };
    std::vector<Outcome> outcomes;
    std::vector<double> times;
    int statuses[6] = {}; // 2xx .. 5xx by hundreds
    while (attack_going(a)) {
        // Two of each kind at once.
        std::vector<Exchange> xs(6);
        for (size_t i = 0; i < xs.size(); ++i) {
            xs[i].request = requests[i % 3];
        }
        exchange_all(xs, "127.0.0.7", a.server.port,
                     std::min(a.until, Clock::now() + kOtherClientPatience));
        for (const Exchange& x : xs) {
            outcomes.push_back(x.outcome);
            if (x.outcome == Outcome::Answered) {
                times.push_back(ms_between(x.start, x.end));
                ++statuses[std::clamp(x.status / 100, 0, 5)];
            }
        }
    }
    char text[400];
    snprintf(text, sizeof text,
             "%zu oversized requests: %s (status 2xx %d, 4xx %d, 5xx %d), median %.0f ms",
             outcomes.size(), outcome_counts(outcomes).c_str(), statuses[2], statuses[4],
             statuses[5], median(times));
    return text;
}

// A callback server on 127.0.0.3 that records when each NOTIFY arrives.
struct Notification {
    Clock::time_point at;
    long seq = -1;
    std::string sid;
};

struct CallbackServer {
    int fd = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<Notification> received;
    std::thread thread;
};

bool callback_start(CallbackServer& cb)
{
    cb.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.3", &addr.sin_addr);
    socklen_t length = sizeof addr;
    if (cb.fd < 0 || bind(cb.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(cb.fd, 64) != 0 ||
        getsockname(cb.fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        return false;
    }
    cb.port = ntohs(addr.sin_port);
    cb.thread = std::thread([&cb] {
        while (!cb.stop) {
            pollfd p{cb.fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            const int c = accept4(cb.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                continue;
            }
            // The server sends the whole NOTIFY and closes; a head is
            // enough to know the sequence number.
            std::string text;
            const auto deadline = Clock::now() + std::chrono::seconds(2);
            char buf[4096];
            while (text.find("\r\n\r\n") == std::string::npos && Clock::now() < deadline) {
                pollfd q{c, POLLIN, 0};
                if (poll(&q, 1, remaining_ms(deadline)) <= 0) {
                    break;
                }
                const ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0) {
                    break;
                }
                text.append(buf, static_cast<size_t>(n));
            }
            close(c);
            Notification n;
            n.at = Clock::now();
            std::smatch m;
            if (std::regex_search(text, m, std::regex("\nSEQ: *(\\d+)", std::regex::icase))) {
                n.seq = std::stol(m[1]);
            }
            if (std::regex_search(text, m,
                                  std::regex("\nSID: *(uuid:[0-9A-Fa-f-]+)", std::regex::icase))) {
                n.sid = m[1];
            }
            std::lock_guard<std::mutex> guard(cb.lock);
            cb.received.push_back(n);
        }
    });
    return true;
}

void callback_stop(CallbackServer& cb)
{
    cb.stop = true;
    if (cb.thread.joinable()) {
        cb.thread.join();
    }
    if (cb.fd >= 0) {
        close(cb.fd);
    }
}

// The time from since until a NOTIFY for sid with a sequence number of at
// least min_seq arrives; negative when none came before the deadline.
double wait_notify(CallbackServer& cb, const std::string& sid, long min_seq,
                   Clock::time_point since, Clock::time_point deadline)
{
    while (Clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> guard(cb.lock);
            for (const Notification& n : cb.received) {
                if (n.sid == sid && n.seq >= min_seq && n.at >= since) {
                    return ms_between(since, n.at);
                }
            }
        }
        usleep(5000);
    }
    return -1;
}

long last_seq(CallbackServer& cb, const std::string& sid)
{
    std::lock_guard<std::mutex> guard(cb.lock);
    long seq = -1;
    for (const Notification& n : cb.received) {
        if (n.sid == sid) {
            seq = std::max(seq, n.seq);
        }
    }
    return seq;
}

// The SID of a new subscription, or empty.
std::string subscribe(int port, const char* source, const std::string& callback)
{
    const Exchange x = exchange_one("SUBSCRIBE /ContentDirectory/Event HTTP/1.1\r\n"
                                    "HOST: 127.0.0.1\r\nCALLBACK: " +
                                        callback +
                                        "\r\nNT: upnp:event\r\nTIMEOUT: Second-1800\r\n"
                                        "Connection: close\r\n\r\n",
                                    source, port, std::chrono::seconds(10), false);
    std::smatch m;
    return x.status == 200 && std::regex_search(x.head, m, std::regex("SID: *(uuid:[0-9A-Fa-f-]+)"))
               ? std::string(m[1])
               : "";
}

void unsubscribe(int port, const char* source, const std::string& sid)
{
    if (!sid.empty()) {
        exchange_one("UNSUBSCRIBE /ContentDirectory/Event HTTP/1.1\r\nHOST: 127.0.0.1\r\n"
                     "SID: " +
                         sid + "\r\nConnection: close\r\n\r\n",
                     source, port, std::chrono::seconds(5), false);
    }
}

// A listener that never accepts, with its one-slot queue filled: further
// connections to it get no answer to their SYN at all, like a host that has
// left the network. Closing it lets them fail at once.
struct Tarpit {
    int fd = -1;
    int port = 0;
    std::vector<int> fillers;
};

bool tarpit_open(Tarpit& t)
{
    t.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.5", &addr.sin_addr);
    socklen_t length = sizeof addr;
    if (t.fd < 0 || bind(t.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(t.fd, 0) != 0 ||
        getsockname(t.fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        return false;
    }
    t.port = ntohs(addr.sin_port);
    for (int i = 0; i < 3; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        t.fillers.push_back(fd);
    }
    usleep(100000);
    return true;
}

void tarpit_close(Tarpit& t)
{
    for (int fd : t.fillers) {
        close(fd);
    }
    if (t.fd >= 0) {
        close(t.fd);
    }
}

// A loopback port on which nothing listens (a connection is refused).
int closed_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.5", &addr.sin_addr);
    socklen_t length = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
}

// A new track in the library and a rescan: the tree changes and the
// subscribers are told.
Clock::time_point change_library(Server& server, int serial)
{
    write_track(server.content + "/music/new", 100000 + serial);
    const auto at = Clock::now();
    exchange_one("GET /rescan HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
                 "127.0.0.1", server.port, std::chrono::seconds(5));
    return at;
}

std::string figures_of_delays(const std::vector<double>& delays, int lost)
{
    char text[120];
    snprintf(text, sizeof text, "median %.0f ms, worst %.0f ms, %d of %zu lost", median(delays),
             delays.empty() ? 0.0 : *std::max_element(delays.begin(), delays.end()), lost,
             delays.size() + static_cast<size_t>(lost));
    return text;
}

struct EventsSetup {
    CallbackServer callback;
    Tarpit tarpit;
    double alone_ms = -1;
};

// Before the attack: the NOTIFY delay of a subscriber alone, to compare.
void events_prepare(EventsSetup& e, Server& server, int& serial)
{
    if (!callback_start(e.callback) || !tarpit_open(e.tarpit)) {
        return;
    }
    const std::string url = "<http://127.0.0.3:" + std::to_string(e.callback.port) + "/alone>";
    const std::string sid = subscribe(server.port, "127.0.0.3", url);
    if (sid.empty()) {
        return;
    }
    wait_notify(e.callback, sid, 0, Clock::time_point(), Clock::now() + std::chrono::seconds(3));
    // Events go out in rounds, so one delay says little: the median of three.
    std::vector<double> delays;
    for (int i = 0; i < 3; ++i) {
        const long seen = last_seq(e.callback, sid);
        const auto at = change_library(server, serial++);
        const double ms =
            wait_notify(e.callback, sid, std::max(1L, seen + 1), at, at + std::chrono::seconds(5));
        if (ms >= 0) {
            delays.push_back(ms);
        }
    }
    e.alone_ms = delays.empty() ? -1 : median(delays);
    unsubscribe(server.port, "127.0.0.3", sid);
}

std::string attack_events(Attack& a, EventsSetup& e, int& serial)
{
    if (e.callback.port == 0 || e.tarpit.port == 0) {
        return "no callback server";
    }
    // Thirty URLs that never answer: a silent host and refused ports, in
    // turn. Short, so that the request head stays within the 1023 bytes the
    // server reads.
    std::string hostile;
    for (int i = 0; i < 30; ++i) {
        const int port = i % 2 == 0 ? e.tarpit.port : closed_port();
        hostile += "<http://127.0.0.5:" + std::to_string(port) + "/>";
    }
    const std::string real = "<http://127.0.0.3:" + std::to_string(e.callback.port) + "/real>";
    // One hostile subscription on each side of the real one, so that one of
    // them is served first whichever way the table is filled.
    const std::string first = subscribe(a.server.port, "127.0.0.5", hostile);
    const auto subscribed = Clock::now();
    const std::string sid = subscribe(a.server.port, "127.0.0.3", real);
    const std::string second = subscribe(a.server.port, "127.0.0.5", hostile);
    std::string text;
    if (sid.empty()) {
        text = "the real subscription was refused";
    } else {
        const double initial = wait_notify(e.callback, sid, 0, subscribed,
                                           std::max(a.until, subscribed + std::chrono::seconds(3)));
        std::vector<double> delays;
        int lost = 0;
        // At least one change, however long the initial event took.
        do {
            const long seen = last_seq(e.callback, sid);
            const auto at = change_library(a.server, serial++);
            const double ms =
                wait_notify(e.callback, sid, std::max(1L, seen + 1), at, at + kOtherClientPatience);
            if (ms < 0) {
                ++lost;
            } else {
                delays.push_back(ms);
            }
        } while (attack_going(a));
        char head[200];
        snprintf(head, sizeof head, "%s hostile subscriptions accepted; initial NOTIFY %.0f ms",
                 first.empty() && second.empty()   ? "no"
                 : first.empty() || second.empty() ? "1 of 2"
                                                   : "2",
                 initial);
        char alone[80];
        snprintf(alone, sizeof alone, "; NOTIFY alone median %.0f ms", e.alone_ms);
        text = std::string(head) + ", after a change " + figures_of_delays(delays, lost) + alone;
    }
    unsubscribe(a.server.port, "127.0.0.5", first);
    unsubscribe(a.server.port, "127.0.0.3", sid);
    unsubscribe(a.server.port, "127.0.0.5", second);
    return text;
}

std::string attack_burst(Attack& a)
{
    std::vector<Outcome> outcomes;
    std::vector<double> times;
    int rounds = 0;
    while (attack_going(a)) {
        std::vector<Exchange> xs(50);
        for (Exchange& x : xs) {
            x.request = small_browse(false);
        }
        exchange_all(
            xs, "127.0.0.8", a.server.port,
            std::min(Clock::now() + kOtherClientPatience, a.until + std::chrono::seconds(5)));
        for (const Exchange& x : xs) {
            outcomes.push_back(browse_answered(x)               ? Outcome::Answered
                               : x.outcome == Outcome::Answered ? Outcome::Cut
                                                                : x.outcome);
            if (browse_answered(x)) {
                times.push_back(ms_between(x.start, x.end));
            }
        }
        ++rounds;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    char text[300];
    snprintf(text, sizeof text, "%d burst(s) of 50: %s; burst failures %ld, slowest answer %.0f ms",
             rounds, outcome_counts(outcomes).c_str(),
             static_cast<long>(outcomes.size()) -
                 std::count(outcomes.begin(), outcomes.end(), Outcome::Answered),
             times.empty() ? 0.0 : *std::max_element(times.begin(), times.end()));
    return text;
}

bool still_open(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char c;
    if (poll(&p, 1, 0) <= 0) {
        return true;
    }
    const ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

std::string attack_slots(Attack& a)
{
    char hosts[31][16];
    for (int i = 0; i < 31; ++i) {
        snprintf(hosts[i], sizeof hosts[i], "127.0.0.%d", 10 + i);
    }
    // Idle connections: each asks once, keeps the connection, and says no
    // more. Opened a hundred at a time, from four hosts at once.
    std::vector<int> idle;
    std::vector<Outcome> outcomes;
    for (int batch = 0; batch < 10 && attack_going(a); ++batch) {
        std::vector<Exchange> xs(100);
        for (Exchange& x : xs) {
            x.request = small_browse(true);
            x.keep_open = true;
        }
        // One host per batch call; the next batch moves on to the next hosts.
        std::vector<std::vector<Exchange>> by_host(4);
        for (size_t i = 0; i < xs.size(); ++i) {
            by_host[i % 4].push_back(std::move(xs[i]));
        }
        std::vector<std::thread> threads;
        for (size_t h = 0; h < by_host.size(); ++h) {
            const char* host = hosts[(batch * 4 + h) % 31];
            threads.emplace_back([&, h, host] {
                exchange_all(by_host[h], host, a.server.port,
                             std::min(a.until, Clock::now() + std::chrono::seconds(5)));
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        for (std::vector<Exchange>& group : by_host) {
            for (Exchange& x : group) {
                outcomes.push_back(x.outcome);
                if (x.fd >= 0) {
                    idle.push_back(x.fd);
                }
            }
        }
    }
    // Slow connections: a request head one byte a second, never finished.
    std::vector<int> slow;
    for (int i = 0; i < 200; ++i) {
        const int fd = connect_start(hosts[i % 31], a.server.port);
        if (fd >= 0) {
            slow.push_back(fd);
        }
    }
    const std::string head = "GET /rpc/playing HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: "
                             "a player that takes its time over every single byte\r\n";
    size_t at = 0;
    while (attack_going(a)) {
        for (int fd : slow) {
            send(fd, head.data() + at % head.size(), 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        ++at;
        const auto next = Clock::now() + std::chrono::seconds(1);
        while (Clock::now() < std::min(next, a.until)) {
            usleep(20000);
        }
    }
    const long idle_open = std::count_if(idle.begin(), idle.end(), still_open);
    const long slow_open = std::count_if(slow.begin(), slow.end(), still_open);
    for (int fd : idle) {
        close(fd);
    }
    for (int fd : slow) {
        close(fd);
    }
    char text[400];
    snprintf(text, sizeof text,
             "%zu idle: %s, %ld open at the end; %zu slow: %ld not closed by the server; "
             "server's open-file limit %llu",
             outcomes.size(), outcome_counts(outcomes).c_str(), idle_open, slow.size(), slow_open,
             static_cast<unsigned long long>(a.server.open_files));
    return text;
}

std::string attack_covers(Attack& a, const std::string& track_id, size_t cover_bytes)
{
    if (track_id.empty()) {
        return "no cover track found";
    }
    const std::string request = "GET /albumart-mp3/" + track_id +
                                "_tn.jpg HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    const char* const hosts[] = {"127.0.0.7", "127.0.0.8", "127.0.0.9"};
    std::vector<Outcome> outcomes;
    int thumbnails = 0;
    int rounds = 0;
    // Both kinds of round at least once, however long the first takes.
    while (attack_going(a) || (rounds < 2 && server_alive(a.server))) {
        // 32 at once from one host, then 30 from each of three.
        const int host_count = rounds % 2 == 0 ? 1 : 3;
        const int per_host = rounds % 2 == 0 ? 32 : 30;
        std::vector<std::vector<Exchange>> by_host(static_cast<size_t>(host_count));
        std::vector<std::thread> threads;
        // Every request waits at most the server's slot wait (15 s) and its
        // thumbnail is small: all of them end within 20 s.
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        for (int h = 0; h < host_count; ++h) {
            by_host[static_cast<size_t>(h)].resize(static_cast<size_t>(per_host));
            for (Exchange& x : by_host[static_cast<size_t>(h)]) {
                x.request = request;
            }
            threads.emplace_back([&, h] {
                exchange_all(by_host[static_cast<size_t>(h)], hosts[h], a.server.port, deadline);
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        for (const std::vector<Exchange>& group : by_host) {
            for (const Exchange& x : group) {
                outcomes.push_back(x.outcome);
                thumbnails += x.outcome == Outcome::Answered && x.status == 200 &&
                                      x.body.compare(0, 2, "\xFF\xD8") == 0 &&
                                      x.body_received < 100000
                                  ? 1
                                  : 0;
            }
        }
        ++rounds;
    }
    char text[300];
    snprintf(text, sizeof text,
             "%d round(s) of 32 and 90 thumbnails of a %.1f MB cover: %s, %d small JPEGs", rounds,
             cover_bytes / 1e6, outcome_counts(outcomes).c_str(), thumbnails);
    return text;
}

// Renews sid for 1800 s from source; the answer's status.
int renew_subscription(int port, const char* source, const std::string& sid)
{
    return exchange_one("SUBSCRIBE /ContentDirectory/Event HTTP/1.1\r\nHOST: 127.0.0.1\r\n"
                        "SID: " +
                            sid + "\r\nTIMEOUT: Second-1800\r\nConnection: close\r\n\r\n",
                        source, port, std::chrono::seconds(10), false)
        .status;
}

std::string attack_gena(Attack& a)
{
    const char* const hosts[] = {"127.0.0.11", "127.0.0.12", "127.0.0.13"};
    const int refused_port = closed_port();
    const auto callback_of = [&](const char* host) {
        return "<http://" + std::string(host) + ":" + std::to_string(refused_port) + "/>";
    };
    std::vector<std::pair<const char*, std::string>> hostile;
    int accepted = 0;
    int asked = 0;
    const auto subscribe_all = [&] {
        for (const char* host : hosts) {
            for (int i = 0; i < 8; ++i) {
                const std::string sid = subscribe(a.server.port, host, callback_of(host));
                ++asked;
                if (!sid.empty()) {
                    ++accepted;
                    renew_subscription(a.server.port, host, sid);
                    hostile.emplace_back(host, sid);
                }
            }
        }
    };
    subscribe_all();
    const char* fourth = "127.0.0.14";
    const std::string sid = subscribe(a.server.port, fourth, callback_of(fourth));
    int renewed = 0;
    int renewals = 0;
    while (attack_going(a) && !sid.empty()) {
        subscribe_all();
        ++renewals;
        renewed += renew_subscription(a.server.port, fourth, sid) == 200 ? 1 : 0;
    }
    int held = 0;
    for (const auto& [host, hostile_sid] : hostile) {
        held += renew_subscription(a.server.port, host, hostile_sid) == 200 ? 1 : 0;
        unsubscribe(a.server.port, host, hostile_sid);
    }
    unsubscribe(a.server.port, fourth, sid);
    char text[300];
    snprintf(text, sizeof text,
             "%d of %d hostile subscriptions accepted, %d of them held at the end; a fourth "
             "control point %s, %d of %d renewals kept",
             accepted, asked, held, sid.empty() ? "REFUSED" : "subscribed", renewed, renewals);
    return text;
}

std::string attack_heads(Attack& a)
{
    // Long enough for the server's head time (10 s from a head's first byte)
    // to pass for every connection, however late the server reads it.
    a.until = std::max(a.until, Clock::now() + std::chrono::seconds(14));
    std::vector<int> fds;
    for (int h = 0; h < 33; ++h) {
        const std::string host = "127.0.0." + std::to_string(50 + h);
        for (int i = 0; i < 32; ++i) {
            const int fd = connect_start(host.c_str(), a.server.port);
            if (fd >= 0) {
                fds.push_back(fd);
            }
        }
    }
    // Each sends its first byte once connected.
    std::vector<bool> sent(fds.size(), false);
    const auto sending_until = Clock::now() + std::chrono::seconds(2);
    size_t left = fds.size();
    while (left > 0 && Clock::now() < sending_until) {
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!sent[i] && send(fds[i], "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) {
                sent[i] = true;
                --left;
            }
        }
        usleep(10000);
    }
    long open_at_start = 0;
    usleep(500000);
    open_at_start = std::count_if(fds.begin(), fds.end(), still_open);
    while (attack_going(a)) {
        usleep(50000);
    }
    const long open_at_end = std::count_if(fds.begin(), fds.end(), still_open);
    for (int fd : fds) {
        close(fd);
    }
    char text[300];
    snprintf(text, sizeof text,
             "%zu connections sent one byte (%zu not sent): %ld open after 0.5 s, %ld open "
             "after 14 s",
             fds.size(), left, open_at_start, open_at_end);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    // Absolute: the server runs in a directory of its own.
    const std::string program = fs::absolute(
        argc > 1 ? fs::path(argv[1]) : fs::path(argv[0]).parent_path() / ".." / "plenwick");
    const int seconds = argc > 2 ? std::max(1, atoi(argv[2])) : 5;
    const int tracks = argc > 3 ? std::max(10, atoi(argv[3])) : 3000;
    const long cap_kib = (argc > 4 ? atol(argv[4]) : 4096) * 1024;
    const auto run_start = Clock::now();
    signal(SIGPIPE, SIG_IGN);

    // Room for 1200 connections of our own; the server keeps the limit it
    // would have had from the shell.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t server_files = limit.rlim_cur;
    if (limit.rlim_cur < 4096) {
        limit.rlim_cur = std::min<rlim_t>(4096, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }

    const std::string root =
        fs::temp_directory_path() / ("corvalenso-hostile-bench-" + std::to_string(getpid()));
    Server server;
    server.program = program;
    server.content = root + "/library";
    server.workdir = root + "/run";
    fs::create_directories(server.workdir);
    fs::create_directories(server.content + "/photos");
    for (int i = 0; i < tracks; ++i) {
        write_track(server.content + "/music", i);
    }
    for (int i = 0; i < 4; ++i) {
        write_photo(server.content + "/photos/photo" + std::to_string(i) + ".jpg", 1600, 1200, i);
    }
    const size_t cover_bytes = write_cover_track(server.content + "/music/Cover/Covered.mp3");
    server.args = {"-ip",         "127.0.0.1",
                   "-radio",      "0",
                   "-contentdir", server.content,
                   "-dbfile",     server.workdir + "/library.db",
                   "-scantime",   "0",
                   "-v",          "5"};
    if (!server_start(server, server_files)) {
        fs::remove_all(root);
        return 1;
    }
    Monitor monitor;
    monitor.cap_kib = cap_kib;
    monitor.pid = server.pid;
    monitor_start(monitor);
    const std::string picture_id = find_picture_id(server.port);
    const std::string cover_track_id = find_cover_track_id(server.port);
    printf("server pid %d on port %d, %d tracks, 4 photos (picture id %s), %d s per attack, "
           "memory cap %ld MB\n",
           server.pid, server.port, tracks, picture_id.empty() ? "none" : picture_id.c_str(),
           seconds, cap_kib / 1024);
    fflush(stdout);

    // The whole run stays within about five minutes, whatever the server
    // does: an attack that would start later is left out.
    const auto budget_end = run_start + std::chrono::seconds(280);
    std::vector<PhaseResult> results;
    int serial = 0;
    const char* const names[] = {"quiet", "pictures", "soap", "events", "burst",
                                 "slots", "covers",   "gena", "heads"};
    for (const char* name : names) {
        const std::string attack_name = name;
        if (Clock::now() > budget_end) {
            printf("%s: left out, the time for the run is spent\n", name);
            continue;
        }
        if (!server_ready(server, monitor, server_files)) {
            printf("%s: the server does not answer; stopped here\n", name);
            break;
        }
        EventsSetup events;
        if (attack_name == "events") {
            events_prepare(events, server, serial);
        }
        Phase phase;
        phase_begin(phase, server, monitor);
        Attack attack{server, Clock::now() + std::chrono::seconds(seconds)};
        std::string figures;
        if (attack_name == "quiet") {
            std::this_thread::sleep_until(attack.until);
            figures = "no attack";
        } else if (attack_name == "pictures") {
            figures = attack_pictures(attack, picture_id);
        } else if (attack_name == "soap") {
            figures = attack_soap(attack);
        } else if (attack_name == "events") {
            figures = attack_events(attack, events, serial);
        } else if (attack_name == "burst") {
            figures = attack_burst(attack);
        } else if (attack_name == "slots") {
            figures = attack_slots(attack);
        } else if (attack_name == "covers") {
            figures = attack_covers(attack, cover_track_id, cover_bytes);
        } else if (attack_name == "gena") {
            figures = attack_gena(attack);
        } else {
            figures = attack_heads(attack);
        }
        tarpit_close(events.tarpit);
        callback_stop(events.callback);
        results.push_back(phase_end(phase, server, monitor, name, figures));
        if (results.back().still_busy) {
            // The next attack meets a server at rest.
            printf("(the server is started again)\n");
            server_stop(server);
        }
    }

    double worst = 0;
    int failures = 0;
    long hwm_kib = 0;
    for (const PhaseResult& r : results) {
        worst = std::max(worst, r.worst_ms);
        failures += r.failures;
        hwm_kib = std::max(hwm_kib, r.hwm_kib);
    }
    const bool all_ran = results.size() == std::size(names);
    // The peak of the whole run, the pauses between attacks included.
    const double peak = monitor.run_peak_rss_kib / 1024.0;
    monitor.pid = -1;
    server_stop(server);
    monitor_stop(monitor);
    fs::remove_all(root);
    // The verdict the figures support, stated with them.
    const bool fast = all_ran && failures == 0 && worst < 50;
    const bool small = hwm_kib / 1024.0 < 200 && peak < 200;
    printf("hostile: worst other-client answer %.1f ms, peak %.1f MB (VmHWM %.1f MB), %d "
           "other-client failures, %zu of %zu attacks run: another client %s in under 50 ms "
           "during every attack, and the peak %s under 200 MB\n",
           worst, peak, hwm_kib / 1024.0, failures, results.size(), std::size(names),
           fast ? "answered" : "was NOT always answered", small ? "stayed" : "did NOT stay");
    return 0;
}
