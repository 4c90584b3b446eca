#!/usr/bin/env python3
"""Whole-process benchmark: is Google Earth's poll still answered within
100 ms while strangers attack the program?

Starts `nivra --headless` with a fleet of device vehicles stored as an
earlier run would have left them (a network-link document of about 9 MB),
then measures the latency of Google Earth's poll (GET /NivraServers with the
view appended, flying to the view each whole reply carries, as Google Earth
does) with no attack, under each attack alone, and under all of them at once:

  flood      tracker lines from one address as fast as it can send them
  nonreaders 128 clients on 8 addresses that ask for the document, never read
  cesium     the same for CesiumJS's 6 MB Cesium.js (when it is installed)
  resets     connect, send a byte, reset, on the tracker port

Prints the median, 90th percentile and largest poll time of each, how many
polls got the whole document (the others the small unchanged reply), the
program's resident memory, and fails when a median is 100 ms or more.

usage: bench/attack_poll.py build/nivra [--polls N] [--vehicles N]"""

import argparse
import os
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "globe"))
from nivra_run import die_with_parent, loopback_address, request  # noqa: E402

LINK_PORT = 51233
TRACKER_PORT = 51234
POLL = ("GET /NivraServers?&LOOKAT=%s HTTP/1.1\r\n"
        "Host: 127.0.0.1:51233\r\nAccept: */*\r\n\r\n")
CESIUM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".deps", "npm",
                      "node_modules", "cesium", "Build", "Cesium", "Cesium.js")
CAPACITY = 28800


def track_file(path, points, lat0):
    """A track file of `points` points (the .trk layout, little-endian)."""
    t0 = int(time.time()) - points - 600
    slots = bytearray(56 * CAPACITY)
    for i in range(points):
        lat = lat0 + i * 0.00004
        lon = 10 + (i % 50) * 0.00003
        coords = b"%.5f,%.5f,%.1f\n" % (lon, lat, 0.0)
        struct.pack_into("<32s6i", slots, 56 * i, coords, int(lat * 100000), int(lon * 100000),
                         0, 230, t0 + i, i % 360)
    with open(path, "wb") as f:
        f.write(b"Version:" + struct.pack("<5i", 179, CAPACITY, points - 1, points, points))
        f.write(slots)


def prepare(directory, vehicles):
    keys = ""
    for v in range(vehicles):
        key = "Big%d@fleet" % v
        track_file(os.path.join(directory, key + ".trk"), CAPACITY, 30 + v)
        keys += ('\r\n[Software\\Nivra\\servers%d]\r\n"name"="%s"\r\n"uName"="Big%d"\r\n'
                 '"host"="fleet"\r\n"remoteType"=dword:00000002\r\n"maxPts"=dword:00007080\r\n'
                 % (v, key, v))
    with open(os.path.join(directory, "registry.reg"), "w", newline="") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n[Software]\r\n\r\n"
                "[Software\\Nivra]\r\n\"DemoMode\"=dword:00000000\r\n"
                "\"AutoStartGE\"=dword:00000000\r\n" + keys)


def resident_mb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) // 1024
    except OSError:
        pass
    return 0


def connect(address, port, source=None, rcvbuf=None):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    if source:
        s.bind((source, 0))
    s.connect((address, port))
    return s


class Attack(threading.Thread):
    def __init__(self, address):
        super().__init__(daemon=True)
        self.address = address
        self.stop = threading.Event()
        self.sources = ["127.0.%d.%d" % (200 + os.getpid() % 50, n) for n in range(1, 9)]


