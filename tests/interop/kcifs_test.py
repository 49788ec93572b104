#!/usr/bin/python3
"""The Linux kernel's SMB client mounts, browses and copies from
`dirir2i serve`, at SMB 2.0.2 and 2.1, as a user and as a guest.

Each mount boots a throw-away qemu guest (../shared/clients/kcifs.sh beside
the repository, about 10 s a boot), so every boot runs several commands.
Skips (exit 77 under CTest) when the script is not there.
"""
import os
import re
import shutil
import sys
import tempfile
import unittest

from common import KCIFS, Server, kcifs, sha256_file, snapshot, write_random_file

USER, PASSWORD = "alice", "Secret123"
ODD_NAME = "caf\u00e9 \u65e5\u672c \u00fcber.txt"
BIG_SIZE = 64 * 1024 * 1024
TREE_DIRS, TREE_FILES = 100, 100  # 10,000 files in 100 folders
WIDE = 100_000  # entries of one folder: the most one listing holds


def build_share(root):
    with open(os.path.join(root, "hello.txt"), "w") as f:
        f.write("hello from the host\n")
    os.makedirs(os.path.join(root, "sub"))
    os.makedirs(os.path.join(root, "empty"))
    with open(os.path.join(root, "sub", "inner.txt"), "w") as f:
        f.write("inner\n")
    with open(os.path.join(root, ODD_NAME), "w") as f:
        f.write("a name that is not ASCII\n" * 100)
    write_random_file(os.path.join(root, "big.bin"), BIG_SIZE, 19)
    for d in range(TREE_DIRS):
        folder = os.path.join(root, "tree", f"d{d:03d}")
        os.makedirs(folder)
        for i in range(TREE_FILES):
            open(os.path.join(folder, f"f{i:03d}.txt"), "w").close()
    wide = os.path.join(root, "wide")
    os.makedirs(wide)
    for i in range(WIDE):
        open(os.path.join(wide, f"e{i:06d}"), "w").close()


def quoted(name):
    return "'" + name.replace("'", "'\\''") + "'"


# Every way a shell writes, each expected to fail with EACCES (the server
# refuses) or EROFS, whichever comes first; "WROTE" if one got through.
WRITES = ["echo x > new.txt", "echo x >> hello.txt", "mkdir newdir", "rm hello.txt",
          "mv hello.txt moved.txt", "touch hello.txt", "rmdir empty"]
WRITE_CMD = ("for t in " + " ".join(quoted(w) for w in WRITES) + "; do "
             'if sh -c "$t" 2>/tmp/e; then echo "WROTE: $t"; '
             'else echo "REFUSED: $t: $(kcat /tmp/e)"; fi; done')


class KernelClient(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="dirir2i-kcifs-")
        cls.root = os.path.join(cls.tmp, "share")
        os.makedirs(cls.root)
        build_share(cls.root)
        cls.big_hash = sha256_file(os.path.join(cls.root, "big.bin"))
        cls.odd_hash = sha256_file(os.path.join(cls.root, ODD_NAME))
        cls.server = Server({"docs": cls.root}, users={USER: PASSWORD}, opts={"guest": "on"},
                            workdir=cls.tmp)
        cls.server.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def mount(self, commands, vers, user=None, opts=None, sign=False):
        run = kcifs(self.server.port, "docs", commands, user=user,
                    password=PASSWORD if user else None, vers=vers, opts=opts, sign=sign)
        self.assertEqual(run.rc, 0, run.output[-6000:])
        self.assertEqual(len(run.cmds), len(commands), run.output[-6000:])
        dialect = {"2.0": "Dialect 0x202", "2.1": "Dialect 0x210"}[vers]
        self.assertIn(dialect, run.output)
        session = [line for line in run.output.splitlines() if "Session Status" in line]
        self.assertTrue(session, run.output[-3000:])
        self.assertEqual("Guest" in session[0], user is None, session[0])
        security = [line for line in run.output.splitlines() if "Security type" in line]
        self.assertTrue(security, run.output[-3000:])
        self.assertEqual(security[0].rstrip().endswith("signed"), sign, security[0])
        # The client logs what it finds wrong in a reply (a short answer, an
        # unexpected frame) as "CIFS: VFS: ...".
        complaints = [line for line in run.output.splitlines() if "CIFS: VFS" in line]
        self.assertEqual(complaints, [])
        return run

    def assertHash(self, out, want):
        self.assertEqual(out.split()[0] if out.split() else "", want, out)

    def assertListed(self, out, names):
        for name in names:
            self.assertRegex(out, r"(?m)\s" + name + "$")

    def test_user_at_2_1_browses_copies_and_writes_nothing(self):
        before = snapshot(self.root)
        # Mounted read-write, so that every write reaches the server.
        run = self.mount(["ls -la", "ls -la sub", "find tree | wc -l",
                          "sha256sum big.bin", "sha256sum " + quoted(ODD_NAME),
                          "find . -maxdepth 1 -name 'caf*'", f"ls wide | wc -l", WRITE_CMD],
                         "2.1", user=USER, opts="rw")
        self.assertListed(run.cmd(0)[1], ["hello.txt", "sub", "tree", "wide", "big.bin"])
        self.assertListed(run.cmd(1)[1], ["inner.txt"])
        self.assertEqual(run.cmd(2)[1].strip(), str(1 + TREE_DIRS + TREE_DIRS * TREE_FILES))
        self.assertHash(run.cmd(3)[1], self.big_hash)
        self.assertHash(run.cmd(4)[1], self.odd_hash)
        self.assertEqual(run.cmd(5)[1].strip(), "./" + ODD_NAME)
        self.assertEqual(run.cmd(6)[1].strip(), str(WIDE))
        lines = run.cmd(7)[1].splitlines()
        self.assertEqual(len(lines), len(WRITES), run.cmd(7)[1])
        for line in lines:
            self.assertTrue(line.startswith("REFUSED: "), line)
            self.assertTrue("Permission denied" in line or "Read-only file system" in line, line)
        self.assertEqual(snapshot(self.root), before)

    def test_user_at_2_0_copies_identical_files(self):
        run = self.mount(["ls -la", "sha256sum big.bin", "sha256sum " + quoted(ODD_NAME)], "2.0",
                         user=USER)
        self.assertListed(run.cmd(0)[1], ["hello.txt", "sub"])
        self.assertHash(run.cmd(1)[1], self.big_hash)
        self.assertHash(run.cmd(2)[1], self.odd_hash)

    def test_user_requiring_signing_at_2_1_and_2_0_copies_identical_files(self):
        # The client insists on NTLMSSP signing: our CHALLENGE must offer it,
        # and every reply, the one to LOGOFF included, must verify.
        for vers in ("2.1", "2.0"):
            with self.subTest(vers=vers):
                run = self.mount(["ls -la sub", "sha256sum big.bin", "sha256sum " + quoted(ODD_NAME)],
                                 vers, user=USER, sign=True)
                self.assertListed(run.cmd(0)[1], ["inner.txt"])
                self.assertHash(run.cmd(1)[1], self.big_hash)
                self.assertHash(run.cmd(2)[1], self.odd_hash)

    def test_guest_at_2_1_and_2_0_browses_and_copies(self):
        for vers in ("2.1", "2.0"):
            with self.subTest(vers=vers):
                run = self.mount(["ls -la sub", "cat hello.txt", "sha256sum " + quoted(ODD_NAME)],
                                 vers)
                self.assertListed(run.cmd(0)[1], ["inner.txt"])
                self.assertEqual(run.cmd(1)[1], "hello from the host")
                self.assertHash(run.cmd(2)[1], self.odd_hash)


