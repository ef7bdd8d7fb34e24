#!/usr/bin/env python3
"""A private Dovecot on loopback for the tests, and a small service that controls it.

    dovecotctl.py STATE_DIR IMAP_PORT CONTROL_PORT [TLS_DIR]

With TLS_DIR (a folder of tests/tls/make-certs.sh), Dovecot offers STARTTLS on
IMAP_PORT with TLS_DIR/server.pem, speaks implicit TLS on IMAP_PORT + 10000
(127.0.0.1 and ::1), and also listens on 127.0.0.2:IMAP_PORT, where a client
from 127.0.0.1 counts as remote: there it refuses LOGIN without TLS
(LOGINDISABLED).

Writes its own Dovecot configuration into STATE_DIR (which it wipes first:
every run starts without users, mail or log), runs `dovecot -F` as a child in
a process group of its own, listening on 127.0.0.1:IMAP_PORT and [::1]:IMAP_PORT, and serves a
line protocol on 127.0.0.1:CONTROL_PORT. It exits with a message on standard
error when either port is taken. SIGTERM or SIGINT stops Dovecot (the whole
process group) and ends the service.

Protocol: one request line per connection or several in a row, each answered
by one line, "OK ..." or "ERR reason". A request is words separated by single
spaces; every word is percent-encoded (%XX for any byte, so that spaces,
quotes, backslashes and non-ASCII bytes survive). Replies are plain ASCII.

    PING                          OK <pid of the service>
    USER name password [selectfail]
                                  adds or replaces a user. With selectfail
                                  the user logs in but SELECT INBOX fails.
                                  Names: [A-Za-z0-9_.@-], at most 64 bytes,
                                  not starting with '.'.
                                  Passwords: 1 to 200 bytes, any byte but
                                  control characters and ':' (the passwd-file
                                  field separator); they reach Dovecot as they
                                  are, behind {PLAIN}.
    DELIVER name subject          delivers one small mail to the user's INBOX
                                  with dovecot-lda; OK <ms>, the time right
                                  after the delivery ended, in milliseconds of
                                  CLOCK_MONOTONIC_RAW: the clock behind Wine's
                                  QueryPerformanceCounter.
    LOGINS name                   OK <n>: successful IMAP logins of the user
                                  so far (from Dovecot's log)
    CONNECTIONS name              OK <n>: the user's IMAP sessions open now
                                  (its imap processes)
    KICK name                     doveadm kick: the user's sessions get * BYE
    STOP                          stops Dovecot; OK once its port refuses
    KILL                          SIGKILL to every Dovecot process at once (no
                                  process says goodbye); OK once its port refuses
    START                         starts Dovecot; OK once its port accepts
"""

import os
import re
import select
import shutil
import signal
import socket
import socketserver
import subprocess
import sys
import threading
import time
import urllib.parse
import uuid
from email.utils import formatdate

DOVECOT = "/usr/sbin/dovecot"
DOVEADM = "/usr/bin/doveadm"
LDA = "/usr/lib/dovecot/dovecot-lda"

NAME_PATTERN = re.compile(rb"^[A-Za-z0-9_@-][A-Za-z0-9_.@-]{0,63}$")
LOGIN_PATTERN = re.compile(rb"imap-login: Info: Login: user=<([^>]*)>")
TITLE_PATTERN = re.compile(rb"^dovecot/imap \[(\S+) ")

# The longest socket name that Dovecot makes inside base_dir.
LONGEST_SOCKET = "token-login/imap-urlauth"

START_DEADLINE_S = 30
STOP_DEADLINE_S = 20
LDA_DEADLINE_S = 60


def monotonic_ms():
    # Wine's QueryPerformanceCounter reads CLOCK_MONOTONIC_RAW. CLOCK_MONOTONIC
    # is slewed by time adjustment and drifts away from it by hundreds of
    # milliseconds within an hour, which would spoil every comparison with a
    # time taken inside a test.
    return time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1000.0


def log(message):
    sys.stderr.write("dovecotctl: %s\n" % message)
    sys.stderr.flush()


def port_accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2):
            return True
    except OSError:
        return False


def port_is_free(port):
    # Dovecot binds with SO_REUSEADDR, so a socket of an earlier run that
    # lingers in TIME_WAIT does not count; a listener does.
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        probe.bind(("127.0.0.1", port))
        return True
    except OSError:
        return False
    finally:
        probe.close()


