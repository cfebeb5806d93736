#!/usr/bin/env bash
# The demo's Windows part (scripts/demo.sh --windows): the Windows build of the updater
# (scripts/build-windows.sh) brings an old installation up to date under Wine, with code page
# 936, against the same release the Linux demo publishes (with a Windows stand-in for the
# main program), served by nginx on 127.0.0.1. The real Windows window is drawn on a virtual
# X display and photographed while a database package downloads. Exit code 0 only if all of
# it held.
set -euo pipefail
umask 022
cd "$(dirname "$0")/.."
root=$PWD
windows=${WINDOWS_BUILD_DIR:-build-windows}

bash scripts/install-deps.sh
echo "== Building the Windows updater into $windows/dist"
BUILD_TESTING=ON WINDOWS_BUILD_DIR="$windows" bash scripts/build-windows.sh >/dev/null
windows=$(cd "$windows" && pwd)

demo=$root/demo-run/windows
rm -rf "$demo"
mkdir -p "$demo"/{release,server,nginx}
release=$demo/release
# An application directory as users have them: Chinese characters and a space in the path.
app="$demo/考试宝典 Orbelan"
mkdir -p "$app"
shot=$demo/screenshot-windows.png
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

# --- The release: program 1.001 and database packages 1.001..1.003 ----------------------
random_file() { mkdir -p "$(dirname "$1")"; head -c "$2" /dev/urandom >"$1"; }
p=$release/program-1.001
mkdir -p "$p"
cp "$windows/helpers/orbelan-standin.exe" "$p/Orbelan.exe"
printf 'Orbelan 1.001\r\n' >"$p/readme.txt"
random_file "$p/lib/core.bin" 1500000
random_file "$p/lib/ui.bin" 500000
d=$release/database-1.001
random_file "$d/data/questions.db" 1200000
printf 'questions 1-1200\r\n' >"$d/data/index.txt"
d=$release/database-1.002
random_file "$d/data/questions.db" 1300000
random_file "$d/data/images.pak" 400000
d=$release/database-1.003
random_file "$d/data/answers.db" 800000
printf 'Database 1.003: answers added.\r\n' >"$d/changelog.txt"

echo "== Publishing the release"
python3 tools/publish.py program --version 1.001 --from "$release/program-1.001" --to "$demo/server"
for v in 1.001 1.002 1.003; do
    python3 tools/publish.py database --version "$v" --from "$release/database-$v" --to "$demo/server"
done

# --- nginx on a free port, slowed down so the window can be photographed ----------------
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
ngx=$demo/nginx
mkdir -p "$ngx/tmp"
cat >"$ngx/nginx.conf" <<NGINX
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
NGINX
/usr/sbin/nginx -p "$ngx/" -c "$ngx/nginx.conf" -e "$ngx/error.log" &
nginx_pid=$!
url=http://127.0.0.1:$port
for _ in $(seq 50); do
    curl -sf "$url/client/verDll.php" >/dev/null 2>&1 && break
    sleep 0.1
done
curl -sf "$url/client/verDll.php" >/dev/null || { cat "$ngx/error.log"; echo "nginx did not come up"; exit 1; }
echo "== Serving $demo/server at $url"

# --- The old installation: the Windows updater with its DLLs, program and database 1.000 --
cp -r "$windows/dist/." "$app/"
cp "$windows/helpers/orbelan-standin.exe" "$app/Orbelan.exe"
contact="客服电话：400-800-1234  工作时间：周一至周五 9:00-18:00"
python3 - "$app/Config.ini" "$url" "$contact" <<'PYTHON'
import sys
path, url, contact = sys.argv[1:]
text = ("[Version]\nPROGRAM=1.000\nDATABASE=1.000\nIMAGES=1.000\n"
        "[ContactUs]\nContact1=%s\n"
        "[Server]\nApiUrl=%s\nPackageUrl=%s\nTimeoutMs=15000\n" % (contact, url, url))
with open(path, "w", encoding="gb2312", newline="\r\n") as f:
    f.write(text)
