#!/usr/bin/env python3
"""A scripted TLS IMAP peer on 127.0.0.1 for the session tests.

    tls_peer.py start RUN_DIR BASE_PORT TLS_DIR   starts it detached, returns once it listens
    tls_peer.py stop RUN_DIR                      stops it and waits until it is gone

One process listens on BASE_PORT + offset, one port per behaviour:
    +0 server.pem       +1 wrongname.pem    +2 selfsigned.pem
    +3 expired.pem      +4 otherca-leaf.pem (the leaf alone)   +5 noip.pem
    +6 server.pem; every TLS byte it sends goes out in a send() of its own
    +7 server.pem; every response line is a TLS record of its own, and all
       the records of one answer go out in one send(): the greeting with a
       second untagged line, SELECT's six lines, and the IDLE continuation
       with the "* 1 EXISTS"
    +8 server.pem and selfsigned.pem, in turns from one connection to the next
    +9 withurls.pem, whose issuer and CRL addresses are on the certificates'
       URL port (withurls.port)
Every port speaks the same small IMAP dialogue: a greeting with a capability
code, CAPABILITY, LOGIN, SELECT, IDLE (one "* 1 EXISTS" shortly after the
continuation) and DONE.

RUN_DIR/peer.pid holds the pid, RUN_DIR/peer.log what it printed.
"""

import os
import select
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

OFFSETS = {
    0: "server",
    1: "wrongname",
    2: "selfsigned",
    3: "expired",
    4: "otherca-leaf",
    5: "noip",
    6: "server",
    7: "server",
    8: "server",
    9: "withurls",
}
BYTEWISE = 6
RECORD_PER_LINE = 7
TURNS = 8
LAST_PORT = 9

GREETING = b"* OK [CAPABILITY IMAP4rev1 IDLE] tls peer ready"
SELECT_LINES = [
    b"* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)",
    b"* OK [PERMANENTFLAGS (\\Seen)] flags",
    b"* 0 EXISTS",
    b"* 0 RECENT",
    b"* OK [UIDVALIDITY 1] uids",
]
EXISTS_DELAY = 0.2


def log(text):
    print(f"{time.strftime('%H:%M:%S')} {text}", flush=True)


def shown(line):
    """A client line for the log, without the password."""
    parts = line.split(b" ")
    if len(parts) > 2 and parts[1].upper() == b"LOGIN":
        return b" ".join(parts[:3]) + b" ****"
    return line[:80]


def answer(line, state):
    """The response lines to one client line; state is a dict per connection."""
    parts = line.split(b" ")
    if line.upper() == b"DONE":
        tag = state.pop("idle", None)
        return [tag + b" OK IDLE terminated"] if tag else []
    if len(parts) < 2:
        return [b"* BAD no tag"]
    tag, command = parts[0], parts[1].upper()
    if command == b"CAPABILITY":
        return [b"* CAPABILITY IMAP4rev1 IDLE", tag + b" OK CAPABILITY completed"]
    if command == b"LOGIN":
        return [tag + b" OK LOGIN completed"]
    if command == b"SELECT":
        return SELECT_LINES + [tag + b" OK [READ-WRITE] SELECT completed"]
    if command == b"IDLE":
        state["idle"] = tag
        return [b"+ idling"]
    if command == b"LOGOUT":
        return [b"* BYE logging out", tag + b" OK LOGOUT completed"]
    return [tag + b" BAD unknown command"]


class Connection:
    """One client: TLS through memory BIOs, so that this code decides how
    the bytes go onto TCP."""

    def __init__(self, sock, context, offset):
        self.sock = sock
        self.offset = offset
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)
        self.plain = b""
        if offset == BYTEWISE:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def flush(self, data=None):
        data = self.outgoing.read() if data is None else data
        if not data:
            return
        if self.offset == BYTEWISE:
            for i in range(len(data)):
                self.sock.sendall(data[i:i + 1])
                time.sleep(0.001)
        else:
            self.sock.sendall(data)

    def receive(self):
        data = self.sock.recv(65536)
        if not data:
            return False
        self.incoming.write(data)
        return True

    def handshake(self):
        while True:
            try:
                self.tls.do_handshake()
                self.flush()
                return True
            except ssl.SSLWantReadError:
                self.flush()
                if not self.receive():
                    return False

    def send_lines(self, lines):
        if self.offset == RECORD_PER_LINE:
            # One record per line, every record of the answer in one segment.
            data = b""
            for line in lines:
                self.tls.write(line + b"\r\n")
                data += self.outgoing.read()
            self.flush(data)
        else:
            self.tls.write(b"".join(line + b"\r\n" for line in lines))
            self.flush()

    def read_line(self):
        while b"\n" not in self.plain:
            try:
                self.plain += self.tls.read(65536)
            except ssl.SSLWantReadError:
                if not self.receive():
                    return None
            except ssl.SSLZeroReturnError:
                return None
        line, self.plain = self.plain.split(b"\n", 1)
        return line.rstrip(b"\r")

    def run(self):
        if not self.handshake():
            return
        greeting = [GREETING]
        if self.offset == RECORD_PER_LINE:
            greeting.append(b"* OK one more line with the greeting")
        self.send_lines(greeting)
        state = {}
        while True:
            line = self.read_line()
            if line is None:
                return
            log(f"port +{self.offset} got {shown(line)!r}")
            lines = answer(line, state)
            if lines == [b"+ idling"]:
                if self.offset == RECORD_PER_LINE:
                    lines.append(b"* 1 EXISTS")
                    self.send_lines(lines)
                else:
                    self.send_lines(lines)
                    time.sleep(EXISTS_DELAY)
                    self.send_lines([b"* 1 EXISTS"])
                    if self.offset == TURNS:
                        time.sleep(EXISTS_DELAY)
                        self.send_lines([b"* BYE the server is going down"])
                        return
            elif lines:
                self.send_lines(lines)


