#!/usr/bin/python3
# The configuration pages in a real browser: headless Chromium, driven through
# Selenium, loads the frame set from the program's own resource pack, follows
# the navigation, fills in and submits each form itself, and the settings file
# must then hold what the forms' update rules say. Around it: a client on
# another address gets the red restricted page, a picture in the start
# directory replaces the packed one (names compared with their case), and a
# restart from the Status page while a player streams and another browses
# keeps the port, the device identifier and the library.
#
# Usage: config_pages.py <plenwick> [--screenshots DIR]
# Exit status 0 when everything holds, 1 otherwise, 77 when Chromium,
# ChromeDriver or Selenium is missing (the test is then skipped).
import http.client
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select
except ImportError as e:
    print("selenium is not installed (python3-selenium):", e)
    sys.exit(77)

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
if not CHROMIUM or not DRIVER:
    print("chromium or chromedriver is not installed (chromium, chromium-driver)")
    sys.exit(77)

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from real_library import ends_with_parent  # noqa: E402

problems = []


def check(condition, what):
    if not condition:
        problems.append(what)
    return condition


class Server:
    def __init__(self, program, work, *options):
        self.work = work
        self.log = os.path.join(work, "server.log")
        self.out = open(self.log, "ab")
        self.process = subprocess.Popen(
            [program, "-ip", "127.0.0.1", "-radio", "0", "-v", "5", *options], cwd=work, stdout=self.out,
            stderr=subprocess.STDOUT, preexec_fn=ends_with_parent)
        m = self.wait_for(r"Server starting at 127\.0\.0\.1:(\d+)", 10)
        if not m:
            raise RuntimeError("the server did not start:\n" + self.text()[-2000:])
        self.port = int(m.group(1))
        self.base = "http://127.0.0.1:%d/" % self.port

    def text(self):
        with open(self.log, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_for(self, pattern, seconds, start=0):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            m = re.search(pattern, self.text()[start:])
            if m:
                return m
            if self.process.poll() is not None:
                return None
            time.sleep(0.05)
        return None

    def ini(self):
        with open(os.path.join(self.work, "corvalenso-plenwick.ini"), encoding="utf-8") as f:
            return dict(line.rstrip("\n").split("=", 1) for line in f
                        if "=" in line and not line.startswith("#"))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.out.close()


def fetch(url, source=None, data=None):
    """(status, body) of a GET (or POST with data), from the given source address."""
    host, port = re.match(r"http://([^:/]+):(\d+)", url).groups()
    path = url.split("/", 3)[3]
    c = http.client.HTTPConnection(host, int(port), timeout=10,
                                   source_address=(source, 0) if source else None)
    c.request("POST" if data else "GET", "/" + path, data,
              {"Content-Type": "application/x-www-form-urlencoded"} if data else {})
    r = c.getresponse()
    body = r.read()
    c.close()
    return r.status, body


def browse_count(base, object_id="0"):
    body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/">'
            '<s:Body><u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1">'
            '<ObjectID>%s</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter>'
            '<StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria>'
            '</SortCriteria></u:Browse></s:Body></s:Envelope>' % object_id)
    req = urllib.request.Request(base + "ContentDirectory/Control", body.encode(), {
        "Content-Type": 'text/xml; charset="utf-8"',
        "SOAPAction": '"urn:schemas-upnp-org:service:ContentDirectory:1#Browse"'})
    with urllib.request.urlopen(req, timeout=10) as r:
        return int(re.search(rb"<TotalMatches>(\d+)</TotalMatches>", r.read()).group(1))


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1100,1000", "--no-first-run", "--disable-extensions",
                "--disable-background-networking", "--disable-sync",
                "--disable-component-update", "--disable-default-apps"):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service(DRIVER), options=options)


