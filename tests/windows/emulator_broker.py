#!/usr/bin/env python3
"""Starts and stops pelox-emulator servers for Windows test programs under Wine.

A Windows program under Wine cannot start or wait for a Linux program: Wine's
CreateProcessW starts it but hands back no handle, exit code or pipes. The
Windows tests therefore ask this Linux-side broker, over loopback TCP, for
emulators. CTest starts the broker as a fixture setup and stops it as the
fixture's cleanup:

  emulator_broker.py start --state FILE --emulator PATH [--samples DIR]
                           [--log FILE] [--idle-timeout SECONDS] [--watch-pid PID]
  emulator_broker.py stop --state FILE

"start" returns once the broker listens on an ephemeral 127.0.0.1 port; the
state file (mode 0600) then holds "port N", "token T" and "pid P" lines. A
client must send the token, so that other users of the machine cannot drive
the broker. "stop" asks the broker named by the state file to stop its
emulators and exit; a broker that has already gone is not an error.

Protocol: a client sends blocks of "key value" lines, each block ended by an
empty line, values percent-encoded (UTF-8). One connection holds at most one
emulator, for as long as the connection stays open:

  token T / command start / [keep-root 1] / arg A ...   (args in order)
      starts "pelox-emulator --root DIR/root --port 0 --log DIR/requests.log
      [--seed SAMPLES] A ..." in a fresh temporary DIR, waits up to 10 s for
      its announcement and answers: ok / port / dir / root / control-token /
      [password]; or: error / message (the emulator's standard error).
  command stop
      SIGTERM, SIGKILL after 5 s; answers ok / status (the wait status, as
      waitpid gives it). The connection, and the temporary folder, stay.
  command release / [keep-root 1]
      stops the emulator if it still runs and removes its temporary folder
      unless keep-root is 1; answers ok, then closes the connection.
  (end of connection without release)
      the same, with keep-root as the start request gave it.
  Either way the folder stays when PELOX_KEEP_EMULATOR_ROOT=1 is set for
  the broker.
  token T / command shutdown
      stops every emulator and ends the broker; answers ok first.

No emulator outlives the broker: each is started with the parent-death
signal SIGKILL, and the broker stops them all when it ends, on SIGTERM,
SIGINT or SIGHUP, when the process it watches ends (by default the one that
ran "start", i.e. CTest), and after --idle-timeout seconds (default 900)
without any client connection.
"""

import argparse
import ctypes
import errno
import hmac
import os
import secrets
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

PROTOCOL_REQUEST_LIMIT = 1 << 20  # bytes in one request block
REQUEST_TIMEOUT = 30.0  # a connection must complete its first request within this
START_TIMEOUT = 10.0  # the emulator must announce itself within this
STOP_GRACE = 5.0  # SIGTERM, then SIGKILL after this
PR_SET_PDEATHSIG = 1


def encode(value):
    return urllib.parse.quote(value, safe="")


def decode(value):
    return urllib.parse.unquote(value, errors="surrogateescape")


def format_block(pairs):
    return "".join(f"{k} {encode(v)}\n" for k, v in pairs).encode() + b"\n"


def parse_block(data):
    """Returns a list of (key, value) pairs of one block (without the blank line)."""
    pairs = []
    for line in data.decode("utf-8", "replace").split("\n"):
        if not line:
            continue
        key, _, value = line.partition(" ")
        pairs.append((key, decode(value)))
    return pairs


def wait_status(returncode):
    """Popen's returncode as the status waitpid reports (the Linux launcher's form)."""
    if returncode is None:
        return 0
    return -returncode if returncode < 0 else (returncode & 0xFF) << 8


class Log:
    def __init__(self, path):
        self.file = open(path, "a", buffering=1, encoding="utf-8") if path else None

    def __call__(self, text):
        if self.file:
            stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime())
            self.file.write(f"{stamp} [{os.getpid()}] {text}\n")


class Emulator:
    """One pelox-emulator process in its own temporary folder."""

    def __init__(self, process, directory, keep_root):
        self.process = process
        self.directory = directory
        self.keep_root = keep_root
        self.status = None

    def stop(self):
        if self.status is not None:
            return self.status
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(STOP_GRACE)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.status = wait_status(self.process.returncode)
        return self.status

    def release(self, keep_all):
        self.stop()
        if not (self.keep_root or keep_all):
            shutil.rmtree(self.directory, ignore_errors=True)


class Client:
    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""
        self.authenticated = False
        self.emulator = None
        self.connected_at = time.monotonic()


