#!/usr/bin/env bash
# Measures the updater against the plainest shell way of doing the same work (curl, unzip,
# sh), side by side on one nginx on 127.0.0.1, and writes the results into
# docs/benchmarks.md. Not part of the test run: a few minutes, about 2 GB of disk in
# $BUILD_DIR/bench (the releases are kept there for the next run).
#
#   BUILD_DIR    build directory (default build), also holds the work directory bench/
#   BENCH_REPS   repetitions of the large scenarios (default 5; no-update runs 3x as many)
#   BENCH_ONLY   comma-separated subset: noupdate,program,signed,chain,mem5,mem500, and delay
#                (the far-away link, 50 and 200 ms round trip: only when named)
#   BENCH_MAX_LOAD  wait (at most 10 minutes) until the 1-minute load is below this first
#   BENCH_BEFORE  git revision whose updater is timed alongside in the no-update, program
#                 and chain scenarios
#                 (built Release into $BUILD_DIR/bench/before/)
set -euo pipefail
umask 022
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

bash scripts/install-deps.sh
echo "== Building the updater (Release) into $build/"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target UpdateTarvil >/dev/null
# The same updater trusting a key of the bench's own, for the verification scenario.
keys=$build/bench/keys
[ -f "$keys/orbelan.key" ] || python3 tools/publish.py keygen --out "$keys" --no-password >/dev/null
signed_build=$build/bench/signed-build
echo "== Building the updater trusting $keys/orbelan.pub into $signed_build/"
cmake -S . -B "$signed_build" -DCMAKE_BUILD_TYPE=Release \
    -DUPDATER_TRUSTED_KEYS="$(sed -n 2p "$keys/orbelan.pub")" >/dev/null
cmake --build "$signed_build" -j2 --target UpdateTarvil >/dev/null
echo "== Building the reference program tools/bench/qtfloor into $build/bench/"
cmake -S tools/bench/qtfloor -B "$build/bench/qtfloor-build" >/dev/null
cmake --build "$build/bench/qtfloor-build" >/dev/null

if [ -n "${BENCH_BEFORE:-}" ]; then
    before_src="$build/bench/before/src"
    echo "== Building the updater of $BENCH_BEFORE into $build/bench/before/"
    rm -rf "$before_src" && mkdir -p "$before_src"
    git archive "$BENCH_BEFORE" | tar -x -C "$before_src"
    cmake -S "$before_src" -B "$build/bench/before/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build/bench/before/build" -j2 --target UpdateTarvil >/dev/null
fi

if [ -n "${BENCH_MAX_LOAD:-}" ]; then
    for _ in $(seq 60); do
        load=$(cut -d' ' -f1 /proc/loadavg)
        python3 -c 'import sys; sys.exit(float(sys.argv[1]) >= float(sys.argv[2]))' \
            "$load" "$BENCH_MAX_LOAD" && break
        echo "== Load $load, waiting for < $BENCH_MAX_LOAD"
        sleep 10
    done
fi
echo "== Load before: $(cat /proc/loadavg)"

args=(--updater "$build/UpdateTarvil" --floor "$build/bench/qtfloor-build/qtfloor"
    --work "$build/bench" --reps "${BENCH_REPS:-5}" --command "BUILD_DIR=$build bash scripts/bench.sh"
    --signed-updater "$signed_build/UpdateTarvil" --key "$keys/orbelan.key")
[ -n "${BENCH_ONLY:-}" ] && args+=(--only "$BENCH_ONLY")
[ -n "${BENCH_BEFORE:-}" ] && args+=(--before "$build/bench/before/build/UpdateTarvil"
    --before-label "$(git rev-parse --short "$BENCH_BEFORE")")
exec python3 tools/bench/bench.py "${args[@]}"
