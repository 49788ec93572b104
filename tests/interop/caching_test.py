#!/usr/bin/python3
"""Clients cache what they read while they hold a lease, and learn through
a break when the host changes it; folder views learn of changes through
CHANGE_NOTIFY. Real clients against `dirir2i serve`:

- the Linux kernel client with cache=strict, in one guest boot at 2.1 and
  one at 3.1.1 with its session sealed: a 64 MiB
  file read twice (the first time in large READs, the second time from its
  cache: the server's access log shows the file's bytes sent once), then a
  file the host rewrites and one it replaces by rename while the guest holds
  them open, each read again with the new content and without a remount;
- smbclient's `notify`: a file the host creates in the folder is reported.

The guest and the host take turns through the share itself: the guest's
refused write of `sync-N` shows in the access log, and the guest waits for
`go-N` to appear. The kernel client's case is skipped when
../shared/clients/kcifs.sh is not there.
"""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from common import KCIFS, SMBCLIENT, Server, kcifs, sha256_file, write_random_file

BIG = 64 * 1024 * 1024
SMALL = 1024 * 1024
USER, PASSWORD = "alice", "Secret123"


def close_lines(log, name):
    """(reads, bytes_read) of every access-log close line for `name`."""
    pattern = re.compile(r"event=close .*path=" + re.escape(name) + r" reads=(\d+) bytes_read=(\d+)")
    return [(int(m.group(1)), int(m.group(2))) for m in pattern.finditer(log)]


