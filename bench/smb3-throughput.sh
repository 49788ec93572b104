#!/usr/bin/env bash
# smbclient `get` of one page-cached file from `dirir2i serve` (max_dialect
# 3.1.1) in each of the ways a client may protect it, in MB/s (medians over
# the rounds):
#
#   2.1 plain, 2.1 signed (HMAC-SHA256),
#   3.1.1 signed with AES-GMAC and with AES-CMAC,
#   3.1.1 encrypted with AES-128-GCM and with AES-128-CCM.
#
#   bench/smb3-throughput.sh [-b DIRIR2I] [-r ROUNDS] [-s MIB] [-d PARENT]
#
#   -b  the dirir2i executable (default: $DIRIR2I_BIN, else build/dirir2i)
#   -r  rounds (default 3)
#   -s  size of the file, MiB (default 1024)
#   -d  where the temporary folder goes (default: $TMPDIR or /tmp)
#
# smbclient does its half of the cryptography on the same machine, so the
# figures are those of the pair; run it on an otherwise idle machine.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
bin=${DIRIR2I_BIN:-$here/build/dirir2i}
rounds=3
size_mib=1024
parent=${TMPDIR:-/tmp}
while getopts "b:r:s:d:" opt; do
    case $opt in
    b) bin=$OPTARG ;;
    r) rounds=$OPTARG ;;
    s) size_mib=$OPTARG ;;
    d) parent=$OPTARG ;;
    *) sed -n '2,17p' "$0" >&2; exit 2 ;;
    esac
done
command -v smbclient >/dev/null || { echo "smbclient is not installed" >&2; exit 2; }
[ -x "$bin" ] || { echo "$bin is not executable (build first, or pass -b)" >&2; exit 2; }

work=$(mktemp -d "$parent/dirir2i-smb3-XXXXXX")
server_pid=
cleanup() {
    set +e
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

mkdir -p "$work/share"
head -c "$((size_mib << 20))" /dev/urandom >"$work/share/big.bin"
cat "$work/share/big.bin" >/dev/null # into the page cache
"$bin" serve --share docs="$work/share" --user bench:Bench-Pass-1 --port 0 \
    --port-file "$work/port" --opt max_dialect=3.1.1 --log off >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 200); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(head -n 1 "$work/port")

modes=(
    "2.1 plain|-mSMB2_10 --client-protection=off"
    "2.1 signed (HMAC-SHA256)|-mSMB2_10 --client-protection=sign"
    "3.1.1 signed AES-GMAC|-mSMB3_11 --client-protection=sign --option=clientsmb3signingalgorithms=aes-128-gmac"
    "3.1.1 signed AES-CMAC|-mSMB3_11 --client-protection=sign --option=clientsmb3signingalgorithms=aes-128-cmac"
    "3.1.1 encrypted AES-128-GCM|-mSMB3_11 --client-protection=encrypt --option=clientsmb3encryptionalgorithms=aes-128-gcm"
    "3.1.1 encrypted AES-128-CCM|-mSMB3_11 --client-protection=encrypt --option=clientsmb3encryptionalgorithms=aes-128-ccm"
)
bytes=$((size_mib << 20))
for m in "${modes[@]}"; do
    name=${m%%|*}
    read -r -a args <<<"${m#*|}"
    for _ in $(seq "$rounds"); do
        start=$(date +%s.%N)
        smbclient -p "$port" //127.0.0.1/docs -U bench%Bench-Pass-1 --configfile=/dev/null \
            "${args[@]}" -c "get big.bin /dev/null" >"$work/client.log" 2>&1 ||
            { cat "$work/client.log" >&2; exit 1; }
        end=$(date +%s.%N)
        awk -v b="$bytes" -v s="$start" -v e="$end" 'BEGIN { printf "%.0f\n", b / (e - s) / 1e6 }'
    done | median | awk -v n="$name" '{ printf "%-30s %6d MB/s\n", n, $1 }'
done
