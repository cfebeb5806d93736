#!/usr/bin/env bash
# The updater's main job, end to end on this machine: makes a fresh signing key, builds the
# updater to trust it, publishes a signed release with tools/publish.py, serves it with nginx
# on 127.0.0.1, lets the updater verify and install it over an old installation in a real
# (or virtual) X window, runs it once more to show that an up-to-date installation hands
# over at once, and a third time against a tampered package, which it refuses. Exit code 0
# only if all of it held.
# With --windows, the same with the Windows build under Wine (scripts/demo-windows.sh).
set -euo pipefail
umask 022
cd "$(dirname "$0")/.."
if [ "${1:-}" = --windows ]; then
    exec bash scripts/demo-windows.sh
fi
root=$PWD
build=${BUILD_DIR:-build}
# shellcheck source=scripts/demo-common.sh
source scripts/demo-common.sh

bash scripts/install-deps.sh
demo=$root/demo-run
rm -rf "$demo"
mkdir -p "$demo"/{release,server,nginx,app}

# A fresh key pair; the updater is built to trust its public key, in a build directory of
# its own so that $build keeps the configuration it had.
make_key_pair "$demo/keys"
signed_build=${build}-signed
echo "== Building into $build/ and, trusting the new key, into $signed_build/"
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j2 --target dialogshot >/dev/null
cmake -S . -B "$signed_build" -DUPDATER_TRUSTED_KEYS="$public_key" >/dev/null
cmake --build "$signed_build" -j2 --target UpdateTarvil >/dev/null
release=$demo/release
app=$demo/app
shot=$demo/screenshot.png

# --- A release: the program 1.001 and database packages 1.001..1.003 -------------------
# The main program's stand-in records that it ran, with which arguments and where.
stand_in() {
    cat >"$1" <<EOF
#!/bin/sh
# Stand-in for the main program $2.
{ echo "version=$2"; echo "argc=\$#"; echo "arg1=[\${1-}]"; echo "cwd=\$(pwd)"; } >orbelan-started.txt
EOF
    chmod 755 "$1"
}
make_release "$release" stand_in $'\n'
publish_release "$release" "$demo/server" "$demo/keys/orbelan.key"
sign=(--sign "$demo/keys/orbelan.key")

# --- nginx on a free port, slowed down so the progress bar can be watched ---------------
start_nginx "$demo/server" "$demo/nginx"

# --- The old installation: program 1.000, database 1.000 --------------------------------
cp "$signed_build/UpdateTarvil" "$app/"
stand_in "$app/Orbelan.exe" 1.000
write_config "$app/Config.ini" "$url"
before="PROGRAM $(ini Version PROGRAM), DATABASE $(ini Version DATABASE)"

# --- A display: the user's, else a virtual one, else none (offscreen) -------------------
display="" platform=offscreen
if [ -n "${DISPLAY:-}" ] && xwd -root -silent >/dev/null 2>&1; then
    display=$DISPLAY
else
    start_xvfb "$demo/xvfb.log"
fi
[ -n "$display" ] && platform=xcb
echo "== Display: ${display:-none, running offscreen}"

log=$app/updatetarvillogs.txt

# Runs the updater to its end (at most 60 s); with `shoot`, photographs its window.
run_linux_updater() {
    rm -f "$app/orbelan-started.txt"
    run_updater "$1" 60 "$demo/updater-stderr.log" env DISPLAY="$display" QT_QPA_PLATFORM=$platform ./UpdateTarvil
    wait_for_file "$app/orbelan-started.txt"
}

echo "== First run: the updater installs program 1.001 and database 1.001..1.003"
run_linux_updater shoot
first_run_seconds=$run_seconds
first_timing=$(install_timing)
first_log=$run_log
marker1=$(cat "$app/orbelan-started.txt" 2>/dev/null || echo "(no marker: not started)")
if [ -z "$display" ]; then
    # No X server: the same window rendered offscreen instead of a screen grab.
    "$build/dialogshot" "$shot" >/dev/null 2>&1 || true
fi
after="PROGRAM $(ini Version PROGRAM), DATABASE $(ini Version DATABASE)"

