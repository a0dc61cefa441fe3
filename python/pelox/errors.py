"""Exceptions and warnings raised by the pelox package.

Every failing call of the C library becomes a :class:`PeloxError` that
carries the status code, the code's name and the messages of the library's
error record (for a positive code) or the code's meaning (for a negative
one). The subclass says which family the failure belongs to: the code picks
the family where it names one (-974 is always a connection failure),
otherwise the call that failed does (an error record from launching a job is
a :class:`JobError`).

Validation notices (-2000, -3000, reported only while option 107 is on) are
not failures: they are issued as :class:`PeloxNotice` warnings.
"""

from __future__ import annotations

from typing import Dict, List, Optional, Sequence, Tuple, Type

__all__ = [
    "PeloxError",
    "PeloxConnectionError",
    "SessionError",
    "ProtocolError",
    "ValidationError",
    "UnknownParameterError",
    "JobError",
    "TransferError",
    "PeloxNotice",
    "STATUS_CODES",
    "code_name",
]

# Status code -> (name, meaning), as in include/peloxImp.h.
STATUS_CODES: Dict[int, Tuple[str, str]] = {
    0: ("PELOX_OK", "Success."),
    -999: ("PELOX_E_NO_STRING", "A string handle is not registered."),
    -998: ("PELOX_E_NO_STRING_ARRAY", "A string-array handle is not registered."),
    -997: ("PELOX_E_INDEX", "An element index is not below the element count."),
    -996: ("PELOX_E_NO_PROTOCOL_INFO", "A protocol-info handle is not registered."),
    -995: ("PELOX_E_NO_PARAMETER", "No parameter with that index or name."),
    -994: ("PELOX_E_NO_PROPERTY", "The property number is not a known parameter property."),
    -993: ("PELOX_E_NO_RESULT_INFO", "A result-info handle is not registered."),
    -992: ("PELOX_E_NO_RESULT_NAME", "No result-info entry has the given name."),
    -991: ("PELOX_E_NULL_ARGUMENT", "A required argument is null or empty."),
    -990: ("PELOX_E_NO_ERROR_RECORD", "No error record with that identifier is held."),
    -989: ("PELOX_E_NO_SESSION", "The session identifier is not known (log in first)."),
    -988: ("PELOX_E_NO_JOB", "The job identifier is not known."),
    -987: ("PELOX_E_NOT_WAITING_FOR_CLIENT", "The job is not waiting for the client."),
    -986: ("PELOX_E_LAUNCH", "The server did not clear the job before a relaunch."),
    -985: ("PELOX_E_JOB_STATE", "The job's state does not allow reading its errors."),
    -984: ("PELOX_E_UNEXPECTED", "An unexpected internal failure."),
    -983: ("PELOX_E_COMPONENT_FILE", "A component file could not be read, or no component data came back."),
    -982: ("PELOX_E_UNKNOWN_OPTION", "Option number outside 100 to 107."),
    -981: ("PELOX_E_UNKNOWN_TYPE", "Unknown object type, or an incomplete parameter list at launch."),
    -980: ("PELOX_E_RELATIVE_PATH", "A local file path is relative; it must be absolute."),
    -978: ("PELOX_E_LOOKUP_MODE", "The mode flags ask for neither lookup by index nor by name."),
    -977: ("PELOX_E_SERVER_VERSION", "The server is too old or does not accept this client."),
    -976: ("PELOX_E_UNSUPPORTED", "Version not served, or attribute selector outside 1 to 4."),
    -975: ("PELOX_E_UNKNOWN_INFO", "Information selector other than 103, 104 and 200."),
    -974: ("PELOX_E_CONNECTION", "The server could not be reached after all retries."),
    -973: ("PELOX_E_SERVICE_CALL", "A service call failed for another transport reason."),
    -971: ("PELOX_E_REGISTRANT", "The component's registrant contains \"/\"."),
    -970: ("PELOX_E_RESERVED_NAME", "The parameter name is one that the launch adds itself."),
    -969: ("PELOX_E_VALIDATION_OFF", "Validation is switched off while a validated value is asked for."),
    -2000: ("PELOX_NOTICE_PARAMETER_ADDED", "A new parameter was added."),
    -3000: ("PELOX_NOTICE_VALIDATED", "The server validated the parameters."),
}

ERROR_RECORD_NAME = "PELOX_ERROR_RECORD"


def code_name(code: int) -> str:
    """The name of a status code: ``PELOX_E_...``, ``PELOX_ERROR_RECORD`` for
    a positive code (an error record), ``PELOX_CODE_<n>`` for an unknown one."""
    if code > 0:
        return ERROR_RECORD_NAME
    entry = STATUS_CODES.get(code)
    return entry[0] if entry else "PELOX_CODE_%d" % code


