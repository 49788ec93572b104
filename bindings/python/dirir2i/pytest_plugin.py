"""pytest plugin: the `smb_server` fixture, a real SMB2 server per test.

Installed with the package, pytest loads it by itself (entry point
`pytest11`); elsewhere use `-p dirir2i.pytest_plugin`. The fixture serves a
fresh folder under `tmp_path` as the share `data` on a free loopback port,
with one user and a random password::

    def test_client_reads(smb_server):
        (smb_server.path / "hello.txt").write_text("hi")
        client = MyClient(smb_server.host, smb_server.port, smb_server.user,
                          smb_server.password)
        assert client.read(smb_server.share, "hello.txt") == b"hi"
        assert smb_server.stats()["reads"] >= 1

Settings come from the `smb_server` marker or from indirect parametrisation
(`@pytest.mark.parametrize("smb_server", [{"guest": True}], indirect=True)`);
the parameter wins over markers, a test's marker over its class's or module's:

- `guest=True`: no user, guest logons on (`user` and `password` are None);
- `signing=True`: signing required;
- `shares={name: path}`: more shares beside `data`;
- `options={key: value}`: any other server option;
- `user="name"`: the user's name (default "tester").
"""
from __future__ import annotations

import secrets
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, Iterator, Optional, Union
from urllib.parse import quote

import pytest

from .server import Server

SETTINGS = ("guest", "signing", "shares", "options", "user")


@dataclass
class SmbServer:
    """What a test needs to reach the fixture's server."""

    host: str
    port: int
    share: str
    user: Optional[str]
    password: Optional[str]
    path: Path
    server: Server = field(repr=False)

    @property
    def url(self) -> str:
        """smb://[user:password@]host:port/share"""
        cred = ""
        if self.user is not None:
            cred = f"{quote(self.user, safe='')}:{quote(self.password or '', safe='')}@"
        return f"smb://{cred}{self.host}:{self.port}/{self.share}"

    def stats(self) -> Dict[str, Union[int, bool]]:
        """The server's counters since this test's server started."""
        return self.server.stats()


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "smb_server(guest=False, signing=False, shares=None, options=None, user='tester'): "
        "settings of the smb_server fixture")


def _settings(request: pytest.FixtureRequest) -> Dict[str, Any]:
    settings: Dict[str, Any] = {}
    for mark in reversed(list(request.node.iter_markers("smb_server"))):
        if mark.args:
            raise pytest.UsageError("the smb_server marker takes keyword arguments only")
        settings.update(mark.kwargs)
    settings.update(getattr(request, "param", None) or {})
    unknown = sorted(set(settings) - set(SETTINGS))
    if unknown:
        raise pytest.UsageError(f"smb_server: unknown setting(s) {', '.join(unknown)}; "
                                f"known: {', '.join(SETTINGS)}")
    return settings


@pytest.fixture
def smb_server(request: pytest.FixtureRequest, tmp_path: Path) -> Iterator[SmbServer]:
    """A started server sharing a fresh folder as `data`; stopped, and its
    configuration removed, after the test."""
    settings = _settings(request)
    root = tmp_path / "data"
    root.mkdir()
    options = dict(settings.get("options") or {})
    if settings.get("signing"):
        options["signing"] = "required"
    user: Optional[str] = None
    password: Optional[str] = None
    users: Dict[str, str] = {}
    if settings.get("guest"):
        options["guest"] = "on"
    else:
        user = str(settings.get("user", "tester"))
        password = secrets.token_hex(12)
        users[user] = password
    shares = {"data": root, **(settings.get("shares") or {})}
    server = Server(shares=shares, users=users, options=options)
    host = "127.0.0.1"
    port = server.start(bind=host, port=0)
    try:
        yield SmbServer(host, port, "data", user, password, root, server)
    finally:
        server.stop()
