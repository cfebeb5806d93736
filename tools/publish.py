#!/usr/bin/env python3
"""Publishes a release for the updater on a static server tree.

    publish.py program  --version 1.003 --from DIR --to SERVERROOT [--sign SECRETKEY]
    publish.py database --version 1.004 --from DIR --to SERVERROOT [--sign SECRETKEY]
    publish.py keygen --out DIR [--no-password]

program:  SERVERROOT/client/program/orbelan.zip and its index orbelan.zip.index, then
          client/verProgram.php
database: SERVERROOT/client/dll/v<version>.zip, then client/verDll.php
--sign:   each package (and the program package's index) gets its minisign signature
          beside it (<file>.minisig), made by
          the minisign tool with the trusted comment "file:<name> version:<x.yyy>
          timestamp:<n>" that updaters built with the matching public key require.
keygen:   a minisign key pair DIR/orbelan.key (secret) and DIR/orbelan.pub (public).

The archive follows the updater's installation rule: top-level files first, then each
top-level directory's entry followed by its files. Everything that the updater would
install somewhere else than intended is refused before anything is written; the version
file is replaced last, so a client never sees a version whose package is missing.
"""
import argparse
import base64
import fcntl
import hashlib
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time
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
# The program package's index: where each file's record lies in the archive and the
# BLAKE2b-256 of its contents, so updaters can fetch only the files that changed.
INDEX_SUFFIX = ".index"
INDEX_HEADER = "orbelan-index 1"
INDEX_DIGEST_BYTES = 32
LOCAL_HEADER = struct.Struct("<4sHHHHHIIIHH")
LOCAL_HEADER_SIGNATURE = b"PK\x03\x04"
DESCRIPTOR_SIGNATURE = b"PK\x07\x08"
DESCRIPTOR_FLAG = 0x08


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


def blake2b_hex(chunks):
    digest = hashlib.blake2b(digest_size=INDEX_DIGEST_BYTES)
    for chunk in chunks:
        digest.update(chunk)
    return digest.hexdigest()


def file_chunks(f, start=0, length=None):
    f.seek(start)
    left = length
    while left is None or left > 0:
        chunk = f.read(1024 * 1024 if left is None else min(left, 1024 * 1024))
        if not chunk:
            return
        if left is not None:
            left -= len(chunk)
        yield chunk


def record_length(f, info):
    """Bytes of the entry's local record: header, name, extra field (the local one, whose
    length may differ from the central directory's), data and data descriptor."""
    f.seek(info.header_offset)
    fields = LOCAL_HEADER.unpack(f.read(LOCAL_HEADER.size))
    if fields[0] != LOCAL_HEADER_SIGNATURE:
        raise Refusal("%s: no local header where the archive's directory points" % info.filename)
    name_length, extra_length = fields[9], fields[10]
    length = LOCAL_HEADER.size + name_length + extra_length + info.compress_size
    if info.flag_bits & DESCRIPTOR_FLAG:
        f.seek(info.header_offset + length)
        zip64 = info.compress_size >= zipfile.ZIP64_LIMIT or info.file_size >= zipfile.ZIP64_LIMIT
        signed = f.read(4) == DESCRIPTOR_SIGNATURE
        length += (4 if signed else 0) + (20 if zip64 else 12)
    return length


def index_lines(archive_file, version):
    """The index of the written archive, read back with zipfile: what a client fetches is
    what lies on the server, not what was meant to be written."""
    with open(archive_file, "rb") as f, zipfile.ZipFile(f) as zf:
        infos = zf.infolist()
        total = os.fstat(f.fileno()).st_size
        directory = zf.start_dir
        lines = [INDEX_HEADER, "version %s" % version,
                 "archive %d %s" % (total, blake2b_hex(file_chunks(f))),
                 "directory %d" % directory]
        for info in infos:
            if info.is_dir():
                continue
            length = record_length(f, info)
            if info.header_offset + length > directory:
                raise Refusal("%s: its record runs into the archive's directory" % info.filename)
            with zf.open(info) as entry:
                digest = blake2b_hex(iter(lambda: entry.read(1024 * 1024), b""))
            lines.append("file %d %s %d %d %s" % (info.file_size, digest, info.header_offset,
                                                  length, info.filename))
    return lines


def write_index(archive_file, version, out):
    out.write(("\n".join(index_lines(archive_file, version)) + "\n").encode("utf-8"))


