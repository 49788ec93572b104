#!/usr/bin/python3
"""SMB 3.0, 3.0.2 and 3.1.1 as real clients speak them: smbclient signed and
encrypted at each dialect, with each cipher and signing algorithm at 3.1.1,
copies a 100 MiB file byte-identical and lists a large folder; rclone (a Go
client) copies a tree while the server requires encryption, which refuses a
2.1 client; the Linux kernel's client mounts at 3.0 signed, 3.0.2, and 3.1.1
sealed and signed."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from common import KCIFS, Server, kcifs, sha256_file, smbclient, write_random_file

USER, PASSWORD = "alice", "Smb3-Pass-1"
BIG = 100 * 1024 * 1024 + 3
FOLDER = 3000  # entries of the large folder
RCLONE = shutil.which("rclone") or "/usr/bin/rclone"


class Smb3(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="dirir2i-smb3-")
        cls.root = os.path.join(cls.tmp, "share")
        os.makedirs(os.path.join(cls.root, "many"))
        write_random_file(os.path.join(cls.root, "big.bin"), BIG, 11)
        cls.big_hash = sha256_file(os.path.join(cls.root, "big.bin"))
        # The kernel client runs emulated: a smaller file says as much there.
        write_random_file(os.path.join(cls.root, "mid.bin"), 8 * 1024 * 1024 + 5, 12)
        cls.mid_hash = sha256_file(os.path.join(cls.root, "mid.bin"))
        for i in range(FOLDER):
            open(os.path.join(cls.root, "many", f"entry-{i:05d}.txt"), "w").close()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def server(self, **opts):
        return Server({"docs": self.root}, users={USER: PASSWORD},
                      opts=dict({"max_dialect": "3.1.1"}, **opts))

    def get_and_list(self, port, args):
        out = os.path.join(self.tmp, "out.bin")
        if os.path.exists(out):
            os.remove(out)
        r = smbclient(port, "docs", f'get big.bin "{out}"; cd many; ls', user=USER,
                      password=PASSWORD, extra=args)
        self.assertEqual(r.returncode, 0, r.stdout[-3000:])
        self.assertEqual(sha256_file(out), self.big_hash)
        self.assertEqual(len(re.findall(r"entry-\d{5}\.txt", r.stdout)), FOLDER)

    def test_smbclient_signs_and_encrypts_at_every_dialect_cipher_and_algorithm(self):
        runs = [[f"-m{m}", f"--client-protection={p}"]
                for m in ("SMB3_00", "SMB3_02", "SMB3_11") for p in ("sign", "encrypt")]
        runs += [["-mSMB3_11", "--client-protection=encrypt",
                  f"--option=client smb3 encryption algorithms={c}"]
                 for c in ("aes-128-gcm", "aes-128-ccm", "aes-256-gcm", "aes-256-ccm")]
        runs += [["-mSMB3_11", "--client-protection=sign",
                  f"--option=client smb3 signing algorithms={a}"]
                 for a in ("aes-128-gmac", "aes-128-cmac")]
        with self.server() as srv:
            for args in runs:
                with self.subTest(args=" ".join(args)):
                    self.get_and_list(srv.port, args)

    def test_required_encryption_serves_rclone_and_refuses_2_1(self):
        with self.server(encryption="required") as srv:
            r = smbclient(srv.port, "docs", "ls", user=USER, password=PASSWORD,
                          extra=["-mSMB2_10"])
            self.assertNotEqual(r.returncode, 0)
            self.assertIn("NT_STATUS_ACCESS_DENIED", r.stdout)
            # A 3.1.1 client that didn't ask for encryption is told to.
            self.get_and_list(srv.port, ["-mSMB3_11"])
            if not os.path.exists(RCLONE):
                return
            obscured = subprocess.run([RCLONE, "obscure", PASSWORD], stdout=subprocess.PIPE,
                                      check=True, text=True).stdout.strip()
            out = os.path.join(self.tmp, "rclone-out")
            remote = f":smb,host=127.0.0.1,port={srv.port},user={USER},pass={obscured}:docs"
            r = subprocess.run([RCLONE, "--config", "/dev/null", "copy", remote, out],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               timeout=600)
            self.assertEqual(r.returncode, 0, r.stdout[-3000:])
            self.assertEqual(sha256_file(os.path.join(out, "big.bin")), self.big_hash)
            self.assertEqual(len(os.listdir(os.path.join(out, "many"))), FOLDER)

    def test_a_share_that_requires_encryption_refuses_2_1_and_serves_3_1_1(self):
        other = os.path.join(self.tmp, "other")
        os.makedirs(other, exist_ok=True)
        open(os.path.join(other, "x.txt"), "w").close()
        with Server({"docs": self.root, "other": other}, users={USER: PASSWORD},
                    opts={"max_dialect": "3.1.1", "share.docs.encryption": "required"}) as srv:
            for share, proto, refused in (("docs", "SMB2_10", True), ("other", "SMB2_10", False),
                                          ("docs", "SMB3_11", False)):
                with self.subTest(share=share, proto=proto):
                    r = smbclient(srv.port, share, "ls", user=USER, password=PASSWORD,
                                  extra=[f"-m{proto}"])
                    self.assertEqual("NT_STATUS_ACCESS_DENIED" in r.stdout, refused, r.stdout)
                    self.assertEqual(r.returncode != 0, refused, r.stdout)

    @unittest.skipUnless(os.path.exists(KCIFS), "the kernel client's script is not there")
    def test_the_kernel_client_at_3_0_3_0_2_and_3_1_1(self):
        cases = [  # vers, seal, sign, what DebugData shows
            ("3.0", False, True, "signed"), ("3.02", False, False, None),
            ("3.1.1", True, False, "Encrypted"), ("3.1.1", False, True, "signed")]
        dialects = {"3.0": "0x300", "3.02": "0x302", "3.1.1": "0x311"}
        with self.server() as srv:
            for vers, seal, sign, mark in cases:
                with self.subTest(vers=vers, seal=seal, sign=sign):
                    run = kcifs(srv.port, "docs", ["sha256sum mid.bin", "ls many | wc -l",
                                                   "cat /proc/fs/cifs/DebugData"],
                                user=USER, password=PASSWORD, vers=vers, sign=sign,
                                opts="seal" if seal else None)
                    self.assertEqual(run.rc, 0, run.output[-4000:])
                    self.assertEqual(run.cmd(0)[1].split()[0], self.mid_hash)
                    self.assertEqual(run.cmd(1)[1].strip(), str(FOLDER))
                    debug = run.cmd(2)[1]
                    self.assertIn("Dialect " + dialects[vers], debug)
                    if mark:
                        self.assertIn(mark, debug)


if __name__ == "__main__":
    unittest.main()
