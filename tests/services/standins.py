#!/usr/bin/env python3
"""Stand-ins for the three tracking services, on loopback, for the tests.

Usage: standins.py KIND CONFIG LOG [CERT KEY]
KIND is gpsgate, mologogo or mapfactor. CONFIG is a JSON file, read again for
every connection so a test can change the service's behaviour between passes.
Every request is appended to LOG as one JSON line. Prints the port it listens
on, then serves until killed.

gpsgate (TCP, NMEA-style lines with checksums):
  config: {"account": NAME, "password": SCRAMBLED, "buddies": [{"name", "lat",
  "lon", "step"}], "raw_buddies": TEXT, "users": {NAME: RMC}, "silent_login": bool}
  $FRLIN,,NAME,PW  -> $FRSES,1 (or $FRERR,login refused)
  $FRRDT,_buddies,1 -> one $FRPOS line per buddy (moved on by "step" degrees of
                       latitude at every request), or "raw_buddies" as it is
  $FRRDT,USER,1    -> the user's last RMC: the newest uploaded for the account,
                       else "users"[USER], else nothing
  $FRWDT,ALL       -> the RMC/GGA lines after it are recorded as uploads
mologogo (HTTP/1.0 on one connection per request):
  config: {"account", "password", "pages": {USER: [[H, M, "AM", MON, DAY,
  YEAR, LAT, LON], ...]}, "moving": {USER: {"lat", "lon", "step"}}}
  GET /waypoints/public/USER, GET /friends/private/USER (the latter needs the
  login cookie), POST /account/login
mapfactor (HTTPS with basic authentication):
  config: {"account", "password", "records": {DEVICE: [[Y, M, D, h, m, s,
  LONUNITS, LATUNITS, ALT, SPD], ...]}, "moving": {DEVICE: {...}}}
  GET /gprs/cmd_downHistory.php?vtu=DEVICE&datetime=...
"""
import base64
import json
import socket
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

kind, config_path, log_path = sys.argv[1], sys.argv[2], sys.argv[3]
lock = threading.Lock()
state = {"requests": 0, "uploads": {}, "moves": {}}


def config():
    with open(config_path) as f:
        return json.load(f)


def log(entry):
    with lock:
        with open(log_path, "a") as f:
            f.write(json.dumps(entry) + "\n")


def checksum(sentence):
    x = 0
    for c in sentence[1:]:
        x ^= ord(c)
    return "%s*%02X" % (sentence, x)


def step(name, spec):
    """The how-many-th request for NAME (moving services move on each time)."""
    with lock:
        n = state["moves"].get(name, 0)
        state["moves"][name] = n + 1
    return n


def nmea_angle(value, pos, neg):
    hemi = pos if value >= 0 else neg
    value = abs(value)
    deg = int(value)
    return "%.4f,%s" % (deg * 100 + (value - deg) * 60, hemi)


class GpsGate(socketserver.BaseRequestHandler):
    def handle(self):
        cfg = config()
        conn = self.request
        conn.settimeout(15)
        with lock:
            state["requests"] += 1
            number = state["requests"]
        data = b""
        uploading = False
        while True:
            try:
                part = conn.recv(65536)
            except (socket.timeout, ConnectionError):
                return
            if not part:
                return
            data += part
            while b"\n" in data:
                raw, data = data.split(b"\n", 1)
                line = raw.decode("latin-1").rstrip("\r")
                body, _, given = line.partition("*")
                good = checksum(body) == line
                log({"conn": number, "line": line, "checksum_ok": good})
                if uploading and (body.startswith("$GPRMC") or body.startswith("$GPGGA")):
                    if body.startswith("$GPRMC"):
                        with lock:
                            state["uploads"][cfg["account"]] = line
                    continue
                fields = body.split(",")
                if fields[0] == "$FRLIN":
                    if cfg.get("silent_login"):
                        continue
                    ok = fields[2:4] == [cfg["account"], cfg["password"]]
                    conn.sendall((checksum("$FRSES,1" if ok else "$FRERR,login refused") +
                                  "\r\n").encode())
                    if not ok:
                        return
                elif fields[0] == "$FRRDT" and len(fields) > 1 and fields[1] == "_buddies":
                    conn.sendall(self.buddies(cfg).encode("latin-1"))
                elif fields[0] == "$FRRDT" and len(fields) > 1:
                    with lock:
                        rmc = state["uploads"].get(fields[1]) if fields[1] == cfg["account"] else None
                    rmc = rmc or cfg.get("users", {}).get(fields[1])
                    if rmc:
                        conn.sendall((rmc + "\r\n").encode())
                    else:
                        return
                elif fields[0] == "$FRWDT":
                    uploading = True

    def buddies(self, cfg):
        if "raw_buddies" in cfg:
            return cfg["raw_buddies"]
        out = ""
        now = time.gmtime()
        for b in cfg.get("buddies", []):
            n = step(b["name"], b)
            lat = b["lat"] + n * b.get("step", 0)
            out += checksum("$FRPOS,%s,%s,120.0,12.5,45.0,%s,%s.00,%s" % (
                nmea_angle(lat, "N", "S"), nmea_angle(b["lon"], "E", "W"),
                time.strftime("%d%m%y", now), time.strftime("%H%M%S", now), b["name"])) + "\r\n"
        return out


