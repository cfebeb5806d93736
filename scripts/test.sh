#!/usr/bin/env bash
# Installs what is missing, checks the sources' format (scripts/check-format.sh), builds
# everything and runs the whole test suite; then the Windows lane (scripts/test-windows.sh:
# the Windows build under Wine; SKIP_WINDOWS=1 leaves it out); then builds a second tree
# with AddressSanitizer and UndefinedBehaviorSanitizer and runs the suite again there, leaks
# included (SKIP_SANITIZERS=1 leaves that pass out).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/check-format.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DBUILD_TESTING=ON ${CMAKE_ARGS:-}
cmake --build "$build" -j2
# The Wine tests run in the Windows lane, after the Windows build they need.
(cd "$build" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 -LE wine "$@")

if [ "${SKIP_WINDOWS:-0}" != 1 ]; then
    BUILD_DIR="$build" bash scripts/test-windows.sh
fi

if [ "${SKIP_SANITIZERS:-0}" = 1 ]; then
    exit 0
fi

asan=${ASAN_BUILD_DIR:-build-asan}
cmake -S . -B "$asan" -DBUILD_TESTING=ON -DUPDATER_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-}
cmake --build "$asan" -j2
# Some tests run the updater as user nobody, which must be able to read the suppressions.
suppressions=$(mktemp /tmp/lsan-XXXXXX.supp)
trap 'rm -f "$suppressions"' EXIT
cp tests/sanitizers/lsan.supp "$suppressions"
chmod 644 "$suppressions"
cd "$asan"
# intercept_tls_get_addr=0: GCC 12's LeakSanitizer misreads glibc 2.36's records of dynamic
# thread-local storage (libssl's, loaded for HTTPS) and its tracer crashes at exit ("Tracer
# caught signal 11"), as a change of memory layout decides; not following __tls_get_addr
# avoids those records.
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:intercept_tls_get_addr=0 \
    LSAN_OPTIONS=suppressions=$suppressions \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 "$@"
