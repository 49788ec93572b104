#!/usr/bin/env bash
# Copy speed of a real client against the loopback limit of this machine,
# measured side by side in one run and reported as ratios:
#
#   plain  = smbclient get of a page-cached file (SMB 2.1)      / iperf3 single stream
#   signed = the same with client signing=required (HMAC-SHA256) / iperf3 single stream
#
# and, as a third figure, the wall time of `ls` over a folder of 100,000 files.
# Each round runs iperf3, the plain get, the signed get and the listing one
# after another; the figures printed are the medians over the rounds.
#
#   bench/smbclient-vs-loopback.sh [-b DIRIR2I] [-r ROUNDS] [-s MIB] [-n ENTRIES] [-d PARENT]
#
#   -b  the dirir2i executable (default: $DIRIR2I_BIN, else build/dirir2i)
#   -r  rounds, at least 3 (default 3)
#   -s  size of the file fetched, MiB (default 1024)
#   -n  entries of the listed folder, 0 to skip the listing (default 100000)
#   -d  where the temporary folder goes (default: $TMPDIR or /tmp)
#
# Needs iperf3 and smbclient. Every process it starts is stopped by its PID,
# and the temporary folder is removed on exit.
#
# The ratios depend on the machine being otherwise idle: on a small machine
# the scheduler then tends to run smbclient on the server's CPU (loopback
# wake-ups), so that their CPU times add up, while iperf3 gains from sharing
# a CPU. Compare builds in the same run, several rounds, at a quiet time.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
bin=${DIRIR2I_BIN:-$here/build/dirir2i}
rounds=3
size_mib=1024
entries=100000
parent=${TMPDIR:-/tmp}
while getopts "b:r:s:n:d:" opt; do
    case $opt in
    b) bin=$OPTARG ;;
    r) rounds=$OPTARG ;;
    s) size_mib=$OPTARG ;;
    n) entries=$OPTARG ;;
    d) parent=$OPTARG ;;
    *) sed -n '2,21p' "$0" >&2; exit 2 ;;
    esac
done
[ "$rounds" -ge 3 ] || { echo "rounds: at least 3" >&2; exit 2; }
for tool in iperf3 smbclient awk; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done
[ -x "$bin" ] || { echo "$bin is not executable (build first, or pass -b)" >&2; exit 2; }

work=$(mktemp -d "$parent/dirir2i-loopback-XXXXXX")
server_pid=
iperf_pid=
cleanup() {
    set +e # a process that ends by the signal reports failure; carry on regardless
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; fi
    if [ -n "$iperf_pid" ]; then kill "$iperf_pid" 2>/dev/null; wait "$iperf_pid" 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT

# Waits (at most 20 s) for a file ending in a newline and prints its first line.
wait_for_line() {
    local i
    for i in $(seq 200); do
        if [ -s "$1" ] && [ "$(tail -c 1 "$1" | od -An -c | tr -d ' ')" = '\n' ]; then
            head -n 1 "$1"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "preparing $work: a $size_mib MiB file${entries:+ and $entries empty files}..."
mkdir -p "$work/share"
head -c "$((size_mib << 20))" /dev/urandom >"$work/share/big.bin"
cat "$work/share/big.bin" >/dev/null # into the page cache
if [ "$entries" -gt 0 ]; then
    mkdir "$work/share/many"
    (cd "$work/share/many" && seq -f "entry-%06g.txt" 0 $((entries - 1)) | xargs touch)
fi

"$bin" serve --bind 127.0.0.1 --port 0 --port-file "$work/port" --share "share=$work/share" \
    --user user:pass >"$work/server.log" 2>&1 &
server_pid=$!
port=$(wait_for_line "$work/port") || { echo "dirir2i did not start:" >&2; cat "$work/server.log" >&2; exit 1; }

# iperf3 can't pick a free port itself: try a few random ones.
iperf_port=
for try in 1 2 3 4 5; do
    candidate=$((20000 + RANDOM % 40000))
    iperf3 -s -p "$candidate" >"$work/iperf-server.log" 2>&1 &
    iperf_pid=$!
    sleep 0.3
    if kill -0 "$iperf_pid" 2>/dev/null; then iperf_port=$candidate; break; fi
    wait "$iperf_pid" 2>/dev/null || true
    iperf_pid=
done
[ -n "$iperf_port" ] || { echo "iperf3 -s did not start:" >&2; cat "$work/iperf-server.log" >&2; exit 1; }

# MB/s of one iperf3 client run (the receiver's figure).
loopback_mbs() {
    iperf3 -c 127.0.0.1 -p "$iperf_port" -t 5 -f m |
        awk '/receiver/ { for (i = 1; i < NF; i++) if ($(i + 1) == "Mbits/sec") r = $i / 8 } END { if (r == "") exit 1; print r }'
}

# MB/s of one smbclient get, from smbclient's own average (the transfer only,
# not the logon). Extra arguments are smbclient options.
get_mbs() {
    cat "$work/share/big.bin" >/dev/null # back into the page cache, should anything have left it
    smbclient -p "$port" --configfile=/dev/null -U user%pass //127.0.0.1/share \
        --option='client max protocol=SMB2_10' "$@" -c 'get big.bin /dev/null' 2>&1 |
        awk '/average/ { s = $0; sub(/.*average /, "", s); sub(/ KiloBytes.*/, "", s); r = s * 1024 / 1e6 } END { if (r == "") exit 1; print r }'
}

# Seconds of wall time for one `ls` of the many-entry folder, logon included.
list_s() {
    local t0 t1 n
    t0=$(date +%s.%N)
    n=$(smbclient -p "$port" --configfile=/dev/null -U user%pass //127.0.0.1/share \
        --option='client max protocol=SMB2_10' -c 'ls many\*' 2>&1 | grep -c 'entry-')
    t1=$(date +%s.%N)
    [ "$n" -eq "$entries" ] || { echo "ls listed $n of $entries entries" >&2; return 1; }
    awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }'
}

: >"$work/plain" ; : >"$work/signed" ; : >"$work/list"
printf "%-6s %12s %12s %12s %8s %8s %8s\n" round "loopback" "plain" "signed" "plain" "signed" "ls"
printf "%-6s %12s %12s %12s %8s %8s %8s\n" "" "MB/s" "MB/s" "MB/s" "ratio" "ratio" "s"
for round in $(seq "$rounds"); do
    lo=$(loopback_mbs) || { echo "iperf3 failed" >&2; exit 1; }
    plain=$(get_mbs) || { echo "smbclient get failed" >&2; exit 1; }
    signed=$(get_mbs --option='client signing=required') || { echo "signed smbclient get failed" >&2; exit 1; }
    ls_s=-
    [ "$entries" -gt 0 ] && { ls_s=$(list_s) || exit 1; echo "$ls_s" >>"$work/list"; }
    rp=$(awk -v a="$plain" -v b="$lo" 'BEGIN { printf "%.3f", a / b }')
    rs=$(awk -v a="$signed" -v b="$lo" 'BEGIN { printf "%.3f", a / b }')
    echo "$rp" >>"$work/plain"
    echo "$rs" >>"$work/signed"
    printf "%-6s %12.0f %12.0f %12.0f %8s %8s %8s\n" "$round" "$lo" "$plain" "$signed" "$rp" "$rs" "$ls_s"
done

echo "median plain  ratio: $(median <"$work/plain")   (target: at least 0.55)"
echo "median signed ratio: $(median <"$work/signed")   (target: at least 0.35)"
[ "$entries" -gt 0 ] && echo "median ls of $entries entries: $(median <"$work/list") s   (target: under 1 s)"
exit 0
