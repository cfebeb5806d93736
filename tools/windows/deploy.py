#!/usr/bin/env python3
"""Makes a runnable Windows folder: copies a program, the Qt plugins it loads and the OpenSSL
DLLs that Qt loads at run time, then every DLL that any of them imports, found by walking
the import tables (x86_64-w64-mingw32-objdump -p) until nothing new turns up.

    deploy.py --prefix <windows prefix> --dest <dir> <program.exe>...

A DLL found in none of the search directories (the prefix, the MinGW runtime) must be one of
Windows' own (Wine ships a copy of each); anything else is reported as missing and the exit
status is 1.
"""
import argparse
import re
import shutil
import subprocess
import sys
from pathlib import Path

OBJDUMP = "x86_64-w64-mingw32-objdump"
GCC_RUNTIME = [Path("/usr/lib/gcc/x86_64-w64-mingw32/12-posix"), Path("/usr/x86_64-w64-mingw32/lib")]
WINDOWS_DLLS = Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")
# Loaded by name at run time, so no import table names them.
PLUGINS = ["platforms/qwindows.dll", "platforms/qoffscreen.dll", "imageformats/qjpeg.dll",
           "imageformats/qico.dll"]
RUNTIME_LOADED = ["libssl-3-x64.dll", "libcrypto-3-x64.dll"]


def imports(binary):
    out = subprocess.run([OBJDUMP, "-p", str(binary)], check=True, capture_output=True, text=True)
    return re.findall(r"^\s*DLL Name: (\S+)", out.stdout, re.MULTILINE)


def find(name, search):
    for directory in search:
        for candidate in directory.iterdir():
            if candidate.name.lower() == name.lower():
                return candidate
    return None


def is_windows_dll(name):
    return (WINDOWS_DLLS / name.lower()).exists() or name.lower().startswith("api-ms-win-")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True, type=Path)
    parser.add_argument("--dest", required=True, type=Path)
    parser.add_argument("programs", nargs="+", type=Path)
    args = parser.parse_args()
    args.dest = args.dest.resolve()
    search = [args.prefix / "bin"] + GCC_RUNTIME
    args.dest.mkdir(parents=True, exist_ok=True)

    pending = []
    for program in args.programs:
        shutil.copy2(program, args.dest / program.name)
        pending.append(args.dest / program.name)
    for plugin in PLUGINS:
        target = args.dest / plugin
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(args.prefix / "plugins" / plugin, target)
        pending.append(target)
    for name in RUNTIME_LOADED:
        pending.append(Path(name))

    copied, missing = set(), set()
    while pending:
        binary = pending.pop()
        if not binary.is_absolute():  # a DLL named, not yet copied
            names = [binary.name]
        else:
            names = imports(binary)
        for name in names:
            if name.lower() in copied:
                continue
            # Searched first: Wine also ships DLLs that Windows lacks, such as zlib1.dll.
            source = find(name, search)
            if source is None:
                if not is_windows_dll(name):
                    missing.add(name)
                continue
            shutil.copy2(source, args.dest / source.name)
            copied.add(name.lower())
            pending.append(args.dest / source.name)
    for name in sorted(missing):
        print(f"deploy: {name} not found", file=sys.stderr)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
