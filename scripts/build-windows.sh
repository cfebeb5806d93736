#!/usr/bin/env bash
# Cross-builds the updater for 64-bit Windows and leaves a runnable folder
# build-windows/dist/: UpdateTarvil.exe with every DLL and Qt plugin it needs beside it.
# BUILD_TESTING=ON builds the unit tests for Windows as well (scripts/test-windows.sh).
# WINDOWS_BUILD_DIR picks another build directory, CMAKE_ARGS adds configure arguments (such
# as -DUPDATER_TRUSTED_KEYS=...) and TARGETS builds only the named targets.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >&2
prefix=$(bash scripts/windows-prefix.sh)
build=${WINDOWS_BUILD_DIR:-build-windows}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" \
    -DWINDOWS_PREFIX="$prefix" -DBUILD_TESTING="${BUILD_TESTING:-OFF}" ${CMAKE_ARGS:-}
cmake --build "$build" -j"${JOBS:-2}" ${TARGETS:+--target $TARGETS}
rm -rf "$build/dist"
python3 tools/windows/deploy.py --prefix "$prefix" --dest "$build/dist" "$build/UpdateTarvil.exe"
echo "$build/dist/UpdateTarvil.exe"
