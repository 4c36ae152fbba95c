#!/usr/bin/python3
# The real program on a library in the formats of today's collections, every
# file made by tools this project did not write: FLAC by flac and metaflac,
# Ogg Vorbis by oggenc and vorbiscomment, Opus by opusenc, AAC and ALAC in
# MP4, MP4, Matroska and WebM video by ffmpeg, and tags and covers in every
# format by mutagen. Every listed title, artist, album, track, year and
# duration is compared with what mutagen and ffprobe read, every video's size
# with ffprobe's, every item URL is played by ffprobe and every album-art URL
# decoded by ffmpeg. Then the music edition runs on the same library and must
# list every music file and no video.
#
# Usage: real_formats.py <plenwick> <tessamund> [--keep]
# Exit status 0 when everything matches, 1 on any difference, 77 when one of
# the tools is missing (the test is then skipped).
import base64
import concurrent.futures
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

try:
    import mutagen
    from mutagen.flac import FLAC, Picture
    from mutagen.mp4 import MP4, MP4Cover
    from mutagen.oggopus import OggOpus
    from mutagen.oggvorbis import OggVorbis
except ImportError as e:
    print("mutagen is not installed (python3-mutagen):", e)
    sys.exit(77)

for tool in ("ffmpeg", "ffprobe", "flac", "metaflac", "oggenc", "vorbiscomment", "opusenc",
             "exiftool"):
    if not shutil.which(tool):
        print(tool, "is not installed (ffmpeg, flac, vorbis-tools, opus-tools, "
              "libimage-exiftool-perl)")
        sys.exit(77)

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from real_library import DIDL_NS, Client, Server, parse_duration, run, text_of  # noqa: E402

WORDS = ["Café Crème", "Ωδή στη Θάλασσα", "Привет мир", "東京の夜", "Night 🌙 Drive", "Señorita",
         "Łódź Nocą", "Über Straße"]
MIME = {"flac": "audio/flac", "ogg": "audio/ogg", "oga": "audio/ogg", "opus": "audio/opus",
        "m4a": "audio/mp4", "m4b": "audio/mp4", "mp4": "video/mp4", "m4v": "video/mp4",
        "mkv": "video/x-matroska", "webm": "video/webm"}
VIDEO = ("mp4", "m4v", "mkv", "webm")


def ext(path):
    return os.path.splitext(path)[1][1:].lower()


def picture_block(data, mime, width, height):
    pic = Picture()
    pic.type = 3
    pic.mime = mime
    pic.desc = "Cover"
    pic.width, pic.height, pic.depth = width, height, 24
    pic.data = data
    return pic


class Library:
    def __init__(self):
        self.music = []  # paths
        self.videos = []
        self.art = {}  # music path -> True when it has an embedded or folder cover
        self.folder_cover = None  # the folder-art file, never listed
        self.photo = None  # a picture beside it, listed as usual
        self.playlist = None
        self.playlist_music = []  # the playlist's music entries, in order


