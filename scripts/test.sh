#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: once in a
# normal build and once under AddressSanitizer + UndefinedBehaviorSanitizer;
# then runs each fuzz target for a minute. Any failing test, sanitizer or
# fuzzer finding makes this script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

# systemd, groff-base, man-db and pkgconf check the install tree (the unit,
# the man page, a pkg-config consumer); libinih-dev reads --config files;
# python3-prometheus-client parses the metrics file in the interop tests.
packages=(cmake ninja-build g++ clang-14 libclang-rt-14-dev libgtest-dev libgmock-dev libssl-dev
          smbclient python3-impacket tshark rclone python3-pytest python3-pip python3-setuptools
          python3-wheel systemd groff-base man-db pkgconf samba-testsuite libinih-dev
          python3-prometheus-client
          qemu-system-x86 busybox-static cpio kmod socat) # the last five: the Linux client's guest
scripts/install-packages.sh "${packages[@]}"

# A JavaScript SMB client for the interop tests (npm registry), kept in .deps.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends nodejs npm
fi
if [ ! -d .deps/npm/node_modules/@marsaud/smb2 ]; then
  npm install --prefix .deps/npm --no-save --no-audit --no-fund @marsaud/smb2@0.18.0 ||
    echo "== npm install failed: the JavaScript client test will be skipped"
fi

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  echo "== configure $dir"
  cmake -S . -B "$dir" -G Ninja "$@"
  echo "== build $dir"
  cmake --build "$dir" -j "$jobs"
  echo "== test $dir"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 900
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DDIRIR2I_SANITIZE=ON -DDIRIR2I_BENCH=OFF

# Fuzzing: every target of fuzz/ for FUZZ_SECONDS (default 60) from its
# committed seeds, with a fixed seed; a crash, leak, time-out or sanitizer
# report fails the run. fuzz/run.sh says how to fuzz for longer.
echo "== configure build-fuzz"
CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDIRIR2I_FUZZ=ON -DDIRIR2I_TESTS=OFF -DDIRIR2I_BENCH=OFF
echo "== build build-fuzz"
cmake --build build-fuzz -j "$jobs" --target fuzzers
echo "== fuzz"
rm -rf build-fuzz/fuzz-work
fuzz/run.sh build-fuzz "${FUZZ_SECONDS:-60}"
echo "== all tests passed"
