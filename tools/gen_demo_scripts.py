#!/usr/bin/env python3
"""Generates the five built-in demo trips (sources/demoScripts.cpp).

Each trip is what a receiver would have logged on one drive (or sail, or
flight) around the San Francisco Bay on Sunday 14 June 2009. Roads are
approximated by straight legs joined by circular arcs; a vehicle follows them
with a speed profile limited by the road's speed, by the lateral acceleration
in curves and by its own acceleration and braking, stops where a light or a
stop sign stands, and the "receiver" adds the few metres of wander and the
small speed jitter that real logs show.

    tools/gen_demo_scripts.py            # rewrite sources/demoScripts.cpp
    tools/gen_demo_scripts.py --check    # exit 1 when the file is out of date
    tools/gen_demo_scripts.py --stats    # print a summary of every trip

Each fix is logged GGA first, then RMC (and VTG), as most receivers send
them: the RMC that completes a fix then carries the altitude of its own GGA.

Python 3 standard library only; the output is deterministic.
"""

import argparse
import datetime
import math
import os
import random
import sys

EARTH_RADIUS = 6371000.0
KNOT = 0.514444  # metres per second
MPH = 0.44704
G = 9.81


# ---------------------------------------------------------------- geometry


class LocalFrame:
    """Equirectangular metres around a reference point; ample for a city."""

    def __init__(self, lat, lon):
        self.lat0 = lat
        self.lon0 = lon
        self.kx = math.radians(1) * EARTH_RADIUS * math.cos(math.radians(lat))
        self.ky = math.radians(1) * EARTH_RADIUS

    def to_xy(self, lat, lon):
        return ((lon - self.lon0) * self.kx, (lat - self.lat0) * self.ky)

    def to_latlon(self, x, y):
        return (self.lat0 + y / self.ky, self.lon0 + x / self.kx)


def unit(dx, dy):
    n = math.hypot(dx, dy)
    return (dx / n, dy / n)


def build_path(points, step):
    """Straight legs joined by arcs.

    points: [(x, y, radius, leg_speed, stop_seconds)]; radius is the arc that
    rounds the corner at that point, leg_speed (m/s) applies to the leg that
    leaves it, stop_seconds > 0 makes the vehicle stand still there.
    Returns samples [(x, y, curvature_radius, speed_limit, stop_seconds)]
    spaced about `step` metres apart.
    """
    out = []

    def emit_line(a, b, limit):
        length = math.hypot(b[0] - a[0], b[1] - a[1])
        n = max(1, int(length / step))
        for i in range(n):
            t = i / n
            out.append([a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t, math.inf, limit, 0])

    cursor = (points[0][0], points[0][1])
    stop_at_cursor = points[0][4]
    for i in range(1, len(points) - 1):
        p0, p1, p2 = points[i - 1], points[i], points[i + 1]
        u1 = unit(p1[0] - p0[0], p1[1] - p0[1])
        u2 = unit(p2[0] - p1[0], p2[1] - p1[1])
        cross = u1[0] * u2[1] - u1[1] * u2[0]
        dot = max(-1.0, min(1.0, u1[0] * u2[0] + u1[1] * u2[1]))
        theta = math.acos(dot)
        radius = p1[2]
        tangent = radius * math.tan(theta / 2) if theta > 1e-6 else 0.0
        room = min(math.hypot(p1[0] - cursor[0], p1[1] - cursor[1]),
                   math.hypot(p2[0] - p1[0], p2[1] - p1[1]) / 2)
        if tangent > room:  # the corner is tighter than asked: shrink the arc
            tangent = room
            radius = tangent / math.tan(theta / 2)
        start = (p1[0] - u1[0] * tangent, p1[1] - u1[1] * tangent)
        before = len(out)
        emit_line(cursor, start, p0[3])
        if stop_at_cursor and len(out) > before:
            out[before][4] = stop_at_cursor
        stop_at_cursor = 0
        if theta > 1e-6 and tangent > 0:
            side = 1 if cross > 0 else -1
            # centre of the arc lies on the inner side of the incoming leg
            cx = start[0] - u1[1] * radius * side
            cy = start[1] + u1[0] * radius * side
            a0 = math.atan2(start[1] - cy, start[0] - cx)
            arc_len = radius * theta
            n = max(2, int(arc_len / step))
            for k in range(n):
                a = a0 + side * theta * k / n
                out.append([cx + radius * math.cos(a), cy + radius * math.sin(a), radius,
                            min(p0[3], p1[3]), 0])
            cursor = (p1[0] + u2[0] * tangent, p1[1] + u2[1] * tangent)
        else:
            cursor = start
        if p1[4]:
            if theta > 1e-6 and tangent > 0:
                out[-1][4] = p1[4]
            else:
                stop_at_cursor = p1[4]
    last = points[-1]
    before = len(out)
    emit_line(cursor, (last[0], last[1]), points[-2][3])
    if stop_at_cursor and len(out) > before:
        out[before][4] = stop_at_cursor
    # the trip is cut before its end: the vehicle is still under way there
    out.append([last[0], last[1], math.inf, points[-2][3], last[4]])
    return out


