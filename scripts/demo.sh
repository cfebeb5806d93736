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

bash scripts/install-deps.sh
demo=$root/demo-run
rm -rf "$demo"
mkdir -p "$demo"/{release,server,nginx,app}

# A fresh key pair; the updater is built to trust its public key, in a build directory of
# its own so that $build keeps the configuration it had.
echo "== Making a signing key pair in $demo/keys"
python3 tools/publish.py keygen --out "$demo/keys" --no-password | sed 's/^/    /'
public_key=$(sed -n 2p "$demo/keys/orbelan.pub")
signed_build=${build}-signed
echo "== Building into $build/ and, trusting the new key, into $signed_build/"
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j2 --target dialogshot >/dev/null
cmake -S . -B "$signed_build" -DUPDATER_TRUSTED_KEYS="$public_key" >/dev/null
cmake --build "$signed_build" -j2 --target UpdateTarvil >/dev/null
release=$demo/release
app=$demo/app
shot=$demo/screenshot.png
failures=()
fail() { failures+=("$1"); echo "FAILED: $1"; }

nginx_pid="" xvfb_pid="" updater_pid=""
cleanup() {
    for pid in $updater_pid $nginx_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT

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
random_file() { mkdir -p "$(dirname "$1")"; head -c "$2" /dev/urandom >"$1"; }

p=$release/program-1.001
mkdir -p "$p"
stand_in "$p/Orbelan.exe" 1.001
printf 'Orbelan 1.001\n' >"$p/readme.txt"
random_file "$p/lib/core.bin" 1500000
random_file "$p/lib/ui.bin" 500000
d=$release/database-1.001
random_file "$d/data/questions.db" 1200000
printf 'questions 1-1200\n' >"$d/data/index.txt"
d=$release/database-1.002
random_file "$d/data/questions.db" 1300000
random_file "$d/data/images.pak" 400000
printf 'questions 1-1300\n' >"$d/data/index.txt"
d=$release/database-1.003
random_file "$d/data/answers.db" 800000
printf 'Database 1.003: answers added.\n' >"$d/changelog.txt"

echo "== Publishing the release, signed"
sign=(--sign "$demo/keys/orbelan.key")
python3 tools/publish.py program --version 1.001 --from "$release/program-1.001" --to "$demo/server" "${sign[@]}"
for v in 1.001 1.002 1.003; do
    python3 tools/publish.py database --version "$v" --from "$release/database-$v" --to "$demo/server" "${sign[@]}"
done

# --- nginx on a free port, slowed down so the progress bar can be watched ---------------
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
ngx=$demo/nginx
mkdir -p "$ngx/tmp"
cat >"$ngx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $ngx/nginx.pid;
error_log $ngx/error.log warn;
events { worker_connections 64; }
http {
    access_log $ngx/access.log;
    client_body_temp_path $ngx/tmp/body;
    proxy_temp_path $ngx/tmp/proxy;
    fastcgi_temp_path $ngx/tmp/fastcgi;
    uwsgi_temp_path $ngx/tmp/uwsgi;
    scgi_temp_path $ngx/tmp/scgi;
    types { application/zip zip; text/plain php; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$port;
        root $demo/server;
        limit_rate 1m;
    }
}
EOF
/usr/sbin/nginx -p "$ngx/" -c "$ngx/nginx.conf" -e "$ngx/error.log" &
nginx_pid=$!
url=http://127.0.0.1:$port
for _ in $(seq 50); do
    curl -sf "$url/client/verProgram.php" >/dev/null 2>&1 && break
    sleep 0.1
done
curl -sf "$url/client/verDll.php" >/dev/null || { cat "$ngx/error.log"; echo "nginx did not come up"; exit 1; }
echo "== Serving $demo/server at $url"

# --- The old installation: program 1.000, database 1.000 --------------------------------
cp "$signed_build/UpdateTarvil" "$app/"
stand_in "$app/Orbelan.exe" 1.000
python3 - "$app/Config.ini" "$url" <<'EOF'
import sys
path, url = sys.argv[1:]
text = ("[Version]\nPROGRAM=1.000\nDATABASE=1.000\nIMAGES=1.000\n"
        "[ContactUs]\nContact1=客服电话：400-800-1234  工作时间：周一至周五 9:00-18:00\n"
        "[Server]\nApiUrl=%s\nPackageUrl=%s\nTimeoutMs=15000\n" % (url, url))
with open(path, "w", encoding="gb2312", newline="\r\n") as f:
    f.write(text)
EOF
ini() { python3 -c '
import configparser, sys
c = configparser.ConfigParser(interpolation=None)
c.read(sys.argv[1], encoding="gb2312")
print(c.get(sys.argv[2], sys.argv[3], fallback="(missing)"))' "$app/Config.ini" "$1" "$2"; }
before="PROGRAM $(ini Version PROGRAM), DATABASE $(ini Version DATABASE)"

# --- A display: the user's, else a virtual one, else none (offscreen) -------------------
display="" platform=offscreen
if [ -n "${DISPLAY:-}" ] && xwd -root -silent >/dev/null 2>&1; then
    display=$DISPLAY
else
    for n in $(seq 90 119); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || break
    done
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >"$demo/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 50); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        sleep 0.1
    done
    if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$xvfb_pid" 2>/dev/null; then
        display=:$n
    else
        kill "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=""
    fi
fi
[ -n "$display" ] && platform=xcb
echo "== Display: ${display:-none, running offscreen}"

log=$app/updatetarvillogs.txt
log_lines() { [ -f "$log" ] && wc -l <"$log" || echo 0; }

# Runs the updater to its end (at most 60 s). With `shoot`, grabs the screen once the log
# shows that a database package is downloading.
run_updater() {
    local shoot=$1 first=$(($(log_lines) + 1)) shot_taken=0 deadline=$((SECONDS + 60))
    rm -f "$app/orbelan-started.txt"
    (cd "$app" && exec env DISPLAY="$display" QT_QPA_PLATFORM=$platform ./UpdateTarvil \
        2>>"$demo/updater-stderr.log") &
    updater_pid=$!
    while kill -0 "$updater_pid" 2>/dev/null; do
        if [ "$shoot" = shoot ] && [ $shot_taken = 0 ] && [ -n "$display" ] \
            && [ -n "$(tail -n +"$first" "$log" 2>/dev/null | grep -m1 "download - curType: 1")" ]; then
            sleep 0.7
            import -display "$display" -window root "$shot" 2>"$demo/import.log" || true
            shot_taken=1
        fi
        if [ $SECONDS -ge $deadline ]; then
            kill "$updater_pid"
            fail "the updater was still running after 60 s"
        fi
        sleep 0.1
    done
    local rc=0
    wait "$updater_pid" || rc=$?
    updater_pid=""
    [ $rc = 0 ] || fail "the updater exited with code $rc (its stderr: $demo/updater-stderr.log)"
    # The main program is started detached; give it a moment to write its marker.
    for _ in $(seq 30); do
        [ -f "$app/orbelan-started.txt" ] && break
        sleep 0.1
    done
    run_log=$(tail -n +"$first" "$log" 2>/dev/null || true)
}

echo "== First run: the updater installs program 1.001 and database 1.001..1.003"
start=$SECONDS
run_updater shoot
first_run_seconds=$((SECONDS - start))
first_log=$run_log
marker1=$(cat "$app/orbelan-started.txt" 2>/dev/null || echo "(no marker: not started)")
if [ -z "$display" ]; then
    # No X server: the same window rendered offscreen instead of a screen grab.
    "$build/dialogshot" "$shot" >/dev/null 2>&1 || true
fi
after="PROGRAM $(ini Version PROGRAM), DATABASE $(ini Version DATABASE)"

[ "$(ini Version PROGRAM)" = 1.001 ] || fail "Version/PROGRAM is not 1.001"
[ "$(ini Version DATABASE)" = 1.003 ] || fail "Version/DATABASE is not 1.003"
[ "$(ini ContactUs Contact1)" = "客服电话：400-800-1234  工作时间：周一至周五 9:00-18:00" ] \
    || fail "the contact line in Config.ini changed"
[ ! -e "$app/update" ] || fail "the download directory update/ is still there"
for v in program 1.001 1.002 1.003; do
    name=$([ $v = program ] && echo orbelan.zip || echo "v$v.zip")
    grep -q "download - curType: .*$name" <<<"$first_log" || fail "no download of $name in the log"
    grep -q "signature - curType: .*$name.minisig" <<<"$first_log" || fail "no signature of $name fetched"
done
verified=$(grep -o '"[0-9.]* signature verified"' <<<"$first_log" | cut -d' ' -f1 | tr -d '"' || true)
[ "$(wc -l <<<"$verified")" = 4 ] || fail "not every package was verified before it was installed"
grep -q "signature refused\|not verified" <<<"$first_log" && fail "a package was not verified"
# Every file of the release must be installed with the content of the newest package.
installed=$(python3 - "$release" "$app" <<'EOF'
import filecmp, os, sys
release, app = sys.argv[1:]
newest = {}
for package in ["program-1.001", "database-1.001", "database-1.002", "database-1.003"]:
    base = os.path.join(release, package)
    for directory, _, files in os.walk(base):
        for name in files:
            path = os.path.join(directory, name)
            newest[os.path.relpath(path, base)] = path
for relative, source in sorted(newest.items()):
    target = os.path.join(app, relative)
    ok = os.path.isfile(target) and filecmp.cmp(source, target, shallow=False)
    print("%-20s %9d bytes  %s" % (relative, os.path.getsize(source),
                                   "installed" if ok else "MISSING OR DIFFERENT"))
EOF
)
grep -q "MISSING OR DIFFERENT" <<<"$installed" && fail "not every file of the release was installed"
grep -q "^version=1.001$" <<<"$marker1" || fail "the updated main program 1.001 did not start"
grep -q "^argc=1$" <<<"$marker1" && grep -q "^arg1=\[\]$" <<<"$marker1" \
    || fail "the main program did not get exactly one empty argument"
grep -q "^cwd=$app$" <<<"$marker1" || fail "the main program did not run in the application directory"
if [ ! -s "$shot" ]; then
    fail "no screenshot was taken"
elif [ -n "$display" ]; then
    spread=$(identify -format '%[fx:standard_deviation]' "$shot" 2>/dev/null || echo 0)
    python3 -c "import sys; sys.exit(float(sys.argv[1]) > 0.02)" "$spread" \
        && fail "the screenshot is blank"
fi

echo "== Second run: everything is current, so no window and straight to the main program"
run_updater noshoot
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
run_updater noshoot
third_log=$run_log
marker3=$(cat "$app/orbelan-started.txt" 2>/dev/null || echo "(no marker: not started)")
refusal=$(grep -o '"1.004 signature refused: [^"]*"' <<<"$third_log" || true)
[ "$refusal" = '"1.004 signature refused: signature mismatch"' ] \
    || fail "the tampered package was not refused for its signature"
[ ! -e "$app/evil.dll" ] || fail "the tampered package's evil.dll was installed"
[ "$(ini Version DATABASE)" = 1.003 ] || fail "the tampered package was recorded"
[ "$(cat "$app/data/index.txt")" = "questions 1-1300" ] || fail "the tampered package changed data/index.txt"
grep -q "^version=1.001$" <<<"$marker3" || fail "the third run did not start the main program"

indent() { sed 's/^/    /'; }
echo
echo "================ Demo summary ================"
echo "Release served by nginx at $url (limit_rate 1m): program 1.001, database 1.001..1.003"
echo "Signing key: $demo/keys/orbelan.key (public $public_key); updater built into $signed_build/ trusting it"
echo "Signatures verified before installation (key, file name, version): program $(head -1 <<<"$verified"), database $(tail -n +2 <<<"$verified" | paste -sd' ')"
echo "Versions before: $before"
echo "Versions after:  $after"
echo "First run took ${first_run_seconds} s. Files of the release in $app:"
indent <<<"$installed"
echo "Updater log of the first run ($log):"
indent <<<"$first_log"
echo "Main program after the first run: $(tr '\n' ' ' <<<"$marker1")"
if [ -n "$display" ]; then
    echo "Screenshot during the download (X display $display): $shot"
else
    echo "Screenshot (no X display; the window rendered offscreen by dialogshot): $shot"
fi
echo "Second run, log:"
indent <<<"$second_log"
echo "Second run: no download line, so the window never opened; main program: $(tr '\n' ' ' <<<"$marker2")"
echo "Third run, tampered database 1.004 (evil.dll added after signing), log:"
indent <<<"$third_log"
echo "Third run: refused with ${refusal:-nothing}; evil.dll $([ -e "$app/evil.dll" ] && echo PRESENT || echo absent), Version/DATABASE $(ini Version DATABASE); main program: $(tr '\n' ' ' <<<"$marker3")"
if [ ${#failures[@]} -eq 0 ]; then
    echo "RESULT: OK"
    exit 0
fi
echo "RESULT: FAILED"
printf '  - %s\n' "${failures[@]}"
exit 1