def remove_quietly(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def write_temporary(target, write):
    """Writes through `write(file object)` into a new temporary file beside `target`, to be
    renamed over it; returns its path."""
    fd, temporary = tempfile.mkstemp(prefix=".publish-", dir=os.path.dirname(target))
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        # The web server's workers run as another user.
        os.chmod(temporary, PUBLISHED_MODE)
    except BaseException:
        remove_quietly(temporary)
        raise
    return temporary


def replace_atomically(target, write):
    """A reader sees the old file or the complete new one."""
    temporary = write_temporary(target, write)
    try:
        os.replace(temporary, target)
    except BaseException:
        remove_quietly(temporary)
        raise


def minisign_tool():
    tool = shutil.which("minisign")
    if tool is None:
        raise Refusal("minisign is not installed (Debian package minisign); it signs packages")
    return tool


def key_is_encrypted(secret_key):
    """Whether minisign will ask for the key's password: its key derivation is not "none"."""
    try:
        with open(secret_key, "rb") as f:
            lines = f.read().splitlines()
        return base64.b64decode(lines[1], validate=True)[2:4] != b"\0\0"
    except (OSError, IndexError, ValueError) as e:
        raise Refusal("%s is not a minisign secret key: %s" % (secret_key, e))


def sign_staged(package_file, published_name, version, secret_key):
    """Signs the staged package for its published name and version; returns the staged
    signature's path."""
    signature = package_file + ".minisig"
    comment = "file:%s version:%s timestamp:%d" % (published_name, version, int(time.time()))
    command = [minisign_tool(), "-S", "-s", secret_key, "-m", package_file, "-x", signature,
               "-t", comment]
    if not key_is_encrypted(secret_key):
        command.append("-W")
    # A password prompt, if any, reaches the user through the inherited terminal.
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        remove_quietly(signature)
        output = result.stdout.decode("utf-8", "replace").strip().splitlines()
        raise Refusal("minisign could not sign the package: %s"
                      % (output[-1] if output else "exit code %d" % result.returncode))
    os.chmod(signature, PUBLISHED_MODE)
    return signature


def place_package(package, entries, version, secret_key, indexed=False):
    """Writes the package, with `indexed` its index, and with a key their signatures; all
    are complete and signed before any replaces what is published."""
    archive = write_temporary(package, lambda f: write_archive(entries, f))
    staged = [(archive, package)]
    try:
        if indexed:
            index = package + INDEX_SUFFIX
            staged.append((write_temporary(index, lambda f: write_index(archive, version, f)),
                           index))
        for path, target in list(staged):
            if secret_key:
                staged.append((sign_staged(path, os.path.basename(target), version,
                                           secret_key), target + ".minisig"))
        for path, target in staged:
            os.replace(path, target)
    finally:
        for path, _ in staged:
            remove_quietly(path)


def publish(kind, version, source, server_root, secret_key=None):
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

    if secret_key:
        # Checked before anything is written; signing itself comes after the archive.
        minisign_tool()
        if not os.path.isfile(secret_key):
            raise Refusal("%s: no such secret key file" % secret_key)
        key_is_encrypted(secret_key)

    os.makedirs(os.path.dirname(package), exist_ok=True)
    place_package(package, entries, version, secret_key, indexed=kind == PROGRAM)
    replace_atomically(version_file, lambda f: f.write(version.encode("ascii")))
    return version, package, len(entries)


class Parser(argparse.ArgumentParser):
    def error(self, message):
        sys.stderr.write("publish.py: error: %s (see --help)\n" % message)
        sys.exit(2)


def keygen(argv):
    parser = Parser(prog="publish.py keygen",
                    description="Make a minisign key pair for signing packages.")
    parser.add_argument("--out", required=True, help="directory for orbelan.key and orbelan.pub")
    parser.add_argument("--no-password", action="store_true",
                        help="leave the secret key unencrypted (for automated publishing)")
    args = parser.parse_args(argv)
    secret = os.path.join(args.out, "orbelan.key")
    public = os.path.join(args.out, "orbelan.pub")
    try:
        if os.path.lexists(secret) or os.path.lexists(public):
            raise Refusal("%s already holds a key pair; never overwrite a signing key" % args.out)
        os.makedirs(args.out, exist_ok=True)
        command = [minisign_tool(), "-G", "-s", secret, "-p", public]
        if args.no_password:
            command.append("-W")
        if subprocess.run(command, stdout=subprocess.DEVNULL).returncode != 0:
            raise Refusal("minisign could not make the key pair")
        os.chmod(secret, 0o600)
        with open(public, encoding="ascii") as f:
            key_line = f.read().splitlines()[1]
    except (Refusal, OSError, IndexError) as e:
        sys.stderr.write("publish.py: error: %s\n" % e)
        return 1
    print("secret key: %s (keep it off the servers)" % secret)
    print("public key: %s" % public)
    print("build the updater with: -DUPDATER_TRUSTED_KEYS=%s" % key_line)
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["keygen"]:
        return keygen(argv[1:])
    parser = Parser(description="Publish a program or database package for the updater.")
    parser.add_argument("kind", choices=[PROGRAM, DATABASE])
    parser.add_argument("--version", required=True, help="new version, such as 1.003")
    parser.add_argument("--from", dest="source", required=True,
                        help="directory whose contents the package installs")
    parser.add_argument("--to", dest="server_root", required=True,
                        help="root of the served tree (it receives client/...)")
    parser.add_argument("--sign", dest="secret_key", metavar="SECRETKEY",
                        help="minisign secret key: write <package>.minisig beside the package")
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
                args.kind, args.version, args.source, args.server_root, args.secret_key)
        finally:
            os.close(lock)
    except (Refusal, OSError) as e:
        # One line whatever the file names hold.
        message = "".join(c if c.isprintable() else repr(c)[1:-1] for c in str(e))
        sys.stderr.write("publish.py: error: %s\n" % message)
        return 1
    signed = ", signed" if args.secret_key else ""
    print("published %s %s: %s (%d entries%s)" % (args.kind, version, package, count, signed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
