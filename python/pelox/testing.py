"""The bundled server emulator, for tests and notebooks.

::

    from pelox.testing import emulator

    with emulator() as url:
        with pelox.Client(url, "ann", "secret") as client:
            ...

The emulator (``pelox-emulator``) serves 127.0.0.1 only, on a free port,
from a fresh temporary root seeded with its sample catalogue; any user logs
in with the password ``secret`` (given to it on its command line, as fits a
test server; started by hand it makes a random one). It is found through ``$PELOX_EMULATOR``,
next to the library (its CMake build tree, or the ``bin`` folder of an
installation), or on ``PATH``.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request
from typing import Iterator, List, Optional, Sequence

from . import _lib

__all__ = ["emulator", "Emulator", "find_emulator"]

EMULATOR_NAME = "pelox-emulator"


def _emulator_candidates() -> List[str]:
    found: List[str] = []
    env = os.environ.get("PELOX_EMULATOR")
    if env:
        found.append(env)
    recorded = _lib._layout("EMULATOR")
    if recorded:
        found.append(recorded)
    library = _lib.loaded_library_path()
    if library:
        libdir = os.path.dirname(os.path.realpath(library))
        found.append(os.path.join(libdir, os.pardir, "emulator", EMULATOR_NAME))  # CMake build tree
        found.append(os.path.join(libdir, os.pardir, "bin", EMULATOR_NAME))  # <prefix>/lib
        found.append(os.path.join(libdir, os.pardir, os.pardir, "bin", EMULATOR_NAME))  # <prefix>/lib/<arch>
    on_path = shutil.which(EMULATOR_NAME)
    if on_path:
        found.append(on_path)
    return [os.path.normpath(p) for p in found]


def find_emulator() -> str:
    """The path of ``pelox-emulator``; raises FileNotFoundError when none is found."""
    env = os.environ.get("PELOX_EMULATOR")
    candidates = _emulator_candidates()
    for path in candidates:
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
        if env and path == os.path.normpath(env):
            raise FileNotFoundError("PELOX_EMULATOR=%s is not an executable file" % env)
    raise FileNotFoundError("pelox-emulator not found (looked at %s); set PELOX_EMULATOR"
                            % ", ".join(candidates))


class Emulator:
    """A running ``pelox-emulator``; :meth:`start` and :meth:`stop` it, or use
    it as a context manager.

    Args:
        args: extra command-line arguments (``"--profile", "v7"``; see
            ``pelox-emulator --help``). ``--root``, ``--port`` and ``--log``
            are set here, and ``--password secret`` unless ``args`` give
            ``--password`` or ``--users``.
        path: the emulator program (default: :func:`find_emulator`).
        start_timeout: seconds to wait for the port to be announced.
    """

    def __init__(self, *args: str, path: Optional[str] = None, start_timeout: float = 10.0) -> None:
        self.args: Sequence[str] = args
        self.path: str = path or find_emulator()
        self.start_timeout = start_timeout
        self.port: int = 0
        self.directory: Optional[str] = None
        self._process: Optional[subprocess.Popen] = None
        self.control_token: str = ""

    @property
    def root(self) -> str:
        """The server root (``catalogue/``, ``jobs/<user>/<jobID>/``)."""
        return os.path.join(self.directory or "", "root")

    @property
    def base_url(self) -> str:
        """``http://127.0.0.1:PORT``, the server root URL."""
        return "http://127.0.0.1:%d" % self.port

    @property
    def url(self) -> str:
        """The locator URL, to give to :class:`pelox.Client`."""
        return self.base_url + "/qorvane/locator"

    def start(self) -> "Emulator":
        self.directory = tempfile.mkdtemp(prefix="pelox-emu-")
        out_path = os.path.join(self.directory, "stdout.txt")
        err_path = os.path.join(self.directory, "stderr.txt")
        password: List[str] = []
        if "--password" not in self.args and "--users" not in self.args:
            password = ["--password", "secret"]
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            self._process = subprocess.Popen(
                [self.path, "--root", self.root, "--port", "0",
                 "--log", os.path.join(self.directory, "requests.log"), *password, *self.args],
                stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        # Its output: the port, then the control endpoint's token.
        deadline = time.monotonic() + self.start_timeout
        while time.monotonic() < deadline and self._process.poll() is None:
            with open(out_path, "rb") as f:
                lines = f.read().split(b"\n")
            tokens = [line[len(b"control-token="):] for line in lines[:-1] if line.startswith(b"control-token=")]
            if tokens and lines[0].strip().isdigit():
                self.port = int(lines[0])
                self.control_token = tokens[0].decode("ascii")
                return self
            time.sleep(0.02)
        with open(err_path, "rb") as f:
            why = f.read().decode("utf-8", "replace")
        self.stop()
        raise RuntimeError("pelox-emulator did not start: " + why)

    def stop(self) -> None:
        """Stops the emulator (SIGTERM, then SIGKILL after 5 s) and removes
        its directory unless ``$PELOX_KEEP_EMULATOR_ROOT`` is ``1``."""
        if self._process is not None:
            if self._process.poll() is None:
                self._process.terminate()
                try:
                    self._process.wait(5)
                except subprocess.TimeoutExpired:
                    self._process.kill()
                    self._process.wait()
            self._process = None
        if self.directory and os.environ.get("PELOX_KEEP_EMULATOR_ROOT") != "1":
            shutil.rmtree(self.directory, ignore_errors=True)
        self.directory = None

    def control(self, command: str) -> str:
        """``GET /qorvane-control/<command>`` (``counts?op=Login``,
        ``fault?op=GetJobStatus&kind=http-500&count=1``); the answer's text."""
        # Straight to loopback: proxy settings of the environment do not apply.
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        request = urllib.request.Request("%s/qorvane-control/%s" % (self.base_url, command),
                                         headers={"X-Pelox-Control-Token": self.control_token})
        with opener.open(request, timeout=30) as answer:
            return answer.read().decode("utf-8")

    def count(self, operation: str) -> int:
        """How often an operation was called since start or the last reset."""
        return int(self.control("counts?op=" + urllib.parse.quote(operation)).strip() or 0)

    def __enter__(self) -> "Emulator":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


@contextlib.contextmanager
def emulator(*args: str) -> Iterator[str]:
    """Runs the bundled emulator for the ``with`` block and yields its URL
    (the locator URL, to give to :class:`pelox.Client`). Extra arguments go to
    the emulator (``emulator("--profile", "v7")``)."""
    with Emulator(*args) as emu:
        yield emu.url