def counters(server):
    """The counters of the stats line SIGUSR1 writes to the access log."""
    before = server.read_log().count("event=stats")
    server.proc.send_signal(signal.SIGUSR1)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        log = server.read_log()
        if log.count("event=stats") > before:
            line = [l for l in log.splitlines() if "event=stats" in l][-1]
            return {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", line)}
        time.sleep(0.05)
    raise AssertionError("no stats line")


def guest_turn(n, name):
    """Guest side of turn n: hold `name` open, hash it, say so (a refused
    write), wait for the host's go-n, hash it again."""
    return (f"exec 4< {name}; sha256sum {name}; {{ echo x > sync-{n}; }} 2>/dev/null; "
            f"i=0; while [ ! -e go-{n} ] && [ $i -lt 300 ]; do sleep 0.2; i=$((i+1)); done; "
            f"sha256sum {name}; exec 4<&-")


class KernelClientCaches(unittest.TestCase):
    def setUp(self):
        if not os.path.exists(KCIFS):
            self.skipTest(f"{KCIFS} is not there")
        self.tmp = tempfile.mkdtemp(prefix="dirir2i-caching-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def host_turns(self, server, root, turns, failures):
        """Waits for each sync-n in the log, changes the host's file, then
        writes go-n. Runs beside the guest."""
        for n, change in enumerate(turns, 1):
            deadline = time.monotonic() + 240
            while f"path=sync-{n} " not in server.read_log():
                if time.monotonic() > deadline:
                    failures.append(f"the guest never reached turn {n}")
                    return
                time.sleep(0.1)
            change(root)
            with open(os.path.join(root, f"go-{n}"), "w"):
                pass

    def test_reads_twice_from_one_fetch_and_sees_host_changes_without_a_remount(self):
        def rewrite(root):  # in place, same size: only a break can tell the client
            write_random_file(os.path.join(root, "rewrite.bin"), SMALL, 3)

        def replace(root):  # as editors and deploy tools save
            tmp = os.path.join(root, ".replace.tmp")
            write_random_file(tmp, SMALL, 4)
            os.replace(tmp, os.path.join(root, "replace.bin"))

        # At 2.1 as a guest, and at 3.1.1 as a user whose session is sealed:
        # the breaks then go out sealed too.
        for vers, user, opts, server_opts in (
                ("2.1", None, "cache=strict,rw", {"guest": "on"}),
                ("3.1.1", USER, "cache=strict,rw,seal", {"max_dialect": "3.1.1"})):
            with self.subTest(vers=vers):
                root = os.path.join(self.tmp, vers)
                os.makedirs(root)
                write_random_file(os.path.join(root, "big.bin"), BIG, 28)
                write_random_file(os.path.join(root, "rewrite.bin"), SMALL, 1)
                write_random_file(os.path.join(root, "replace.bin"), SMALL, 2)
                big_hash = sha256_file(os.path.join(root, "big.bin"))
                old = {n: sha256_file(os.path.join(root, n)) for n in ("rewrite.bin", "replace.bin")}
                with Server({"docs": root}, users={USER: PASSWORD}, opts=server_opts,
                            workdir=root) as server:
                    failures = []
                    host = threading.Thread(target=self.host_turns,
                                            args=(server, root, [rewrite, replace], failures))
                    host.start()
                    run = kcifs(server.port, "docs", [
                        # fd 3 keeps an open, so the client keeps its cache
                        # between the two reads (cache=strict drops it at the
                        # last close).
                        "exec 3< big.bin; dd if=big.bin of=/dev/null bs=1M 2>/dev/null; "
                        "sha256sum big.bin; exec 3<&-",
                        guest_turn(1, "rewrite.bin"),
                        guest_turn(2, "replace.bin"),
                    ], user=user, password=PASSWORD if user else None, vers=vers, opts=opts)
                    host.join()
                    stats = counters(server)
                    log = server.read_log()
                self.assertEqual(failures, [])
                self.assertEqual(run.rc, 0, run.output[-6000:])
                self.assertIn("Dialect 0x" + vers.replace(".", ""), run.output)
                self.assertEqual([l for l in run.output.splitlines() if "CIFS: VFS" in l], [])

                # One fetch of big.bin, in READs of up to 1 MiB: the second
                # read came from the client's cache.
                self.assertEqual(run.cmd(0)[1].split()[0], big_hash)
                big = close_lines(log, "big.bin")
                self.assertEqual(sum(b for _, b in big), BIG, big)
                self.assertLessEqual(sum(r for r, _ in big), BIG // (1024 * 1024), big)

                for i, name in ((1, "rewrite.bin"), (2, "replace.bin")):
                    hashes = [l.split()[0] for l in run.cmd(i)[1].splitlines() if name in l]
                    self.assertEqual(hashes, [old[name], sha256_file(os.path.join(root, name))],
                                     run.cmd(i)[1])
                    self.assertRegex(log, r"event=break .*path=" + re.escape(name) + r" lease=RH")
                self.assertGreaterEqual(stats["grants"], 3)
                self.assertGreaterEqual(stats["breaks_sent"], 2)
                self.assertEqual(stats["breaks_acked"], stats["breaks_sent"])


class SmbclientNotify(unittest.TestCase):
    def test_a_file_the_host_creates_in_the_folder_is_reported(self):
        with tempfile.TemporaryDirectory(prefix="dirir2i-notify-") as tmp:
            folder = os.path.join(tmp, "share", "watched")
            os.makedirs(folder)
            with Server({"docs": os.path.join(tmp, "share")}, opts={"guest": "on"},
                        workdir=tmp) as server:
                client = subprocess.Popen(
                    ["stdbuf", "-oL", SMBCLIENT, "-N", "-p", str(server.port),
                     "--configfile=/dev/null", "//127.0.0.1/docs", "-c", "notify watched"],
                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                reported = []
                reader = threading.Thread(
                    target=lambda: reported.extend(iter(client.stdout.readline, "")))
                reader.start()
                # The request may not be waiting yet when the first file
                # appears: the host keeps creating files until one is seen.
                for n in range(100):
                    if any("host-" in line for line in reported):
                        break
                    with open(os.path.join(folder, f"host-{n}.txt"), "w"):
                        pass
                    time.sleep(0.2)
                client.terminate()
                client.wait(timeout=10)
                reader.join(timeout=10)
                client.stdout.close()
        lines = [l.strip() for l in reported if "host-" in l]
        self.assertTrue(lines, "".join(reported))
        # FILE_ACTION_ADDED (1), as smbclient prints it.
        self.assertRegex(lines[0], r"^0001 host-\d+\.txt$")


if __name__ == "__main__":
    unittest.main()
