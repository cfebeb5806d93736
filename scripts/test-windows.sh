#!/usr/bin/env bash
# The Windows lane of the test command: cross-builds the updater and its unit tests for
# Windows (scripts/build-windows.sh), signed with a throwaway certificate, runs the unit tests
# under Wine with code page 936, then the Linux-side tests (label "wine") that check dist/
# (resources, manifest, DLLs, signatures) and run the Windows UpdateTarvil.exe end to end
# against nginx. Prints how long the lane took.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
windows=${WINDOWS_BUILD_DIR:-build-windows}

# The build is signed as a vendor's would be, with a self-signed code-signing certificate
# made for this run alone; its key lives in a temporary directory that goes with the run.
# tst_windowsbuild verifies every shipped binary against it (UPDATER_WINDOWS_SIGNING_CA).
signing=$(mktemp -d)
trap 'rm -rf "$signing"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$signing/key.pem" -out "$signing/cert.pem" \
    -days 7 -subj "/CN=UpdateTarvil CI throwaway" -addext "extendedKeyUsage=codeSigning" \
    -addext "keyUsage=digitalSignature" 2>/dev/null
WINDOWS_SIGN_PASSWORD=$(openssl rand -hex 16)
export WINDOWS_SIGN_PASSWORD WINDOWS_SIGN_CERT=$signing/signing.pfx
openssl pkcs12 -export -inkey "$signing/key.pem" -in "$signing/cert.pem" \
    -out "$WINDOWS_SIGN_CERT" -passout env:WINDOWS_SIGN_PASSWORD
unset WINDOWS_SIGN_TIMESTAMP_URL # no network here
export UPDATER_WINDOWS_SIGNING_CA=$signing/cert.pem

BUILD_TESTING=ON WINDOWS_BUILD_DIR="$windows" bash scripts/build-windows.sh >/dev/null
unset WINDOWS_SIGN_CERT WINDOWS_SIGN_PASSWORD
windows=$(cd "$windows" && pwd)

# One Wine prefix per build tree, made before tests start in parallel; waiting for the
# wineserver to exit lets the first start's set-up finish, so it does not slow the tests.
export WINEPREFIX="$windows/wineprefix"
bash scripts/wine-run.sh cmd.exe /c exit
/usr/lib/wine/wineserver -w
unset WINEPREFIX
# Widgets need a display under Wine, even when Qt draws offscreen. Each test's log is in
# testresults/ (Qt's log does not reach standard output under Wine): failures are shown.
rm -f "$windows"/testresults/*.txt
if ! (cd "$windows" && xvfb-run -a ctest --output-on-failure -j2 "$@"); then
    grep -a -B1 -A4 '^FAIL!' "$windows"/testresults/*.txt || true
    exit 1
fi

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DBUILD_TESTING=ON -DUPDATER_WINDOWS_BUILD="$windows" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j2
(cd "$build" && xvfb-run -a ctest -L wine --output-on-failure "$@")
echo "Windows lane: $(($(date +%s) - start)) s"