[ "$(ini Version PROGRAM)" = 1.001 ] || fail "Version/PROGRAM is not 1.001"
[ "$(ini Version DATABASE)" = 1.003 ] || fail "Version/DATABASE is not 1.003"
[ "$(ini ContactUs Contact1)" = "$contact" ] || fail "the contact line in Config.ini changed"
[ ! -e "$app/update" ] || fail "the download directory update/ is still there"
check_verified "$first_log"
# Every file of the release must be installed with the content of the newest package.
installed=$(python3 - "$release" "$app" "$pages_dir" <<'EOF'
import filecmp, os, sys
release, app, pages = sys.argv[1:]
newest = {}
for package in ["program-1.001", "database-1.001", "database-1.002", "database-1.003"]:
    base = os.path.join(release, package)
    for directory, _, files in os.walk(base):
        for name in files:
            path = os.path.join(directory, name)
            newest[os.path.relpath(path, base)] = path
page_files = page_bytes = 0
pages_ok = True
for relative, source in sorted(newest.items()):
    target = os.path.join(app, relative)
    ok = os.path.isfile(target) and filecmp.cmp(source, target, shallow=False)
    if relative.startswith(pages + "/"):
        page_files += 1
        page_bytes += os.path.getsize(source)
        pages_ok = pages_ok and ok
        continue
    print("%-20s %9d bytes  %s" % (relative, os.path.getsize(source),
                                   "installed" if ok else "MISSING OR DIFFERENT"))
print("%-20s %9d bytes  %s" % ("%s/ (%d files)" % (pages, page_files), page_bytes,
                               "installed" if pages_ok else "MISSING OR DIFFERENT"))
EOF
)
grep -q "MISSING OR DIFFERENT" <<<"$installed" && fail "not every file of the release was installed"
grep -q "^version=1.001$" <<<"$marker1" || fail "the updated main program 1.001 did not start"
grep -q "^argc=1$" <<<"$marker1" && grep -q "^arg1=\[\]$" <<<"$marker1" \
    || fail "the main program did not get exactly one empty argument"
grep -q "^cwd=$app$" <<<"$marker1" || fail "the main program did not run in the application directory"
check_screenshot

echo "== Second run: everything is current, so no window and straight to the main program"
run_linux_updater noshoot
second_log=$run_log
marker2=$(cat "$app/orbelan-started.txt" 2>/dev/null || echo "(no marker: not started)")
grep -q "download - curType" <<<"$second_log" && fail "the second run downloaded something"
grep -q "^version=1.001$" <<<"$marker2" || fail "the second run did not start the main program"
[ "PROGRAM $(ini Version PROGRAM), DATABASE $(ini Version DATABASE)" = "$after" ] \
    || fail "the second run changed the versions"

echo "== Third run: database 1.004 is published, then tampered with on the server"
d=$release/database-1.004
mkdir -p "$d/data"
printf 'questions 1-1400\n' >"$d/data/index.txt"
python3 tools/publish.py database --version 1.004 --from "$d" --to "$demo/server" "${sign[@]}"
# What an attacker on the path (or on a mirror) would do: add a DLL to the genuine package.
python3 - "$demo/server/client/dll/v1.004.zip" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "a") as zf:
    zf.writestr("evil.dll", b"MZ not from the vendor")
EOF
run_linux_updater noshoot
third_log=$run_log
marker3=$(cat "$app/orbelan-started.txt" 2>/dev/null || echo "(no marker: not started)")
refusal=$(grep -o '"1.004 signature refused: [^"]*"' <<<"$third_log" || true)
[ "$refusal" = '"1.004 signature refused: signature mismatch"' ] \
    || fail "the tampered package was not refused for its signature"
[ ! -e "$app/evil.dll" ] || fail "the tampered package's evil.dll was installed"
[ "$(ini Version DATABASE)" = 1.003 ] || fail "the tampered package was recorded"
[ "$(cat "$app/data/index.txt")" = "questions 1-1300" ] || fail "the tampered package changed data/index.txt"
grep -q "^version=1.001$" <<<"$marker3" || fail "the third run did not start the main program"

echo
echo "================ Demo summary ================"
echo "Release served by nginx at $url (limit_rate 1m): program 1.001, database 1.001..1.003"
echo "Signing key: $demo/keys/orbelan.key (public $public_key); updater built into $signed_build/ trusting it"
verified_summary
echo "Versions before: $before"
echo "Versions after:  $after"
echo "First run took ${first_run_seconds} s. Files of the release in $app:"
indent <<<"$installed"
echo "Updater log of the first run ($log):"
short_log <<<"$first_log" | indent
echo "Main program after the first run: $(tr '\n' ' ' <<<"$marker1")"
if [ -n "$display" ]; then
    echo "Screenshot while database 1.002 (with $pages_count page files) was being installed (X display $display): $shot"
    echo "  $first_timing"
else
    echo "Screenshot (no X display; the window rendered offscreen by dialogshot): $shot"
fi
echo "Second run, log:"
indent <<<"$second_log"
echo "Second run: no download line, so the window never opened; main program: $(tr '\n' ' ' <<<"$marker2")"
echo "Third run, tampered database 1.004 (evil.dll added after signing), log:"
indent <<<"$third_log"
echo "Third run: refused with ${refusal:-nothing}; evil.dll $([ -e "$app/evil.dll" ] && echo PRESENT || echo absent), Version/DATABASE $(ini Version DATABASE); main program: $(tr '\n' ' ' <<<"$marker3")"
finish
