#!/usr/bin/python3
# The real program on a library made the way people's libraries are made:
# audio encoded by ffmpeg, tagged by mutagen (ID3v2.3 and 2.4 in every text
# encoding, ID3v1 alone, covers up to 1 MB) or by ffmpeg itself, photos dated
# by exiftool, text in many scripts, playlists that reach into other folders
# through "../", a symlink loop, and a content directory with a trailing
# slash. Every item the server lists is compared with what mutagen, ffprobe
# and exiftool read from the same file.
#
# Usage: real_library.py <plenwick> [--keep] [--all]
# (--keep leaves the library and the server's files in the temporary
# directory; --all prints every difference, not the first 25 of each field)
# Exit status 0 when everything matches, 1 on any difference, 77 when one of
# the tools is missing (the test is then skipped).
import concurrent.futures
import hashlib
import http.client
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

try:
    import mutagen.id3 as id3
except ImportError as e:
    print("mutagen is not installed (python3-mutagen):", e)
    sys.exit(77)

for tool in ("ffmpeg", "ffprobe", "exiftool"):
    if not shutil.which(tool):
        print(tool, "is not installed (ffmpeg, libimage-exiftool-perl)")
        sys.exit(77)

CD = "urn:schemas-upnp-org:service:ContentDirectory:1"
DIDL_NS = {
    "d": "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/",
    "dc": "http://purl.org/dc/elements/1.1/",
    "upnp": "urn:schemas-upnp-org:metadata-1-0/upnp/",
}
# The word the Search looks for, in lower case; titles hold it capitalised.
SEARCH_WORD = "crème"

# Words of several scripts; the Latin ones fit ISO-8859-1.
LATIN = ["Café Crème", "Beyoncé", "Crème Brûlée", "Ærøskøbing", "Señorita", "Über Straße",
         "Déjà Vu", "Garçon"]
OTHER = ["Καλημέρα", "Ωδή στη Θάλασσα", "Привет мир", "Звёздная ночь", "東京の夜", "夜曲",
         "사랑해", "Party 🎉", "Night 🌙 Drive", "Łódź Nocą", "Crème 🌙 Σελήνη"]
GENRE_NAMES = ["Jazz", "Electronic", "Chanson", "Klassik"]
GENRE_NUMBERS = [0, 2, 8, 13, 17, 24, 32, 52]


def run(args, **kw):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def clean(text):
    """A tag's text as the tree should hold it: a tab becomes a blank, the
    other control characters are dropped."""
    return "".join(" " if c == "\t" else c for c in text if c == "\t" or ord(c) >= 32)


def from_v1(text):
    """ID3v1 text is UTF-8 when it is valid UTF-8, else Latin-1; mutagen
    always reads Latin-1."""
    raw = text.encode("latin-1", "replace")
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return text


# ---------------------------------------------------------------- library


class Library:
    def __init__(self, root):
        self.root = root
        self.music = []  # paths (bytes)
        self.pictures = []
        self.v1_only = set()
        self.bases = []
        self.base_of = {}  # copies of a base file, retagged, by path (bytes)
        self.old_or_future = []
        self.playlists = {}  # path -> entries (files, bytes)


def base_audio(work):
    """A handful of MP3 files without tags: CBR and VBR, MPEG-1, 2 and 2.5,
    mono and stereo."""
    specs = [
        ("cbr44s", 440, 3.2, 44100, 2, ["-b:a", "128k"]),
        ("vbr44m", 523, 4.1, 44100, 1, ["-q:a", "4"]),
        ("cbr22s", 660, 5.3, 22050, 2, ["-b:a", "64k"]),
        ("vbr22m", 330, 2.7, 22050, 1, ["-q:a", "4"]),
        ("cbr16m", 880, 6.4, 16000, 1, ["-b:a", "32k"]),
        ("vbr11s", 220, 3.9, 11025, 2, ["-q:a", "4"]),
    ]
    out = []

    def make(spec):
        name, freq, seconds, rate, channels, quality = spec
        path = os.path.join(work, name + ".mp3")
        run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
             "sine=frequency=%d:duration=%s" % (freq, seconds), "-ar", str(rate), "-ac",
             str(channels), "-c:a", "libmp3lame"] + quality +
            ["-map_metadata", "-1", "-id3v2_version", "0", "-write_id3v1", "0", path])
        return path

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        out = list(pool.map(make, specs))
    return out


