#!/usr/bin/python3
"""`cmake --install` into a temporary prefix, and what the install tree is
for: a host program built from examples/embed_server.c through pkg-config
and through find_package(dirir2i), the systemd unit as systemd-analyze
reads it, the man page as man and groff render it (covering every option,
--opt key and signal that `dirir2i --help` lists), the Avahi file.

CTest sets DIRIR2I_BUILD_DIR, DIRIR2I_SOURCE_DIR and DIRIR2I_CMAKE.
"""
import glob
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

BUILD = os.environ.get("DIRIR2I_BUILD_DIR", "")
SOURCE = os.environ.get("DIRIR2I_SOURCE_DIR", "")
CMAKE = os.environ.get("DIRIR2I_CMAKE", "cmake")
EXAMPLE = os.path.join(SOURCE, "examples", "embed_server.c")


def run(args, env=None, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=300,
                          env=dict(os.environ, **(env or {})), **kw)


class InstallTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="dirir2i-install-")
        cls.prefix = os.path.join(cls.tmp, "prefix")
        r = run([CMAKE, "--install", BUILD, "--prefix", cls.prefix])
        if r.returncode != 0:
            raise AssertionError(r.stdout + r.stderr)
        libs = glob.glob(os.path.join(cls.prefix, "lib*", "**", "libdirir2i.so.1"), recursive=True)
        if len(libs) != 1:
            raise AssertionError(f"libdirir2i.so.1 found {libs}")
        cls.libdir = os.path.dirname(libs[0])
        cls.share = os.path.join(cls.prefix, "share", "dirir2i")
        cls.man = os.path.join(cls.prefix, "share", "man", "man1", "dirir2i.1")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def need(self, *programs):
        for p in programs:
            if not shutil.which(p):
                self.skipTest(f"{p} is not installed")

    def run_example(self, exe, env=None):
        served = tempfile.mkdtemp(dir=self.tmp)
        r = run([exe, served], env=env)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertTrue(r.stdout.startswith(f"serving {served} as "), r.stdout)
        self.assertIn('{"running":true,', r.stdout)
        self.assertTrue(r.stdout.endswith("stopped; port now 0\n"), r.stdout)

    def test_the_tree_holds_each_file_and_the_library_its_soname(self):
        for rel in ["bin/dirir2i", "include/dirir2i.h", "share/man/man1/dirir2i.1",
                    "share/dirir2i/dirir2i.service", "share/dirir2i/avahi-smb.service",
                    "share/dirir2i/users.example", "share/dirir2i/dirir2i.conf.example"]:
            self.assertTrue(os.path.isfile(os.path.join(self.prefix, rel)), rel)
        for rel in ["libdirir2i.so", "libdirir2i.so.1", "libdirir2i.so.1.0.1",
                    "pkgconfig/dirir2i.pc", "cmake/dirir2i/dirir2iConfig.cmake",
                    "cmake/dirir2i/dirir2iConfigVersion.cmake"]:
            self.assertTrue(os.path.exists(os.path.join(self.libdir, rel)), rel)
        self.assertEqual(os.readlink(os.path.join(self.libdir, "libdirir2i.so")), "libdirir2i.so.1")
        self.need("readelf")
        dyn = run(["readelf", "-d", os.path.join(self.libdir, "libdirir2i.so.1.0.1")]).stdout
        self.assertIn("Library soname: [libdirir2i.so.1]", dyn)
        r = run([os.path.join(self.prefix, "bin", "dirir2i"), "version"])
        self.assertEqual(r.stdout, "dirir2i 1.0.1\n")

    def test_a_host_program_builds_through_pkg_config_and_runs(self):
        self.need("pkg-config", "cc")
        env = {"PKG_CONFIG_PATH": os.path.join(self.libdir, "pkgconfig")}
        r = run(["pkg-config", "--modversion", "dirir2i"], env=env)
        self.assertEqual(r.stdout, "1.0.1\n", r.stderr)
        flags = run(["pkg-config", "--cflags", "--libs", "dirir2i"], env=env).stdout.split()
        exe = os.path.join(self.tmp, "embed_pkgconfig")
        r = run(["cc", "-std=c99", "-Wall", "-Wextra", "-Werror", EXAMPLE, "-o", exe] + flags)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.run_example(exe, env={"LD_LIBRARY_PATH": self.libdir})

    def test_a_host_program_builds_through_find_package_and_runs(self):
        self.need("ninja", "cc")
        build = os.path.join(self.tmp, "consumer-build")
        r = run([CMAKE, "-S", os.path.join(SOURCE, "tests", "install", "consumer"), "-B", build,
                 "-G", "Ninja", f"-DCMAKE_PREFIX_PATH={self.prefix}",
                 f"-DDIRIR2I_EXAMPLE={EXAMPLE}"])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        r = run([CMAKE, "--build", build])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        # The imported target's library is found through the build's RPATH.
        self.run_example(os.path.join(build, "embed_server"))

    def test_systemd_accepts_the_unit(self):
        self.need("systemd-analyze")
        unit = os.path.join(self.share, "dirir2i.service")
        with open(unit) as f:
            text = f.read()
        self.assertIn(f"ExecStart={self.prefix}/bin/dirir2i serve ", text)
        for setting in ["DynamicUser=yes", "AmbientCapabilities=CAP_NET_BIND_SERVICE",
                        "ProtectSystem=strict", "NoNewPrivileges=yes",
                        "LoadCredential=users:", "--users-file %d/users",
                        "--config /etc/dirir2i/dirir2i.conf", "RuntimeDirectory=dirir2i"]:
            self.assertIn(setting, text)
        # verify also checks that the executable and the Documentation= man
        # page exist.
        r = run(["systemd-analyze", "verify", unit],
                env={"MANPATH": os.path.join(self.prefix, "share", "man")})
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))

    def test_the_example_configuration_is_accepted_as_it_stands(self):
        # Its folders and users file made real under a temporary root.
        root = tempfile.mkdtemp(dir=self.tmp)
        with open(os.path.join(self.share, "dirir2i.conf.example")) as f:
            text = f.read().replace("/srv/", root + "/").replace("/etc/dirir2i/", root + "/")
        for name in re.findall(r"^path = " + re.escape(root) + r"/(\S+)$", text, re.M):
            os.makedirs(os.path.join(root, name))
        with open(os.path.join(root, "users"), "w") as f:
            f.write("alice:pw\n")
        os.chmod(os.path.join(root, "users"), 0o600)
        conf = os.path.join(root, "dirir2i.conf")
        with open(conf, "w") as f:
            f.write(text)
        r = run([os.path.join(self.prefix, "bin", "dirir2i"), "sim", "--config", conf,
                 "--log", "off"], input="")
        self.assertEqual((r.returncode, r.stderr), (0, ""))

    def test_the_man_page_renders_without_warnings_and_covers_the_help(self):
        self.need("man", "groff")
        r = run(["groff", "-ww", "-man", "-Tutf8", "-z", self.man])
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        r = run(["man", "--warnings", "-l", self.man],
                env={"MANWIDTH": "80", "LC_ALL": "C.UTF-8", "MANPAGER": "cat"})
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        page = re.sub(r"[\u2010\u00ad]\n\s*", "", r.stdout)  # words hyphenated at line ends
        helptext = run([os.path.join(self.prefix, "bin", "dirir2i"), "--help"]).stdout
        options = set(re.findall(r"^  (--[a-z-]+) ", helptext, re.M))
        keys = set(re.findall(r"^  ([a-z_]+)=", helptext, re.M))
        signals = set(re.findall(r"\bSIG[A-Z0-9]+", helptext))
        self.assertGreaterEqual(len(options), 11)
        self.assertGreaterEqual(len(keys), 15)
        self.assertEqual(signals, {"SIGTERM", "SIGINT", "SIGHUP", "SIGUSR1"})
        for word in sorted(options) + sorted(k + "=" for k in keys) + sorted(signals) + [
                "serve", "sim", "selftest", "version", "DIRIR2I_PASSWORD", "EXIT STATUS"]:
            self.assertIn(word, page)
        # The README's table of --opt keys lists the same keys as the help.
        with open(os.path.join(SOURCE, "README.md")) as f:
            table = f.read().split("| key | values | default |", 1)[1].split("\n\n", 1)[0]
        self.assertEqual(keys, set(re.findall(r"^\| `([a-z_]+)` \|", table, re.M)))

    def test_the_avahi_file_announces_smb_on_port_445(self):
        root = ET.parse(os.path.join(self.share, "avahi-smb.service")).getroot()
        self.assertEqual(root.tag, "service-group")
        self.assertEqual([(s.findtext("type"), s.findtext("port")) for s in root.iter("service")],
                         [("_smb._tcp", "445")])


if __name__ == "__main__":
    unittest.main()
