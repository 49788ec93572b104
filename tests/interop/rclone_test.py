#!/usr/bin/python3
"""rclone (Debian's package): a Go SMB2 client, as users copy with it. It
lists and copies a tree byte-identical as a user (signing offered or
required by the server) and as a guest, reads a range of a file, fails a
wrong password while guests are refused, and writes nothing."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from common import Server, sha256_file, snapshot, write_random_file

RCLONE = shutil.which("rclone") or "/usr/bin/rclone"


def rclone(port, user, password, *args, raw=False):
    """Runs rclone with args, in which "R:" names the share docs; with raw,
    standard output stays bytes."""
    obscured = subprocess.run([RCLONE, "obscure", password], stdout=subprocess.PIPE,
                              check=True, text=True).stdout.strip()
    remote = f":smb,host=127.0.0.1,port={port},user={user},pass={obscured}:docs"
    args = [remote + "/" + a[2:] if a.startswith("R:") else a for a in args]
    # No config file, one try: a refusal shows at once.
    return subprocess.run([RCLONE, "--config", "/dev/null", "--retries", "1",
                           "--low-level-retries", "1", *args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120,
                          **({} if raw else {"text": True, "errors": "replace"}))


def tree_hashes(root):
    return {os.path.relpath(os.path.join(d, f), root): sha256_file(os.path.join(d, f))
            for d, _, files in os.walk(root) for f in files}


class Rclone(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="dirir2i-rclone-")
        cls.root = os.path.join(cls.tmp, "share")
        os.makedirs(os.path.join(cls.root, "sub", "deeper"))
        # Past one 1 MiB READ and not a multiple of it: the copy ends on END_OF_FILE.
        write_random_file(os.path.join(cls.root, "big.bin"), 5 * 1024 * 1024 + 13, 3)
        write_random_file(os.path.join(cls.root, "sub", "deeper", "ünïcødé 文件.bin"), 70000, 4)
        open(os.path.join(cls.root, "sub", "empty"), "wb").close()
        with open(os.path.join(cls.root, "sub", "a.txt"), "w") as f:
            f.write("hello\n")
        cls.want = tree_hashes(cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_copies_the_tree_byte_identical(self):
        cases = [  # name, server options, user, password
            ("user", {}, "alice", "s3cret"),
            ("user, signing required", {"signing": "required"}, "alice", "s3cret"),
            ("guest", {"guest": "on"}, "nobody", "x"),
        ]
        for name, opts, user, password in cases:
            with self.subTest(name), Server({"docs": self.root}, users={"alice": "s3cret"},
                                            opts=opts) as srv:
                r = rclone(srv.port, user, password, "lsf", "-R", "R:")
                self.assertEqual(r.returncode, 0, r.stderr)
                listed = {line.rstrip("/") for line in r.stdout.splitlines()}
                self.assertEqual(listed, set(self.want) | {"sub", "sub/deeper"})

                out = os.path.join(self.tmp, "out-" + name.replace(" ", "_").replace(",", ""))
                r = rclone(srv.port, user, password, "copy", "R:", out)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(tree_hashes(out), self.want)

                # A range across the first MiB boundary.
                r = rclone(srv.port, user, password, "cat", "--offset", "1048570", "--count",
                           "20", "R:big.bin", raw=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                with open(os.path.join(self.root, "big.bin"), "rb") as f:
                    f.seek(1048570)
                    self.assertEqual(r.stdout, f.read(20))

    def test_a_wrong_password_fails_while_guests_are_refused(self):
        with Server({"docs": self.root}, users={"alice": "s3cret"}, opts={"guest": "off"}) as srv:
            r = rclone(srv.port, "alice", "wrong", "lsf", "R:")
            self.assertNotEqual(r.returncode, 0)
            self.assertIn("logon is invalid", r.stderr)

    def test_writes_fail_and_change_nothing(self):
        before = snapshot(self.root)
        local = os.path.join(self.tmp, "upload.txt")
        with open(local, "w") as f:
            f.write("new\n")
        with Server({"docs": self.root}, users={"alice": "s3cret"}) as srv:
            for args in (["copyto", local, "R:upload.txt"], ["copyto", local, "R:sub/a.txt"],
                         ["mkdir", "R:newdir"], ["deletefile", "R:big.bin"],
                         ["moveto", "R:sub/a.txt", "R:sub/b.txt"], ["rmdir", "R:sub/deeper"],
                         ["purge", "R:sub"]):
                with self.subTest(args[0]):
                    r = rclone(srv.port, "alice", "s3cret", *args)
                    self.assertNotEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(snapshot(self.root), before)


if __name__ == "__main__":
    if not os.path.exists(RCLONE):
        print("SKIP: rclone is missing (scripts/test.sh installs it)")
        sys.exit(77)
    unittest.main()
