// A media tree with items over real files of chosen sizes, and the parts of
// a captured answer.
#pragma once

#include "control/clients.h"
#include "db/db_fixture.h"
#include "delivery/play_status.h"
#include "support/captured_connection.h"

#include <cstring>
#include <string>

struct Answer {
    std::string head;
    std::string body;
    int status = 0;
};

inline Answer split_answer(const std::string& raw)
{
    Answer a;
    const size_t end = raw.find("\r\n\r\n");
    a.head = raw.substr(0, end == std::string::npos ? raw.size() : end + 4);
    a.body = end == std::string::npos ? "" : raw.substr(end + 4);
    if (a.head.size() > 12) {
        a.status = std::stoi(a.head.substr(9, 3));
    }
    return a;
}

inline bool has_line(const Answer& a, const std::string& line)
{
    return a.head.find("\r\n" + line + "\r\n") != std::string::npos;
}

class DeliveryTest : public DbTest
{
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        play_status_clear();
        db_create();
    }
    void TearDown() override
    {
        play_status_clear();
        DbTest::TearDown();
    }

    // A file of size bytes whose byte i is i * 7 mod 251, so that any
    // misplaced range shows in the body.
    std::string sized_file(const std::string& name, size_t size)
    {
        const std::string path = file(name);
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) {
            data[i] = static_cast<char>((i * 7) % 251);
        }
        write_text_file(path, data);
        return path;
    }

    // Adds an item of the class for path; returns its object id text.
    std::string add_item(const std::string& path, const char* upnp_class = kClassMusicTrack,
                         const char* duration = "0:01:40.000", int bitrate = 80000,
                         const char* title = "Song")
    {
        DbItemFields f;
        f.title = title;
        f.upnp_class = upnp_class;
        f.artist = "Artist";
        f.album = "Album";
        f.genre = "Rock";
        f.date = "2001-01-01";
        f.path = path.c_str();
        f.duration = duration;
        f.bitrate = bitrate;
        f.mtime = 1;
        db_add_item(f);
        const DbLock lock = db_lock();
        return std::to_string(db_find_item_for_class(lock, path, upnp_class)->id);
    }

    // Calls handler for a request of the URL with the extra header lines, on
    // the listener of 127.0.0.1:9000.
    Answer fetch(int (*handler)(HttpConnection*), const std::string& url,
                 const std::string& headers = "", int method = HTTP_GET,
                 const char* client = "127.0.0.1")
    {
        CapturedConnection cap(url.c_str());
        cap.c.method = method;
        snprintf(cap.c.client_ip.data(), cap.c.client_ip.size(), "%s", client);
        snprintf(cap.c.base_url.data(), cap.c.base_url.size(), "http://127.0.0.1:9000/");
        // The server's own name unless the test names another.
        const bool own_host = headers.find("Host:") == std::string::npos;
        const std::string head = std::string(method == HTTP_HEAD ? "HEAD " : "GET ") + url +
                                 " HTTP/1.1\r\n" + (own_host ? "Host: 127.0.0.1:9000\r\n" : "") +
                                 headers + "\r\n";
        http_set_head(&cap.c, head);
        Answer a = split_answer(cap.run([&] { return handler(&cap.c); }));
        last_result = cap.result;
        return a;
    }

    static std::string expected_bytes(size_t from, size_t count)
    {
        std::string data(count, '\0');
        for (size_t i = 0; i < count; ++i) {
            data[i] = static_cast<char>(((from + i) * 7) % 251);
        }
        return data;
    }

    int last_result = -1;
};
