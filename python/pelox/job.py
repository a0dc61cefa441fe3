"""Jobs: a protocol run on the server, and its states."""

from __future__ import annotations

import enum
import time
from ctypes import byref, c_int32
from typing import TYPE_CHECKING, Any, Callable, Dict, List, NamedTuple, Optional

from . import _lib
from ._lib import RESULT_INFO, STRING, STRING_ARRAY, Scratch, check, lib, wide
from .errors import JobError

if TYPE_CHECKING:  # pragma: no cover
    from .client import Client

__all__ = ["Job", "JobState", "StepError"]

# Job option bits (PELOX_JOB_*).
HANDLE_CLIENT_STEPS, DEFER_TO_HOST, REPORT_1508, SKIP_VALIDATION, BLOCKING, PREVIEW_CLIENT_STEPS = 1, 2, 4, 8, 16, 32


class JobState(enum.IntEnum):
    """The library's job states (``enum pelox_job_state``)."""

    CREATED = 0
    """Created with :meth:`Client.create_job` and never launched."""
    FINISHED = 1500
    """Finished (with or without errors along the way: see :attr:`Job.errors`)."""
    RUNNING = 1501
    WAITING_FOR_CLIENT = 1502
    """Waiting for the client's step."""
    QUEUED = 1503
    """Server state 4: launched, not started."""
    FAILED = 1504
    """Server state 5: failed."""
    STOPPED = 1505
    """Server state 6: stopped."""
    ENDED = 1506
    """Server states 7, 8, 9: ended while or after waiting for the client."""
    UNKNOWN = 1507
    """Not learned yet (poll the job)."""
    STATE_12 = 1508
    """Server state 12, reported only for jobs that ask for it."""

    # The header's names for the same numbers.
    STATE_4 = 1503
    STATE_5 = 1504
    STATE_6 = 1505

    @property
    def done(self) -> bool:
        """Whether the job will not change state by itself any more."""
        return self in _DONE


_DONE = frozenset({JobState.FINISHED, JobState.FAILED, JobState.STOPPED, JobState.ENDED})


class StepError(NamedTuple):
    """One error a job reported: its text and the component (step) it names."""

    message: str
    component: str


