#!/usr/bin/env python3
"""The browser globe in a real browser: a headless Chromium with software
WebGL loads http://ADDRESS:51233/globe from a running `nivra --headless
--start` demo, with one more vehicle whose last fix is ten minutes old; the
page's own globe entities must show every vehicle that Nivra serves (the
four demo vehicles among them), one of them must move between two reads, the
tracks must be drawn, the camera must follow, and the offline imagery must
load. The side list must show every vehicle with the old one's age in red;
a click on a vehicle on the globe must open its details; a click on a row
must fly to that vehicle and follow it; with more than ten vehicles a
search box must filter the list; labels seen from far away must not
overlap; the flat map must render; and no request may leave Nivra's port.
Screenshots are kept in the artefacts folder.

usage: globe_browser_test.py NIVRA ARTEFACT_DIR"""

import json
import os
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser import Browser, BrowserError  # noqa: E402
from nivra_run import Nivra, clean_up, get, request, rmc  # noqa: E402

# Generous: a loaded two-core machine renders the globe slowly in software.
READY_SECONDS = 60
SHOW_SECONDS = 90
MOVE_SECONDS = 60
TILES_SECONDS = 60
DEMO_NAMES = ["Demo A", "Demo B", "Demo C", "Demo D"]
TRACKER_PORT = 51234
STALE_NAME = "Parked"
STALE_AGE = 600  # seconds since the parked vehicle's last fix
RED = "rgb(255, 64, 64)"  # the list's colour for a stale fix
KEEP_REQUESTS = "performance.setResourceTimingBufferSize(100000);"
# All waits together end here, well inside ctest's time-out, so that the test
# says what it waited for instead of being killed.
TOTAL_SECONDS = 420
DEADLINE = time.monotonic() + TOTAL_SECONDS


class Failure(Exception):
    pass


def poll(what, seconds, read, done):
    """Reads until done(value) or the time is up; the last value read."""
    deadline = min(time.monotonic() + seconds, DEADLINE)
    value = None
    while True:
        value = read()
        if done(value):
            return value
        if time.monotonic() > deadline:
            raise Failure("%s: not within %d s; last read: %s" % (what, seconds, json.dumps(value)[:2000]))
        time.sleep(1.0)


def snapshot(browser):
    text = browser.evaluate(
        "(() => { const g = window.nivraGlobe; const s = document.getElementById('status');"
        " if (g && g.snapshot) return JSON.stringify(g.snapshot());"
        " return JSON.stringify({starting: true, status: s ? s.textContent : ''}); })()"
    )
    snap = json.loads(text) if text else {}
    if "CesiumJS could not be loaded" in snap.get("status", ""):
        raise Failure("the page says: " + snap["status"])
    return snap


def positions(snap):
    return {v["key"]: (v["lat"], v["lon"]) for v in snap.get("vehicles", []) if v["lat"] is not None}


def check_list(browser, served):
    """Every served vehicle has its row, with its name and speed; the parked
    one's age is red, the moving ones' is not."""
    want = {v["key"]: v for v in served["vehicles"]}

    def rows_done(s):
        rows = {v["key"]: v["row"] for v in s.get("vehicles", []) if v.get("row")}
        return set(want) <= set(rows) and all(rows[k]["shown"] for k in want)

    snap = poll("every vehicle in the list", SHOW_SECONDS, lambda: snapshot(browser), rows_done)
    rows = {v["key"]: v["row"] for v in snap["vehicles"]}
    for key, v in want.items():
        row = rows[key]
        if row["name"] != v["name"]:
            raise Failure("the row of %s says %r" % (key, row["name"]))
        if v["lat"] is not None and not row["speed"]:
            raise Failure("the row of %s shows no speed: %s" % (key, row))
        red = row["ageColor"] == RED
        if v["name"] == STALE_NAME:
            if not red or not row["age"].endswith("min"):
                raise Failure("the parked vehicle's age is not shown stale: %s" % row)
        elif red:
            raise Failure("%s is moving but its age is red: %s" % (key, row))
    if snap["searchShown"]:
        raise Failure("a search box for %d vehicles" % len(want))