def closed_ancestor(path):
    """The first folder on the way to path (path included) that others may
    not enter, as (folder, mode); None when all of them may be entered.
    Dovecot's auth process runs as the dovecot user and reads the users'
    files; a checkout in a private folder (root's home, mode 0700) would
    fail every login with a temporary error."""
    folder = "/"
    for part in os.path.abspath(path).split("/")[1:]:
        folder = os.path.join(folder, part)
        try:
            mode = os.stat(folder).st_mode & 0o7777
        except FileNotFoundError:
            return None  # made later, with mode 0755
        if not mode & 0o001:
            return folder, mode
    return None


def process_group_members(pgid):
    """Pids of the live (not zombie) processes in the process group."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, "rb") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(b")") + 2:].split()
        if len(fields) > 2 and fields[0] != b"Z" and int(fields[2]) == pgid:
            members.append(int(entry))
    return members


def command_line(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read()
    except OSError:
        return b""


def wait_until(condition, deadline_s):
    end = time.monotonic() + deadline_s
    while True:
        if condition():
            return True
        if time.monotonic() >= end:
            return False
        time.sleep(0.05)


class Dovecot:
    def __init__(self, state, imap_port, tls_dir=None):
        self.state = os.path.abspath(state)
        self.imap_port = imap_port
        self.tls_dir = os.path.abspath(tls_dir) if tls_dir else None
        self.conf = os.path.join(self.state, "dovecot.conf")
        self.base_dir = os.path.join(self.state, "run")
        self.lib_dir = os.path.join(self.state, "lib")
        self.users_dir = os.path.join(self.state, "users")
        self.mail_dir = os.path.join(self.state, "mail")
        self.log_path = os.path.join(self.state, "dovecot.log")
        self.output_path = os.path.join(self.state, "dovecot.out")
        self.process = None
        self.run_lock = threading.Lock()    # start and stop
        self.users_lock = threading.Lock()  # the passwd files
        self.log_lock = threading.Lock()    # the login counts below
        self.log_offset = 0
        self.logins = {}

    # Preparation -------------------------------------------------------

    def prepare(self):
        """Kills a Dovecot left over from an earlier service on this folder,
        wipes the folder's contents and writes the configuration."""
        # Dovecot's sockets live in base_dir; a Unix socket path has at most
        # 107 bytes. start.sh makes the folder under /tmp, far below that.
        longest = os.path.join(self.base_dir, LONGEST_SOCKET)
        if len(longest.encode()) > 107:
            return "state folder path too long for Dovecot's sockets (%s would have %d bytes, 107 at most)" % (
                longest, len(longest.encode()))
        blocked = closed_ancestor(os.path.dirname(self.state))  # the folder itself gets 0755 below
        if blocked:
            return ("Dovecot's auth and mail processes (users dovecot and nobody) cannot enter %s "
                    "(mode %03o): keep the state folder out of private folders" % blocked)
        self.kill_leftover()
        os.makedirs(self.state, exist_ok=True)
        os.chmod(self.state, 0o755)
        for folder in (self.base_dir, self.lib_dir, self.users_dir, self.mail_dir):
            shutil.rmtree(folder, ignore_errors=True)
        for path in (self.log_path, self.output_path):
            if os.path.exists(path):
                os.remove(path)
        # Auth runs as the dovecot user and mail processes as nobody: both
        # must reach the folders, and nobody must own the mail.
        for folder in (self.users_dir, self.mail_dir):
            os.makedirs(folder)
            os.chmod(folder, 0o755)
        shutil.chown(self.mail_dir, "nobody", "nogroup")
        with open(self.conf, "w") as f:
            f.write(self.configuration())
        return None

    def kill_leftover(self):
        try:
            with open(os.path.join(self.base_dir, "master.pid")) as f:
                pid = int(f.read().strip() or "0")
        except (OSError, ValueError):
            return
        if pid <= 0 or self.conf.encode() not in command_line(pid):
            return
        log("stopping a Dovecot left over from an earlier run (pid %d)" % pid)
        self.stop_group(pid)

    def configuration(self):
        tls = self.tls_dir
        ssl = "ssl = no"
        if tls:
            ssl = """ssl = yes
ssl_cert = <{d}/server.pem
ssl_key = <{d}/server.key
ssl_min_protocol = TLSv1.2
# A client from another address than the server's counts as remote: there
# the password may go only over TLS.
local 127.0.0.2 {{
  disable_plaintext_auth = yes
}}""".format(d=tls)
        return self.plain_configuration().format(
            base=self.base_dir, lib=self.lib_dir, log=self.log_path,
            users=self.users_dir, mail=self.mail_dir, port=self.imap_port,
            listen="127.0.0.1, ::1, 127.0.0.2" if tls else "127.0.0.1, ::1",
            ssl=ssl,
            imap_addresses="127.0.0.1, ::1, 127.0.0.2" if tls else "127.0.0.1, ::1",
            imaps_addresses="127.0.0.1, ::1" if tls else "*",
            imaps_port=self.imap_port + 10000 if tls else 0)

    def plain_configuration(self):
        return """\
# Written by dovecotctl.py: a private server for the tests, on loopback only.
protocols = imap
listen = {listen}
base_dir = {base}
state_dir = {lib}
log_path = {log}
{ssl}
disable_plaintext_auth = no
auth_mechanisms = plain login
auth_verbose = yes
# Failed logins answer at once, and no address is penalised for them: the
# tests log in wrongly on purpose, all from 127.0.0.1.
auth_failure_delay = 0
service anvil {{
  unix_listener anvil-auth-penalty {{
    mode = 0
  }}
}}
# The process titles name the user: that is how sessions are counted.
verbose_proctitle = yes
postmaster_address = postmaster@example.test

# One passwd file per user, so that a new user is seen at its first login;
# a single file is re-read at most once a second.
passdb {{
  driver = passwd-file
  args = scheme=PLAIN {users}/%u
}}
# Dovecot refuses to run mail processes as root.
userdb {{
  driver = static
  args = uid=nobody gid=nogroup home={mail}/%u
}}
mail_location = maildir:~/Maildir
protocol imap {{
  mail_max_userip_connections = 100
}}

service imap-login {{
  inet_listener imap {{
    address = {imap_addresses}
    port = {port}
  }}
  inet_listener imaps {{
    address = {imaps_addresses}
    port = {imaps_port}
  }}
}}
"""

    # Running -----------------------------------------------------------

    def running(self):
        return self.process is not None and self.process.poll() is None

    def start(self):
        """None when Dovecot runs and accepts on its port, else the reason."""
        with self.run_lock:
            if self.running():
                return None
            if not port_is_free(self.imap_port):
                return "IMAP port %d on 127.0.0.1 is taken" % self.imap_port
            output = open(self.output_path, "ab")
            try:
                self.process = subprocess.Popen(
                    [DOVECOT, "-F", "-c", self.conf],
                    stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                    start_new_session=True)  # its own process group, for stopping
            finally:
                output.close()
            process = self.process
            if not wait_until(lambda: process.poll() is not None
                              or port_accepts(self.imap_port), START_DEADLINE_S):
                self.stop_group(process.pid)
                self.process = None
                return "Dovecot did not accept on port %d within %d s" % (
                    self.imap_port, START_DEADLINE_S)
            if process.poll() is not None:
                self.process = None
                return "Dovecot exited with %d: %s" % (process.returncode, self.output_tail())
            return None

    def stop(self):
        """None once Dovecot is gone and its port refuses, else the reason."""
        with self.run_lock:
            if self.process is not None:
                self.stop_group(self.process.pid, self.process)
                self.process = None
            if not wait_until(lambda: not port_accepts(self.imap_port), STOP_DEADLINE_S):
                return "port %d still accepts after stopping" % self.imap_port
            return None

    def kill(self):
        """None once every Dovecot process died of SIGKILL and the port refuses."""
        with self.run_lock:
            if self.process is not None:
                pgid = self.process.pid
                try:
                    os.killpg(pgid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                self.process.wait()
                wait_until(lambda: not process_group_members(pgid), STOP_DEADLINE_S)
                self.process = None
            if not wait_until(lambda: not port_accepts(self.imap_port), STOP_DEADLINE_S):
                return "port %d still accepts after the kill" % self.imap_port
            return None

    def stop_group(self, pgid, process=None):
        # The master alone would leave the per-user imap processes running for
        # seconds: signal the whole group.
        try:
            os.killpg(pgid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        if process is not None:
            try:
                process.wait(STOP_DEADLINE_S)
            except subprocess.TimeoutExpired:
                pass
        if not wait_until(lambda: not process_group_members(pgid), STOP_DEADLINE_S):
            log("Dovecot did not end on SIGTERM; killing process group %d" % pgid)
            try:
                os.killpg(pgid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            wait_until(lambda: not process_group_members(pgid), STOP_DEADLINE_S)
        if process is not None and process.poll() is None:
            process.wait()

    def output_tail(self):
        try:
            with open(self.output_path, "rb") as f:
                return f.read()[-600:].decode("utf-8", "replace").replace("\n", " | ")
        except OSError:
            return ""

    # Requests ----------------------------------------------------------

    def add_user(self, name, password, select_fails):
        fields = [name, b"{PLAIN}" + password, b"", b"", b"", b"", b""]
        if select_fails:
            # The user's own mail location points INBOX at a folder that
            # cannot exist, so that SELECT INBOX fails after a good login.
            maildir = os.path.join(self.mail_dir, name.decode(), "Maildir").encode()
            fields.append(b"userdb_mail=maildir:" + maildir + b":INBOX=/nonexistent/inbox")
        line = b":".join(fields) + b"\n"
        path = os.path.join(self.users_dir, name.decode())
        with self.users_lock:
            replacing = os.path.exists(path)
            previous = os.stat(path).st_mtime if replacing else 0
            temporary = path + ".new"
            with open(temporary, "wb") as f:
                f.write(line)
            os.chmod(temporary, 0o644)
            if replacing:
                # Dovecot re-reads a passwd file when its size or its mtime (in
                # seconds) changed, and looks at it at most once a second. Make
                # the mtime differ, and return only once a new second began, so
                # that the next login sees the new line.
                stamp = max(int(time.time()), int(previous) + 1)
                os.utime(temporary, (stamp, stamp))
                os.replace(temporary, path)
                second = int(time.time())
                wait_until(lambda: int(time.time()) > second, 2)
            else:
                os.replace(temporary, path)

    def deliver(self, name, subject):
        message = b"\r\n".join([
            b"From: Sender <sender@example.test>",
            b"To: " + name + b"@example.test",
            b"Subject: " + subject,
            b"Date: " + formatdate(localtime=True).encode(),
            b"Message-ID: <" + uuid.uuid4().hex.encode() + b"@example.test>",
            b"MIME-Version: 1.0",
            b"Content-Type: text/plain; charset=us-ascii",
            b"",
            b"A test message.",
            b""])
        result = subprocess.run(
            [LDA, "-c", self.conf, "-d", name.decode(), "-f", "sender@example.test"],
            input=message, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            timeout=LDA_DEADLINE_S)
        delivered = monotonic_ms()
        if result.returncode != 0:
            text = result.stdout.decode("utf-8", "replace").strip().replace("\n", " | ")
            reason = "no such user: " if result.returncode == 67 else ""  # EX_NOUSER
            return None, "%sdovecot-lda exited with %d: %s" % (reason, result.returncode, text)
        return delivered, None

    def login_count(self, name):
        with self.log_lock:
            try:
                with open(self.log_path, "rb") as f:
                    f.seek(self.log_offset)
                    data = f.read()
            except OSError:
                data = b""
            end = data.rfind(b"\n") + 1  # whole lines only
            for match in LOGIN_PATTERN.finditer(data, 0, end):
                user = match.group(1)
                self.logins[user] = self.logins.get(user, 0) + 1
            self.log_offset += end
            return self.logins.get(name, 0)

    def connection_count(self, name):
        # Each IMAP session has its own imap process (client_limit 1), titled
        # "dovecot/imap [user address state]" from login until it ends.
        process = self.process
        if process is None:
            return 0
        count = 0
        for pid in process_group_members(process.pid):
            match = TITLE_PATTERN.match(command_line(pid))
            if match and match.group(1) == name:
                count += 1
        return count

    def kick(self, name):
        result = subprocess.run([DOVEADM, "-c", self.conf, "kick", name.decode()],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=30)
        if result.returncode != 0:
            text = result.stdout.decode("utf-8", "replace").strip().replace("\n", " | ")
            return "doveadm kick exited with %d: %s" % (result.returncode, text)
        return None


def valid_password(password):
    return (0 < len(password) <= 200 and b":" not in password
            and all(byte >= 0x20 and byte != 0x7F for byte in password))


def serve_request(dovecot, words):
    if not words:
        return "ERR empty request"
    verb = words[0].decode("ascii", "replace")
    args = words[1:]
    if verb == "PING" and not args:
        return "OK %d" % os.getpid()
    if verb in ("START", "STOP", "KILL") and not args:
        error = {"START": dovecot.start, "STOP": dovecot.stop, "KILL": dovecot.kill}[verb]()
        return "ERR " + error if error else "OK"
    if not args or not NAME_PATTERN.match(args[0]):
        return "ERR bad or missing user name"
    name = args[0]
    if verb == "USER" and len(args) in (2, 3):
        if not valid_password(args[1]):
            return "ERR bad password: 1 to 200 bytes, no ':' and no control characters"
        if len(args) == 3 and args[2] != b"selectfail":
            return "ERR unknown option"
        dovecot.add_user(name, args[1], len(args) == 3)
        return "OK"
    if verb == "DELIVER" and len(args) == 2:
        if any(byte < 0x20 for byte in args[1]):
            return "ERR bad subject"
        delivered, error = dovecot.deliver(name, args[1])
        return "ERR " + error if error else "OK %.3f" % delivered
    if verb == "LOGINS" and len(args) == 1:
        return "OK %d" % dovecot.login_count(name)
    if verb == "CONNECTIONS" and len(args) == 1:
        return "OK %d" % dovecot.connection_count(name)
    if verb == "KICK" and len(args) == 1:
        error = dovecot.kick(name)
        return "ERR " + error if error else "OK"
    return "ERR unknown request"


class Handler(socketserver.StreamRequestHandler):
    timeout = 120

    def handle(self):
        while True:
            try:
                line = self.rfile.readline(65536)
            except OSError:  # the caller went silent or away
                return
            if not line:
                return
            words = [urllib.parse.unquote_to_bytes(word)
                     for word in line.rstrip(b"\r\n").split(b" ") if word]
            try:
                reply = serve_request(self.server.dovecot, words)
            except Exception as error:  # keep serving; tell the caller
                reply = "ERR %s: %s" % (type(error).__name__, error)
            log("%s -> %s" % (line.rstrip(b"\r\n").decode("ascii", "replace"), reply))
            self.wfile.write(reply.replace("\r", " ").replace("\n", " ").encode() + b"\r\n")
            self.wfile.flush()


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def main():
    if len(sys.argv) not in (4, 5):
        sys.stderr.write("usage: dovecotctl.py STATE_DIR IMAP_PORT CONTROL_PORT [TLS_DIR]\n")
        return 2
    state, imap_port, control_port = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    tls_dir = sys.argv[4] if len(sys.argv) == 5 else None

    try:
        server = Server(("127.0.0.1", control_port), Handler)
    except OSError as error:
        log("control port %d on 127.0.0.1 is taken: %s" % (control_port, error.strerror))
        return 1
    dovecot = Dovecot(state, imap_port, tls_dir)
    server.dovecot = dovecot

    # Signals only set a flag and wake the main thread through a pipe.
    wake_read, wake_write = os.pipe()
    os.set_blocking(wake_write, False)
    signal.set_wakeup_fd(wake_write)
    stopping = []
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, lambda number, frame: stopping.append(number))

    error = dovecot.prepare() or dovecot.start()
    if error:
        log(error)
        server.server_close()
        return 1
    log("Dovecot %s on 127.0.0.1:%d, control on 127.0.0.1:%d" % (
        subprocess.run([DOVECOT, "--version"], stdout=subprocess.PIPE).stdout.decode().strip(),
        imap_port, control_port))

    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    while not stopping:
        select.select([wake_read], [], [])
        os.read(wake_read, 64)
    log("signal %d: stopping" % stopping[0])
    server.shutdown()
    server.server_close()
    error = dovecot.stop()
    if error:
        log(error)
    return 0


if __name__ == "__main__":
    sys.exit(main())
