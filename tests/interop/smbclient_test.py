#!/usr/bin/python3
"""Samba's smbclient browses and copies from `dirir2i serve`.

Each behaviour runs twice: with the client capped at SMB 2.1 and with its
default maximum (which also offers SMB 3; the server must settle on 2.1).
"""
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from common import SMBCACLS, Server, sha256_file, smbclient, snapshot, write_random_file

CAP_21 = "client max protocol=SMB2_10"
ODD_NAMES = ["with space.txt", "caf\u00e9.txt", "\u65e5\u672c.txt", "a  b  c.dat"]
BIG_SIZE = 100 * 1024 * 1024


def build_tree(root):
    """The share content shared by the browsing tests."""
    many = os.path.join(root, "many")
    os.makedirs(many)
    for i in range(2000):
        with open(os.path.join(many, f"file{i:04d}.txt"), "w") as f:
            f.write(f"{i}\n")
    for name in ODD_NAMES:
        with open(os.path.join(root, name), "w") as f:
            f.write(name + "\n")
    nested = os.path.join(root, "tree")
    for d in ["a", "a/b", "a/b/c", "d", "e f"]:
        os.makedirs(os.path.join(nested, d))
    for i, d in enumerate(["", "a", "a/b", "a/b/c", "d", "e f"]):
        for j in range(3):
            write_random_file(os.path.join(nested, d, f"n{i}_{j}.bin"), 1000 * (i + 1) + j, i * 10 + j)
    write_random_file(os.path.join(root, "big.bin"), BIG_SIZE, 7)
    with open(os.path.join(root, "hello.txt"), "w") as f:
        f.write("hello\n")


def listed(output, name):
    """True when an smbclient `ls` line shows this entry."""
    return re.search(r"^  " + re.escape(name) + r"\s+[A-Z]+\s+\d+\s", output, re.M) is not None


class Fixture(unittest.TestCase):
    """A server over a temporary share, built once per class."""

    protocol_options = (CAP_21,)
    users = {"alice": "Secret123"}
    opts = {"guest": "on"}

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="dirir2i-interop-")
        cls.root = os.path.join(cls.tmp, "share")
        os.makedirs(cls.root)
        cls.outside = os.path.join(cls.tmp, "outside")
        os.makedirs(cls.outside)
        with open(os.path.join(cls.outside, "secret.txt"), "w") as f:
            f.write("not for clients\n")
        build_tree(cls.root)
        os.symlink(cls.outside, os.path.join(cls.root, "escape_dir"))
        os.symlink(os.path.join(cls.outside, "secret.txt"), os.path.join(cls.root, "escape.txt"))
        cls.single = os.path.join(cls.tmp, "single.txt")
        with open(cls.single, "w") as f:
            f.write("just one file\n")
        cls.server = Server({"docs": cls.root, "one": cls.single, "Music": cls.root},
                            users=cls.users, opts=cls.opts, workdir=cls.tmp)
        cls.server.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_client(self, service, commands=None, user="alice", password="Secret123", options=()):
        return smbclient(self.server.port, service, commands, user=user, password=password,
                         options=tuple(self.protocol_options) + tuple(options))

    def assertOk(self, result):
        self.assertEqual(result.returncode, 0,
                         result.stdout + "\n--- server log ---\n" + self.server.read_log()[-3000:])


