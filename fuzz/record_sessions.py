#!/usr/bin/python3
"""Records the seed corpora of the fuzz targets from real client sessions.

Runs `dirir2i serve` over the same share the engine target builds (docs and
the single-file share one, user alice:Secret123, guests on, clock fixed at
1700000000), puts a recording proxy in front of it, and runs smbclient and
impacket through the proxy. What each client connection sent becomes one
seed of fuzz/corpus/engine; the SESSION_SETUP security buffers, the NTLM
AUTHENTICATE messages and the names and patterns inside those sessions
become the seeds of the other targets. With the clock fixed the server's
challenge and SessionId are those the fuzz target sees, so the recorded
logons (signatures included) replay in it. Two servers: one with signing
enabled, and one that requires signing for the user logons (with guests on,
only a client and server that both require signing log on as a user, which
is how the engine target is configured too).

    fuzz/record_sessions.py build/dirir2i   # rewrites fuzz/corpus/
"""
import hashlib
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
SMBCLIENT = shutil.which("smbclient") or "/usr/bin/smbclient"


def build_tree(root):
    """The tree of fuzz_engine.cpp's build_share (names matter, times don't)."""
    docs, outside = os.path.join(root, "docs"), os.path.join(root, "outside")
    for d in (docs, outside, os.path.join(docs, "sub"), os.path.join(docs, "empty"),
              os.path.join(docs, "many")):
        os.makedirs(d)
    with open(os.path.join(docs, "hello.txt"), "w") as f:
        f.write("hello world\n")
    with open(os.path.join(docs, "big.bin"), "wb") as f:
        f.write(bytes(i & 0xFF for i in range(70000)))
    with open(os.path.join(docs, "sub", "inner.txt"), "w") as f:
        f.write("inner")
    for i in range(40):
        with open(os.path.join(docs, "many", f"file{i}.txt"), "w") as f:
            f.write("x")
    with open(os.path.join(outside, "secret.txt"), "w") as f:
        f.write("secret")
    with open(os.path.join(root, "one.txt"), "w") as f:
        f.write("just one file\n")
    os.symlink(os.path.join(docs, "sub", "inner.txt"), os.path.join(docs, "in_link"))
    os.symlink(os.path.join(outside, "secret.txt"), os.path.join(docs, "out"))
    os.symlink(outside, os.path.join(docs, "out_dir"))
    return docs, os.path.join(root, "one.txt")


class Recorder:
    """A loopback proxy that keeps what each client connection sent."""

    def __init__(self, upstream_port):
        self.upstream = upstream_port
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.sessions = []  # (label, bytes)
        self.label = ""
        self.lock = threading.Lock()
        self.active = []
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            t = threading.Thread(target=self.pump, args=(client, self.label), daemon=True)
            with self.lock:
                self.active.append(t)
            t.start()

    def pump(self, client, label):
        server = socket.create_connection(("127.0.0.1", self.upstream))
        sent = bytearray()

        def back():
            while True:
                try:
                    data = server.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    break
                try:
                    client.sendall(data)
                except OSError:
                    break
            try:
                client.shutdown(socket.SHUT_WR)
            except OSError:
                pass

        t = threading.Thread(target=back, daemon=True)
        t.start()
        while True:
            try:
                data = client.recv(65536)
            except OSError:
                data = b""
            if not data:
                break
            sent += data
            server.sendall(data)
        try:
            server.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        t.join(10)
        server.close()
        client.close()
        with self.lock:
            self.sessions.append((label, bytes(sent)))

    def settle(self):
        for _ in range(200):
            with self.lock:
                if all(not t.is_alive() for t in self.active):
                    return
            time.sleep(0.05)


def smbclient(port, service, commands, user=None, options=()):
    args = [SMBCLIENT, "-p", str(port), "--configfile=/dev/null",
            "--option=client max protocol=SMB2_10"]
    args += ["-L", "127.0.0.1"] if service is None else [f"//127.0.0.1/{service}"]
    args += ["-N"] if user is None else ["-U", user]
    for o in options:
        args.append("--option=" + o)
    if commands:
        args += ["-c", commands]
    subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


