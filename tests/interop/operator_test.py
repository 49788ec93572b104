#!/usr/bin/python3
"""Serving a team from a --config file: per-share access as smbclient and
impacket see it (alice, bob and a guest; tree connects and share lists), a
reload on SIGHUP that adds, removes and restricts shares while a client
keeps reading, a broken file on reload, and the metrics file as
prometheus_client's parser reads it.
"""
import os
import re
import signal
import tempfile
import threading
import time
import unittest

from impacket.smb3structs import SMB2_DIALECT_21
from impacket.smbconnection import SessionError, SMBConnection
from prometheus_client.parser import text_string_to_metric_families

from common import Server, parse_logfmt, smbclient

USERS = {"alice": "Alice-pw-1", "bob": "Bob-pw-2"}
GENERIC_READ = 0x80000000
BIG = bytes(range(256)) * 4096  # 1 MiB


def listed(port, user):
    out = smbclient(port, None, user=user, password=USERS.get(user)).stdout
    return sorted(re.findall(r"^\s+(\S+)\s+(?:Disk|IPC)\s", out, re.M))


def opens(port, user, share):
    """True when `user` (None: a guest) lists the share; False when the tree
    connect is refused with ACCESS_DENIED."""
    out = smbclient(port, share, "ls", user=user, password=USERS.get(user)).stdout
    if "NT_STATUS_ACCESS_DENIED" in out:
        return False
    if "a.txt" in out:
        return True
    raise AssertionError(out)


