#!/usr/bin/env python3
"""Writes drive.nmea: five minutes of a receiver's output at 1 Hz, the way a
typical consumer GPS sends it (GGA, GSA, RMC, VTG each second, GSV every 5 s),
with the faults real logs carry: a line cut short by the serial port, a
flipped bit (bad checksum), a no-fix stretch with empty fields, a stop at a
traffic light with position jitter, and one second where the receiver's
clock jumps an hour ahead and back.
"""
import math
import random
from functools import reduce

random.seed(2009)
T0 = 12 * 3600 + 35 * 60  # 12:35:00 UTC, 23 March 2009


def cs(body):
    return "%s*%02X" % (body, reduce(lambda a, c: a ^ ord(c), body[1:], 0))


def ddmm(deg, width):
    d = int(abs(deg))
    m = (abs(deg) - d) * 60
    return "%0*d%07.4f" % (width, d, m)


def hms(t):
    return "%02d%02d%06.3f" % (t // 3600 % 24, t // 60 % 60, t % 60)


lines = []
lat, lon, course = 48.1173, 11.5166, 45.0
for s in range(300):
    t = T0 + s
    stopped = 120 <= s < 170
    nofix = 60 <= s < 66
    speed = 0.0 if stopped else 25.0 + 10 * math.sin(s / 20.0)  # knots
    if 200 <= s < 230:
        course = (course + 3) % 360
    if not stopped:
        dist = speed * 1852 / 3600  # metres this second
        lat += dist * math.cos(math.radians(course)) / 111320
        lon += dist * math.sin(math.radians(course)) / (111320 * math.cos(math.radians(lat)))
    jlat = lat + (random.uniform(-3e-5, 3e-5) if stopped else 0)
    jlon = lon + (random.uniform(-3e-5, 3e-5) if stopped else 0)
    stamp = hms(t + 3600 if s == 250 else t)  # one clock glitch
    ns, ew = ddmm(jlat, 2), ddmm(jlon, 3)
    if nofix:
        lines.append(cs("$GPGGA,%s,,,,,0,00,99.9,,M,,M,," % stamp))
        lines.append(cs("$GPRMC,%s,V,,,,,,,230309,,,N" % stamp))
        continue
    lines.append(cs("$GPGGA,%s,%s,N,%s,E,1,08,0.9,%.1f,M,47.0,M,," % (stamp, ns, ew, 520 + s * 0.1)))
    lines.append(cs("$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1"))
    rmc = cs("$GPRMC,%s,A,%s,N,%s,E,%.1f,%.1f,230309,003.1,W,A" % (stamp, ns, ew, speed, course))
    if s == 30:
        rmc = rmc[:40]  # cut short by the port: no checksum left
    if s == 31:
        rmc = rmc.replace("A,", "B,", 1)  # one flipped character
    lines.append(rmc)
    lines.append(cs("$GPVTG,%.1f,T,,M,%.1f,N,%.1f,K,A" % (course, speed, speed * 1.852)))
    if s % 5 == 0:
        lines.append(cs("$GPGSV,2,1,08,04,77,038,42,05,51,293,40,09,33,116,38,12,27,045,35"))

with open("drive.nmea", "w", newline="") as f:
    for line in lines:
        f.write(line + "\r\n")
