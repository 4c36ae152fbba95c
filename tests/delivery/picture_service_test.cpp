#include "delivery/picture_handler.h"
#include "delivery/picture_slots.h"
#include "delivery_fixture.h"
#include "support/jpeg_files.h"
#include "support/scripted_server.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <unistd.h>

namespace
{

class PictureService : public DeliveryTest
{
protected:
    // A photo item over a JPEG of the size; returns its id.
    std::string photo(const std::string& name, int w, int h, bool grey = false)
    {
        const std::string path = file(name);
        write_jpeg(
            path, w, h, [&](int x, int y, uint8_t rgb[3]) { smooth_pixel(w, h, x, y, rgb); }, grey);
        return add_item(path, kClassPhoto);
    }

    DecodedJpeg picture(const std::string& url, int expected_status = 200)
    {
        Answer a = fetch(picture_handler, url);
        EXPECT_EQ(a.status, expected_status) << url;
        EXPECT_TRUE(has_line(a, "Content-Type: image/jpeg")) << url;
        EXPECT_TRUE(has_line(a, "Content-Length: " + std::to_string(a.body.size()))) << url;
        return decode_jpeg(a.body);
    }
};

TEST_F(PictureService, ModesGiveTheCanvasTheUrlAsksFor)
{
    const std::string id = photo("photo.jpg", 1600, 1200);
    DecodedJpeg framed = picture("/picture/" + id + "(160x160,1).jpg");
    ASSERT_TRUE(framed.ok);
    EXPECT_EQ(framed.width, 160);
    EXPECT_EQ(framed.height, 160);
    EXPECT_EQ(framed.components, 3);
    EXPECT_LT(framed.at(80, 10)[1], 8) << "black border above";
    EXPECT_GT(framed.at(80, 80)[1], 60) << "the picture";
    EXPECT_LT(framed.at(80, 150)[1], 8) << "black border below";

    DecodedJpeg fitted = picture("/picture/" + id + "(160x160,2).jpg");
    EXPECT_EQ(fitted.width, 160);
    EXPECT_EQ(fitted.height, 120);
    DecodedJpeg whole = picture("/picture/" + id + "(160x160,0).jpg");
    EXPECT_EQ(whole.width, 1600);
    EXPECT_EQ(whole.height, 1200);

    // The raw forms, typed as JPEG all the same.
    EXPECT_EQ(fetch(picture_handler, "/picture/" + id + "(136x90,1).yuv").body.size(), 18360u);
    EXPECT_EQ(fetch(picture_handler, "/picture/" + id + "(320x240,1).tini.jpg").body.size(),
              153600u);

    // HEAD: the length, no body.
    Answer head = fetch(picture_handler, "/picture/" + id + "(136x90,1).yuv", "", HTTP_HEAD);
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(has_line(head, "Content-Length: 18360"));
    EXPECT_EQ(head.body, "");
}

TEST_F(PictureService, GreyscaleAndUnreadablePictures)
{
    const std::string grey = photo("grey.jpg", 320, 240, true);
    DecodedJpeg out = picture("/picture/" + grey + "(320x240,2).jpg");
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.components, 3);
    const uint8_t* p = out.at(100, 100);
    EXPECT_LE(std::abs(p[0] - p[1]), 2);
    EXPECT_LE(std::abs(p[1] - p[2]), 2);

    const std::string text = file("fake.jpg");
    write_text_file(text, "GIF89a and then some");
    DecodedJpeg placeholder =
        picture("/picture/" + add_item(text, kClassPhoto) + "(160x160,1).jpg");
    ASSERT_TRUE(placeholder.ok);
    EXPECT_EQ(placeholder.width, 100);
    EXPECT_EQ(placeholder.height, 100);
    EXPECT_NEAR(placeholder.at(50, 50)[0], 0x80, 2);
}

TEST_F(PictureService, RefusedRequests)
{
    const std::string id = photo("p.jpg", 64, 48);
    for (const std::string& url :
         {std::string("/picture/folder.goicon"), "/picture/" + id + ".jpg",
          "/picture/" + id + "(160x160).jpg", "/picture/" + id + "(0x160,1).jpg",
          "/picture/" + id + "(160x-2,1).jpg", "/picture/" + id + "(100000x100000,1).jpg",
          "/picture/" + id + "(99999999999x1,1).jpg", std::string("/picture/999(160x160,1).jpg")}) {
        EXPECT_EQ(fetch(picture_handler, url).status, 404) << url;
    }
    const std::string gone = file("gone.jpg");
    write_jpeg(gone, 8, 8, [](int, int, uint8_t rgb[3]) { rgb[0] = rgb[1] = rgb[2] = 1; });
    const std::string gone_id = add_item(gone, kClassPhoto);
    std::remove(gone.c_str());
    EXPECT_EQ(fetch(picture_handler, "/picture/" + gone_id + "(160x160,1).jpg").status, 404);

    // The folder icon needs no item.
    DecodedJpeg icon = picture("/picture/0(168x112,1).goicon.jpg");
    EXPECT_EQ(icon.width, 168);
    EXPECT_EQ(icon.height, 112);
}

