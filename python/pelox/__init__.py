"""pelox: Python access to a Qorvane workflow server through peloxImp.

An object API over the C library ``libpeloxImp.so`` (loaded with ctypes;
nothing is re-implemented here)::

    import pelox

    with pelox.Client("http://127.0.0.1:4100/qorvane/locator", "ann", "secret") as client:
        job = client.run("Examples/Add Numbers", {"A": 40, "B": 2})
        job.wait()
        print(job.results["Sum"])          # ['42']

The library is found through ``$PELOX_LIBRARY``, next to the package, or on
the dynamic loader's path. For tests and notebooks,
:func:`pelox.testing.emulator` runs the bundled server emulator.
"""

from __future__ import annotations

from typing import Optional, Union

from . import _lib
from ._lib import STRING, Scratch, check, lib, wide
from .client import Client, JobDirectory
from .errors import (
    JobError,
    PeloxConnectionError,
    PeloxError,
    PeloxNotice,
    ProtocolError,
    SessionError,
    TransferError,
    UnknownParameterError,
    ValidationError,
)
from .job import Job, JobState, StepError
from .protocol import Parameter, Parameters, Protocol

__all__ = [
    "Client",
    "Protocol",
    "Parameter",
    "Parameters",
    "Job",
    "JobState",
    "StepError",
    "JobDirectory",
    "PeloxError",
    "PeloxConnectionError",
    "SessionError",
    "ProtocolError",
    "ValidationError",
    "UnknownParameterError",
    "JobError",
    "TransferError",
    "PeloxNotice",
    "library_version",
    "library_path",
    "set_option",
    "OPTION_ERROR_CAPACITY",
    "OPTION_ERROR_LOG",
    "OPTION_RETRY_COUNT",
    "OPTION_RETRY_PAUSE",
    "OPTION_THROW_ON_FAILURE",
    "OPTION_VALIDATION_NOTICES",
]

__version__ = "8.5.0.0"

# Library options (pelox_setPeloxOptions). They hold for the whole process.
OPTION_ERROR_CAPACITY = 100      # error records kept (at least 1)
OPTION_ERROR_LOG = 101           # path of the error log file
OPTION_RETRY_COUNT = 103         # connection retries (at least 10)
OPTION_RETRY_PAUSE = 104         # pause between retries in ms (at least 200)
OPTION_THROW_ON_FAILURE = 105    # transport failures become error records
OPTION_VALIDATION_NOTICES = 107  # report validation notices (PeloxNotice warnings)


def set_option(option: int, value: Union[str, int, bool]) -> None:
    """Sets a library option for the whole process (``OPTION_*``); booleans
    are passed as ``true``/``false``."""
    text = ("true" if value else "false") if isinstance(value, bool) else str(value)
    check(lib.pelox_setPeloxOptions(option, wide(text)), "pelox_setPeloxOptions")


def library_version() -> str:
    """The loaded library's version (``8.5.0.0``)."""
    with Scratch(STRING) as (s,):
        check(lib.pelox_getPeloxInfo(200, s), "pelox_getPeloxInfo")
        return _lib.string_text(s)


def library_path() -> Optional[str]:
    """The file the library was loaded from."""
    return _lib.loaded_library_path()
