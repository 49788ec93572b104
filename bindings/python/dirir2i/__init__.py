"""dirir2i: a small read-only SMB2 file server, from Python.

A thin ctypes layer over libdirir2i.so (no compiler needed), found through
the DIRIR2I_LIBRARY environment variable, next to this package, where
`cmake --install` put it, or on the dynamic loader's path::

    from dirir2i import Server

    with Server(shares={"docs": "/srv/docs"}, users={"alice": "s3cret"}) as srv:
        print("serving on port", srv.port, srv.stats())

The package's pytest plugin adds the `smb_server` fixture (see
`dirir2i.pytest_plugin`).
"""
from ._native import Dirir2iError, LibraryNotFoundError, library
from .server import (DEFAULT_OPTIONS, Server, client_count, selftest, session_count, simulate,
                     stats, version)

__version__ = "1.0.1"

__all__ = [
    "DEFAULT_OPTIONS", "Dirir2iError", "LibraryNotFoundError", "Server", "client_count",
    "library", "selftest", "session_count", "simulate", "stats", "version",
]
