#!/usr/bin/python3
# What relaying internet radio costs the server, everything on loopback: a
# local icecast2 station fed by ffmpeg (a sine wave as 128 kbit/s MP3 at its
# real rate) is listed in a playlist of the content directory and played
# through the server's httpproxy URL by curl.
#
# 1. One stream for the given seconds (default 60), relayed at the same time
#    by nginx (Debian's nginx-light, proxy_pass with proxy_buffering off, one
#    process): the CPU time of the server, of nginx and of icecast over that
#    time, and the peak resident memory of the server and of nginx.
# 2. Twenty streams at once while another client browses (50 children of All
#    Tracks, a fresh connection each time, repeated): the browse median and
#    worst answer time, first without streams, then with them, and the
#    server's CPU, memory and threads.
#
# Usage: bench/relay_bench.py [program] [seconds] [browse seconds]
# (default build/plenwick, 60 s, 30 s); run from the repository root. The
# last two lines read
#   relay: 1 stream <ms> ms CPU/min, nginx <ms> ms CPU/min, ratio <r>, <MB> MB peak
#   relay20: browse median <ms> ms, worst <ms> ms, <ms> ms CPU/s, <MB> MB peak
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "integration"))
from remote_sources import (CD, MOUNT, Processes, free_port, log_text,  # noqa: E402
                            require_tools, start_icecast, url_path, wait_for_log, walk)

TICK = os.sysconf("SC_CLK_TCK")


class Usage:
    """CPU time of a process: utime + stime of /proc/PID/stat (threads that
    ended included, in clock ticks) and the sum of the live threads' run
    time from schedstat (nanoseconds)."""

    def __init__(self, pid):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        self.ticks_s = (int(fields[11]) + int(fields[12])) / TICK
        self.ns = 0
        self.tasks = set()
        for task in os.listdir("/proc/%d/task" % pid):
            try:
                with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                    self.ns += int(f.read().split()[0])
                self.tasks.add(task)
            except OSError:
                pass

    def ms_since(self, before):
        """Milliseconds of CPU since before: the exact schedstat figure when
        every thread of then is still there (ticks are samples, too coarse
        for a few milliseconds a minute), else the ticks. A thread that
        came and went in between is missed by the first."""
        if before.tasks <= self.tasks:
            return (self.ns - before.ns) / 1e6
        return self.tick_ms_since(before)

    def tick_ms_since(self, before):
        return (self.ticks_s - before.ticks_s) * 1000


def status_kb(pid, key):
    with open("/proc/%d/status" % pid) as f:
        m = re.search(r"^%s:\s+(\d+)" % key, f.read(), re.M)
    return int(m.group(1)) if m else 0


def start_nginx(procs, work, port, upstream_port):
    conf = os.path.join(work, "nginx.conf")
    temp = os.path.join(work, "nginx-temp")
    os.makedirs(temp)
    with open(conf, "w") as f:
        f.write("""daemon off;
master_process off;
pid %(w)s/nginx.pid;
error_log %(w)s/nginx-error.log;
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path %(t)s/body;
  proxy_temp_path %(t)s/proxy;
  server {
    listen 127.0.0.1:%(p)d;
    location / {
      proxy_pass http://127.0.0.1:%(u)d;
      proxy_buffering off;
      proxy_read_timeout 60s;
    }
  }
}
""" % {"w": work, "t": temp, "p": port, "u": upstream_port})
    p = procs.start("nginx", ["nginx", "-p", work, "-e", os.path.join(work, "nginx-error.log"),
                              "-c", conf])
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return p
        except OSError:
            if p.poll() is not None:
                return None
            time.sleep(0.05)
    return None


def make_library(content, work, tracks):
    one = os.path.join(work, "one.mp3")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "sine=frequency=440:duration=1", "-c:a", "libmp3lame", "-b:a", "64k", one],
                   check=True)
    for n in range(tracks):
        folder = os.path.join(content, "Artist %d" % (n % 10))
        os.makedirs(folder, exist_ok=True)
        shutil.copyfile(one, os.path.join(folder, "%03d track.mp3" % n))