class Operator(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="dirir2i-ops-")
        for name in ["docs", "team", "hidden", "guests", "old", "new"]:
            os.makedirs(os.path.join(self.tmp, name))
            with open(os.path.join(self.tmp, name, "a.txt"), "w") as f:
                f.write(name + "\n")
        with open(os.path.join(self.tmp, "docs", "big.bin"), "wb") as f:
            f.write(BIG)
        users = os.path.join(self.tmp, "users")
        with open(users, "w") as f:
            f.writelines(f"{u}:{p}\n" for u, p in USERS.items())
        os.chmod(users, 0o600)
        self.head = f"bind = 127.0.0.1\nusers_file = {users}\nguest = on\n"
        self.conf = os.path.join(self.tmp, "dirir2i.conf")
        self.metrics = os.path.join(self.tmp, "metrics", "dirir2i.prom")
        os.makedirs(os.path.dirname(self.metrics))

    def write_conf(self, shares, head="port = 0\n"):
        """shares: {name: {key: value}}; every share gets its folder as path."""
        text = self.head + head
        for name, keys in shares.items():
            text += f"\n[{name}]\npath = {os.path.join(self.tmp, name)}\n"
            text += "".join(f"{k} = {v}\n" for k, v in keys.items())
        with open(self.conf, "w") as f:
            f.write(text)

    def server(self):
        return Server({}, workdir=self.tmp, bind=None, port=None,
                      extra=["--config", self.conf, "--metrics-file", self.metrics,
                             "--metrics-interval", "1"])

    def events(self, srv, event):
        return [e for e in (parse_logfmt(line) for line in srv.read_log().splitlines()
                            if line.startswith("time="))
                if e["event"] == event]

    def reload(self, srv):
        before = len(self.events(srv, "reload"))
        srv.proc.send_signal(signal.SIGHUP)
        for _ in range(200):
            done = self.events(srv, "reload")
            if len(done) > before:
                return done[-1]
            time.sleep(0.05)
        raise AssertionError("no reload line: " + srv.read_log()[-2000:])

    def metric_families(self, until):
        """The metrics file parsed, once `until(families)` holds (bounded)."""
        for _ in range(100):
            with open(self.metrics) as f:
                fams = {m.name: m for m in text_string_to_metric_families(f.read())}
            if until(fams):
                return fams
            time.sleep(0.1)
        raise AssertionError("metrics never got there: " + open(self.metrics).read())

    def test_users_and_guests_open_and_list_what_the_access_keys_allow(self):
        self.write_conf({"docs": {}, "team": {"users": "alice"},
                         "hidden": {"browseable": "no"},
                         "guests": {"users": "bob", "guest": "yes"}})
        with self.server() as srv:
            for user, share, ok in [
                    ("alice", "docs", True), ("alice", "team", True), ("alice", "hidden", True),
                    ("alice", "guests", False), ("bob", "docs", True), ("bob", "team", False),
                    ("bob", "hidden", True), ("bob", "guests", True), (None, "docs", True),
                    (None, "team", False), (None, "guests", True)]:
                self.assertEqual(opens(srv.port, user, share), ok, (user, share))
            self.assertEqual(listed(srv.port, "alice"), ["IPC$", "docs", "team"])
            self.assertEqual(listed(srv.port, "bob"), ["IPC$", "docs", "guests"])
            self.assertEqual(listed(srv.port, None), ["IPC$", "docs", "guests"])
            refused = [(e.get("user", "guest"), e["share"]) for e in self.events(srv, "tree")
                       if e["result"] == "refused"]
            self.assertEqual(sorted(refused),
                             [("alice", "guests"), ("bob", "team"), ("guest", "team")])
            self.assertTrue(all(e["reason"] == "access" for e in self.events(srv, "tree")
                                if e["result"] == "refused"))

            # Every counter of the stats line is in the metrics file, and
            # the three refusals and the opens per share have arrived.
            srv.proc.send_signal(signal.SIGUSR1)
            fams = self.metric_families(
                lambda f: f["dirir2i_tree_refused"].samples[0].value == 3)
            for _ in range(100):
                stats = self.events(srv, "stats")
                if stats:
                    break
                time.sleep(0.05)
            for key in set(stats[0]) - {"time", "event", "port"}:
                gauge = key in ("running", "clients", "connections", "trees")
                fam = fams["dirir2i_" + key]
                self.assertEqual(fam.type, "gauge" if gauge else "counter", key)
                self.assertEqual(fam.samples[0].name, "dirir2i_" + key + ("" if gauge else "_total"))
            per_share = {s.labels["share"]: s.value for s in fams["dirir2i_share_opens"].samples}
            self.assertEqual(set(per_share), {"IPC$", "docs", "team", "hidden", "guests"})
            self.assertGreaterEqual(per_share["team"], 1)
            self.assertEqual(sum(per_share.values()), fams["dirir2i_opens"].samples[0].value)
        with open(self.metrics) as f:
            fams = {m.name: m for m in text_string_to_metric_families(f.read())}
        self.assertEqual(fams["dirir2i_running"].samples[0].value, 0, "written at exit")
        self.assertEqual(os.listdir(os.path.dirname(self.metrics)), ["dirir2i.prom"])

    def test_a_reload_adds_removes_and_restricts_while_a_client_keeps_reading(self):
        self.write_conf({"docs": {}, "old": {}, "team": {}})
        with self.server() as srv:
            conn = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=srv.port,
                                 preferredDialect=SMB2_DIALECT_21, timeout=30)
            conn.login("bob", USERS["bob"])
            docs = conn.connectTree("docs")
            big = conn.openFile(docs, "big.bin", desiredAccess=GENERIC_READ)
            old = conn.connectTree("old")
            old_file = conn.openFile(old, "a.txt", desiredAccess=GENERIC_READ)
            reads, errors, stop = [0], [], threading.Event()

            def keep_reading():
                offset = 0
                while not stop.is_set():
                    try:
                        data = conn.readFile(docs, big, offset, 65536)
                        if data != BIG[offset:offset + 65536]:
                            errors.append(f"wrong bytes at {offset}")
                        offset = (offset + 65536) % len(BIG)
                        reads[0] += 1
                    except Exception as e:  # noqa: BLE001 -- any failure is the finding
                        errors.append(repr(e))
                        return

            reader = threading.Thread(target=keep_reading)
            reader.start()
            try:
                while reads[0] < 20 and not errors:
                    time.sleep(0.01)
                self.write_conf({"docs": {"users": "alice"}, "team": {"users": "alice"},
                                 "new": {}}, head="port = 1\n")
                event = self.reload(srv)
                at_reload = reads[0]
                while reads[0] < at_reload + 20 and not errors:
                    time.sleep(0.01)
            finally:
                stop.set()
                reader.join()
            self.assertEqual(errors, [])
            self.assertEqual((event["result"], event.get("restart_needed")), ("ok", "port"))

            # Trees and opens made before the reload go on; a removed share
            # refuses new opens; new tree connects follow the new file.
            self.assertEqual(conn.readFile(old, old_file, 0, 100), b"old\n")
            with self.assertRaisesRegex(SessionError, "STATUS_OBJECT_PATH_NOT_FOUND"):
                conn.openFile(old, "a.txt", desiredAccess=GENERIC_READ)
            conn.closeFile(docs, conn.openFile(docs, "a.txt", desiredAccess=GENERIC_READ))
            conn.close()
            self.assertFalse(opens(srv.port, "bob", "docs"))
            self.assertTrue(opens(srv.port, "alice", "docs"))
            self.assertTrue(opens(srv.port, "bob", "new"))
            self.assertIn("NT_STATUS_OBJECT_NAME_NOT_FOUND",
                          smbclient(srv.port, "old", "ls", user="bob", password=USERS["bob"]).stdout)
            self.assertEqual(listed(srv.port, "bob"), ["IPC$", "new"])
            self.assertEqual(listed(srv.port, "alice"), ["IPC$", "docs", "new", "team"])

    def test_a_broken_file_on_reload_keeps_the_running_configuration(self):
        self.write_conf({"team": {"users": "alice"}})
        with self.server() as srv:
            with open(self.conf, "a") as f:
                f.write("\n[team2]\npath = /nonexistent\ncolour = blue\n")
            lines = open(self.conf).read().count("\n")
            event = self.reload(srv)
            self.assertEqual(event["result"], "refused")
            self.assertEqual(event["reason"],
                             f"{self.conf} line {lines}: colour: unknown key in a share's section")
            self.assertTrue(opens(srv.port, "alice", "team"))
            self.assertFalse(opens(srv.port, "bob", "team"))
            self.assertEqual(listed(srv.port, "alice"), ["IPC$", "team"])


if __name__ == "__main__":
    unittest.main()