class PeloxError(Exception):
    """A call of the C library failed.

    Attributes:
        code: the status code the library returned (positive: an error
            record's identifier; negative: a ``PELOX_E_`` code).
        name: the code's name (``PELOX_E_CONNECTION``, ``PELOX_ERROR_RECORD``).
        messages: the error record's messages, most specific first; for a
            negative code the code's meaning.
        function: the C function that failed.
    """

    def __init__(self, code: int, messages: Sequence[str], function: str = "") -> None:
        self.code: int = code
        self.name: str = code_name(code)
        self.messages: List[str] = list(messages)
        self.function: str = function
        super().__init__(self._text())

    def _text(self) -> str:
        where = "%s: " % self.function if self.function else ""
        detail = "; ".join(self.messages)
        return "%s%s (%d)%s" % (where, self.name, self.code, ": " + detail if detail else "")

    def __reduce__(self):  # keeps the attributes across pickling (multiprocessing)
        return (type(self), (self.code, self.messages, self.function))


class PeloxConnectionError(PeloxError):
    """The server could not be reached, the transport failed, or the server
    does not accept this client (codes -974, -973, -977)."""


class SessionError(PeloxError):
    """Logging in failed (wrong password, unknown user) or the session is not
    known (-989); also failures reading the server's configuration or status."""


class ProtocolError(PeloxError):
    """A catalogue or protocol call failed: an unknown protocol or folder, a
    protocol object that was closed."""


class ValidationError(ProtocolError):
    """A parameter was refused: unknown or reserved name, a value the server
    finds invalid, validation switched off, an incomplete parameter list.

    Attributes:
        parameters: for each of :attr:`messages`, the name of the parameter
            it is about ("" where a message is about none); each such
            message begins with that name and a colon.
    """

    def __init__(self, code: int, messages: Sequence[str], function: str = "",
                 parameters: Optional[Sequence[str]] = None) -> None:
        self.parameters: List[str] = list(parameters) if parameters is not None else [""] * len(messages)
        super().__init__(code, messages, function)

    def __reduce__(self):
        return (type(self), (self.code, self.messages, self.function, self.parameters))


class UnknownParameterError(ValidationError, KeyError):
    """A parameter name the protocol does not have (-995). The message lists
    the protocol's parameters; :attr:`known` holds them. It is a
    :class:`KeyError` too, as a missing key of a mapping is.

    Attributes:
        name: the name asked for.
        known: the protocol's parameter names, in order.
    """

    def __init__(self, name: str, known: Sequence[str], function: str = "") -> None:
        self.known: List[str] = list(known)
        self.unknown_name: str = name
        super().__init__(-995, ["%s: no such parameter; the protocol's parameters are %s"
                                % (name, ", ".join(self.known) or "(none)")], function, [name])

    def __str__(self) -> str:  # KeyError would quote the text as a key
        return self._text()

    def __reduce__(self):
        return (type(self), (self.unknown_name, self.known, self.function))


class JobError(PeloxError):
    """A job call failed: unknown job (-988), not waiting for the client
    (-987), a relaunch the server did not clear (-986), errors not readable in
    this state (-985), or an error record from a job call."""


class TransferError(PeloxError):
    """A file or component transfer failed: relative local path (-980), an
    unreadable component file (-983), a bad registrant (-971), or an error
    record from a file or component call."""


class PeloxNotice(UserWarning):
    """A validation notice (-2000 parameter added, -3000 validated), issued as
    a warning while option 107 is on.

    Attributes:
        code: the notice code.
        name: its name (``PELOX_NOTICE_VALIDATED``).
        function: the C function that reported it.
    """

    def __init__(self, code: int, function: str = "") -> None:
        self.code = code
        self.name = code_name(code)
        self.function = function
        meaning = STATUS_CODES.get(code, ("", "a notice"))[1]
        super().__init__("%s: %s (%d): %s" % (function, self.name, code, meaning))


# The family a negative code names, whatever the call.
_CODE_FAMILY: Dict[int, Type[PeloxError]] = {
    -974: PeloxConnectionError,
    -973: PeloxConnectionError,
    -977: PeloxConnectionError,
    -989: SessionError,
    -996: ProtocolError,
    -995: ValidationError,
    -994: ValidationError,
    -978: ValidationError,
    -970: ValidationError,
    -969: ValidationError,
    -981: ValidationError,
    -988: JobError,
    -987: JobError,
    -986: JobError,
    -985: JobError,
    -980: TransferError,
    -983: TransferError,
    -971: TransferError,
}


def error_class(code: int, call_family: Optional[Type[PeloxError]]) -> Type[PeloxError]:
    """The exception class for a failed call: the code's family where it has
    one, else the call's family, else :class:`PeloxError`."""
    return _CODE_FAMILY.get(code) or call_family or PeloxError