def make_library(root, work):
    lib = Library()
    os.makedirs(root)

    covers = {}
    for name, source, size, quality in (("small.jpg", "color=c=red", "200x200", []),
                                        ("big.jpg", "testsrc2", "1200x1200", ["-q:v", "1"]),
                                        ("cover.png", "testsrc", "320x320", []),
                                        ("folder.jpg", "color=c=blue", "300x300", [])):
        path = os.path.join(work, name)
        run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "%s%ss=%s" % (source, ":" if "=" in source else "=", size),
             "-frames:v", "1"] + quality + [path])
        with open(path, "rb") as f:
            covers[name] = (f.read(), "image/png" if name.endswith("png") else "image/jpeg",
                            int(size.split("x")[0]))

    jobs = []  # (function, arguments) run two at a time

    def place(folder, name):
        d = os.path.join(root, folder)
        os.makedirs(d, exist_ok=True)
        return os.path.join(d, name)

    specs = []  # (kind, folder, tagger, cover name or None)
    for n, kind in enumerate(["flac"] * 6 + ["ogg"] * 5 + ["opus"] * 5 + ["aac"] * 4 +
                             ["alac"] * 2 + ["m4b"]):
        tagger = "tool" if n % 2 == 0 else "mutagen"
        cover = [None, "small.jpg", "big.jpg", "cover.png"][n % 4]
        if kind in ("alac", "m4b"):
            tagger = "mutagen"
        specs.append((kind, "Artist %d/Album %d" % (n % 3, n % 5), tagger, cover))
    # Tracks without pictures beside a folder cover, and one photo.
    for kind in ("flac", "ogg", "opus", "aac"):
        specs.append((kind, "Folder Art", "mutagen", "folder"))

    for n, (kind, folder, tagger, cover) in enumerate(specs):
        word = WORDS[n % len(WORDS)]
        tags = {
            "title": "%s %d" % (word, n),
            "artist": "%s %d" % (WORDS[(n + 3) % len(WORDS)], n % 4),
            "album": "Album %s %d" % (WORDS[(n + 5) % len(WORDS)].split()[0], n % 5),
            "track": n % 12 + 1,
            "total": 12 if n % 3 == 0 else None,
            "year": str(1965 + n * 2),
        }
        suffix = {"aac": "m4a", "alac": "m4a"}.get(kind, kind)
        path = place(folder, "%02d track.%s" % (n, suffix))
        lib.music.append(path)
        lib.art[path] = cover is not None
        jobs.append((make_audio, (work, n, kind, path, tagger, tags, cover, covers)))

    def make_video(n, path, size, seconds, video, audio, title):
        args = ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                "testsrc=size=%s:rate=25:duration=%.2f" % (size, seconds), "-f", "lavfi", "-i",
                "sine=frequency=%d:duration=%.2f" % (300 + n * 50, seconds)] + video + audio
        if title:
            args += ["-metadata", "title=" + title]
        run(args + [path])

    for n, (name, size, seconds, video, audio, title) in enumerate([
            ("clip.mp4", "320x240", 3.4, ["-c:v", "libx264", "-preset", "ultrafast"],
             ["-c:a", "aac"], "Plage à Nice"),
            ("wide.mp4", "640x360", 2.2, ["-c:v", "mpeg4"], ["-c:a", "aac"], None),
            ("small.m4v", "176x144", 1.8, ["-c:v", "libx264", "-preset", "ultrafast"],
             ["-c:a", "aac"], "Ночь 0"),
            ("film.mkv", "352x288", 4.1, ["-c:v", "libx264", "-preset", "ultrafast"],
             ["-c:a", "libvorbis"], "Звёздная ночь"),
            ("plain.mkv", "160x120", 2.6, ["-c:v", "mpeg4"], ["-c:a", "aac"], None),
            ("web.webm", "320x180", 2.9, ["-c:v", "libvpx", "-deadline", "realtime"],
             ["-c:a", "libopus"], "東京 webm"),
    ]):
        path = place("Videos", name)
        lib.videos.append(path)
        jobs.append((make_video, (n, path, size, seconds, video, audio, title)))

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for f in [pool.submit(fn, *args) for fn, args in jobs]:
            f.result()

    lib.folder_cover = place("Folder Art", "Cover.JPG")
    with open(lib.folder_cover, "wb") as f:
        f.write(covers["folder.jpg"][0])
    lib.photo = place("Folder Art", "photo.jpg")
    shutil.copyfile(os.path.join(work, "small.jpg"), lib.photo)
    notes = place("Folder Art", "notes.xyz")
    with open(notes, "wb") as f:
        f.write(b"not music\n")

    # A playlist naming one file of each music type between a photo and a
    # file of no known type.
    lib.playlist = os.path.join(root, "mix.m3u")
    firsts = []
    for suffix in ("flac", "ogg", "opus", "m4a", "m4b"):
        firsts.append(next(p for p in lib.music if ext(p) == suffix))
    entries = firsts[:2] + [lib.photo] + firsts[2:] + [notes]
    with open(lib.playlist, "w", encoding="utf-8") as f:
        f.write("#EXTM3U\n")
        for p in entries:
            f.write(os.path.relpath(p, root) + "\n")
    lib.playlist_music = firsts
    return lib


