"""Loading libqendix.so, the prototypes of its C interface and the exception for its results.

The library is found, in this order: the path in QENDIX_LIBRARY, "libqendix.so" through the
dynamic loader, then the name ctypes.util.find_library("qendix") gives. It is loaded once per
process, at the first use.
"""

import ctypes
import ctypes.util
import os
import threading

# Results of the C interface (include/qendix/qendix_c.h): 32-bit HRESULT values read as int.
OK = 0
S_FALSE = 1


def _signed(value):
    return value - (1 << 32) if value >= 1 << 31 else value


E_NOTIMPL = _signed(0x80004001)
E_POINTER = _signed(0x80004003)
E_FAIL = _signed(0x80004005)
E_UNEXPECTED = _signed(0x8000FFFF)
E_OUTOFMEMORY = _signed(0x8007000E)
E_INVALIDARG = _signed(0x80070057)
E_BUSY = _signed(0x800700AA)
E_CLASSNOTAVAILABLE = _signed(0x80040111)
E_NOCONNECTION = _signed(0x80040200)


class QendixError(Exception):
    """A call into the component failed.

    code: the result (a negative int, one of the E_* values of this module); text: the
    component's text for the failure (qendix_last_error of the calling thread)."""

    def __init__(self, code, text):
        super().__init__("%s (0x%08X)" % (text, code & 0xFFFFFFFF))
        self.code = code
        self.text = text


class BusyError(QendixError):
    """A job runs already, in this or another process of the user (E_BUSY)."""


EVENT_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                  ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p)
PROMPT_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p,
                                   ctypes.c_void_p)

_lock = threading.Lock()
_library = None


def _candidates():
    path = os.environ.get("QENDIX_LIBRARY")
    if path:
        return [path]
    names = ["libqendix.so"]
    found = ctypes.util.find_library("qendix")
    if found and found not in names:
        names.append(found)
    return names


def _declare(lib):
    handle = ctypes.c_void_p
    text = ctypes.c_char_p
    prototypes = {
        "qendix_open": (ctypes.c_int, [ctypes.POINTER(handle)]),
        "qendix_free": (None, [handle]),
        "qendix_set": (ctypes.c_int, [handle, text, text]),
        # The string is freed with qendix_string_free, so it is taken as a plain pointer.
        "qendix_get": (ctypes.c_int, [handle, text, ctypes.POINTER(ctypes.c_void_p)]),
        "qendix_string_free": (None, [ctypes.c_void_p]),
        "qendix_advise": (ctypes.c_int, [handle, EVENT_CALLBACK, ctypes.c_void_p,
                                         ctypes.POINTER(ctypes.c_uint)]),
        "qendix_unadvise": (ctypes.c_int, [handle, ctypes.c_uint]),
        "qendix_set_prompt": (ctypes.c_int, [handle, PROMPT_CALLBACK, ctypes.c_void_p]),
        "qendix_start": (ctypes.c_int, [handle, text]),
        "qendix_cancel": (ctypes.c_int, [handle]),
        "qendix_wait": (ctypes.c_int, [handle, ctypes.c_int]),
        "qendix_last_error": (ctypes.c_char_p, []),
    }
    for name, (restype, argtypes) in prototypes.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


def library():
    """The loaded libqendix.so (a ctypes.CDLL with the prototypes set). Raises OSError when no
    candidate loads."""
    global _library
    with _lock:
        if _library is None:
            failures = []
            for name in _candidates():
                try:
                    _library = _declare(ctypes.CDLL(name))
                    break
                except (OSError, AttributeError) as e:
                    failures.append("%s: %s" % (name, e))
            else:
                raise OSError("libqendix.so not found (set QENDIX_LIBRARY): " +
                              "; ".join(failures))
        return _library


def check(rc):
    """Returns a succeeding result (OK or S_FALSE); raises QendixError (BusyError for E_BUSY)
    with the calling thread's last error text for a failing one. Call it on the thread that made
    the call, right after it: the text is the thread's."""
    if rc >= 0:
        return rc
    raw = library().qendix_last_error()
    text = raw.decode("utf-8", "replace") if raw else "failed"
    raise (BusyError if rc == E_BUSY else QendixError)(rc, text)


def text_arg(value):
    """A str (or None) as the UTF-8 bytes the C interface takes."""
    if value is None or isinstance(value, bytes):
        return value
    return str(value).encode("utf-8")


def text_result(raw):
    """A UTF-8 text from the library as str (None stays None); bytes that are no UTF-8 are
    replaced, never raised on."""
    return None if raw is None else raw.decode("utf-8", "replace")
