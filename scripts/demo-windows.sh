#!/usr/bin/env bash
# The demo's Windows part (scripts/demo.sh --windows): the Windows build of the updater
# (scripts/build-windows.sh), built to trust a fresh signing key, brings an old installation
# up to date under Wine, with code page 936, against the same signed release the Linux demo
# publishes (with a Windows stand-in for the main program), served by nginx on 127.0.0.1.
# The real Windows window is drawn on a virtual X display and photographed while a database
# package is being installed. Exit code 0 only if all of it held.
# DEMO_DPI sets the display scaling Wine reports (96: 100 %, 144: 150 %, 192: 200 %) and
# DEMO_SCREEN the virtual screen's size; such a run keeps its files in demo-run/windows-<dpi>dpi.
set -euo pipefail
umask 022
cd "$(dirname "$0")/.."
root=$PWD
# A build directory of its own, so that the CI's build-windows/ keeps its configuration.
windows=${WINDOWS_BUILD_DIR:-build-windows-signed}
# shellcheck source=scripts/demo-common.sh
source scripts/demo-common.sh

bash scripts/install-deps.sh
demo=$root/demo-run/windows${DEMO_DPI:+-${DEMO_DPI}dpi}
rm -rf "$demo"
mkdir -p "$demo"/{release,server,nginx}

make_key_pair "$demo/keys"
echo "== Building the Windows updater, trusting the new key, into $windows/dist"
WINDOWS_BUILD_DIR="$windows" BUILD_TESTING=ON TARGETS="UpdateTarvil orbelan-standin" \
    CMAKE_ARGS="-DUPDATER_TRUSTED_KEYS=$public_key" bash scripts/build-windows.sh >/dev/null
windows=$(cd "$windows" && pwd)

release=$demo/release
# An application directory as users have them: Chinese characters and a space in the path.
app="$demo/考试宝典 Orbelan"
mkdir -p "$app"
shot=$demo/screenshot-windows.png

# --- The signed release, with the Windows stand-in for the main program ------------------
stand_in() { cp "$windows/helpers/orbelan-standin.exe" "$1"; }
# Under Wine each installed file costs about ten times what it does natively: fewer page
# files give the installation the same few seconds.
pages_count=${DEMO_PAGES:-1000}
make_release "$release" stand_in $'\r\n'
publish_release "$release" "$demo/server" "$demo/keys/orbelan.key"

# --- nginx on a free port, slowed down so the window can be photographed ----------------
start_nginx "$demo/server" "$demo/nginx"

# --- The old installation: the Windows updater with its DLLs, program and database 1.000 --
cp -r "$windows/dist/." "$app/"
stand_in "$app/Orbelan.exe"
write_config "$app/Config.ini" "$url"

# --- A virtual display for Wine ----------------------------------------------------------
start_xvfb "$demo/xvfb.log"
[ -n "$display" ] || { echo "Xvfb did not come up"; exit 1; }
echo "== Display: $display"

# --- Wine: its own prefix, the form's font 微软雅黑 mapped to an installed CJK font --------
export WINEPREFIX=$demo/wineprefix DISPLAY=$display
unset QT_QPA_PLATFORM
bash scripts/wine-run.sh reg.exe add \
    'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
    /v '微软雅黑' /t REG_SZ /d 'WenQuanYi Micro Hei' /f >/dev/null
if [ -n "${DEMO_DPI:-}" ]; then
    bash scripts/wine-run.sh reg.exe add 'HKCU\Control Panel\Desktop' \
        /v LogPixels /t REG_DWORD /d "$DEMO_DPI" /f >/dev/null
fi

log=$app/updatetarvillogs.txt
log_encoding=GBK
shot_delay=1

echo "== Running UpdateTarvil.exe under Wine: program 1.001, database 1.001..1.003"
run_updater shoot 120 "$demo/wine-stderr.log" bash "$root/scripts/wine-run.sh" UpdateTarvil.exe
wait_for_file "$app/started.txt"

[ "$(ini Version PROGRAM)" = 1.001 ] || fail "Version/PROGRAM is not 1.001"
[ "$(ini Version DATABASE)" = 1.003 ] || fail "Version/DATABASE is not 1.003"
[ "$(ini ContactUs Contact1)" = "$contact" ] || fail "the contact line in Config.ini changed"
[ ! -e "$app/update" ] || fail "the download directory update/ is still there"
check_verified "$run_log"
cmp -s "$release/program-1.001/lib/core.bin" "$app/lib/core.bin" || fail "lib/core.bin not installed"
cmp -s "$release/database-1.002/data/questions.db" "$app/data/questions.db" \
    || fail "data/questions.db is not the one of 1.002"
cmp -s "$release/database-1.002/data/index.txt" "$app/data/index.txt" \
    || fail "data/index.txt is not the one of 1.002"
cmp -s "$release/database-1.003/data/answers.db" "$app/data/answers.db" \
    || fail "data/answers.db not installed"
diff -rq "$release/database-1.002/$pages_dir" "$app/$pages_dir" >/dev/null \
    || fail "the page files of 1.002 are not all installed"
starts=$(wc -l <"$app/started.txt" 2>/dev/null || echo 0)
[ "$starts" = 1 ] || fail "the main program was started $starts times"
# Tab-separated: argument count, first argument, working directory.
argc=$(cut -f1 "$app/started.txt" 2>/dev/null | head -1)
arg1=$(cut -f2 "$app/started.txt" 2>/dev/null | head -1)
cwd=$(cut -f3 "$app/started.txt" 2>/dev/null | head -1)
{ [ "$argc" = 1 ] && [ -z "$arg1" ]; } || fail "the main program did not get one empty argument"
case "$cwd" in *'考试宝典 Orbelan') ;; *) fail "the main program ran in '$cwd'" ;; esac
check_screenshot

echo
echo "================ Windows demo summary ================"
echo "UpdateTarvil.exe under Wine (code page 936) in: $app"
echo "Signing key: $demo/keys/orbelan.key (public $public_key); $windows/dist/UpdateTarvil.exe trusts it"
verified_summary
echo "Versions after: PROGRAM $(ini Version PROGRAM), DATABASE $(ini Version DATABASE) (${run_seconds} s)"
echo "Main program stand-in started: $(tr '\t' ' ' <"$app/started.txt" 2>/dev/null)"
echo "Screenshot of the Windows window while database 1.002 (with $pages_count page files) was being installed: $shot"
echo "  $(install_timing)"
echo "Updater log (GBK, shown as UTF-8):"
short_log <<<"$run_log" | indent
finish
