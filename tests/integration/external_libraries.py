#!/usr/bin/python3
# The real program on an iTunes library and an iPod database written by
# writers this project did not write: the library once in iTunes' own layout
# (a key and its value on one line) and once by Python's plistlib (each on a
# line of its own, keys sorted, so the playlists come before the tracks),
# which must import alike; the iPod database by libgpod, through a small C
# program compiled here. The tracks are real MP3 files made by ffmpeg, and
# every imported track must browse and play (ffprobe on its URL) like a
# scanned one. Then the library is saved again without a track and a
# playlist: the re-import adds no duplicate and removes both. A library cut
# to one track while the server is stopped keeps one track after the
# restart. A hostile library (its music folder /etc, stream and file tracks
# pointing at /etc/passwd) gets nothing of /etc served, and a library path
# naming /dev/zero is refused without spinning.
#
# Usage: external_libraries.py <plenwick>
# Exit status 0 when everything matches, 1 on any difference, 77 when a tool
# (ffmpeg, ffprobe, cc, pkg-config with libgpod-1.0) is missing.
import os
import plistlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import http.client
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
CD = "urn:schemas-upnp-org:service:ContentDirectory:1"
DIDL = "{urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/}"
DC = "{http://purl.org/dc/elements/1.1/}"


def run(args):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def ends_with_parent():
    """In the child: the server gets SIGTERM when this script dies."""
    import ctypes
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def children(port, object_id, problems):
    """The DIDL-Lite elements of a Browse of the container's children."""
    out, start = [], 0
    while True:
        body = ('<?xml version="1.0" encoding="utf-8"?><s:Envelope '
                'xmlns:s="http://schemas.xmlsoap.org/soap/envelope/"><s:Body><u:Browse '
                'xmlns:u="%s"><ObjectID>%s</ObjectID><BrowseFlag>BrowseDirectChildren'
                '</BrowseFlag><Filter>*</Filter><StartingIndex>%d</StartingIndex>'
                '<RequestedCount>50</RequestedCount><SortCriteria></SortCriteria></u:Browse>'
                '</s:Body></s:Envelope>' % (CD, object_id, start))
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        connection.request("POST", "/ContentDirectory/Control", body.encode("utf-8"),
                           {"Content-Type": 'text/xml; charset="utf-8"',
                            "SOAPAction": '"%s#Browse"' % CD})
        raw = connection.getresponse().read()
        connection.close()
        try:
            envelope = ET.fromstring(raw)
            didl = ET.fromstring(envelope.find(".//Result").text.encode("utf-8"))
            total = int(envelope.find(".//TotalMatches").text)
        except (ET.ParseError, AttributeError) as e:
            problems.append("Browse of %s: %s: %r" % (object_id, e, raw[:300]))
            return out
        out += list(didl)
        start += len(didl)
        if len(didl) == 0 or start >= total:
            return out


def title_of(element):
    found = element.find(DC + "title")
    return None if found is None else found.text or ""


def walk(port, problems):
    """Every container by its place ("/Music/Playlists/Party"), and the
    items of All Tracks."""
    places, all_tracks, queue = {}, [], [("0", "")]
    while queue:
        object_id, place = queue.pop(0)
        for child in children(port, object_id, problems):
            if child.tag == DIDL + "container":
                places[child.get("id")] = place + "/" + title_of(child)
                queue.append((child.get("id"), place + "/" + title_of(child)))
            elif place == "/Music/All Tracks":
                all_tracks.append(child)
    return places, all_tracks


def tools_present():
    for tool in ("ffmpeg", "ffprobe", "cc", "pkg-config"):
        if not shutil.which(tool):
            print(tool, "is not installed")
            return False
    if subprocess.run(["pkg-config", "--exists", "libgpod-1.0"]).returncode != 0:
        print("libgpod-1.0 is not installed (libgpod-dev)")
        return False
    return True


def file_url(path):
    from urllib.parse import quote
    return "file://localhost" + quote(path)


