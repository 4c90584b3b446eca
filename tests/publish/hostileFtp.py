#!/usr/bin/python3
# An FTP server that misbehaves in one way, chosen by name, for the
# publisher's tests. Prints its port as the first line, records every command
# line it receives (to RECORD) and every data connection (to RECORD.data).
#
#   hostileFtp.py MODE RECORD [ADDRESS PORT]
#
# Modes: multiline (every reply multi-line and sent in pieces; a good server
# otherwise), close-at-greeting, close-at-user, close-at-cwd, cwd-unexpected,
# user-531, pass-332, pasv-over-255, pasv-negative, pasv-no-parenthesis,
# pasv-dead-port, pasv-bounce, no-226, stall-at-user, garbage, endless-line.
# pasv-bounce names 127.0.0.99 in its PASV reply, where a stand-in on the same
# port records whatever connects (to RECORD.bounce); the real data listener is
# on the server's own address.
import socket
import sys
import threading
import time

mode, record = sys.argv[1], sys.argv[2]
address = sys.argv[3] if len(sys.argv) > 3 else "127.0.0.1"
listen_port = int(sys.argv[4]) if len(sys.argv) > 4 else 0


def log(path, text):
    with open(path, "a") as f:
        f.write(text + "\n")


def send_slowly(conn, text):
    # A reply in small pieces, so the client has to join them.
    data = text.encode()
    for i in range(0, len(data), 7):
        conn.sendall(data[i:i + 7])
        time.sleep(0.01)


def reply(conn, code, text):
    if mode == "multiline":
        send_slowly(conn, "%d-%s\r\n more about it\r\n%d %s\r\n" % (code, text, code, text))
    else:
        conn.sendall(("%d %s\r\n" % (code, text)).encode())


def data_listener():
    s = socket.socket()
    s.bind((address, 0))
    s.listen(1)
    return s


def bounce_stand_in(port):
    # Whatever reaches 127.0.0.99 on the data port is what a bounced upload
    # would have sent to another host.
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.99", port))
    s.listen(8)

    def take():
        while True:
            c, _ = s.accept()
            got = b""
            while True:
                chunk = c.recv(65536)
                if not chunk:
                    break
                got += chunk
            log(record + ".bounce", "CONNECT %d bytes" % len(got))
            c.close()
    threading.Thread(target=take, daemon=True).start()


def dead_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def stall():
    time.sleep(3600)


def serve(conn):
    if mode == "close-at-greeting":
        conn.close()
        return
    if mode == "garbage":
        conn.sendall(b"hello there\r\n")
        stall()
    if mode == "endless-line":
        while True:
            conn.sendall(b"220" + b"x" * 4096)
            time.sleep(0.01)
    reply(conn, 220, "hostile server ready")
    data = None
    stream = conn.makefile("rb")
    for raw in stream:
        line = raw.decode(errors="replace").rstrip("\r\n")
        log(record, line)
        cmd = line.split(" ")[0].upper()
        if cmd == "USER":
            if mode == "close-at-user":
                conn.close()
                return
            if mode == "stall-at-user":
                stall()
            if mode == "user-531":
                reply(conn, 531, "not you")
            else:
                reply(conn, 331, "password please")
        elif cmd == "PASS":
            if mode == "pass-332":
                reply(conn, 332, "need an account")
            else:
                reply(conn, 230, "logged in")
        elif cmd == "CWD":
            if mode == "close-at-cwd":
                conn.close()
                return
            if mode == "cwd-unexpected":
                reply(conn, 200, "fine, I guess")
            else:
                reply(conn, 250, "directory changed")
        elif cmd == "TYPE":
            reply(conn, 200, "type set")
        elif cmd == "PASV":
            if mode == "pasv-over-255":
                reply(conn, 227, "Entering Passive Mode (127,0,0,1,256,1)")
            elif mode == "pasv-negative":
                reply(conn, 227, "Entering Passive Mode (127,0,0,1,-4,1)")
            elif mode == "pasv-no-parenthesis":
                reply(conn, 227, "Entering Passive Mode 127,0,0,1,4,1")
            elif mode == "pasv-bounce":
                data = data_listener()
                port = data.getsockname()[1]
                bounce_stand_in(port)
                reply(conn, 227, "Entering Passive Mode (127,0,0,99,%d,%d)" % (port >> 8, port & 255))
            elif mode == "pasv-dead-port":
                port = dead_port()
                reply(conn, 227, "Entering Passive Mode (127,0,0,1,%d,%d)" % (port >> 8, port & 255))
            else:
                data = data_listener()
                port = data.getsockname()[1]
                reply(conn, 227, "Entering Passive Mode (%s,%d,%d)" %
                      (address.replace(".", ","), port >> 8, port & 255))
        elif cmd == "STOR":
            if data is None:
                reply(conn, 425, "no data connection")
                continue
            data.settimeout(10)
            try:
                d, _ = data.accept()
            except OSError:
                reply(conn, 425, "no data connection")
                continue
            reply(conn, 150, "go ahead")
            received = b""
            while True:
                chunk = d.recv(65536)
                if not chunk:
                    break
                received += chunk
            d.close()
            log(record + ".data", "%s %d" % (line[5:], len(received)))
            if mode == "no-226":
                continue
            reply(conn, 226, "transfer complete")
        elif cmd == "RNFR":
            reply(conn, 350, "ready for RNTO")
        elif cmd in ("RNTO", "DELE"):
            reply(conn, 250, "done")
        else:
            reply(conn, 502, "not here")


srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind((address, listen_port))
srv.listen(8)
print(srv.getsockname()[1], flush=True)
while True:
    c, _ = srv.accept()
    log(record, "CONNECT")
    threading.Thread(target=serve, args=(c,), daemon=True).start()
