#!/usr/bin/python3
"""The access log of `dirir2i serve` as Samba's smbclient sessions write it:
the lines of a session (accept, logon, tree, a read with its byte count, a
refused write, disconnect), refusals, both formats, SIGHUP (reopen after
rotation) and SIGUSR1 (the counters). Passwords never reach the log or the
process's command line.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from common import SERVER, Server, parse_logfmt, smbclient

PASSWORD = "Sekr1t-Alice"
ODD_USER = 'x" user=admin'  # a name that tries to add a field to its line
ODD_PASSWORD = "Sekr1t-Odd"
CONTENT = b"hello from the log test\n"

def read_events(path, parse):
    with open(path, encoding="utf-8") as f:
        return [parse(line.rstrip("\n")) for line in f]


class Fixture(unittest.TestCase):
    log_format = "logfmt"

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="dirir2i-log-")
        cls.root = os.path.join(cls.tmp, "share")
        os.makedirs(cls.root)
        with open(os.path.join(cls.root, "hello.txt"), "wb") as f:
            f.write(CONTENT)
        cls.upload = os.path.join(cls.tmp, "upload.txt")
        with open(cls.upload, "w") as f:
            f.write("new\n")
        users = os.path.join(cls.tmp, "users")
        with open(users, "w") as f:
            f.write(f"# test users\nalice:{PASSWORD}\n{ODD_USER}:{ODD_PASSWORD}\n")
        os.chmod(users, 0o600)
        cls.log = os.path.join(cls.tmp, "access.log")
        cls.server = Server({"docs": cls.root}, workdir=cls.tmp,
                            extra=["--users-file", users, "--log", cls.log,
                                   "--log-format", cls.log_format])
        cls.server.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def parse(self, line):
        return json.loads(line) if self.log_format == "json" else parse_logfmt(line)

    def events(self, path=None):
        return read_events(path or self.log, self.parse)

    def wait_for(self, predicate, path=None):
        """The events once predicate(events) holds (a client's disconnect
        line follows its exit by a moment)."""
        deadline = time.monotonic() + 10
        while True:
            try:
                events = self.events(path)
            except FileNotFoundError:
                events = []
            if predicate(events) or time.monotonic() > deadline:
                return events
            time.sleep(0.05)

    def session(self, commands, user="alice", password=PASSWORD, service="docs"):
        """Runs smbclient and returns the log lines of its connection."""
        before = {e["conn"] for e in self.events() if "conn" in e}
        r = smbclient(self.server.port, service, commands, user=user, password=password)
        events = self.wait_for(lambda evs: any(
            e["event"] == "disconnect" and e["conn"] not in before for e in evs))
        conns = {e["conn"] for e in events if "conn" in e} - before
        self.assertEqual(len(conns), 1, r.stdout)
        return r, [e for e in events if e.get("conn") in conns]


class AccessLog(Fixture):
    def test_a_session_is_logged_from_accept_to_disconnect(self):
        out = os.path.join(self.tmp, f"out-{self.log_format}.txt")
        r, lines = self.session(f'get hello.txt "{out}"; put "{self.upload}" new.txt')
        self.assertIn("NT_STATUS_ACCESS_DENIED", r.stdout)
        by_event = {}
        for e in lines:
            by_event.setdefault(e["event"], []).append(e)
            self.assertEqual(e["client"], "127.0.0.1")
        self.assertEqual(by_event["accept"][0]["result"], "ok")
        logon = by_event["logon"][0]
        self.assertEqual((logon["user"], logon["result"], logon["type"]), ("alice", "ok", "user"))
        self.assertIn(logon["signing"], ("required", "optional"))
        self.assertEqual([(t["share"], t["result"], t["user"]) for t in by_event["tree"]],
                         [("docs", "ok", "alice")])
        # Every line about the session names it by its SessionId.
        self.assertRegex(logon["session"], "^[0-9a-f]{16}$")
        for e in by_event["tree"] + by_event["close"] + by_event["open"]:
            self.assertEqual(e["session"], logon["session"], e)
        close = by_event["close"][0]
        self.assertEqual((close["path"], str(close["bytes_read"])), ("hello.txt", str(len(CONTENT))))
        refused = by_event["open"][0]
        self.assertEqual((refused["path"], refused["result"], refused["reason"]),
                         ("new.txt", "refused", "read_only"))
        end = by_event["disconnect"][0]
        self.assertGreater(int(end["bytes_sent"]), len(CONTENT))
        self.assertGreaterEqual(int(end["duration_ms"]), 0)
        order = [e["event"] for e in lines]
        self.assertEqual(order[0], "accept")
        self.assertEqual(order[-1], "disconnect")

    def test_refused_logons_say_why_and_never_show_a_password(self):
        _, lines = self.session("ls", password="Wrong-Password-1")
        self.assertIn(("alice", "refused", "bad_password"),
                      [(e["user"], e["result"], e["reason"]) for e in lines if e["event"] == "logon"])
        _, lines = self.session("ls", user="mallory", password="Wrong-Password-2")
        self.assertIn("unknown_user", [e.get("reason") for e in lines if e["event"] == "logon"])
        _, lines = self.session("ls", service="nosuch")
        self.assertIn(("nosuch", "refused", "no_such_share"),
                      [(e["share"], e["result"], e["reason"]) for e in lines if e["event"] == "tree"])
        with open(self.log, encoding="utf-8") as f:
            text = f.read()
        with open(f"/proc/{self.server.proc.pid}/cmdline", "rb") as f:
            cmdline = f.read().decode()
        for secret in (PASSWORD, ODD_PASSWORD, "Wrong-Password"):
            self.assertNotIn(secret, text)
            self.assertNotIn(secret, cmdline)

    def test_a_user_name_cannot_add_a_field_to_its_line(self):
        r, lines = self.session("ls hello.txt", user=ODD_USER, password=ODD_PASSWORD)
        self.assertEqual(r.returncode, 0, r.stdout)
        logons = [e for e in lines if e["event"] == "logon"]
        self.assertEqual([(e["user"], e["result"]) for e in logons], [(ODD_USER, "ok")])

    def test_usr1_writes_the_counters_and_hup_reopens_the_log(self):
        os.kill(self.server.proc.pid, signal.SIGUSR1)
        events = self.wait_for(lambda evs: any(e["event"] == "stats" for e in evs))
        stats = [e for e in events if e["event"] == "stats"][-1]
        for counter in ("connections", "sessions", "logon_failed", "reads", "bytes_sent",
                        "path_refused"):
            self.assertIn(counter, stats)
        self.assertEqual(str(stats["running"]).lower(), "true")
        self.assertEqual(int(stats["port"]), self.server.port)

        # Rotation: the file is moved away, SIGHUP starts a new one.
        rotated = self.log + ".1"
        os.rename(self.log, rotated)
        os.kill(self.server.proc.pid, signal.SIGHUP)
        self.wait_for(lambda evs: os.path.exists(self.log))
        self.assertTrue(os.path.exists(self.log))
        before = len(self.events(rotated))
        _, lines = self.session("ls")
        self.assertIn("logon", [e["event"] for e in lines])
        self.assertEqual(len(self.events(rotated)), before)


class AccessLogJson(AccessLog):
    """The same lines, each one JSON object."""
    log_format = "json"


class Refusals(unittest.TestCase):
    """Connections turned away before they are served."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="dirir2i-refused-")
        self.log = os.path.join(self.tmp, "access.log")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def refusals(self):
        with open(self.log) as f:
            return [(e["client"], e["reason"]) for e in map(parse_logfmt, f.read().splitlines())
                    if e["event"] == "accept" and e["result"] == "refused"]

    def test_a_client_off_the_allow_list(self):
        r = subprocess.run([SERVER, "sim", "--ip", "10.1.2.3", "--log", self.log],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=20)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.refusals(), [("10.1.2.3", "allow")])

    def test_a_client_beyond_max_clients(self):
        with Server({"docs": self.tmp}, workdir=self.tmp, opts={"max_clients": "1"},
                    extra=["--log", self.log]) as server:
            first = socket.create_connection(("127.0.0.1", server.port))
            try:
                first.sendall(b"\x81\x00\x00\x00")  # a session request: the first is served
                self.assertEqual(first.recv(4), b"\x82\x00\x00\x00")
                r = smbclient(server.port, "docs", "ls")
                self.assertNotEqual(r.returncode, 0)
            finally:
                first.close()
            self.assertEqual(self.refusals()[:1], [("127.0.0.1", "full")])


if __name__ == "__main__":
    unittest.main()