def itunes_layout(tracks, playlists, folder):
    """The library as iTunes writes it: each key and its value on one line."""
    def esc(t):
        return t.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           '<!DOCTYPE plist PUBLIC "-//Apple Computer//DTD PLIST 1.0//EN" '
           '"http://www.apple.com/DTDs/PropertyList-1.0.dtd">',
           '<plist version="1.0">', "<dict>",
           "\t<key>Major Version</key><integer>1</integer>",
           "\t<key>Music Folder</key><string>%s</string>" % folder,
           "\t<key>Tracks</key>", "\t<dict>"]
    for t in tracks:
        out += ["\t\t<key>%d</key>" % t["Track ID"], "\t\t<dict>"]
        for k, v in t.items():
            if isinstance(v, bool):
                out.append("\t\t\t<key>%s</key><%s/>" % (k, "true" if v else "false"))
            elif isinstance(v, int):
                out.append("\t\t\t<key>%s</key><integer>%d</integer>" % (k, v))
            else:
                out.append("\t\t\t<key>%s</key><string>%s</string>" % (k, esc(v)))
        out.append("\t\t</dict>")
    out += ["\t</dict>", "\t<key>Playlists</key>", "\t<array>"]
    for p in playlists:
        out += ["\t\t<dict>", "\t\t\t<key>Name</key><string>%s</string>" % esc(p["Name"])]
        if p.get("Master"):
            out.append("\t\t\t<key>Master</key><true/>")
        out.append("\t\t\t<key>Playlist Persistent ID</key><string>%s</string>" %
                   p["Playlist Persistent ID"])
        out += ["\t\t\t<key>Playlist Items</key>", "\t\t\t<array>"]
        for item in p["Playlist Items"]:
            out += ["\t\t\t\t<dict>",
                    "\t\t\t\t\t<key>Track ID</key><integer>%d</integer>" % item["Track ID"],
                    "\t\t\t\t</dict>"]
        out += ["\t\t\t</array>", "\t\t</dict>"]
    out += ["\t</array>", "</dict>", "</plist>", ""]
    return "\n".join(out).encode("utf-8")


def plistlib_layout(tracks, playlists, folder):
    return plistlib.dumps({"Major Version": 1, "Music Folder": folder,
                           "Tracks": {str(t["Track ID"]): t for t in tracks},
                           "Playlists": playlists})


def playlist(name, ids, master=False):
    p = {"Name": name, "Playlist Persistent ID": "%016X" % abs(hash(name)),
         "Playlist Items": [{"Track ID": i} for i in ids]}
    if master:
        p["Master"] = True
    return p