def open_main(driver, server, page):
    """The frame set, then page shown in its main frame by the navigation's link."""
    driver.switch_to.default_content()
    driver.get(server.base + "configpage/index.htm")
    driver.switch_to.frame("Navigationsframe")
    driver.find_element(By.LINK_TEXT, page).click()
    driver.switch_to.default_content()
    driver.switch_to.frame("Hauptframe")
    end = time.monotonic() + 10
    title = ""
    while time.monotonic() < end:
        title = driver.execute_script("return document.title")
        if title == page:
            break
        time.sleep(0.05)
    check(title == page, "the %s link shows %r" % (page, title))


def form(driver, action):
    return driver.find_element(By.CSS_SELECTOR, 'form[action="%s"]' % action)


def submit(driver, action, button):
    form(driver, action).find_element(By.CSS_SELECTOR, 'input[type="submit"][value="%s"]'
                                      % button).click()
    time.sleep(0.3)


def forms_in_the_browser(program, work, content_dirs, screenshots):
    server = Server(program, work, "-contentdir", ",".join(content_dirs))
    driver = browser()
    try:
        # The frame set and its navigation come from the pack.
        driver.get(server.base + "configpage/index.htm")
        check(driver.title == "Corvalenso Plenwick Configuration", "frame set title %r" %
              driver.title)
        driver.switch_to.frame("Navigationsframe")
        links = [a.text for a in driver.find_elements(By.TAG_NAME, "a")]
        check(links == ["Status", "General", "Music", "Image"], "navigation links %r" % links)
        images = driver.find_elements(By.TAG_NAME, "img")
        loaded = [driver.execute_script("return arguments[0].naturalWidth", i) for i in images]
        check(images and all(w > 0 for w in loaded), "navigation pictures load: %r" % loaded)
        if screenshots:
            for page, name in (("Status", "status"), ("General", "general"),
                               ("Music", "music"), ("Image", "image")):
                open_main(driver, server, page)
                driver.switch_to.default_content()
                driver.save_screenshot(os.path.join(screenshots, "config-%s.png" % name))

        # General: the directory list, ticking off the second of three.
        open_main(driver, server, "General")
        f = form(driver, "directory")
        boxes = f.find_elements(By.CSS_SELECTOR, 'input[type="checkbox"]')
        check(len(boxes) == 3, "three directory boxes, got %d" % len(boxes))
        boxes[1].click()
        f.find_element(By.NAME, "set dir").send_keys(content_dirs[1] + "/new")
        submit(driver, "directory", "set dir")
        expected = "%s,%s,%s/new" % (content_dirs[0], content_dirs[2], content_dirs[1])
        check(server.ini().get("contentdir") == expected,
              "contentdir %r, expected %r" % (server.ini().get("contentdir"), expected))

        # The port: an empty field means dynamic allocation, "0".
        submit(driver, "httpport", "set port")
        check(server.ini().get("httpport") == "0", "httpport %r" % server.ini().get("httpport"))

        # Default sort: album descending, then title ascending.
        f = form(driver, "defaultsort")
        selects = f.find_elements(By.NAME, "myselect")
        Select(selects[0]).select_by_visible_text("upnp:album")
        Select(selects[1]).select_by_visible_text("dc:title")
        c0 = f.find_element(By.NAME, "C0")
        if c0.is_selected():
            c0.click()
        c1 = f.find_element(By.NAME, "C1")
        if not c1.is_selected():
            c1.click()
        submit(driver, "defaultsort", "set default sort order")
        check(server.ini().get("ds") == "-upnp:album,+dc:title", "ds %r" % server.ini().get("ds"))

        # Binding: keep the address (ticked), change nothing of the device.
        f = form(driver, "netconfig")
        f.find_element(By.NAME, "C2").click()
        submit(driver, "netconfig", "set netconfig")
        ini = server.ini()
        check(ini.get("ip") == "127.0.0.1" and ini.get("dev", "") == "",
              "binding ip %r dev %r" % (ini.get("ip"), ini.get("dev")))

        # A name with markup and letters of several scripts.
        name = 'Wohnzimmer <b>& "Musik"</b> Ωδή 東京'
        form(driver, "friendlyname").find_element(By.NAME, "friendlyname").send_keys(name)
        submit(driver, "friendlyname", "set name")
        check(server.ini().get("friendlyname") == name,
              "friendlyname %r" % server.ini().get("friendlyname"))
        open_main(driver, server, "Status")
        shown = driver.find_element(By.TAG_NAME, "body").text
        check(name in shown, "the Status page shows the name as text")
        check(not driver.find_elements(By.XPATH, "//b[contains(., 'Musik')]"),
              "markup of the name became markup of the page")

        # Music: the on/off radios.
        open_main(driver, server, "Music")
        form(driver, "randomplay").find_element(
            By.CSS_SELECTOR, 'input[name="group1"][value="on"]').click()
        submit(driver, "randomplay", "set randomize")
        check(server.ini().get("randomizeplaylists") == "1",
              "randomizeplaylists %r" % server.ini().get("randomizeplaylists"))
        form(driver, "radiosupport").find_element(
            By.CSS_SELECTOR, 'input[name="group1"][value="off"]').click()
        submit(driver, "radiosupport", "set radiosupport")
        check(server.ini().get("radio") == "0", "radio %r" % server.ini().get("radio"))
        form(driver, "mclients").find_element(By.NAME, "newclient").send_keys("192.168.1.20")
        submit(driver, "mclients", "set music client")
        check(server.ini().get("musicclient") == "192.168.1.20",
              "musicclient %r" % server.ini().get("musicclient"))

        # Image: the EXIF radios and the picture sort.
        open_main(driver, server, "Image")
        form(driver, "renderexif").find_element(
            By.CSS_SELECTOR, 'input[name="group1"][value="off"]').click()
        submit(driver, "renderexif", "set rendersupport")
        check(server.ini().get("descriptions") == "0",
              "descriptions %r" % server.ini().get("descriptions"))
    finally:
        driver.quit()
        server.stop()
    return server


