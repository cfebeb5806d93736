# shellcheck shell=bash
# What the Linux demo (scripts/demo.sh) and its Windows part (scripts/demo-windows.sh) share:
# the signing key, the release and its signed publication, nginx, Config.ini, a virtual
# display, running the updater while photographing its window, and the summary's verdict.
# Sourced, not run; the caller sets `set -euo pipefail`, works from the clone's root and sets
# demo (the run's directory), app (the installation), log and shot before running the updater.
# Results come back in variables (public_key, url, display, run_log, run_seconds, verified).
# shellcheck disable=SC2034,SC2154

failures=()
fail() { failures+=("$1"); echo "FAILED: $1"; }

nginx_pid="" xvfb_pid="" updater_pid=""
demo_cleanup() {
    for pid in $updater_pid $nginx_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap demo_cleanup EXIT

indent() { sed 's/^/    /'; }
random_file() { mkdir -p "$(dirname "$1")"; head -c "$2" /dev/urandom >"$1"; }

# make_key_pair DIR: a fresh key pair in DIR; sets public_key to its public key line.
make_key_pair() {
    echo "== Making a signing key pair in $1"
    python3 tools/publish.py keygen --out "$1" --no-password | indent
    public_key=$(sed -n 2p "$1/orbelan.pub")
}

# The database package 1.002 carries many page files: enough that installing it takes a
# second or two, so the window can be photographed while the bar shows the installation.
pages_dir=pages
pages_count=${DEMO_PAGES:-6000}
pages_kib=${DEMO_PAGE_KIB:-48}

# make_pages DIR COUNT EOL: COUNT text files of $pages_kib KiB in DIR (deflate shrinks each
# to well under a KiB, so they cost the download little and the installation a lot).
make_pages() {
    python3 - "$1" "$2" "$3" "$pages_kib" <<'PY'
import os, sys
directory, count, eol, size = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]) * 1024
os.makedirs(directory, exist_ok=True)
for n in range(count):
    line = "page %05d: questions and answers of chapter %d%s" % (n, n // 100, eol)
    text = (line * (size // len(line) + 1))[:size]
    with open(os.path.join(directory, "page-%05d.txt" % n), "w", newline="") as f:
        f.write(text)
PY
}

# make_release DIR STAND_IN EOL: program 1.001 (STAND_IN is a command that writes the main
# program's stand-in to the path it is given) and database packages 1.001..1.003, with text
# files ending their lines in EOL.
make_release() {
    local release=$1 stand_in=$2 eol=$3 p d
    p=$release/program-1.001
    mkdir -p "$p"
    $stand_in "$p/Orbelan.exe" 1.001
    printf "%s" "Orbelan 1.001$eol" >"$p/readme.txt"
    random_file "$p/lib/core.bin" 1500000
    random_file "$p/lib/ui.bin" 500000
    d=$release/database-1.001
    random_file "$d/data/questions.db" 1200000
    printf "%s" "questions 1-1200$eol" >"$d/data/index.txt"
    d=$release/database-1.002
    random_file "$d/data/questions.db" 1300000
    random_file "$d/data/images.pak" 400000
    printf "%s" "questions 1-1300$eol" >"$d/data/index.txt"
    make_pages "$d/$pages_dir" "$pages_count" "$eol"
    d=$release/database-1.003
    random_file "$d/data/answers.db" 800000
    printf "%s" "Database 1.003: answers added.$eol" >"$d/changelog.txt"
}

# publish_release RELEASE SERVER KEY: the release, each package signed with KEY.
publish_release() {
    local release=$1 server=$2 key=$3 v
    echo "== Publishing the release, signed"
    python3 tools/publish.py program --version 1.001 --from "$release/program-1.001" --to "$server" --sign "$key"
    for v in 1.001 1.002 1.003; do
        python3 tools/publish.py database --version "$v" --from "$release/database-$v" --to "$server" --sign "$key"
    done
}

# start_nginx ROOT DIR: serves ROOT on a free port of 127.0.0.1 at 1 MB/s per download (so
# the window can be watched), its configuration and logs in DIR; sets url.
start_nginx() {
    local root=$1 ngx=$2 port
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
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
        root $root;
        limit_rate 1m;
    }
}
EOF
    /usr/sbin/nginx -p "$ngx/" -c "$ngx/nginx.conf" -e "$ngx/error.log" &
    nginx_pid=$!
    url=http://127.0.0.1:$port
    for _ in $(seq 50); do
        curl -sf "$url/client/verDll.php" >/dev/null 2>&1 && break
        sleep 0.1
    done
    curl -sf "$url/client/verDll.php" >/dev/null || { cat "$ngx/error.log"; echo "nginx did not come up"; exit 1; }
    echo "== Serving $root at $url"
}

