"""tools/package.sh and murmelon-release: what a player downloads, the signatures, the
refusals that keep a release from going wrong silently, and what the update server makes
of a published site when the plug-in asks it."""

import configparser
import contextlib
import datetime
import fcntl
import hashlib
import io
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import unittest.mock
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DIST = os.environ.get("MURMELON_DIST", os.path.join(ROOT, "build", "mingw", "dist"))
COMMAND = os.path.join(ROOT, "server", "bin", "murmelon-release")

from murmelon_update import release, release_tool, rollout, site as site_module
from package import build_numbers  # tools/, on PYTHONPATH as CTest sets it

BUILD_NUMBERS = os.path.join(ROOT, "flavours", "build_numbers.h")
BUILDS = build_numbers(BUILD_NUMBERS)
FLAVOURS = {"Murmelon_W_7_D": ("w7", BUILDS["Murmelon_W_7_D"]), "Murmelon_W_XP_D": ("xp", BUILDS["Murmelon_W_XP_D"])}
W7, W7_NEXT = BUILDS["Murmelon_W_7_D"], BUILDS["Murmelon_W_7_D"] + 10
SERIAL = hashlib.md5(b"-1234567").hexdigest()
TIMEOUT = 20


def read(path):
    with open(path, "rb") as file:
        return file.read()


def run(*args, service="none"):
    """murmelon-release as installed; publish, rollback and share ask no running service
    unless told."""
    return subprocess.run([sys.executable, COMMAND, *args], capture_output=True, text=True, timeout=TIMEOUT,
                          env=dict(os.environ, MURMELON_SERVICE=service))


def package_sh(*args):
    return subprocess.run(["bash", os.path.join(ROOT, "tools", "package.sh"), *args], capture_output=True,
                          text=True, timeout=TIMEOUT)


def openssl(*args):
    return subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=TIMEOUT).stdout


def make_key(path):
    openssl("genpkey", "-algorithm", "ed25519", "-out", path)
    return openssl("pkey", "-in", path, "-pubout", "-outform", "DER")[-32:].hex()


def keyed_modules(folder, public, build_step=0, keys=None):
    """The built modules as a keyed build would carry the key (its key list, a text of its
    own), their build numbers raised by build_step (the identity texts are patched in place)."""
    os.makedirs(folder, exist_ok=True)
    for flavour, (_, build) in FLAVOURS.items():
        module = read(os.path.join(DIST, flavour + ".asi"))
        new = str(build + build_step).encode()
        module = module.replace(b"Murmelon_Build_Num %d\0" % build, b"Murmelon_Build_Num " + new + b"\0")
        with open(os.path.join(folder, flavour + ".asi"), "wb") as file:
            file.write(module + b"\0" + ",".join(keys or [public]).encode() + b"\0")
    return folder


def request_line(module_digest, build):
    """The request the plug-in sends, byte for byte."""
    return (f"GET {release.CHECK_PATH}?{release.check_query(build, SERIAL, module_digest)}"
            f" HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n").encode()


def modes(folder):
    """The modes the folders and files under folder have, as ("folder", mode) and ("file", mode)."""
    found = set()
    for path, _, names in os.walk(folder):
        found.add(("folder", os.stat(path).st_mode & 0o777))
        found.update(("file", os.stat(os.path.join(path, n)).st_mode & 0o777) for n in names)
    return found


def make_site(path):
    os.makedirs(path)
    return path


def site_state(site):
    """What a refused command must leave as it was."""
    if not os.path.isdir(site):
        return None
    releases = os.path.join(site, "releases")
    return (sorted(os.listdir(site)), sorted(os.listdir(releases)) if os.path.isdir(releases) else None,
            os.readlink(os.path.join(site, "current")) if os.path.islink(os.path.join(site, "current")) else None)