def impacket(port, dialect=None, password="Secret123"):
    """impacket's SMBConnection: without a preferred dialect it starts with
    an SMB1 negotiate that offers SMB2."""
    from impacket.smbconnection import SMBConnection
    conn = None
    try:
        conn = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=port, preferredDialect=dialect,
                             timeout=30)
        conn.login("alice", password)
        conn.listShares()
        conn.listPath("docs", "*")
        conn.listPath("docs", "sub\\*")
        conn.getFile("docs", "hello.txt", lambda data: None)
        for attempt in (lambda: conn.putFile("docs", "new.txt", lambda n: b"x"),
                        lambda: conn.createDirectory("docs", "newdir"),
                        lambda: conn.deleteFile("docs", "hello.txt")):
            try:
                attempt()
            except Exception:
                pass
        conn.logoff()
    except Exception:
        pass
    if conn:
        conn.close()


BROWSE = "ls; get hello.txt /dev/null; cd sub; ls; get inner.txt /dev/null; cd ..; ls many\\*"


def client_runs(port, signed_port):
    """(label, action) pairs: each action runs one client through a proxy.
    With guests on, every logon is a guest logon unless both sides require
    signing; so the user logons go to the server that requires signing,
    with a client that requires it too."""
    alice = "alice%Secret123"
    sign = ["client signing=required"]
    return [
        ("smbclient-guest-browse", lambda: smbclient(port, "docs", BROWSE)),
        ("smbclient-user-browse", lambda: smbclient(port, "docs", BROWSE + "; allinfo hello.txt",
                                                    alice)),
        ("smbclient-user-signed", lambda: smbclient(signed_port, "docs", BROWSE, alice, sign)),
        ("smbclient-user-signed-big", lambda: smbclient(signed_port, "docs",
                                                        "get big.bin /dev/null", alice, sign)),
        ("smbclient-user-signed-shares", lambda: smbclient(signed_port, None, None, alice, sign)),
        ("smbclient-user-signed-wrong-password", lambda: smbclient(
            signed_port, "docs", "ls", "alice%nope", sign)),
        ("smbclient-user-big", lambda: smbclient(port, "docs", "get big.bin /dev/null", alice)),
        ("smbclient-guest-shares", lambda: smbclient(port, None, None)),
        ("smbclient-user-shares", lambda: smbclient(port, None, None, alice)),
        ("smbclient-guest-onefile", lambda: smbclient(port, "one", 'get "" /dev/null')),
        ("smbclient-user-writes", lambda: smbclient(
            port, "docs", "put /etc/hostname new.txt; mkdir newdir; rm hello.txt; "
            "rename hello.txt x.txt", alice)),
        ("smbclient-user-links", lambda: smbclient(
            port, "docs", "get out /dev/null; cd out_dir; ls; cd ..; get in_link /dev/null; "
            "ls empty\\*; get nothere /dev/null", alice)),
        ("smbclient-wrong-password", lambda: smbclient(port, "docs", "ls", "alice%nope")),
        ("smbclient-202", lambda: smbclient(port, "docs", "ls", alice,
                                            ["client max protocol=SMB2_02"])),
        ("smbclient-guest-ipc", lambda: smbclient(port, "IPC$", "ls")),
        ("impacket-smb1-upgrade", lambda: impacket(port)),
        ("impacket-202", lambda: impacket(port, 0x0202)),
        ("impacket-wrong-password", lambda: impacket(port, 0x0210, "nope")),
    ]


# ---- taking the recorded streams apart ----

def frames(stream):
    """The session messages of a client's byte stream."""
    pos = 0
    while pos + 4 <= len(stream):
        kind = stream[pos]
        n = int.from_bytes(stream[pos + 1:pos + 4], "big")
        body = stream[pos + 4:pos + 4 + n]
        pos += 4 + n
        if kind == 0:
            yield body


def commands(msg):
    """(command, header offset) for each SMB2 command of a compound message."""
    off = 0
    while off + 64 <= len(msg) and msg[off:off + 4] == b"\xfeSMB":
        yield struct.unpack_from("<H", msg, off + 12)[0], off
        nxt = struct.unpack_from("<I", msg, off + 20)[0]
        if nxt == 0:
            return
        off += nxt


def field(msg, hdr, at):
    """The (offset, length) pair of 16-bit fields at body offset `at`, as a slice."""
    if hdr + 64 + at + 4 > len(msg):
        return b""
    off, ln = struct.unpack_from("<HH", msg, hdr + 64 + at)
    return msg[hdr + off:hdr + off + ln]