PYTHON
ini() { python3 -c '
import configparser, sys
c = configparser.ConfigParser(interpolation=None)
c.read(sys.argv[1], encoding="gb2312")
print(c.get(sys.argv[2], sys.argv[3], fallback="(missing)"))' "$app/Config.ini" "$1" "$2"; }

# --- A virtual display for Wine ----------------------------------------------------------
for n in $(seq 90 119); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || break
done
Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >"$demo/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    sleep 0.1
done
display=:$n
echo "== Display: $display"

# --- Wine: its own prefix, the form's font 微软雅黑 mapped to an installed CJK font --------
export WINEPREFIX=$demo/wineprefix DISPLAY=$display
unset QT_QPA_PLATFORM
bash scripts/wine-run.sh reg.exe add \
    'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
    /v '微软雅黑' /t REG_SZ /d 'WenQuanYi Micro Hei' /f >/dev/null

log=$app/updatetarvillogs.txt

echo "== Running UpdateTarvil.exe under Wine: program 1.001, database 1.001..1.003"
start=$SECONDS
(cd "$app" && exec bash "$root/scripts/wine-run.sh" UpdateTarvil.exe 2>>"$demo/wine-stderr.log") &
updater_pid=$!
shot_taken=0
while kill -0 "$updater_pid" 2>/dev/null; do
    if [ $shot_taken = 0 ] && grep -aq "download - curType: 1" "$log" 2>/dev/null; then
        sleep 1
        import -display "$display" -window root "$shot" 2>"$demo/import.log" || true
        shot_taken=1
    fi
    if [ $((SECONDS - start)) -ge 120 ]; then
        kill "$updater_pid"
        fail "the updater was still running after 120 s"
    fi
    sleep 0.1
done
rc=0
wait "$updater_pid" || rc=$?
updater_pid=""
seconds=$((SECONDS - start))
[ $rc = 0 ] || fail "the updater exited with code $rc"
for _ in $(seq 50); do
    [ -s "$app/started.txt" ] && break
    sleep 0.1
done

[ "$(ini Version PROGRAM)" = 1.001 ] || fail "Version/PROGRAM is not 1.001"
[ "$(ini Version DATABASE)" = 1.003 ] || fail "Version/DATABASE is not 1.003"
[ "$(ini ContactUs Contact1)" = "$contact" ] || fail "the contact line in Config.ini changed"
[ ! -e "$app/update" ] || fail "the download directory update/ is still there"
cmp -s "$release/program-1.001/lib/core.bin" "$app/lib/core.bin" || fail "lib/core.bin not installed"
cmp -s "$release/database-1.002/data/questions.db" "$app/data/questions.db" \
    || fail "data/questions.db is not the one of 1.002"
cmp -s "$release/database-1.003/data/answers.db" "$app/data/answers.db" \
    || fail "data/answers.db not installed"
starts=$(wc -l <"$app/started.txt" 2>/dev/null || echo 0)
[ "$starts" = 1 ] || fail "the main program was started $starts times"
# Tab-separated: argument count, first argument, working directory.
argc=$(cut -f1 "$app/started.txt" 2>/dev/null | head -1)
arg1=$(cut -f2 "$app/started.txt" 2>/dev/null | head -1)
cwd=$(cut -f3 "$app/started.txt" 2>/dev/null | head -1)
{ [ "$argc" = 1 ] && [ -z "$arg1" ]; } || fail "the main program did not get one empty argument"
case "$cwd" in *'考试宝典 Orbelan') ;; *) fail "the main program ran in '$cwd'" ;; esac
if [ ! -s "$shot" ]; then
    fail "no screenshot was taken"
else
    spread=$(identify -format '%[fx:standard_deviation]' "$shot" 2>/dev/null || echo 0)
    python3 -c "import sys; sys.exit(float(sys.argv[1]) > 0.02)" "$spread" && fail "the screenshot is blank"
fi

echo
echo "================ Windows demo summary ================"
echo "UpdateTarvil.exe under Wine (code page 936) in: $app"
echo "Versions after: PROGRAM $(ini Version PROGRAM), DATABASE $(ini Version DATABASE) (${seconds} s)"
echo "Main program stand-in started: $(tr '\t' ' ' <"$app/started.txt" 2>/dev/null)"
echo "Screenshot of the Windows window during a database download: $shot"
echo "Updater log (GBK, shown as UTF-8):"
iconv -f GBK -t UTF-8 "$log" 2>/dev/null | sed 's/^/    /' || true
if [ ${#failures[@]} -eq 0 ]; then
    echo "RESULT: OK"
    exit 0
fi
echo "RESULT: FAILED"
printf '  - %s\n' "${failures[@]}"
exit 1