class Job:
    """A job on the server, known to the library by its identifier.

    Made by :meth:`Client.run`, :meth:`Client.create_job` or
    :meth:`Client.reconnect`. The job lives on the server independently of
    this object; :meth:`release` ends it there and makes the library forget it.
    Used as a context manager, the job is stopped (unless it is known to be
    done) and released when the block ends::

        with client.run("Examples/Add Numbers", {"A": 40}) as job:
            job.wait()
            print(job.results["Sum"])

    Jobs that :meth:`Client.run` and :meth:`Client.create_job` made are also
    released by :meth:`Client.close` unless the client is told to keep them.
    """

    def __init__(self, client: "Client", job_id: str, state: JobState = JobState.UNKNOWN,
                 defer_to_host: bool = False) -> None:
        self._client = client
        self.id: str = job_id
        self._state = JobState(state)
        self._defer_to_host = defer_to_host
        self._released = False
        self.messages: List[str] = []
        """The status messages of the latest poll."""

    def __enter__(self) -> "Job":
        return self

    def __exit__(self, exc_type, *exc: Any) -> None:
        if self._released:
            return
        try:
            self._stop_and_release()
        except Exception:
            if exc_type is None:
                raise  # else the exception that ended the block is the one to see

    def _stop_and_release(self) -> None:
        """Stops the job unless the latest poll found it done, then releases it."""
        if not self._state.done and self._state != JobState.CREATED:
            try:
                self.stop()
            except JobError:
                pass  # it ended meanwhile: releasing is all that is left
        self.release()

    def __repr__(self) -> str:
        return "<pelox.Job %s %s>" % (self.id, self._state.name)

    @property
    def state(self) -> JobState:
        """The state found by the latest :meth:`poll` (no server call)."""
        return self._state

    def _sid(self):
        return wide(self._client.session_id)

    def poll(self) -> JobState:
        """Asks the server for the job's state (the library carries out a
        waiting client step here when the job was launched to do so) and
        keeps the status messages in :attr:`messages`."""
        state = c_int32(int(JobState.UNKNOWN))
        with Scratch(STRING, STRING_ARRAY) as (s, messages):
            check(lib.pelox_getJobStatus(self._sid(), wide(self.id), byref(state), messages),
                  "pelox_getJobStatus", JobError)
            self.messages = _lib.array_texts(messages, s)
        try:
            self._state = JobState(state.value)
        except ValueError:
            self._state = JobState.UNKNOWN
        return self._state

    def wait(self, timeout: Optional[float] = None, poll_interval: float = 0.2,
             progress: Optional[Callable[[JobState, List[str]], None]] = None) -> JobState:
        """Polls until the job is done (finished, failed, stopped or ended) and
        returns that state. A job launched with ``defer_to_host`` also returns
        when it waits for the client: read :attr:`instructions`, act on them,
        call :meth:`continue_` and wait again.

        Args:
            timeout: seconds to wait at most (None: no limit); then
                :class:`TimeoutError` is raised.
            poll_interval: seconds between polls.
            progress: called after every poll with the state and the status
                messages.

        Interrupted (Ctrl-C, :class:`KeyboardInterrupt`), it asks the server
        to stop the job before the interruption goes on.
        """
        try:
            return self._wait(timeout, poll_interval, progress)
        except KeyboardInterrupt:
            try:
                self.stop()
            except Exception:  # the interruption is what the caller must see
                pass
            raise

    def _wait(self, timeout: Optional[float], poll_interval: float,
              progress: Optional[Callable[[JobState, List[str]], None]]) -> JobState:
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            state = self.poll()
            if progress is not None:
                progress(state, list(self.messages))
            if state.done or (self._defer_to_host and state == JobState.WAITING_FOR_CLIENT):
                return state
            if deadline is not None and time.monotonic() >= deadline:
                raise TimeoutError("job %s is still %s after %s s" % (self.id, state.name, timeout))
            pause = poll_interval
            if deadline is not None:
                pause = max(0.0, min(pause, deadline - time.monotonic()))
            time.sleep(pause)

    @property
    def results(self) -> Dict[str, List[str]]:
        """The job's results: name -> values, in the server's order."""
        with Scratch(RESULT_INFO) as (info,):
            check(lib.pelox_getJobResults(self._sid(), wide(self.id), info), "pelox_getJobResults", JobError)
            return _lib.result_dict(info)

    @property
    def errors(self) -> List[StepError]:
        """The errors the job reported, each with its component. Readable once
        a poll found the job done (else :class:`JobError`, -985)."""
        if not self._state.done:
            raise JobError(-985, ["job %s is %s: its errors are readable once a poll finds it done (Job.wait)"
                                  % (self.id, self._state.name)], "Job.errors")
        with Scratch(STRING, STRING_ARRAY, STRING_ARRAY) as (s, texts, components):
            check(lib.pelox_getJobErrors(self._sid(), wide(self.id), texts, components),
                  "pelox_getJobErrors", JobError)
            messages = _lib.array_texts(texts, s)
            ids = _lib.array_texts(components, s)
        ids += [""] * (len(messages) - len(ids))
        return [StepError(m, c) for m, c in zip(messages, ids)]

    @property
    def instructions(self) -> Optional[str]:
        """The client instructions handed to the host (jobs launched with
        ``defer_to_host``): the text once, then ``""``; None when the job does
        not wait for the client."""
        with Scratch(STRING) as (s,):
            rc = check(lib.pelox_getClientInstructions(s, wide(self.id)), "pelox_getClientInstructions",
                       JobError, accept=(-987,))
            return None if rc == -987 else _lib.string_text(s)

    def stop(self) -> None:
        """Asks the server to stop the job (the next poll shows the state)."""
        check(lib.pelox_stopJob(self._sid(), wide(self.id)), "pelox_stopJob", JobError)

    def release(self) -> None:
        """Releases the job on the server; the library forgets it."""
        check(lib.pelox_releaseJob(self._sid(), wide(self.id)), "pelox_releaseJob", JobError)
        self._released = True
        self._client._forget(self)

    def continue_(self) -> None:
        """Resumes a job that waits for the client; does nothing otherwise."""
        check(lib.pelox_continueJob(self._sid(), wide(self.id)), "pelox_continueJob", JobError)
