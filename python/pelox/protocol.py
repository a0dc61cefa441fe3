"""Protocols and their parameters: the library's protocol-info objects."""

from __future__ import annotations

import weakref
from ctypes import byref, c_int32, c_ubyte
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Mapping, NoReturn, Optional

from . import _lib
from ._lib import PROTOCOL_INFO, STRING, STRING_ARRAY, Scratch, check, lib, wide
from .errors import ProtocolError, UnknownParameterError, ValidationError

if TYPE_CHECKING:  # pragma: no cover
    from .client import Client

__all__ = ["Protocol", "Parameter", "Parameters"]

# Parameter property numbers (PELOX_PROP_*).
_NAME, _TYPE, _HELP, _VALUES, _LEGAL_VALUES, _MULTIPLE_SELECT, _REQUIRED, _ADVANCED, _MEMBERS = range(50, 59)
_IS_VALID, _INVALID_DETAILS, _IS_ENABLED, _DISABLED_DETAILS, _LEGAL_VALUES_ENFORCED, _IMPLEMENTATION = range(59, 65)

_BOOLEAN_BY_NAME = 8 | 1  # PELOX_KIND_BOOLEAN | PELOX_LOOKUP_BY_NAME

# Attribute selectors (PELOX_ATTR_*).
_ATTR_COMMENT, _ATTR_DESCRIPTION, _ATTR_GUID, _ATTR_FULL_NAME = 1, 2, 3, 4


class Parameter:
    """One parameter of a :class:`Protocol`, found by name. Every attribute is
    read from the library when asked for, so it shows the protocol's current
    values; the validated ones (``legal_values``, ``valid``,
    ``invalid_details``, ``enabled``, ``disabled_details``,
    ``legal_values_enforced``) let the server validate first when a value
    changed since the last validation."""

    def __init__(self, protocol: "Protocol", name: str) -> None:
        self._protocol = protocol
        self.name: str = name

    def __repr__(self) -> str:
        return "<pelox.Parameter %r of %r: %r>" % (self.name, self._protocol.name, self.values)

    def _texts(self, prop: int) -> List[str]:
        with Scratch(STRING, STRING_ARRAY) as (s, out):
            check(lib.protocolInfo_getParameterPropertyForName(self._protocol.handle, wide(self.name), prop, out),
                  "protocolInfo_getParameterPropertyForName", ValidationError)
            return _lib.array_texts(out, s)

    def _text(self, prop: int) -> str:
        texts = self._texts(prop)
        return texts[0] if texts else ""

    def _flag(self, prop: int) -> bool:
        value = c_ubyte(0)
        check(lib.protocolInfo_getParameterPropertyType(self._protocol.handle, wide(self.name), 0, prop,
                                                         byref(value), _BOOLEAN_BY_NAME),
              "protocolInfo_getParameterPropertyType", ValidationError)
        return bool(value.value)

    @property
    def type(self) -> str:
        """The declared type (``text``, ``integer``, ``number``, ...)."""
        return self._text(_TYPE)

    @property
    def parameter_class(self) -> str:
        """``advanced`` for parameters of class advanced, else ``normal``."""
        return "advanced" if self._flag(_ADVANCED) else "normal"

    @property
    def help(self) -> str:
        """The parameter's help text."""
        return self._text(_HELP)

    @property
    def values(self) -> List[str]:
        """The current values (texts)."""
        return self._texts(_VALUES)

    @property
    def value(self) -> Optional[str]:
        """The first value, or None when there is none."""
        values = self.values
        return values[0] if values else None

    @property
    def members(self) -> List[str]:
        """The members the server lists for the parameter."""
        return self._texts(_MEMBERS)

    @property
    def required(self) -> bool:
        return self._flag(_REQUIRED)

    @property
    def multiple_select(self) -> bool:
        return self._flag(_MULTIPLE_SELECT)

    @property
    def implementation(self) -> bool:
        return self._flag(_IMPLEMENTATION)

    @property
    def legal_values(self) -> List[str]:
        """The legal values as the server sees them now (validated)."""
        return self._texts(_LEGAL_VALUES)

    @property
    def legal_values_enforced(self) -> bool:
        """Whether values outside ``legal_values`` are invalid (validated)."""
        return self._flag(_LEGAL_VALUES_ENFORCED)

    @property
    def valid(self) -> bool:
        """Whether the server finds the current values valid (validated)."""
        return self._flag(_IS_VALID)

    @property
    def invalid_details(self) -> str:
        """Why the values are invalid; empty when valid (validated)."""
        return self._text(_INVALID_DETAILS)

    @property
    def enabled(self) -> bool:
        """Whether the parameter is enabled (validated)."""
        return self._flag(_IS_ENABLED)

    @property
    def disabled_details(self) -> str:
        """Why the parameter is disabled; empty when enabled (validated)."""
        return self._text(_DISABLED_DETAILS)

    @property
    def details(self) -> str:
        """The invalid details, else the disabled details (validated)."""
        return self.invalid_details or self.disabled_details