contact="客服电话：400-800-1234  工作时间：周一至周五 9:00-18:00"
# write_config PATH URL: an old installation's GB2312 Config.ini pointing at URL.
write_config() {
    python3 - "$1" "$2" "$contact" <<'EOF'
import sys
path, url, contact = sys.argv[1:]
text = ("[Version]\nPROGRAM=1.000\nDATABASE=1.000\nIMAGES=1.000\n"
        "[ContactUs]\nContact1=%s\n"
        "[Server]\nApiUrl=%s\nPackageUrl=%s\nTimeoutMs=15000\n" % (contact, url, url))
with open(path, "w", encoding="gb2312", newline="\r\n") as f:
    f.write(text)
EOF
}

# ini SECTION KEY: a value of $app/Config.ini.
ini() {
    python3 -c '
import configparser, sys
c = configparser.ConfigParser(interpolation=None)
c.read(sys.argv[1], encoding="gb2312")
print(c.get(sys.argv[2], sys.argv[3], fallback="(missing)"))' "$app/Config.ini" "$1" "$2"
}

# start_xvfb LOG: a virtual X server on a free display (DEMO_SCREEN pixels, 1280x800 unless
# set); sets display, empty if none came up.
start_xvfb() {
    local n
    for n in $(seq 90 119); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || break
    done
    Xvfb ":$n" -screen 0 "${DEMO_SCREEN:-1280x800}x24" -nolisten tcp >"$1" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 50); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        sleep 0.1
    done
    display=""
    if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$xvfb_pid" 2>/dev/null; then
        display=:$n
    else
        kill "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=""
    fi
}

# The log is written in the system's code page: log_encoding=GBK under Wine's code page 936.
decode_log() { if [ "${log_encoding:-UTF-8}" = UTF-8 ]; then cat; else iconv -f "$log_encoding" -t UTF-8; fi; }
log_lines() { [ -f "$log" ] && wc -l <"$log" || echo 0; }

# The log line right before the installation of database 1.002 starts, and the first line
# after it has ended (the next package's download).
install_started='"1.002 signature verified"'
install_ended='download - curType: 1 .*v1.003.zip'

# watch_installation FIRST: called while the updater runs. Once the log (from line FIRST)
# shows that database 1.002 is being installed, dumps the screen after $shot_delay (xwd: a
# raw dump, done in a fraction of the time a PNG takes) and sets shot_while_installing to 1
# if the log did not show the installation's end even after the dump was done. Notes when
# the installation began, was photographed and ended (install_began, shot_at, install_ended_at;
# polled, so to about 0.1 s).
watch_installation() {
    local lines
    lines=$(tail -n +"$1" "$log" 2>/dev/null | grep -a -e "$install_started" -e "$install_ended" || true)
    if [ -z "$install_began" ] && grep -aq "$install_started" <<<"$lines"; then
        install_began=${EPOCHREALTIME/,/.}
        sleep "${shot_delay:-0.25}"
        xwd -display "$display" -root -silent >"$demo/screen.xwd" 2>"$demo/xwd.log" || true
        shot_at=${EPOCHREALTIME/,/.}
        tail -n +"$1" "$log" 2>/dev/null | grep -aq "$install_ended" || shot_while_installing=1
    elif [ -n "$install_began" ] && [ -z "$install_ended_at" ] && grep -aq "$install_ended" <<<"$lines"; then
        install_ended_at=${EPOCHREALTIME/,/.}
    fi
}

