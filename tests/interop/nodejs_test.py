#!/usr/bin/python3
"""A JavaScript client (npm @marsaud/smb2, installed by the test command
into build/npm) whose logon is NTLMv1: a guest while guests are admitted,
refused otherwise, since NTLMv1 never proves a user. As a guest it reads
files and lists folders (a listing ends by closing a handle the client may
no longer have, and it needs STATUS_FILE_CLOSED for that)."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from common import Server, write_random_file

HERE = os.path.dirname(os.path.abspath(__file__))
NODE_PATH = os.environ.get("DIRIR2I_NODE_PATH", "")


def js_client(port, user, password, op, name):
    env = dict(os.environ, NODE_PATH=NODE_PATH,
               NODE_OPTIONS="--openssl-legacy-provider")  # NTLMv1 needs DES
    return subprocess.run(["node", os.path.join(HERE, "js", "client.js"), str(port), "docs",
                           user, password, op, name], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60, env=env)


class NtlmV1Client(unittest.TestCase):
    def test_guest_while_admitted_and_refused_otherwise(self):
        tmp = tempfile.mkdtemp(prefix="dirir2i-node-")
        try:
            root = os.path.join(tmp, "share")
            os.makedirs(root)
            write_random_file(os.path.join(root, "data.bin"), 3 * 1024 * 1024 + 7, 5)
            os.makedirs(os.path.join(root, "sub"))
            for name in ("a.txt", "b.txt", "c d.txt"):
                open(os.path.join(root, "sub", name), "w").close()
            with open(os.path.join(root, "data.bin"), "rb") as f:
                want = f.read()
            for guest, ok in (("on", True), ("off", False)):
                work = os.path.join(tmp, guest)
                os.makedirs(work)
                with self.subTest(guest=guest), Server({"docs": root}, users={"alice": "pw"},
                                                       opts={"guest": guest}, workdir=work) as srv:
                    r = js_client(srv.port, "alice", "pw", "read", "data.bin")
                    if ok:
                        self.assertEqual(r.returncode, 0, r.stderr.decode())
                        self.assertTrue(r.stdout == want, "byte-identical copy")
                        for folder, names in (("", ["data.bin", "sub"]),
                                              ("sub", ["a.txt", "b.txt", "c d.txt"])):
                            r = js_client(srv.port, "alice", "pw", "list", folder)
                            self.assertEqual(r.returncode, 0, r.stderr.decode())
                            self.assertEqual(r.stdout.decode().splitlines(), names)
                    else:
                        self.assertNotEqual(r.returncode, 0)
                        self.assertIn(b"STATUS_LOGON_FAILURE", r.stderr)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    if not shutil.which("node") or not os.path.isdir(os.path.join(NODE_PATH, "@marsaud", "smb2")):
        print("SKIP: node or the @marsaud/smb2 package is missing (scripts/test.sh installs it)")
        sys.exit(77)
    unittest.main()
