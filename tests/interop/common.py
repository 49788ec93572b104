"""Shared pieces of the interop tests: a `dirir2i serve` process on a free
loopback port with temporary shares, and runners for the real clients.

The executable comes from the DIRIR2I_BIN environment variable (CTest sets
it). Every server runs with the `clock` option unset, so NTLM timestamps are
real, and binds 127.0.0.1 with port 0 (the system picks the port).
"""
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import time

SERVER = os.environ.get("DIRIR2I_BIN", "")
SMBCLIENT = shutil.which("smbclient") or "/usr/bin/smbclient"
SMBCACLS = shutil.which("smbcacls") or "/usr/bin/smbcacls"  # connects to port 445 only
PYTHON = "/usr/bin/python3"  # Debian's python, the one impacket is installed for
IMPACKET_SMBCLIENT = "/usr/share/doc/python3-impacket/examples/smbclient.py"


class Server:
    """`dirir2i serve` with the given shares ({name: path}), users
    ({name: password}), options ({key: value}) and further arguments
    (`extra`). `popen` adds arguments of subprocess.Popen; `before_port` is
    called with the process before its port file is waited for (to answer a
    prompt, say). `bind` or `port` None leaves them to a --config file in
    `extra`. Use as a context manager."""

    def __init__(self, shares, users=None, opts=None, workdir=None, env=None, bind="127.0.0.1",
                 port=0, extra=(), popen=None, before_port=None):
        if not SERVER or not os.access(SERVER, os.X_OK):
            raise RuntimeError("DIRIR2I_BIN does not name the dirir2i executable")
        self.shares = shares
        self.users = users or {}
        self.opts = opts or {}
        self.workdir = workdir or tempfile.mkdtemp(prefix="dirir2i-srv-")
        self.env = dict(os.environ, **(env or {}))
        self.bind = bind
        self.want_port = port
        self.extra = list(extra)
        self.popen = popen or {}
        self.before_port = before_port
        self.proc = None
        self.port = 0
        self.log_path = os.path.join(self.workdir, "server.log")

    def __enter__(self):
        port_file = os.path.join(self.workdir, "port.txt")
        args = [SERVER, "serve", "--port-file", port_file]
        if self.bind is not None:
            args += ["--bind", self.bind]
        if self.want_port is not None:
            args += ["--port", str(self.want_port)]
        for name, path in self.shares.items():
            args += ["--share", f"{name}={path}"]
        for user, password in self.users.items():
            args += ["--user", f"{user}:{password}"]
        for key, value in self.opts.items():
            args += ["--opt", f"{key}={value}"]
        args += self.extra
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT, env=self.env,
                                     **self.popen)
        try:
            if self.before_port:
                self.before_port(self.proc)
            self.port = self._wait_for_port(port_file)
            return self
        except BaseException:
            self.proc.kill()
            self.proc.wait()
            self.log.close()
            raise

    def _wait_for_port(self, port_file):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("server exited: " + self.read_log())
            try:
                with open(port_file) as f:
                    text = f.read()
                if text.endswith("\n"):
                    return int(text)
            except (FileNotFoundError, ValueError):
                pass
            time.sleep(0.05)
        raise RuntimeError("server did not write its port file")

    def __exit__(self, *exc):
        code = None
        if self.proc:
            if self.proc.poll() is None:
                self.proc.terminate()
                try:
                    code = self.proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait()
                    code = "killed after SIGTERM"
            else:
                code = self.proc.returncode
        self.log.close()
        # `serve` stops and exits 0 on SIGTERM. Under AddressSanitizer a leak
        # (LeakSanitizer reports at that exit) or any other finding makes the
        # exit code non-zero, and that fails the test.
        if code not in (None, 0) and exc[0] is None:
            raise AssertionError(f"dirir2i serve ended with {code}:\n{self.read_log()[-8000:]}")
        return False

    def read_log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""


def smbclient(port, service, commands=None, user=None, password=None, options=(),
              timeout=600, extra=(), host="127.0.0.1"):
    """Runs Samba's smbclient against //host/service (or -L when service
    is None). Anonymous (-N) when no user is given. Returns CompletedProcess
    with text output (stdout and stderr together)."""
    args = [SMBCLIENT, "-p", str(port), "--configfile=/dev/null"]
    if service is None:
        args += ["-L", host]
    else:
        args += [f"//{host}/{service}"]
    if user is None:
        args += ["-N"]
    else:
        args += ["-U", f"{user}%{password}"]
    for opt in options:
        args += ["--option", opt]
    if commands is not None:
        args += ["-c", commands]
    args += list(extra)
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=timeout, text=True, errors="replace")


