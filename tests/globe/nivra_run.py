"""The real nivra program, headless with the demo driving, in a directory of
its own with its own settings file and its listeners on a loopback address
of its own; and plain HTTP requests to its network-link port."""

import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import time

LINK_PORT = 51233


def die_with_parent():
    """For a child's preexec_fn: the child gets SIGKILL when this process
    ends, so a test or benchmark killed by its time-out leaves nothing behind."""
    import ctypes

    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def loopback_address():
    # 127.230-249.x.y: apart from the C++ tests' 127.20-219 addresses.
    pid = os.getpid()
    return "127.%d.%d.%d" % (230 + pid % 20, (pid // 20) % 250, random.randint(1, 250))


def request(address, raw, timeout=10.0, port=LINK_PORT):
    """Sends `raw` (bytes) and returns everything the server sent before
    closing; b"" when nothing could be connected."""
    try:
        with socket.create_connection((address, port), timeout=timeout) as s:
            s.sendall(raw)
            parts = []
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                parts.append(chunk)
            return b"".join(parts)
    except OSError:
        return b""


def get(address, target, timeout=10.0):
    """(status, headers dict with lower-case names, body) of a GET."""
    reply = request(address, b"GET " + target.encode() + b" HTTP/1.1\r\nHost: x\r\n\r\n", timeout)
    head, _, body = reply.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    if not lines or not lines[0].startswith("HTTP/1.1 "):
        return 0, {}, reply
    status = int(lines[0].split(" ")[1])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return status, headers, body


class Nivra:
    def __init__(self, program, cpu=None, extra=(), prepare=None):
        """`prepare(dir, env)`, when given, runs before the program starts:
        settings written to the registry file, a history imported."""
        self.dir = tempfile.mkdtemp(prefix="nivra-globe-")
        self.address = loopback_address()
        env = dict(os.environ, NIVRA_REGISTRY=os.path.join(self.dir, "registry.reg"))
        if prepare:
            prepare(self.dir, env)
        command = [program, "--headless", "--start", "--dir", self.dir, "--bind", self.address,
                   "--earth", "none"] + list(extra)
        if cpu is not None:
            command = ["taskset", "-c", str(cpu)] + command
        self.output = open(os.path.join(self.dir, "output.txt"), "wb")
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self.output,
                                        stderr=subprocess.STDOUT, env=env,
                                        preexec_fn=die_with_parent)

    def wait_ready(self, seconds=60):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            status, _, _ = get(self.address, "/vehicles.json", timeout=2)
            if status == 200:
                return True
            time.sleep(0.2)
        return False

    def banner(self):
        with open(os.path.join(self.dir, "output.txt"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.output.close()


def write_settings(path, values):
    """A registry file with these text settings of Nivra's."""
    lines = ["Windows Registry Editor Version 5.00", "", "[Software]", "", "[Software\\Nivra]"]
    for name, value in values.items():
        lines.append('"%s"="%s"' % (name, value.replace("\\", "\\\\").replace('"', '\\"')))
    with open(path, "w", encoding="utf-8") as f:
        f.write("\r\n".join(lines) + "\r\n")


def nmea_sentence(body):
    """`body` (without '$' and checksum) as a whole NMEA sentence."""
    check = 0
    for c in body.encode("ascii"):
        check ^= c
    return "$%s*%02X" % (body, check)


def rmc(utc, lat, lon, knots, course):
    """An RMC sentence of a fix at UTC seconds `utc`."""
    t = time.gmtime(utc)
    def angle(value, width):
        v = abs(value)
        return "%0*d%07.4f" % (width, int(v), (v - int(v)) * 60)
    return nmea_sentence("GPRMC,%02d%02d%02d,A,%s,%s,%s,%s,%.1f,%.1f,%02d%02d%02d,,"
                         % (t.tm_hour, t.tm_min, t.tm_sec, angle(lat, 2), "N" if lat >= 0 else "S",
                            angle(lon, 3), "E" if lon >= 0 else "W", knots, course,
                            t.tm_mday, t.tm_mon, t.tm_year % 100))


def clean_up(nivra, browser=None, profile=None):
    """Ends the browser and nivra and removes their folders."""
    if browser:
        browser.close()
    nivra.stop()
    if profile:
        shutil.rmtree(profile, ignore_errors=True)
    shutil.rmtree(nivra.dir, ignore_errors=True)