def speed_profile(path, accel, brake, lateral, start_speed):
    """Forward/backward pass: the fastest drive that respects every limit."""
    n = len(path)
    dist = [0.0] * n
    for i in range(1, n):
        dist[i] = dist[i - 1] + math.hypot(path[i][0] - path[i - 1][0],
                                           path[i][1] - path[i - 1][1])
    limit = []
    for p in path:
        v = p[3]
        if math.isfinite(p[2]):
            v = min(v, math.sqrt(lateral * p[2]))
        if p[4]:
            v = 0.0
        limit.append(v)
    v = limit[:]
    v[0] = min(v[0], start_speed)
    for i in range(1, n):
        ds = dist[i] - dist[i - 1]
        v[i] = min(v[i], math.sqrt(v[i - 1] ** 2 + 2 * accel * ds))
    for i in range(n - 2, -1, -1):
        ds = dist[i + 1] - dist[i]
        v[i] = min(v[i], math.sqrt(v[i + 1] ** 2 + 2 * brake * ds))
    return dist, v


def timeline(path, dist, v):
    """Times at which the vehicle passes each sample, with the stops' dwell."""
    t = [0.0] * len(path)
    clock = path[0][4]
    t[0] = clock
    for i in range(1, len(path)):
        ds = dist[i] - dist[i - 1]
        avg = (v[i] + v[i - 1]) / 2
        clock += ds / max(avg, 0.05)
        t[i] = clock
        clock += path[i][4]  # stand still here
    return t


class Drive:
    """Position, speed and course of a vehicle at any time of its trip."""

    def __init__(self, path, dist, v, t):
        self.path, self.dist, self.v, self.t = path, dist, v, t
        self.i = 0

    def at(self, when):
        t = self.t
        while self.i + 1 < len(t) and t[self.i + 1] <= when:
            self.i += 1
        i = self.i
        if i + 1 >= len(t):
            return None
        p0, p1 = self.path[i], self.path[i + 1]
        # dwell at sample i: the vehicle leaves it at t[i] + stop
        leave = t[i] + (p0[4] if i > 0 else 0)
        if i == 0:
            leave = t[0]
        if when < leave:
            return (p0[0], p0[1], 0.0, None)
        span = t[i + 1] - leave
        f = (when - leave) / span if span > 0 else 0.0
        x = p0[0] + (p1[0] - p0[0]) * f
        y = p0[1] + (p1[1] - p0[1]) * f
        speed = self.v[i] + (self.v[i + 1] - self.v[i]) * f
        course = math.degrees(math.atan2(p1[0] - p0[0], p1[1] - p0[1])) % 360.0
        return (x, y, speed, course)


# --------------------------------------------------------------- sentences


def checksum(body):
    x = 0
    for ch in body[1:]:
        x ^= ord(ch)
    return "%s*%02X" % (body, x)


def nmea_angle(value, width, pos, neg):
    hemi = pos if value >= 0 else neg
    value = abs(value)
    deg = int(value)
    minutes = (value - deg) * 60.0
    if round(minutes, 4) >= 60.0:
        deg += 1
        minutes = 0.0
    return "%0*d%07.4f,%s" % (width, deg, minutes, hemi)


def rmc(when, lat, lon, knots, course, variation):
    return checksum("$GPRMC,%s,A,%s,%s,%05.1f,%05.1f,%s,%05.1f,E" % (
        when.strftime("%H%M%S"), nmea_angle(lat, 2, "N", "S"), nmea_angle(lon, 3, "E", "W"),
        knots, course, when.strftime("%d%m%y"), variation))


def gga(when, lat, lon, alt, sats, hdop, geoid):
    return checksum("$GPGGA,%s,%s,%s,1,%02d,%.1f,%.1f,M,%.1f,M,," % (
        when.strftime("%H%M%S"), nmea_angle(lat, 2, "N", "S"), nmea_angle(lon, 3, "E", "W"),
        sats, hdop, alt, geoid))


def vtg(course, variation, knots):
    return checksum("$GPVTG,%05.1f,T,%05.1f,M,%05.1f,N,%05.1f,K" % (
        course, (course - variation) % 360.0, knots, knots * 1.852))


