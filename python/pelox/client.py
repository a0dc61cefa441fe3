"""The client: a logged-in session with a workflow server."""

from __future__ import annotations

import os
import threading
from ctypes import byref, c_ubyte
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Union

from . import _lib
from ._lib import RESULT_INFO, STRING, STRING_ARRAY, Scratch, check, lib, wide
from .errors import JobError, ProtocolError, SessionError, TransferError, ValidationError
from .job import BLOCKING, DEFER_TO_HOST, HANDLE_CLIENT_STEPS, Job, JobState
from .protocol import Protocol

__all__ = ["Client", "JobDirectory"]

PathLike = Union[str, "os.PathLike[str]"]


class JobDirectory(NamedTuple):
    """A listing of a job directory: sub-folders, and files with their sizes."""

    folders: List[str]
    files: Dict[str, int]


def _local(path: PathLike) -> str:
    """A local path made absolute (the library takes absolute paths only)."""
    return os.path.abspath(os.fspath(path))


def _job_flags(client_steps: bool, defer_to_host: bool) -> int:
    return (HANDLE_CLIENT_STEPS if client_steps or defer_to_host else 0) | (DEFER_TO_HOST if defer_to_host else 0)


class Client:
    """A session with a workflow server.

    Logging in happens on construction; failures raise :class:`SessionError`
    (wrong password) or :class:`PeloxConnectionError` (server unreachable)::

        with pelox.Client("http://127.0.0.1:4100/qorvane/locator", "ann", "secret") as client:
            print(client.protocols("Examples"))

    Args:
        url: the server: the full locator URL, or a bare host or host:port,
            which mean https (port 443 when none is given); a plain-HTTP
            server needs ``http://``.
        user: the user name.
        password: the password.
        client_type: a text sent with the login to name this client.
        keep_jobs: :meth:`close` (and the end of a ``with`` block) leaves
            the jobs this client launched on the server instead of stopping
            and releasing them.

    A client may be used from several threads at once.
    """

    def __init__(self, url: str, user: str, password: str, client_type: str = "python", *,
                 keep_jobs: bool = False) -> None:
        self.url: str = url
        self.user: str = user
        self.client_type: str = client_type
        self.keep_jobs: bool = keep_jobs
        self._jobs: Dict[str, Job] = {}
        self._jobs_lock = threading.Lock()
        with Scratch(STRING) as (sid,):
            check(lib.pelox_login(wide(url), wide(user), wide(password), None, sid, wide(client_type)),
                  "pelox_login", SessionError)
            self.session_id: str = _lib.string_text(sid)

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, exc_type: Any, *exc: Any) -> None:
        try:
            self.close()
        except Exception:
            if exc_type is None:
                raise  # else the exception that ended the block is the one to see

    def close(self, keep_jobs: Optional[bool] = None) -> None:
        """Ends the use of this client: each job it launched (:meth:`run`,
        :meth:`create_job`) and that is not released yet is stopped (unless a
        poll found it done) and released, so that nothing is left running on
        the server. ``keep_jobs=True`` (default: the constructor's) leaves
        them. Sessions have no logout; the library keeps no other object for
        a client. The first failure is raised after every job was tried."""
        if self.keep_jobs if keep_jobs is None else keep_jobs:
            return
        with self._jobs_lock:
            jobs = list(self._jobs.values())
        first: Optional[BaseException] = None
        for job in jobs:
            try:
                job._stop_and_release()
            except Exception as e:  # noqa: BLE001 - every job is tried
                first = first or e
        if first is not None:
            raise first

    def _track(self, job: Job) -> Job:
        with self._jobs_lock:
            self._jobs[job.id] = job
        return job

    def _forget(self, job: Job) -> None:
        with self._jobs_lock:
            if self._jobs.get(job.id) is job:
                del self._jobs[job.id]

    def __repr__(self) -> str:
        return "<pelox.Client %s@%s>" % (self.user, self.url)

    def _sid(self):
        return wide(self.session_id)

    # -- server -----------------------------------------------------------

    def config(self) -> Dict[str, List[str]]:
        """The server's exposed configuration settings (needs no session)."""
        with Scratch(RESULT_INFO) as (info,):
            check(lib.pelox_getServerConfiguration(wide(self.url), info), "pelox_getServerConfiguration",
                  SessionError)
            return _lib.result_dict(info)

    def status(self) -> Dict[str, str]:
        """The server's status page, one entry per line ``Name: value`` (values
        without surrounding white space)."""
        with Scratch(RESULT_INFO) as (info,):
            check(lib.pelox_getServerStatus(self._sid(), info), "pelox_getServerStatus", SessionError)
            return {name: (values[0] if values else "").strip()
                    for name, values in _lib.result_dict(info).items()}

    # -- catalogue ----------------------------------------------------------

    def _listing(self, folder: str):
        with Scratch(STRING, STRING_ARRAY, STRING_ARRAY) as (s, protocols, folders):
            check(lib.pelox_listProtocols(self._sid(), wide(folder), protocols, folders), "pelox_listProtocols",
                  ProtocolError)
            return _lib.array_texts(protocols, s), _lib.array_texts(folders, s)

    def protocols(self, folder: str = "") -> List[str]:
        """The protocols of a catalogue folder (bare names, sorted)."""
        return self._listing(folder)[0]

    def folders(self, folder: str = "") -> List[str]:
        """The sub-folders of a catalogue folder (bare names, sorted)."""
        return self._listing(folder)[1]

    def calculable_properties(self) -> Dict[str, List[str]]:
        """The server's calculable properties by category."""
        with Scratch(RESULT_INFO) as (info,):
            check(lib.pelox_getCalculablePropertiesByCategory(self._sid(), info),
                  "pelox_getCalculablePropertiesByCategory", ProtocolError)
            return _lib.result_dict(info)

    def protocol(self, name: str, *, advanced: bool = True, implementation: bool = False) -> Protocol:
        """Reads a protocol's parameters (``Examples/Add Numbers``). Parameters
        of class advanced are included unless ``advanced`` is False;
        implementation parameters only with ``implementation``. An unknown
        protocol raises :class:`ProtocolError` with the server's message."""
        return Protocol(self, name, advanced=advanced, implementation=implementation)

    # -- jobs ---------------------------------------------------------------

    def run(self, protocol: Union[str, Protocol], params: Optional[Mapping[str, Any]] = None, *,
            blocking: bool = False, client_steps: bool = True, defer_to_host: bool = False,
            validate: bool = True, job: Optional[Job] = None) -> Job:
        """Launches a protocol as a job.

        Args:
            protocol: a protocol name, or a :class:`Protocol` (whose current
                values are launched; ``params`` are set on it first).
            params: parameter values to set before the launch (validated, see
                :meth:`Protocol.update`).
            blocking: the server runs the job to its end (or to a client step)
                before the call returns.
            client_steps: the library carries out the job's client steps while
                polling (downloads, uploads, programs, temporary files).
            defer_to_host: client instructions are handed to this program
                (:attr:`Job.instructions`) instead; implies ``client_steps``.
            validate: validate and check completeness before the launch (an
                invalid or incomplete parameter list raises
                :class:`ValidationError` listing the invalid parameters).
            job: a job from :meth:`create_job` (or one that ran before: the
                server clears it first) to launch into.
        """
        owned = isinstance(protocol, str)
        p = self.protocol(protocol) if owned else protocol
        try:
            if params:
                p.update(params)
            flags = _job_flags(client_steps, defer_to_host) | (BLOCKING if blocking else 0)
            if not validate:
                flags |= 8  # PELOX_JOB_SKIP_VALIDATION
            with Scratch(STRING) as (out,):
                try:
                    check(lib.pelox_launchJob(self._sid(), wide(p.name), p.handle, flags, out,
                                              wide(job.id) if job is not None else None),
                          "pelox_launchJob", JobError)
                except ValidationError as e:
                    invalid = p.invalid_parameters() if e.code == -981 else {}
                    if invalid:  # the list is incomplete: say which parameters
                        e.messages = ["%s: %s" % item for item in invalid.items()]
                        e.parameters = list(invalid)
                        e.args = (e._text(),)
                    raise
                job_id = _lib.string_text(out)
        finally:
            if owned:
                p.close()
        if job is not None and job.id == job_id:
            job._state = JobState.UNKNOWN
            job._defer_to_host = defer_to_host
            job._released = False
            return self._track(job)
        return self._track(Job(self, job_id, JobState.UNKNOWN, defer_to_host))

    def create_job(self, *, client_steps: bool = True, defer_to_host: bool = False) -> Job:
        """Reserves a job on the server, to launch into later with
        ``run(..., job=...)`` (for example after uploading its input files)."""
        with Scratch(STRING) as (out,):
            check(lib.pelox_createJob(self._sid(), out, _job_flags(client_steps, defer_to_host)),
                  "pelox_createJob", JobError)
            return self._track(Job(self, _lib.string_text(out), JobState.CREATED, defer_to_host))

    def reconnect(self, job_id: str, *, client_steps: bool = True, defer_to_host: bool = False) -> Job:
        """A job started elsewhere (another process, an earlier session of the
        same user), made known to the library; an unknown identifier raises
        :class:`JobError` (-988)."""
        check(lib.pelox_reconnectToJob(self._sid(), wide(job_id), _job_flags(client_steps, defer_to_host)),
              "pelox_reconnectToJob", JobError)
        return Job(self, job_id, JobState.UNKNOWN, defer_to_host)

    def job_directory(self, job: Union[Job, str], subfolder: str = "") -> JobDirectory:
        """Lists a job's directory on the server (or a sub-folder of it)."""
        job_id = job.id if isinstance(job, Job) else job
        with Scratch(STRING, STRING_ARRAY, STRING_ARRAY, STRING_ARRAY) as (s, folders, files, sizes):
            check(lib.pelox_listContents2(self._sid(), wide(subfolder), folders, files, sizes, wide(job_id)),
                  "pelox_listContents2", JobError)
            names = _lib.array_texts(files, s)
            lengths = _lib.array_texts(sizes, s)
            lengths += ["-1"] * (len(names) - len(lengths))
            return JobDirectory(_lib.array_texts(folders, s),
                                {n: int(size) if size.lstrip("-").isdigit() else -1
                                 for n, size in zip(names, lengths)})

    # -- files --------------------------------------------------------------

    def upload(self, local: PathLike, server_path: str, job: Union[Job, str, None] = None) -> None:
        """Uploads a local file to a server path; with a job, a relative server
        path is relative to the job's directory."""
        if job is None:
            check(lib.pelox_uploadFile(self._sid(), wide(_local(local)), wide(server_path)), "pelox_uploadFile",
                  TransferError)
        else:
            job_id = job.id if isinstance(job, Job) else job
            check(lib.pelox_uploadJobFile(self._sid(), wide(_local(local)), wide(server_path), wide(job_id)),
                  "pelox_uploadJobFile", TransferError)

    def download(self, server_path: str, local: PathLike) -> None:
        """Downloads a server file; the local file appears only when the whole
        file arrived (an existing one is replaced then, and kept on failure)."""
        check(lib.pelox_downloadFile(self._sid(), wide(server_path), wide(_local(local))), "pelox_downloadFile",
              TransferError)

    def exists(self, server_path: str) -> bool:
        """Whether a server file exists."""
        found = c_ubyte(0)
        check(lib.pelox_checkFileAccess(self._sid(), wide(server_path), byref(found)), "pelox_checkFileAccess",
              TransferError)
        return bool(found.value)

    # -- components -----------------------------------------------------------

    def import_component(self, server_folder: str, local_file: PathLike) -> None:
        """Imports a component from a local XML file into a catalogue folder."""
        check(lib.pelox_importComponent(self._sid(), wide(server_folder), wide(_local(local_file))),
              "pelox_importComponent", TransferError)

    def export_component(self, name: str, local_file: PathLike) -> None:
        """Writes the latest version of a component to a local XML file."""
        check(lib.pelox_exportComponent(self._sid(), wide(name), wide(_local(local_file))),
              "pelox_exportComponent", TransferError)

    def delete_component(self, path: str) -> None:
        """Deletes a component from the catalogue."""
        check(lib.pelox_deleteComponent(self._sid(), wide(path)), "pelox_deleteComponent", TransferError)

    def rename_component(self, old: str, new: str) -> None:
        """Moves or renames a component (a new full name, or a folder to move into)."""
        check(lib.pelox_renameComponent(self._sid(), wide(old), wide(new)), "pelox_renameComponent",
              TransferError)