def canvas_point(browser, key):
    """Where the vehicle's arrow is on the page, in CSS pixels (or None)."""
    text = browser.evaluate(
        "(() => { const g = window.nivraGlobe; const e = g.viewer.entities.getById('vehicle:' + %s);"
        " if (!e || !e.show) return 'null';"
        " const p = e.position.getValue(g.viewer.clock.currentTime);"
        " const c = g.viewer.scene.cartesianToCanvasCoordinates(p);"
        " const r = g.viewer.canvas.getBoundingClientRect();"
        " return JSON.stringify(c ? [c.x + r.left, c.y + r.top] : null); })()" % json.dumps(key))
    return json.loads(text)


def check_click_opens_details(browser):
    """A real click on a vehicle's arrow opens its details, and Nivra adds
    its track's length today."""
    snap = snapshot(browser)
    target = next((v for v in snap["vehicles"] if v["name"].startswith("Demo") and v["shown"]), None)
    if target is None:
        raise Failure("no demo vehicle to click: %s" % json.dumps(snap)[:1000])
    key = target["key"]

    def click_and_read():
        at = canvas_point(browser, key)
        if at:
            browser.click(at[0], at[1])
        return snapshot(browser)

    snap = poll("the details of %s after a click on it" % key, SHOW_SECONDS, click_and_read,
                lambda s: s.get("info") and s["info"]["key"] == key)
    snap = poll("the track's length today in the details", SHOW_SECONDS, lambda: snapshot(browser),
                lambda s: s.get("info") and dict(s["info"]["rows"]).get("Track today", "…") != "…")
    rows = dict(snap["info"]["rows"])
    for name in ("Position", "Time", "Speed", "Course", "Altitude", "Source", "Track today"):
        if name not in rows:
            raise Failure("the details lack %s: %s" % (name, rows))
    if rows["Source"] != "demo":
        raise Failure("the demo vehicle's source is %r" % rows["Source"])
    lat, lon = (float(x) for x in rows["Position"].split(","))
    here = {v["key"]: v for v in snap["vehicles"]}[key]
    if abs(lat - here["lat"]) > 0.01 or abs(lon - here["lon"]) > 0.01:
        raise Failure("the details say %s, the globe %s, %s" % (rows["Position"], here["lat"], here["lon"]))
    if not (rows["Track today"].endswith(" m") or rows["Track today"].endswith(" km")):
        raise Failure("the track's length today reads %r" % rows["Track today"])


def row_point(browser, key):
    text = browser.evaluate(
        "(() => { for (const li of document.querySelectorAll('#list li')) {"
        " if (li.dataset.key === %s) { const r = li.getBoundingClientRect();"
        " return JSON.stringify([r.left + r.width / 2, r.top + r.height / 2]); } } return 'null'; })()"
        % json.dumps(key))
    return json.loads(text)


def check_row_click_follows(browser, artefacts):
    """A click on a row flies to that vehicle and follows it; a screenshot of
    the list and the details is kept."""
    snap = snapshot(browser)
    target = next(v for v in snap["vehicles"] if v["name"] == STALE_NAME)
    at = row_point(browser, target["key"])
    if not at:
        raise Failure("no row for %s" % target["key"])
    browser.click(at[0], at[1])
    snap = poll("following %s after a click on its row" % STALE_NAME, SHOW_SECONDS,
                lambda: snapshot(browser),
                lambda s: s.get("following") and s.get("followed") == target["key"]
                and s.get("info") and s["info"]["key"] == target["key"])
    poll("the imagery around %s loaded" % STALE_NAME, TILES_SECONDS, lambda: snapshot(browser),
         lambda s: s.get("tilesLoaded"))
    time.sleep(2)
    browser.screenshot(os.path.join(artefacts, "globe-list.png"))


def check_search(browser, address):
    """More than ten vehicles get a search box, and it filters the list."""
    for i in range(5):
        line = "Van %d@van%d:%s\r\n" % (i, i, rmc(time.time(), 37.79 + i * 0.001, -122.42, 5.0, 0.0))
        request(address, line.encode(), port=TRACKER_PORT)
    poll("the search box with more than ten vehicles", SHOW_SECONDS, lambda: snapshot(browser),
         lambda s: len(s["vehicles"]) > 10 and s["searchShown"])
    browser.evaluate("(() => { const b = document.getElementById('search'); b.value = 'parK';"
                     " b.dispatchEvent(new Event('input')); return true; })()")
    snap = snapshot(browser)
    shown = sorted(v["name"] for v in snap["vehicles"] if v["row"] and v["row"]["shown"])
    if shown != [STALE_NAME]:
        raise Failure("searching 'parK' leaves %s in the list" % shown)
    browser.evaluate("(() => { const b = document.getElementById('search'); b.value = '';"
                     " b.dispatchEvent(new Event('input')); return true; })()")
    snap = snapshot(browser)
    if sum(1 for v in snap["vehicles"] if v["row"] and v["row"]["shown"]) != len(snap["vehicles"]):
        raise Failure("an empty search does not show every vehicle again")


