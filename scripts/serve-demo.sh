#!/usr/bin/env bash
# Builds the server and serves a small demo folder as the share "demo" on
# 127.0.0.1:4450, guests admitted. Extra arguments go to `dirir2i serve`.
# Try: smbclient -N -p 4450 //127.0.0.1/demo -c ls
set -euo pipefail
cd "$(dirname "$0")/.."
# What the build needs: the compiler and CMake, libcrypto, and the INI parser
# of --config files.
scripts/install-packages.sh cmake ninja-build g++ pkgconf libssl-dev libinih-dev libgtest-dev \
    libgmock-dev
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target dirir2i
demo=build/demo-share
mkdir -p "$demo/docs"
[ -f "$demo/hello.txt" ] || echo "Hello from dirir2i." > "$demo/hello.txt"
[ -f "$demo/docs/readme.txt" ] || cp README.md "$demo/docs/readme.txt"
exec build/dirir2i serve --share "demo=$demo" --opt guest=on "$@"
