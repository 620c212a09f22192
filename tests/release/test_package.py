"""tools/package.sh and tools/publish.sh: what a player downloads, and what the update
server makes of the published folder when the plug-in asks it."""

import configparser
import hashlib
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DIST = os.environ.get("MURMELON_DIST", os.path.join(ROOT, "build", "mingw", "dist"))
FLAVOURS = {"Murmelon_W_7_D": ("w7", 51081), "Murmelon_W_XP_D": ("xp", 51082)}
SERIAL = hashlib.md5(b"-1234567").hexdigest()
TIMEOUT = 20


def read(path):
    with open(path, "rb") as file:
        return file.read()


def package(out, *options):
    return subprocess.run(["bash", os.path.join(ROOT, "tools", "package.sh"), "--asi-dir", DIST,
                           "--out", out, *options], capture_output=True, text=True, timeout=TIMEOUT)


def publish(release, releases):
    return subprocess.run(["bash", os.path.join(ROOT, "tools", "publish.sh"), release, releases],
                          capture_output=True, text=True, timeout=TIMEOUT)


def request_line(module_digest, build):
    """The request the plug-in sends, byte for byte."""
    c = hashlib.md5((module_digest + SERIAL).encode()).hexdigest()
    return (f"GET /Murmelon/CheckUpdate_v2.php?mode=debug&a={module_digest}&b={SERIAL}&c={c}"
            f"&d={build} HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n").encode()


class Server:
    """tools/update_server.py on a free port of 127.0.0.1, stopped at the end."""

    def __init__(self, releases, work):
        port_file = os.path.join(work, "port")
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, "tools", "update_server.py"), "--releases", releases,
             "--port", "0", "--port-file", port_file, "--log", os.path.join(work, "server.log"),
             "--lifetime", "90"])
        deadline = time.monotonic() + TIMEOUT
        while not os.path.exists(port_file):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise AssertionError("update server did not start: " + read(os.path.join(work, "server.log")).decode())
            time.sleep(0.05)
        self.port = int(read(port_file))

    def ask(self, request):
        with socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT) as connection:
            connection.sendall(request)
            answer = b""
            while True:
                piece = connection.recv(65536)
                if not piece:
                    return answer
                answer += piece

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


@unittest.skipUnless(all(os.path.isfile(os.path.join(DIST, f + ".asi")) for f in FLAVOURS),
                     f"no built .asi files in {DIST}")
class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.out = os.path.join(cls.work.name, "release")
        cls.result = package(cls.out)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def setUp(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)

    def test_each_archive_holds_the_module_the_guides_and_matching_checksums(self):
        for flavour, (_, build) in FLAVOURS.items():
            module = read(os.path.join(DIST, flavour + ".asi"))
            with zipfile.ZipFile(os.path.join(self.out, f"{flavour}-{build}.zip")) as archive:
                self.assertEqual(sorted(archive.namelist()),
                                 sorted([flavour + ".asi", "players.en.md", "players.ru.md", "CHECKSUMS.txt"]))
                self.assertEqual(archive.read(flavour + ".asi"), module)
                for doc in ("players.en.md", "players.ru.md"):
                    self.assertEqual(archive.read(doc), read(os.path.join(ROOT, "docs", doc)))
                checksums = archive.read("CHECKSUMS.txt").decode("ascii")
            self.assertEqual(checksums, f"SHA256 ({flavour}.asi) = {hashlib.sha256(module).hexdigest()}\n"
                                        f"MD5 ({flavour}.asi) = {hashlib.md5(module).hexdigest()}\n")

    def test_packaging_twice_gives_the_same_archives(self):
        again = os.path.join(self.work.name, "again")
        self.assertEqual(package(again).returncode, 0)
        for flavour, (_, build) in FLAVOURS.items():
            name = f"{flavour}-{build}.zip"
            self.assertEqual(read(os.path.join(again, name)), read(os.path.join(self.out, name)), name)

    def test_server_folders_name_each_flavour_by_its_build(self):
        notes = read(os.path.join(ROOT, "flavours", "release_notes.txt")).decode("utf-8")
        label = re.search(r"^version:(.*)$", notes, re.M).group(1).strip()
        for flavour, (folder, build) in FLAVOURS.items():
            ini = configparser.ConfigParser(interpolation=None)
            ini.read(os.path.join(self.out, "server", folder, "release.ini"), encoding="utf-8")
            self.assertEqual(dict(ini["release"]), {"build": str(build), "suffix": str(build)[-1],
                                                    "version": label, "module": flavour + ".asi",
                                                    "news": "news.txt"})
            self.assertEqual(read(os.path.join(self.out, "server", folder, flavour + ".asi")),
                             read(os.path.join(DIST, flavour + ".asi")))

    def test_published_release_is_served_to_each_flavour(self):
        releases = os.path.join(self.work.name, "releases")
        result = publish(self.out, releases)
        self.assertEqual(result.returncode, 0, result.stderr)
        news = read(os.path.join(self.out, "server", "w7", "news.txt"))
        label = configparser.ConfigParser(interpolation=None)
        label.read(os.path.join(self.out, "server", "w7", "release.ini"), encoding="utf-8")
        server = Server(releases, self.work.name)
        try:
            for flavour, (_, build) in FLAVOURS.items():
                module = read(os.path.join(DIST, flavour + ".asi"))
                digest = hashlib.md5(module).hexdigest()
                # An older build of the flavour gets the whole module after its keys.
                answer = server.ask(request_line(hashlib.md5(b"older module").hexdigest(), build - 10))
                body = answer.split(b"\r\n\r\n", 1)[1]
                self.assertEqual(body, b"SAVETO:" + flavour.encode() + b".asi.newMD5:" + digest.encode()
                                 + b"WHATNEW:" + news + b"VERSION:" + label["release"]["version"].encode()
                                 + b"DATA:" + module, flavour)
                # The packaged build itself is the latest.
                self.assertIn(b"LATEST_VERSION", server.ask(request_line(digest, build)))
                self.assertNotIn(b"ERROR", server.ask(request_line(digest, build)).upper())
        finally:
            server.stop()

    def test_notes_the_plug_in_would_misread_are_refused(self):
        notes = os.path.join(self.work.name, "bad_notes.txt")
        for news in ("Fixed a connection Error.\n", "see data: below\n", "version: 2\n"):
            with open(notes, "w", encoding="utf-8") as file:
                file.write(f"version: 1.1\nnews:\n{news}")
            out = os.path.join(self.work.name, "refused")
            result = package(out, "--notes", notes)
            self.assertNotEqual(result.returncode, 0, news)
            self.assertIn("would refuse", result.stderr)
            self.assertFalse(os.path.exists(os.path.join(out, "server")), news)

    def test_version_and_news_from_the_command_line(self):
        news_file = os.path.join(self.work.name, "news.txt")
        with open(news_file, "w", encoding="utf-8") as file:
            file.write("Исправлена запись голоса.\n")
        out = os.path.join(self.work.name, "options")
        result = package(out, "--version", "1.2 (Sep 2013)", "--news-file", news_file)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(read(os.path.join(out, "server", "xp", "news.txt")), read(news_file))
        self.assertIn(b"version = 1.2 (Sep 2013)\n", read(os.path.join(out, "server", "xp", "release.ini")))


if __name__ == "__main__":
    unittest.main()
