"""tools/publish.py: what it refuses, and the archives and version files it writes."""
import hashlib
import importlib.util
import io
import os
import stat
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib
from pathlib import Path

PUBLISH = Path(__file__).resolve().parents[2] / "tools" / "publish.py"


def load_publish():
    spec = importlib.util.spec_from_file_location("publish", PUBLISH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def blake2b(data):
    return hashlib.blake2b(data, digest_size=32).hexdigest()


def parse_index(text):
    """The index as (header lines by keyword, file entries in order)."""
    lines = text.split("\n")
    assert lines[-1] == "", "the index ends with a newline"
    head, files = {"format": lines[0]}, []
    for line in lines[1:-1]:
        keyword, rest = line.split(" ", 1)
        if keyword == "file":
            size, digest, offset, length, path = rest.split(" ", 4)
            files.append({"size": int(size), "hash": digest, "offset": int(offset),
                          "length": int(length), "path": path})
        else:
            head[keyword] = rest
    return head, files


def inflate_record(record):
    """A file's contents from its local record alone, as a client that fetched only that
    byte range sees it."""
    fields = struct.unpack("<4sHHHHHIIIHH", record[:30])
    assert fields[0] == b"PK\x03\x04"
    method, flags, name_length, extra_length = fields[3], fields[2], fields[9], fields[10]
    data = record[30 + name_length + extra_length:]
    if method == 0:
        return data[:fields[8]] if not flags & 8 else None
    inflater = zlib.decompressobj(-zlib.MAX_WBITS)
    contents = inflater.decompress(data) + inflater.flush()
    descriptor = inflater.unused_data
    if flags & 8:
        assert len(descriptor) in (12, 16, 20, 24), len(descriptor)
    else:
        assert descriptor == b"", descriptor
    return contents


def make_tree(root, files):
    """files: relative path -> bytes (a file), None (a directory), or (bytes, mode)."""
    root.mkdir(parents=True, exist_ok=True)
    for relative, content in files.items():
        path = root / relative
        if content is None:
            path.mkdir(parents=True, exist_ok=True)
            continue
        path.parent.mkdir(parents=True, exist_ok=True)
        data, mode = content if isinstance(content, tuple) else (content, 0o644)
        path.write_bytes(data)
        path.chmod(mode)
    return root


def snapshot(root):
    """Every path below root with its bytes (None for directories)."""
    result = {}
    for directory, dirs, files in os.walk(root):
        for name in dirs:
            result[os.path.relpath(os.path.join(directory, name), root)] = None
        for name in files:
            path = os.path.join(directory, name)
            with open(path, "rb") as f:
                result[os.path.relpath(path, root)] = f.read()
    return result


class PublishTestCase(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.tmp = Path(self._tmp.name)
        self.server = self.tmp / "server"
        self.server.mkdir()
        self.sources = 0

    def tearDown(self):
        self._tmp.cleanup()

    def source(self, files):
        self.sources += 1
        return make_tree(self.tmp / ("source%d" % self.sources), files)

    def run_publish(self, *args):
        return subprocess.run([sys.executable, str(PUBLISH), *map(str, args)],
                              capture_output=True, text=True, timeout=120)

    def publish(self, kind, version, source):
        return self.run_publish(kind, "--version", version, "--from", source,
                                "--to", self.server)

    def publish_ok(self, kind, version, files=None):
        source = self.source(files if files is not None else {"a.txt": version.encode()})
        result = self.publish(kind, version, source)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result

    def assertRefused(self, result, phrase, code=1):
        self.assertEqual(result.returncode, code, result.stdout)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertIn("error:", lines[0])
        self.assertIn(phrase, lines[0])
        self.assertEqual(result.stdout, "")

    def assertRefusedUnchanged(self, attempt, phrase, code=1):
        """Runs `attempt` and checks it is refused with the server tree left as it was."""
        before = snapshot(self.server)
        self.assertRefused(attempt(), phrase, code)
        self.assertEqual(snapshot(self.server), before)


class VersionRefusals(PublishTestCase):
    def test_malformed_versions(self):
        source = self.source({"a.txt": b"a"})
        for version in ["1.03", "1.0030", "1", "1.", ".003", "v1.003", "1.003 ", " 1.003",
                        "1,003", "-1.003", "1e3", "", "1.00a", "\u0661.\u0660\u0660\u0663"]:
            for kind in ["program", "database"]:
                with self.subTest(kind=kind, version=version):
                    self.assertRefusedUnchanged(lambda: self.publish(kind, version, source),
                                                "exactly three decimals")

    def test_versions_not_newer_than_published(self):
        for kind, published, attempts in [
                ("program", "1.003", ["1.003", "1.002", "0.999", "01.003"]),
                ("database", "1.003", ["1.003", "1.002", "0.100"])]:
            self.publish_ok(kind, published)
            for version in attempts:
                with self.subTest(kind=kind, version=version):
                    source = self.source({"b.txt": b"b"})
                    self.assertRefusedUnchanged(lambda: self.publish(kind, version, source),
                                                "not newer than the published")

    def test_database_gap_after_published_version(self):
        self.publish_ok("database", "1.001")
        for version in ["1.003", "1.010", "2.001"]:
            with self.subTest(version=version):
                source = self.source({"b.txt": b"b"})
                self.assertRefusedUnchanged(lambda: self.publish("database", version, source),
                                            "leaves a gap after the published 1.001; the next "
                                            "one is 1.002")
        self.publish_ok("database", "1.002")

    def test_program_may_skip_versions(self):
        self.publish_ok("program", "1.001")
        self.publish_ok("program", "1.005")
        self.assertEqual((self.server / "client/verProgram.php").read_text(), "1.005")

    def test_versions_beyond_single_precision(self):
        # The updater steps through versions in 32-bit floats, which drift from about 128 on.
        source = self.source({"a.txt": b"a"})
        for kind, version in [("program", "20000.001"), ("program", "1000.000"),
                              ("database", "256.000"), ("database", "1000.000")]:
            with self.subTest(kind=kind, version=version):
                self.assertRefusedUnchanged(lambda: self.publish(kind, version, source),
                                            "single-precision")
        for kind, version in [("program", "127.999"), ("database", "100.000")]:
            with self.subTest(kind=kind, version=version):
                self.publish_ok(kind, version)

    def test_unreadable_published_version(self):
        for kind, name in [("program", "verProgram.php"), ("database", "verDll.php")]:
            with self.subTest(kind=kind):
                make_tree(self.server / "client", {name: b"<html>oops</html>"})
                source = self.source({"a.txt": b"a"})
                self.assertRefusedUnchanged(lambda: self.publish(kind, "1.001", source),
                                            "not a version")

    def test_existing_database_package_is_never_replaced(self):
        make_tree(self.server / "client/dll", {"v1.001.zip": b"stray"})
        source = self.source({"a.txt": b"a"})
        self.assertRefusedUnchanged(lambda: self.publish("database", "1.001", source),
                                    "already exists")

    def test_command_line_errors(self):
        source = self.source({"a.txt": b"a"})
        for args in [["program", "--from", source, "--to", self.server],
                     ["images", "--version", "1.001", "--from", source, "--to", self.server],
                     ["program", "--version", "1.001", "--to", self.server]]:
            with self.subTest(args=args):
                self.assertRefusedUnchanged(lambda: self.run_publish(*args), "see --help", 2)


class SourceRefusals(PublishTestCase):
    def test_refused_trees(self):
        big = 8 * 1024 ** 3

        def sparse(source):
            with open(source / "huge.bin", "wb") as f:
                f.truncate(big + 1)

        def symlink_to_file(source):
            os.symlink("a.txt", source / "link.txt")

        def symlink_to_directory(source):
            (source / "real").mkdir()
            os.symlink("real", source / "linkdir")

        def symlink_inside_directory(source):
            (source / "data").mkdir()
            os.symlink("../a.txt", source / "data" / "link")

        def dangling_symlink(source):
            os.symlink("missing", source / "gone")

        def fifo(source):
            os.mkfifo(source / "pipe")

        def non_utf8_name(source):
            with open(os.path.join(os.fsencode(source), b"bad\xff.txt"), "wb") as f:
                f.write(b"x")

        cases = [
            ("nested directory", {"data/sub/x.txt": b"x"}, None, "nested directory"),
            ("empty nested directory", {"data/sub": None}, None, "nested directory"),
            ("Config.ini at the top", {"Config.ini": b"[Version]"}, None, "Config.ini"),
            ("Config.ini in a directory", {"data/Config.ini": b"x"}, None, "Config.ini"),
            ("lower-case config.ini", {"config.ini": b"x"}, None, "Config.ini"),
            ("name containing Config.ini", {"Config.ini.bak": b"x"}, None, "Config.ini"),
            ("directory named like it", {"Config.ini.d/x": b"x"}, None, "Config.ini"),
            ("symbolic link to a file", {}, symlink_to_file, "symbolic link"),
            ("symbolic link to a directory", {}, symlink_to_directory, "symbolic link"),
            ("symbolic link in a directory", {}, symlink_inside_directory, "symbolic link"),
            ("dangling symbolic link", {}, dangling_symlink, "symbolic link"),
            ("named pipe", {}, fifo, "neither a regular file nor a directory"),
            ("file named like a directory", {"a/x.txt": b"x", "b/a": b"y"}, None,
             "has the name of the directory a/"),
            ("directory named update", {"update/x.txt": b"x"}, None, "download directory"),
            ("file named update", {"data/update": b"x"}, None, "download directory"),
            ("control character", {"bad\nname.txt": b"x"}, None, "control character"),
            ("backslash", {"dir\\file.txt": b"x"}, None, "backslash"),
            ("name not UTF-8", {}, non_utf8_name, "not valid UTF-8"),
            ("more than the updater unpacks", {}, sparse, "refuses more than %d" % big),
        ]
        self.publish_ok("program", "1.000")
        for description, files, extra, phrase in cases:
            with self.subTest(description):
                source = self.source(dict({"a.txt": b"a"}, **files))
                if extra:
                    extra(source)
                self.assertRefusedUnchanged(lambda: self.publish("program", "1.001", source),
                                            phrase)

    def test_empty_or_missing_source(self):
        empty = self.source({})
        for source, phrase in [(empty, "is empty"), (self.tmp / "missing", "not a directory"),
                               (self.source({"f": b"x"}) / "f", "not a directory")]:
            with self.subTest(source=source):
                self.assertRefusedUnchanged(lambda: self.publish("database", "1.001", source),
                                            phrase)

    def test_missing_server_root(self):
        source = self.source({"a.txt": b"a"})
        missing = self.tmp / "no-such-root"
        self.assertRefused(self.run_publish("program", "--version", "1.001", "--from", source,
                                            "--to", missing), "create the server root first")
        self.assertFalse(missing.exists())

    def test_failed_package_write_publishes_no_version(self):
        # The package path is taken by a directory, so renaming the archive into place fails.
        (self.server / "client/program/orbelan.zip").mkdir(parents=True)
        source = self.source({"a.txt": b"a"})
        self.assertRefusedUnchanged(lambda: self.publish("program", "1.001", source), "error:")
        self.assertFalse((self.server / "client/verProgram.php").exists())


class ArchiveLayout(PublishTestCase):
    FILES = {
        "readme.txt": b"read me\n",
        "Orbelan.exe": (b"#!/bin/sh\necho started\n", 0o755),
        "private.key": (b"secret", 0o600),
        "zeta/z.bin": b"z" * 1000,
        "data/questions.db": b"question " * 20000,
        "data/answers.db": b"answer",
        "data/run.sh": (b"#!/bin/sh\n", 0o750),
        "empty": None,
    }

    def archive(self, kind="program", version="1.001"):
        result = self.publish_ok(kind, version, self.FILES)
        name = "program/orbelan.zip" if kind == "program" else "dll/v%s.zip" % version
        path = self.server / "client" / name
        self.assertIn(str(path), result.stdout)
        return zipfile.ZipFile(path)

    def test_directory_entries_precede_their_files(self):
        with self.archive() as zf:
            self.assertEqual(zf.namelist(), [
                "Orbelan.exe", "private.key", "readme.txt",
                "data/", "data/answers.db", "data/questions.db", "data/run.sh",
                "empty/",
                "zeta/", "zeta/z.bin"])

    def test_contents_and_unix_permissions_are_kept(self):
        with self.archive() as zf:
            self.assertIsNone(zf.testzip())
            for info in zf.infolist():
                mode = info.external_attr >> 16
                with self.subTest(entry=info.filename):
                    self.assertEqual(info.create_system, 3)
                    if info.is_dir():
                        self.assertTrue(stat.S_ISDIR(mode))
                        self.assertTrue(info.external_attr & 0x10)
                        continue
                    content = self.FILES[info.filename]
                    data, expected = content if isinstance(content, tuple) else (content, 0o644)
                    self.assertTrue(stat.S_ISREG(mode))
                    self.assertEqual(stat.S_IMODE(mode), expected)
                    self.assertEqual(zf.read(info), data)

    def test_every_entry_is_deflated(self):
        with self.archive() as zf:
            for info in zf.infolist():
                with self.subTest(entry=info.filename):
                    self.assertEqual(info.compress_type, zipfile.ZIP_DEFLATED)
            big = zf.getinfo("data/questions.db")
            self.assertLess(big.compress_size, big.file_size // 10)

    def test_published_files_are_world_readable_and_no_temporaries_remain(self):
        self.archive("database", "1.001")
        client = self.server / "client"
        for path in [client / "dll/v1.001.zip", client / "verDll.php"]:
            with self.subTest(path=path.name):
                self.assertEqual(stat.S_IMODE(path.stat().st_mode), 0o644)
        self.assertEqual(sorted(snapshot(self.server)),
                         ["client", "client/dll", "client/dll/v1.001.zip", "client/verDll.php"])

    def test_version_files_and_package_names(self):
        for kind, version, published, package, version_file in [
                ("database", "1.001", "1.001", "dll/v1.001.zip", "verDll.php"),
                ("database", "1.002", "1.002", "dll/v1.002.zip", "verDll.php"),
                ("database", "001.003", "1.003", "dll/v1.003.zip", "verDll.php"),
                ("program", "1.007", "1.007", "program/orbelan.zip", "verProgram.php"),
                ("program", "02.000", "2.000", "program/orbelan.zip", "verProgram.php")]:
            with self.subTest(kind=kind, version=version):
                result = self.publish_ok(kind, version, {"v.txt": version.encode()})
                self.assertIn("published %s %s" % (kind, published), result.stdout)
                client = self.server / "client"
                self.assertEqual((client / version_file).read_bytes(), published.encode())
                with zipfile.ZipFile(client / package) as zf:
                    self.assertEqual(zf.read("v.txt"), version.encode())
        # Earlier database packages stay for clients that are further behind.
        self.assertTrue((self.server / "client/dll/v1.001.zip").exists())


class PackageIndex(PublishTestCase):
    FILES = dict(ArchiveLayout.FILES, **{"random.bin": os.urandom(70000), "empty.txt": b""})

    def published_index(self, version="1.001", files=None):
        self.publish_ok("program", version, files or self.FILES)
        program = self.server / "client/program"
        return (program / "orbelan.zip").read_bytes(), \
            parse_index((program / "orbelan.zip.index").read_text("utf-8"))

    def test_index_describes_the_archive_and_each_file(self):
        archive, (head, files) = self.published_index()
        self.assertEqual(head["format"], "orbelan-index 1")
        self.assertEqual(head["version"], "1.001")
        self.assertEqual(head["archive"], "%d %s" % (len(archive), blake2b(archive)))
        with zipfile.ZipFile(io.BytesIO(archive)) as zf:
            self.assertEqual(int(head["directory"]), zf.start_dir)
            expected = [info.filename for info in zf.infolist() if not info.is_dir()]
            self.assertEqual([f["path"] for f in files], expected)
            for entry in files:
                with self.subTest(path=entry["path"]):
                    contents = zf.read(entry["path"])
                    self.assertEqual(entry["size"], len(contents))
                    self.assertEqual(entry["hash"], blake2b(contents))
                    self.assertEqual(entry["offset"], zf.getinfo(entry["path"]).header_offset)
                    record = archive[entry["offset"]:entry["offset"] + entry["length"]]
                    self.assertEqual(inflate_record(record), contents)

    def test_records_end_where_the_next_begins(self):
        archive, (head, files) = self.published_index()
        with zipfile.ZipFile(io.BytesIO(archive)) as zf:
            starts = sorted([i.header_offset for i in zf.infolist()] + [zf.start_dir])
        for entry in files:
            with self.subTest(path=entry["path"]):
                end = entry["offset"] + entry["length"]
                self.assertEqual(end, starts[starts.index(entry["offset"]) + 1])
        self.assertLessEqual(max(f["offset"] + f["length"] for f in files),
                             int(head["directory"]))

    def test_record_lengths_of_foreign_archives(self):
        # Archives the publisher does not write itself: Info-ZIP's, whose local extra fields
        # are longer than the directory's, and a streamed one with data descriptors.
        publish = load_publish()
        source = self.source(self.FILES)
        infozip = self.tmp / "infozip.zip"
        subprocess.run(["zip", "-q", "-r", "-X", str(infozip), "."], cwd=source, check=True)
        subprocess.run(["zip", "-q", str(infozip), "readme.txt"], cwd=source, check=True)
        streamed = self.tmp / "streamed.zip"

        class Unseekable(io.RawIOBase):
            def __init__(self, f):
                self.f = f

            def writable(self):
                return True

            def write(self, b):
                return self.f.write(b)

        with open(streamed, "wb") as out, zipfile.ZipFile(Unseekable(out), "w") as zf:
            for name, content in [("a.bin", os.urandom(5000)), ("b.txt", b"b" * 9000),
                                  ("stored.bin", b"s" * 100)]:
                zf.writestr(zipfile.ZipInfo(name), content,
                            zipfile.ZIP_STORED if name == "stored.bin" else zipfile.ZIP_DEFLATED)
        for archive_path in [infozip, streamed]:
            archive = archive_path.read_bytes()
            head, files = parse_index("\n".join(publish.index_lines(str(archive_path), "1.001"))
                                      + "\n")
            with zipfile.ZipFile(archive_path) as zf:
                for entry in files:
                    with self.subTest(archive=archive_path.name, path=entry["path"]):
                        record = archive[entry["offset"]:entry["offset"] + entry["length"]]
                        following = archive[entry["offset"] + entry["length"]:][:4]
                        self.assertIn(following, [b"PK\x03\x04", b"PK\x01\x02"])
                        contents = inflate_record(record)
                        if contents is not None:
                            self.assertEqual(contents, zf.read(entry["path"]))
        with zipfile.ZipFile(infozip) as zf:
            info = zf.getinfo("readme.txt")
            local = infozip.read_bytes()
            local_extra = struct.unpack("<H", local[info.header_offset + 28:][:2])[0]
            self.assertNotEqual(local_extra, len(info.extra))

    def test_each_program_release_replaces_the_index_and_databases_have_none(self):
        self.published_index("1.001")
        archive, (head, files) = self.published_index("1.002", {"only.txt": b"only"})
        self.assertEqual(head["version"], "1.002")
        self.assertEqual([f["path"] for f in files], ["only.txt"])
        self.publish_ok("database", "1.001")
        self.assertEqual(sorted(snapshot(self.server)), [
            "client", "client/dll", "client/dll/v1.001.zip", "client/program",
            "client/program/orbelan.zip", "client/program/orbelan.zip.index",
            "client/verDll.php", "client/verProgram.php"])
        self.assertEqual(stat.S_IMODE(
            (self.server / "client/program/orbelan.zip.index").stat().st_mode), 0o644)

    def test_failed_index_publishes_no_version(self):
        # The index path is taken by a directory, so renaming the index into place fails.
        self.publish_ok("program", "1.001")
        index = self.server / "client/program/orbelan.zip.index"
        index.unlink()
        index.mkdir()
        source = self.source({"a.txt": b"new"})
        self.assertRefused(self.publish("program", "1.002", source), "orbelan.zip.index")
        self.assertEqual((self.server / "client/verProgram.php").read_text(), "1.001")


class Signing(PublishTestCase):
    def keygen(self):
        keys = self.tmp / "keys"
        result = self.run_publish("keygen", "--out", keys, "--no-password")
        self.assertEqual(result.returncode, 0, result.stderr)
        public_line = (keys / "orbelan.pub").read_text().splitlines()[1]
        self.assertIn("-DUPDATER_TRUSTED_KEYS=%s" % public_line, result.stdout)
        return keys

    def publish_signed(self, kind, version, key):
        source = self.source({"a.txt": version.encode()})
        return self.run_publish(kind, "--version", version, "--from", source,
                                "--to", self.server, "--sign", key)

    def verify(self, package, keys):
        """minisign's own verdict on a published package; returns its trusted comment."""
        result = subprocess.run(["minisign", "-V", "-p", keys / "orbelan.pub", "-m", package],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        comment = [line for line in result.stdout.splitlines()
                   if line.startswith("Trusted comment: ")]
        self.assertEqual(len(comment), 1, result.stdout)
        return dict(field.split(":", 1) for field in comment[0][len("Trusted comment: "):].split())

    def test_each_package_is_signed_for_its_name_and_version(self):
        keys = self.keygen()
        client = self.server / "client"
        for kind, version, package in [("database", "1.001", "dll/v1.001.zip"),
                                       ("database", "1.002", "dll/v1.002.zip"),
                                       ("program", "1.003", "program/orbelan.zip"),
                                       ("program", "1.005", "program/orbelan.zip")]:
            with self.subTest(kind=kind, version=version):
                result = self.publish_signed(kind, version, keys / "orbelan.key")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("signed", result.stdout)
                fields = self.verify(client / package, keys)
                self.assertEqual(fields["file"], package.split("/")[-1])
                self.assertEqual(fields["version"], version)
                self.assertRegex(fields["timestamp"], r"^[0-9]+$")
                signature = client / (package + ".minisig")
                self.assertEqual(stat.S_IMODE(signature.stat().st_mode), 0o644)
                index = client / (package + ".index")
                self.assertEqual(index.exists(), kind == "program")
                if kind == "program":
                    fields = self.verify(index, keys)
                    self.assertEqual(fields["file"], "orbelan.zip.index")
                    self.assertEqual(fields["version"], version)
                    self.assertIn("version %s\n" % version, index.read_text())
        self.assertEqual(sorted(name for name in snapshot(self.server) if ".publish-" in name), [])

    def test_failed_signing_publishes_nothing(self):
        self.keygen()
        self.publish_ok("program", "1.001")
        not_a_key = self.tmp / "not-a-key"
        not_a_key.write_text("untrusted comment: x\nnot base64 at all\n")
        for kind in ["program", "database"]:
            with self.subTest(kind=kind):
                source = self.source({"b.txt": b"b"})
                self.assertRefusedUnchanged(
                    lambda: self.run_publish(kind, "--version", "1.002", "--from", source,
                                             "--to", self.server, "--sign", not_a_key),
                    "not a minisign secret key")
        source = self.source({"b.txt": b"b"})
        self.assertRefusedUnchanged(
            lambda: self.run_publish("database", "--version", "1.001", "--from", source,
                                     "--to", self.server, "--sign", self.tmp / "missing.key"),
            "no such secret key file")

    def test_keygen_keeps_the_secret_private_and_never_overwrites(self):
        keys = self.keygen()
        self.assertEqual(stat.S_IMODE((keys / "orbelan.key").stat().st_mode), 0o600)
        before = snapshot(keys)
        self.assertRefused(self.run_publish("keygen", "--out", keys, "--no-password"),
                           "never overwrite")
        self.assertEqual(snapshot(keys), before)


if __name__ == "__main__":
    unittest.main()