def make_audio(work, n, kind, path, tagger, tags, cover, covers):
    seconds = 2.3 + (n * 0.37) % 5
    base = os.path.join(work, "base%d.wav" % n)
    run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
         "sine=frequency=%d:duration=%.2f" % (220 + 40 * (n % 9), seconds), "-ar",
         "44100" if n % 3 else "48000", "-ac", str(1 + n % 2), base])
    track = "%d/%d" % (tags["track"], tags["total"]) if tags["total"] else str(tags["track"])
    picture = covers.get(cover)
    picture_file = os.path.join(work, cover) if picture else None
    if kind == "flac":
        run(["flac", "-s", "-f", "-o", path, base])
        if tagger == "tool":
            run(["metaflac", "--set-tag=TITLE=" + tags["title"], "--set-tag=ARTIST=" +
                 tags["artist"], "--set-tag=ALBUM=" + tags["album"], "--set-tag=TRACKNUMBER=" +
                 track, "--set-tag=DATE=" + tags["year"], "--set-tag=GENRE=Jazz"] +
                (["--import-picture-from=" + picture_file] if picture else []) + [path])
        else:
            f = FLAC(path)
            f["title"], f["artist"], f["album"] = tags["title"], tags["artist"], tags["album"]
            f["tracknumber"], f["date"] = track, tags["year"] + "-04-01"
            if picture:
                f.add_picture(picture_block(picture[0], picture[1], picture[2], picture[2]))
            f.save()
    elif kind == "ogg":
        if tagger == "tool":
            run(["oggenc", "-Q", "-q", "1", "-t", tags["title"], "-a", tags["artist"], "-l",
                 tags["album"], "-d", tags["year"], "-o", path, base])
            run(["vorbiscomment", "-a", "-t", "TRACKNUMBER=" + track, path])
        else:
            run(["oggenc", "-Q", "-q", "1", "-o", path, base])
            f = OggVorbis(path)
            f["title"], f["artist"], f["album"] = tags["title"], tags["artist"], tags["album"]
            f["tracknumber"], f["date"] = track, tags["year"]
            f.save()
        if picture:
            f = OggVorbis(path)
            f["metadata_block_picture"] = [base64.b64encode(picture_block(
                picture[0], picture[1], picture[2], picture[2]).write()).decode("ascii")]
            f.save()
    elif kind == "opus":
        if tagger == "tool":
            run(["opusenc", "--quiet", "--title", tags["title"], "--artist", tags["artist"],
                 "--album", tags["album"], "--date", tags["year"], "--comment",
                 "TRACKNUMBER=" + track] + (["--picture", picture_file] if picture else []) +
                [base, path])
        else:
            run(["opusenc", "--quiet", base, path])
            f = OggOpus(path)
            f["title"], f["artist"], f["album"] = tags["title"], tags["artist"], tags["album"]
            f["tracknumber"], f["date"] = track, tags["year"]
            if picture:
                f["metadata_block_picture"] = [base64.b64encode(picture_block(
                    picture[0], picture[1], picture[2], picture[2]).write()).decode("ascii")]
            f.save()
    else:
        codec = ["-c:a", "alac"] if kind == "alac" else ["-c:a", "aac", "-b:a", "96k"]
        fmt = ["-f", "ipod"] if kind == "m4b" else []
        if tagger == "tool":
            run(["ffmpeg", "-v", "error", "-y", "-i", base] + codec + [
                "-metadata", "title=" + tags["title"], "-metadata", "artist=" + tags["artist"],
                "-metadata", "album=" + tags["album"], "-metadata", "track=" + track,
                "-metadata", "date=" + tags["year"]] + fmt + [path])
        else:
            run(["ffmpeg", "-v", "error", "-y", "-i", base] + codec + fmt + [path])
            f = MP4(path)
            f["\xa9nam"], f["\xa9ART"], f["\xa9alb"] = tags["title"], tags["artist"], tags["album"]
            f["\xa9day"] = tags["year"]
            f["trkn"] = [(tags["track"], tags["total"] or 0)]
            f.save()
        if picture:
            f = MP4(path)
            f["covr"] = [MP4Cover(picture[0], MP4Cover.FORMAT_PNG if picture[1] == "image/png"
                                  else MP4Cover.FORMAT_JPEG)]
            f.save()


# ---------------------------------------------------------------- expectations


def probe(path):
    """ffprobe's duration, title and video size of a file or URL; None when
    it cannot read it."""
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                          "format=duration:format_tags=title:stream=codec_type,width,height",
                          "-of", "default=noprint_wrappers=1", path],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if out.returncode != 0:
        return None
    e = {"duration": None, "title": None, "size": None}
    width = None
    for line in out.stdout.decode("utf-8", "replace").splitlines():
        key, _, value = line.partition("=")
        if key == "duration" and value not in ("", "N/A"):
            e["duration"] = float(value)
        elif key == "TAG:title":
            e["title"] = value
        elif key == "width" and value not in ("", "N/A"):
            width = value
        elif key == "height" and width and e["size"] is None and value not in ("", "N/A"):
            e["size"] = "%sx%s" % (width, value)
    return e


def expected_music(path):
    f = mutagen.File(path, easy=True)

    def first(key):
        return str(f[key][0]) if f is not None and f.tags and key in f.tags else None

    e = {"title": first("title"), "artist": first("artist"), "album": first("album")}
    track = first("tracknumber")
    e["track"] = int(track.split("/")[0]) if track else None
    date = first("date")
    e["year"] = date[:4] if date else None
    return e


