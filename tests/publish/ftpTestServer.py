#!/usr/bin/python3
# A real FTP server (pyftpdlib) for the publisher's tests, on 127.0.0.1 with
# one user and a temporary home. Prints its port as the first line, records
# every command it receives in order (the password's argument left out) and
# serves until killed.
#
#   ftpTestServer.py HOME USER PASSWORD RECORD [BANNER]
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

home, user, password, record = sys.argv[1:5]


class RecordingHandler(FTPHandler):
    def pre_process_command(self, line, cmd, arg):
        with open(record, "a") as f:
            f.write(cmd + (" " + arg if arg and cmd != "PASS" else "") + "\n")
        super().pre_process_command(line, cmd, arg)


logging.basicConfig(level=logging.ERROR)
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, home, perm="elradfmwMT")
RecordingHandler.authorizer = authorizer
if len(sys.argv) > 5:
    # Longer than 75 characters: pyftpdlib sends it as a multi-line reply.
    RecordingHandler.banner = sys.argv[5]
server = FTPServer(("127.0.0.1", 0), RecordingHandler)
print(server.address[1], flush=True)
server.serve_forever()
