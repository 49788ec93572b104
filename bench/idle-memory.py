#!/usr/bin/python3
"""Resident memory of idle connections: starts `dirir2i serve` with
max_clients 1024, opens N connections that each log on, connect to the share
and read a 1 MiB file (in the 64 KiB READs impacket asks for), then leave
them idle and reads the server's VmRSS. Prints the memory per idle
connection and what is left once they have all closed.

    bench/idle-memory.py [-b DIRIR2I] [-n CONNECTIONS] [-d PARENT]

Uses impacket's client (Debian's python3-impacket) and only loopback. The
server it starts is stopped by its PID; the temporary folder is removed.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

from impacket.smbconnection import SMBConnection
from impacket.smb3structs import SMB2_DIALECT_21

HERE = os.path.dirname(os.path.abspath(__file__))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def threads(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def settle(pid, want_threads, timeout=30.0):
    """Waits until the server has want_threads threads, then a little more
    (idle connections give back their reply storage after 100 ms)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and threads(pid) != want_threads:
        time.sleep(0.05)
    time.sleep(0.5)
    return threads(pid) == want_threads


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("-b", default=os.environ.get("DIRIR2I_BIN",
                                                 os.path.join(HERE, "..", "build", "dirir2i")))
    ap.add_argument("-n", type=int, default=1000)
    ap.add_argument("-d", default=os.environ.get("TMPDIR", "/tmp"))
    args = ap.parse_args()
    if not 1 <= args.n <= 1024:
        sys.exit("-n: 1..1024")

    work = tempfile.mkdtemp(prefix="dirir2i-idle-", dir=args.d)
    server = None
    conns = []
    try:
        share = os.path.join(work, "share")
        os.mkdir(share)
        with open(os.path.join(share, "one.bin"), "wb") as f:
            f.write(os.urandom(1 << 20))
        port_file = os.path.join(work, "port")
        log = open(os.path.join(work, "server.log"), "wb")
        server = subprocess.Popen([args.b, "serve", "--bind", "127.0.0.1", "--port", "0",
                                   "--port-file", port_file, "--share", f"share={share}",
                                   "--user", "user:pass", "--opt", "max_clients=1024"],
                                  stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        port = 0
        while time.monotonic() < deadline and not port:
            try:
                with open(port_file) as f:
                    text = f.read()
                port = int(text) if text.endswith("\n") else 0
            except (FileNotFoundError, ValueError):
                pass
            time.sleep(0.05)
        if not port:
            sys.exit("dirir2i did not start")

        base_threads = threads(server.pid)
        settle(server.pid, base_threads)
        base = rss_kib(server.pid)
        sink = open(os.devnull, "wb")
        for i in range(args.n):
            c = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=port,
                              preferredDialect=SMB2_DIALECT_21)
            c.login("user", "pass")
            c.getFile("share", "one.bin", sink.write)
            conns.append(c)
        ok = settle(server.pid, base_threads + args.n)
        idle = rss_kib(server.pid)
        for c in conns:
            c.close()
        conns = []
        settle(server.pid, base_threads)
        after = rss_kib(server.pid)

        per = (idle - base) / args.n
        print(f"server VmRSS: {base} KiB at start, {idle} KiB with {args.n} idle connections"
              f"{'' if ok else ' (not all connections were up)'}, {after} KiB after they closed")
        print(f"per idle connection: {per:.0f} KiB (target: under 2048 KiB)")
        print(f"{args.n} idle connections: {(idle - base) / 1024:.1f} MiB (target for 1000: under 1024 MiB)")
        print(f"kept after all closed: {(after - base) / 1024:.1f} MiB")
    finally:
        for c in conns:
            try:
                c.close()
            except Exception:
                pass
        if server and server.poll() is None:
            server.terminate()
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
