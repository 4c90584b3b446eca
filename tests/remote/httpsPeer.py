#!/usr/bin/env python3
"""An HTTPS server on loopback for the HTTPS client tests.

Usage: httpsPeer.py CERT KEY [--client-ca FILE] [--big N] [--stall]
Prints its port, then answers every GET or POST until killed with
"hello PATH" (and the organisational unit of the client certificate, when
one was presented), N bytes of 'x' with --big, or nothing for a minute with
--stall. With --client-ca a client certificate from that authority is
required.
"""
import argparse
import http.server
import ssl
import time

parser = argparse.ArgumentParser()
parser.add_argument("cert")
parser.add_argument("key")
parser.add_argument("--client-ca")
parser.add_argument("--big", type=int, default=0)
parser.add_argument("--stall", action="store_true")
opts = parser.parse_args()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self):
        if opts.stall:
            time.sleep(60)
            return
        if opts.big:
            body = b"x" * opts.big
        else:
            text = "hello " + self.path
            peer = self.connection.getpeercert()
            if peer:
                for rdn in peer.get("subject", ()):
                    for key, value in rdn:
                        if key == "organizationalUnitName":
                            text += " unit=" + value
            body = text.encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    do_GET = answer
    do_POST = answer


context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(opts.cert, opts.key)
if opts.client_ca:
    context.verify_mode = ssl.CERT_REQUIRED
    context.load_verify_locations(opts.client_ca)

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
