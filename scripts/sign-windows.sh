#!/usr/bin/env bash
# Signs every program and DLL under a directory in place with Authenticode (osslsigncode):
#     WINDOWS_SIGN_CERT=vendor.pfx WINDOWS_SIGN_PASSWORD=... bash scripts/sign-windows.sh DIR
# WINDOWS_SIGN_CERT is a PKCS#12 file with the signing key and its certificate chain,
# WINDOWS_SIGN_PASSWORD its password (none when unset), WINDOWS_SIGN_TIMESTAMP_URL an optional
# RFC 3161 timestamp server. scripts/build-windows.sh runs it on dist/ when WINDOWS_SIGN_CERT
# is set. The first failure stops it with the file's name; a file is only ever replaced by
# its complete signed copy.
set -euo pipefail
dir=${1:?usage: sign-windows.sh DIR}

fail() {
    echo "sign-windows: $*" >&2
    exit 1
}

[ -n "${WINDOWS_SIGN_CERT:-}" ] || fail "WINDOWS_SIGN_CERT names no PKCS#12 certificate file"
[ -f "$WINDOWS_SIGN_CERT" ] || fail "certificate file $WINDOWS_SIGN_CERT not found"
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed"

args=(sign -pkcs12 "$WINDOWS_SIGN_CERT" -h sha256 -n UpdateTarvil)
# The password reaches osslsigncode on its standard input, never on a command line that
# other users can read.
if [ -n "${WINDOWS_SIGN_PASSWORD:-}" ]; then
    args+=(-readpass -)
fi
if [ -n "${WINDOWS_SIGN_TIMESTAMP_URL:-}" ]; then
    args+=(-ts "$WINDOWS_SIGN_TIMESTAMP_URL")
fi

count=0
while IFS= read -r -d '' file; do
    # osslsigncode writes a new file: the signed copy replaces the original by a rename in
    # the same directory, so an interrupted run never leaves a half-written DLL behind.
    signed="$file.signing"
    if ! output=$(printf '%s' "${WINDOWS_SIGN_PASSWORD:-}" |
        osslsigncode "${args[@]}" -in "$file" -out "$signed" 2>&1); then
        rm -f "$signed"
        echo "$output" >&2
        fail "signing $file failed"
    fi
    chmod --reference="$file" "$signed"
    mv -f "$signed" "$file"
    count=$((count + 1))
done < <(find "$dir" -type f \( -iname '*.exe' -o -iname '*.dll' \) -print0 | sort -z)
[ "$count" -gt 0 ] || fail "no .exe or .dll found in $dir"
echo "sign-windows: signed $count files in $dir${WINDOWS_SIGN_TIMESTAMP_URL:+, timestamped by $WINDOWS_SIGN_TIMESTAMP_URL}" >&2
