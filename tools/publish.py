#!/usr/bin/env python3
"""Publishes a release for the updater on a static server tree.

    publish.py program  --version 1.003 --from DIR --to SERVERROOT
    publish.py database --version 1.004 --from DIR --to SERVERROOT

program:  SERVERROOT/client/program/orbelan.zip, then client/verProgram.php
database: SERVERROOT/client/dll/v<version>.zip, then client/verDll.php

The archive follows the updater's installation rule: top-level files first, then each
top-level directory's entry followed by its files. Everything that the updater would
install somewhere else than intended is refused before anything is written; the version
file is replaced last, so a client never sees a version whose package is missing.
"""
import argparse
import fcntl
import os
import re
import stat
import struct
import sys
import tempfile
import zipfile

PROGRAM, DATABASE = "program", "database"
VERSION_FILE = {PROGRAM: "verProgram.php", DATABASE: "verDll.php"}
VERSION_PATTERN = re.compile(r"[0-9]+\.[0-9]{3}")
# The updater refuses packages that declare more than this unpacked.
MAX_UNPACKED_BYTES = 8 * 1024 ** 3
# The updater's download directory in the installation; an entry of that name would be
# taken for it.
DOWNLOAD_DIR = "update"
PUBLISHED_MODE = 0o644


class Refusal(Exception):
    pass


def thousandths(version):
    whole, fraction = version.split(".")
    return int(whole) * 1000 + int(fraction)


def render(value):
    return "%d.%03d" % divmod(value, 1000)


# The updater's version arithmetic: 32-bit floats, rendered with three decimals, a plan of at
# most 100 steps of 0.001.
MAX_PLAN = 100