def overlaps(a, b):
    return not (a["x"] + a["w"] <= b["x"] or b["x"] + b["w"] <= a["x"]
                or a["y"] + a["h"] <= b["y"] or b["y"] + b["h"] <= a["y"])


def check_labels_apart(browser, artefacts):
    """From 3000 km the vehicles are pixels apart: their labels would cover
    each other; the page shows some and hides the rest, none overlapping."""
    browser.evaluate("window.nivraGlobe.overview(3000000), true")

    def settled(s):
        shown = [v for v in s["vehicles"] if v["shown"]]
        return not s.get("following") and shown and all(
            (v["labelBox"] is not None) == v["labelShown"] for v in shown)

    snap = poll("labels placed from far away", SHOW_SECONDS, lambda: snapshot(browser), settled)
    boxes = [v["labelBox"] for v in snap["vehicles"] if v["shown"] and v["labelShown"]]
    hidden = [v["key"] for v in snap["vehicles"] if v["shown"] and not v["labelShown"]]
    if not boxes:
        raise Failure("no label shown at all")
    if not hidden:
        raise Failure("every label is shown from 3000 km: %s" % boxes)
    for i, a in enumerate(boxes):
        for b in boxes[i + 1:]:
            if overlaps(a, b):
                raise Failure("labels overlap: %s and %s" % (a, b))


def check_flat_map(browser, artefacts):
    """The flat map renders with its imagery and the vehicles on it."""
    browser.evaluate("window.nivraGlobe.setSceneMode('2d'), window.nivraGlobe.overview(), true")
    snap = poll("the flat map with its imagery", TILES_SECONDS, lambda: snapshot(browser),
                lambda s: s.get("sceneMode") == "2d" and s.get("tilesLoaded"))
    if not any(v["shown"] and v["lat"] is not None for v in snap["vehicles"]):
        raise Failure("no vehicle on the flat map")
    time.sleep(2)
    browser.screenshot(os.path.join(artefacts, "globe-2d.png"))
    browser.evaluate("window.nivraGlobe.setSceneMode('3d'), true")
    poll("back to the globe", TILES_SECONDS, lambda: snapshot(browser), lambda s: s.get("sceneMode") == "3d")


def check_requests_stay_home(browser, address):
    """Without a tile server set, nothing but Nivra's port is asked."""
    text = browser.evaluate(
        "JSON.stringify(performance.getEntriesByType('resource').map((e) => e.name))")
    names = json.loads(text)
    home = "http://%s:51233/" % address
    outside = [n for n in names if not n.startswith(home) and not n.startswith("data:")
               and not n.startswith("blob:")]
    if outside:
        raise Failure("the page asked outside Nivra: %s" % outside[:10])
    snap = snapshot(browser)
    if snap["layerChoices"] != ["offline"]:
        raise Failure("map choices without a tile server: %s" % snap["layerChoices"])


