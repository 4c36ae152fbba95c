#include "delivery/jpeg_decode.h"

#include "core/log.h"
#include "delivery/jpeg_errors.h"
#include "http/http_client.h"
#include "http/http_read.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <utility>

PictureFit picture_fit(int src_w, int src_h, int req_w, int req_h, int mode)
{
    PictureFit fit;
    if (mode == PICTURE_AS_DECODED) {
        fit.canvas_w = fit.fit_w = src_w;
        fit.canvas_h = fit.fit_h = src_h;
    } else {
        // The wide mode serves players whose pixels are not square: the
        // picture is laid out as if it were 9/8 as wide.
        const double eff_w = mode == PICTURE_WIDE ? static_cast<int>(src_w * 1.125) : src_w;
        if (eff_w / src_h > static_cast<double>(req_w) / req_h) {
            const float scale = static_cast<float>(req_w) / static_cast<float>(eff_w);
            fit.fit_w = req_w;
            fit.fit_h = static_cast<int>(src_h * static_cast<double>(scale));
        } else {
            const float scale = static_cast<float>(req_h) / static_cast<float>(src_h);
            fit.fit_h = req_h;
            fit.fit_w = static_cast<int>(eff_w * static_cast<double>(scale));
        }
        // A sliver of a picture still covers one pixel: the steps divide by
        // the fitted size.
        fit.fit_w = std::max(fit.fit_w, 1);
        fit.fit_h = std::max(fit.fit_h, 1);
        fit.canvas_w = mode == PICTURE_FITTED ? fit.fit_w : req_w;
        fit.canvas_h = mode == PICTURE_FITTED ? fit.fit_h : req_h;
    }
    fit.x_off = fit.fit_w < fit.canvas_w ? (fit.canvas_w - fit.fit_w) / 2 : 0;
    fit.y_off = fit.fit_h < fit.canvas_h ? (fit.canvas_h - fit.fit_h) / 2 : 0;
    fit.x_step = static_cast<int>(src_w * 1000.0 / fit.fit_w);
    fit.y_step = static_cast<int>(src_h * 1000.0 / fit.fit_h);
    return fit;
}