def serve_connection(sock, context, offset):
    with sock:
        try:
            Connection(sock, context, offset).run()
        except (OSError, ssl.SSLError) as error:
            log(f"port +{offset}: {error}")


def listen(port):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(16)
    return server


def accept_loop(server, context, offset, other=None):
    turn = 0
    while True:
        sock, _ = server.accept()
        chosen = other if other is not None and turn % 2 == 1 else context
        turn += 1
        threading.Thread(target=serve_connection, args=(sock, chosen, offset), daemon=True).start()


def serve(base_port, tls_dir):
    def context_for(name):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(os.path.join(tls_dir, name + ".pem"), os.path.join(tls_dir, name + ".key"))
        return context

    listeners = []
    for offset, name in OFFSETS.items():
        other = context_for("selfsigned") if offset == TURNS else None
        listeners.append((listen(base_port + offset), context_for(name), offset, other))
    for server, context, offset, other in listeners:
        threading.Thread(target=accept_loop, args=(server, context, offset, other), daemon=True).start()
    log(f"listening on 127.0.0.1:{base_port}..{base_port + LAST_PORT}")


# ---- start and stop ----------------------------------------------------------

def peer_pid(run_dir):
    """The pid in RUN_DIR/peer.pid when that process is this script serving
    RUN_DIR; None otherwise."""
    try:
        with open(os.path.join(run_dir, "peer.pid")) as f:
            pid = int(f.read().strip())
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            args = f.read().split(b"\0")
    except (OSError, ValueError):
        return None
    if b"serve" in args and os.fsencode(run_dir) in args and any(a.endswith(b"tls_peer.py") for a in args):
        return pid
    return None


def stop(run_dir):
    pid = peer_pid(run_dir)
    if pid is not None:
        try:
            pidfd = os.pidfd_open(pid)
        except ProcessLookupError:
            pidfd = None
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        if pidfd is not None:
            if not select.select([pidfd], [], [], 30)[0]:
                os.kill(pid, signal.SIGKILL)
                select.select([pidfd], [], [], 10)
            os.close(pidfd)
    try:
        os.remove(os.path.join(run_dir, "peer.pid"))
    except FileNotFoundError:
        pass


def start(run_dir, base_port, tls_dir):
    os.makedirs(run_dir, exist_ok=True)
    run_dir = os.path.abspath(run_dir)
    stop(run_dir)
    ready_read, ready_write = os.pipe()
    with open(os.path.join(run_dir, "peer.log"), "ab") as logfile:
        process = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "serve", run_dir, str(base_port),
             os.path.abspath(tls_dir), str(ready_write)],
            stdin=subprocess.DEVNULL, stdout=logfile, stderr=subprocess.STDOUT,
            pass_fds=(ready_write,), start_new_session=True)
    os.close(ready_write)
    with open(os.path.join(run_dir, "peer.pid"), "w") as f:
        f.write(f"{process.pid}\n")
    # The child writes one byte once every port listens; the pipe closes
    # without it when the child ends.
    ready = select.select([ready_read], [], [], 60)[0] and os.read(ready_read, 1) == b"1"
    os.close(ready_read)
    if not ready:
        print(f"tls_peer.py: the peer did not come up; see {run_dir}/peer.log", file=sys.stderr)
        stop(run_dir)
        return 1
    print(f"tls_peer.py: listening on 127.0.0.1:{base_port}..{base_port + LAST_PORT} (pid {process.pid})")
    return 0


def main(argv):
    if len(argv) == 5 and argv[1] == "start":
        return start(argv[2], int(argv[3]), argv[4])
    if len(argv) == 3 and argv[1] == "stop":
        stop(os.path.abspath(argv[2]))
        return 0
    if len(argv) == 6 and argv[1] == "serve":
        signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
        serve(int(argv[3]), argv[4])
        ready = int(argv[5])
        os.write(ready, b"1")
        os.close(ready)
        threading.Event().wait()
        return 0
    print(__doc__.split("\n\n")[1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
