"""The C library through ctypes: finding and loading it, the prototypes of its
50 exports, UTF-16 text both ways, the library objects behind handles and the
status-code check that turns failures into exceptions.

Nothing here re-implements the library: every operation is one or more calls
of its exports.
"""

from __future__ import annotations

import ctypes
import os
import threading
import warnings
from ctypes import POINTER, c_char_p, c_int32, c_ubyte, c_uint16, c_uint32, c_void_p
from typing import Iterable, Iterator, List, Optional, Sequence, Type

from . import errors as _errors

# The interface version this package was written for; the library must serve it.
INTERFACE_VERSION = b"8.5.0.0"

LIBRARY_NAME = "libpeloxImp.so"
SOAP_LIBRARY_NAME = "libpeloxImp_soap.so"

# Object types (enum pelox_object_type).
STRING, STRING_ARRAY, PROTOCOL_INFO, RESULT_INFO = 1, 2, 3, 4

# The code each type's accessors return for a handle that is not registered.
UNKNOWN_HANDLE_CODE = {STRING: -999, STRING_ARRAY: -998, PROTOCOL_INFO: -996, RESULT_INFO: -993}

_P = c_void_p  # const pelox_char *: zero-terminated UTF-16
_I = c_int32

_PROTOTYPES = {
    "peloxImp_createObject": (_I, [_I]),
    "peloxImp_removeObject": (None, [_I, _I]),
    "peloxImp_getObjectSize": (_I, [_I, _I, POINTER(_I)]),
    "peloxImp_checkVersion": (_I, [c_char_p]),
    "pelox_setPeloxOptions": (_I, [_I, _P]),
    "pelox_getPeloxInfo": (_I, [_I, _I]),
    "pelox_getPeloxErrors": (_I, [_I, _I]),
    "string_getText": (c_void_p, [_I]),
    "string_getBoolValue": (c_ubyte, [_I]),
    "stringArray_getStringAtIndex": (_I, [_I, c_uint32, _I]),
    "stringArray_getTextAtIndex": (c_void_p, [_I, c_uint32]),
    "resultInfo_getNames": (_I, [_I, _I]),
    "resultInfo_getValues": (_I, [_I, _P, _I]),
    "pelox_login": (_I, [_P, _P, _P, c_void_p, _I, _P]),
    "pelox_getServerConfiguration": (_I, [_P, _I]),
    "pelox_getServerStatus": (_I, [_P, _I]),
    "pelox_listProtocols": (_I, [_P, _P, _I, _I]),
    "pelox_listContents2": (_I, [_P, _P, _I, _I, _I, _P]),
    "pelox_getProtocolVersion": (_I, [_P, _P, POINTER(_I)]),
    "pelox_getProtocolParameters": (_I, [_P, _P, _I, _I]),
    "pelox_getCalculablePropertiesByCategory": (_I, [_P, _I]),
    "protocolInfo_getParameterProperty": (_I, [_I, _I, _I, _I]),
    "protocolInfo_getParameterPropertyForName": (_I, [_I, _P, _I, _I]),
    "protocolInfo_getParameterPropertyType": (_I, [_I, _P, _I, _I, POINTER(c_ubyte), _I]),
    "protocolInfo_setParameterValues": (_I, [_I, _I, c_void_p]),
    "protocolInfo_setParameterValue": (_I, [_I, _I, _P]),
    "protocolInfo_setOrAddParameter": (_I, [_I, _P, c_void_p]),
    "protocolInfo_addGlobalPropertyResult": (_I, [_I, _P]),
    "protocolInfo_getProtocolStringAttribute": (_I, [_I, _I, _I]),
    "protocolInfo_getProtocolComment": (_I, [_I, _I]),
    "protocolInfo_getProtocolDescription": (_I, [_I, _I]),
    "pelox_createJob": (_I, [_P, _I, _I]),
    "pelox_launchJob": (_I, [_P, _P, _I, _I, _I, _P]),
    "pelox_launchProtocol": (_I, [_P, _P, _I, _I, _I]),
    "pelox_getJobStatus": (_I, [_P, _P, POINTER(_I), _I]),
    "pelox_getJobErrors": (_I, [_P, _P, _I, _I]),
    "pelox_getJobResults": (_I, [_P, _P, _I]),
    "pelox_stopJob": (_I, [_P, _P]),
    "pelox_releaseJob": (_I, [_P, _P]),
    "pelox_continueJob": (_I, [_P, _P]),
    "pelox_reconnectToJob": (_I, [_P, _P, _I]),
    "pelox_getClientInstructions": (_I, [_I, _P]),
    "pelox_uploadFile": (_I, [_P, _P, _P]),
    "pelox_uploadJobFile": (_I, [_P, _P, _P, _P]),
    "pelox_downloadFile": (_I, [_P, _P, _P]),
    "pelox_checkFileAccess": (_I, [_P, _P, POINTER(c_ubyte)]),
    "pelox_importComponent": (_I, [_P, _P, _P]),
    "pelox_exportComponent": (_I, [_P, _P, _P]),
    "pelox_deleteComponent": (_I, [_P, _P]),
    "pelox_renameComponent": (_I, [_P, _P, _P]),
}

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


