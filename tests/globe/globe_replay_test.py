#!/usr/bin/env python3
"""The globe's replay, tile layer and share-link key in a real browser.

Before Nivra starts, a known drive is imported into its history and its
settings name a stand-in tile server (loopback, one-colour PNG tiles). The
page, opened as /globe/?key=...:
- asks the tile server nothing while the offline map is chosen, then draws
  its tiles (their colour on the screen, its credit shown) once picked;
- replays the drive: at the time of a known point the replayed vehicle is at
  that point, between two points between them; "Live" returns to now;
- offers the GPX of what it shows, and that download has the drive's points;
- sends the key with every request it makes to Nivra.
Screenshots are kept in the artefacts folder.

usage: globe_replay_test.py NIVRA ARTEFACT_DIR"""

import http.server
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser import Browser  # noqa: E402
from globe_browser_test import Failure, main, poll, snapshot  # noqa: E402
from nivra_run import Nivra, clean_up, get, rmc, write_settings  # noqa: E402
from pictures import share_of_colour, solid_png  # noqa: E402

READY_SECONDS = 60
WAIT_SECONDS = 90
VEHICLE = "Courier@replay"
SHARE_KEY = "Sh4reK3y-test_0123456789"
TILE_COLOUR = (255, 0, 255)
# Markup in the credit is the user's text, shown as such.
ATTRIBUTION = "Stand-in tiles <b id=\"injected\">for the test</b>"
# The drive: a zigzag (north, east, north, ...) of 0.0005 degrees a leg, a
# point every 10 s, starting two hours ago so it is today's or yesterday's
# whatever the zone, and well inside the history's days.
LEGS = 24
STEP = 10
START = int(time.time()) // 10 * 10 - 7200


def drive():
    points = []
    lat, lon = 37.7000, -122.5000
    for i in range(LEGS + 1):
        points.append((START + i * STEP, round(lat, 5), round(lon, 5)))
        if i % 2 == 0:
            lat += 0.0005
        else:
            lon += 0.0005
    return points


