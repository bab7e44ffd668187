#!/usr/bin/env bash
# The Windows leg: cross-builds the shipped 32-bit Morlune.dll and checks its
# shape (it cannot run here), then builds the x86_64 library with the unit,
# loopback and soak suites and the C host, and runs them all under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine wine64

cmake --preset win32
cmake --build --preset win32
ctest --preset win32

cmake --preset win64
cmake --build --preset win64
# The first start of a Wine prefix takes many seconds: done once, up front.
prefix=$PWD/build/win64/wineprefix
cmake/wine-run.sh "$prefix" --boot
# Wine's server for the prefix leaves by itself 30 s after the last test.
ctest --preset win64
