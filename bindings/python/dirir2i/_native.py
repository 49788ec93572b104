"""Finding and loading libdirir2i.so, and the prototypes of its sixteen exports.

The library is loaded on first use, not on import, so that importing the
package (pytest imports its plugin in every session once the package is
installed) never fails on a machine without the library.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from pathlib import Path
from typing import List, Optional

LIBRARY_ENV = "DIRIR2I_LIBRARY"
LIBRARY_NAME = "libdirir2i.so"


class LibraryNotFoundError(OSError):
    """libdirir2i.so could not be loaded from any of the places searched."""


class Dirir2iError(RuntimeError):
    """A library call failed. `code` is the library's negative result code
    (-1 bad argument, -2 no such item, -3 already exists, -4 already running,
    -5 system facility, -6 table full, -7 bad name, -8 output area too small)
    and the text is the library's message."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.message = message


# (name, result type, argument types) for every export.
_PROTOTYPES = [
    ("dirir2i_add_share", ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p]),
    ("dirir2i_add_user", ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p]),
    ("dirir2i_allow_cidr", ctypes.c_int, [ctypes.c_char_p]),
    ("dirir2i_client_count", ctypes.c_int32, []),
    ("dirir2i_last_error", ctypes.c_char_p, []),
    ("dirir2i_port", ctypes.c_int, []),
    ("dirir2i_remove_share", ctypes.c_int, [ctypes.c_char_p]),
    ("dirir2i_remove_user", ctypes.c_int, [ctypes.c_char_p]),
    ("dirir2i_selftest", ctypes.c_char_p, []),
    ("dirir2i_session_count", ctypes.c_int32, []),
    ("dirir2i_set_option", ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p]),
    ("dirir2i_simulate", ctypes.c_char_p, [ctypes.c_char_p, ctypes.c_char_p]),
    ("dirir2i_start", ctypes.c_int, [ctypes.c_char_p, ctypes.c_uint32, ctypes.c_char_p]),
    ("dirir2i_stats_json", ctypes.c_char_p, []),
    ("dirir2i_stop", None, []),
    ("dirir2i_version", ctypes.c_char_p, []),
]

# The library keeps one error slot and one text result (`g_out`) for the whole
# process: a failing call and the read of its message, and the three calls
# that return texts, must not interleave with another thread's calls. ctypes
# releases the GIL during a call, so the GIL alone does not serialise them.
call_lock = threading.RLock()

_lib: Optional[ctypes.CDLL] = None
_load_lock = threading.Lock()


def _candidates() -> List[str]:
    """Where to look when DIRIR2I_LIBRARY is not set, in order: next to the
    package, the path `cmake --install` recorded, the dynamic loader's own
    search."""
    here = Path(__file__).resolve().parent
    found = [str(here / LIBRARY_NAME)]
    try:
        from . import _installed  # type: ignore[attr-defined]  # by `cmake --install` only

        found.append(str(_installed.LIBRARY))
    except ImportError:
        pass
    found.append(LIBRARY_NAME)
    soname = ctypes.util.find_library("dirir2i")
    if soname:
        found.append(soname)
    return found


def _open(path: str) -> ctypes.CDLL:
    lib = ctypes.CDLL(path)
    for name, restype, argtypes in _PROTOTYPES:
        fn = getattr(lib, name)  # AttributeError when the export is missing
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


def library() -> ctypes.CDLL:
    """The loaded library (loading it on the first call).

    Raises LibraryNotFoundError naming every place tried. When DIRIR2I_LIBRARY
    is set, only that file is tried: a wrong setting should fail loudly, not
    quietly pick up another build.
    """
    global _lib
    with _load_lock:
        if _lib is not None:
            return _lib
        explicit = os.environ.get(LIBRARY_ENV)
        tried = []
        for path in [explicit] if explicit else _candidates():
            if os.sep in path and not os.path.exists(path):
                tried.append(f"{path}: no such file")
                continue
            try:
                _lib = _open(path)
                return _lib
            except (OSError, AttributeError) as e:
                tried.append(f"{path}: {e}")
        raise LibraryNotFoundError(
            f"cannot load {LIBRARY_NAME} (set {LIBRARY_ENV} to its path); tried:\n  "
            + "\n  ".join(tried))


def text(value: str, what: str) -> bytes:
    """A Python string as the NUL-terminated UTF-8 the library takes."""
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    data = value.encode("utf-8")
    if b"\0" in data:
        # ctypes would cut the text at the NUL and the library would act on
        # a different name or path than the caller gave.
        raise ValueError(f"{what} must not contain a NUL character")
    return data


def check(result: int) -> int:
    """Raises Dirir2iError with the library's message for a negative result.
    Call with `call_lock` held since the call that produced `result`."""
    if result < 0:
        raise Dirir2iError(result, last_error())
    return result


def last_error() -> str:
    """The library's message for its most recent failure."""
    raw = library().dirir2i_last_error()
    return str(raw.decode("utf-8", "replace")) if raw else ""