def run(nivra_program, artefacts):
    os.makedirs(artefacts, exist_ok=True)
    nivra = Nivra(nivra_program)
    profile = tempfile.mkdtemp(prefix="nivra-chromium-")
    browser = None
    try:
        if not nivra.wait_ready(READY_SECONDS):
            raise Failure("nivra did not answer /vehicles.json:\n" + nivra.banner())
        url = "http://%s:51233/globe" % nivra.address
        deadline = time.monotonic() + READY_SECONDS
        while url not in nivra.banner() and time.monotonic() < deadline:
            time.sleep(0.2)
        if url not in nivra.banner():
            raise Failure("the banner does not name the globe's address %s:\n%s" % (url, nivra.banner()))

        # A tracker that last reported ten minutes ago, a little apart from the demo.
        line = "%s@parked1:%s\r\n" % (STALE_NAME, rmc(time.time() - STALE_AGE, 37.80, -122.41, 0.0, 0.0))
        request(nivra.address, line.encode(), port=TRACKER_PORT)
        served = poll("the parked vehicle served", READY_SECONDS,
                      lambda: json.loads(get(nivra.address, "/vehicles.json")[2] or b"{}"),
                      lambda d: any(v["name"] == STALE_NAME and v["lat"] is not None
                                    for v in d.get("vehicles", [])))
        parked = [v for v in served["vehicles"] if v["name"] == STALE_NAME][0]
        if not (parked["age"] is not None and STALE_AGE - 60 <= parked["age"] <= STALE_AGE + 120):
            raise Failure("the parked vehicle's age is %r, not about %d s" % (parked["age"], STALE_AGE))

        # What Nivra serves is the truth the page must show.
        status, _, body = get(nivra.address, "/vehicles.json")
        served = json.loads(body)
        expected = {v["key"] for v in served["vehicles"] if v["lat"] is not None}
        names = {v["name"] for v in served["vehicles"]}
        missing = [n for n in DEMO_NAMES if n not in names]
        if status != 200 or missing:
            raise Failure("the demo vehicles %s are not served: %s" % (missing, body[:500]))

        browser = Browser(profile, os.path.join(artefacts, "chromium.log"))
        # Every request the page makes is kept for the last check.
        browser.open(url, before_page=KEEP_REQUESTS)
        first = poll(
            "every vehicle on the globe",
            SHOW_SECONDS,
            lambda: snapshot(browser),
            lambda s: expected <= set(positions(s)),
        )
        labels = {v["key"]: v["label"] for v in first["vehicles"]}
        for v in served["vehicles"]:
            if v["name"] not in (labels.get(v["key"]) or ""):
                raise Failure("%s's label %r lacks its name" % (v["key"], labels.get(v["key"])))

        before = positions(first)
        moved = poll(
            "a vehicle moving on the globe",
            MOVE_SECONDS,
            lambda: snapshot(browser),
            lambda s: any(
                key in before
                and (abs(lat - before[key][0]) > 1e-6 or abs(lon - before[key][1]) > 1e-6)
                for key, (lat, lon) in positions(s).items()
            ),
        )
        if not any(v["trackPoints"] >= 2 for v in moved["vehicles"]):
            raise Failure("no track is drawn: %s" % json.dumps(moved))
        if not moved["following"]:
            raise Failure("the camera does not follow the selected vehicle")
        poll("the offline imagery loaded", TILES_SECONDS, lambda: snapshot(browser),
             lambda s: s.get("tilesLoaded"))
        # Let the last tiles draw before the picture is taken.
        time.sleep(2)
        browser.screenshot(os.path.join(artefacts, "globe.png"))

        # The user takes the camera: the page stops following and shows
        # every vehicle at once.
        browser.evaluate("window.nivraGlobe.overview(), true")
        released = poll("the camera released", SHOW_SECONDS, lambda: snapshot(browser),
                        lambda s: not s.get("following"))
        poll("the overview's imagery loaded", TILES_SECONDS, lambda: snapshot(browser),
             lambda s: s.get("tilesLoaded"))
        time.sleep(2)
        if snapshot(browser).get("following"):
            raise Failure("the page took the camera back after the user took it")
        browser.screenshot(os.path.join(artefacts, "globe-overview.png"))
        check_list(browser, served)
        check_click_opens_details(browser)
        check_row_click_follows(browser, artefacts)
        check_search(browser, nivra.address)
        check_labels_apart(browser, artefacts)
        check_flat_map(browser, artefacts)
        check_requests_stay_home(browser, nivra.address)
        print("globe: %d vehicles shown, %d polls, screenshot in %s"
              % (len(released["vehicles"]), released["polls"], os.path.join(artefacts, "globe.png")))
    finally:
        clean_up(nivra, browser, profile)


def main(test=run, usage=__doc__):
    """Runs `test(NIVRA, ARTEFACT_DIR)` from the command line; 0 when it passed."""
    # ctest's time-out and Ctrl+C end the run through the clean-up.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("FAILED: terminated"))
    if len(sys.argv) != 3:
        print(usage)
        return 2
    try:
        test(sys.argv[1], sys.argv[2])
    except (Failure, BrowserError) as e:
        print("FAILED: %s" % e)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
