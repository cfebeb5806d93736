#!/usr/bin/env bash
# Cross-builds the updater for 64-bit Windows and leaves a runnable folder
# build-windows/dist/: UpdateTarvil.exe with every DLL and Qt plugin it needs beside it.
# BUILD_TESTING=ON builds the unit tests for Windows as well (scripts/test-windows.sh).
# WINDOWS_BUILD_DIR picks another build directory, CMAKE_ARGS adds configure arguments (such
# as -DUPDATER_TRUSTED_KEYS=...) and TARGETS builds only the named targets.
# WINDOWS_SIGN_CERT (a PKCS#12 file), WINDOWS_SIGN_PASSWORD and WINDOWS_SIGN_TIMESTAMP_URL sign
# every .exe and .dll in dist/ with Authenticode (scripts/sign-windows.sh); without them
# nothing is signed.
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
# Signed as soon as dist/ is complete, so that whatever copies, packages or publishes it
# afterwards only ever sees signed files.
if [ -n "${WINDOWS_SIGN_CERT:-}" ]; then
    bash scripts/sign-windows.sh "$build/dist"
elif [ -n "${WINDOWS_SIGN_PASSWORD:-}${WINDOWS_SIGN_TIMESTAMP_URL:-}" ]; then
    # Half a signing set-up is a mistake, not a wish for an unsigned release.
    echo "build-windows: WINDOWS_SIGN_PASSWORD or WINDOWS_SIGN_TIMESTAMP_URL is set but WINDOWS_SIGN_CERT is not" >&2
    exit 1
fi
echo "$build/dist/UpdateTarvil.exe"
