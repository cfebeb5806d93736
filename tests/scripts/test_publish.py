"""tools/publish.py: what it refuses, and the archives and version files it writes."""
import os
import stat
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

PUBLISH = Path(__file__).resolve().parents[2] / "tools" / "publish.py"


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
