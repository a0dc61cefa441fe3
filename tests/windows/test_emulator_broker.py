#!/usr/bin/env python3
"""The emulator broker's promises, checked from the Linux side: only token
holders drive it, an emulator lives as long as the connection holding it,
and no emulator or temporary folder outlives the broker, however it ends.

  test_emulator_broker.py --emulator PATH [--samples DIR]
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

BROKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "emulator_broker.py")
EMULATOR = None
SAMPLES = None


def block(pairs):
    return "".join(f"{k} {urllib.parse.quote(v, safe='')}\n" for k, v in pairs).encode() + b"\n"


def read_reply(sock):
    data = b""
    while b"\n\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            break
        data += chunk
    lines = data.decode().split("\n")
    fields = {}
    for line in lines[1:]:
        if line:
            key, _, value = line.partition(" ")
            fields[key] = urllib.parse.unquote(value)
    return lines[0], fields


def port_open(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
        return True
    except OSError:
        return False


def wait_until(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie has ended too.
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


class BrokerTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="pelox-broker-test-")
        # The broker's emulators make their temporary folders here, so that
        # a folder left behind shows.
        self.tmp = os.path.join(self.work, "tmp")
        os.mkdir(self.tmp)
        self.state = os.path.join(self.work, "broker.state")

    def tearDown(self):
        subprocess.run([sys.executable, BROKER, "stop", "--state", self.state], capture_output=True)
        subprocess.run(["rm", "-rf", self.work])

    def start_broker(self, *extra):
        args = [sys.executable, BROKER, "start", "--state", self.state, "--emulator", EMULATOR]
        if SAMPLES:
            args += ["--samples", SAMPLES]
        env = dict(os.environ, TMPDIR=self.tmp)
        env.pop("PELOX_KEEP_EMULATOR_ROOT", None)
        done = subprocess.run(args + list(extra), env=env, capture_output=True, text=True, timeout=30)
        self.assertEqual(done.returncode, 0, done.stderr)
        state = {}
        with open(self.state) as f:
            for line in f:
                key, _, value = line.strip().partition(" ")
                state[key] = value
        self.assertEqual(os.stat(self.state).st_mode & 0o077, 0, "the state file holds the token")
        return int(state["port"]), state["token"], int(state["pid"])

    def start_emulator(self, port, token, *args):
        sock = socket.create_connection(("127.0.0.1", port), timeout=30)
        request = [("token", token), ("command", "start"), ("arg", "--password"), ("arg", "secret")]
        request += [("arg", a) for a in args]
        sock.sendall(block(request))
        status, fields = read_reply(sock)
        self.assertEqual(status, "ok", fields)
        return sock, fields

    def leftovers(self):
        return os.listdir(self.tmp)

    def test_emulator_lives_as_long_as_its_connection(self):
        port, token, _ = self.start_broker()

        # A wrong token is refused before anything starts.
        with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
            sock.sendall(block([("token", "x" + token[1:]), ("command", "start")]))
            status, fields = read_reply(sock)
            self.assertEqual((status, fields.get("message")), ("error", "wrong broker token"))
            self.assertEqual(sock.recv(1), b"", "the connection ends after a refusal")
        self.assertEqual(self.leftovers(), [])

        # Arguments reach the emulator unchanged (spaces, '%', non-ASCII);
        # the seeded root is there; stop keeps the folder, release removes it.
        sock, emu = self.start_emulator(port, token, "--status", "busy 100% \u00fcber")
        emu_port = int(emu["port"])
        self.assertTrue(os.path.isfile(os.path.join(emu["root"], "catalogue", "Examples", "Add Numbers.xml")))
        with socket.create_connection(("127.0.0.1", emu_port), timeout=30) as http:
            http.sendall(f"GET /qorvane/serverstatus HTTP/1.1\r\nHost: 127.0.0.1:{emu_port}\r\n"
                         "Connection: close\r\n\r\n".encode())
            page = b""
            while chunk := http.recv(65536):
                page += chunk
        self.assertIn("busy 100% \u00fcber".encode(), page)
        sock.sendall(block([("command", "stop")]))
        self.assertEqual(read_reply(sock), ("ok", {"status": "0"}))
        self.assertFalse(port_open(emu_port))
        self.assertTrue(os.path.isdir(emu["dir"]))
        sock.sendall(block([("command", "release")]))
        self.assertEqual(read_reply(sock)[0], "ok")
        self.assertFalse(os.path.exists(emu["dir"]))
        sock.close()

        # A program that ends without releasing: its connection closes and
        # the broker stops the emulator and removes its folder.
        sock, emu = self.start_emulator(port, token)
        self.assertTrue(port_open(int(emu["port"])))
        sock.close()
        self.assertTrue(wait_until(lambda: not port_open(int(emu["port"]))))
        self.assertTrue(wait_until(lambda: not os.path.exists(emu["dir"])))

        # A failed start answers the emulator's complaint and leaves nothing.
        with socket.create_connection(("127.0.0.1", port), timeout=30) as sock:
            sock.sendall(block([("token", token), ("command", "start"), ("arg", "--profile"), ("arg", "nosuch")]))
            status, fields = read_reply(sock)
        self.assertEqual(status, "error")
        self.assertIn("unknown profile 'nosuch'", fields["message"])
        self.assertEqual(self.leftovers(), [])

    def test_no_emulator_outlives_the_broker(self):
        # Shutdown (the fixture's cleanup) stops held emulators and clears up.
        port, token, pid = self.start_broker()
        sock, emu = self.start_emulator(port, token)
        stopped = subprocess.run([sys.executable, BROKER, "stop", "--state", self.state], capture_output=True,
                                 text=True, timeout=60)
        self.assertEqual(stopped.returncode, 0, stopped.stderr)
        self.assertTrue(wait_until(lambda: not alive(pid)))
        self.assertFalse(port_open(int(emu["port"])))
        self.assertEqual(self.leftovers(), [])
        self.assertFalse(os.path.exists(self.state))
        sock.close()
        # Stopping a broker that is gone is no error.
        self.assertEqual(subprocess.run([sys.executable, BROKER, "stop", "--state", self.state],
                                        capture_output=True).returncode, 0)

        # SIGKILL leaves the broker no say: its emulators die with it.
        port, token, pid = self.start_broker()
        sock, emu = self.start_emulator(port, token)
        os.kill(pid, signal.SIGKILL)
        self.assertTrue(wait_until(lambda: not port_open(int(emu["port"]))), "emulator outlived its broker")
        sock.close()
        # (Its folder stays: nobody is left to remove it.)
        subprocess.run(["rm", "-rf", emu["dir"]])

        # The broker ends with the process it watches (CTest, normally).
        watched = subprocess.Popen(["sleep", "60"])
        port, token, pid = self.start_broker("--watch-pid", str(watched.pid))
        sock, emu = self.start_emulator(port, token)
        watched.kill()
        watched.wait()
        self.assertTrue(wait_until(lambda: not alive(pid)), "broker outlived the watched process")
        self.assertFalse(port_open(int(emu["port"])))
        self.assertEqual(self.leftovers(), [])
        sock.close()

        # And without any client it ends by itself.
        port, token, pid = self.start_broker("--idle-timeout", "1")
        self.assertTrue(wait_until(lambda: not alive(pid), 15), "idle broker did not end")


def main():
    global EMULATOR, SAMPLES
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--samples")
    args, rest = parser.parse_known_args()
    EMULATOR, SAMPLES = args.emulator, args.samples
    if not os.access(EMULATOR, os.X_OK):
        print(f"no pelox-emulator at {EMULATOR}", file=sys.stderr)
        return 1
    return 0 if unittest.main(argv=[sys.argv[0]] + rest, exit=False).result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
