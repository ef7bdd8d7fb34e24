#!/usr/bin/env python3
"""The native peer that costs nothing while idle: one connection per account,
each logged in, with INBOX selected and in IDLE, and one thread per
connection blocked in recv.

    idle_peer.py PORT USER:PASSWORD...

Prints READY once every connection idles, then waits for STOP on standard
input and exits. Lines the server sends meanwhile are read and dropped.
"""

import socket
import sys
import threading


def idle(port, user, password):
    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
    reader = sock.makefile("rb")

    def until(prefix):
        while True:
            line = reader.readline()
            if not line:
                raise RuntimeError("the server closed the connection")
            if line.startswith(prefix):
                return line

    until(b"* OK")
    sock.sendall(b"a LOGIN %s %s\r\n" % (user.encode(), password.encode()))
    if not until(b"a ").startswith(b"a OK"):
        raise RuntimeError("login refused for %s" % user)
    sock.sendall(b"b SELECT INBOX\r\n")
    until(b"b ")
    sock.sendall(b"c IDLE\r\n")
    until(b"+")
    sock.settimeout(None)
    return sock, reader


def blocked_read(reader):
    while reader.readline():  # blocks until the server speaks
        pass


def main():
    port = int(sys.argv[1])
    connections = []
    for pair in sys.argv[2:]:
        user, password = pair.split(":", 1)
        connections.append(idle(port, user, password))
    for _, reader in connections:
        threading.Thread(target=blocked_read, args=(reader,), daemon=True).start()
    print("READY", flush=True)
    for line in sys.stdin:
        if line.startswith("STOP"):
            break
    return 0


if __name__ == "__main__":
    sys.exit(main())
