#!/usr/bin/python3
"""`--user NAME` without a password on the command line: the password comes
from DIRIR2I_PASSWORD or is typed at a terminal (here a pseudo-terminal),
and Samba's smbclient then logs on with it. Without either, the command
stops with exit code 2.
"""
import fcntl
import os
import select
import shutil
import subprocess
import tempfile
import termios
import time
import unittest

from common import SERVER, Server, smbclient

PASSWORD = "Typed-Sekr1t"


def read_until(fd, text, seconds=20):
    """What the terminal shows until `text` has appeared."""
    seen = b""
    deadline = time.monotonic() + seconds
    while text.encode() not in seen and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            try:
                seen += os.read(fd, 1024)
            except OSError:
                break
    return seen.decode(errors="replace")


class PasswordSources(unittest.TestCase):
    def setUp(self):
        os.environ.pop("DIRIR2I_PASSWORD", None)  # only the tests set it
        self.tmp = tempfile.mkdtemp(prefix="dirir2i-pw-")
        self.root = os.path.join(self.tmp, "share")
        os.makedirs(self.root)
        with open(os.path.join(self.root, "hello.txt"), "w") as f:
            f.write("hello\n")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def assertLogsOn(self, server):
        r = smbclient(server.port, "docs", "ls hello.txt", user="alice", password=PASSWORD)
        self.assertEqual(r.returncode, 0, r.stdout + server.read_log())
        with open(f"/proc/{server.proc.pid}/cmdline", "rb") as f:
            self.assertNotIn(PASSWORD.encode(), f.read())
        self.assertNotIn(PASSWORD, server.read_log())

    def test_password_from_the_environment(self):
        with Server({"docs": self.root}, workdir=self.tmp, extra=["--user", "alice"],
                    env={"DIRIR2I_PASSWORD": PASSWORD}) as server:
            self.assertLogsOn(server)

    def test_password_typed_at_the_terminal_is_not_echoed(self):
        master, slave = os.openpty()
        shown = []

        def answer_prompt(proc):
            shown.append(read_until(master, "Password for alice: "))
            os.write(master, (PASSWORD + "\n").encode())
            shown.append(read_until(master, "\n", seconds=2))

        # The terminal becomes the server's controlling terminal.
        popen = {"stdin": slave, "start_new_session": True,
                 "preexec_fn": lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0)}
        try:
            with Server({"docs": self.root}, workdir=self.tmp, extra=["--user", "alice"],
                        popen=popen, before_port=answer_prompt) as server:
                self.assertIn("Password for alice: ", shown[0])
                self.assertNotIn(PASSWORD, "".join(shown))
                self.assertLogsOn(server)
        finally:
            os.close(master)
            os.close(slave)

    def test_without_environment_or_terminal_the_command_stops(self):
        for cmd in ("serve", "sim"):
            r = subprocess.run([SERVER, cmd, "--port", "0", "--user", "alice"],
                               stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               start_new_session=True, timeout=20)
            self.assertEqual(r.returncode, 2, r.stderr)
            self.assertEqual(r.stderr, "--user alice: no password (give NAME:PASSWORD, set "
                                       "DIRIR2I_PASSWORD or run on a terminal)\n")


if __name__ == "__main__":
    unittest.main()