class ParentWatch:
    """Tells when a process has ended: a pidfd where the kernel has one, else
    the process's start time in /proc (so a reused process ID does not count)."""

    def __init__(self, pid):
        self.pid = pid
        self.fd = None
        self.start_time = None
        if pid <= 0:
            return
        try:
            self.fd = os.pidfd_open(pid)
        except (AttributeError, OSError):
            self.start_time = self._start_time()

    def _start_time(self):
        try:
            with open(f"/proc/{self.pid}/stat", "rb") as f:
                stat = f.read()
            return stat[stat.rindex(b")") + 2:].split()[19]
        except (OSError, ValueError, IndexError):
            return None

    def gone(self):
        if self.pid <= 0:
            return False
        if self.fd is not None:
            return False  # the selector reports it
        return self.start_time is None or self._start_time() != self.start_time


class Broker:
    def __init__(self, args, log):
        self.emulator_path = os.path.abspath(args.emulator)
        self.samples = os.path.abspath(args.samples) if args.samples else None
        self.idle_timeout = args.idle_timeout
        self.log = log
        self.keep_all = os.environ.get("PELOX_KEEP_EMULATOR_ROOT") == "1"
        self.token = secrets.token_hex(24)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.listener.setblocking(False)
        self.port = self.listener.getsockname()[1]
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.listener, selectors.EVENT_READ, "listener")
        self.clients = {}
        self.watch = ParentWatch(args.watch_pid)
        if self.watch.fd is not None:
            self.selector.register(self.watch.fd, selectors.EVENT_READ, "watch")
        self.last_activity = time.monotonic()
        self.running = True
        self.my_pid = os.getpid()

    # -- emulators -------------------------------------------------------------

    def _die_with_broker(self):
        # Runs in the child before exec: the kernel sends SIGKILL when the
        # broker ends, however it ends. A broker that ended before this line
        # would leave the child with a new parent: give up then.
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        if os.getppid() != self.my_pid:
            os._exit(1)

    def start_emulator(self, extra_args, keep_root):
        directory = tempfile.mkdtemp(prefix="pelox-emu-")
        root = os.path.join(directory, "root")
        args = [self.emulator_path, "--root", root, "--port", "0",
                "--log", os.path.join(directory, "requests.log")]
        if self.samples:
            args += ["--seed", self.samples]
        args += extra_args
        err_path = os.path.join(directory, "stderr.txt")
        try:
            with open(err_path, "wb") as err:
                process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                           stderr=err, close_fds=True,
                                           preexec_fn=self._die_with_broker)
        except OSError as e:
            if not (keep_root or self.keep_all):
                shutil.rmtree(directory, ignore_errors=True)
            return None, [("message", f"{self.emulator_path}: {e.strerror}")]
        emulator = Emulator(process, directory, keep_root)
        # The port, then (a password made at start, and) the control token.
        out = b""
        deadline = time.monotonic() + START_TIMEOUT
        fd = process.stdout.fileno()
        while b"control-token=" not in out or b"\n" not in out[out.index(b"control-token="):]:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            sel = selectors.DefaultSelector()
            sel.register(fd, selectors.EVENT_READ)
            ready = sel.select(min(left, 0.1))
            sel.close()
            if not ready:
                continue
            chunk = os.read(fd, 256)
            if not chunk:
                break
            out += chunk
        process.stdout.close()
        text = out.decode("utf-8", "replace")
        port, password, control_token = 0, "", ""
        lines = text.split("\n")
        announced = any(line.startswith("control-token=") for line in lines[:-1])
        if announced:
            try:
                port = int(lines[0])
            except ValueError:
                port = 0
            for line in lines[1:-1]:
                if line.startswith("password="):
                    password = line[len("password="):]
                elif line.startswith("control-token="):
                    control_token = line[len("control-token="):]
                    break
        if port <= 0:
            emulator.stop()
            try:
                with open(err_path, "rb") as f:
                    why = f.read(1023).decode("utf-8", "replace")
            except OSError:
                why = ""
            emulator.release(self.keep_all)
            self.log(f"emulator did not start: {args} {why!r}")
            return None, [("message", why)]
        self.log(f"emulator {process.pid} on port {port} in {directory}: {args[len(args) - len(extra_args):]}")
        reply = [("port", str(port)), ("dir", directory), ("root", root), ("control-token", control_token)]
        if password:
            reply.append(("password", password))
        return emulator, reply

    # -- connections -----------------------------------------------------------

    def accept(self):
        try:
            sock, _ = self.listener.accept()
        except OSError:
            return
        sock.setblocking(False)
        client = Client(sock)
        self.clients[sock] = client
        self.selector.register(sock, selectors.EVENT_READ, "client")
        self.last_activity = time.monotonic()

    def drop(self, client):
        self.selector.unregister(client.sock)
        client.sock.close()
        del self.clients[client.sock]
        if client.emulator:
            client.emulator.release(self.keep_all)
            self.log(f"emulator {client.emulator.process.pid} released")
            client.emulator = None
        self.last_activity = time.monotonic()

    def send(self, client, ok, pairs):
        data = (b"ok\n" if ok else b"error\n") + format_block(pairs)
        client.sock.setblocking(True)
        client.sock.settimeout(REQUEST_TIMEOUT)
        try:
            client.sock.sendall(data)
        except OSError:
            pass
        client.sock.setblocking(False)

    def readable(self, client):
        try:
            chunk = client.sock.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            chunk = b""
        if not chunk:
            self.drop(client)
            return
        client.buffer += chunk
        self.last_activity = time.monotonic()
        while b"\n\n" in client.buffer:
            block, _, client.buffer = client.buffer.partition(b"\n\n")
            if not self.request(client, parse_block(block)):
                self.drop(client)
                return
        if len(client.buffer) > PROTOCOL_REQUEST_LIMIT:
            self.drop(client)

    def request(self, client, pairs):
        """Handles one request block; False ends the connection."""
        fields = dict(pairs)
        if not client.authenticated:
            token = fields.get("token", "")
            if not hmac.compare_digest(token.encode(), self.token.encode()):
                self.send(client, False, [("message", "wrong broker token")])
                self.log("request with a wrong token refused")
                return False
            client.authenticated = True
        command = fields.get("command", "")
        if command == "start":
            if client.emulator:
                self.send(client, False, [("message", "this connection holds an emulator already")])
                return True
            extra = [v for k, v in pairs if k == "arg"]
            emulator, reply = self.start_emulator(extra, fields.get("keep-root") == "1")
            if not emulator:
                self.send(client, False, reply)
                return False
            client.emulator = emulator
            self.send(client, True, reply)
            return True
        if command == "stop":
            status = client.emulator.stop() if client.emulator else 0
            self.send(client, True, [("status", str(status))])
            return True
        if command == "release":
            if client.emulator:
                client.emulator.keep_root = fields.get("keep-root") == "1"
                client.emulator.release(self.keep_all)
                self.log(f"emulator {client.emulator.process.pid} released")
                client.emulator = None
            self.send(client, True, [])
            return False
        if command == "shutdown":
            self.send(client, True, [])
            self.running = False
            return False
        if command == "ping":
            self.send(client, True, [])
            return True
        self.send(client, False, [("message", f"unknown command '{command}'")])
        return False

    # -- main loop -------------------------------------------------------------

    def serve(self):
        stop_signal = []

        def on_signal(signum, _frame):
            stop_signal.append(signum)
            self.running = False

        for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(s, on_signal)
        self.log(f"listening on 127.0.0.1:{self.port}; emulator {self.emulator_path}")
        try:
            while self.running:
                for key, _ in self.selector.select(1.0):
                    if key.data == "listener":
                        self.accept()
                    elif key.data == "watch":
                        self.log("the watched process ended")
                        self.running = False
                    elif key.fileobj in self.clients:
                        self.readable(self.clients[key.fileobj])
                    if not self.running:
                        break
                now = time.monotonic()
                for client in list(self.clients.values()):
                    if not client.authenticated and now - client.connected_at > REQUEST_TIMEOUT:
                        self.drop(client)
                if self.watch.gone():
                    self.log("the watched process ended")
                    self.running = False
                if not self.clients and now - self.last_activity > self.idle_timeout:
                    self.log(f"idle for {self.idle_timeout} s")
                    self.running = False
        finally:
            for client in list(self.clients.values()):
                self.drop(client)
            self.listener.close()
            self.log("stopped" + (f" by signal {stop_signal[0]}" if stop_signal else ""))


