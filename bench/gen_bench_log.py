#!/usr/bin/env python3
"""Writes an NMEA log of 28800 GGA+RMC fixes (eight hours at one fix a second)
of a car wandering over the roads south of San Francisco, for the whole-process
comparison in bench/kml_vs_gpsbabel.sh.

    bench/gen_bench_log.py OUT.nme [FIXES]

Python 3 standard library only; the output is deterministic.
"""

import datetime
import math
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import gen_demo_scripts as demo  # noqa: E402  (shares the sentence formats)


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    fixes = int(sys.argv[2]) if len(sys.argv) > 2 else 28800
    rng = random.Random(28800)
    frame = demo.LocalFrame(37.50, -122.20)
    x = y = 0.0
    heading = 0.0
    speed = 0.0
    target = 12.0
    turn = 0.0
    start = datetime.datetime(2009, 6, 15, 6, 0, 0)
    with open(sys.argv[1], "w", newline="") as out:
        for k in range(fixes):
            # Every so often a new road: another cruising speed and a bend.
            if rng.random() < 0.01:
                target = rng.choice((0.0, 8.0, 12.0, 15.0, 25.0, 30.0))
                turn = rng.uniform(-6.0, 6.0) if target < 20 else rng.uniform(-0.8, 0.8)
            if rng.random() < 0.05:
                turn = 0.0
            step = 1.5 if target > speed else 3.0
            speed = max(0.0, min(target, speed + step) if target > speed else max(target, speed - step))
            if speed > 0.5:
                heading = (heading + turn) % 360.0
            x += speed * math.sin(math.radians(heading))
            y += speed * math.cos(math.radians(heading))
            # stay within some 40 km of the start
            if math.hypot(x, y) > 40000 and rng.random() < 0.05:
                heading = (math.degrees(math.atan2(-x, -y)) + 360.0) % 360.0
            lat, lon = frame.to_latlon(x, y)
            when = start + datetime.timedelta(seconds=k)
            knots = speed / demo.KNOT
            out.write(demo.gga(when, lat, lon, 20.0 + 10 * math.sin(k / 900.0), 9, 0.9, -32.1) + "\r\n")
            out.write(demo.rmc(when, lat, lon, knots, heading, 14.2) + "\r\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