class BrowseAndCopy(Fixture):
    def test_share_list_shows_ipc_and_every_share(self):
        r = self.run_client(None)
        self.assertOk(r)
        for name, kind in [("IPC$", "IPC"), ("docs", "Disk"), ("one", "Disk"), ("Music", "Disk")]:
            self.assertRegex(r.stdout, r"(?m)^\s+" + re.escape(name) + r"\s+" + kind + r"\b")

    def test_ls_shows_two_thousand_files_and_unusual_names(self):
        r = self.run_client("docs", "ls many/*")
        self.assertOk(r)
        missing = [i for i in range(2000) if not listed(r.stdout, f"file{i:04d}.txt")]
        self.assertEqual(missing, [])
        r = self.run_client("docs", "ls")
        self.assertOk(r)
        for name in ODD_NAMES + ["hello.txt", "big.bin", "many", "tree"]:
            self.assertTrue(listed(r.stdout, name), name + "\n" + r.stdout)

    def test_get_of_a_large_file_gives_identical_bytes(self):
        out = os.path.join(self.tmp, f"big-{self.id()}.out")
        r = self.run_client("docs", f'get big.bin "{out}"')
        self.assertOk(r)
        self.assertEqual(os.path.getsize(out), BIG_SIZE)
        self.assertEqual(sha256_file(out), sha256_file(os.path.join(self.root, "big.bin")))
        os.remove(out)

    def test_get_of_unusual_names(self):
        dest = tempfile.mkdtemp(dir=self.tmp)
        for name in ODD_NAMES:
            r = self.run_client("docs", f'get "{name}" "{os.path.join(dest, name)}"')
            self.assertOk(r)
            with open(os.path.join(dest, name)) as f:
                self.assertEqual(f.read(), name + "\n")

    def test_recursive_mget_copies_a_nested_tree_exactly(self):
        dest = tempfile.mkdtemp(dir=self.tmp)
        r = self.run_client("docs", f'cd tree; lcd "{dest}"; recurse ON; prompt OFF; mget *')
        self.assertOk(r)
        diff = subprocess.run(["diff", "-r", os.path.join(self.root, "tree"), dest],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(diff.returncode, 0, diff.stdout)

    def test_single_file_share_serves_its_file_as_the_share_root(self):
        # The share is the file itself: the client opens the root by an empty name.
        out = os.path.join(self.tmp, f"one-{self.id()}.out")
        r = self.run_client("one", f'get "" "{out}"')
        self.assertOk(r)
        with open(out) as f:
            self.assertEqual(f.read(), "just one file\n")
        # Nothing lies below it.
        r = self.run_client("one", f'get other.txt "{out}.2"')
        self.assertRegex(r.stdout, r"NT_STATUS_OBJECT_(PATH|NAME)_NOT_FOUND")

    def test_writes_are_refused_and_the_share_is_unchanged(self):
        before = snapshot(self.root)
        local = os.path.join(self.tmp, f"upload-{os.getpid()}.txt")
        with open(local, "w") as f:
            f.write("new content\n")
        for cmd in [f'put "{local}" new.txt', f'put "{local}" hello.txt', "mkdir newdir",
                    "rm hello.txt", "rename hello.txt renamed.txt", "rmdir tree/d",
                    "deltree tree"]:
            r = self.run_client("docs", cmd)
            self.assertRegex(r.stdout, r"NT_STATUS_(ACCESS_DENIED|MEDIA_WRITE_PROTECTED)",
                             cmd + "\n" + r.stdout)
        self.assertEqual(snapshot(self.root), before)

    def test_allinfo_of_a_name_in_another_case_shows_its_stream_and_short_name(self):
        r = self.run_client("docs", "allinfo HELLO.TXT")
        self.assertOk(r)
        self.assertIn("altname: HELLO.TXT", r.stdout)
        self.assertIn("stream: [::$DATA], 6 bytes", r.stdout)

    def test_links_out_of_the_share_are_neither_listed_nor_readable(self):
        r = self.run_client("docs", "ls")
        self.assertOk(r)
        self.assertFalse(listed(r.stdout, "escape_dir"), r.stdout)
        self.assertFalse(listed(r.stdout, "escape.txt"), r.stdout)
        out = os.path.join(self.tmp, f"escape-{self.id()}.out")
        r = self.run_client("docs", f'get escape.txt "{out}"')
        self.assertRegex(r.stdout, r"NT_STATUS_OBJECT_(PATH|NAME)_NOT_FOUND")
        self.assertFalse(os.path.exists(out) and os.path.getsize(out) > 0)
        r = self.run_client("docs", "ls escape_dir/*")
        self.assertNotIn("secret.txt", r.stdout)


class Acls(unittest.TestCase):
    """smbcacls reads the fixed descriptor and the maximal access (MxAc).
    It only connects to port 445, so the server binds a loopback address of
    its own there; skipped where that is not allowed."""

    def test_descriptor_and_maximal_access_are_read_only(self):
        tmp = tempfile.mkdtemp(prefix="dirir2i-acls-")
        try:
            os.makedirs(os.path.join(tmp, "share", "sub"))
            bind = f"127.44.{os.getpid() % 250 + 1}.1"
            try:
                server = Server({"docs": os.path.join(tmp, "share")}, users={"alice": "Secret123"},
                                workdir=tmp, bind=bind, port=445).__enter__()
            except RuntimeError as e:
                self.skipTest("no port 445 on a loopback address here: " + str(e)[-200:])
            try:
                r = subprocess.run([SMBCACLS, "--configfile=/dev/null", f"//{bind}/docs", "sub",
                                    "-U", "alice%Secret123", "--numeric", "-x"],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                   timeout=120)
            finally:
                server.__exit__(None, None, None)
            self.assertEqual(r.returncode, 0, r.stdout)
            for line in ["OWNER:S-1-5-32-544", "GROUP:S-1-5-32-544",
                         "ACL:S-1-1-0:0/0x0/0x001200a9", "Maximum access: 0x1200a9"]:
                self.assertIn(line, r.stdout.splitlines())
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


class BrowseAndCopyWithDefaultProtocol(BrowseAndCopy):
    """The client also offers SMB 3; the server must negotiate 2.1."""
    protocol_options = ()

    def test_negotiated_dialect_is_2_1(self):
        # The server's own trace names the dialect it chose.
        with Server({"docs": self.root}, opts={"guest": "on"},
                    env={"DIRIR2I_TRACE": "1"}) as traced:
            r = smbclient(traced.port, "docs", "ls hello.txt")
            self.assertOk(r)
            self.assertIn("[nego] best=210 is31=1", traced.read_log())


class Logons(Fixture):
    opts = {"guest": "off"}

    def test_user_with_the_right_password_logs_on(self):
        self.assertOk(self.run_client("docs", "ls hello.txt"))

    def test_user_logs_on_when_the_client_requires_signing(self):
        r = self.run_client("docs", f'get big.bin "{os.devnull}"', options=("client signing=required",))
        self.assertOk(r)

    def test_wrong_password_reports_a_logon_failure(self):
        r = self.run_client("docs", "ls", password="wrong")
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("NT_STATUS_LOGON_FAILURE", r.stdout)

    def test_guest_is_refused_when_guests_are_not_allowed(self):
        r = smbclient(self.server.port, "docs", "ls", options=(CAP_21,))
        self.assertNotEqual(r.returncode, 0)
        self.assertRegex(r.stdout, r"NT_STATUS_(LOGON_FAILURE|ACCESS_DENIED)")


class GuestLogon(Fixture):
    users = {}
    opts = {"guest": "auto"}

    def test_guest_logon_lists_and_reads(self):
        r = smbclient(self.server.port, "docs", "ls; get hello.txt " + os.devnull, options=(CAP_21,))
        self.assertOk(r)
        self.assertTrue(listed(r.stdout, "hello.txt"))


class ServerRequiresSigning(Fixture):
    opts = {"signing": "required"}

    def test_files_arrive_identical_with_signing_required_by_the_server(self):
        out = os.path.join(self.tmp, "signed.out")
        r = self.run_client("docs", f'get big.bin "{out}"')
        self.assertOk(r)
        self.assertEqual(sha256_file(out), sha256_file(os.path.join(self.root, "big.bin")))
        os.remove(out)

    def test_and_with_signing_required_by_both(self):
        r = self.run_client("docs", "cd tree; ls", options=("client signing=required",))
        self.assertOk(r)
        self.assertTrue(listed(r.stdout, "n0_0.bin"))
        # Every request of a whole copy is signed and verified: the server
        # turns unsigned requests away on this session.
        out = os.path.join(self.tmp, "both-signed.out")
        r = self.run_client("docs", f'get big.bin "{out}"', options=("client signing=required",))
        self.assertOk(r)
        self.assertEqual(sha256_file(out), sha256_file(os.path.join(self.root, "big.bin")))
        os.remove(out)


class ServerRequiresSigningWithDefaultProtocol(ServerRequiresSigning):
    """The same with the client also offering SMB 3."""
    protocol_options = ()


class NtlmsspIntegrity(Fixture):
    """smbclient told to protect the logon with NTLMSSP signing: it demands
    SIGN back in our CHALLENGE and checks our mechListMIC."""
    opts = {"guest": "off"}

    def test_signing_protected_logon_copies_identical_files_at_each_dialect(self):
        for protocol in ((CAP_21,), ()):
            with self.subTest(protocol=protocol):
                out = os.path.join(self.tmp, "protected.out")
                r = smbclient(self.server.port, "docs", f'get big.bin "{out}"', user="alice",
                              password="Secret123", options=protocol,
                              extra=("--client-protection=sign",))
                self.assertOk(r)
                self.assertEqual(sha256_file(out), sha256_file(os.path.join(self.root, "big.bin")))
                os.remove(out)

    def test_credentialed_share_list(self):
        for extra in ((), ("--client-protection=sign",)):
            with self.subTest(extra=extra):
                r = smbclient(self.server.port, None, user="alice", password="Secret123",
                              extra=extra)
                self.assertOk(r)
                self.assertRegex(r.stdout, r"(?m)^\s+docs\s+Disk\b")

    def test_wrong_password_still_fails_with_protection(self):
        r = smbclient(self.server.port, "docs", "ls", user="alice", password="wrong",
                      extra=("--client-protection=sign",))
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("NT_STATUS_LOGON_FAILURE", r.stdout)


class SlotSquatting(Fixture):
    """Clients without credentials take every slot and keep themselves busy
    with keep-alives and NEGOTIATEs: the logon deadline closes them, and a
    real client then gets in."""
    opts = {"guest": "on", "max_clients": "16", "logon_timeout_ms": "1000"}

    def test_squatters_are_closed_by_the_logon_deadline(self):
        negotiate = bytes.fromhex(
            "fe534d4240000000000000000000000000000000000000000000000000000000"
            "0000000000000000000000000000000000000000000000000000000000000000"
            "24000100010000000000000000000000000000000000000000000000000000001002")
        squatters = []
        for i in range(16):
            s = socket.create_connection(("127.0.0.1", self.server.port))
            if i % 2:
                s.sendall(len(negotiate).to_bytes(4, "big") + negotiate)
            squatters.append(s)
        time.sleep(0.3)
        r = self.run_client("docs", "ls hello.txt")
        self.assertNotEqual(r.returncode, 0, "every slot is taken")
        closed = set()
        deadline = time.monotonic() + 10
        while len(closed) < len(squatters) and time.monotonic() < deadline:
            for i, s in enumerate(squatters):
                if i in closed:
                    continue
                try:
                    s.sendall(b"\0\0\0\0")  # a keep-alive: it must not buy time
                    s.settimeout(0.01)
                    while True:
                        data = s.recv(4096)
                        if not data:
                            closed.add(i)
                            break
                except socket.timeout:
                    pass
                except OSError:
                    closed.add(i)
            time.sleep(0.2)
        for s in squatters:
            s.close()
        self.assertEqual(len(closed), len(squatters))
        self.assertOk(self.run_client("docs", "ls hello.txt"))


class UserBeforeGuest(Fixture):
    """Guests are on, yet a user who proves the password gets a user session
    with a key; a client that requires signing can't use anything else."""
    opts = {"guest": "on"}

    def test_user_requiring_signing_copies_identical_files_while_guests_are_on(self):
        out = os.path.join(self.tmp, "user-signed.out")
        r = self.run_client("docs", f'get big.bin "{out}"', options=("client signing=required",))
        self.assertOk(r)
        self.assertEqual(sha256_file(out), sha256_file(os.path.join(self.root, "big.bin")))
        os.remove(out)

    def test_anonymous_client_still_gets_a_guest_session(self):
        r = smbclient(self.server.port, "docs", "ls hello.txt", options=(CAP_21,))
        self.assertOk(r)
        self.assertTrue(listed(r.stdout, "hello.txt"))


if __name__ == "__main__":
    unittest.main()