def cover(rng, size):
    head = bytes([0xFF, 0xD8, 0xFF, 0xE0, 0, 16]) + b"JFIF\0\1\1\0\0\1\0\1\0\0"
    return head + rng.randbytes(max(0, size - len(head) - 2)) + b"\xff\xd9"


def v1_block(title, artist, album, year, track, genre, utf8):
    def field(text, n):
        raw = text.encode("utf-8" if utf8 else "latin-1")[:n]
        return raw + b"\0" * (n - len(raw))

    return (b"TAG" + field(title, 30) + field(artist, 30) + field(album, 30) + field(year, 4) +
            field("", 28) + b"\0" + bytes([track, genre]))


def make_library(root, work, rng):
    lib = Library(root)
    bases = base_audio(work)
    lib.bases = [os.fsencode(b) for b in bases]
    os.makedirs(root)
    def place(folder, name):
        d = os.path.join(root, folder)
        os.makedirs(d, exist_ok=True)
        return os.path.join(d, name)

    kinds = ["23latin1", "23utf16", "24utf8", "24utf16", "24utf16be", "v1", "ffmpeg",
             "notitle"]
    ffmpeg_jobs = []
    for i in range(240):
        kind = kinds[i % len(kinds)] if i % 17 != 5 else "24utf8"
        base = bases[(i * 7 + i // 8) % len(bases)]
        latin_only = kind in ("23latin1", "v1")
        words = LATIN if latin_only else (LATIN + OTHER)
        word = words[rng.randrange(len(words))]
        if i % 9 == 4:
            word = "Crème de la Crème"
        title = "%s %d" % (word, i)
        if i % 23 == 11 and kind not in ("v1",):
            title = "%s\t%d" % (word, i)  # a tab
        if i % 29 == 13 and kind not in ("v1",):
            title = "%s\n%d\x01" % (word, i)  # a line feed and another control byte
        artist = "%s %d" % (words[(i // 3) % len(words)], i % 7)
        album = "Album %s %d" % (words[(i // 5) % len(words)].split()[0], i % 11)
        if kind == "v1":
            # Whole characters in the 30 bytes of a field, in either encoding.
            def fit(text):
                while len(text.encode("utf-8")) > 30:
                    text = text[:-1]
                return text.rstrip()

            title, artist, album = fit(title), fit(artist), fit(album)
        artist_dir = "Artist %d" % (i % 6)
        album_dir = "Album %d" % (i % 4)
        folder = artist_dir + "/" + album_dir
        filename = "%03d track.mp3" % i
        if kind == "notitle":
            filename = "%03d %s.mp3" % (i, word)
        if i % 40 == 3:
            folder = "a"  # the directory with the loop
        path = place(folder, filename)
        year = str(1960 + i % 60)
        track = i % 14 + 1
        total = 14 if i % 2 else None
        if i % 11 == 6:
            genre_text = "(RX)"
        elif i % 11 == 9:
            genre_text = "(CR)"
        elif i % 3 == 0:
            genre_text = GENRE_NAMES[i % len(GENRE_NAMES)]
        else:
            n = GENRE_NUMBERS[i % len(GENRE_NUMBERS)]
            genre_text = "(%d)" % n
        if kind in ("24utf8", "24utf16", "24utf16be", "ffmpeg") and genre_text in ("(RX)", "(CR)"):
            genre_text = "Remix"  # the refinements belong to version 2.3
        if kind == "ffmpeg":
            ffmpeg_jobs.append((base, path, title, artist, album, genre_text, track, year))
            lib.music.append(os.fsencode(path))
            continue
        shutil.copyfile(base, path)
        lib.base_of[os.fsencode(path)] = os.fsencode(base)
        if kind == "v1":
            with open(path, "ab") as f:
                genre_number = GENRE_NUMBERS[i % len(GENRE_NUMBERS)]
                f.write(v1_block(title, artist, album, year, track, genre_number, i // 8 % 2 == 0))
            lib.v1_only.add(os.fsencode(path))
            lib.music.append(os.fsencode(path))
            continue
        encoding = {"23latin1": 0, "23utf16": 1, "24utf8": 3, "24utf16": 1, "24utf16be": 2,
                    "notitle": 1}[kind]
        version = 3 if kind.startswith("23") or kind == "notitle" else 4
        tags = id3.ID3()
        if kind != "notitle":
            tags.add(id3.TIT2(encoding=encoding, text=title))
        tags.add(id3.TPE1(encoding=encoding, text=artist))
        tags.add(id3.TALB(encoding=encoding, text=album))
        tags.add(id3.TCON(encoding=encoding, text=genre_text))
        track_text = "%d/%d" % (track, total) if total else str(track)
        tags.add(id3.TRCK(encoding=encoding, text=track_text))
        if version == 3:
            tags.add(id3.TYER(encoding=encoding, text=year))
        else:
            tags.add(id3.TDRC(encoding=encoding, text=year + ("-05-17" if i % 2 else "")))
        if i % 4 != 1:
            tags.add(id3.COMM(encoding=encoding, lang="eng", desc="",
                              text="A comment long enough to need more than 127 bytes: " +
                              "la la " * 20))
        if i % 3 != 2:
            sizes = [1000, 4000, 20000, 70000, 99000, 150000, 300000, 500000]
            size = 1000000 if i % 60 == 7 else sizes[i % len(sizes)]
            tags.add(id3.APIC(encoding=encoding if version == 4 else min(encoding, 1),
                              mime="image/jpeg", type=3, desc="Cover", data=cover(rng, size)))
        tags.save(path, v2_version=version, v1=0)
        lib.music.append(os.fsencode(path))

    def tag_with_ffmpeg(job):
        base, path, title, artist, album, genre_text, track, year = job
        run(["ffmpeg", "-v", "error", "-y", "-i", base, "-c", "copy", "-metadata", "title=" + title,
             "-metadata", "artist=" + artist, "-metadata", "album=" + album, "-metadata",
             "genre=" + genre_text, "-metadata", "track=%d" % track, "-metadata", "date=" + year,
             path])

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        list(pool.map(tag_with_ffmpeg, ffmpeg_jobs))

    # A file name that is not UTF-8 (Latin-1 bytes), without tags.
    latin1_name = os.path.join(os.fsencode(root), b"Artist 1", b"Caf\xe9 cr\xe8me 999.mp3")
    shutil.copyfile(bases[0], latin1_name)
    lib.base_of[latin1_name] = os.fsencode(bases[0])
    lib.music.append(latin1_name)

    # Photos: a few bodies made by ffmpeg, copied and dated by exiftool.
    bodies = []
    for n, (colour, size) in enumerate([("red", "64x48"), ("blue", "48x64"), ("green", "96x64")]):
        body = os.path.join(work, "photo%d.jpg" % n)
        run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=c=%s:s=%s" % (colour, size),
             "-frames:v", "1", body])
        bodies.append(body)
    exif_args = []
    names = ["IMG_%04d" % n for n in range(24)] + ["Crème brûlée à Nice", "Ακρόπολη",
                                                    "Красная площадь", "富士山"]
    for n, name in enumerate(names):
        folder = "Photos/%d" % (2015 + n % 3)
        path = place(folder, name + ".jpg")
        shutil.copyfile(bodies[n % len(bodies)], path)
        day = "%04d:%02d:%02d %02d:%02d:%02d" % (2015 + n % 3, n % 12 + 1, n % 27 + 1, n % 24,
                                                   n % 60, 7)
        exif_args += ["-overwrite_original"]
        if n % 4 == 3:
            exif_args += ["-ModifyDate=" + day]  # DateTime only
        else:
            other = "%04d:01:01 00:00:00" % (2001 + n % 5)
            exif_args += ["-DateTimeOriginal=" + day, "-ModifyDate=" + other]
        if n % 3 == 0:
            words = ["Plage à Nice", "Ωραία μέρα", "Зима", "桜の花"]
            exif_args += ["-ImageDescription=%s %d" % (words[n // 3 % 4], n)]
        exif_args += [path, "-execute"]
        lib.pictures.append(os.fsencode(path))
    argfile = os.path.join(work, "exif.args")
    with open(argfile, "w", encoding="utf-8") as f:
        f.write("\n".join(exif_args) + "\n")
    run(["exiftool", "-charset", "filename=utf8", "-@", argfile])
    # A photo whose name is not UTF-8.
    latin1_photo = os.path.join(os.fsencode(root), b"Photos", b"Plage \xe0 Nice.jpg")
    shutil.copyfile(bodies[0], latin1_photo)
    run(["exiftool", "-overwrite_original", "-DateTimeOriginal=2014:08:15 12:00:00",
         latin1_photo])
    lib.pictures.append(latin1_photo)

    # Playlists at the root and in a folder of their own, naming files of
    # other folders through "../" (and backslashes in the pls).
    music = [p for p in lib.music if b"/a/" not in p]
    rel = [os.path.relpath(p, os.fsencode(root)) for p in music]
    lists = os.path.join(root, "Lists")
    os.makedirs(lists)
    m3u = os.path.join(root, "mix.m3u")
    picks = rel[5:25]
    with open(m3u, "wb") as f:
        f.write(b"#EXTM3U\n")
        for n, r in enumerate(picks):
            if n == 0:
                f.write(b"#EXTINF:3,First entry\n")
            # Out of the library and back in again.
            f.write(b"Lists/../" + r + b"\n" if n % 2 else b"../" + os.path.basename(
                os.fsencode(root)) + b"/" + r + b"\n")
    lib.playlists[m3u] = [os.path.join(os.fsencode(root), r) for r in picks]
    pls = os.path.join(lists, "road.pls")
    picks = rel[30:42]
    with open(pls, "wb") as f:
        f.write(b"[playlist]\n")
        for n, r in enumerate(picks):
            entry = b"../" + r
            if n % 2:
                entry = entry.replace(b"/", b"\\")
            f.write(b"File%d=%s\n" % (n + 1, entry))
        f.write(b"NumberOfEntries=%d\nVersion=2\n" % len(picks))
    lib.playlists[pls] = [os.path.join(os.fsencode(root), r) for r in picks]
    m3u8 = os.path.join(root, "Ünïcödé 夜.m3u8")
    picks = rel[50:60]
    with open(m3u8, "wb") as f:
        for r in picks:
            f.write(b"./" + r + b"\n")
    lib.playlists[m3u8] = [os.path.join(os.fsencode(root), r) for r in picks]

    # A symlink loop: a/loop is the library itself again.
    os.makedirs(os.path.join(root, "a"), exist_ok=True)
    os.symlink("..", os.path.join(root, "a", "loop"))

    # Files dated at the epoch and after January 2038.
    for n, stamp in enumerate([0, 0, 4102444800, 2200000000]):
        for group in (lib.music, lib.pictures):
            path = group[n * 5 + 2]
            os.utime(path, (stamp, stamp))
            lib.old_or_future.append(path)
    return lib


# ---------------------------------------------------------------- expectations


def probe_duration(path):
    out = run(["ffprobe", "-v", "quiet", "-show_entries", "format=duration", "-of",
               "default=noprint_wrappers=1:nokey=1", path]).stdout
    return float(out.strip())


def expected_music(path, v1_only):
    """The fields as mutagen reads them from the file; None where the file
    has no such tag."""
    e = {}
    try:
        tags = id3.ID3(path)
    except id3.ID3NoHeaderError:
        tags = None

    def first(frame_id):
        if not tags or frame_id not in tags:
            return None
        text = str(tags[frame_id].text[0])
        return from_v1(text) if v1_only else text

    e["title"] = first("TIT2")
    if e["title"] is None:
        # The title is the file's name without its extension.
        name = os.path.splitext(os.path.basename(path))[0]
        try:
            e["title"] = name.decode("utf-8")
        except UnicodeDecodeError:
            e["title"] = name.decode("latin-1")
    e["title"] = clean(e["title"])
    for field, frame_id in (("artist", "TPE1"), ("album", "TALB")):
        value = first(frame_id)
        e[field] = clean(value) if value is not None else None
    e["genre"] = tags["TCON"].genres[0] if tags and "TCON" in tags and tags[
        "TCON"].genres else None
    track = first("TRCK")
    e["track"] = int(track.split("/")[0]) if track else None
    date = first("TDRC")
    e["year"] = date[:4] if date else None
    return e


def expected_pictures(paths):
    out = run(["exiftool", "-j", "-charset", "filename=utf8", "-DateTimeOriginal", "-ModifyDate",
               "-ImageDescription"] + [os.fsdecode(p) for p in paths]).stdout
    result = {}
    for record, path in zip(json.loads(out), paths):
        e = {}
        name = os.path.splitext(os.path.basename(path))[0]
        try:
            e["title"] = name.decode("utf-8")
        except UnicodeDecodeError:
            e["title"] = name.decode("latin-1")
        stamp = record.get("DateTimeOriginal") or record.get("ModifyDate")
        e["date"] = stamp[:10].replace(":", "-") if stamp else None
        e["description"] = record.get("ImageDescription")
        result[path] = e
    return result


# ---------------------------------------------------------------- server


def ends_with_parent():
    """In the child: the server gets SIGTERM when this script dies, even
    when it is killed."""
    import ctypes

    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


class Server:
    def __init__(self, program, work, content):
        self.log = os.path.join(work, "server.log")
        self.out = open(self.log, "wb")
        # Titles are compared as they are tagged, without case adaptation.
        self.process = subprocess.Popen(
            [program, "-ip", "127.0.0.1", "-radio", "0", "-contentdir", content, "-dbfile",
             os.path.join(work, "library.db"), "-adaptcase", "0", "-v", "5"],
            cwd=work, stdout=self.out, stderr=subprocess.STDOUT, preexec_fn=ends_with_parent)
        self.port = 0

    def text(self):
        with open(self.log, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_for(self, pattern, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            m = re.search(pattern, self.text())
            if m:
                return m
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


class Client:
    def __init__(self, port, problems):
        self.port = port
        self.problems = problems
        self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)

    def call(self, action, arguments):
        body = ('<?xml version="1.0" encoding="utf-8"?><s:Envelope '
                'xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
                's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:%s '
                'xmlns:u="%s">%s</u:%s></s:Body></s:Envelope>' % (action, CD, arguments, action))
        for attempt in range(2):
            try:
                self.connection.request(
                    "POST", "/ContentDirectory/Control", body.encode("utf-8"),
                    {"Content-Type": 'text/xml; charset="utf-8"',
                     "SOAPAction": '"%s#%s"' % (CD, action)})
                answer = self.connection.getresponse()
                return answer.read()
            except (http.client.HTTPException, OSError):
                self.connection.close()
                self.connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        return b""

    def didl(self, action, arguments, where):
        """The parsed DIDL-Lite of an answer, with its TotalMatches and
        NumberReturned; problems with the text are noted."""
        raw = self.call(action, arguments)
        try:
            raw.decode("utf-8")
        except UnicodeDecodeError as e:
            self.problems.append("%s: the answer is not valid UTF-8 (%s)" % (where, e))
            raw = raw.decode("utf-8", "replace").encode("utf-8")
        try:
            envelope = ET.fromstring(raw)
        except ET.ParseError as e:
            self.problems.append("%s: the SOAP answer does not parse as XML (%s)" % (where, e))
            return None, 0, 0
        result = envelope.find(".//Result")
        total = envelope.find(".//TotalMatches")
        returned = envelope.find(".//NumberReturned")
        if result is None or total is None or returned is None:
            self.problems.append("%s: no Result in the answer: %r" % (where, raw[:300]))
            return None, 0, 0
        text = result.text or ""
        try:
            didl = ET.fromstring(text.encode("utf-8"))
        except ET.ParseError as e:
            self.problems.append("%s: the DIDL-Lite does not parse as XML (%s)" % (where, e))
            # Read on without the characters XML does not allow.
            text = re.sub("[\x00-\x08\x0b\x0c\x0e-\x1f]", "", text)
            try:
                didl = ET.fromstring(text.encode("utf-8"))
            except ET.ParseError:
                return None, int(total.text), int(returned.text)
        return didl, int(total.text), int(returned.text)

    def children(self, object_id, where):
        start = 0
        while True:
            args = ("<ObjectID>%s</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag>"
                    "<Filter>*</Filter><StartingIndex>%d</StartingIndex>"
                    "<RequestedCount>50</RequestedCount><SortCriteria></SortCriteria>" %
                    (object_id, start))
            didl, total, returned = self.didl("Browse", args, where)
            if didl is None or returned == 0:
                return
            for child in didl:
                yield child
            start += returned
            if start >= total:
                return

    def fetch(self, url):
        m = re.match(r"http://[^/]+(/.*)", url)
        path = m.group(1) if m else url
        self.connection.request("GET", path)
        answer = self.connection.getresponse()
        return answer.status, answer.read()


def text_of(element, name):
    found = element.find(name, DIDL_NS)
    return None if found is None else (found.text or "")


def parse_duration(text):
    m = re.match(r"(\d+):(\d+):(\d+(?:\.\d+)?)$", text or "")
    return int(m.group(1)) * 3600 + int(m.group(2)) * 60 + float(m.group(3)) if m else None


def walk(client, problems, limit_s=40):
    """Every container of the tree, breadth first; the items of All Tracks
    and All Pictures; every item met anywhere by id."""
    titles = {}
    queue = [("0", "")]
    seen = set()
    all_tracks, all_pictures = [], []
    items = {}
    end = time.monotonic() + limit_s
    while queue:
        if time.monotonic() > end:
            problems.append("the tree was not walked within %d s: %d containers left "
                            "(%d walked)" % (limit_s, len(queue), len(seen)))
            break
        object_id, place = queue.pop(0)
        if object_id in seen:
            continue
        seen.add(object_id)
        for child in client.children(object_id, "Browse of %s (%s)" % (place or "root",
                                                                          object_id)):
            tag = child.tag.split("}")[1]
            title = text_of(child, "dc:title")
            if tag == "container":
                queue.append((child.get("id"), place + "/" + (title or "")))
                titles[child.get("id")] = place + "/" + (title or "")
            elif tag == "item":
                items[child.get("id")] = child
                if place == "/Music/All Tracks":
                    all_tracks.append(child)
                elif place == "/Pictures/All Pictures":
                    all_pictures.append(child)
    return all_tracks, all_pictures, items, titles


# ---------------------------------------------------------------- comparison


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    program = os.path.abspath(sys.argv[1])
    keep = "--keep" in sys.argv
    show_all = "--all" in sys.argv
    started = time.monotonic()
    temp = tempfile.mkdtemp(prefix="corvalenso-real-library-")
    work = os.path.join(temp, "run")
    root = os.path.join(temp, "library")
    os.makedirs(work)
    server = None
    try:
        rng = random.Random(20)
        lib = make_library(root, work, rng)
        generated = time.monotonic()

        # mutagen rewrites only the tag of its copies: their audio, Info or
        # Xing header included, is the base file's, so ffprobe reads each
        # base once, a sample of the copies to make sure, and every file
        # ffmpeg wrote itself.
        probed = lib.bases + [p for p in lib.music if p not in lib.base_of] + [
            p for n, p in enumerate(lib.music) if p in lib.base_of and n % 16 == 0]
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            durations = dict(zip(probed, pool.map(probe_duration, probed)))
        for p, base in lib.base_of.items():
            if p in durations and abs(durations[p] - durations[base]) > 0.001:
                print("ffprobe reads %s as %.3f s, its base file as %.3f s" % (
                    p, durations[p], durations[base]))
                return 1
            durations[p] = durations[base]
        music_expected = {p: expected_music(p, p in lib.v1_only) for p in lib.music}
        for p in lib.music:
            music_expected[p]["duration"] = durations[p]
        picture_expected = expected_pictures(lib.pictures)
        by_hash = {}
        for p in lib.music + lib.pictures:
            with open(p, "rb") as f:
                by_hash[hashlib.sha1(f.read()).hexdigest()] = p
        read = time.monotonic()

        server = Server(program, work, root + "/")
        m = server.wait_for(r"Server starting at 127\.0\.0\.1:(\d+)", 10)
        if not m:
            print("the server did not start:\n" + server.text())
            return 1
        if not server.wait_for(r"DB scan on .* completed", 40):
            log = server.text()
            status = server.process.poll()
            if status is None:
                print("the first scan did not complete within 40 s:\n" + log[-3000:])
            else:
                # A sanitizer's report starts at its first "ERROR:" line.
                at = log.find("ERROR:")
                print("the server ended with status %d before its first scan completed:\n%s" %
                      (status, log[max(at, 0):][:4000] if at >= 0 else log[-3000:]))
            return 1
        scanned = time.monotonic()
        problems = []
        client = Client(int(m.group(1)), problems)
        all_tracks, all_pictures, items, _ = walk(client, problems)

        def identify(item, want_original):
            """The file the item plays, by the SHA-1 of what its resource
            sends."""
            for res in item.findall("d:res", DIDL_NS):
                url = res.text or ""
                if want_original and not re.search(r"/disk/\d+(\(\d+x\d+,0\))?\.", url):
                    continue
                status, body = client.fetch(url)
                if status == 200:
                    return by_hash.get(hashlib.sha1(body).hexdigest())
                return None
            return None

        listed = {}
        for group, original in ((all_tracks, False), (all_pictures, True)):
            for item in group:
                path = identify(item, original)
                if path is None:
                    problems.append("item %s %r: its resource is none of the library's files" %
                                    (item.get("id"), text_of(item, "dc:title")))
                    continue
                listed.setdefault(path, []).append(item)

        def rel(path):
            name = os.path.relpath(os.fsencode(path), os.fsencode(root))
            return name.decode("utf-8", "backslashreplace")

        for path in lib.music + lib.pictures:
            found = listed.get(path, [])
            if len(found) != 1:
                when = " (dated %s)" % time.strftime(
                    "%Y-%m-%d", time.gmtime(os.stat(path).st_mtime)) if path in \
                    lib.old_or_future else ""
                ids = " (items %s)" % ", ".join(i.get("id") for i in found) if found else ""
                problems.append("%s%s: listed %d times under All %s%s, expected once" % (
                    rel(path), when, len(found), "Tracks" if path in music_expected else
                    "Pictures", ids))

        diffs = {}

        def differs(path, field, tool, expected, got):
            diffs.setdefault(field, []).append(
                "%s: %s: expected by %s %r, listed by the server %r" % (rel(path), field, tool,
                                                                         expected, got))

        for path, e in music_expected.items():
            if path not in listed:
                continue
            item = listed[path][0]
            got = {
                "title": text_of(item, "dc:title"),
                "artist": text_of(item, "upnp:artist"),
                "album": text_of(item, "upnp:album"),
                "genre": text_of(item, "upnp:genre"),
            }
            for field in ("title", "artist", "album", "genre"):
                if e[field] is not None and got[field] != e[field]:
                    differs(path, field, "mutagen", e[field], got[field])
            track = text_of(item, "upnp:originalTrackNumber")
            if e["track"] is not None and track != str(e["track"]):
                differs(path, "track", "mutagen", e["track"], track)
            date = text_of(item, "dc:date") or ""
            if e["year"] is not None and date[:4] != e["year"]:
                differs(path, "year", "mutagen", e["year"], date)
            res = item.find("d:res", DIDL_NS)
            duration = parse_duration(res.get("duration") if res is not None else None)
            if duration is None or abs(duration - e["duration"]) > 0.1:
                differs(path, "duration", "ffprobe", round(e["duration"], 3),
                        res.get("duration") if res is not None else None)

        for path, e in picture_expected.items():
            if path not in listed:
                continue
            item = listed[path][0]
            title = text_of(item, "dc:title")
            if title != e["title"]:
                differs(path, "title", "its file name", e["title"], title)
            date = text_of(item, "dc:date") or ""
            if e["date"] and date[:10] != e["date"]:
                differs(path, "date", "exiftool", e["date"], date)
            description = text_of(item, "dc:description")
            if e["description"] and description != e["description"]:
                differs(path, "description", "exiftool", e["description"], description)

        # A search for a lower-case accented word finds every title with it.
        expected_hits = {p for p, e in list(music_expected.items()) + list(
            picture_expected.items()) if SEARCH_WORD in e["title"].lower()}
        by_id = {}
        for path, found in listed.items():
            for item in found:
                by_id[item.get("id")] = path
        # The server bounds each answer; a player pages through the matches.
        hits = set()
        start = 0
        while True:
            didl, total, returned = client.didl(
                "Search", "<ContainerID>0</ContainerID><SearchCriteria>dc:title contains "
                "&quot;%s&quot;</SearchCriteria><Filter>*</Filter><StartingIndex>%d"
                "</StartingIndex><RequestedCount>0</RequestedCount><SortCriteria></SortCriteria>"
                % (SEARCH_WORD, start), "Search for %r" % SEARCH_WORD)
            for item in (didl if didl is not None else []):
                path = by_id.get(item.get("refID") or item.get("id"))
                if path is None:
                    path = by_id.get(item.get("id"))
                if path is not None:
                    hits.add(path)
            start += returned
            if didl is None or returned == 0 or start >= total:
                break
        for path in sorted(expected_hits - hits):
            diffs.setdefault("search", []).append(
                "%s: not found by dc:title contains %r (title %r)" % (
                    rel(path), SEARCH_WORD, picture_expected.get(path, music_expected.get(
                        path, {})).get("title")))
        for path in sorted(hits - expected_hits):
            diffs.setdefault("search", []).append(
                "%s: found by dc:title contains %r, its title has no such word" % (
                    rel(path), SEARCH_WORD))

        # Every playlist container lists its entries, each once.
        lists_seen = {}
        for object_id, item in items.items():
            parent = item.get("parentID")
            if item.get("refID"):
                lists_seen.setdefault(parent, []).append(item.get("refID"))
        ids_of = {p: {i.get("id") for i in found} for p, found in listed.items()}
        for playlist, entries in lib.playlists.items():
            wanted = [ids_of.get(os.path.normpath(p), {None}) for p in entries]
            match = [c for c, refs in lists_seen.items() if len(refs) == len(entries) and all(
                r in w for r, w in zip(refs, wanted))]
            if not match:
                diffs.setdefault("playlist", []).append(
                    "%s: no playlist container lists its %d entries in order" % (
                        rel(playlist), len(entries)))

        compared = time.monotonic()
        failures = sum(len(v) for v in diffs.values()) + len(problems)
        for line in problems:
            print(line)
        for field in sorted(diffs):
            lines = diffs[field]
            print("--- %s: %d difference%s" % (field, len(lines), "" if len(lines) == 1 else "s"))
            for line in lines if show_all else lines[:25]:
                print(line)
            if len(lines) > 25 and not show_all:
                print("... and %d more" % (len(lines) - 25))
        print("library: %d music files, %d pictures, %d playlists; listed %d tracks, %d pictures"
              % (len(lib.music), len(lib.pictures), len(lib.playlists), len(all_tracks),
                 len(all_pictures)))
        print("summary: %s" % (", ".join("%s %d" % (f, len(v)) for f, v in sorted(
            diffs.items())) or "no differences") + (", %d other problems" % len(problems)
                                                    if problems else ""))
        print("times: generated %.1f s, read by the tools %.1f s, scanned %.1f s, compared "
              "%.1f s" % (generated - started, read - generated, scanned - read,
                          compared - scanned))
        return 1 if failures else 0
    finally:
        if server:
            server.stop()
        if keep:
            print("kept", temp)
        else:
            shutil.rmtree(temp, ignore_errors=True)


if __name__ == "__main__":
    # A time-out's SIGTERM still stops the server and removes the library.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())