_FIELD = re.compile(r'([a-z_]+)=("(?:[^"\\]|\\.)*"|[^ "]*)(?: |$)')
_ESCAPE = re.compile(r'\\(x[0-9a-f]{2}|u[0-9a-f]{4}|.)')


def _unescape(m):
    code = m.group(1)
    if len(code) > 1:
        return chr(int(code[1:], 16))
    return {"n": "\n", "r": "\r", "t": "\t"}.get(code, code)


def parse_logfmt(line):
    """One logfmt line as a dict; fails on anything but key=value pairs and
    on a key given twice."""
    fields, pos = {}, 0
    while pos < len(line):
        m = _FIELD.match(line, pos)
        if not m:
            raise ValueError(f"not logfmt at {pos}: {line!r}")
        key, value = m.group(1), m.group(2)
        if key in fields:
            raise ValueError(f"{key} twice: {line!r}")
        if value.startswith('"'):
            value = _ESCAPE.sub(_unescape, value[1:-1])
        fields[key] = value
        pos = m.end()
    return fields


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            chunk = f.read(1 << 20)
            if not chunk:
                return h.hexdigest()
            h.update(chunk)


def write_random_file(path, size, seed=1):
    """A file of `size` pseudo-random bytes (repeatable for a seed)."""
    block = hashlib.sha256(str(seed).encode()).digest() * 32768  # 1 MiB pattern seed
    with open(path, "wb") as f:
        left = size
        n = 0
        while left > 0:
            # Vary each MiB so misplaced blocks can't go unnoticed.
            chunk = hashlib.sha256(block[:64] + n.to_bytes(8, "little")).digest() * 32768
            f.write(chunk[:min(left, len(chunk))])
            left -= len(chunk)
            n += 1


def snapshot(root):
    """Everything a client could change under root: names, kinds, sizes,
    modification times and content hashes."""
    state = {}
    for dirpath, dirnames, filenames in os.walk(root, followlinks=False):
        for name in sorted(dirnames + filenames):
            p = os.path.join(dirpath, name)
            st = os.lstat(p)
            rel = os.path.relpath(p, root)
            digest = sha256_file(p) if os.path.isfile(p) and not os.path.islink(p) else None
            state[rel] = (st.st_mode, st.st_size, st.st_mtime_ns, digest)
    return state


# The Linux kernel's SMB client in a throw-away qemu guest (see the README
# beside the script). It sits next to the repository, in ../shared/clients.
KCIFS = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                      "shared", "clients", "kcifs.sh"))


class KcifsRun:
    """What one kcifs.sh run gave: its exit status (0 mounted and every
    command passed, 1 the mount failed, 2 a command failed, 3 the guest did
    not finish), its whole output, and per command its exit status and
    output (`cmds`, in the order given)."""

    def __init__(self, rc, output):
        self.rc = rc
        self.output = output
        self.cmds = []
        current = None
        for line in output.splitlines():
            if line.startswith("===KCIFS-CMD "):
                current = []
            elif line.startswith("===KCIFS-RC ") and current is not None:
                rc_field = [f for f in line.split() if f.startswith("rc=")]
                self.cmds.append((int(rc_field[0][3:]) if rc_field else -1, "\n".join(current)))
                current = None
            elif current is not None:
                current.append(line)

    def cmd(self, i):
        """(rc, output) of command i (0-based); (-1, "") when it never ran."""
        return self.cmds[i] if i < len(self.cmds) else (-1, "")


def kcifs(port, share, commands, user=None, password=None, vers="2.1", sign=False, opts=None,
          timeout=300):
    """Mounts //127.0.0.1:port/share with the kernel client at `vers` (a
    guest logon when no user is given), runs each shell command in the
    mount point and returns a KcifsRun. `opts` adds mount options (e.g.
    "rw"), `sign` requires signing."""
    args = [KCIFS, "--vers", vers, "--timeout", str(timeout)]
    if sign:
        args.append("--sign")
    if opts:
        args += ["--opts", opts]
    args += [str(port), share]
    if user is not None:
        args += [user, password or ""]
    args += ["--"] + list(commands)
    p = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       errors="replace", timeout=timeout + 60)
    return KcifsRun(p.returncode, p.stdout)