class TwoUsersOneConnection(unittest.TestCase):
    """A second mount of the same server as another user adds a session to
    the connection the first mount opened (the kernel shares it); unmounting
    it ends that session only."""

    def test_alice_and_bob_mount_two_shares_over_one_connection(self):
        tmp = tempfile.mkdtemp(prefix="dirir2i-kcifs2-")
        try:
            docs, pub = os.path.join(tmp, "docs"), os.path.join(tmp, "pub")
            os.makedirs(docs)
            os.makedirs(pub)
            with open(os.path.join(docs, "a.txt"), "w") as f:
                f.write("alice's file\n")
            write_random_file(os.path.join(pub, "b.bin"), 3 * 1024 * 1024 + 5, 7)
            want = sha256_file(os.path.join(pub, "b.bin"))
            log = os.path.join(tmp, "access.log")
            users = {"alice": PASSWORD, "bob": "Bob-Pass-2"}
            with Server({"docs": docs, "pub": pub}, users=users, workdir=tmp,
                        extra=["--log", log]) as srv:
                mount_bob = ("mkdir -p /tmp/m2 && mount -t cifs //10.0.2.100/pub /tmp/m2 -o "
                             f"ro,cache=none,vers=2.1,port={srv.port},ip=10.0.2.100,"
                             f"username=bob,password={users['bob']}")
                run = kcifs(srv.port, "docs", [
                    mount_bob, "sha256sum /tmp/m2/b.bin", "cat a.txt",
                    "cat /proc/fs/cifs/DebugData", "umount /tmp/m2", "cat a.txt",
                    "ls /tmp/m2 | wc -l"], user="alice", password=PASSWORD)
                self.assertEqual(run.rc, 0, run.output[-6000:])
                self.assertEqual(run.cmd(1)[1].split()[0], want)
                self.assertEqual(run.cmd(2)[1], "alice's file")
                debug = run.cmd(3)[1]
                self.assertEqual(debug.count("ConnectionId:"), 1, debug)
                self.assertEqual(len(re.findall(r"SessionId: 0x[0-9a-f]+", debug)), 2, debug)
                self.assertIn("\\\\10.0.2.100\\pub", debug)
                self.assertIn("\\\\10.0.2.100\\docs", debug)
                self.assertEqual(run.cmd(5), (0, "alice's file"), "alice's session goes on")
                self.assertEqual(run.cmd(6)[1].strip(), "0", "bob's share is unmounted")
            with open(log) as f:
                lines = [dict(kv.split("=", 1) for kv in line.split() if "=" in kv) for line in f]
            logons = [e for e in lines if e.get("event") == "logon" and e.get("result") == "ok"]
            self.assertEqual(sorted(e["user"] for e in logons), ["alice", "bob"])
            self.assertEqual(len({e["conn"] for e in logons}), 1, "one connection")
            self.assertEqual(len({e["session"] for e in logons}), 2, "two sessions")
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    if not os.path.exists(KCIFS):
        print(f"\n*** SKIPPED: {KCIFS} is not there, so the Linux kernel client can't be run. ***\n"
              "*** It belongs beside the repository, at ../shared/clients/kcifs.sh. ***\n",
              file=sys.stderr)
        sys.exit(77)
    unittest.main()