# run_updater SHOOT LIMIT STDERR COMMAND...: runs COMMAND in $app to its end (at most LIMIT
# seconds), its standard error appended to STDERR. With SHOOT=shoot and a display, the
# screen is photographed into $shot while database 1.002 is being installed
# (watch_installation). Sets run_log to the run's log lines and run_seconds.
run_updater() {
    local shoot=$1 limit=$2 stderr=$3 first start=$SECONDS rc=0
    shift 3
    first=$(($(log_lines) + 1))
    shot_while_installing=0 install_began="" shot_at="" install_ended_at=""
    (cd "$app" && exec "$@" 2>>"$stderr") &
    updater_pid=$!
    while kill -0 "$updater_pid" 2>/dev/null; do
        if [ "$shoot" = shoot ] && [ -n "$display" ] && [ -z "$install_ended_at" ]; then
            watch_installation "$first"
        fi
        if [ $((SECONDS - start)) -ge "$limit" ]; then
            kill "$updater_pid"
            fail "the updater was still running after $limit s"
        fi
        sleep 0.1
    done
    wait "$updater_pid" || rc=$?
    updater_pid=""
    run_seconds=$((SECONDS - start))
    [ $rc = 0 ] || fail "the updater exited with code $rc (its stderr: $stderr)"
    run_log=$(tail -n +"$first" "$log" 2>/dev/null | decode_log || true)
    if [ -s "$demo/screen.xwd" ]; then
        convert "xwd:$demo/screen.xwd" "$shot" 2>>"$demo/xwd.log" || true
        rm -f "$demo/screen.xwd"
    fi
}

# install_timing: when the screenshot was taken into the installation of database 1.002, and
# how long that installation took, as the log's polling saw them.
install_timing() {
    [ -n "$install_began" ] || { echo "(the installation was not seen)"; return; }
    awk -v a="$install_began" -v s="${shot_at:-$install_began}" -v e="${install_ended_at:-}" 'BEGIN {
        printf "taken %.1f s into the installation", s - a
        if (e != "") printf ", which took about %.1f s", e - a
    }'
}

# wait_for_file PATH: the main program is started detached; gives it a moment to write.
wait_for_file() {
    for _ in $(seq 50); do
        [ -s "$1" ] && break
        sleep 0.1
    done
}

# check_verified LOG: every package of the release had its signature fetched and verified;
# sets verified to the verified versions, one a line.
check_verified() {
    local v name
    for v in program 1.001 1.002 1.003; do
        name=$([ $v = program ] && echo orbelan.zip || echo "v$v.zip")
        grep -q "download - curType: .*$name" <<<"$1" || fail "no download of $name in the log"
        grep -q "signature - curType: .*$name.minisig" <<<"$1" || fail "no signature of $name fetched"
    done
    verified=$(grep -o '"[0-9.]* signature verified"' <<<"$1" | cut -d' ' -f1 | tr -d '"' || true)
    [ "$(wc -l <<<"$verified")" = 4 ] || fail "not every package was verified before it was installed"
    if grep -q "signature refused\|not verified" <<<"$1"; then fail "a package was not verified"; fi
}

# verified_summary: the line of the summary naming the verified packages.
verified_summary() {
    echo "Signatures verified before installation (key, file name, version): program $(head -1 <<<"$verified"), database $(tail -n +2 <<<"$verified" | paste -sd' ')"
}

# check_screenshot: the screenshot exists and, taken from a display, is not blank and was
# taken while database 1.002 was being installed.
check_screenshot() {
    if [ ! -s "$shot" ]; then
        fail "no screenshot was taken"
    elif [ -n "$display" ]; then
        local spread
        spread=$(identify -format '%[fx:standard_deviation]' "$shot" 2>/dev/null || echo 0)
        if python3 -c "import sys; sys.exit(float(sys.argv[1]) > 0.02)" "$spread"; then
            fail "the screenshot is blank"
        fi
        [ "$shot_while_installing" = 1 ] \
            || fail "the screenshot was not taken while database 1.002 was being installed"
    fi
}

# short_log: the log on stdin with each run of lines about the page files cut to its first
# line and a count, so that the summary stays readable.
short_log() {
    awk -v dir="$pages_dir/" '
        index($0, dir) { if (run++ == 0) print; next }
        run > 1 { printf "... %d more lines about %s\n", run - 1, dir }
        { run = 0; print }
        END { if (run > 1) printf "... %d more lines about %s\n", run - 1, dir }'
}

# finish: RESULT line and exit code.
finish() {
    if [ ${#failures[@]} -eq 0 ]; then
        echo "RESULT: OK"
        exit 0
    fi
    echo "RESULT: FAILED"
    printf '  - %s\n' "${failures[@]}"
    exit 1
}