class lock_held:
    """The site's lock, held as another release command would hold it."""

    def __init__(self, site):
        self.site = site

    def __enter__(self):
        if self.site:
            self.fd = os.open(os.path.join(self.site, ".lock"), os.O_RDWR | os.O_CREAT)
            fcntl.flock(self.fd, fcntl.LOCK_EX)

    def __exit__(self, *exc):
        if self.site:
            os.close(self.fd)


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
        site_options = ["--published", site or cls.empty_site] if site != "" else []
        return package_sh("--asi-dir", asi or cls.asi, "--out", out, *key_options, *site_options, *options)

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
            self.assertEqual(read(os.path.join(self.out, "server", folder, "news.txt")).decode("utf-8"),
                             notes.split("\nnews:\n", 1)[1])
            message = os.path.join(self.work.name, "message")
            with open(message, "wb") as file:
                file.write(f"murmelon-update-v1\n{flavour}\n{build}\n{len(module)}\n"
                           f"{hashlib.sha256(module).hexdigest()}\n".encode())
            with open(message + ".sig", "wb") as file:
                file.write(bytes.fromhex(signature))
            openssl("pkeyutl", "-verify", "-pubin", "-inkey", public_pem, "-rawin", "-in", message,
                    "-sigfile", message + ".sig")
        self.assertEqual(modes(os.path.join(self.out, "server")), {("folder", 0o755), ("file", 0o644)})

    def test_refusals(self):
        w = self.work.name
        other_public = make_key(os.path.join(w, "other.pem"))
        bad_notes = os.path.join(w, "bad_notes.txt")
        with open(bad_notes, "w", encoding="utf-8") as file:
            file.write("version: 1.1\nnews:\nFixed a connection Error.\n")
        published = make_site(os.path.join(w, "published-site"))
        self.assertEqual(run("publish", self.out, published).returncode, 0)
        module = read(os.path.join(keyed_modules(os.path.join(w, "asi-next"), self.public, 10), "Murmelon_W_7_D.asi"))
        unsigned = release.write_release(os.path.join(w, "unsigned", "server", "w7"), W7_NEXT, module, "1.2")
        too_long = release.write_release(os.path.join(w, "too-long", "server", "w7"), 1000000001, module, "1.2")
        folder_current = make_site(os.path.join(w, "folder-current"))
        os.makedirs(os.path.join(folder_current, "releases"))
        os.makedirs(os.path.join(folder_current, "current", "w7"))
        linked = os.path.join(w, "linked-site")
        shutil.copytree(published, linked, symlinks=True)
        os.symlink(os.path.join(w, "asi"), os.path.join(linked, "releases", "0009"))
        unsigned, too_long = (os.path.dirname(os.path.dirname(f)) for f in (unsigned, too_long))
        typo = os.path.join(w, "typo")
        long_news = os.path.join(w, "long-news.txt")
        with open(long_news, "w", encoding="utf-8") as file:
            file.write("n" * 70000)
        # A hand edit of a signed release: its signature still holds, its suffix serves nobody.
        edited = os.path.join(w, "edited")
        self.assertEqual(self.package(edited, asi=keyed_modules(os.path.join(w, "asi-51101"), self.public, 20),
                                      site=published).returncode, 0)
        ini = os.path.join(edited, "server", "w7", "release.ini")
        with open(ini, encoding="utf-8") as file:
            text = file.read().replace("suffix = 1\n", "suffix = 01\n")
        with open(ini, "w", encoding="utf-8") as file:
            file.write(text)
        first = make_site(os.path.join(w, "first-site"))
        broken_before = os.path.join(w, "broken-before")  # the release before has the suffix edited to 01
        shutil.copytree(published, broken_before, symlinks=True)
        shutil.copytree(os.path.join(published, "releases", "0001"), os.path.join(broken_before, "releases", "0000"))
        ini = os.path.join(broken_before, "releases", "0000", "w7", "release.ini")
        with open(ini, encoding="utf-8") as file:
            text = file.read().replace("suffix = 1\n", "suffix = 01\n")
        with open(ini, "w", encoding="utf-8") as file:
            file.write(text)
        edited_sites = []

        def hand_edited(lines=None):  # a copy of the published site with a rollout.ini written by hand
            if lines is not None:
                edited_sites.append(os.path.join(w, f"hand-edited-{len(edited_sites)}"))
                shutil.copytree(published, edited_sites[-1], symlinks=True)
                with open(os.path.join(edited_sites[-1], "rollout.ini"), "w", encoding="utf-8") as file:
                    file.write(f"[rollout]\nrelease = 0001\n{lines}\n")
            return edited_sites[-1]
        for name, command, says in (  # package options, or (site, the command's arguments, whether locked)
                ("no key", {"key": ""}, "signing key is needed"),
                ("no site to hold the builds against", {"site": ""}, "--asi-dir, --out and --published are needed"),
                ("module without the key", {"asi": DIST}, "do not include the signing key"),
                ("module with another key", {"asi": keyed_modules(os.path.join(w, "other"), other_public)},
                 "do not include the signing key"),
                ("build already published", {"site": published}, f"not above the published build {W7}"),
                ("build other than flavours/build_numbers.h's",
                 {"asi": os.path.join(w, "asi-next"), "options": ("--build-numbers", BUILD_NUMBERS)},
                 f"built as {W7_NEXT}, but"),
                ("ten-digit build", {"asi": keyed_modules(os.path.join(w, "long"), self.public, 10 ** 9 - W7 + 11)},
                 "build 1000000011 is not a number the plug-in reads"),
                ("no such site", {"site": typo}, "no such site folder"),
                ("served folder for the site", {"site": os.path.join(published, "current")}, "not a site folder"),
                ("notes the plug-in would misread", {"options": ("--notes", bad_notes)}, "would refuse"),
                ("news past what the plug-in reads", {"options": ("--news-file", long_news)},
                 "news.txt is 70000 bytes, above the cap of 64512 (what a player reads of an answer"),
                ("unsigned over a keyed module", (published, ("publish", unsigned, published), False),
                 f"unsigned, but players on {W7} (release 0001) carry only {self.public[:16]}..."),
                ("a suffix edited to 01", (published, ("publish", edited, published), False), "suffix '01' is not a flavour's digit"),
                ("ten-digit build published", (published, ("publish", too_long, published), False),
                 "build 1000000001 is not a number the plug-in reads"),
                ("publish to a mistyped site", (typo, ("publish", self.out, typo), False), "no such site folder"),
                ("current is a folder", (folder_current, ("publish", self.out, folder_current), False),
                 "current is a folder or file, not the link to releases/NNNN"),
                ("rollback to a link out of the site", (linked, ("rollback", linked, "0009"), False),
                 "releases/0009 is not a release folder of this site (a link to"),
                ("rollback to a release that cannot be loaded", (broken_before, ("rollback", broken_before), False),
                 "release 0000 would be refused: "),
                ("list a missing site", (typo, ("list", typo), False), "no such site folder"),
                ("publish while the site is locked", (published, ("publish", self.out, published), True),
                 "is being changed by another"),
                ("rollback while the site is locked", (published, ("rollback", published), True),
                 "is being changed by another"),
                ("a first release staged", (first, ("publish", "--share", "10", self.out, first), False),
                 "the first release goes to every player"),
                ("share on a mistyped site", (typo, ("share", typo, "10"), False),
                 "no such site folder"),
                ("share on the served folder for the site",
                 (published, ("share", os.path.join(published, "current"), "10"), False),
                 "not a site folder"),
                ("share while the site is locked", (published, ("share", published, "10"), True),
                 "is being changed by another"),
                ("share of a release that went to everyone",
                 (published, ("share", published, "10"), False), "is not staged"),
                ("share above 100", (published, ("share", published, "101"), False),
                 "is not a whole percentage from 0 to 100"),
                ("a security fix staged", (published, ("publish", "--critical", "--share", "10", self.out, published),
                                           False), "argument --share: not allowed with argument --critical"),
                ("share over a rollout whose previous is the staged release",
                 (hand_edited("previous = 0001\nshare = 10"), ("share", hand_edited(), "50"), False),
                 "previous names the staged release 0001 itself"),
                ("share over a rollout whose release before cannot be loaded",
                 (hand_edited("previous = 0000\nshare = 10"), ("share", hand_edited(), "50"), False),
                 "release 0000 of the rollout cannot be loaded"),
                ("share over a rollout.ini past its 4 KiB",
                 (hand_edited("previous = 0000\nshare = 10\n" + "#" * 4096), ("share", hand_edited(), "50"), False),
                 "above the cap of 4096"),
                ("share over a rollout watched from no time",
                 (hand_edited("previous = 0000\nshare = 10\nwatched_from = soon"), ("share", hand_edited(), "50"),
                  False), "watched_from 'soon' is not a time with its zone"),
                ("share over a rollout whose share is a digit int() does not read",
                 (hand_edited("previous = 0000\nshare = \u00b2"), ("share", hand_edited(), "50"), False),
                 "share '\u00b2' is not a whole percentage"),
                ("status of a mistyped site", (typo, ("status", typo), False),
                 "no such site folder")):
            with self.subTest(name):
                if isinstance(command, dict):
                    out = os.path.join(w, "refused")
                    result = self.package(out, *command.pop("options", ()), **command)
                    self.assertFalse(os.path.exists(os.path.join(out, "server")))
                else:
                    site, arguments, locked = command
                    before = site_state(site)
                    with lock_held(site if locked else None):
                        result = run(*arguments)
                    self.assertEqual(site_state(site), before)
                self.assertNotEqual(result.returncode, 0, result.stderr)
                self.assertIn(says, result.stderr)
        # status says what is wrong with such a rollout, and goes on.
        said = run("status", hand_edited(), "--log", os.path.join(w, "no-log"))
        self.assertEqual(said.returncode, 0, said.stderr)
        self.assertIn("  rollout: ", said.stdout)
        self.assertIn("share '\u00b2' is not a whole percentage", said.stdout)
        first, last = re.search(r"(\d{4}-\d\d-\d\d) to (\d{4}-\d\d-\d\d)", said.stdout).groups()
        self.assertEqual((datetime.date.fromisoformat(last) - datetime.date.fromisoformat(first)).days, 13)  # 14 days

    def test_concurrent_rollbacks_take_turns(self):
        # Five releases, four rollbacks at once: each either goes back one release or is
        # refused for the lock, never two that read the same current release.
        site = make_site(os.path.join(self.work.name, "busy-site"))
        self.assertEqual(run("publish", self.out, site).returncode, 0)
        for release in ("0002", "0003", "0004", "0005"):
            shutil.copytree(os.path.join(site, "releases", "0001"), os.path.join(site, "releases", release))
        os.remove(os.path.join(site, "current"))
        os.symlink("releases/0006", os.path.join(site, "current"))
        shutil.copytree(os.path.join(site, "releases", "0001"), os.path.join(site, "releases", "0006"))
        # The switch itself happens under the lock: one that took the lock meanwhile would
        # have read the release before it.
        switch, seen = site_module.Site.switch, []

        def switch_seeing_the_lock(self, release):
            fd = os.open(os.path.join(self.path, ".lock"), os.O_RDWR)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                seen.append("free")
            except BlockingIOError:
                seen.append("held")
            finally:
                os.close(fd)
            switch(self, release)

        with unittest.mock.patch.object(site_module.Site, "switch", switch_seeing_the_lock), \
                contextlib.redirect_stdout(io.StringIO()):
            self.assertEqual(release_tool.main(["rollback", "--service", "none", site]), 0)
        self.assertEqual((seen, os.readlink(os.path.join(site, "current"))), (["held"], "releases/0005"))
        rollbacks = [subprocess.Popen([sys.executable, COMMAND, "rollback",
                                       "--service", "none", site], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE, text=True) for _ in range(4)]
        refusals = [p.communicate(timeout=TIMEOUT)[1] for p in rollbacks]
        for process, stderr in zip(rollbacks, refusals):
            self.assertIn(process.returncode, (0, 1))
            self.assertTrue(process.returncode == 0 or "is being changed by another" in stderr, stderr)
        went_back = sum(p.returncode == 0 for p in rollbacks)
        self.assertEqual(os.readlink(os.path.join(site, "current")), f"releases/{5 - went_back:04d}")

    def test_a_signing_key_must_reach_every_published_build(self):
        """Keys P and R: 51081 carries P, 51091 P and R (both signed by P), 51101 R alone
        (signed by R); a rollback to 51091. Players on 51101 then take only releases
        signed by R, whichever release the site serves."""
        w = self.work.name
        site = make_site(os.path.join(w, "rotated-site"))
        p, r = (self.key, self.public), (os.path.join(w, "r.pem"), make_key(os.path.join(w, "r.pem")))

        def package(step, carried, signer, at=site):  # modules of build 51081 + step carrying those keys
            out = os.path.join(w, f"rotated-{step}-{len(carried)}-{signer[1][:4]}-{os.path.basename(at)}")
            asi = keyed_modules(out + ".asi", signer[1], step, keys=[k[1] for k in carried])
            return out, self.package(out, asi=asi, key=signer[0], site=at)

        def published(step, carried, signer):
            out, result = package(step, carried, signer)
            self.assertEqual(result.returncode, 0, result.stderr)
            return run("publish", out, site)

        unreadable = os.path.join(w, "unreadable-site")
        stranded = (f"players on {W7 + 20} (release 0003) carry only {r[1][:16]}...: they would refuse it "
                    f"(SIGNATURE_ERROR) and never update again; sign with {r[1][:16]}...\n")
        for name, step, code, says in (
                ("51081 carrying P, signed by P", lambda: published(0, [p], p), 0, "published release 0001"),
                ("51091 carrying P and R, signed by P", lambda: published(10, [p, r], p), 0, "published release 0002"),
                ("51101 carrying R, signed by R", lambda: published(20, [r], r), 0, "published release 0003"),
                ("a rollback to 51091 over the link a stopped switch left",
                 lambda: (os.symlink("releases/0001", os.path.join(site, ".current.new")),
                          run("rollback", site, "0002"))[-1], 0, "from release 0003 to 0002"),
                ("51111 carrying P, signed by P, packaged", lambda: package(30, [p], p)[1], 1, stranded),
                ("51111 carrying P, signed by P, published",
                 lambda: run("publish", package(30, [p], p, at=self.empty_site)[0], site), 1, stranded),
                ("a module of the site that cannot be read",
                 lambda: (shutil.copytree(site, unreadable, symlinks=True),
                          os.remove(os.path.join(unreadable, "releases", "0001", "w7", "Murmelon_W_7_D.asi")),
                          run("publish", package(30, [p, r], r, at=self.empty_site)[0], unreadable))[-1], 1,
                 f"the keys of build {W7}'s players are unknown"),
                ("51111 carrying P and R, signed by R", lambda: published(30, [p, r], r), 0,
                 f"note: players still on {W7} (release 0001) take")):
            with self.subTest(name):
                before = site_state(site)
                result = step()
                self.assertEqual(result.returncode, code, result.stderr)
                self.assertIn(says, result.stdout if code == 0 else result.stderr)
                if code:
                    self.assertEqual(site_state(site), before)
        # Per key, the builds that carry it, in the list and in the status: R reaches every
        # player now, P does not.
        for listed in (run("list", site).stdout,
                       run("status", site, "--log", os.path.join(site, "no-log")).stdout):
            self.assertLessEqual(max(map(len, listed.split("\n"))), 100, listed)
            listed = " ".join(listed.split()) + " "  # lines broken to fit the terminal
            self.assertIn(f" {p[1]}: {W7} {W7 + 1} {W7 + 10} {W7 + 11} {W7 + 30} {W7 + 31} (not {W7 + 20} {W7 + 21}) ",
                          listed)
            self.assertIn(f" {r[1]}: {W7 + 10} {W7 + 11} {W7 + 20} {W7 + 21} {W7 + 30} {W7 + 31} (not {W7} {W7 + 1}) ",
                          listed)
            self.assertNotIn("no key", listed)  # every build carries one
        # The list names each flavour a release holds (w7 first, then xp below it).
        self.assertRegex(" ".join(run("list", site).stdout.split()), rf"^0001: w7: build {W7} .* xp: build {W7 + 1} .* 0002: ")

    def test_version_and_news_from_the_command_line(self):
        news_file = os.path.join(self.work.name, "news.txt")
        with open(news_file, "w", encoding="utf-8") as file:
            file.write("Исправлена запись голоса.\n")
        notes_news = read(os.path.join(self.out, "server", "xp", "news.txt"))
        for options, news in ((("--version", "1.2 (Sep 2013)", "--news-file", news_file), read(news_file)),
                              (("--version", "1.2 (Sep 2013)"), notes_news)):  # the news of the notes file
            with self.subTest(options):
                out = os.path.join(self.work.name, f"options-{len(options)}")
                result = self.package(out, *options)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(read(os.path.join(out, "server", "xp", "news.txt")), news)
                self.assertIn(b"version = 1.2 (Sep 2013)\n", read(os.path.join(out, "server", "xp", "release.ini")))

    def test_publishing_keeps_every_release_switches_and_rolls_back(self):
        w = self.work.name
        site = make_site(os.path.join(w, "site"))
        newer_out = os.path.join(w, "newer")
        umask = os.umask(0o077)  # a maintainer's own: nginx, another user, still reads every answer
        try:
            result = run("publish", self.out, site)
        finally:
            os.umask(umask)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(modes(os.path.join(site, "releases")), {("folder", 0o755), ("file", 0o644)})
        self.assertRegex(result.stdout, r"published release 0001\nnow current in .*current \(release 0001\); "
                                        rf"the service was not asked:\n  w7: build {W7} (.|\n)*?signed by key")
        newer_asi = keyed_modules(os.path.join(w, "asi-newer"), self.public, 10)
        newer = self.package(newer_out, asi=newer_asi, site=site)
        self.assertEqual(newer.returncode, 0, newer.stderr)

        frozen = os.path.join(w, "frozen")  # a service that does not follow the site
        shutil.copytree(os.path.join(site, "releases", "0001"), frozen)
        server, stuck = Server(os.path.join(site, "current"), w), Server(frozen, make_site(frozen + "-server"))
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

            def interrupted():  # stopped after its folder's rename, before the switch; an
                # earlier one stopped while it copied, leaving its folder (gone after this one)
                os.makedirs(os.path.join(site, "releases", ".0003.k2x9_q", "w7"))
                os.symlink("releases/0001", os.path.join(site, "new"))
                os.replace(os.path.join(site, "new"), os.path.join(site, "current"))
                return run("publish", newer_out, site, service=f"127.0.0.1:{server.port}")

            blind = []  # a service over release 0002 itself, which knows nothing of its rollout

            def share_blind(share):
                blind.append(Server(os.path.join(site, "releases", "0002"), make_site(os.path.join(w, "blind"))))
                return run("share", site, str(share), service=f"127.0.0.1:{blind[0].port}")

            def away(release_id, step):  # the step runs while that release is out of releases/
                os.rename(os.path.join(site, "releases", release_id), os.path.join(w, "away"))
                try:
                    return step()
                finally:
                    os.rename(os.path.join(w, "away"), os.path.join(site, "releases", release_id))

            live, dead = f"127.0.0.1:{server.port}", f"127.0.0.1:{stuck.port}"
            next_answer = f"BUILD:{W7_NEXT}".encode()
            # The smallest share that takes in the player served() asks as.
            share = int(rollout.position(SERIAL, W7_NEXT)) + 1
            for name, step, code, release, answer, says in (
                    ("publish staged, paused", lambda: run("publish", "--share", "0", newer_out, site, service=live),
                     0, "0002", b"LATEST_VERSION", f"w7: build {W7_NEXT} to 0% of players, the others keep build {W7} "
                                                   f"(release 0001)"),
                    ("another staged over it", lambda: run("publish", "--share", "10", newer_out, site, service=live),
                     1, None, b"LATEST_VERSION", "release 0002 is still staged to 0% of players"),
                    (f"widened to {share}%, the service does not follow the rollout", lambda: share_blind(share),
                     1, "0002", next_answer, f"outside the {share}% share of w7 got 'BUILD:{W7_NEXT}"),
                    ("widened to everyone while the release before is away", lambda: away(
                        "0001", lambda: run("share", site, "100", service=live)),
                     0, "0002", next_answer, f"release 0002: from {share}% of players to 100%"),
                    ("publish again after it ran to its end", lambda: run("publish", newer_out, site, service=live),
                     0, "0002", next_answer, "release 0002 already holds this release and is current"),
                    ("asked again with no service listening",
                     lambda: run("publish", newer_out, site, service="127.0.0.1:1"), 0, "0002", next_answer,
                     "current (release 0002); no service answers at 127.0.0.1:1\n"),
                    ("rollback", lambda: run("rollback", site, service=live), 0, "0001",
                     b"LATEST_VERSION", "the rollout of release 0002 ended"),
                    ("rollback the service does not take", lambda: run("rollback", site, "0002",
                                                                       service=dead),
                     1, "0002", next_answer, f"NOT served"),
                    ("publish again after an interrupted one", interrupted, 0, "0002", next_answer,
                     "release 0002 already holds this release")):
                with self.subTest(name):
                    result = step()
                    self.assertEqual(result.returncode, code, result.stderr)
                    if release:
                        self.assertIn(f"(release {release})", result.stdout)
                    self.assertIn(says, result.stdout + result.stderr)
                    self.assertTrue(served("Murmelon_W_7_D", W7).startswith(answer), name)
            self.assertIn(f"did not take release 0002: to build {W7_NEXT} of w7 it answered 'FUTURE_VERSION'",
                          run("rollback", site, "0002", service=dead).stderr)
            self.assertEqual(sorted(os.listdir(os.path.join(site, "releases"))), ["0001", "0002"])
            self.assertRegex(run("list", site).stdout, rf"^  0001: w7: build {W7} (.|\n)*\n\* 0002: w7: build {W7_NEXT} ")
        finally:
            for one in [server, stuck] + blind:
                one.stop()
        # After a rollback another release of the withdrawn build is refused, naming the way back.
        other = self.package(os.path.join(w, "other-newer"), "--version", "1.2 other", asi=newer_asi)
        self.assertEqual(other.returncode, 0, other.stderr)
        run("rollback", site)
        again = run("publish", os.path.join(w, "other-newer"), site)
        self.assertEqual(again.returncode, 1)
        self.assertIn(f"not above build {W7_NEXT} of release 0002, which is above the served release 0001", again.stderr)
        self.assertIn(f"murmelon-release rollback {site} 0002", again.stderr)
        with open(os.path.join(w, "server.log")) as log:
            self.assertRegex(log.read(), rf"now serving .*/releases/0002: w7: build {W7_NEXT} ")


if __name__ == "__main__":
    unittest.main()