def rmc(n):
    """A valid RMC sentence of today, n seconds after midnight."""
    day = time.strftime("%d%m%y", time.gmtime())
    body = "GPRMC,%02d%02d%02d,A,4807.%03d,N,01131.000,E,010.0,090.0,%s,," % (
        n // 3600 % 24, n // 60 % 60, n % 60, n % 1000, day)
    check = 0
    for c in body:
        check ^= ord(c)
    return ("$%s*%02X\r\n" % (body, check)).encode()


class Flood(Attack):
    def run(self):
        # Each post newer than the one before, so whatever gets through adds
        # points (and makes Google Earth's polls whole documents).
        base = int(time.time()) % 86400 - 3600
        while not self.stop.is_set():
            lines = b"".join(b"Flood@%d:" % (n % 500) + rmc(base + n // 500) for n in range(400))
            base += 1
            try:
                s = connect(self.address, TRACKER_PORT, self.sources[0])
                s.sendall(lines)
                s.shutdown(socket.SHUT_WR)
                s.close()
            except OSError:
                time.sleep(0.001)


class NonReaders(Attack):
    def __init__(self, address, target):
        super().__init__(address)
        self.target = target

    def run(self):
        held = []
        request_text = b"GET " + self.target + b" HTTP/1.1\r\nHost: x\r\n\r\n"
        while not self.stop.is_set():
            # Keep 16 open from each address: the listener drops them in time.
            held = [s for s in held if s.fileno() >= 0]
            for source in self.sources:
                mine = sum(1 for s in held if s.getsockname()[0] == source)
                for _ in range(16 - mine):
                    try:
                        s = connect(self.address, LINK_PORT, source, rcvbuf=1)
                        s.sendall(request_text)
                        held.append(s)
                    except OSError:
                        break
            self.stop.wait(0.5)
            for s in held[:]:
                try:
                    s.setblocking(False)
                    if s.recv(1, socket.MSG_PEEK) == b"":
                        s.close()
                        held.remove(s)
                except BlockingIOError:
                    pass
                except OSError:
                    s.close()
                    held.remove(s)
        for s in held:
            s.close()


class Resets(Attack):
    def run(self):
        while not self.stop.is_set():
            try:
                s = connect(self.address, TRACKER_PORT, self.sources[1])
                s.send(b"x")
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.close()
            except OSError:
                time.sleep(0.001)


class Earth:
    """Google Earth as the program sees it: it polls with its view appended
    and flies to the view a full reply carries, so that its next poll reports
    that view (and gets the small unchanged reply while nothing is new)."""

    def __init__(self):
        self.view = "8,47,3000,45,0"

    def poll(self, address):
        reply = request(address, (POLL % self.view).encode())
        at = reply.find(b"<LookAt>")
        if at >= 0:
            def field(name):
                start = reply.find(b"<%s>" % name, at) + len(name) + 2
                return reply[start:reply.find(b"<", start)].decode()
            self.view = ",".join(field(n) for n in (b"longitude", b"latitude", b"range", b"tilt",
                                                     b"heading"))
        return reply


def measure(address, count):
    """Median, 90th percentile and largest time of `count` polls 100 ms
    apart, in ms, and how many of them got a whole document."""
    earth = Earth()
    earth.poll(address)
    times = []
    full = 0
    for _ in range(count):
        start = time.perf_counter()
        reply = earth.poll(address)
        took = (time.perf_counter() - start) * 1000
        if b"<kml" not in reply:
            times.append(float("inf"))
        else:
            times.append(took)
        full += reply.startswith(b"HTTP/1.1 200")
        time.sleep(0.1)
    times.sort()
    return statistics.median(times), times[int(len(times) * 0.9)], times[-1], full


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program")
    parser.add_argument("--polls", type=int, default=40)
    parser.add_argument("--vehicles", type=int, default=12)
    args = parser.parse_args()

    directory = tempfile.mkdtemp(prefix="nivra-attack-")
    prepare(directory, args.vehicles)
    address = loopback_address()
    env = dict(os.environ, NIVRA_REGISTRY=os.path.join(directory, "registry.reg"))
    output = open(os.path.join(directory, "output.txt"), "wb")
    process = subprocess.Popen([args.program, "--headless", "--dir", directory, "--bind", address,
                                "--earth", "gepro"], stdin=subprocess.DEVNULL, stdout=output,
                               stderr=subprocess.STDOUT, env=env, preexec_fn=die_with_parent)
    failed = False
    try:
        deadline = time.monotonic() + 60
        while not request(address, b"GET / HTTP/1.1\r\n\r\n", timeout=30).startswith(b"HTTP"):
            if time.monotonic() > deadline or process.poll() is not None:
                raise SystemExit("nivra did not start")
            time.sleep(0.2)
        document = len(request(address, b"GET / HTTP/1.1\r\n\r\n", timeout=30))
        print("document: %.1f MB; %d polls each, 100 ms apart" % (document / 1e6, args.polls))
        print("%-22s %7s %7s %7s %6s %7s" % ("attack", "median", "p90", "max", "whole", "RSS MB"))
        rows = [("none", []), ("flood", [Flood]), ("nonreaders /", ["/"]),
                ("resets", [Resets])]
        if os.path.exists(CESIUM):
            rows.insert(3, ("nonreaders Cesium.js", ["/globe/cesium/Cesium.js"]))
        rows.append(("all at once", [Flood, "/", Resets] +
                     (["/globe/cesium/Cesium.js"] if os.path.exists(CESIUM) else [])))
        for name, kinds in rows:
            attacks = [NonReaders(address, k.encode()) if isinstance(k, str) else k(address)
                       for k in kinds]
            for a in attacks:
                a.start()
            time.sleep(1.0 if attacks else 0)
            median, p90, largest, full = measure(address, args.polls)
            rss = resident_mb(process.pid)
            for a in attacks:
                a.stop.set()
            for a in attacks:
                a.join()
            print("%-22s %7.1f %7.1f %7.1f %6d %7d" % (name, median, p90, largest, full, rss))
            failed = failed or median >= 100
            time.sleep(1.0)
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
        output.close()
        shutil.rmtree(directory, ignore_errors=True)
    if failed:
        print("FAILED: a median of 100 ms or more")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