def ntlm_messages(blob):
    """Every whole NTLM AUTHENTICATE message inside a security buffer."""
    at = blob.find(b"NTLMSSP\x00")
    while at >= 0:
        m = blob[at:]
        if len(m) >= 64 and struct.unpack_from("<I", m, 8)[0] == 3:
            end = 64
            for i in range(6):
                ln, _, off = struct.unpack_from("<HHI", m, 12 + 8 * i)
                end = max(end, off + ln)
            yield m[:end]
        at = blob.find(b"NTLMSSP\x00", at + 1)


def utf16(b):
    try:
        return b.decode("utf-16-le").encode("utf-8")
    except UnicodeDecodeError:
        return None


def split(stream):
    """Security buffers, AUTHENTICATE messages and names of one stream."""
    blobs, auths, names = [], [], []
    for msg in frames(stream):
        for cmd, hdr in commands(msg):
            if cmd == 1:
                blob = field(msg, hdr, 12)
                blobs.append(blob)
                auths.extend(ntlm_messages(blob))
            elif cmd in (3, 5, 14):
                at = {3: 4, 5: 44, 14: 24}[cmd]
                name = utf16(field(msg, hdr, at))
                if name is not None:
                    names.append(name)
    return blobs, auths, names


# ---- hand-made seeds ----

def smb2(cmd, mid, body, sid=0, tid=0, flags=0, next_cmd=0):
    return (b"\xfeSMB" + struct.pack("<HHIHHIIQIIQ16s", 64, 0, 0, cmd, 1, flags, next_cmd, mid,
                                     0, tid, sid, b"\0" * 16) + body)


def nbss(msg, kind=0):
    return bytes([kind]) + len(msg).to_bytes(3, "big") + msg


def compound(msgs, related=True):
    out = b""
    for i, m in enumerate(msgs):
        m = bytearray(m)
        if i and related:
            struct.pack_into("<I", m, 16, struct.unpack_from("<I", m, 16)[0] | 4)
        if i + 1 < len(msgs):
            m += b"\0" * (-len(m) % 8)
            struct.pack_into("<I", m, 20, len(m))
        out += bytes(m)
    return out


def create(mid, sid, tid, name, options=0):
    n = name.encode("utf-16-le")
    body = struct.pack("<HBBIQQIIIIIHHII", 57, 0, 0, 2, 0, 0, 0x00120089, 0, 7, 1, options,
                       120, len(n), 0, 0) + n
    return smb2(5, mid, body, sid, tid)


def hand_made(guest_logon, sid):
    """Seeds for what the recorded clients don't send: an SMB1 negotiate, a
    session request, related compounds, refused and unknown commands, signing
    without a session, 65 ECHOs."""
    ff = b"\xff" * 8
    path = "\\\\h\\docs".encode("utf-16-le")
    tcon = nbss(smb2(3, 3, struct.pack("<HHHH", 9, 0, 72, len(path)) + path, sid))
    qi = smb2(16, 5, struct.pack("<HBBIHHIII", 41, 1, 18, 4096, 0, 0, 0, 0, 0) + ff + ff,
              sid, 1)
    read = smb2(8, 6, struct.pack("<HBBIQ", 49, 0, 0, 65536, 0) + ff + ff +
                struct.pack("<IIIHH", 0, 0, 0, 0, 0) + b"\0", sid, 1)
    close = smb2(6, 7, struct.pack("<HHI", 24, 0, 0) + ff + ff, sid, 1)
    qd = smb2(14, 9, struct.pack("<HBBI", 33, 37, 0, 0) + ff + ff +
              struct.pack("<HHI", 96, 2, 65536) + "*".encode("utf-16-le"), sid, 1)
    close2 = smb2(6, 10, struct.pack("<HHI", 24, 0, 0) + ff + ff, sid, 1)
    write = smb2(9, 11, struct.pack("<HHIQ", 49, 112, 1, 0) + ff + ff + b"\0" * 16 + b"x", sid, 1)
    echo = struct.pack("<HH", 4, 0)
    smb1 = (b"\xffSMB\x72" + b"\0" * 27 + b"\0\x22\x00" + b"\x02NT LM 0.12\0\x02SMB 2.002\0"
            b"\x02SMB 2.???\0")
    return {
        "hand-compound": guest_logon + tcon + nbss(compound([
            create(4, sid, 1, "hello.txt"), qi, read, close])) + nbss(compound([
                create(8, sid, 1, "sub", 1), qd, close2])) + nbss(compound([
                    create(12, sid, 1, "big.bin"), write, close], related=False)),
        "hand-smb1-negotiate": nbss(smb1) + guest_logon,
        "hand-session-request": nbss(b"\x20" * 68, 0x81) + guest_logon,
        "hand-echo-65": nbss(compound([smb2(13, i, echo) for i in range(65)], related=False)),
        "hand-signed-before-logon": nbss(smb2(13, 0, echo, flags=8)) + nbss(smb2(99, 1, echo)),
        "hand-keepalive": nbss(smb2(13, 0, echo)) + b"\x85\0\0\0",
    }