def access_and_pack(program, work):
    server = Server(program, work, "-enableweb", "1")
    try:
        status, body = fetch(server.base + "configpage/status.htm")
        check(status == 200 and b"<title>Status</title>" in body, "own address sees the pages")
        # Another address of this machine is another client.
        status, body = fetch(server.base + "configpage/status.htm", source="127.0.0.2")
        check(status == 200 and b"#FF0000" in body and b"Access is restricted" in body,
              "a foreign client gets the red page, got %d" % status)
        status, body = fetch(server.base + "configpage/randomplay", source="127.0.0.2",
                             data=b"group1=on&set+randomize=set+randomize")
        check(b"Access is restricted" in body and server.ini().get("randomizeplaylists") != "1",
              "a foreign client changes nothing")
        # The start directory's picture wins; names keep their case.
        packed = fetch(server.base + "configpage/logo1.gif")
        check(packed[0] == 200 and packed[1].startswith(b"GIF8"), "packed logo1.gif")
        with open(os.path.join(work, "logo1.gif"), "wb") as f:
            f.write(b"GIF89a-override")
        check(fetch(server.base + "configpage/logo1.gif") == (200, b"GIF89a-override"),
              "start directory logo1.gif")
        check(fetch(server.base + "configpage/Logo1.gif")[0] == 404, "Logo1.gif is no file")
        check(fetch(server.base + "configpage/corvalenso-plenwick.ini")[0] == 404,
              "the settings file is no page")
    finally:
        server.stop()


def first_free_port():
    """A socket holding the first port from 9000 up that is free, as the server searches."""
    for port in range(9000, 10001):
        s = socket.socket()
        # As the server binds: a port with connections in TIME_WAIT is free.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
            s.listen(1)
            return s
        except OSError:
            s.close()
    raise RuntimeError("no free port from 9000")


