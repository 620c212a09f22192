"""tools/package.sh and tools/publish.sh: what a player downloads, the signatures, the
refusals that keep a release from going wrong silently, and what the update server makes
of a published site when the plug-in asks it."""

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

sys.dont_write_bytecode = True
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DIST = os.environ.get("MURMELON_DIST", os.path.join(ROOT, "build", "mingw", "dist"))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import release_tool  # noqa: E402

BUILDS = release_tool.build_numbers(os.path.join(ROOT, "flavours", "build_numbers.h"))
FLAVOURS = {"Murmelon_W_7_D": ("w7", BUILDS["Murmelon_W_7_D"]), "Murmelon_W_XP_D": ("xp", BUILDS["Murmelon_W_XP_D"])}
W7, W7_NEXT = BUILDS["Murmelon_W_7_D"], BUILDS["Murmelon_W_7_D"] + 10
SERIAL = hashlib.md5(b"-1234567").hexdigest()
TIMEOUT = 20


def read(path):
    with open(path, "rb") as file:
        return file.read()


def run(script, *args):
    return subprocess.run(["bash", os.path.join(ROOT, "tools", script), *args],
                          capture_output=True, text=True, timeout=TIMEOUT)


def openssl(*args):
    return subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=TIMEOUT).stdout


def make_key(path):
    openssl("genpkey", "-algorithm", "ed25519", "-out", path)
    return openssl("pkey", "-in", path, "-pubout", "-outform", "DER")[-32:].hex()


def keyed_modules(folder, public, build_step=0, keys=None):
    """The built modules as a keyed build would carry the key (its hex text in the bytes),
    their build numbers raised by build_step (the identity texts are patched in place)."""
    os.makedirs(folder, exist_ok=True)
    for flavour, (_, build) in FLAVOURS.items():
        module = read(os.path.join(DIST, flavour + ".asi"))
        new = str(build + build_step).encode()
        module = module.replace(b"Murmelon_Build_Num %d\0" % build, b"Murmelon_Build_Num " + new + b"\0")
        with open(os.path.join(folder, flavour + ".asi"), "wb") as file:
            file.write(module + "".join(keys or [public]).encode())
    return folder


def request_line(module_digest, build):
    """The request the plug-in sends, byte for byte."""
    c = hashlib.md5((module_digest + SERIAL).encode()).hexdigest()
    return (f"GET /Murmelon/CheckUpdate_v2.php?mode=debug&a={module_digest}&b={SERIAL}&c={c}"
            f"&d={build} HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n").encode()


