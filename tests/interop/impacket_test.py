#!/usr/bin/python3
"""impacket, a second independent client: its smbclient.py script and its
SMBConnection API log on as a user, list shares and a folder, and read a file."""
import io
import os
import shutil
import subprocess
import tempfile
import unittest

from common import IMPACKET_SMBCLIENT, PYTHON, Server, sha256_file, write_random_file

from impacket.smb3structs import SMB2_DIALECT_21
from impacket.smbconnection import SMBConnection, SessionError


class Impacket(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="dirir2i-impacket-")
        cls.root = os.path.join(cls.tmp, "share")
        os.makedirs(os.path.join(cls.root, "sub"))
        with open(os.path.join(cls.root, "hello.txt"), "w") as f:
            f.write("hello from the share\n")
        with open(os.path.join(cls.root, "sub", "inner.txt"), "w") as f:
            f.write("inner\n")
        write_random_file(os.path.join(cls.root, "data.bin"), 5 * 1024 * 1024 + 123, 3)
        cls.server = Server({"docs": cls.root, "Music": cls.root}, users={"alice": "Secret123"},
                            opts={"guest": "off"}, workdir=cls.tmp)
        cls.server.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def connect(self, password="Secret123"):
        conn = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=self.server.port,
                             preferredDialect=SMB2_DIALECT_21, timeout=60)
        conn.login("alice", password)
        return conn

    def test_smbclient_script_lists_shares_and_a_folder_and_gets_a_file(self):
        # The script only talks to ports 139 and 445: serve on 445 at a
        # loopback address of our own, so no other service is in the way.
        bind = f"127.42.{os.getpid() % 250 + 1}.1"
        try:
            server = Server({"docs": self.root, "Music": self.root}, users={"alice": "Secret123"},
                            opts={"guest": "off"}, bind=bind, port=445).__enter__()
        except RuntimeError as e:
            self.skipTest(f"cannot serve on {bind}:445 here ({e})")
        try:
            self.run_script(server, bind)
        finally:
            server.__exit__(None, None, None)

    def run_script(self, server, bind):
        workdir = tempfile.mkdtemp(dir=self.tmp)
        commands = os.path.join(workdir, "commands.txt")
        with open(commands, "w") as f:
            f.write("shares\nuse docs\nls\ncd sub\nls\ncd ..\nget data.bin\nexit\n")
        r = subprocess.run([PYTHON, IMPACKET_SMBCLIENT, "-port", "445", "-file", commands,
                            f"alice:Secret123@{bind}"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           cwd=workdir, timeout=300)
        self.assertEqual(r.returncode, 0, r.stdout + server.read_log())
        for needle in ["IPC$", "docs", "Music", "hello.txt", "inner.txt", "data.bin"]:
            self.assertIn(needle, r.stdout)
        self.assertNotIn("Traceback", r.stdout)
        self.assertEqual(sha256_file(os.path.join(workdir, "data.bin")),
                         sha256_file(os.path.join(self.root, "data.bin")))

    def test_connection_api_lists_and_reads(self):
        conn = self.connect()
        try:
            self.assertEqual(conn.getDialect(), SMB2_DIALECT_21)
            names = sorted(s["shi1_netname"][:-1] for s in conn.listShares())
            self.assertEqual(names, ["IPC$", "Music", "docs"])
            entries = {e.get_longname(): e for e in conn.listPath("docs", "*")}
            self.assertIn("hello.txt", entries)
            self.assertTrue(entries["sub"].is_directory())
            self.assertEqual(entries["data.bin"].get_filesize(), 5 * 1024 * 1024 + 123)
            inner = [e.get_longname() for e in conn.listPath("docs", "sub\\*")]
            self.assertIn("inner.txt", inner)
            out = io.BytesIO()
            conn.getFile("docs", "data.bin", out.write)
            with open(os.path.join(self.root, "data.bin"), "rb") as f:
                self.assertEqual(out.getvalue(), f.read())
        finally:
            conn.logoff()

    def test_connection_api_refuses_writes(self):
        conn = self.connect()
        try:
            with self.assertRaises(SessionError):
                conn.putFile("docs", "new.txt", io.BytesIO(b"x").read)
            with self.assertRaises(SessionError):
                conn.createDirectory("docs", "newdir")
            with self.assertRaises(SessionError):
                conn.deleteFile("docs", "hello.txt")
            self.assertFalse(os.path.exists(os.path.join(self.root, "new.txt")))
            self.assertTrue(os.path.exists(os.path.join(self.root, "hello.txt")))
        finally:
            conn.logoff()

    def test_wrong_password_is_a_logon_failure(self):
        with self.assertRaises(SessionError) as ctx:
            self.connect(password="nope")
        self.assertIn("STATUS_LOGON_FAILURE", str(ctx.exception))


if __name__ == "__main__":
    unittest.main()
