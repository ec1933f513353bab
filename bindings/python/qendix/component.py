"""The component as Python sees it: properties, jobs with their events, the update question.

A Component wraps one handle of the C interface. Use it from one thread at a time; wait() and
cancel() (of the Component or of a Job) may come from any thread. Events and prompt questions
arrive on the job's worker thread: callbacks given to advise() and set_prompt() run there, one
at a time, and must not block on the thread that waits for the job.
"""

import ctypes
import enum
import queue
import threading
import time
import weakref
from typing import NamedTuple, Optional

from . import _library as L


class Level(enum.IntEnum):
    DEBUG = 0
    INFO = 1
    WARNING = 2
    ERROR = 3
    FATAL = 4


class MsgClass(enum.IntEnum):
    SYSTEM = 0
    ASAS = 1
    MODULE = 2
    COUNT = 3


class Origin(enum.IntEnum):
    READER = 0
    CHECKER = 1
    ANONYMIZER = 2
    ENCRYPTER = 3
    SENDER = 4
    GATE_RECEIVER = 5
    GATE_CHECKER = 6


def _as_enum(kind, value):
    try:
        return kind(value)
    except ValueError:  # a value the server invented stays a plain int
        return value


class Event(NamedTuple):
    """One event: level, class and origin (enums where known), code, file name (None when the
    event names none) and message (None when it has none)."""
    level: int
    mclass: int
    origin: int
    code: int
    file: Optional[str]
    message: Optional[str]

    @property
    def step_ended(self):
        """True for the end event of a step (class module, code 1)."""
        return self.mclass == MsgClass.MODULE and self.code == 1 and self.level == Level.INFO


STRING_PROPERTIES = ("qendixVersion", "trustCenter", "inputDirectory", "workDirectory", "ean",
                     "esr", "esrPDF", "tcTel", "session", "asasVersion", "asasLogin")
# activateGUI, hidden in the interface, answers E_NOTIMPL and is left out.
BOOL_PROPERTIES = ("withPDF", "withArchive", "debug")
JOBS = ("read", "check", "anonymize", "send", "auto")

# How often a waiting host looks again, in seconds: a wait without limit is made of short waits
# so that Ctrl-C reaches the waiting thread.
_POLL = 0.05


def _free(lib, handle, keep):
    # Disconnects every callback (waiting for one in progress on another thread), then frees the
    # handle; only afterwards may the ctypes callback objects go.
    lib.qendix_free(handle)
    keep.clear()


def _timeout_ms(seconds):
    return max(0, min(int(seconds * 1000), 2**31 - 1))