def _layout(name: str) -> Optional[str]:
    """A path recorded by an installation in pelox/_layout.py (relative paths
    are relative to the package), or None."""
    try:
        from . import _layout as layout  # type: ignore[attr-defined]
    except ImportError:
        return None
    value = getattr(layout, name, None)
    if not value:
        return None
    return os.path.normpath(os.path.join(_PACKAGE_DIR, value))


def library_candidates() -> List[str]:
    """Where the library is looked for, in order: ``$PELOX_LIBRARY``; the
    package's own folder and the folder an installation recorded (next to
    the package); for the package in the project's source tree, the CMake
    build tree (``$PELOX_BUILD_DIR``, else ``build/``); the dynamic loader's
    search path."""
    found: List[str] = []
    env = os.environ.get("PELOX_LIBRARY")
    if env:
        found.append(env)
    folders = [_PACKAGE_DIR, _layout("LIBRARY_DIR")]
    source_tree = os.path.dirname(os.path.dirname(_PACKAGE_DIR))
    if os.path.isfile(os.path.join(source_tree, "include", "peloxImp.h")):
        build = os.environ.get("PELOX_BUILD_DIR") or os.path.join(source_tree, "build")
        folders.append(os.path.join(build, "src"))
    for folder in folders:
        if folder:
            path = os.path.join(folder, LIBRARY_NAME)
            if os.path.exists(path):
                found.append(path)
    found.append(LIBRARY_NAME + ".8")  # the loader path, by SONAME
    found.append(LIBRARY_NAME)
    return found


def _load() -> ctypes.CDLL:
    errors = []
    env = os.environ.get("PELOX_LIBRARY")
    for candidate in library_candidates():
        try:
            if os.path.sep in candidate:
                # The companion library beside it satisfies the dependency even
                # where the library's RPATH does not lead there.
                soap = os.path.join(os.path.dirname(candidate), SOAP_LIBRARY_NAME)
                if os.path.exists(soap):
                    ctypes.CDLL(soap)
            lib = ctypes.CDLL(candidate)
        except OSError as e:
            if env and candidate == env:
                raise ImportError("PELOX_LIBRARY=%s cannot be loaded: %s" % (env, e)) from e
            errors.append(str(e))
            continue
        for name, (restype, argtypes) in _PROTOTYPES.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        rc = lib.peloxImp_checkVersion(INTERFACE_VERSION)
        if rc != 0:
            raise ImportError("%s does not serve interface version %s (code %d)"
                              % (candidate, INTERFACE_VERSION.decode(), rc))
        return lib
    raise ImportError("libpeloxImp.so not found: set PELOX_LIBRARY to its path, install it next to the "
                      "package or on the loader path (%s)" % "; ".join(errors))


lib = _load()


def loaded_library_path() -> Optional[str]:
    """The file the library was loaded from (read from the process's memory map)."""
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            for line in maps:
                fields = line.rstrip("\n").split(None, 5)
                if len(fields) == 6 and os.path.basename(fields[5]).startswith(LIBRARY_NAME):
                    return fields[5]
    except OSError:
        pass
    return None


# ---------------------------------------------------------------------------
# Text
# ---------------------------------------------------------------------------

