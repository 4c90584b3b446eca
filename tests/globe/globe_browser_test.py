#!/usr/bin/env python3
"""The browser globe in a real browser: a headless Chromium with software
WebGL loads http://ADDRESS:51233/globe from a running `nivra --headless
--start` demo; the page's own globe entities must show every vehicle that
Nivra serves (the four demo vehicles among them), one of them must move
between two reads, the tracks must be drawn, the camera must follow, and the
offline imagery must load. A screenshot is kept in the artefacts folder.

usage: globe_browser_test.py NIVRA ARTEFACT_DIR"""

import json
import os
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser import Browser, BrowserError  # noqa: E402
from nivra_run import Nivra, clean_up, get  # noqa: E402

# Generous: a loaded two-core machine renders the globe slowly in software.
READY_SECONDS = 60
SHOW_SECONDS = 90
MOVE_SECONDS = 60
TILES_SECONDS = 60
DEMO_NAMES = ["Demo A", "Demo B", "Demo C", "Demo D"]
# All waits together end here, well inside ctest's time-out, so that the test
# says what it waited for instead of being killed.
TOTAL_SECONDS = 240
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

        # What Nivra serves is the truth the page must show.
        status, _, body = get(nivra.address, "/vehicles.json")
        served = json.loads(body)
        expected = {v["key"] for v in served["vehicles"] if v["lat"] is not None}
        names = {v["name"] for v in served["vehicles"]}
        missing = [n for n in DEMO_NAMES if n not in names]
        if status != 200 or missing:
            raise Failure("the demo vehicles %s are not served: %s" % (missing, body[:500]))

        browser = Browser(profile, os.path.join(artefacts, "chromium.log"))
        browser.open(url)
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
        print("globe: %d vehicles shown, %d polls, screenshot in %s"
              % (len(released["vehicles"]), released["polls"], os.path.join(artefacts, "globe.png")))
    finally:
        clean_up(nivra, browser, profile)


def main():
    # ctest's time-out and Ctrl+C end the run through the clean-up.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("FAILED: terminated"))
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    try:
        run(sys.argv[1], sys.argv[2])
    except (Failure, BrowserError) as e:
        print("FAILED: %s" % e)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
