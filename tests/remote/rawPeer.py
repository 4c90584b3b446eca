#!/usr/bin/env python3
"""A TCP peer on loopback for the raw-socket tests.

Usage: rawPeer.py MODE [ARG]. Prints the port it listens on, then serves
until killed. Modes:
  reply TEXT     read the request line, send TEXT, close
  echo           read the request up to a line feed, send it back, close
  silent         read the request and never answer, keep the connection
  chunks TEXT    send TEXT, wait a second, send TEXT again, close
  big N          send N bytes of 'x', close
  reset TEXT     send TEXT, then reset the connection (RST, not FIN)
  noaccept       listen with a queue of one and never accept
"""
import socket
import socketserver
import struct
import sys
import time

mode = sys.argv[1]
arg = sys.argv[2] if len(sys.argv) > 2 else ""


def read_line(sock):
    data = b""
    sock.settimeout(10)
    try:
        while not data.endswith(b"\n"):
            part = sock.recv(4096)
            if not part:
                break
            data += part
    except OSError:
        pass
    return data


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        s = self.request
        if mode == "reply":
            read_line(s)
            s.sendall(arg.encode())
        elif mode == "echo":
            s.sendall(read_line(s))
        elif mode == "silent":
            read_line(s)
            time.sleep(60)
        elif mode == "chunks":
            s.sendall(arg.encode())
            time.sleep(1)
            s.sendall(arg.encode())
        elif mode == "big":
            s.sendall(b"x" * int(arg))
        elif mode == "reset":
            s.sendall(arg.encode())
            time.sleep(0.2)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            # Closed here: the server's own ending would send a FIN first.
            s.close()


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


if mode == "noaccept":
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    print(listener.getsockname()[1], flush=True)
    while True:
        time.sleep(60)
else:
    with Server(("127.0.0.1", 0), Handler) as server:
        print(server.server_address[1], flush=True)
        server.serve_forever()