def browse_once(port, object_id):
    """Milliseconds from connecting to the whole answer of a Browse."""
    body = ('<?xml version="1.0" encoding="utf-8"?><s:Envelope '
            'xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:Browse '
            'xmlns:u="%s"><ObjectID>%s</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag>'
            '<Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>50'
            '</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>' %
            (CD, object_id)).encode()
    request = ("POST /ContentDirectory/Control HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
               "Content-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"%s#Browse\"\r\n"
               "Content-Length: %d\r\nConnection: close\r\n\r\n" % (port, CD, len(body))
               ).encode() + body
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(request)
        data = b""
        while True:
            block = s.recv(65536)
            if not block:
                break
            data += block
    took = (time.monotonic() - started) * 1000
    return took if b"NumberReturned>50<" in data else None


def curl(procs, name, url, work, seconds):
    out = os.path.join(work, name + ".mp3")
    p = procs.start(name, ["curl", "-s", "--max-time", str(seconds), "-o", out, url])
    p.out = out
    return p


def received(p):
    try:
        return os.path.getsize(p.out)
    except OSError:
        return 0


def browse_phase(port, container, seconds, pid, samples):
    times = []
    failed = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        took = browse_once(port, container)
        if took is None:
            failed += 1
        else:
            times.append(took)
        samples.append((status_kb(pid, "VmRSS"), status_kb(pid, "Threads")))
        time.sleep(0.05)
    return times, failed