def single(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def client_plan(server, installed):
    target = single(float("%.3f" % single(float(server))))
    current = single(float(installed))
    plan = []
    for _ in range(MAX_PLAN):
        if single(float("%.3f" % current)) >= target:
            break
        current = single(current + 0.001)
        plan.append("%.3f" % current)
    return plan


def client_steps_reliably(kind, value):
    """Whether every client up to MAX_PLAN versions behind plans exactly the versions in
    between (database) or at least ends on this one (program). Near 128 and above the float
    steps drift and would name packages that do not exist."""
    for installed in range(max(0, value - MAX_PLAN), value):
        plan = client_plan(render(value), render(installed))
        expected = [render(v) for v in range(installed + 1, value + 1)]
        if (plan != expected) if kind == DATABASE else (plan[-1:] != expected[-1:]):
            return False
    return True


def canonical_version(kind, version):
    """The version as the updater renders it (leading zeros dropped), or a refusal."""
    if not VERSION_PATTERN.fullmatch(version):
        raise Refusal("version %r is not a number with exactly three decimals, such as 1.003"
                      % version)
    if not client_steps_reliably(kind, thousandths(version)):
        raise Refusal("version %s is too large for the updater, whose single-precision "
                      "version arithmetic would plan wrong versions" % version)
    return render(thousandths(version))


def published_version(path):
    """The version in a version file, or None when none has been published."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read().strip()
    except FileNotFoundError:
        return None
    except (OSError, UnicodeDecodeError) as e:
        raise Refusal("cannot read the published version in %s: %s" % (path, e))
    if not VERSION_PATTERN.fullmatch(text):
        raise Refusal("%s holds %r, not a version; fix it by hand before publishing"
                      % (path, text[:40]))
    return text


def check_succession(kind, version, previous):
    if previous is None:
        return
    new, old = thousandths(version), thousandths(previous)
    if new <= old:
        raise Refusal("version %s is not newer than the published %s %s"
                      % (version, kind, previous))
    # Clients step through every database version one by one, so none may be missing.
    if kind == DATABASE and new != old + 1:
        raise Refusal("database version %s leaves a gap after the published %s; the next "
                      "one is %s" % (version, previous, render(old + 1)))


def check_name(relative):
    """Refuses a path that the updater would not install where it lies in the source."""
    parts = relative.split("/")
    if any("config.ini" in part.lower() for part in parts):
        raise Refusal("%s: the updater never installs Config.ini, which holds the user's "
                      "settings; remove it from the package" % relative)
    for part in parts:
        if part == DOWNLOAD_DIR:
            raise Refusal("%s: \"%s\" is the updater's download directory; rename it"
                          % (relative, DOWNLOAD_DIR))
        if "\\" in part or any(ord(c) < 0x20 for c in part):
            raise Refusal("%r: a backslash or control character in a name" % relative)
        try:
            part.encode("utf-8")
        except UnicodeEncodeError:
            raise Refusal("%r: a name that is not valid UTF-8" % relative)


def kind_of(path, relative):
    mode = os.lstat(path).st_mode
    if stat.S_ISLNK(mode):
        raise Refusal("%s: symbolic link; the updater does not install links, copy the "
                      "target instead" % relative)
    if stat.S_ISDIR(mode):
        return "dir"
    if stat.S_ISREG(mode):
        return "file"
    raise Refusal("%s: neither a regular file nor a directory" % relative)


def collect(source):
    """Archive entries (name, path) in the order the updater needs: top-level files, then
    each top-level directory followed by its files."""
    if not os.path.isdir(source):
        raise Refusal("%s is not a directory" % source)
    top_files, directories = [], []
    for name in sorted(os.listdir(source)):
        path = os.path.join(source, name)
        check_name(name)
        (directories if kind_of(path, name) == "dir" else top_files).append((name, path))
    entries = list(top_files)
    for name, path in directories:
        entries.append((name + "/", path))
        for inner in sorted(os.listdir(path)):
            relative = name + "/" + inner
            inner_path = os.path.join(path, inner)
            check_name(relative)
            if kind_of(inner_path, relative) == "dir":
                raise Refusal("%s/: nested directory; the updater installs one directory level "
                              "only and would put its files into %s/" % (relative, inner))
            entries.append((relative, inner_path))
    if not entries:
        raise Refusal("%s is empty; the updater rejects an empty package" % source)
    # The updater takes any entry named like a directory of the package for that directory.
    directory_names = {name for name, _ in directories}
    for name, _ in entries:
        if not name.endswith("/") and "/" in name and name.split("/")[-1] in directory_names:
            raise Refusal("%s: has the name of the directory %s/, which the updater would "
                          "take it for" % (name, name.split("/")[-1]))
    total = sum(os.path.getsize(path) for name, path in entries if not name.endswith("/"))
    if total > MAX_UNPACKED_BYTES:
        raise Refusal("the package unpacks to %d bytes; the updater refuses more than %d"
                      % (total, MAX_UNPACKED_BYTES))
    return entries


def write_archive(entries, archive):
    with zipfile.ZipFile(archive, "w") as zf:
        for name, path in entries:
            # Carries the Unix mode in external_attr, so executables stay executable.
            info = zipfile.ZipInfo.from_file(path, name, strict_timestamps=False)
            info.compress_type = zipfile.ZIP_DEFLATED
            if info.is_dir():
                zf.writestr(info, b"")
                continue
            with open(path, "rb") as src, zf.open(
                    info, "w", force_zip64=info.file_size > zipfile.ZIP64_LIMIT) as dst:
                while True:
                    chunk = src.read(1024 * 1024)
                    if not chunk:
                        break
                    dst.write(chunk)


def replace_atomically(target, write):
    """Writes through `write(file object)` into a temporary file beside `target` and renames
    it over `target`; a reader sees the old file or the complete new one."""
    directory = os.path.dirname(target)
    fd, temporary = tempfile.mkstemp(prefix=".publish-", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        # The web server's workers run as another user.
        os.chmod(temporary, PUBLISHED_MODE)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def publish(kind, version, source, server_root):
    # The package name must be the one the updater asks for: v1.003.zip, not v01.003.zip.
    version = canonical_version(kind, version)
    client = os.path.join(server_root, "client")
    version_file = os.path.join(client, VERSION_FILE[kind])
    if kind == PROGRAM:
        package = os.path.join(client, "program", "orbelan.zip")
    else:
        package = os.path.join(client, "dll", "v%s.zip" % version)

    previous = published_version(version_file)
    check_succession(kind, version, previous)
    if kind == DATABASE and os.path.lexists(package):
        raise Refusal("%s already exists; a published package is never replaced" % package)
    entries = collect(source)

    os.makedirs(os.path.dirname(package), exist_ok=True)
    replace_atomically(package, lambda f: write_archive(entries, f))
    replace_atomically(version_file, lambda f: f.write(version.encode("ascii")))
    return version, package, len(entries)


class Parser(argparse.ArgumentParser):
    def error(self, message):
        sys.stderr.write("publish.py: error: %s (see --help)\n" % message)
        sys.exit(2)


def main(argv=None):
    parser = Parser(description="Publish a program or database package for the updater.")
    parser.add_argument("kind", choices=[PROGRAM, DATABASE])
    parser.add_argument("--version", required=True, help="new version, such as 1.003")
    parser.add_argument("--from", dest="source", required=True,
                        help="directory whose contents the package installs")
    parser.add_argument("--to", dest="server_root", required=True,
                        help="root of the served tree (it receives client/...)")
    args = parser.parse_args(argv)
    try:
        # Not created here: a mistyped path would publish where no server looks.
        if not os.path.isdir(args.server_root):
            raise Refusal("%s is not a directory; create the server root first"
                          % args.server_root)
        # One publisher at a time, so two runs cannot both pass the version checks.
        lock = os.open(args.server_root, os.O_RDONLY)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX)
            version, package, count = publish(
                args.kind, args.version, args.source, args.server_root)
        finally:
            os.close(lock)
    except (Refusal, OSError) as e:
        # One line whatever the file names hold.
        message = "".join(c if c.isprintable() else repr(c)[1:-1] for c in str(e))
        sys.stderr.write("publish.py: error: %s\n" % message)
        return 1
    print("published %s %s: %s (%d entries)" % (args.kind, version, package, count))
    return 0


if __name__ == "__main__":
    sys.exit(main())
