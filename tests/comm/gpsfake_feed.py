#!/usr/bin/python3
# Plays an NMEA capture into a pseudo-terminal with gpsfake's own machinery
# (gps.fake from gpsd-clients), the way gpsfake feeds gpsd. Prints the slave
# device and the sentence count, plays every sentence once when a line arrives
# on stdin, prints "done", and keeps the terminal until stdin closes.
import sys

from gps import fake

load = fake.TestLoad(sys.argv[1])
pty = fake.FakePTY(load, speed=4800)
print(pty.byname, len(load.sentences), flush=True)
sys.stdin.readline()
for _ in load.sentences:
    pty.feed()
pty.drain()
print("done", flush=True)
sys.stdin.read()