class Receiver:
    """The small wander of a consumer receiver: a few metres of slowly
    changing position error, speed jitter of a few tenths of a knot, a course
    that holds while the vehicle stands, and a satellite count that drifts."""

    def __init__(self, rng, wander):
        self.rng = rng
        self.wander = wander
        self.ex = self.ey = 0.0
        self.course = 0.0
        self.sats = 8

    def observe(self, x, y, speed, course):
        r = self.rng
        self.ex = 0.9 * self.ex + r.gauss(0, self.wander * 0.45)
        self.ey = 0.9 * self.ey + r.gauss(0, self.wander * 0.45)
        knots = speed / KNOT
        if knots > 0.3:
            knots = max(0.0, knots + r.gauss(0, 0.15))
            self.course = (course + r.gauss(0, 0.6)) % 360.0
        else:
            knots = 0.0
        if r.random() < 0.08:
            self.sats = min(11, max(5, self.sats + r.choice((-1, 1))))
        hdop = round(max(0.8, 5.6 / self.sats + r.gauss(0, 0.05)), 1)
        return (x + self.ex, y + self.ey, knots, self.course, self.sats, hdop)


# -------------------------------------------------------------------- trips

SF = LocalFrame(37.78, -122.42)


def legs(frame, route):
    """[(lat, lon, radius_m, leg_speed_mph_or_kn_as_mps, stop_s)] to xy points."""
    out = []
    for lat, lon, radius, speed, stop in route:
        x, y = frame.to_xy(lat, lon)
        out.append((x, y, radius, speed, stop))
    return out


def mph(v):
    return v * MPH


def kn(v):
    return v * KNOT


# Demo A: downtown San Francisco to the airport. Market Street, Tenth Street
# to the freeway, then US-101 south past Candlestick Point and Brisbane.
TRIP_A = [
    (37.79480, -122.39440, 10, mph(20), 0),    # the Ferry Building
    (37.79260, -122.39720, 10, mph(22), 35),   # Market & Beale, light
    (37.79050, -122.39990, 10, mph(22), 40),   # Market & 1st, light
    (37.78890, -122.40160, 10, mph(22), 30),   # Market & 3rd, light
    (37.78420, -122.40750, 12, mph(24), 25),   # Market & 5th, light
    (37.77750, -122.41600, 10, mph(24), 30),   # Market & 8th, light
    (37.77450, -122.41980, 10, mph(25), 0),    # Market & 10th
    (37.77060, -122.41480, 14, mph(28), 20),   # 10th & Bryant, light
    (37.76880, -122.41250, 60, mph(40), 0),    # on-ramp
    (37.76450, -122.40780, 350, mph(58), 0),   # US-101 joins
    (37.75200, -122.40480, 500, mph(62), 0),
    (37.74400, -122.40420, 600, mph(62), 0),   # Cesar Chavez interchange
    (37.73300, -122.40100, 600, mph(63), 0),
    (37.72100, -122.39750, 700, mph(64), 0),
    (37.71000, -122.39300, 800, mph(64), 0),   # Candlestick
    (37.69700, -122.39200, 700, mph(64), 0),
    (37.68500, -122.39500, 800, mph(64), 0),   # Brisbane
    (37.67200, -122.39900, 700, mph(63), 0),
    (37.66000, -122.40200, 700, mph(62), 0),   # Oyster Point
    (37.64500, -122.40500, 700, mph(60), 0),
    (37.63300, -122.40200, 500, mph(55), 0),   # San Bruno
    (37.62500, -122.39800, 120, mph(40), 0),   # airport exit
    (37.62200, -122.39200, 60, mph(30), 0),
    (37.61850, -122.38800, 20, mph(22), 30),   # airport loop, light
    (37.61600, -122.38550, 15, mph(18), 0),
    (37.61430, -122.38750, 12, mph(15), 0),
    (37.61380, -122.39000, 10, mph(12), 90),   # departures kerb, drop-off
    (37.61340, -122.39250, 30, mph(18), 0),
    (37.61500, -122.39500, 30, mph(22), 0),
    (37.61900, -122.39550, 30, mph(25), 0),
]

# Demo B: a short drive in Berkeley, a grid of streets with stop signs.
TRIP_B = [
    (37.87030, -122.26800, 8, mph(24), 0),     # Shattuck
    (37.87260, -122.26830, 8, mph(22), 6),     # stop sign, turn east
    (37.87300, -122.26320, 8, mph(24), 6),     # stop sign, turn south
    (37.86960, -122.26280, 8, mph(22), 0),
    (37.86930, -122.25900, 8, mph(20), 0),
]

