#!/usr/bin/env bash
# impacket's SMBConnection.getFile of a large file at SMB 2.1 over loopback:
# MB/s of the copy alone (logon excluded), the median over several runs.
# impacket leaves CAP_LARGE_MTU out of its NEGOTIATE, so this shows what a
# server that grants multi-credit at 2.1 whatever the client's bits is worth.
#
#   bench/impacket-getfile.sh [-b DIRIR2I] [-r RUNS] [-s MIB] [-d PARENT]
#
#   -b  the dirir2i executable (default: $DIRIR2I_BIN, else build/dirir2i)
#   -r  runs, at least 3 (default 5)
#   -s  size of the file fetched, MiB (default 1024)
#   -d  where the temporary folder goes (default: $TMPDIR or /tmp)
#
# Needs Debian's python3 with impacket (python3-impacket). The server is
# stopped by its PID and the temporary folder removed on exit. Compare two
# builds in the same session on an otherwise idle machine.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
bin=${DIRIR2I_BIN:-$here/build/dirir2i}
runs=5
size_mib=1024
parent=${TMPDIR:-/tmp}
python=/usr/bin/python3 # the python impacket is installed for
while getopts "b:r:s:d:" opt; do
    case $opt in
    b) bin=$OPTARG ;;
    r) runs=$OPTARG ;;
    s) size_mib=$OPTARG ;;
    d) parent=$OPTARG ;;
    *) sed -n '2,16p' "$0" >&2; exit 2 ;;
    esac
done
[ "$runs" -ge 3 ] || { echo "runs: at least 3" >&2; exit 2; }
[ -x "$bin" ] || { echo "$bin is not executable (build first, or pass -b)" >&2; exit 2; }
"$python" -c 'import impacket' 2>/dev/null || { echo "impacket is not installed for $python" >&2; exit 2; }

work=$(mktemp -d "$parent/dirir2i-getfile-XXXXXX")
server_pid=
cleanup() {
    set +e
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "preparing $work: a $size_mib MiB file..."
mkdir -p "$work/share"
head -c "$((size_mib << 20))" /dev/urandom >"$work/share/big.bin"
cat "$work/share/big.bin" >/dev/null # into the page cache

"$bin" serve --bind 127.0.0.1 --port 0 --port-file "$work/port" --share "share=$work/share" \
    --user user:pass >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 200); do
    [ -s "$work/port" ] && [ "$(tail -c 1 "$work/port" | od -An -c | tr -d ' ')" = '\n' ] && break
    sleep 0.1
done
port=$(head -n 1 "$work/port" 2>/dev/null) || true
[ -n "$port" ] || { echo "dirir2i did not start:" >&2; cat "$work/server.log" >&2; exit 1; }

# One run: logs on at 2.1, times getFile into a byte counter, checks the count.
"$python" - "$port" "$runs" "$((size_mib << 20))" <<'PY'
import statistics
import sys
import time

from impacket.smbconnection import SMBConnection
from impacket.smb3structs import SMB2_DIALECT_21

port, runs, size = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
rates = []
for run in range(1, runs + 1):
    conn = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=port, preferredDialect=SMB2_DIALECT_21)
    conn.login("user", "pass")
    got = 0

    def sink(data):
        global got
        got += len(data)

    t0 = time.monotonic()
    conn.getFile("share", "big.bin", sink)
    secs = time.monotonic() - t0
    conn.logoff()
    if got != size:
        sys.exit(f"run {run}: got {got} bytes of {size}")
    rates.append(size / secs / 1e6)
    print(f"run {run}: {rates[-1]:8.1f} MB/s  ({secs:.2f} s)")
print(f"median getFile at 2.1: {statistics.median(rates):.1f} MB/s")
PY
