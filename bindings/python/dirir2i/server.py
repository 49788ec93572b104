"""The `Server` class and the library's process-wide functions.

The library holds one server per process and keeps its configuration (shares,
users, allow-list, options) in process-wide tables. A `Server` adds its own
configuration when it starts and takes it away again when it stops, so that
servers started one after another in a process share nothing but what the
library can't take back (see `Server` about the allow-list).
"""
from __future__ import annotations

import ctypes
import ipaddress
import json
import os
import warnings
from typing import Dict, Iterable, List, Mapping, Optional, Set, Union

from . import _native
from ._native import Dirir2iError, call_lock, check, library, text

PathLike = Union[str, "os.PathLike[str]"]
OptionValue = Union[str, int, bool]

# The library's defaults: what `stop()` puts an option back to. The library
# has no call that reads an option, so this table is the only way back.
DEFAULT_OPTIONS: Dict[str, str] = {
    "guest": "auto",
    "signing": "enabled",
    "ntlm_timecheck": "on",
    "max_clients": "16",
    "idle_timeout_ms": "300000",
    "io_timeout_ms": "30000",
    "logon_timeout_ms": "30000",
    "max_login_failures": "3",
    "max_handles": "1024",
    "max_message": "4194304",
    "max_credits": "256",
    "clock": "0",
    "server_name": "KESTRAVONDLEX",
    "banner": "",
}

# Counters that tell what is open now rather than how often something
# happened; `Server.stats()` reports them as they are.
_LEVELS = ("running", "port", "clients", "connections")

# The allow-list entries this process has given the library. The library
# keeps them until the process ends (it has no call to remove one), so they
# decide which later servers can be started honestly.
_allowed: Set[str] = set()


def _allow_key(entry: str) -> str:
    # 10.0.0.5/8 and 10.0.0.0/8 are the same entry to the library.
    try:
        return str(ipaddress.ip_network(entry, strict=False))
    except ValueError:
        return entry


def _is_loopback(bind: Optional[str]) -> bool:
    try:
        return ipaddress.ip_address(bind or "127.0.0.1").is_loopback
    except ValueError:
        return False


def _option_text(key: str, value: OptionValue) -> str:
    if isinstance(value, bool):
        return ("enabled", "required")[value] if key == "signing" else ("off", "on")[value]
    return str(value)