# Demo C: a sailboat beating north out of Richardson Bay towards Tiburon.
TRIP_C = [
    (37.85400, -122.47600, 14, kn(5.6), 0),
    (37.86050, -122.48000, 14, kn(5.8), 0),    # tack
    (37.86500, -122.46950, 14, kn(5.5), 0),    # tack
    (37.87000, -122.47450, 14, kn(5.9), 0),    # tack
    (37.87350, -122.46500, 14, kn(5.6), 0),
    (37.87800, -122.47000, 14, kn(5.6), 0),
]

# Demo D: a jet at cruise over the Sacramento valley heading for the coast,
# turning south over the bay, beginning its descent towards San Jose.
TRIP_D = [
    (38.85000, -121.35000, 20000, kn(505), 0),
    (38.34000, -121.86000, 22000, kn(500), 0),
    (37.98000, -122.12000, 20000, kn(495), 0),
    (37.70000, -122.08000, 20000, kn(490), 0),
    (37.30000, -121.87000, 20000, kn(480), 0),
]

# Demo E (the local demo vehicle): the Marina, Doyle Drive, across the Golden
# Gate Bridge to the Vista Point, down Alexander Avenue into Sausalito.
TRIP_E = [
    (37.80280, -122.43620, 10, mph(25), 0),    # Chestnut St
    (37.80240, -122.43970, 10, mph(25), 25),   # light, turn north
    (37.80360, -122.44010, 25, mph(35), 0),    # Marina Blvd
    (37.80320, -122.44680, 150, mph(45), 0),   # Doyle Drive
    (37.80210, -122.45480, 400, mph(45), 0),
    (37.80310, -122.46400, 300, mph(45), 0),
    (37.80550, -122.47070, 250, mph(45), 0),   # toll plaza
    (37.80870, -122.47570, 400, mph(45), 0),   # bridge south tower
    (37.82340, -122.47880, 800, mph(45), 0),
    (37.83200, -122.48060, 400, mph(45), 0),   # north end
    (37.83420, -122.48170, 40, mph(25), 0),    # Vista Point exit
    (37.83350, -122.48330, 30, mph(20), 0),
    (37.83550, -122.48320, 120, mph(35), 0),   # Alexander Ave
    (37.84150, -122.48260, 150, mph(35), 0),
    (37.84650, -122.48050, 120, mph(35), 0),
    (37.85150, -122.47780, 100, mph(30), 0),
    (37.85500, -122.47820, 40, mph(25), 20),   # Bridgeway, stop sign
    (37.85850, -122.48230, 40, mph(25), 0),
    (37.86350, -122.48450, 40, mph(25), 0),
]


def drive_fixes(trip, frame, interval, count, accel, brake, lateral, step, rng, wander,
                start_speed=0.0):
    path = build_path(legs(frame, trip), step)
    dist, v = speed_profile(path, accel, brake, lateral, start_speed)
    t = timeline(path, dist, v)
    drive = Drive(path, dist, v, t)
    receiver = Receiver(rng, wander)
    fixes = []
    for k in range(count):
        state = drive.at(k * interval)
        if state is None:
            raise SystemExit("trip too short: %d of %d fixes (%.0f s, %.0f m)"
                             % (k, count, t[-1], dist[-1]))
        x, y, speed, course = state
        if course is None:
            course = receiver.course
        ox, oy, knots, hdg, sats, hdop = receiver.observe(x, y, speed, course)
        lat, lon = frame.to_latlon(ox, oy)
        fixes.append((k * interval, lat, lon, knots, hdg, sats, hdop))
    return fixes, dist[-1], t[-1]


def script_cycles(fixes, start, alt_of, geoid, variation, course_bias=0.0, with_vtg=False):
    """One cycle per fix: GGA and RMC, then VTG for a receiver that sends it."""
    lines = []
    for secs, lat, lon, knots, hdg, sats, hdop in fixes:
        when = start + datetime.timedelta(seconds=secs)
        course = (hdg + course_bias) % 360.0
        lines.append(gga(when, lat, lon, alt_of(secs), sats, hdop, geoid))
        lines.append(rmc(when, lat, lon, knots, course, variation))
        if with_vtg:
            lines.append(vtg(course, variation, knots))
    return lines


def day(h, m, s):
    return datetime.datetime(2009, 6, 14, h, m, s)