// A library file or a link swapped in after the scan cannot make the picture
// service read a file outside the content directories.
TEST_F(PictureService, FilesOutsideTheContentDirectoriesAreNotRead)
{
    TempDir elsewhere;
    const std::string outside = elsewhere.file("private.jpg");
    write_jpeg(outside, 8, 8, [](int, int, uint8_t rgb[3]) { rgb[0] = rgb[1] = rgb[2] = 200; });
    const std::string direct = add_item(outside, kClassPhoto);
    const std::string inside = photo("swapped.jpg", 8, 8);
    const std::string link_path = file("swapped.jpg");
    std::remove(link_path.c_str());
    ASSERT_EQ(symlink(outside.c_str(), link_path.c_str()), 0);
    for (const std::string& id : {direct, inside}) {
        EXPECT_EQ(fetch(picture_handler, "/picture/" + id + "(160x160,1).jpg").status, 404) << id;
    }
}

// One host asking for huge raw frames once took 310 MB a request: sizes
// beyond the largest canvas are refused, and the largest is still served.
TEST_F(PictureService, SizesBeyondTheLargestCanvasAreRefused)
{
    const std::string id = photo("p.jpg", 64, 48);
    for (const char* size : {"(8192x8192,1).yuv", "(4097x16,1).jpg", "(16x4097,2).tini.jpg",
                             "(8192x8192,1).goicon.jpg", "(8192x8192,0).jpg"}) {
        EXPECT_EQ(fetch(picture_handler, "/picture/" + id + size).status, 404) << size;
    }
    Answer a = fetch(picture_handler, "/picture/" + id + "(4096x4096,1).yuv");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body.size(), 4096u * 4096 * 3 / 2);
    EXPECT_EQ(picture_slots_in_use(), 0) << "the slot goes with the answer";
}

TEST(PictureSlots, AThirdJobWaitsForAFreeSlot)
{
    auto first = std::make_unique<PictureSlot>();
    PictureSlot second;
    ASSERT_TRUE(first->held && second.held);
    EXPECT_EQ(picture_slots_in_use(), 2);
    {
        const auto start = std::chrono::steady_clock::now();
        PictureSlot third(std::chrono::milliseconds(100));
        EXPECT_FALSE(third.held) << "the wait is bounded";
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    }
    EXPECT_EQ(picture_slots_in_use(), 2) << "a slot not taken is not given back";

    std::atomic<bool> taken = false;
    std::thread waiter([&] {
        PictureSlot third(std::chrono::seconds(30));
        taken = third.held;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(taken);
    first.reset();
    waiter.join();
    EXPECT_TRUE(taken) << "woken when a slot frees";
    EXPECT_EQ(picture_slots_in_use(), 1);
}

TEST_F(PictureService, RequestsBeyondTwoWaitForASlot)
{
    const std::string id = photo("p.jpg", 64, 48);
    auto busy = std::make_unique<PictureSlot>();
    PictureSlot also_busy;
    std::atomic<int> status = 0;
    std::thread request(
        [&] { status = fetch(picture_handler, "/picture/" + id + "(160x120,1).jpg").status; });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(status, 0) << "no answer while both slots are taken";
    busy.reset();
    request.join();
    EXPECT_EQ(status, 200);
}

TEST_F(PictureService, WebCameraPicturesFetchedOverHttp)
{
    const std::string jpeg = make_jpeg(320, 240, [](int, int, uint8_t rgb[3]) {
        rgb[0] = 250;
        rgb[1] = rgb[2] = 5;
    });
    // The camera keeps the connection open: the announced length ends it.
    ScriptedServer camera("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                              std::to_string(jpeg.size()) + "\r\n\r\n" + jpeg,
                          true);
    const std::string id = add_item(camera.url("/snap.jpg") + "#_webcam.jpg", kClassPhoto);
    DecodedJpeg out = picture("/picture/" + id + "(160x120,1).jpg");
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(out.width, 160);
    EXPECT_GT(out.at(80, 60)[0], 200);
    EXPECT_LT(out.at(80, 60)[1], 40);
    EXPECT_EQ(camera.request.rfind("GET /snap.jpg HTTP/1.1\r\n", 0), 0u) << camera.request;

    // A head that does not end within 1023 bytes, or nobody there: the
    // placeholder.
    ScriptedServer chatty("HTTP/1.1 200 OK\r\nX-Pad: " + std::string(1100, 'a') + "\r\n\r\n" +
                          jpeg);
    const std::string chatty_id = add_item(chatty.url("/snap.jpg"), kClassPhoto);
    EXPECT_EQ(picture("/picture/" + chatty_id + "(160x120,1).jpg").width, 100);
    const std::string nobody = add_item("http://127.0.0.1:1/snap.jpg", kClassPhoto);
    EXPECT_EQ(picture("/picture/" + nobody + "(160x120,1).jpg").width, 100);
}

} // namespace
