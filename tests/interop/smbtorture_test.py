#!/usr/bin/python3
"""smbtorture (Debian's samba-testsuite), run as a black-box client: the tests
of its session, credits, getinfo, dir and create suites that can pass on a
read-only share pass. (The others create files or folders to work on, or
need Kerberos, SMB 3 multichannel or a second account; see the README.)"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from common import Server

SMBTORTURE = shutil.which("smbtorture") or "/usr/bin/smbtorture"
USER, PASSWORD = "alice", "Torture-Pass-1"

# What must pass, and the server options it runs under (at 2.1, and again at
# 3.1.1, where smbtorture signs with AES).
READ_ONLY_PASSING = ["smb2.session.two_logoff", "smb2.session.ntlmssp_bug14932",
                     "smb2.credits.session_setup_credits_granted", "smb2.getinfo.fsinfo",
                     "smb2.getinfo.qfs_buffercheck", "smb2.getinfo.qsec_buffercheck",
                     "smb2.create.leading-slash", "smb2.create.bench-path-contention-shared"]
PASSING = [
    ({}, READ_ONLY_PASSING),
    ({"max_dialect": "3.1.1"}, READ_ONLY_PASSING),
    ({"signing": "required"}, ["smb2.session-require-signing.bug15397"]),
]


def torture(port, tests):
    """Runs smbtorture against //127.0.0.1/docs; {test: "success"|"failure"|...}."""
    p = subprocess.run([SMBTORTURE, "-p", str(port), "//127.0.0.1/docs", "-U",
                        f"{USER}%{PASSWORD}", *tests],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       errors="replace", timeout=600)
    return {name: outcome for outcome, name in re.findall(
        r"(?m)^(success|failure|error|skip): (\S+)", p.stdout)}, p.stdout


class Smbtorture(unittest.TestCase):
    def test_the_tests_a_read_only_share_can_pass_pass(self):
        tmp = tempfile.mkdtemp(prefix="dirir2i-torture-")
        try:
            share = os.path.join(tmp, "share")
            os.makedirs(share)
            with open(os.path.join(share, "hello.txt"), "w") as f:
                f.write("hello\n")
            for opts, tests in PASSING:
                with self.subTest(opts=opts), Server({"docs": share}, users={USER: PASSWORD},
                                                     opts=opts) as srv:
                    results, out = torture(srv.port, tests)
                    for test in tests:
                        self.assertEqual(results.get(test.rsplit(".", 1)[1]), "success",
                                         f"{test}:\n{out[-4000:]}")
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    if not os.path.exists(SMBTORTURE):
        print("SKIP: smbtorture is missing (scripts/test.sh installs samba-testsuite)")
        sys.exit(77)
    unittest.main()