def make_scripts(stats=None):
    variation = 14.2  # magnetic declination around the bay in 2009, east
    geoid = -32.1
    scripts = {}

    def note(name, fixes, length, duration):
        if stats is not None:
            speeds = [f[3] for f in fixes]
            stats.append("%-9s %4d fixes, route %.1f km in %.0f s, used %d s, speed max %.1f kn"
                         % (name, len(fixes), length / 1000, duration, fixes[-1][0],
                            max(speeds)))

    rng = random.Random(20090614)
    fixes, length, duration = drive_fixes(TRIP_A, SF, 2, 789, 1.6, 2.8, 2.2, 2.0, rng, 1.2)
    note("Demo A", fixes, length, duration)
    scripts["A"] = script_cycles(fixes, day(18, 32, 4),
                                 lambda s: 12.0 + 6.0 * math.sin(s / 300.0), geoid, variation)

    # This receiver reported its course 17.5 degrees clockwise of the road;
    # the demo takes it off again with the vehicle's course offset.
    fixes, length, duration = drive_fixes(TRIP_B, SF, 2, 46, 1.4, 2.5, 2.0, 1.0, rng, 1.0)
    note("Demo B", fixes, length, duration)
    scripts["B"] = script_cycles(fixes, day(19, 5, 41), lambda s: 58.0 + s * 0.02,
                                 geoid, variation, course_bias=17.5, with_vtg=True)

    # 122 full GGA/RMC/VTG cycles and the first two sentences of the 123rd:
    # the log was stopped between the RMC and the VTG.
    fixes, length, duration = drive_fixes(TRIP_C, SF, 5, 123, 0.04, 0.08, 0.12, 1.0, rng, 1.5,
                                          start_speed=kn(5.6))
    note("Demo C", fixes, length, duration)
    scripts["C"] = script_cycles(fixes, day(20, 14, 10), lambda s: 1.5, geoid, variation,
                                 with_vtg=True)[:368]

    def jet_altitude(s):
        # FL350, then a 1800 ft/min descent from the eighth minute on
        cruise = 10668.0
        return cruise - max(0.0, s - 480) * (1800 * 0.3048 / 60)

    fixes, length, duration = drive_fixes(TRIP_D, SF, 2, 324, 0.2, 0.2, 100.0, 20.0, rng, 3.0,
                                          start_speed=kn(505))
    note("Demo D", fixes, length, duration)
    scripts["D"] = script_cycles(fixes, day(17, 48, 30), jet_altitude, geoid, variation)

    fixes, length, duration = drive_fixes(TRIP_E, SF, 2, 328, 1.5, 2.6, 2.0, 2.0, rng, 1.2)
    note("Demo E", fixes, length, duration)
    scripts["E"] = script_cycles(fixes, day(21, 2, 15),
                                 lambda s: 8.0 + 60.0 * max(0.0, min(1.0, (s - 150) / 200.0)),
                                 geoid, variation)
    return scripts


# ------------------------------------------------------------------- output

ARRAYS = [
    ("A", "kDemoScriptA", "Demo A: downtown San Francisco to the airport, GGA and RMC"),
    ("B", "kDemoScriptB", "Demo B: a few blocks in Berkeley, GGA, RMC and VTG"),
    ("C", "kDemoScriptC", "Demo C: a sailboat tacking in Richardson Bay, GGA, RMC and VTG"),
    ("D", "kDemoScriptD", "Demo D: a jet at cruise over the bay, GGA and RMC"),
    ("E", "kDemoScriptE", "Me(demo): the Marina over the Golden Gate to Sausalito, GGA and RMC"),
]


def render(scripts):
    out = ["// Generated by tools/gen_demo_scripts.py; edit the generator, not this file.",
           "// clang-format off",
           '#include "sources/demoScripts.h"', ""]
    for key, name, title in ARRAYS:
        lines = scripts[key]
        out.append("// %s (%d sentences)." % (title, len(lines)))
        out.append("const char* const %s[] = {" % name)
        out.extend('    "%s",' % line for line in lines)
        out.append('    "",')
        out.append("};")
        out.append("")
    out.append("// clang-format on")
    out.append("")
    out.append("int demoScriptLength(const char* const* script) {")
    out.append("    int n = 0;")
    out.append("    while (script[n][0] != '\\0')")
    out.append("        ++n;")
    out.append("    return n;")
    out.append("}")
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    parser.add_argument("--stats", action="store_true", help="print a summary of every trip")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                      "..", "sources", "demoScripts.cpp"))
    args = parser.parse_args()
    stats = [] if args.stats else None
    text = render(make_scripts(stats))
    if stats:
        print("\n".join(stats))
    if args.check:
        with open(args.out, encoding="ascii") as f:
            if f.read() != text:
                print("%s is out of date; run %s" % (args.out, sys.argv[0]), file=sys.stderr)
                return 1
        return 0
    with open(args.out, "w", encoding="ascii", newline="\n") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