def main():
    require_tools(("icecast2", "ffmpeg", "curl", "nginx"))
    program = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/plenwick")
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 60
    browse_seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 30
    temp = tempfile.mkdtemp(prefix="corvalenso-relay-bench-")
    work = os.path.join(temp, "run")
    os.makedirs(work)
    procs = Processes(work)
    try:
        ice_port = free_port()
        if not start_icecast(procs, work, ice_port, "b3nch"):
            print("icecast2 did not serve its stream")
            return 1
        icecast = procs.started[0]
        content = os.path.join(temp, "content")
        os.makedirs(content)
        make_library(content, work, 300)
        with open(os.path.join(content, "radio.m3u"), "w") as f:
            f.write("#EXTM3U\n#EXTINF:-1,Local sine\nhttp://127.0.0.1:%d%s\n" % (ice_port, MOUNT))
        home = os.path.join(work, "server")
        os.makedirs(home)
        server = procs.start("server", [program, "-ip", "127.0.0.1", "-radio", "0",
                                        "-contentdir", content, "-httpport", str(free_port()),
                                        "-v", "5"], cwd=home)
        m = wait_for_log(server, r"Server starting at 127\.0\.0\.1:(\d+)", 15)
        if not m or not wait_for_log(server, r"DB scan on .* completed", 60):
            print("the server did not start and scan:\n" + log_text(server)[-2000:])
            return 1
        port = int(m.group(1))
        containers, items = walk(port)
        station = [url_path(i) for _, i in items if "httpproxy/" in url_path(i)]
        all_tracks = containers.get("/Music/All Tracks")
        if not station or not all_tracks:
            print("no station or no All Tracks container: %r" % sorted(containers))
            return 1
        station_url = "http://127.0.0.1:%d%s" % (port, station[0])
        nginx_port = free_port()
        nginx = start_nginx(procs, work, nginx_port, ice_port)
        if not nginx:
            print("nginx did not start:\n" + log_text(procs.started[-1])[-2000:])
            return 1
        print("server %d, icecast %d, nginx %d; station %s" % (server.pid, icecast.pid,
                                                                nginx.pid, station_url))

        # 1. One stream, relayed by the server and by nginx at once.
        before = {p.pid: Usage(p.pid) for p in (server, nginx, icecast)}
        ours = curl(procs, "one-server", station_url, work, seconds)
        theirs = curl(procs, "one-nginx", "http://127.0.0.1:%d%s" % (nginx_port, MOUNT), work,
                      seconds)
        ours.wait()
        theirs.wait()
        after = {p.pid: Usage(p.pid) for p in (server, nginx, icecast)}
        cpu = {pid: after[pid].ms_since(before[pid]) for pid in before}
        ticks = {pid: after[pid].tick_ms_since(before[pid]) for pid in before}
        per_minute = 60.0 / seconds
        server_ms = cpu[server.pid] * per_minute
        nginx_ms = cpu[nginx.pid] * per_minute
        server_hwm = status_kb(server.pid, "VmHWM") / 1024
        nginx_hwm = status_kb(nginx.pid, "VmHWM") / 1024
        print("one stream for %d s: the server received %.0f KB, nginx %.0f KB" %
              (seconds, received(ours) / 1024, received(theirs) / 1024))
        print("  CPU per minute: server %.1f ms, nginx %.1f ms, icecast (source and both "
              "listeners) %.1f ms; by clock ticks %.0f, %.0f and %.0f ms" %
              (server_ms, nginx_ms, cpu[icecast.pid] * per_minute,
               ticks[server.pid] * per_minute, ticks[nginx.pid] * per_minute,
               ticks[icecast.pid] * per_minute))
        print("  peak memory: server %.1f MB (VmHWM since its start, the scan included; now "
              "%.1f MB), nginx %.1f MB" % (server_hwm, status_kb(server.pid, "VmRSS") / 1024,
                                            nginx_hwm))
        ratio = server_ms / nginx_ms if nginx_ms > 0 else float("inf")

        # 2. Browsing, first alone, then beside 20 relayed streams.
        samples = []
        quiet, quiet_failed = browse_phase(port, all_tracks, 5, server.pid, samples)
        rss_before = status_kb(server.pid, "VmRSS") / 1024
        streams = [curl(procs, "many-%02d" % n, station_url, work, browse_seconds + 10)
                   for n in range(20)]
        time.sleep(3)
        start = Usage(server.pid)
        samples = []
        began = time.monotonic()
        loaded, loaded_failed = browse_phase(port, all_tracks, browse_seconds, server.pid,
                                             samples)
        span = time.monotonic() - began
        # Every Browse has a thread of its own that ends: clock ticks.
        used = Usage(server.pid).tick_ms_since(start)
        sizes = [received(p) for p in streams]
        live = sum(1 for p in streams if p.poll() is None)
        for p in streams:
            procs.stop(p)
        peak_rss = max(s[0] for s in samples) / 1024
        peak_threads = max(s[1] for s in samples)
        print("browse alone: median %.2f ms, worst %.2f ms (%d answers, %d failed)" %
              (statistics.median(quiet), max(quiet), len(quiet), quiet_failed))
        print("browse beside 20 streams: median %.2f ms, worst %.2f ms (%d answers, %d failed)"
              % (statistics.median(loaded), max(loaded), len(loaded), loaded_failed))
        print("  20 streams: %d still running at the end, %.0f to %.0f KB each after %.0f s" %
              (live, min(sizes) / 1024, max(sizes) / 1024, span + 3))
        print("  server: %.1f ms CPU per second (%.2f ms per stream-second), resident %.1f MB "
              "before, peak %.1f MB, peak %d threads, VmHWM %.1f MB" %
              (used / span, used / span / 20, rss_before, peak_rss, peak_threads,
               status_kb(server.pid, "VmHWM") / 1024))
        print("relay: 1 stream %.1f ms CPU/min, nginx %.1f ms CPU/min, ratio %.2f, %.1f MB peak" %
              (server_ms, nginx_ms, ratio, server_hwm))
        print("relay20: browse median %.2f ms, worst %.2f ms, %.1f ms CPU/s, %.1f MB peak" %
              (statistics.median(loaded), max(loaded), used / span, peak_rss))
        return 0
    finally:
        procs.stop_all()
        shutil.rmtree(temp, ignore_errors=True)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())