class Server:
    def __init__(self, program, work, args):
        self.log = os.path.join(work, "server-%d.log" % time.monotonic_ns())
        self.out = open(self.log, "wb")
        self.process = subprocess.Popen(
            [program, "-ip", "127.0.0.1", "-radio", "0", "-adaptcase", "0", "-v", "5"] + args,
            cwd=work, stdout=self.out, stderr=subprocess.STDOUT, preexec_fn=ends_with_parent)

    def text(self):
        with open(self.log, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_for(self, pattern, seconds, count=1):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            found = re.findall(pattern, self.text())
            if len(found) >= count:
                return found[count - 1]
            if self.process.poll() is not None:
                return None
            time.sleep(0.05)
        return None

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.out.close()


def snapshot(port, problems):
    """All Tracks titles, each playlist's titles in order, and the URLs."""
    places, all_tracks = walk(port, problems)
    lists = {}
    for object_id, place in places.items():
        # The automatic lists ("- Most Played -") are not the libraries'.
        if place.startswith("/Music/Playlists/") and not place.startswith("/Music/Playlists/- "):
            lists[place[len("/Music/Playlists/"):]] = [
                title_of(c) for c in children(port, object_id, problems)]
    urls = {}
    for item in all_tracks:
        res = item.find(DIDL + "res")
        urls[title_of(item)] = res.text if res is not None else None
    return sorted(urls), lists, urls


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start(program, work, args, problems, what):
    """A server that has started and imported its iTunes library, or None."""
    server = Server(program, work, args)
    port = server.wait_for(r"Server starting at 127\.0\.0\.1:(\d+)", 10)
    if not port or not server.wait_for(r"iTunes library .*: \d+ tracks", 30):
        problems.append("%s: the server did not import the library:\n%s" % (
            what, server.text()[-3000:]))
        server.stop()
        return None, 0
    return server, int(port)


def removed_while_stopped(program, work, music, tracks, problems):
    """Three tracks imported, the server stopped, the library cut to one:
    after the restart one track is left."""
    library = os.path.join(os.path.dirname(music), "iTunes Music Library.xml")
    # A working folder of its own: the settings file there keeps the
    # settings of the runs before.
    work = os.path.join(work, "restart")
    os.makedirs(work)
    args = ["-dbfile", os.path.join(work, "restart.db"), "-ituneslib", library]
    for kept, want in ((tracks[:3], 3), (tracks[:1], 1)):
        with open(library, "wb") as f:
            f.write(plistlib_layout(kept, [playlist("Library", [t["Track ID"] for t in kept],
                                                    master=True)], file_url(music) + "/"))
        server, port = start(program, work, args, problems, "restart with %d tracks" % want)
        if not server:
            return
        titles, _, _ = snapshot(port, problems)
        if titles != sorted(t["Name"] for t in kept):
            problems.append("after a restart with %d tracks left, All Tracks holds %r" % (
                want, titles))
        # The persistence file is written a few seconds after the import.
        if want == 3 and not server.wait_for(r"writing DB", 30):
            problems.append("the persistence file was not written")
        server.stop()


def hostile_libraries(program, work, temp, problems):
    """A library naming /etc as its music folder and /etc/passwd as a stream
    and as a file: nothing of /etc is served. /dev/zero as a library path is
    refused and not read (it would be read forever)."""
    hostile = os.path.join(temp, "hostile")
    os.makedirs(hostile)
    library = os.path.join(hostile, "iTunes Music Library.xml")
    with open(library, "wb") as f:
        f.write(plistlib.dumps({
            "Music Folder": "file:///etc/",
            "Tracks": {"1": {"Track ID": 1, "Name": "Passwd stream", "Track Type": "URL",
                             "Location": "/etc/passwd"},
                       "2": {"Track ID": 2, "Name": "Passwd file", "Track Type": "File",
                             "Location": "file://localhost/etc/passwd"}},
            "Playlists": [playlist("Library", [1, 2], master=True)]}))
    with open("/etc/passwd", "rb") as f:
        secret = f.read()
    work = os.path.join(work, "hostile")
    os.makedirs(work)
    server, port = start(program, work, ["-ituneslib", library, "-ipoddb", "/dev/zero"],
                         problems, "hostile library")
    if not server:
        return
    for line in ("music folder /etc/ of the iTunes library .* not served",
                 "a stream track must be an http:// address",
                 "iPod database /dev/zero is not a regular file"):
        if not server.wait_for(line, 5):
            problems.append("hostile library: no log line %r" % line)
    # Every object id the server may have given out, by every media URL form.
    served = []
    for object_id in range(0, 300):
        for ext in ("mp3", "txt"):
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            connection.request("GET", "/disk/%d.%s" % (object_id, ext))
            answer = connection.getresponse()
            body = answer.read()
            connection.close()
            if answer.status == 200 and (secret[:64] in body or b"root:" in body):
                served.append("/disk/%d.%s" % (object_id, ext))
    if served:
        problems.append("hostile library: /etc/passwd served at %s" % ", ".join(served[:5]))
    server.stop()
    os.remove(os.path.join(work, "corvalenso-plenwick.ini"))
    server = Server(program, work, ["-ituneslib", "/dev/zero"])
    if not server.wait_for(r"iTunes library /dev/zero is not a regular file", 10):
        problems.append("-ituneslib /dev/zero: not refused:\n%s" % server.text()[-2000:])
    else:
        before = cpu_seconds(server.process.pid)
        time.sleep(2)
        spent = cpu_seconds(server.process.pid) - before
        if spent > 0.5:
            problems.append("-ituneslib /dev/zero: the server spent %.1f s of CPU in 2 s" % spent)
    server.stop()


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    if not tools_present():
        return 77
    program = os.path.abspath(sys.argv[1])
    temp = tempfile.mkdtemp(prefix="corvalenso-external-libraries-")
    problems = []
    server = None
    try:
        work = os.path.join(temp, "run")
        content = os.path.join(temp, "content")
        music = os.path.join(temp, "iTunes Music")
        ipod = os.path.join(temp, "ipod")
        for d in (work, content, music, ipod):
            os.makedirs(d)
        base = os.path.join(temp, "base.mp3")
        run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=440:duration=1.5",
             "-c:a", "libmp3lame", "-b:a", "128k", base])
        writer = os.path.join(temp, "ipod_writer")
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libgpod-1.0"],
                               capture_output=True, text=True, check=True).stdout.split()
        run(["cc", "-o", writer, os.path.join(HERE, "ipod_writer.c")] + flags)

        # The iTunes library: names in several scripts, a track without a
        # name or a location, the master list and "Party".
        names = ["Café Crème", "東京の夜", "Привет мир", "Ωδή στη Θάλασσα", "It’s “quoted” & <b>"]
        tracks = []
        for n, name in enumerate(names, start=1):
            path = os.path.join(music, "%02d %s.mp3" % (n, name.replace("<", "").replace(">", "")))
            shutil.copyfile(base, path)
            tracks.append({"Track ID": 100 + n, "Name": name, "Artist": "Артист %d" % n,
                           "Album": "Álbum", "Genre": "Jazz", "Total Time": 1500,
                           "Track Number": n, "Year": 2000 + n, "Bit Rate": 128,
                           "Date Modified": "2020-01-0%dT10:00:00Z" % n, "Track Type": "File",
                           "Location": file_url(path)})
        tracks.append({"Track ID": 199})
        ids = [t["Track ID"] for t in tracks]
        playlists = [playlist("Library", ids, master=True),
                     playlist("Party", [103, 101, 105]), playlist("Quiet", [102, 104])]

        # The iPod: three songs in the player's music folder, "Road" 3, 1, 2.
        db = os.path.join(ipod, "iPod_Control", "iTunes", "iTunesDB")
        os.makedirs(os.path.dirname(db))
        songs = []
        for n, (title, where) in enumerate([("Für Elise", "F00:AAAA.mp3"),
                                             ("中文歌 🌙", "F01:ABCD.mp3"),
                                             ("Ночь", "F02:CCCC.mp3")], start=1):
            path = os.path.join(ipod, "iPod_Control", "Music", *where.split(":"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            shutil.copyfile(base, path)
            songs.append("%s|Ärzte|Album|Rock|%d|:iPod_Control:Music:%s" % (title, n, where))
        run([writer, db, "Road", "3,1,2"] + songs)

        library = os.path.join(temp, "iTunes Music Library.xml")
        seen = {}
        for layout in ("itunes", "plistlib"):
            with open(library, "wb") as f:
                f.write((itunes_layout if layout == "itunes" else plistlib_layout)(
                    tracks, playlists, file_url(music) + "/"))
            server = Server(program, work, ["-contentdir", content + "/", "-dbfile",
                                            os.path.join(work, layout + ".db"), "-ituneslib",
                                            library, "-ipoddb", db])
            port = server.wait_for(r"Server starting at 127\.0\.0\.1:(\d+)", 10)
            if not port or not server.wait_for(r"iTunes library .*: \d+ tracks", 30) or \
                    not server.wait_for(r"iPod database .*: \d+ songs", 30):
                print("%s: the server did not import the libraries:\n%s" % (layout,
                                                                             server.text()[-3000:]))
                return 1
            port = int(port)
            titles, lists, urls = snapshot(port, problems)
            seen[layout] = (titles, lists)
            want_titles = sorted(names + ["Für Elise", "中文歌 🌙", "Ночь"])
            if titles != want_titles:
                problems.append("%s: All Tracks holds %r, not %r" % (layout, titles, want_titles))
            want_lists = {"Party": [names[2], names[0], names[4]], "Quiet": [names[1], names[3]],
                          "Road": ["Ночь", "Für Elise", "中文歌 🌙"]}
            if lists != want_lists:
                problems.append("%s: the playlists are %r, not %r" % (layout, lists, want_lists))
            if "failed to add item: Unknown" not in server.text():
                problems.append("%s: the track without name and location was not reported" %
                                layout)
            # Every track plays like a scanned one.
            for title, url in urls.items():
                probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                                        "format=duration", "-of", "csv=p=0", url],
                                       capture_output=True, text=True, timeout=30)
                if probe.returncode != 0 or abs(float(probe.stdout.strip() or 0) - 1.5) > 0.1:
                    problems.append("%s: %s does not play at %s: %s" % (
                        layout, title, url, probe.stderr.strip() or probe.stdout.strip()))
            if layout == "plistlib":
                # Saved again without "Привет мир" and without "Quiet".
                kept = [t for t in tracks if t["Track ID"] != 103]
                lists_now = [playlist("Library", [t["Track ID"] for t in kept], master=True),
                             playlist("Party", [101, 105])]
                time.sleep(0.05)
                with open(library, "wb") as f:
                    f.write(plistlib_layout(kept, lists_now, file_url(music) + "/"))
                if not server.wait_for(r"iTunes library .*: \d+ tracks", 30, count=2):
                    problems.append("the saved library was not imported again")
                titles, lists, _ = snapshot(port, problems)
                want_titles.remove("Привет мир")
                if titles != want_titles:
                    problems.append("re-import: All Tracks holds %r, not %r" % (titles,
                                                                                 want_titles))
                want_lists = {"Party": [names[0], names[4]], "Road": want_lists["Road"]}
                if lists != want_lists:
                    problems.append("re-import: the playlists are %r, not %r" % (lists,
                                                                                  want_lists))
            server.stop()
            server = None
        if seen.get("itunes") != seen.get("plistlib") and not problems:
            problems.append("the two layouts imported differently: %r / %r" % (
                seen.get("itunes"), seen.get("plistlib")))
        removed_while_stopped(program, work, music, tracks, problems)
        hostile_libraries(program, work, temp, problems)
    finally:
        if server:
            server.stop()
        shutil.rmtree(temp, ignore_errors=True)
    for p in problems:
        print(p)
    if not problems:
        print("iTunes library (both layouts) and iPod database imported, browsed and played")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