def read_http(conn):
    data = b""
    conn.settimeout(15)
    while b"\r\n\r\n" not in data:
        part = conn.recv(65536)
        if not part:
            return data.decode("latin-1")
        data += part
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for h in head.split(b"\r\n"):
        if h.lower().startswith(b"content-length:"):
            length = int(h.split(b":")[1])
    while len(body) < length:
        part = conn.recv(65536)
        if not part:
            break
        body += part
    return (head + b"\r\n\r\n" + body).decode("latin-1")


def marker(h, m, ampm, mon, day, year, lat, lon):
    return 'createMarker(point,"%d:%02d %s %d/%d/%d","pin.png","%s","%s","speed 3");\n' % (
        h, m, ampm, mon, day, year, lat, lon)


class Mologogo(socketserver.BaseRequestHandler):
    def handle(self):
        cfg = config()
        try:
            request = read_http(self.request)
        except (socket.timeout, ConnectionError):
            return
        log({"request": request})
        first = request.split("\r\n", 1)[0].split(" ")
        cookie = "Cookie: molosid=s3cr3t"
        if len(first) >= 2 and first[0] == "POST" and first[1] == "/account/login":
            body = request.partition("\r\n\r\n")[2].strip("\r\n")
            form = urllib.parse.parse_qs(body)
            if form.get("user_login") == [cfg["account"]] and \
               form.get("user_password") == [cfg["password"]]:
                reply = ("HTTP/1.1 302 Found\r\nSet-Cookie: molosid=s3cr3t; path=/\r\n"
                         "Location: /\r\nContent-Length: 0\r\n\r\n")
            else:
                reply = "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\nlogin refused"
        elif len(first) >= 2 and first[0] == "GET":
            path = first[1]
            user = urllib.parse.unquote(path.rsplit("/", 1)[-1])
            private = path.startswith("/friends/private/")
            if private and cookie not in request.split("\r\n"):
                page = "<html><body>Please log in.</body></html>"
            else:
                page = "<html><head><script>\n" + self.markers(cfg, user) + "</script></head>"
                if private:
                    page += "<body>Logged in as %s</body>" % cfg["account"]
                page += "</html>"
            reply = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + page
        else:
            reply = "HTTP/1.0 400 Bad Request\r\n\r\n"
        self.request.sendall(reply.encode("latin-1"))

    def markers(self, cfg, user):
        if user in cfg.get("moving", {}):
            mv = cfg["moving"][user]
            n = step(user, mv)
            # A new entry a minute after the last at every request, newest
            # first, counted from 1 March 2009 so any time zone keeps them apart.
            out = ""
            for k in range(n, max(-1, n - 5), -1):
                t = time.gmtime(1235865600 + 60 * k)
                h = t.tm_hour % 12 or 12
                out += marker(h, t.tm_min, "PM" if t.tm_hour >= 12 else "AM", t.tm_mon,
                              t.tm_mday, t.tm_year, "%.5f" % (mv["lat"] + k * mv["step"]),
                              "%.5f" % mv["lon"])
            return out
        return "".join(marker(*m) for m in cfg.get("pages", {}).get(user, []))


def mapfactor_handler(context):
    class MapFactor(socketserver.BaseRequestHandler):
        def handle(self):
            cfg = config()
            try:
                conn = context.wrap_socket(self.request, server_side=True)
                request = read_http(conn)
            except (ssl.SSLError, socket.timeout, ConnectionError, OSError) as e:
                log({"tls_error": str(e)})
                return
            lines = request.split("\r\n")
            log({"request": lines[0], "headers": lines[1:]})
            expected = "Basic " + base64.b64encode(
                ("%s:%s" % (cfg["account"], cfg["password"])).encode()).decode()
            auth = [h for h in lines if h.lower().startswith("authorization:")]
            if not auth or auth[0].split(":", 1)[1].strip() != expected:
                conn.sendall(b"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"gprs\"\r\n"
                             b"Content-Length: 0\r\nConnection: close\r\n\r\n")
                conn.close()
                return
            target = lines[0].split(" ")[1]
            query = urllib.parse.parse_qs(urllib.parse.urlsplit(target).query)
            device = query.get("vtu", [""])[0]
            body = "<html><body>\n" + self.records(cfg, device) + "</body></html>\n"
            conn.sendall(("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n"
                          "Connection: close\r\n\r\n%s" % (len(body), body)).encode("latin-1"))
            conn.close()

        def records(self, cfg, device):
            rows = cfg.get("records", {}).get(device, [])
            if device in cfg.get("moving", {}):
                mv = cfg["moving"][device]
                n = step(device, mv)
                rows = []
                for k in range(max(0, n - 4), n + 1):
                    t = time.gmtime(1235865600 + 10 * k)
                    rows.append([t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                                 int(mv["lon"] * 3600000), int((mv["lat"] + k * mv["step"]) * 3600000),
                                 100, 12])
            return "".join("<tr><td>%04d-%02d-%02d %02d:%02d:%02d;%d;%d;%d;%d;0;0;0</td></tr>\n" %
                           tuple(r) for r in rows)
    return MapFactor


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


if kind == "gpsgate":
    handler = GpsGate
elif kind == "mologogo":
    handler = Mologogo
else:
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(sys.argv[4], sys.argv[5])
    handler = mapfactor_handler(ctx)

server = Server(("127.0.0.1", 0), handler)
print(server.server_address[1], flush=True)
server.serve_forever()