class Parameters(Mapping[str, Parameter]):
    """The parameters of a :class:`Protocol` by name, in order: a read-only
    mapping. Values are set through the protocol (``protocol["A"] = 40``),
    where the server validates them; assigning here would change nothing,
    so it raises :class:`TypeError` saying so."""

    def __init__(self, protocol: "Protocol") -> None:
        self._protocol = protocol
        self._items = {name: Parameter(protocol, name) for name in protocol.names()}

    def __getitem__(self, name: str) -> Parameter:
        try:
            return self._items[name]
        except KeyError:
            raise UnknownParameterError(name, list(self._items), "Protocol.parameters") from None

    def __iter__(self) -> Iterator[str]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __setitem__(self, name: str, value: Any) -> NoReturn:
        raise TypeError("Protocol.parameters is read-only: set a value with protocol[%r] = %r" % (name, value))

    def __delitem__(self, name: str) -> NoReturn:
        raise TypeError("Protocol.parameters is read-only")

    def __repr__(self) -> str:
        return "<pelox.Parameters of %r: %s>" % (self._protocol.name, ", ".join(self._items))


class Protocol:
    """A protocol's parameter model, read from the server by
    :meth:`Client.protocol`. It owns one library object, removed by
    :meth:`close` (or the ``with`` block's end, or garbage collection).

    Item access reads and sets parameters by name (letters A-Z match a-z)::

        with client.protocol("Examples/Shapes") as shapes:
            shapes["Shape"] = "Square"      # validated by the server
            shapes["Side"] = 2.5
            print(shapes["Colour"].legal_values)
    """

    def __init__(self, client: "Client", name: str, *, advanced: bool = True,
                 implementation: bool = False) -> None:
        self._client = client
        self.name: str = name
        self._handle: int = _lib.create(PROTOCOL_INFO)
        self._finalizer = weakref.finalize(self, _lib.remove, PROTOCOL_INFO, self._handle)
        flags = (1 if advanced else 0) | (2 if implementation else 0)
        try:
            check(lib.pelox_getProtocolParameters(wide(client.session_id), wide(name), self._handle, flags),
                  "pelox_getProtocolParameters", ProtocolError)
        except BaseException:
            self.close()
            raise

    # -- lifetime ---------------------------------------------------------

    @property
    def handle(self) -> int:
        """The library's protocol-info handle (type 3)."""
        if not self._finalizer.alive:
            raise ProtocolError(-996, ["the protocol %r was closed" % self.name], "Protocol")
        return self._handle

    @property
    def closed(self) -> bool:
        return not self._finalizer.alive

    def close(self) -> None:
        """Removes the library object. Further use raises :class:`ProtocolError`."""
        self._finalizer()

    def __enter__(self) -> "Protocol":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return "<pelox.Protocol %r%s>" % (self.name, " closed" if self.closed else "")

    # -- protocol texts -----------------------------------------------------

    def _attribute(self, selector: int) -> str:
        with Scratch(STRING) as (s,):
            check(lib.protocolInfo_getProtocolStringAttribute(self.handle, s, selector),
                  "protocolInfo_getProtocolStringAttribute", ProtocolError)
            return _lib.string_text(s)

    @property
    def description(self) -> str:
        return self._attribute(_ATTR_DESCRIPTION)

    @property
    def comment(self) -> str:
        return self._attribute(_ATTR_COMMENT)

    @property
    def guid(self) -> str:
        """The component GUID (fetched from the server on first use)."""
        return self._attribute(_ATTR_GUID)

    @property
    def full_name(self) -> str:
        return self._attribute(_ATTR_FULL_NAME)

    @property
    def version(self) -> int:
        """The protocol's current version on the server (-1 when none is listed)."""
        v = c_int32(-1)
        check(lib.pelox_getProtocolVersion(wide(self._client.session_id), wide(self.name), byref(v)),
              "pelox_getProtocolVersion", ProtocolError)
        return v.value

    # -- parameters ---------------------------------------------------------

    def names(self) -> List[str]:
        """The parameter names, in order."""
        with Scratch(STRING, STRING_ARRAY) as (s, out):
            names = []
            for i in range(_lib.size_of(PROTOCOL_INFO, self.handle)):
                check(lib.protocolInfo_getParameterProperty(self.handle, i, _NAME, out),
                      "protocolInfo_getParameterProperty", ValidationError)
                texts = _lib.array_texts(out, s)
                names.append(texts[0] if texts else "")
            return names

    @property
    def parameters(self) -> Parameters:
        """The parameters by name, in order: a read-only mapping (the names as
        they are now; the :class:`Parameter` objects read their attributes
        live). Set values with ``protocol["A"] = 40`` or :meth:`update`."""
        return Parameters(self)

    def _find(self, name: str) -> Optional[str]:
        folded = name.translate(_FOLD)
        for known in self.names():
            if known.translate(_FOLD) == folded:
                return known
        return None

    def _unknown(self, name: str) -> NoReturn:
        raise UnknownParameterError(name, self.names(), "Protocol")

    def __getitem__(self, name: str) -> Parameter:
        known = self._find(name)
        if known is None:
            self._unknown(name)
        return Parameter(self, known)

    def __setitem__(self, name: str, values: Any) -> None:
        self.update({name: values})

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and self._find(name) is not None

    def __iter__(self) -> Iterator[str]:
        return iter(self.names())

    def __len__(self) -> int:
        return _lib.size_of(PROTOCOL_INFO, self.handle)

    def _set(self, name: str, values: List[str]) -> None:
        array, keep = _lib.wide_list(values)
        check(lib.protocolInfo_setOrAddParameter(self.handle, wide(name), array),
              "protocolInfo_setOrAddParameter", ValidationError)
        del keep

    def update(self, values: Mapping[str, Any]) -> None:
        """Sets several parameters, then lets the server validate them. When
        one of them is invalid, every parameter gets its old values back and
        :class:`ValidationError` is raised with the server's details, each
        message beginning with the parameter's name; an unknown name raises
        :class:`UnknownParameterError` (listing the protocol's parameters)
        before anything changes.

        A value may be a text, a number, a boolean, None (no value) or a list
        of those (several values)."""
        wanted = {}
        for name, value in values.items():
            known = self._find(name)
            if known is None:
                self._unknown(name)
            wanted[known] = list(_lib.iter_texts(value))
        old = {name: Parameter(self, name).values for name in wanted}
        try:
            for name, texts in wanted.items():
                self._set(name, texts)
            problems = {}
            for name in wanted:
                p = Parameter(self, name)
                if not p.valid:
                    problems[name] = p.invalid_details or "%s is not valid" % name
        except BaseException:
            self._restore(old)
            raise
        if problems:
            self._restore(old)
            # -981 is what launching these values would return.
            raise ValidationError(-981, ["%s: %s" % item for item in problems.items()], "Protocol.update",
                                  list(problems)) from None

    def _restore(self, old: Mapping[str, List[str]]) -> None:
        for name, texts in old.items():
            try:
                self._set(name, texts)
            except Exception:  # the first failure is the one to report
                pass

    def add_parameter(self, name: str, values: Any = None) -> None:
        """Adds a parameter the protocol does not declare (it goes out with the
        launch, not with validation), or replaces the values of one it has.
        ``NoUI``, ``ClientTempDirectory`` and ``WebExports`` are refused
        (:class:`ValidationError`, -970): the launch adds them itself."""
        self._set(name, list(_lib.iter_texts(values)))

    def want_results(self, *names: str) -> None:
        """Asks for global properties to be returned as job results."""
        for name in names:
            check(lib.protocolInfo_addGlobalPropertyResult(self.handle, wide(name)),
                  "protocolInfo_addGlobalPropertyResult", ValidationError)

    def invalid_parameters(self) -> Dict[str, str]:
        """The enabled parameters the server finds invalid, with the details."""
        out = {}
        for name in self.names():
            p = Parameter(self, name)
            if p.enabled and not p.valid:
                out[name] = p.invalid_details or "%s is not valid" % name
        return out


# A-Z folded to a-z only, as the library matches names.
_FOLD = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}