class Component:
    """One component (qendix_open). close() or the end of a `with` block frees it; a job that
    runs then goes on to its end without calling back into Python."""

    def __init__(self):
        self._lib = L.library()
        handle = ctypes.c_void_p()
        L.check(self._lib.qendix_open(ctypes.byref(handle)))
        self._handle = handle.value
        # The ctypes callback objects the library may call, by cookie ("prompt" for the prompt).
        self._keep = {}
        self._callback_errors = []
        self._errors_lock = threading.Lock()
        self._job = None
        self._closer = weakref.finalize(self, _free, self._lib, self._handle, self._keep)

    def close(self):
        """Disconnects every callback and frees the handle; later calls do nothing."""
        self._closer()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _h(self):
        if not self._closer.alive:
            raise L.QendixError(L.E_POINTER, "the component is closed")
        return self._handle

    # Properties ------------------------------------------------------------------------------

    def get(self, name):
        """A property: str (None for a null text) or, for withPDF, withArchive and debug, bool. QendixError (E_INVALIDARG) for an unknown name."""
        value = ctypes.c_void_p()
        L.check(self._lib.qendix_get(self._h(), L.text_arg(name), ctypes.byref(value)))
        if not value.value:
            return None
        try:
            text = L.text_result(ctypes.string_at(value.value))
        finally:
            self._lib.qendix_string_free(value.value)
        return text == "true" if name in BOOL_PROPERTIES else text

    def set(self, name, value):
        """Sets a property: a str (None stores a null text) or, for the options, a bool.
        QendixError (E_INVALIDARG) for an unknown or read-only name or a bad value."""
        if isinstance(value, bool):
            value = "true" if value else "false"
        L.check(self._lib.qendix_set(self._h(), L.text_arg(name), L.text_arg(value)))

    __getitem__ = get
    __setitem__ = set

    def properties(self):
        """Every readable property as a dict."""
        return {name: self.get(name) for name in STRING_PROPERTIES + BOOL_PROPERTIES}

    # Callbacks -------------------------------------------------------------------------------

    def _kept_error(self, error):
        with self._errors_lock:
            self._callback_errors.append(error)

    def raise_callback_error(self):
        """Raises (once) the first exception that a callback of this component raised and that
        was kept instead of leaving on the worker thread; wait() calls it when the job ended."""
        with self._errors_lock:
            errors, self._callback_errors = self._callback_errors, []
        if errors:
            raise errors[0]

    def advise(self, callback):
        """Calls callback(event) for every event of this component from now on, on the thread
        that raises it; returns the cookie for unadvise(). An exception out of the callback is
        kept and raised by the next wait()."""
        def deliver(level, mclass, origin, code, file, msg, payload):
            try:
                callback(Event(_as_enum(Level, level), _as_enum(MsgClass, mclass),
                               _as_enum(Origin, origin), code, L.text_result(file),
                               L.text_result(msg)))
            except BaseException as e:  # nothing may unwind into the library
                self._kept_error(e)

        c_callback = L.EVENT_CALLBACK(deliver)
        cookie = ctypes.c_uint()
        L.check(self._lib.qendix_advise(self._h(), c_callback, None, ctypes.byref(cookie)))
        self._keep[cookie.value] = c_callback
        return cookie.value

    def unadvise(self, cookie):
        """Disconnects a callback; when it returns, the callback runs no more (from inside the
        callback itself it returns at once). QendixError (E_NOCONNECTION) for an unknown
        cookie."""
        L.check(self._lib.qendix_unadvise(self._h(), cookie))
        self._keep.pop(cookie, None)

    def set_prompt(self, callback):
        """Answers the component's yes-or-no questions (a newer version: download and start it?)
        with callback(title, text) -> bool, on the job's worker thread, which waits for the
        answer. None removes it; without one every question is answered No, as is a question
        whose callback raises (the exception is kept for wait())."""
        if callback is None:
            L.check(self._lib.qendix_set_prompt(self._h(), L.PROMPT_CALLBACK(), None))
            self._keep.pop("prompt", None)
            return

        def ask(title, text, payload):
            try:
                return 1 if callback(L.text_result(title), L.text_result(text)) else 0
            except BaseException as e:
                self._kept_error(e)
                return 0

        c_callback = L.PROMPT_CALLBACK(ask)
        L.check(self._lib.qendix_set_prompt(self._h(), c_callback, None))
        self._keep["prompt"] = c_callback

    # Jobs ------------------------------------------------------------------------------------

    def start(self, job):
        """Starts "read", "check", "anonymize", "send" or "auto" and returns its Job at once,
        which gathers the job's events from before its first one. BusyError when a job runs
        (here or in another process of the user); QendixError (E_INVALIDARG) for another
        name."""
        if self._job is not None and self._job.ended:
            self._job._detach()
        started = Job(self)
        try:
            L.check(self._lib.qendix_start(self._h(), L.text_arg(job)))
        except BaseException:
            started._detach()
            raise
        self._job = started
        return started

    def run(self, job):
        """Starts the job and yields its events as they come until it has ended."""
        return self.start(job).events()

    def cancel(self):
        """Asks the running job to stop before its next file; returns at once. Any thread."""
        L.check(self._lib.qendix_cancel(self._h()))

    def wait(self, timeout=None):
        """Waits until the job last started through this component has ended (at once when none
        was started): True then, False when `timeout` seconds ran out first. Any thread but the
        job's own (QendixError E_UNEXPECTED from one of its callbacks). Raises the first
        exception a callback kept, once the job has ended."""
        ended = self._wait_ended(timeout)
        if ended:
            self.raise_callback_error()
        return ended

    def _wait_ended(self, timeout):
        deadline = None if timeout is None else time.monotonic() + timeout
        handle = self._h()
        while True:
            step = _POLL if deadline is None else min(_POLL, max(0, deadline - time.monotonic()))
            if L.check(self._lib.qendix_wait(handle, _timeout_ms(step))) == L.OK:
                return True
            if deadline is not None and time.monotonic() >= deadline:
                return False


class Job:
    """A started job: its events (gathered from its start), wait() and cancel(). The events are
    those of the component while the job runs; the gathering stops when the job is seen to have
    ended (events(), wait(), the next start())."""

    def __init__(self, component):
        self._component = component
        self._queue = queue.SimpleQueue()
        self._ended = False
        self._cookie = component.advise(self._queue.put)

    def _detach(self):
        if self._cookie is not None:
            cookie, self._cookie = self._cookie, None
            if self._component._closer.alive:
                self._component.unadvise(cookie)

    @property
    def ended(self):
        """True once the job has ended (looks without waiting)."""
        if not self._ended:
            self._ended = self._component._wait_ended(0)
        return self._ended

    def wait(self, timeout=None):
        """Waits for the job's end: True, or False when `timeout` seconds ran out first."""
        if not self._ended and self._component._wait_ended(timeout):
            self._ended = True
            self._detach()
            self._component.raise_callback_error()
        return self._ended

    def cancel(self):
        """Asks the job to stop before its next file; returns at once. Any thread."""
        if not self._ended:
            self._component.cancel()

    def events(self):
        """Yields the job's events in the order they were raised, each as soon as it arrives,
        until the job has ended and every event is delivered."""
        while True:
            try:
                yield self._queue.get(timeout=_POLL)
                continue
            except queue.Empty:
                pass
            if self.wait(0):
                while True:
                    try:
                        yield self._queue.get_nowait()
                    except queue.Empty:
                        return