class Server:
    """tools/update_server.py on a free port of 127.0.0.1, stopped at the end."""

    def __init__(self, releases, work):
        port_file = os.path.join(work, "port")
        if os.path.exists(port_file):
            os.remove(port_file)
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
                    return answer.split(b"\r\n\r\n", 1)[1]
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
        w = cls.work.name
        cls.key = os.path.join(w, "key.pem")
        cls.public = make_key(cls.key)
        cls.empty_site = os.path.join(w, "empty-site")
        os.makedirs(cls.empty_site)
        cls.asi = keyed_modules(os.path.join(w, "asi"), cls.public)
        cls.out = os.path.join(w, "release")
        cls.result = cls.package(cls.out)

    @classmethod
    def package(cls, out, *options, asi=None, key=None, site=None):
        key_options = ["--key", key or cls.key] if key != "" else []
        return run("package.sh", "--asi-dir", asi or cls.asi, "--out", out, *key_options,
                   "--published", site or cls.empty_site, *options)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def setUp(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)

    def test_each_archive_holds_the_module_the_guides_and_matching_checksums(self):
        for flavour, (_, build) in FLAVOURS.items():
            module = read(os.path.join(self.asi, flavour + ".asi"))
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
        self.assertEqual(self.package(again).returncode, 0)
        for flavour, (_, build) in FLAVOURS.items():
            name = f"{flavour}-{build}.zip"
            self.assertEqual(read(os.path.join(again, name)), read(os.path.join(self.out, name)), name)

    def test_server_folders_carry_a_signature_that_openssl_verifies(self):
        notes = read(os.path.join(ROOT, "flavours", "release_notes.txt")).decode("utf-8")
        label = re.search(r"^version:(.*)$", notes, re.M).group(1).strip()
        public_pem = os.path.join(self.work.name, "public.pem")
        openssl("pkey", "-in", self.key, "-pubout", "-out", public_pem)
        for flavour, (folder, build) in FLAVOURS.items():
            ini = configparser.ConfigParser(interpolation=None)
            ini.read(os.path.join(self.out, "server", folder, "release.ini"), encoding="utf-8")
            fields = dict(ini["release"])
            signature = fields.pop("signature")
            self.assertEqual(fields, {"build": str(build), "suffix": str(build)[-1], "version": label,
                                      "module": flavour + ".asi", "news": "news.txt",
                                      "deliverable": flavour, "public_key": self.public})
            module = read(os.path.join(self.out, "server", folder, flavour + ".asi"))
            self.assertEqual(module, read(os.path.join(self.asi, flavour + ".asi")))
            message = os.path.join(self.work.name, "message")
            with open(message, "wb") as file:
                file.write(f"murmelon-update-v1\n{flavour}\n{build}\n{len(module)}\n"
                           f"{hashlib.sha256(module).hexdigest()}\n".encode())
            with open(message + ".sig", "wb") as file:
                file.write(bytes.fromhex(signature))
            openssl("pkeyutl", "-verify", "-pubin", "-inkey", public_pem, "-rawin", "-in", message,
                    "-sigfile", message + ".sig")

    def test_refusals(self):
        w = self.work.name
        other_public = make_key(os.path.join(w, "other.pem"))
        bad_notes = os.path.join(w, "bad_notes.txt")
        with open(bad_notes, "w", encoding="utf-8") as file:
            file.write("version: 1.1\nnews:\nFixed a connection Error.\n")
        published = os.path.join(w, "published-site")
        self.assertEqual(run("publish.sh", self.out, published).returncode, 0)
        for name, kwargs, options, says in (
                ("no key", {"key": ""}, (), "signing key is needed"),
                ("module without the key", {"asi": DIST}, (), "do not include the signing key"),
                ("module with another key", {"asi": keyed_modules(os.path.join(w, "other"), other_public)}, (),
                 "do not include the signing key"),
                ("build already published", {"site": published}, (), f"not above the published build {W7}"),
                ("no such site", {"site": os.path.join(w, "nowhere")}, (), "no such site folder"),
                ("served folder for the site", {"site": os.path.join(published, "current")}, (), "not a site folder"),
                ("notes the plug-in would misread", {}, ("--notes", bad_notes), "would refuse")):
            with self.subTest(name):
                out = os.path.join(w, "refused")
                result = self.package(out, *options, **kwargs)
                self.assertNotEqual(result.returncode, 0, result.stderr)
                self.assertIn(says, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(out, "server")))

    def test_version_and_news_from_the_command_line(self):
        news_file = os.path.join(self.work.name, "news.txt")
        with open(news_file, "w", encoding="utf-8") as file:
            file.write("Исправлена запись голоса.\n")
        out = os.path.join(self.work.name, "options")
        result = self.package(out, "--version", "1.2 (Sep 2013)", "--news-file", news_file)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(read(os.path.join(out, "server", "xp", "news.txt")), read(news_file))
        self.assertIn(b"version = 1.2 (Sep 2013)\n", read(os.path.join(out, "server", "xp", "release.ini")))

    def test_publishing_keeps_every_release_switches_and_rolls_back(self):
        w = self.work.name
        site = os.path.join(w, "site")
        newer_out = os.path.join(w, "newer")
        result = run("publish.sh", self.out, site)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"published release 0001\nnow served from .*current \(release 0001\):\n"
                                        rf"  w7: build {W7} .*signed by key")
        newer = self.package(newer_out, asi=keyed_modules(os.path.join(w, "asi-newer"), self.public, 10), site=site)
        self.assertEqual(newer.returncode, 0, newer.stderr)
        # A module signed by a key the served module does not carry is refused.
        stranger = os.path.join(w, "stranger.pem")
        stranger_public = make_key(stranger)
        strange = self.package(os.path.join(w, "strange"), key=stranger, site=site,
                               asi=keyed_modules(os.path.join(w, "asi-strange"), stranger_public, 20))
        self.assertEqual(strange.returncode, 0, strange.stderr)
        refused = run("publish.sh", os.path.join(w, "strange"), site)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("does not carry among its keys", refused.stderr)

        server = Server(os.path.join(site, "current"), w)
        try:
            def served(flavour, build):
                module = read(os.path.join(DIST, flavour + ".asi"))
                return server.ask(request_line(hashlib.md5(module).hexdigest(), build))

            for flavour, (folder, build) in FLAVOURS.items():
                # An older build of the flavour gets its keys, then the whole module.
                module = read(os.path.join(self.asi, flavour + ".asi"))
                ini = configparser.ConfigParser(interpolation=None)
                ini.read(os.path.join(self.out, "server", folder, "release.ini"), encoding="utf-8")
                news = read(os.path.join(self.out, "server", folder, "news.txt"))
                self.assertEqual(served(flavour, build - 10),
                                 f"BUILD:{build}SIGNATURE:{ini['release']['signature']}SAVETO:{flavour}.asi.new"
                                 f"MD5:{hashlib.md5(module).hexdigest()}WHATNEW:".encode() + news + b"VERSION:"
                                 + ini["release"]["version"].encode() + b"DATA:" + module, flavour)
                self.assertEqual(served(flavour, build), b"LATEST_VERSION")

            steps = [("publish.sh", newer_out, site), ("publish.sh", "--rollback", site),
                     ("publish.sh", "--rollback", site, "0002")]
            next_answer = f"BUILD:{W7_NEXT}".encode()
            expected = [(0, "0002", next_answer), (0, "0001", b"LATEST_VERSION"), (0, "0002", next_answer)]
            for step, (code, release, answer) in zip(steps, expected):
                result = run(*step)
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(f"(release {release}):\n", result.stdout)
                self.assertTrue(served("Murmelon_W_7_D", W7).startswith(answer), step)
            self.assertEqual(sorted(os.listdir(os.path.join(site, "releases"))), ["0001", "0002"])
            self.assertRegex(run("publish.sh", "--list", site).stdout, rf"^  0001: w7: build {W7} .*\n\* 0002: w7: build {W7_NEXT} ")
        finally:
            server.stop()
        # After a rollback the next release must still pass the highest build ever published.
        run("publish.sh", "--rollback", site)
        again = run("publish.sh", newer_out, site)
        self.assertEqual(again.returncode, 1)
        self.assertIn(f"not above the published build {W7_NEXT}", again.stderr)
        with open(os.path.join(w, "server.log")) as log:
            self.assertRegex(log.read(), rf"now serving .*/releases/0002: w7: build {W7_NEXT} ")


if __name__ == "__main__":
    unittest.main()