# -- state file and commands ---------------------------------------------------

def read_state(path):
    state = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, _, value = line.strip().partition(" ")
            state[key] = value
    return state


def write_state(path, pairs):
    tmp = f"{path}.{os.getpid()}.tmp"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        f.write("".join(f"{k} {v}\n" for k, v in pairs))
    os.replace(tmp, path)


def ask(state_path, command, timeout=30.0):
    """Sends one command to the broker the state file names; True when it answered ok."""
    state = read_state(state_path)
    with socket.create_connection(("127.0.0.1", int(state["port"])), timeout=timeout) as sock:
        sock.sendall(format_block([("token", state["token"]), ("command", command)]))
        reply = b""
        while not reply.endswith(b"\n\n") or reply.count(b"\n") < 2:
            chunk = sock.recv(4096)
            if not chunk:
                break
            reply += chunk
    return reply.startswith(b"ok\n")


def stop_existing(state_path):
    """Ends the broker a state file names, if it still runs; True when one was there."""
    try:
        return ask(state_path, "shutdown")
    except (OSError, KeyError, ValueError):
        return False
    finally:
        try:
            os.unlink(state_path)
        except FileNotFoundError:
            pass


def command_start(args):
    state_path = os.path.abspath(args.state)
    if not os.access(args.emulator, os.X_OK):
        print(f"emulator_broker: no pelox-emulator at {args.emulator}: build the Linux tree first "
              f"(cmake -B build -G Ninja && cmake --build build --target pelox-emulator) "
              f"or set PELOX_LINUX_EMULATOR", file=sys.stderr)
        return 1
    if args.samples and not os.path.isdir(args.samples):
        print(f"emulator_broker: no samples folder at {args.samples}", file=sys.stderr)
        return 1
    os.makedirs(os.path.dirname(state_path), exist_ok=True)
    # A broker left from an earlier run in this tree goes first.
    if os.path.exists(state_path) and stop_existing(state_path):
        print("emulator_broker: stopped the broker of an earlier run", file=sys.stderr)
    if args.watch_pid is None:
        args.watch_pid = os.getppid()
    log_path = args.log or os.path.splitext(state_path)[0] + ".log"

    ready_r, ready_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        # The broker: detached from the caller's output (CTest waits for the
        # pipes of a test to close), logging to its own file.
        os.close(ready_r)
        try:
            devnull = os.open(os.devnull, os.O_RDWR)
            log_fd = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
            os.dup2(devnull, 0)
            os.dup2(log_fd, 1)
            os.dup2(log_fd, 2)
            os.close(devnull)
            os.close(log_fd)
            broker = Broker(args, Log(log_path))
            write_state(state_path, [("port", broker.port), ("token", broker.token), ("pid", os.getpid())])
            os.write(ready_w, b"ok\n")
            os.close(ready_w)
            broker.serve()
        except BaseException as e:  # noqa: BLE001 - reported through the log, then exit
            print(f"emulator_broker: {e!r}", file=sys.stderr)
            os._exit(1)
        try:
            state = read_state(state_path)
            if state.get("pid") == str(os.getpid()):
                os.unlink(state_path)
        except OSError:
            pass
        os._exit(0)

    os.close(ready_w)
    answer = b""
    deadline = time.monotonic() + 15.0
    while time.monotonic() < deadline:
        sel = selectors.DefaultSelector()
        sel.register(ready_r, selectors.EVENT_READ)
        got = sel.select(deadline - time.monotonic())
        sel.close()
        if not got:
            break
        chunk = os.read(ready_r, 64)
        if not chunk:
            break
        answer += chunk
    os.close(ready_r)
    if answer != b"ok\n":
        print(f"emulator_broker: the broker did not start (see {log_path})", file=sys.stderr)
        return 1
    state = read_state(state_path)
    print(f"emulator broker {state['pid']} listening on 127.0.0.1:{state['port']} "
          f"(state {state_path}, log {log_path})")
    return 0


def command_stop(args):
    if not os.path.exists(args.state):
        print("emulator_broker: no broker running")
        return 0
    pid = read_state(args.state).get("pid", "?")
    if stop_existing(args.state):
        print(f"emulator broker {pid} stopped")
    else:
        print(f"emulator broker {pid} had already ended")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    start = sub.add_parser("start", help="start a broker in the background")
    start.add_argument("--state", required=True, help="file that receives port, token and process ID")
    start.add_argument("--emulator", required=True, help="the Linux pelox-emulator")
    start.add_argument("--samples", help="catalogue each emulator's root is seeded with")
    start.add_argument("--log", help="the broker's log (default: the state file's name with .log)")
    start.add_argument("--idle-timeout", type=float, default=900.0,
                       help="seconds without any client after which the broker ends (default 900)")
    start.add_argument("--watch-pid", type=int,
                       help="end when this process ends (default: the caller; 0: none)")
    stop = sub.add_parser("stop", help="stop the broker a state file names")
    stop.add_argument("--state", required=True)
    args = parser.parse_args()
    if args.command == "start":
        return command_start(args)
    return command_stop(args)


if __name__ == "__main__":
    sys.exit(main())
