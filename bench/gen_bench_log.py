#!/usr/bin/env python3
"""Writes the NMEA logs of the whole-process comparison in
bench/kml_vs_gpsbabel.sh: eight hours of a car wandering over the roads south
of San Francisco, logged in one of five ways.

    bench/gen_bench_log.py OUT.nme [FIXES] [--kind KIND]

    drive     GGA+RMC once a second (the default; FIXES fixes, default 28800)
    rmc       RMC only, once a second
    receiver  once a second GGA, GSA, three GSV, RMC and VTG, in the order a
              consumer receiver writes them
    10hz      GGA+RMC ten times a second over the same eight hours (FIXES is
              still counted in seconds), times with hundredths
    gap       GGA+RMC once a second, with the receiver off for two hours in
              the middle of the trip (the car drives on meanwhile)

Python 3 standard library only; the output is deterministic.
"""

import argparse
import datetime
import math
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import gen_demo_scripts as demo  # noqa: E402  (shares the sentence formats)

START = datetime.datetime(2009, 6, 15, 6, 0, 0)
GAP_SECONDS = 2 * 3600


def drive(seconds, per_second):
    """Yields (when, lat, lon, alt, knots, heading) `per_second` times a
    second for `seconds` seconds. The road decisions are taken once a second
    from one seeded generator, so every rate drives the same trip."""
    rng = random.Random(28800)
    frame = demo.LocalFrame(37.50, -122.20)
    x = y = 0.0
    heading = 0.0
    speed = 0.0
    target = 12.0
    turn = 0.0
    dt = 1.0 / per_second
    for k in range(seconds):
        # Every so often a new road: another cruising speed and a bend.
        if rng.random() < 0.01:
            target = rng.choice((0.0, 8.0, 12.0, 15.0, 25.0, 30.0))
            turn = rng.uniform(-6.0, 6.0) if target < 20 else rng.uniform(-0.8, 0.8)
        if rng.random() < 0.05:
            turn = 0.0
        for sub in range(per_second):
            step = (1.5 if target > speed else 3.0) * dt
            speed = max(0.0, min(target, speed + step) if target > speed else max(target, speed - step))
            if speed > 0.5:
                heading = (heading + turn * dt) % 360.0
            x += speed * dt * math.sin(math.radians(heading))
            y += speed * dt * math.cos(math.radians(heading))
            # stay within some 40 km of the start
            if sub == 0 and math.hypot(x, y) > 40000 and rng.random() < 0.05:
                heading = (math.degrees(math.atan2(-x, -y)) + 360.0) % 360.0
            lat, lon = frame.to_latlon(x, y)
            when = START + datetime.timedelta(seconds=k, milliseconds=sub * 1000 // per_second)
            yield when, lat, lon, 20.0 + 10 * math.sin(k / 900.0), speed / demo.KNOT, heading


def angle(value, width, pos, neg):
    return demo.nmea_angle(value, width, pos, neg)


def hundredths(when):
    return "%s.%02d" % (when.strftime("%H%M%S"), when.microsecond // 10000)


def rmc_10hz(when, lat, lon, knots, course):
    return demo.checksum("$GPRMC,%s,A,%s,%s,%05.1f,%05.1f,%s,014.2,E" % (
        hundredths(when), angle(lat, 2, "N", "S"), angle(lon, 3, "E", "W"), knots, course,
        when.strftime("%d%m%y")))


def gga_10hz(when, lat, lon, alt):
    return demo.checksum("$GPGGA,%s,%s,%s,1,09,0.9,%.1f,M,-32.1,M,," % (
        hundredths(when), angle(lat, 2, "N", "S"), angle(lon, 3, "E", "W"), alt))


class Sky:
    """Twelve satellites drifting slowly over the sky, nine of them used."""

    def __init__(self):
        self.rng = random.Random(12)
        self.sats = [[prn, self.rng.uniform(5, 85), self.rng.uniform(0, 359),
                      self.rng.uniform(20, 45)] for prn in (2, 5, 7, 9, 12, 15, 17, 19, 21, 24, 26, 29)]

    def step(self):
        for s in self.sats:
            s[1] = min(89.0, max(1.0, s[1] + self.rng.uniform(-0.05, 0.05)))
            s[2] = (s[2] + 0.004) % 360.0
            s[3] = min(50.0, max(15.0, s[3] + self.rng.uniform(-1, 1)))

    def gsa(self):
        used = ",".join("%02d" % s[0] for s in self.sats[:9])
        return demo.checksum("$GPGSA,A,3,%s,,,,1.8,0.9,1.6" % used)

    def gsv(self):
        out = []
        for i in range(3):
            group = self.sats[4 * i:4 * i + 4]
            fields = ",".join("%02d,%02d,%03d,%02d" % (s[0], s[1], s[2], s[3]) for s in group)
            out.append(demo.checksum("$GPGSV,3,%d,12,%s" % (i + 1, fields)))
        return out


def main():
    parser = argparse.ArgumentParser(description="NMEA logs for bench/kml_vs_gpsbabel.sh")
    parser.add_argument("out")
    parser.add_argument("fixes", nargs="?", type=int, default=28800)
    parser.add_argument("--kind", default="drive", choices=("drive", "rmc", "receiver", "10hz", "gap"))
    args = parser.parse_args()
    sky = Sky()
    gap_from = args.fixes // 2 - GAP_SECONDS // 2
    gap_to = gap_from + GAP_SECONDS
    per_second = 10 if args.kind == "10hz" else 1
    with open(args.out, "w", newline="") as out:
        for k, (when, lat, lon, alt, knots, heading) in enumerate(drive(args.fixes, per_second)):
            if args.kind == "10hz":
                out.write(gga_10hz(when, lat, lon, alt) + "\r\n")
                out.write(rmc_10hz(when, lat, lon, knots, heading) + "\r\n")
                continue
            if args.kind == "gap" and gap_from <= k < gap_to:
                continue
            lines = []
            if args.kind != "rmc":
                lines.append(demo.gga(when, lat, lon, alt, 9, 0.9, -32.1))
            if args.kind == "receiver":
                sky.step()
                lines.append(sky.gsa())
                lines.extend(sky.gsv())
            lines.append(demo.rmc(when, lat, lon, knots, heading, 14.2))
            if args.kind == "receiver":
                lines.append(demo.vtg(heading, 14.2, knots))
            out.write("".join(line + "\r\n" for line in lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