def wide(text: Optional[str]):
    """A Python text as a zero-terminated UTF-16 buffer (None stays null).
    Characters beyond the BMP become surrogate pairs; a lone surrogate is
    passed on as it is (the library reads it as U+FFFD). A text with a NUL
    character is refused (ValueError), as the library would see only the
    part before it."""
    if text is None:
        return None
    if not isinstance(text, str):
        text = os.fspath(text) if isinstance(text, os.PathLike) else str(text)
    if "\0" in text:
        raise ValueError("embedded NUL character in %r" % text)
    data = text.encode("utf-16-le", "surrogatepass")
    return (c_uint16 * (len(data) // 2 + 1)).from_buffer_copy(data + b"\0\0")


def wide_list(texts: Sequence[str]):
    """A null-terminated array of UTF-16 texts; returns (array, buffers) so the
    caller keeps the buffers alive for the call."""
    buffers = [wide(t) for t in texts]
    array = (c_void_p * (len(buffers) + 1))(*[ctypes.addressof(b) for b in buffers], None)
    return array, buffers


def _from_wide(pointer: Optional[int], length: int) -> str:
    if not pointer or length <= 0:
        return ""
    return ctypes.string_at(pointer, 2 * length).decode("utf-16-le", "surrogatepass")


# ---------------------------------------------------------------------------
# Library objects
# ---------------------------------------------------------------------------

class _Counter:
    """Handles this package created and has not yet removed, per type."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.live = {STRING: 0, STRING_ARRAY: 0, PROTOCOL_INFO: 0, RESULT_INFO: 0}

    def add(self, kind: int, n: int) -> None:
        with self._lock:
            self.live[kind] += n


counter = _Counter()


def create(kind: int) -> int:
    handle = lib.peloxImp_createObject(kind)
    if handle == 0:
        raise _errors.PeloxError(-984, ["peloxImp_createObject(%d) returned 0" % kind], "peloxImp_createObject")
    counter.add(kind, 1)
    return handle


def remove(kind: int, handle: int) -> None:
    lib.peloxImp_removeObject(kind, handle)
    counter.add(kind, -1)


class _ResultInfoPool:
    """Result infos are never freed by the library (removal only empties
    them), so they are kept here and reused: one per concurrent use."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._free: List[int] = []
        self.created = 0

    def acquire(self) -> int:
        with self._lock:
            if self._free:
                return self._free.pop()
            self.created += 1
        handle = lib.peloxImp_createObject(RESULT_INFO)
        if handle == 0:
            raise _errors.PeloxError(-984, ["peloxImp_createObject(4) returned 0"], "peloxImp_createObject")
        return handle

    def release(self, handle: int) -> None:
        lib.peloxImp_removeObject(RESULT_INFO, handle)  # empties it
        with self._lock:
            self._free.append(handle)


result_infos = _ResultInfoPool()


class Scratch:
    """Library objects for one operation, removed (result infos: emptied and
    pooled) when the ``with`` block ends, however it ends.

        with Scratch(STRING_ARRAY, STRING_ARRAY) as (protocols, folders):
            ...
    """

    def __init__(self, *kinds: int) -> None:
        self._kinds = kinds
        self._made: List[tuple] = []

    def __enter__(self):
        try:
            for kind in self._kinds:
                handle = result_infos.acquire() if kind == RESULT_INFO else create(kind)
                self._made.append((kind, handle))
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return [h for _, h in self._made]

    def __exit__(self, *exc) -> None:
        for kind, handle in reversed(self._made):
            if kind == RESULT_INFO:
                result_infos.release(handle)
            else:
                remove(kind, handle)
        self._made.clear()


def size_of(kind: int, handle: int) -> int:
    n = c_int32(0)
    check(lib.peloxImp_getObjectSize(kind, handle, ctypes.byref(n)), "peloxImp_getObjectSize")
    return n.value


def string_text(handle: int) -> str:
    """The text of a string object (its length is the object's size)."""
    length = size_of(STRING, handle)
    return _from_wide(lib.string_getText(handle), length)


def array_texts(array: int, scratch: Optional[int] = None) -> List[str]:
    """The elements of a string array, each copied through a string object so
    that its length is known without scanning for the terminator."""
    count = size_of(STRING_ARRAY, array)
    if count == 0:
        return []
    if scratch is None:
        with Scratch(STRING) as (s,):
            return array_texts(array, s)
    out = []
    for i in range(count):
        check(lib.stringArray_getStringAtIndex(array, i, scratch), "stringArray_getStringAtIndex")
        out.append(string_text(scratch))
    return out


def result_dict(info: int) -> "dict[str, List[str]]":
    """A result info as an ordered dict name -> values (a name listed twice
    appears once, with the values the library keeps for it)."""
    out: "dict[str, List[str]]" = {}
    with Scratch(STRING, STRING_ARRAY, STRING_ARRAY) as (s, names, values):
        check(lib.resultInfo_getNames(info, names), "resultInfo_getNames")
        for name in array_texts(names, s):
            if name in out:
                continue
            check(lib.resultInfo_getValues(info, wide(name), values), "resultInfo_getValues")
            out[name] = array_texts(values, s)
    return out


# ---------------------------------------------------------------------------
# Status codes
# ---------------------------------------------------------------------------

def error_messages(record: int) -> List[str]:
    """Reads (and so drops) an error record's messages."""
    with Scratch(STRING_ARRAY) as (messages,):
        rc = lib.pelox_getPeloxErrors(record, messages)
        if rc != 0:
            return ["error record %d is no longer held (%s)" % (record, _errors.code_name(rc))]
        return array_texts(messages)


def check(rc: int, function: str, family: Optional[Type[_errors.PeloxError]] = None,
          accept: Iterable[int] = ()) -> int:
    """Returns rc when the call succeeded (0, a code in ``accept``, or a
    notice, which is issued as a :class:`PeloxNotice` warning); raises the
    matching :class:`PeloxError` otherwise."""
    if rc == 0 or rc in accept:
        return rc
    if rc <= -1000:
        warnings.warn(_errors.PeloxNotice(rc, function), stacklevel=3)
        return rc
    if rc > 0:
        messages = error_messages(rc)
    else:
        messages = [_errors.STATUS_CODES.get(rc, ("", "Unknown status code."))[1]]
    raise _errors.error_class(rc, family)(rc, messages, function)


def iter_texts(values) -> Iterator[str]:
    """Parameter values as texts: None is no value, a text or a number is one
    value, booleans are ``true``/``false``, other iterables give one value each."""
    if values is None:
        return
    if isinstance(values, (str, bytes, int, float, os.PathLike)):
        values = [values]
    for v in values:
        if isinstance(v, bool):
            yield "true" if v else "false"
        elif isinstance(v, bytes):
            yield v.decode("utf-8")
        elif isinstance(v, os.PathLike):
            yield os.fspath(v)
        else:
            yield str(v)