def decodes_as_jpeg(body):
    """True when ffmpeg decodes the bytes as one JPEG picture."""
    if body[:2] != b"\xff\xd8":
        return False
    out = subprocess.run(["ffmpeg", "-v", "error", "-f", "image2pipe", "-c:v", "mjpeg", "-i", "-",
                          "-f", "null", "-"], input=body, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    return out.returncode == 0 and not out.stderr.strip()


# ---------------------------------------------------------------- the tree


def walk_all(client, problems, limit_s=40):
    """Every item of the tree by id, with the path of titles of its parent."""
    queue = [("0", "")]
    seen = set()
    items = []
    end = time.monotonic() + limit_s
    while queue:
        if time.monotonic() > end:
            problems.append("the tree was not walked within %d s" % limit_s)
            break
        object_id, place = queue.pop(0)
        if object_id in seen:
            continue
        seen.add(object_id)
        for child in client.children(object_id, "Browse of %s (%s)" % (place or "root",
                                                                          object_id)):
            tag = child.tag.split("}")[1]
            title = text_of(child, "dc:title") or ""
            if tag == "container":
                queue.append((child.get("id"), place + "/" + title))
            else:
                items.append((place, child))
    return items


def start_server(program, work, root, problems):
    server = Server(program, work, root)
    m = server.wait_for(r"Server starting at 127\.0\.0\.1:(\d+)", 10)
    if not m or not server.wait_for(r"DB scan on .* completed", 40):
        problems.append("%s did not start and scan:\n%s" % (os.path.basename(program),
                                                             server.text()[-3000:]))
        return server, None
    return server, Client(int(m.group(1)), problems)


def check_full(program, lib, root, work, problems, diffs):
    server, client = start_server(program, work, root, problems)
    try:
        if client is None:
            return
        items = walk_all(client, problems)
        by_hash = {}
        for p in lib.music + lib.videos + [lib.photo, lib.folder_cover]:
            with open(p, "rb") as f:
                by_hash[hashlib.sha1(f.read()).hexdigest()] = p

        def identify(item):
            res = item.find("d:res", DIDL_NS)
            if res is None:
                return None, None
            status, body = client.fetch(res.text or "")
            return (by_hash.get(hashlib.sha1(body).hexdigest()) if status == 200 else None), res

        listed = {}  # path -> (item, res)
        ids = {}
        for place, item in items:
            if place not in ("/Music/All Tracks", "/Videos/All Videos", "/Pictures/All Pictures"):
                continue
            path, res = identify(item)
            if path is None:
                problems.append("item %s %r under %s: its resource is none of the library's "
                                "files" % (item.get("id"), text_of(item, "dc:title"), place))
                continue
            if path in listed:
                problems.append("%s: listed twice" % os.path.relpath(path, root))
            listed[path] = (item, res)
            ids[item.get("id")] = path

        def differs(path, field, expected, got):
            diffs.setdefault(field, []).append("%s: %s: expected %r, listed %r" % (
                os.path.relpath(path, root), field, expected, got))

        for path in lib.music + lib.videos + [lib.photo]:
            if path not in listed:
                differs(path, "listed", "once", "not at all")
        if lib.folder_cover in listed:
            differs(lib.folder_cover, "listed", "not as a picture (it is folder art)",
                    "as a picture")

        urls = []
        for path in lib.music + lib.videos:
            if path not in listed:
                continue
            item, res = listed[path]
            protocol = (res.get("protocolInfo") or "").split(":")
            mime = protocol[2] if len(protocol) > 2 else None
            if mime != MIME[ext(path)]:
                differs(path, "mime", MIME[ext(path)], res.get("protocolInfo"))
            urls.append((path, res.text or ""))

        # Every file as the tools read it, and every URL as ffprobe plays it.
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            from_file = dict(zip([p for p, _ in urls], pool.map(probe, [p for p, _ in urls])))
            played = dict(zip([p for p, _ in urls], pool.map(probe, [u for _, u in urls])))

        for path, _ in urls:
            item, res = listed[path]
            want = from_file[path]
            if played[path] is None:
                differs(path, "played", "ffprobe reads the item URL", "it cannot")
            duration = parse_duration(res.get("duration"))
            if want is None or want["duration"] is None:
                problems.append("ffprobe cannot read %s" % path)
                continue
            if duration is None or abs(duration - want["duration"]) > 0.1:
                differs(path, "duration", round(want["duration"], 3), res.get("duration"))
            if ext(path) in VIDEO:
                title = want["title"] or os.path.splitext(os.path.basename(path))[0]
                if text_of(item, "dc:title") != title:
                    differs(path, "title", title, text_of(item, "dc:title"))
                if res.get("resolution") != want["size"]:
                    differs(path, "resolution", want["size"], res.get("resolution"))
                continue
            e = expected_music(path)
            got = {"title": text_of(item, "dc:title"), "artist": text_of(item, "upnp:artist"),
                   "album": text_of(item, "upnp:album")}
            for field in ("title", "artist", "album"):
                if got[field] != e[field]:
                    differs(path, field, e[field], got[field])
            track = text_of(item, "upnp:originalTrackNumber")
            if e["track"] is not None and track != str(e["track"]):
                differs(path, "track", e["track"], track)
            date = text_of(item, "dc:date") or ""
            if e["year"] is not None and date[:4] != e["year"]:
                differs(path, "year", e["year"], date)

            art = text_of(item, "upnp:albumArtURI")
            if not lib.art[path]:
                if art is not None:
                    differs(path, "art", "no album-art URL", art)
            elif not art:
                differs(path, "art", "an album-art URL", art)
            else:
                status, body = client.fetch(art)
                if status != 200 or not decodes_as_jpeg(body):
                    differs(path, "art", "a JPEG ffmpeg decodes", "status %d, %d bytes %r" % (
                        status, len(body), body[:8]))

        # The playlist lists its music entries in order, and nothing else.
        wanted = [listed[p][0].get("id") if p in listed else None for p in lib.playlist_music]
        containers = {}
        for place, item in items:
            if item.get("refID") and place.startswith("/Music/Playlists/"):
                containers.setdefault(place, []).append(item.get("refID"))
        entries = next((refs for place, refs in containers.items() if place.endswith(("/mix", "/mix.m3u"))),
                       None)
        if entries != wanted:
            got = [os.path.basename(ids.get(r, r or "?")) for r in entries or []]
            differs(lib.playlist, "playlist", [os.path.basename(p) for p in lib.playlist_music],
                    got)
    finally:
        server.stop()


def check_music_edition(program, lib, root, work, problems, diffs):
    server, client = start_server(program, work, root, problems)
    try:
        if client is None:
            return
        items = walk_all(client, problems)
        titles = {}
        for place, item in items:
            cls = text_of(item, "upnp:class") or ""
            res = item.find("d:res", DIDL_NS)
            protocol = (res.get("protocolInfo") or "") if res is not None else ""
            if "videoItem" in cls or ":video/" in protocol:
                diffs.setdefault("edition", []).append(
                    "the music edition lists the video %r under %s" % (
                        text_of(item, "dc:title"), place))
            # The music edition has no top "Music" container of its own.
            if place in ("/Music/All Tracks", "/All Tracks"):
                titles.setdefault(text_of(item, "dc:title"), []).append(item)
        if not titles:
            problems.append("the music edition lists no All Tracks; places: %s" %
                            sorted({place for place, _ in items})[:20])
        for path in lib.music:
            title = expected_music(path)["title"]
            if len(titles.get(title, [])) != 1:
                diffs.setdefault("edition", []).append(
                    "%s: listed %d times under All Tracks by the music edition, expected once" %
                    (os.path.relpath(path, root), len(titles.get(title, []))))
    finally:
        server.stop()


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    full, music_only = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    keep = "--keep" in sys.argv
    started = time.monotonic()
    temp = tempfile.mkdtemp(prefix="corvalenso-real-formats-")
    work = os.path.join(temp, "run")
    root = os.path.join(temp, "library")
    os.makedirs(work)
    try:
        lib = make_library(root, work)
        generated = time.monotonic()
        problems, diffs = [], {}
        for name, check, program in (("full", check_full, full),
                                     ("music", check_music_edition, music_only)):
            run_dir = os.path.join(work, name)
            os.makedirs(run_dir)
            check(program, lib, root, run_dir, problems, diffs)
        for line in problems:
            print(line)
        for field in sorted(diffs):
            print("--- %s: %d difference%s" % (field, len(diffs[field]),
                                                "" if len(diffs[field]) == 1 else "s"))
            for line in diffs[field]:
                print(line)
        print("library: %d music files, %d videos; made in %.1f s, checked in %.1f s" % (
            len(lib.music), len(lib.videos), generated - started, time.monotonic() - generated))
        print("summary: %s" % (", ".join("%s %d" % (f, len(v)) for f, v in sorted(
            diffs.items())) or "no differences") + (", %d other problems" % len(problems)
                                                    if problems else ""))
        return 1 if problems or diffs else 0
    finally:
        if keep:
            print("kept", temp)
        else:
            shutil.rmtree(temp, ignore_errors=True)


if __name__ == "__main__":
    # A time-out's SIGTERM still stops the servers and removes the library.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())
