#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: once in a
# normal build and once under AddressSanitizer + UndefinedBehaviorSanitizer.
# Any failing test or sanitizer finding makes this script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ clang-14 libclang-rt-14-dev libgtest-dev libgmock-dev
          smbclient python3-impacket tshark)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
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
echo "== all tests passed"