class Server:
    """The library's SMB2 server with this object's shares, users, allow-list
    entries and options.

    Nothing reaches the library until `start()`. `stop()` stops the server,
    removes the shares and users this object added and puts the options it set
    back to the library's defaults (`DEFAULT_OPTIONS`; an option the package
    doesn't know, say one newer than it, stays set and a warning says so).
    Only a host that also configures the library through its C functions can
    clash: a share name it holds makes `start()` fail, and a user it holds gets
    this server's password and is removed by `stop()`.

    Allow-list entries can't be taken back: the library keeps them until the
    process ends. So `start()` refuses, before changing anything, to serve on
    an address other than loopback while the library holds entries that this
    server's `allow` doesn't list, since the server would admit clients its
    caller never asked for. On a loopback address no other machine can
    connect, so the entries don't matter there.

    There is one server per process: starting a second while one runs raises
    Dirir2iError with code -4. Use as a context manager to start and stop::

        with Server(shares={"docs": "/srv/docs"}, users={"alice": "pw"}) as srv:
            print(srv.port)
    """

    def __init__(
        self,
        shares: Optional[Mapping[str, PathLike]] = None,
        users: Optional[Mapping[str, str]] = None,
        allow: Optional[Iterable[str]] = None,
        options: Optional[Mapping[str, OptionValue]] = None,
    ) -> None:
        """shares: {share name: host folder or regular file}; users: {name:
        password}; allow: addresses or address/prefix texts admitted besides
        loopback; options: {key: value} as `dirir2i serve --opt` takes them
        (booleans become on/off, or required/enabled for `signing`), share
        keys too: {"share.docs.users": "alice,bob", "share.docs.guest": False}."""
        self.shares: Dict[str, str] = {n: os.fspath(p) for n, p in (shares or {}).items()}
        self.users: Dict[str, str] = dict(users or {})
        self.allow: List[str] = list(allow or [])
        self.options: Dict[str, str] = {k: _option_text(k, v) for k, v in (options or {}).items()}
        self.bind: Optional[str] = None
        self._port = 0
        self._added_shares: List[str] = []
        self._added_users: List[str] = []
        self._set_options: List[str] = []
        self._baseline: Dict[str, Union[int, bool]] = {}

    @property
    def port(self) -> int:
        """The port being served, 0 when this server is not running."""
        return self._port

    @property
    def running(self) -> bool:
        return self._port != 0

    def start(self, bind: str = "127.0.0.1", port: int = 0) -> int:
        """Configures the library and starts serving on `bind` (an IP address
        text; "::" takes IPv6 and IPv4 clients). Port 0 lets the system choose.
        Returns the port. On any failure everything this call added is taken
        away again and Dirir2iError carries the library's message."""
        lib = library()
        with call_lock:
            current = lib.dirir2i_port()
            if current:
                raise Dirir2iError(-4, f"start: already running on port {current}")
            self._refuse_wider_allow_list(bind)
            try:
                self._configure(lib)
                check(lib.dirir2i_start(text(bind, "bind"), port, None))
            except BaseException:
                self._unconfigure(lib)
                raise
            self.bind = bind
            self._port = lib.dirir2i_port()
            self._baseline = _stats_unlocked(lib)
        return self._port

    def stop(self) -> None:
        """Stops serving, closing every client connection, and waits for the
        server's threads (about 100 ms for idle clients); then removes this
        server's configuration. Does nothing when not running."""
        if not self._port:
            return
        lib = library()
        lib.dirir2i_stop()
        with call_lock:
            self._unconfigure(lib)
            self._port = 0

    def stats(self) -> Dict[str, Union[int, bool]]:
        """The library's counters since this server started: `running`,
        `port`, `clients` and `connections` as they are now, every other
        counter as its growth since `start()` (the library's own totals cover
        the whole process; `dirir2i.stats()` gives those)."""
        now = stats()
        if not self._baseline:
            return now
        return {k: v if k in _LEVELS else v - self._baseline.get(k, 0) for k, v in now.items()}

    def __enter__(self) -> "Server":
        if not self._port:
            self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __repr__(self) -> str:
        where = f"{self.bind}:{self._port}" if self._port else "stopped"
        return f"<dirir2i.Server {where} shares={sorted(self.shares)}>"

    def _refuse_wider_allow_list(self, bind: str) -> None:
        extra = _allowed - {_allow_key(a) for a in self.allow}
        if extra and not _is_loopback(bind):
            raise Dirir2iError(
                -1,
                f"start: this process already admits {', '.join(sorted(extra))} (allow-list "
                f"entries last until the process ends); a server on {bind} would admit "
                "them too: list them in allow= or bind a loopback address")

    def _configure(self, lib: ctypes.CDLL) -> None:
        # A share's own keys ("share.NAME.users", ...) need the share: they
        # come after it, and leave the library with it.
        for key, value in self.options.items():
            if not key.startswith("share."):
                check(lib.dirir2i_set_option(text(key, "option key"), text(value, "option value")))
                self._set_options.append(key)
        for name, path in self.shares.items():
            check(lib.dirir2i_add_share(text(name, "share name"), text(path, "share path")))
            self._added_shares.append(name)
        for key, value in self.options.items():
            if key.startswith("share."):
                check(lib.dirir2i_set_option(text(key, "option key"), text(value, "option value")))
        for user, password in self.users.items():
            check(lib.dirir2i_add_user(text(user, "user"), text(password, "password")))
            self._added_users.append(user)
        for entry in self.allow:
            check(lib.dirir2i_allow_cidr(text(entry, "allow entry")))
            _allowed.add(_allow_key(entry))

    def _unconfigure(self, lib: ctypes.CDLL) -> None:
        # Failures here (another caller removed the item already) change
        # nothing that could be put right, so they are not raised.
        for name in self._added_shares:
            lib.dirir2i_remove_share(name.encode())
        for user in self._added_users:
            lib.dirir2i_remove_user(user.encode())
        unknown = []
        for key in self._set_options:
            if key in DEFAULT_OPTIONS:
                lib.dirir2i_set_option(key.encode(), DEFAULT_OPTIONS[key].encode())
            else:
                unknown.append(key)
        if unknown:
            warnings.warn(f"dirir2i: option(s) {', '.join(unknown)} stay set: their defaults "
                          "are unknown to this package", RuntimeWarning, stacklevel=3)
        self._added_shares, self._added_users, self._set_options = [], [], []


def _stats_unlocked(lib: ctypes.CDLL) -> Dict[str, Union[int, bool]]:
    counters: Dict[str, Union[int, bool]] = json.loads(lib.dirir2i_stats_json().decode())
    return counters


def stats() -> Dict[str, Union[int, bool]]:
    """The library's counters over the whole process, as `dirir2i_stats_json`
    gives them: `running`, `port`, `clients` and the 26 counters."""
    lib = library()
    with call_lock:
        return _stats_unlocked(lib)


def simulate(script: str, peer: str = "127.0.0.1") -> str:
    """Plays one scripted client connection from address `peer` without a
    network, against the configuration the library holds now (for example
    inside a started `Server`), and returns the transcript. The script's
    format is that of `dirir2i sim`. Raises Dirir2iError when the library
    returns no transcript."""
    lib = library()
    with call_lock:
        raw = lib.dirir2i_simulate(text(script, "script"), text(peer, "peer"))
        if raw is None:
            raise Dirir2iError(-1, _native.last_error())
        return str(raw.decode("utf-8", "replace"))


def selftest() -> bool:
    """Runs the library's crypto known-answer tests; True when all pass."""
    lib = library()
    with call_lock:
        return bool(lib.dirir2i_selftest() == b"selftest ok\n")


def version() -> str:
    """The library's version text."""
    return str(library().dirir2i_version().decode())


def client_count() -> int:
    """Client connections open now."""
    return int(library().dirir2i_client_count())


def session_count() -> int:
    """The library's `sessions` counter minus `logon_failed` (0 when not
    positive), over the whole process."""
    return int(library().dirir2i_session_count())
