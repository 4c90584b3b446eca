#!/usr/bin/env python3
"""Writes the two twins of zurich-drive.nmea that the gpsd tests play:

  zurich-drive-gn.nmea  the same drive as a current multi-constellation
                        receiver (u-blox 8 and later) reports it: fixes, DOP
                        and course under the "GN" talker only, satellites in
                        view per constellation ($GPGSV, $GLGSV).
  zurich-drive.ubx      the same fixes as u-blox binary NAV-PVT messages, the
                        way a receiver set to UBX output sends them.

Run it from anywhere; it writes next to itself.
  tests/data/comm/make_twins.py
"""
import calendar
import datetime
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def checksum(body):
    """XOR of every character between '$' and '*'."""
    x = 0
    for ch in body[1:]:
        x ^= ord(ch)
    return x


def with_checksum(body):
    return "%s*%02X" % (body, checksum(body))


def read_drive():
    with open(os.path.join(HERE, "zurich-drive.nmea")) as f:
        return [line.rstrip("\r\n") for line in f if line.strip()]


def gn_twin(lines):
    """$GP position and status sentences become $GN; the satellites in view
    stay per constellation, with an empty GLONASS view added once a second."""
    out = []
    for line in lines:
        body = line.split("*")[0]
        kind = body[3:6]
        if kind == "GSV":
            out.append(line)
            if body.startswith("$GPGSV,3,3"):
                out.append(with_checksum("$GLGSV,1,1,00"))
            continue
        out.append(with_checksum("$GN" + body[3:]))
    return out


def degrees(value, hemisphere):
    v = float(value)
    whole = int(v / 100)
    d = whole + (v - whole * 100) / 60
    return -d if hemisphere in ("S", "W") else d


def fixes(lines):
    """(utc seconds, lat, lon, metres above sea level, knots, course) of
    every RMC, with the altitude of the GGA of the same second."""
    alt = {}
    out = []
    for line in lines:
        f = line.split("*")[0].split(",")
        if f[0] == "$GPGGA":
            alt[f[1]] = float(f[9])
        elif f[0] == "$GPRMC" and f[2] == "A":
            hh, mm, ss = int(f[1][0:2]), int(f[1][2:4]), int(f[1][4:6])
            dd, mo, yy = int(f[9][0:2]), int(f[9][2:4]), 2000 + int(f[9][4:6])
            t = calendar.timegm((yy, mo, dd, hh, mm, ss))
            out.append((t, degrees(f[3], f[4]), degrees(f[5], f[6]),
                        alt.get(f[1], 0.0), float(f[7]), float(f[8])))
    return out


def ubx(msg_class, msg_id, payload):
    """One UBX frame: sync chars 0xB5 0x62, class, id, little-endian length,
    payload, and the 8-bit Fletcher checksum over class to payload end."""
    head = struct.pack("<BBH", msg_class, msg_id, len(payload))
    ck_a = ck_b = 0
    for b in head + payload:
        ck_a = (ck_a + b) & 0xFF
        ck_b = (ck_b + ck_a) & 0xFF
    return b"\xb5\x62" + head + payload + bytes((ck_a, ck_b))


GEOID_SEPARATION_MM = 48000  # the drive's GGA: geoid 48.0 m above the ellipsoid


def nav_pvt(t, lat, lon, msl, knots, course):
    """UBX-NAV-PVT (class 0x01, id 0x07), 92 bytes of payload."""
    y, mo, d, h, mi, s = datetime.datetime.fromtimestamp(t, datetime.timezone.utc).timetuple()[:6]
    gps_epoch = calendar.timegm((1980, 1, 6, 0, 0, 0))
    leap = 18  # GPS time runs 18 s ahead of UTC since 2017
    itow_ms = ((t - gps_epoch + leap) % (7 * 86400)) * 1000
    speed_mm = int(round(knots * 1852 / 3.6))  # knots to mm/s
    vel_n = int(round(speed_mm * math.cos(math.radians(course))))
    vel_e = int(round(speed_mm * math.sin(math.radians(course))))
    payload = struct.pack(
        "<IHBBBBBBIiBBBBiiiiIIiiiiiIIHBBBBBBiHH",
        itow_ms, y, mo, d, h, mi, s,
        0x07,            # valid: date, time, fully resolved
        50,              # tAcc ns
        0,               # nano
        3,               # fixType: 3D
        0x01,            # flags: gnssFixOK
        0xE0,            # flags2: confirmed available, date, time
        8,               # numSV
        int(round(lon * 1e7)), int(round(lat * 1e7)),
        int(round(msl * 1000)) + GEOID_SEPARATION_MM,  # height above ellipsoid
        int(round(msl * 1000)),                        # hMSL
        2500, 4000,      # hAcc, vAcc mm
        vel_n, vel_e, 0,
        speed_mm,        # gSpeed
        int(round(course * 1e5)),  # headMot
        300,             # sAcc mm/s
        50000,           # headAcc
        160,             # pDOP 1.60
        0, 0, 0, 0, 0, 0,  # flags3 and reserved
        0,               # headVeh
        0, 0)            # magDec, magAcc
    assert len(payload) == 92
    return ubx(0x01, 0x07, payload)


def main():
    lines = read_drive()
    with open(os.path.join(HERE, "zurich-drive-gn.nmea"), "w", newline="") as f:
        for line in gn_twin(lines):
            f.write(line + "\r\n")
    with open(os.path.join(HERE, "zurich-drive.ubx"), "wb") as f:
        for fix in fixes(lines):
            f.write(nav_pvt(*fix))


if __name__ == "__main__":
    main()
