#!/usr/bin/env bash
# The Linux kernel client (cache=strict, as a plain mount -t cifs) reading a
# file twice in one guest boot, the file held open between the passes as an
# application that keeps it would: the guest's time for each pass, the READs
# each pass sent (the client's own count, /proc/fs/cifs/Stats), and the
# READs the server counted in all.
#
#   bench/kcifs-cache-read.sh [-b DIRIR2I] [-s MIB] [-c 'READ COMMAND'] [-d PARENT]
#
#   -b  the dirir2i executable (default: $DIRIR2I_BIN, else build/dirir2i)
#   -s  size of the file, MiB (default 64)
#   -c  how the guest reads it (default: cat, whose 4 KiB reads leave the
#       READ sizes to the client; e.g. 'dd bs=1M if=big.bin of=/dev/null')
#   -d  where the temporary folder goes (default: $TMPDIR or /tmp)
#
# Needs ../shared/clients/kcifs.sh beside the repository. Times are the
# emulated guest's and say more about the client's work than the server's
# speed. Compare two builds in the same session on an otherwise idle machine.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
bin=${DIRIR2I_BIN:-$here/build/dirir2i}
size_mib=64
read_cmd='cat big.bin >/dev/null'
parent=${TMPDIR:-/tmp}
kcifs=$here/../shared/clients/kcifs.sh
while getopts "b:s:c:d:" opt; do
    case $opt in
    b) bin=$OPTARG ;;
    s) size_mib=$OPTARG ;;
    c) read_cmd=$OPTARG ;;
    d) parent=$OPTARG ;;
    *) sed -n '2,19p' "$0" >&2; exit 2 ;;
    esac
done
[ -x "$bin" ] || { echo "$bin is not executable (build first, or pass -b)" >&2; exit 2; }
[ -x "$kcifs" ] || { echo "$kcifs is not there" >&2; exit 2; }

work=$(mktemp -d "$parent/dirir2i-kcifs-bench-XXXXXX")
server_pid=
cleanup() {
    set +e
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/share"
head -c "$((size_mib << 20))" /dev/urandom >"$work/share/big.bin"
"$bin" serve --bind 127.0.0.1 --port 0 --port-file "$work/port" --share "docs=$work/share" \
    --opt guest=on >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 200); do
    [ -s "$work/port" ] && [ "$(tail -c 1 "$work/port" | od -An -c | tr -d ' ')" = '\n' ] && break
    sleep 0.1
done
port=$(head -n 1 "$work/port" 2>/dev/null) || true
[ -n "$port" ] || { echo "dirir2i did not start:" >&2; cat "$work/server.log" >&2; exit 1; }

guest="reads() { awk '\$1 == 8 { print \$2; exit }' /proc/fs/cifs/Stats; }
exec 3< big.bin
for pass in 1 2; do
  r=\$(reads); a=\$(cut -d' ' -f1 /proc/uptime)
  $read_cmd
  b=\$(cut -d' ' -f1 /proc/uptime)
  echo \"pass \$pass: \$(echo \"\$a \$b\" | awk '{printf \"%.2f\", \$2 - \$1}') s, \$((\$(reads) - r)) READs\"
done
exec 3<&-"
"$kcifs" -q --opts cache=strict "$port" docs -- "$guest" >"$work/guest.out" 2>&1 ||
    { cat "$work/guest.out" >&2; exit 1; }
kill -USR1 "$server_pid"
sleep 0.5
kill "$server_pid"
wait "$server_pid" 2>/dev/null || true
server_pid=

echo "dirir2i: $bin"
echo "file: $size_mib MiB, read with: $read_cmd"
grep '^pass ' "$work/guest.out" | while read -r line; do echo "  guest $line"; done
echo "  server: $(grep 'event=stats' "$work/server.log" | grep -o ' reads=[0-9]*' | cut -d= -f2) READs in all"