class TileServer:
    """Serves the same PNG for every /Z/X/Y.png and counts the requests."""

    def __init__(self, address):
        png = solid_png(TILE_COLOUR)
        server = self
        self.requests = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                server.requests.append(self.path)
                self.send_response(200)
                self.send_header("Content-Type", "image/png")
                self.send_header("Content-Length", str(len(png)))
                self.send_header("Access-Control-Allow-Origin", "*")
                self.end_headers()
                self.wfile.write(png)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer((address, 0), Handler)
        self.url = "http://%s:%d/tiles/{z}/{x}/{y}.png" % (address, self.httpd.server_address[1])
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def prepare(program, tiles, points):
    def run(folder, env):
        write_settings(env["NIVRA_REGISTRY"],
                       {"GlobeTiles": tiles.url, "GlobeTilesAttribution": ATTRIBUTION})
        log = os.path.join(folder, "drive.nme")
        with open(log, "w") as f:
            previous = None
            for utc, lat, lon in points:
                course = 0.0 if previous is None or lat != previous[0] else 90.0
                f.write(rmc(utc, lat, lon, 10.8, course) + "\r\n")
                previous = (lat, lon)
        done = subprocess.run([program, "--dir", folder, "--import", "--vehicle", VEHICLE, log],
                              env=env, capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            raise Failure("the import failed (%d): %s%s" % (done.returncode, done.stdout, done.stderr))
    return run


# Keeps every address the page fetches from now on (the browser's own list
# of requests may stop at 250 entries).
RECORD_FETCHES = (
    "(() => { performance.setResourceTimingBufferSize(100000);"
    " if (!window.asked) { window.asked = []; const f = window.fetch;"
    " window.fetch = function (u) { window.asked.push(String(u instanceof Request ? u.url : u));"
    " return f.apply(this, arguments); }; } return true; })()")


def requests_made(browser):
    return json.loads(browser.evaluate(
        "JSON.stringify(performance.getEntriesByType('resource').map((e) => e.name)"
        ".concat(window.asked || []))"))


def check_tiles(browser, tiles, artefacts):
    """Nothing asked of the tile server until its layer is picked; then its
    tiles are drawn and its credit shown."""
    snap = poll("the page started", WAIT_SECONDS, lambda: snapshot(browser),
                lambda s: s.get("polls", 0) > 2 and s.get("tilesLoaded"))
    if "tiles" not in snap["layerChoices"]:
        raise Failure("the tile server is not offered: %s" % snap["layerChoices"])
    if tiles.requests:
        raise Failure("the tile server was asked before it was picked: %s" % tiles.requests[:5])
    before = browser.screenshot(os.path.join(artefacts, "replay-offline.png"))
    if share_of_colour(before, TILE_COLOUR) > 0.01:
        raise Failure("the tiles' colour is on the screen before they were picked")
    browser.evaluate("window.nivraGlobe.showLayer('tiles'), window.nivraGlobe.overview(), true")
    snap = poll("the tile layer drawn", WAIT_SECONDS, lambda: snapshot(browser),
                lambda s: s.get("layers") == 2 and s.get("tilesLoaded") and tiles.requests)
    if ATTRIBUTION not in snap["credits"]:
        raise Failure("the tiles' credit is not shown as its text: %r" % snap["credits"])
    if browser.evaluate("document.getElementById('injected') !== null"):
        raise Failure("the credit's markup became part of the page")
    time.sleep(2)
    after = browser.screenshot(os.path.join(artefacts, "replay-tiles.png"))
    share = share_of_colour(after, TILE_COLOUR)
    if share < 0.3:
        raise Failure("the tiles cover %.0f%% of the screen" % (share * 100))
    browser.evaluate("window.nivraGlobe.showLayer('offline'), true")
    poll("the tile layer gone", WAIT_SECONDS, lambda: snapshot(browser), lambda s: s.get("layers") == 1)


def check_replay(browser, nivra, points, artefacts):
    result = json.loads(browser.evaluate(
        "window.nivraGlobe.replay(%s, %d, %d).then((r) => JSON.stringify(r))"
        % (json.dumps(VEHICLE), START - 60, START + LEGS * STEP + 60), timeout=120))
    # The history's own answer is what the page must show.
    status, _, body = get(nivra.address, "/history.json?vehicle=%s&from=%d&to=%d"
                          % (urllib.parse.quote(VEHICLE), START - 60, START + LEGS * STEP + 60))
    kept = json.loads(body)["points"] if status == 200 else []
    if len(kept) < LEGS // 2:
        raise Failure("the history kept %d of the drive's %d points" % (len(kept), len(points)))
    if result["points"] != len(kept) or result["first"] != kept[0][0]:
        raise Failure("the page replays %s, the history has %d points from %d"
                      % (result, len(kept), kept[0][0]))
    known = {utc: (lat, lon) for utc, lat, lon in points}
    checked = 0
    for utc, lat, lon in [(p[0], p[1], p[2]) for p in kept[1:-1]]:
        if utc not in known:
            continue
        if abs(known[utc][0] - lat) > 2e-5 or abs(known[utc][1] - lon) > 2e-5:
            raise Failure("the history has %s at %d, the drive %s" % ((lat, lon), utc, known[utc]))
        at = json.loads(browser.evaluate("JSON.stringify(window.nivraGlobe.replayAt(%d))" % utc))
        if not at or abs(at["lat"] - lat) > 2e-5 or abs(at["lon"] - lon) > 2e-5:
            raise Failure("at %d the replay shows %s, the drive was at %s" % (utc, at, (lat, lon)))
        checked += 1
    if checked < 3:
        raise Failure("only %d known points to check" % checked)
    # Half-way between two kept points the vehicle is between them.
    (t1, a1, o1), (t2, a2, o2) = kept[3][:3], kept[4][:3]
    mid = json.loads(browser.evaluate("JSON.stringify(window.nivraGlobe.replayAt(%d))" % ((t1 + t2) // 2)))
    if not (min(a1, a2) - 1e-5 <= mid["lat"] <= max(a1, a2) + 1e-5
            and min(o1, o2) - 1e-5 <= mid["lon"] <= max(o1, o2) + 1e-5):
        raise Failure("between %s and %s the replay shows %s" % ((a1, o1), (a2, o2), mid))
    snap = snapshot(browser)
    if snap["replay"] is None or any(v["shown"] for v in snap["vehicles"]):
        raise Failure("the replay does not replace the live vehicles: %s" % json.dumps(snap)[:1000])

    # The GPX of what is shown: the same vehicle and span, with the key.
    href = browser.evaluate("document.getElementById('replayGpx').href")
    query = urllib.parse.parse_qs(urllib.parse.urlparse(href).query)
    if query.get("vehicle") != [VEHICLE] or query.get("key") != [SHARE_KEY]:
        raise Failure("the GPX link is %s" % href)
    status, _, gpx = get(nivra.address, urllib.parse.urlparse(href).path + "?" + urllib.parse.urlparse(href).query)
    if status != 200 or gpx.count(b"<trkpt") != len(kept):
        raise Failure("the GPX download (%d) has %d points, not %d" % (status, gpx.count(b"<trkpt"), len(kept)))

    browser.evaluate("document.getElementById('replayBox').open = true,"
                     " window.nivraGlobe.replayAt(%d), true" % kept[len(kept) * 2 // 3][0])
    poll("the replay's imagery loaded", WAIT_SECONDS, lambda: snapshot(browser), lambda s: s.get("tilesLoaded"))
    time.sleep(2)
    browser.screenshot(os.path.join(artefacts, "globe-replay.png"))

    browser.evaluate("window.nivraGlobe.live(), true")
    poll("live again", WAIT_SECONDS, lambda: snapshot(browser),
         lambda s: s["replay"] is None and any(v["shown"] for v in s["vehicles"]))


def check_key_everywhere(browser):
    home = [n for n in requests_made(browser)
            if any(p in n for p in ("/vehicles.json", "/history.json", "/export.gpx", "/globe.json"))]
    kinds = {p for p in ("/vehicles.json", "/history.json", "/globe.json") if any(p in n for n in home)}
    if len(kinds) != 3:
        raise Failure("the page's requests lack some kinds: %s" % sorted(kinds))
    without = [n for n in home if urllib.parse.parse_qs(urllib.parse.urlparse(n).query).get("key") != [SHARE_KEY]]
    if without:
        raise Failure("requests without the share key: %s" % without[:5])


def run(nivra_program, artefacts):
    os.makedirs(artefacts, exist_ok=True)
    points = drive()
    tiles = TileServer("127.0.0.1")
    nivra = Nivra(nivra_program, prepare=prepare(nivra_program, tiles, points))
    profile = tempfile.mkdtemp(prefix="nivra-chromium-")
    browser = None
    try:
        if not nivra.wait_ready(READY_SECONDS):
            raise Failure("nivra did not answer /vehicles.json:\n" + nivra.banner())
        browser = Browser(profile, os.path.join(artefacts, "chromium-replay.log"))
        browser.open("http://%s:51233/globe/?key=%s" % (nivra.address, SHARE_KEY),
                     before_page="performance.setResourceTimingBufferSize(100000);")
        poll("the page loaded", WAIT_SECONDS,
             lambda: browser.evaluate("location.pathname + ' ' + document.readyState"),
             lambda v: v == "/globe/ complete")
        browser.evaluate(RECORD_FETCHES)
        check_tiles(browser, tiles, artefacts)
        check_replay(browser, nivra, points, artefacts)
        check_key_everywhere(browser)
        print("replay: %d tile requests, screenshots in %s" % (len(tiles.requests), artefacts))
    finally:
        clean_up(nivra, browser, profile)
        tiles.stop()


if __name__ == "__main__":
    sys.exit(main(run, __doc__))