namespace
{

constexpr size_t kNetworkBufferSize = 1034;
constexpr size_t kNetworkHeadLimit = 1023;
constexpr size_t kNetworkChunk = 1024;
constexpr int kNetworkReceiveSeconds = 15;
// However slowly a source trickles, a picture ends within this time.
constexpr auto kNetworkPictureLimit = std::chrono::seconds(60);
constexpr const char* kWebcamSuffix = "#_webcam.jpg";
// What one decoder may allocate. A baseline picture needs a few rows of
// blocks whatever its size; a progressive one keeps all of its coefficients,
// about 3 bytes a pixel (4:2:0), so this takes progressive pictures of up to
// about 10 megapixels. Beyond it the library fails the picture (the
// placeholder is sent) instead of the server running out of memory.
constexpr long kDecoderMemoryLimit = 32L * 1024 * 1024;

// The library's source manager for a picture that arrives over HTTP.
struct NetworkSource {
    jpeg_source_mgr manager; // first: the library sees only this part
    int socket = -1;
    uint8_t buffer[kNetworkBufferSize] = {};
    const uint8_t* head_body = nullptr; // body bytes that came with the head
    size_t head_body_length = 0;
    bool start = false;
    int64_t expected = -1; // body bytes still to come; -1 when not announced
    std::chrono::steady_clock::time_point deadline;
};

NetworkSource* network_of(j_decompress_ptr info)
{
    return reinterpret_cast<NetworkSource*>(info->src);
}

void network_init(j_decompress_ptr info)
{
    network_of(info)->start = true;
}

boolean network_fill(j_decompress_ptr info)
{
    NetworkSource* source = network_of(info);
    if (source->start) {
        source->start = false;
        if (source->head_body_length > 0) {
            source->manager.next_input_byte = source->head_body;
            source->manager.bytes_in_buffer = source->head_body_length;
            return TRUE;
        }
    }
    ssize_t n = 0;
    // A camera that keeps the connection open after the announced body
    // would otherwise hold the request until its time limit.
    if (source->expected != 0 && std::chrono::steady_clock::now() < source->deadline) {
        do {
            n = recv(source->socket, source->buffer, kNetworkChunk, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
    }
    if (n <= 0) {
        // The end of the picture, so that decoding finishes with what came.
        WARNMS(info, JWRN_JPEG_EOF);
        source->buffer[0] = 0xFF;
        source->buffer[1] = JPEG_EOI;
        n = 2;
    } else if (source->expected > 0) {
        source->expected -= std::min<int64_t>(n, source->expected);
    }
    source->manager.next_input_byte = source->buffer;
    source->manager.bytes_in_buffer = static_cast<size_t>(n);
    return TRUE;
}

void network_skip(j_decompress_ptr info, long count)
{
    jpeg_source_mgr* manager = info->src;
    while (count > static_cast<long>(manager->bytes_in_buffer)) {
        count -= static_cast<long>(manager->bytes_in_buffer);
        network_fill(info);
    }
    if (count > 0) {
        manager->next_input_byte += count;
        manager->bytes_in_buffer -= static_cast<size_t>(count);
    }
}

void network_term(j_decompress_ptr)
{
}

// Connects, sends the GET and receives the answer head; false when the
// source cannot be reached, sends nothing or its head does not end within
// the first 1023 bytes.
bool network_open(NetworkSource& source, const char* path)
{
    std::string url = path;
    const size_t hash = url.rfind('#');
    if (hash != std::string::npos && url.compare(hash, std::string::npos, kWebcamSuffix) == 0) {
        url.erase(hash);
    }
    source.deadline = std::chrono::steady_clock::now() + kNetworkPictureLimit;
    source.socket = http_connect(url.c_str());
    if (source.socket < 0) {
        return false;
    }
    const timeval limit{kNetworkReceiveSeconds, 0};
    setsockopt(source.socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (http_send_get(source.socket, url.c_str(), nullptr) != 0) {
        return false;
    }
    size_t got = 0;
    const uint8_t* head_end = nullptr;
    while (got < kNetworkHeadLimit && !head_end &&
           std::chrono::steady_clock::now() < source.deadline) {
        const ssize_t n =
            recv(source.socket, source.buffer + got, kNetworkHeadLimit - got, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
        head_end = static_cast<const uint8_t*>(memmem(source.buffer, got, "\r\n\r\n", 4));
    }
    if (!head_end) {
        return false;
    }
    head_end += 4;
    const std::string head(reinterpret_cast<const char*>(source.buffer),
                           static_cast<size_t>(head_end - source.buffer));
    source.head_body = head_end;
    source.head_body_length = got - head.size();
    const int64_t announced = http_content_length(head.c_str());
    if (announced >= 0) {
        source.expected =
            std::max<int64_t>(announced - static_cast<int64_t>(source.head_body_length), 0);
    }
    source.manager.init_source = network_init;
    source.manager.fill_input_buffer = network_fill;
    source.manager.skip_input_data = network_skip;
    source.manager.resync_to_restart = jpeg_resync_to_restart;
    source.manager.term_source = network_term;
    source.manager.bytes_in_buffer = 0;
    source.manager.next_input_byte = nullptr;
    return true;
}

enum class Outcome { Decoded, Unreadable, NoMemory };

// Everything one decode owns. The library may jump back out of the middle of
// the work, so what needs releasing lives here, not on the stack of the
// functions it jumps over.
struct DecodeJob {
    const char* path = nullptr;
    // A picture held in memory (album art) instead of the file at path.
    const uint8_t* memory = nullptr;
    size_t memory_size = 0;
    int req_w = 0, req_h = 0, mode = 0;
    bool dct_scaling = true;
    JpegErrorJump error;
    jpeg_decompress_struct info;
    bool created = false;
    FILE* file = nullptr;
    std::unique_ptr<NetworkSource> network;
    std::unique_ptr<uint8_t[]> rows[2];
    std::optional<RgbImage> canvas;

    DecodeJob() = default;
    DecodeJob(const DecodeJob&) = delete;
    DecodeJob& operator=(const DecodeJob&) = delete;
    ~DecodeJob()
    {
        if (created) {
            jpeg_destroy_decompress(&info);
        }
        if (file) {
            fclose(file);
        }
        if (network && network->socket >= 0) {
            shutdown(network->socket, SHUT_RDWR);
            close(network->socket);
        }
    }
};

bool open_source(DecodeJob& job)
{
    if (job.memory) {
        job.file = fmemopen(const_cast<uint8_t*>(job.memory), job.memory_size, "rb");
        return job.file != nullptr;
    }
    if (strlen(job.path) > 7 && strncmp(job.path, "http://", 7) == 0) {
        job.network = std::make_unique<NetworkSource>();
        return network_open(*job.network, job.path);
    }
    job.file = fopen(job.path, "rb");
    return job.file != nullptr;
}

// One source row into row, greyscale widened in place to R = G = B.
void read_row(DecodeJob& job, uint8_t* row)
{
    JSAMPROW rows[1] = {row};
    jpeg_read_scanlines(&job.info, rows, 1);
    if (job.info.output_components == 1) {
        for (int x = static_cast<int>(job.info.output_width) - 1; x >= 0; --x) {
            row[x * 3] = row[x * 3 + 1] = row[x * 3 + 2] = row[x];
        }
    }
}

// The smallest of the library's scales n/8 whose output still covers the
// fitted size, so that the filter never enlarges what the library shrank.
void choose_scale(jpeg_decompress_struct& info, const PictureFit& fit)
{
    info.scale_denom = 8;
    for (unsigned n = 1; n <= 8; ++n) {
        info.scale_num = n;
        jpeg_calc_output_dimensions(&info);
        if (info.output_width >= static_cast<unsigned>(fit.fit_w) &&
            info.output_height >= static_cast<unsigned>(fit.fit_h)) {
            return;
        }
    }
}

// The work that may jump back to the recovery point: only plain values on
// this stack.
[[gnu::noinline]] Outcome decode_steps(DecodeJob& job)
{
    jpeg_decompress_struct& info = job.info;
    jpeg_create_decompress(&info);
    job.created = true;
    info.mem->max_memory_to_use = kDecoderMemoryLimit;
    if (job.network) {
        info.src = &job.network->manager;
    } else {
        jpeg_stdio_src(&info, job.file);
    }
    jpeg_read_header(&info, TRUE);
    info.out_color_space = info.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    // A picture asked for at its own size that is larger than any canvas
    // comes out fitted into the largest one instead, so that its size never
    // decides what the server allocates.
    if (job.mode == PICTURE_AS_DECODED &&
        !picture_size_allowed(info.image_width, info.image_height)) {
        job.mode = PICTURE_FITTED;
        job.req_w = kMaxPictureSide;
        job.req_h = kMaxPictureSide;
    }
    const PictureFit full =
        picture_fit(static_cast<int>(info.image_width), static_cast<int>(info.image_height),
                    job.req_w, job.req_h, job.mode);
    if (!picture_size_allowed(full.canvas_w, full.canvas_h)) {
        return Outcome::NoMemory;
    }
    if (job.dct_scaling && job.mode != PICTURE_AS_DECODED) {
        choose_scale(info, full);
    }
    jpeg_start_decompress(&info);
    if (info.output_components != 1 && info.output_components != 3) {
        return Outcome::Unreadable;
    }
    const int src_w = static_cast<int>(info.output_width);
    const int src_h = static_cast<int>(info.output_height);
    const size_t row_bytes = static_cast<size_t>(src_w) * 3;
    for (std::unique_ptr<uint8_t[]>& row : job.rows) {
        // Zeroed: the right-hand neighbour of the last column is black.
        row.reset(new (std::nothrow) uint8_t[row_bytes + kPixelSlack]());
        if (!row) {
            return Outcome::NoMemory;
        }
    }
    job.canvas = rgb_image_new(full.canvas_w, full.canvas_h, 0);
    if (!job.canvas) {
        return Outcome::NoMemory;
    }
    RgbImage& canvas = *job.canvas;
    uint8_t* upper = job.rows[0].get();
    uint8_t* lower = job.rows[1].get();
    read_row(job, upper);
    if (src_h > 1) {
        read_row(job, lower);
    } else {
        memcpy(lower, upper, row_bytes);
    }

    const uint32_t x_step = static_cast<uint32_t>(src_w * 1000.0 / full.fit_w);
    const uint32_t y_step = static_cast<uint32_t>(src_h * 1000.0 / full.fit_h);
    const int columns = std::min(full.fit_w, canvas.width - full.x_off);
    const int lines = std::min(full.fit_h, canvas.height - full.y_off);
    if (columns < full.fit_w || lines < full.fit_h) {
        log_msg(LOG_ERROR, LOG_CAT_SYSTEM, "JPEG Warning::\n");
    }
    uint32_t acc_y = 0;
    int row = 0;
    for (int y = 0; y < lines; ++y, acc_y += y_step) {
        while (row < static_cast<int>(acc_y / 1000)) {
            if (row < src_h - 2) {
                std::swap(upper, lower);
                read_row(job, lower);
            } else {
                memcpy(upper, lower, row_bytes);
            }
            ++row;
        }
        const uint32_t fy = acc_y % 1000;
        uint8_t* out = canvas.row(y + full.y_off) + static_cast<size_t>(full.x_off) * 3;
        uint32_t acc_x = 0;
        for (int x = 0; x < columns; ++x, acc_x += x_step) {
            const uint32_t sx = acc_x / 1000 * 3;
            const uint32_t fx = acc_x % 1000;
            for (int c = 0; c < 3; ++c) {
                out[x * 3 + c] = bilinear_mix(upper[sx + c], upper[sx + 3 + c], lower[sx + c],
                                              lower[sx + 3 + c], fx, fy);
            }
        }
    }
    while (info.output_scanline < info.output_height) {
        read_row(job, upper);
    }
    jpeg_finish_decompress(&info);
    return Outcome::Decoded;
}

Outcome run_decoder(DecodeJob& job)
{
    job.info.err = jpeg_error_jump_init(job.error);
    if (setjmp(job.error.recovery)) {
        return Outcome::Unreadable;
    }
    return decode_steps(job);
}

} // namespace

namespace
{

std::optional<RgbImage> run_job(DecodeJob& job, const char* name)
{
    if (job.mode != PICTURE_AS_DECODED && !picture_size_allowed(job.req_w, job.req_h)) {
        return std::nullopt;
    }
    const Outcome outcome = open_source(job) ? run_decoder(job) : Outcome::Unreadable;
    if (outcome == Outcome::NoMemory) {
        return std::nullopt;
    }
    if (outcome == Outcome::Unreadable) {
        log_msg(LOG_ERROR, LOG_CAT_SYSTEM, "Error on decoding JPEG %s - skipped\n", name);
        return picture_placeholder();
    }
    return std::move(job.canvas);
}

} // namespace

std::optional<RgbImage> decode_scaled(const char* path, int req_w, int req_h, int mode,
                                      bool dct_scaling)
{
    DecodeJob job;
    job.path = path;
    job.req_w = req_w;
    job.req_h = req_h;
    job.mode = mode;
    job.dct_scaling = dct_scaling;
    return run_job(job, path);
}

std::optional<RgbImage> decode_scaled_memory(const uint8_t* data, size_t size, int req_w, int req_h,
                                             int mode)
{
    if (size == 0) {
        return std::nullopt;
    }
    DecodeJob job;
    job.path = "";
    job.memory = data;
    job.memory_size = size;
    job.req_w = req_w;
    job.req_h = req_h;
    job.mode = mode;
    return run_job(job, "(album art)");
}