def write_corpus(name, items):
    folder = os.path.join(CORPUS, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    seen = set()
    for label, data in items:
        digest = hashlib.sha1(data).hexdigest()
        if digest in seen or not data:
            continue
        seen.add(digest)
        with open(os.path.join(folder, f"{label}-{digest[:10]}"), "wb") as f:
            f.write(data)
    return len(seen)


NAME_SEEDS = [b"", b"\\dir\\\\sub/file.txt\\", b"..", b".", b"...", b".hidden", b"a:b*?\"<>|",
              b"a\tb", b"x" * 255, b"x" * 256, b"/".join([b"d"] * 65), b"*.txt\0README.TXT",
              b"a*b*c\0aXbYbZc", b"a?c\0ac", b"*\0", b"\0a", b"caf\xc3\xa9\0CAF\xc3\xa9",
              b"\xed\xa0\x80", b"\xf0\x9f\x98\x80", b"=\xd8\x00\xde", b"\x00\xdc"]


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: record_sessions.py PATH/TO/dirir2i")
    tmp = tempfile.mkdtemp(prefix="dirir2i-record-")
    try:
        docs, one = build_tree(tmp)
        servers, recorders = [], []
        for i, extra in enumerate([[], ["--opt", "signing=required"]]):
            port_file = os.path.join(tmp, f"port{i}")
            servers.append(subprocess.Popen(
                [sys.argv[1], "serve", "--share", f"docs={docs}", "--share", f"one={one}",
                 "--user", "alice:Secret123", "--opt", "guest=on", "--opt", "clock=1700000000",
                 "--port", "0", "--port-file", port_file] + extra,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            for _ in range(200):
                if os.path.exists(port_file) and open(port_file).read().endswith("\n"):
                    break
                time.sleep(0.05)
            recorders.append(Recorder(int(open(port_file).read())))
        for label, run in client_runs(recorders[0].port, recorders[1].port):
            for rec in recorders:
                rec.label = label
            run()
            for rec in recorders:
                rec.settle()
        for server in servers:
            server.terminate()
            server.wait(10)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    sessions = [(label, data) for rec in recorders for label, data in rec.sessions if data]
    blobs, auths, names = [], [], []
    for label, data in sessions:
        b, a, n = split(data)
        blobs += [(label, x) for x in b]
        auths += [(label, x) for x in a]
        names += [(label, x) for x in n]
    # The guest logon (NEGOTIATE and both SESSION_SETUP legs) of a recorded
    # smbclient session opens the hand-made sessions.
    guest = next(data for label, data in sessions if label == "smbclient-guest-browse")
    logon, pos = b"", 0
    for _ in range(3):
        n = int.from_bytes(guest[pos + 1:pos + 4], "big")
        logon += guest[pos:pos + 4 + n]
        pos += 4 + n
    last = list(frames(logon))[-1]
    sid = struct.unpack_from("<Q", last, 40)[0]
    engine = sessions + list(hand_made(logon, sid).items())
    counts = [write_corpus("engine", engine), write_corpus("spnego", blobs),
              write_corpus("ntlm_type3", auths),
              write_corpus("names", names + [("hand", s) for s in NAME_SEEDS])]
    print("seeds: engine %d, spnego %d, ntlm_type3 %d, names %d" % tuple(counts))


if __name__ == "__main__":
    main()