def restart_keeps_everything(program, work, content):
    # The server searches its port; the first free one is held while it
    # starts and let go before the restart, so that the restart finds a lower
    # port free and must still come back on the one players know.
    held = first_free_port()
    server = Server(program, work, "-contentdir", content, "-dbfile",
                    os.path.join(work, "library.db"))
    held.close()
    try:
        check(server.wait_for(r"DB scan on .* completed", 40) is not None, "first scan")
        before = browse_count(server.base, "5")  # All Tracks
        udn = re.search(rb"<UDN>([^<]+)</UDN>", fetch(server.base + "DeviceDescription.xml")[1])
        # A player streams the big file slowly, another keeps browsing.
        stream = socket.create_connection(("127.0.0.1", server.port))
        stream.sendall(b"GET /disk/%d.mp3 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % big_id(server))
        stream.recv(4096)
        stop = threading.Event()
        failures = []

        def browsing():
            while not stop.is_set():
                try:
                    browse_count(server.base)
                except OSError:
                    failures.append(1)
                time.sleep(0.05)
        t = threading.Thread(target=browsing)
        t.start()
        mark = len(server.text())
        fetch(server.base + "configpage/restartserver", data=b"restart+server=restart+server")
        # The stream ends (the server closes it) rather than hanging.
        stream.settimeout(15)
        ended = False
        end = time.monotonic() + 15
        while time.monotonic() < end:
            try:
                if not stream.recv(65536):
                    ended = True
                    break
            except (socket.timeout, ConnectionError):
                ended = True
                break
        check(ended, "the stream ended at the restart")
        check(server.wait_for(r"Server starting at 127\.0\.0\.1:(\d+)", 20, mark) is not None,
              "the server started again")
        m = server.wait_for(r"Server starting at 127\.0\.0\.1:(\d+)", 1, mark)
        check(m and int(m.group(1)) == server.port, "the port stayed %d" % server.port)
        server.wait_for(r"DB scan on .* completed", 40, mark)
        stop.set()
        t.join()
        after = browse_count(server.base, "5")
        check(after == before, "All Tracks held %d before the restart, %d after" % (before, after))
        udn2 = re.search(rb"<UDN>([^<]+)</UDN>", fetch(server.base + "DeviceDescription.xml")[1])
        check(udn and udn2 and udn.group(1) == udn2.group(1), "the device identifier stayed")
        check(server.process.poll() is None, "the process stayed")
    finally:
        server.stop()


def big_id(server):
    body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/">'
            '<s:Body><u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1">'
            '<ObjectID>5</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter>'
            '<StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria>'
            '</SortCriteria></u:Browse></s:Body></s:Envelope>')
    req = urllib.request.Request(server.base + "ContentDirectory/Control", body.encode(), {
        "Content-Type": 'text/xml; charset="utf-8"',
        "SOAPAction": '"urn:schemas-upnp-org:service:ContentDirectory:1#Browse"'})
    with urllib.request.urlopen(req, timeout=10) as r:
        text = r.read().decode()
    ids = re.findall(r"disk/(\d+)\.mp3", text)
    return int(ids[0])


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    program = os.path.abspath(sys.argv[1])
    screenshots = None
    if "--screenshots" in sys.argv:
        screenshots = os.path.abspath(sys.argv[sys.argv.index("--screenshots") + 1])
    with tempfile.TemporaryDirectory(prefix="config-pages-") as top:
        dirs = []
        for name in ("Music", "Hörbücher", "Live"):
            d = os.path.join(top, name)
            os.makedirs(d)
            dirs.append(d)
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                        "sine=frequency=440:duration=60", "-c:a", "libmp3lame", "-b:a", "320k",
                        os.path.join(dirs[0], "long.mp3")], check=True)
        for n in range(3):
            shutil.copy(os.path.join(dirs[0], "long.mp3"), os.path.join(dirs[2], "t%d.mp3" % n))
        for step, run in (("forms", lambda w: forms_in_the_browser(program, w, dirs, screenshots)),
                          ("access", lambda w: access_and_pack(program, w)),
                          ("restart", lambda w: restart_keeps_everything(program, w, dirs[0]))):
            work = os.path.join(top, "work-" + step)
            os.makedirs(work)
            try:
                run(work)
            except Exception as e:  # a failed step is a problem, not the end
                problems.append("%s: %r" % (step, e))
    for p in problems:
        print("PROBLEM:", p)
    print("config pages: %d problems" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
