"""The update service (murmelon_update.app under tools/update_server.py): its answers
byte for byte, the release checks that keep the plug-in's markers out of served texts and
unverified modules off the wire, switching releases, a release staged to a share of the
players, the players' keyed digests in the log, what the status reads from the log, and
the server's command line."""

import datetime
import gzip
import hashlib
import hmac
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import unittest.mock

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SERVER_SCRIPT = os.path.join(ROOT, "tools", "update_server.py")

import update_server  # tools/, on PYTHONPATH as CTest sets it
from murmelon_update import app as update_app, files, player_key, release, rollout, status, status_page, \
    status_text

MODULE_W7 = b"MZ\x90\x00" + bytes(range(256)) * 40
MODULE_XP = b"MZ\x90\x00XP" + bytes(range(255, -1, -1)) * 40
SERIAL = hashlib.md5(b"-1056969215").hexdigest()
OLD = hashlib.md5(b"old module").hexdigest()


def quiet(text):
    pass


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as file:
        file.write(data if isinstance(data, bytes) else data.encode("utf-8"))


def make_release(root, folder, build, suffix, module, news="Новое.\n", version="1.1", news_name=None,
                 **fields):
    if news_name:
        fields["news"] = news_name
    return release.write_release(os.path.join(root, folder), build, module, version, news,
                                        suffix=suffix, fields=fields)


class SigningKey:
    """An Ed25519 key made for the test run, and signatures by the openssl command."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "key.pem")
        subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", self.path], check=True,
                       capture_output=True, timeout=30)
        der = subprocess.run(["openssl", "pkey", "-in", self.path, "-pubout", "-outform", "DER"],
                             check=True, capture_output=True, timeout=30).stdout
        self.public = der[-32:].hex()

    def sign(self, message):
        with tempfile.NamedTemporaryFile() as file:  # one-shot signing needs a sized input
            file.write(message)
            file.flush()
            return subprocess.run(["openssl", "pkeyutl", "-sign", "-rawin", "-inkey", self.path, "-in", file.name],
                                  check=True, capture_output=True, timeout=30).stdout.hex()

    def fields(self, deliverable, build, module, signature=None):
        signature = signature or self.sign(release.signed_message(deliverable, build, module))
        return {"deliverable": deliverable, "public_key": self.public, "signature": signature}


def ask(port, raw):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as connection:
        connection.sendall(raw)
        answer = b""
        while True:
            piece = connection.recv(65536)
            if not piece:
                return answer
            answer += piece


def request(port, a, b, d, c=None, path="/Murmelon/CheckUpdate_v2.php"):
    c = hashlib.md5((a + b).encode()).hexdigest() if c is None else c
    return ask(port, f"GET {path}?mode=debug&a={a}&b={b}&c={c}&d={d} HTTP/1.0\r\n"
                     f"Host: 127.0.0.1:{port}\r\n\r\n".encode())


def check(app, a, b, build, report="", **headers):
    """(status, headers without the log's, body) of a check through the WSGI application,
    and the words it logs; `report` follows the query as the plug-in's run report."""
    query = f"a={a}&b={b}&c={hashlib.md5((a + b).encode()).hexdigest()}&d={build}{report}"
    environ = {"PATH_INFO": release.CHECK_PATH, "REQUEST_METHOD": "GET", "QUERY_STRING": query, **headers}
    started = []
    body = b"".join(app(environ, lambda status, headers: started.append((status, headers))))
    status, headers = started[0]
    words = dict(headers)[update_app.LOG_HEADER]
    return (status, [h for h in headers if h[0] != update_app.LOG_HEADER], body), words


def split(answer):
    head, _, rest = answer.partition(b"\r\n\r\n")
    return head, rest


class Served:
    """tools/update_server.py's server in this process, over a releases folder."""

    def __init__(self, folder):
        self.app = update_app.UpdateApp(folder, log=quiet)
        self.server = update_server.Server(("127.0.0.1", 0), update_server.RequestHandler)
        self.server.set_app(self.app)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class ServedAnswers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        update_server.log = quiet
        cls.folder = tempfile.TemporaryDirectory()
        cls.key = SigningKey(cls.folder.name)
        make_release(cls.folder.name, "w7", 51091, "1", MODULE_W7,
                     news="Голосовой чат.\nThanks.", version="1.1 (Sep 02 2013)")
        make_release(cls.folder.name, "xp", 51092, "2", MODULE_XP,
                     **cls.key.fields("Murmelon_W_XP_D", 51092, MODULE_XP))
        cls.served = Served(cls.folder.name)
        cls.port = cls.served.port

    @classmethod
    def tearDownClass(cls):
        cls.served.stop()
        cls.folder.cleanup()

    def verdict(self, *args, **kwargs):
        head, rest = split(request(self.port, *args, **kwargs))
        # The plug-in searches the whole answer: the head must hold no marker.
        self.assertIsNone(release.find_marker(head), head)
        self.assertNotIn(update_app.LOG_HEADER.lower().encode(), head.lower())
        return rest

    def test_an_older_build_gets_its_flavour_newest_module(self):
        answer = request(self.port, OLD, SERIAL, 51081)
        digest = hashlib.md5(MODULE_W7).hexdigest().encode()
        expected_body = (b"SAVETO:Murmelon_W_7_D.asi.newMD5:" + digest + "WHATNEW:Голосовой чат.\nThanks."
                         .encode() + b"VERSION:1.1 (Sep 02 2013)DATA:" + MODULE_W7)
        head, body = split(answer)
        self.assertEqual(body, expected_body)
        self.assertTrue(head.startswith(b"HTTP/1.0 200 OK\r\n"), head)
        self.assertIn(f"\r\nContent-Length: {len(expected_body)}".encode(), head)
        self.assertIsNone(release.find_marker(head), head)

    def test_a_signed_release_sends_its_build_and_signature_first(self):
        body = self.verdict(OLD, SERIAL, 51082)
        signature = self.key.sign(release.signed_message("Murmelon_W_XP_D", 51092, MODULE_XP))
        digest = hashlib.md5(MODULE_XP).hexdigest()
        self.assertEqual(body, f"BUILD:51092SIGNATURE:{signature}SAVETO:Murmelon_W_XP_D.asi.newMD5:{digest}"
                               "WHATNEW:Новое.\nVERSION:1.1DATA:".encode() + MODULE_XP)

    def test_verdicts(self):
        for a, d, expected in (
                (OLD, 51091, b"LATEST_VERSION"),                                # its build
                (hashlib.md5(MODULE_W7).hexdigest(), 51081, b"LATEST_VERSION"),  # its bytes
                ("", 51101, b"FUTURE_VERSION"),
                (OLD.upper(), 51081, b"ERROR"),
                (OLD, "51081x", b"ERROR"),
                (OLD, 51083, b"ERROR"),                                          # no such flavour
                (OLD, "051081", b"ERROR"), (OLD, "01", b"ERROR")):              # no build the plug-in sends
            self.assertEqual(self.verdict(a, SERIAL, d), expected, (a, d))
        self.assertEqual(self.verdict(OLD, SERIAL, 51081, c="0" * 32), b"ERROR")
        self.assertEqual(self.verdict(OLD, SERIAL.upper(), 51081), b"ERROR")
        # An unreadable module file sends an empty a; that alone is no reason to refuse.
        self.assertTrue(self.verdict("", SERIAL, 51081).startswith(b"SAVETO:"))

    def test_nothing_but_the_answer_holds_a_marker(self):
        # Other paths, other methods, broken requests: nothing the plug-in would read.
        for raw in (b"GET /other HTTP/1.0\r\n\r\n", b"POST /Murmelon/CheckUpdate_v2.php HTTP/1.0\r\n\r\n",
                    b"GET /x HTTP/1.0ERROR\r\n\r\n", b"BREW\r\n\r\n", b"GET /" + b"x" * 9000 + b" HTTP/1.0\r\n\r\n"):
            answer = ask(self.port, raw)
            self.assertRegex(answer, rb"^HTTP/1.0 4\d\d ", raw[:40])
            self.assertIsNone(release.find_marker(answer), answer)

    def test_a_failing_application_answers_without_a_marker(self):
        releases, self.served.app.releases = self.served.app.releases, None  # decide() fails
        stderr, sys.stderr = sys.stderr, open(os.devnull, "w")  # where the server puts the trace
        try:
            answer = request(self.port, OLD, SERIAL, 51081)
        finally:
            self.served.app.releases = releases
            sys.stderr.close()
            sys.stderr = stderr
        self.assertTrue(answer.startswith(b"HTTP/1.0 503 "), answer)
        self.assertIsNone(release.find_marker(answer), answer)


class ReleaseChecks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.key = SigningKey(cls.work.name)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def refused(self, says="", change=lambda folder: None, **kwargs):
        """A release made from kwargs, then changed, is refused within 10 s, saying `says`."""
        with tempfile.TemporaryDirectory() as root:
            change(make_release(root, "w7", kwargs.pop("build", 51091), kwargs.pop("suffix", "1"),
                                kwargs.pop("module", MODULE_W7), **kwargs))
            outcome = []
            loading = threading.Thread(target=lambda: outcome.append(self.load(root)), daemon=True)
            loading.start()
            loading.join(10)
            self.assertEqual(len(outcome), 1, "the load still runs after 10 s")
            self.assertIsInstance(outcome[0], release.ReleaseError)
            self.assertIn(says, f"{outcome[0]}")

    @staticmethod
    def load(root):
        try:
            return release.load_flavours(root)
        except release.ReleaseError as error:
            return error

    def test_texts_that_would_change_the_plug_in_verdict_are_refused(self):
        for news in ("Fixed an Error in voice.", "see latest_version", "a VERSION: inside",
                     "md5: abc", "Build: 5", "zero\x00byte"):
            self.refused(news=news)
        self.refused(version="2.0 data: x")
        self.refused(version="2.0 Signature: x")
        self.refused(module=b"MZERROR\x00")

    def test_unsafe_download_names_are_refused(self):
        # Non-ASCII would reach the player under another code page, and longer in bytes.
        for name in ("../x.asi", "C:x", "sub/x", "x.", "NUL.asi", "stufftata.btz", "xMD5:y",
                     "модуль.asi", "x" * 201):
            self.refused(save_as=name)

    def test_files_outside_the_release_folder_are_refused(self):
        outside = os.path.join(self.work.name, "outside.txt")
        write(outside, "Новое.\n")
        for name in ("../outside.txt", outside, ".", "w7/news.txt"):
            self.refused(news_name=name)
        with tempfile.TemporaryDirectory() as root:
            make_release(root, "w7", 51091, "1", MODULE_W7)
            os.remove(os.path.join(root, "w7", "news.txt"))
            os.remove(os.path.join(root, "w7", release.ANSWER_FILE))
            os.symlink(outside, os.path.join(root, "w7", "news.txt"))
            with self.assertRaisesRegex(release.ReleaseError, "outside"):
                release.load_flavours(root)

    def test_signatures_that_do_not_verify_are_refused(self):
        good = self.key.sign(release.signed_message("Murmelon_W_7_D", 51091, MODULE_W7))
        flipped = ("0" if good[0] != "0" else "1") + good[1:]
        other_name = self.key.sign(release.signed_message("Murmelon_W_XP_D", 51091, MODULE_W7))
        other_build = self.key.sign(release.signed_message("Murmelon_W_7_D", 51081, MODULE_W7))
        for name, fields in (
                ("flipped", self.key.fields("Murmelon_W_7_D", 51091, MODULE_W7, flipped)),
                ("another deliverable", self.key.fields("Murmelon_W_7_D", 51091, MODULE_W7, other_name)),
                ("another build", self.key.fields("Murmelon_W_7_D", 51091, MODULE_W7, other_build)),
                ("truncated", self.key.fields("Murmelon_W_7_D", 51091, MODULE_W7, good[:-2])),
                ("no key", {"deliverable": "Murmelon_W_7_D", "signature": good}),
                ("the key in upper case", dict(self.key.fields("Murmelon_W_7_D", 51091, MODULE_W7, good),
                                               public_key=self.key.public.upper(), says="and public_key (64)")),
                ("XP name on Windows 7 builds", self.key.fields("Murmelon_W_XP_D", 51091, MODULE_W7))):
            with self.subTest(name):
                self.refused(**fields)
        self.refused(module=MODULE_W7 + b"x", **self.key.fields("Murmelon_W_7_D", 51091, MODULE_W7))
        with tempfile.TemporaryDirectory() as root:  # and the good one loads
            make_release(root, "w7", 51091, "1", MODULE_W7, **self.key.fields("Murmelon_W_7_D", 51091, MODULE_W7))
            self.assertEqual(release.load_flavours(root)[0].signature, good)

    def test_the_answer_file_is_read_again_only_once_it_changed(self):
        """An update answer costs the same whatever the module's size: the answer file is
        read at the load, then again only when its identity changes. While it holds the
        answer the front server sends it (X-Accel-Redirect); else the answer goes from
        memory, and the log says so once."""
        with tempfile.TemporaryDirectory() as root, \
                unittest.mock.patch.object(files, "SETTLED_NS", -1), \
                unittest.mock.patch.object(files, "digest", wraps=files.digest) as digest:
            make_release(root, "w7", 51091, "1", MODULE_W7)
            lines = []
            app = update_app.UpdateApp(root, log=lines.append, files=root)
            loaded = app.releases[0]
            path = os.path.join(root, "w7", release.ANSWER_FILE)
            before = os.stat(path)

            def rewrite_in_place():  # other bytes of the same length, the time put back
                with open(path, "r+b") as file:
                    file.seek(-4, os.SEEK_END)
                    file.write(b"XXXX")
                os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))

            for name, change, answer, reads in (  # what (holds, other bytes than at the last read), reads
                    ("loaded", lambda: None, (True, False), 0),
                    ("rewritten in place", rewrite_in_place, (False, True), 1),
                    ("as it was then", lambda: None, (False, False), 0),
                    ("written again whole", lambda: release.write_answer(os.path.join(root, "w7"), loaded),
                     (True, True), 1)):
                with self.subTest(name):
                    change()
                    digest.reset_mock()
                    del lines[:]
                    (_, headers, body), _ = check(app, OLD, SERIAL, 51081)
                    self.assertEqual(dict(headers).get("X-Accel-Redirect") or body[:7],
                                     "/murmelon-files/w7/update.answer" if answer[0] else b"SAVETO:")
                    self.assertEqual(len(lines), answer == (False, True), lines)
                    self.assertEqual([loaded.answer_file_holds() for _ in range(49)], [(answer[0], False)] * 49)
                    self.assertEqual(digest.call_count, reads)
            # A request the front server would answer from the file itself gets it from memory.
            (_, _, body), _ = check(app, OLD, SERIAL, 51081, HTTP_IF_NONE_MATCH="*")
            self.assertEqual(body, loaded.answer_head + MODULE_W7)

    def test_inconsistent_releases_are_refused(self):
        self.refused(build=51092)  # does not end in its own suffix
        for build in ("1000000001", "051091", "-51091"):  # more than the plug-in reads, or misread
            self.refused(build=build)
        with tempfile.TemporaryDirectory() as root:  # an answer file that is not this release's
            make_release(root, "w7", 51091, "1", MODULE_W7)
            write(os.path.join(root, "w7", release.ANSWER_FILE), b"SAVETO:")
            with self.assertRaisesRegex(release.ReleaseError, "does not hold this release's answer"):
                release.load_flavours(root)
        for build, suffix in ((51001, "01"), (51093, "3"), (51091, " ")):  # a flavour's players get nothing
            self.refused(f"suffix {suffix.strip()!r} is not a flavour's digit", build=build, suffix=suffix)
        with tempfile.TemporaryDirectory() as root:  # two claims on the same builds
            make_release(root, "a", 51001, "1", MODULE_W7)
            make_release(root, "b", 51101, "1", MODULE_XP)
            with self.assertRaisesRegex(release.ReleaseError, "claim the same builds"):
                release.load_flavours(root)

    def test_what_the_plug_in_cannot_take_or_a_read_could_hang_on_is_refused(self):
        def replace(name, make):
            def change(folder):
                os.remove(os.path.join(folder, name))
                make(os.path.join(folder, name))
            return change

        def sparse(size):
            return lambda path: os.truncate(os.open(path, os.O_WRONLY | os.O_CREAT), size)

        cap, head_cap = release.MODULE_CAP, release.ANSWER_HEAD_CAP
        news_cap = head_cap - len(b"SAVETO:Murmelon_W_7_D.asi.newMD5:" + b"0" * 32 + b"WHATNEW:VERSION:1.1DATA:")
        for name, kwargs, says in (
                # The plug-in gives up on an answer whose DATA: lies past 64 KiB.
                ("news of 70,000 characters", {"news": "n" * 70000}, f"is 70000 bytes, above the cap of {head_cap}"),
                ("news one byte too long", {"news": "n" * (news_cap + 1)},
                 f"the answer before the module is {head_cap + 1} bytes"),
                ("a module above the cap, not read", {"change": replace("Murmelon_W_7_D.asi", sparse(2 ** 33))},
                 f"is {2 ** 33} bytes, above the cap of {cap}"),
                ("a news text above the cap, not read", {"change": replace("news.txt", sparse(2 ** 33))},
                 f"is {2 ** 33} bytes, above the cap of {head_cap}"),
                ("a release.ini past its 64 KiB", {"change": replace("release.ini", sparse(64 * 1024 + 1))},
                 f"is {64 * 1024 + 1} bytes, above the cap of {64 * 1024}"),
                ("news that is a FIFO", {"change": replace("news.txt", os.mkfifo)}, "is not a regular file"),
                ("release.ini that is a FIFO", {"change": replace("release.ini", os.mkfifo)}, "is not a regular file"),
                ("a module that is a folder", {"change": replace("Murmelon_W_7_D.asi", os.mkdir)},
                 "is not a regular file")):
            with self.subTest(name):
                self.refused(says, **kwargs)
        with tempfile.TemporaryDirectory() as root:  # and the longest news that fits loads
            make_release(root, "w7", 51091, "1", MODULE_W7, news="n" * news_cap)
            self.assertEqual(len(release.load_flavours(root)[0].answer_head), head_cap)


class Switching(unittest.TestCase):
    def test_the_service_follows_the_link_and_keeps_what_it_loaded_whole(self):
        """Each step changes the site, then asks as a Windows 7 and a Windows XP player of
        an old build would: the verdicts show what is served."""
        with tempfile.TemporaryDirectory() as site:
            def release(name, w7_build, xp_build=None, **w7):
                make_release(os.path.join(site, name), "w7", w7_build, "1", MODULE_W7 + name.encode(), **w7)
                if xp_build:
                    make_release(os.path.join(site, name), "xp", xp_build, "2", MODULE_XP + name.encode())

            def point(target):
                os.symlink(target, os.path.join(site, "new"))
                os.replace(os.path.join(site, "new"), os.path.join(site, "current"))

            def cut(name):  # a module truncated in place
                with open(os.path.join(site, name, "w7", "Murmelon_W_7_D.asi"), "r+b") as file:
                    file.truncate(100)

            release("1", 51091, 51092)
            release("2", 51101, 51102)
            release("3", 51111, news="an error")
            lines = []
            old = update_app.RETRY_SECONDS
            update_app.RETRY_SECONDS = 0.3
            self.addCleanup(setattr, update_app, "RETRY_SECONDS", old)
            point("1")
            cut("1")
            apps = []

            def served(build):  # asked as the player of release 2's build
                (status, _, body), _ = check(apps[0], "", SERIAL, build)
                return body[:14] if status.startswith("200") else status[:3].encode()

            future, latest, error = b"FUTURE_VERSION", b"LATEST_VERSION", b"ERROR"

            def booted_on_1_then_2_cut():  # as a gunicorn master left on 1 forks a new worker
                point("1")
                apps.insert(0, update_app.UpdateApp(os.path.join(site, "current"), log=lines.append))
                cut("2")
                point("2")

            steps = (  # what changes, then (Windows 7, XP, a build of no flavour), what the log says
                ("boot on a cut w7 module",
                 lambda: apps.append(update_app.UpdateApp(os.path.join(site, "current"), log=lines.append)),
                 (b"503", future, b"503"),
                 r"^cannot load all of .*/1 .*answer.*; still serving xp: build 51092"),
                ("repaired, not yet tried again", lambda: release("1", 51091, 51092), (b"503", future, b"503"),
                 None),
                ("tried again after the delay", lambda: time.sleep(0.4), (future, future, error),
                 r"^now serving .*/1: w7: build 51091 .*; xp: build 51092 "),
                ("switched to a release whose w7 is cut", lambda: (cut("2"), point("2")),
                 (b"503", latest, b"503"), r"^cannot load all of .*/2 .*; still serving xp: build 51102 [^;]*$"),
                ("back to the release served whole", lambda: point("1"), (future, future, error),
                 r"^now serving .*/1: w7: build 51091 .*; xp: build 51092 "),
                ("repaired, switched, reloaded", lambda: (release("2", 51101, 51102), point("2"), apps[0].reload()),
                 (latest, latest, error), r"^now serving .*/2: w7: build 51101 "),
                ("switched to a refused release", lambda: point("3"), (b"503", b"503", b"503"),
                 r"^cannot load all of .*/3 .*contains 'error'; still serving nothing$"),
                ("the link gone", lambda: os.remove(os.path.join(site, "current")),
                 (b"503", b"503", b"503"), r"^cannot load all of .*current.*still serving nothing$"),
                ("a process that loaded 1 whole follows to a 2 whose w7 is cut", booted_on_1_then_2_cut,
                 (b"503", latest, b"503"), r"^cannot load all of .*/2 .*; still serving xp: build 51102 [^;]*$"))
            for name, change, answers, logged in steps:
                with self.subTest(name):
                    del lines[:]
                    change()
                    self.assertEqual((served(51101), served(51102), served(51103)), answers)
                    if logged:
                        self.assertRegex(lines[-1], logged)


class StagedRelease(unittest.TestCase):
    def test_the_share_function(self):
        serials = [hashlib.md5(str(i).encode()).hexdigest() for i in range(20000)]

        def group(build, share):
            return {s for s in serials if rollout.in_share(s, build, share)}

        for share, low, high in ((0, 0, 0), (1, 0.007, 0.013), (10, 0.09, 0.11), (99, 0.987, 0.993), (100, 1, 1)):
            self.assertTrue(low <= len(group(51091, share)) / len(serials) <= high, share)
        self.assertLessEqual(group(51091, 10), group(51091, 50))  # in at 10% stays in at 50%
        # Each release draws its own group: two 10% groups share about 1% of the players, not 10%.
        self.assertLess(len(group(51091, 10) & group(51101, 10)) / len(serials), 0.02)

    def test_players_outside_the_share_get_the_answer_from_before(self):
        """A site that stages release 0002 (a new w7 build; xp as it was) over 0001: each
        step changes the site, then every player asks; one outside the share with a build
        below the new one must get byte for byte what it got before the publish, but one on
        the build withdrawn between the two (51091) gets the new one whatever the share. A
        rollout file a process cannot read keeps what that process read of it; a process
        that never read it offers the new build to nobody."""
        with tempfile.TemporaryDirectory() as site:
            def release(name, w7_build, w7_module):
                make_release(os.path.join(site, "releases", name), "w7", w7_build, "1", w7_module)
                make_release(os.path.join(site, "releases", name), "xp", 51082, "2", MODULE_XP)

            def point(name):
                os.symlink(f"releases/{name}", os.path.join(site, "new"))
                os.replace(os.path.join(site, "new"), os.path.join(site, "current"))

            def previous_w7(cut):  # the release before, its module cut in place, or written again
                if not cut:
                    return make_release(os.path.join(site, "releases", "0001"), "w7", 51081, "1", MODULE_W7)
                with open(os.path.join(site, "releases", "0001", "w7", "Murmelon_W_7_D.asi"), "r+b") as file:
                    file.truncate(100)

            new_module = MODULE_W7 + b"new"
            release("0001", 51081, MODULE_W7)
            release("0002", 51101, new_module)
            point("0001")
            new_digest = hashlib.md5(new_module).hexdigest()
            players = [(new_digest if i % 50 == 0 else OLD, hashlib.md5(str(i).encode()).hexdigest(),
                        (51071, 51081, 51081, 51091, 51082)[i % 5]) for i in range(500)]
            apps = [update_app.UpdateApp(os.path.join(site, "current"), log=quiet)]
            before = {p: check(apps[0], *p)[0] for p in players}
            reference = update_app.UpdateApp(os.path.join(site, "releases", "0002"), log=quiet)
            after = {p: check(reference, *p)[0] for p in players}

            def plan(share):
                rollout.write_rollout(site, "0002", "0001", share)

            def hostile(make):  # a rollout file no process can take, and a worker started over it
                os.remove(rollout.rollout_path(site))
                make(rollout.rollout_path(site))
                apps.append(update_app.UpdateApp(os.path.join(site, "current"), log=quiet))

            def text(words):
                return lambda path: write(path, "[rollout]\nrelease = 0002\n" + words)

            unavailable = ("503 Service Unavailable", [("Content-Type", "text/plain"), ("Content-Length", "12")],
                           b"unavailable\n")

            def expected(player, share, outside):
                a, b, build = player
                if outside == "all before":
                    return before[player]
                current = str(build).endswith("2") or build >= 51101 or a == new_digest
                if outside == "none offered":
                    return after[player] if current else unavailable
                withdrawn = outside == "before" and 51081 < build
                if share is None or current or withdrawn or rollout.in_share(b, 51101, share):
                    return after[player]
                return before[player] if outside == "before" else unavailable

            steps = (  # what changes; the share players are judged by (None: all get 0002), what those
                # outside it get (of any flavour, when the service cannot tell which ones 0002 changes)
                ("staged to 10%", lambda: (plan(10), point("0002")), 10, "before"),
                ("widened to 50%", lambda: plan(50), 50, "before"),
                ("xp gone from the release before, a worker starts: xp is not staged", lambda: (
                    os.rename(os.path.join(site, "releases", "0001", "xp"), os.path.join(site, "xp")), apps.append(
                        update_app.UpdateApp(os.path.join(site, "current"), log=quiet))), 50, "before"),
                ("back, paused", lambda: (os.rename(os.path.join(site, "xp"), os.path.join(site, "releases", "0001", "xp")),
                                          plan(0)), 0, "before"),
                ("the release before cut, reloaded: its copy stays", lambda: (
                    previous_w7(cut=True), plan(10), apps[-1].reload()), 10, "before"),
                ("the same in a worker that starts now", lambda: apps.append(
                    update_app.UpdateApp(os.path.join(site, "current"), log=quiet)), 10, "no verdict"),
                ("repaired, reloaded", lambda: (previous_w7(cut=False), apps[-1].reload()), 10, "before"),
                ("the release before moved away, a worker starts", lambda: (
                    os.rename(os.path.join(site, "releases", "0001"), os.path.join(site, "away")), apps.append(
                        update_app.UpdateApp(os.path.join(site, "current"), log=quiet))), 10, "no verdict, any flavour"),
                ("back, reloaded", lambda: (os.rename(os.path.join(site, "away"), os.path.join(site, "releases", "0001")),
                                            apps[-1].reload()), 10, "before"),
                ("rollout.ini a FIFO: the worker keeps what it read", lambda: (
                    os.remove(rollout.rollout_path(site)), os.mkfifo(rollout.rollout_path(site))), 10, "before"),
                ("the FIFO, a worker starts", lambda: hostile(os.mkfifo), None, "none offered"),
                ("300 MB, sparse, a worker starts", lambda: hostile(lambda path: os.truncate(
                    os.open(path, os.O_WRONLY | os.O_CREAT), 300 << 20)), None, "none offered"),
                ("previous is the staged release", lambda: hostile(text("previous = 0002\nshare = 10\n")), None,
                 "none offered"),
                ("a share of a digit Python reads but int() does not", lambda: hostile(
                    text("previous = 0001\nshare = \u00b2\n")), None, "none offered"),
                ("written again, reloaded", lambda: (plan(10), apps[-1].reload()), 10, "before"),
                ("to everyone", lambda: plan(100), 100, "before"),
                ("a rollout of another release", lambda: rollout.write_rollout(site, "0003", "0002", 10), None, "-"),
                ("staged, then rolled back", lambda: (plan(10), check(apps[-1], *players[0]), point("0001"),
                                                      rollout.remove_rollout(site)), None, "all before"))
            for name, change, share, outside in steps:
                with self.subTest(name):
                    change()
                    answers = {}
                    for player in players:
                        answers[player], words = check(apps[-1], *player)
                        self.assertEqual(answers[player], expected(player, share, outside), player)
                        self.assertNotIn(player[1], words)  # the log never holds the serial digest
                        staged = share is not None and (not str(player[2]).endswith("2") or outside.endswith("any flavour"))
                        self.assertEqual(f" share={share} " in words, staged, words)
                    if name == "staged to 10%":  # of the players below the build before, about 10% are offered it
                        below = [p for p in players if p[2] <= 51081 and p[0] != new_digest]
                        offered = sum(answers[p][2].startswith(b"SAVETO:") and answers[p] != before[p] for p in below)
                        self.assertTrue(0.07 <= offered / len(below) <= 0.13, (offered, len(below)))


class PlayerDigests(unittest.TestCase):
    def test_a_secret_serves_30_days_then_a_new_one_replaces_it(self):
        with tempfile.TemporaryDirectory() as work:
            folder = os.path.join(work, "player-keys")
            clock = [player_key.start_of("2026-12-01") + 3600.0]
            lines = []

            def keys():
                return player_key.PlayerKeys(folder, lines.append, now=lambda: clock[0])

            first, other = keys(), keys()  # two workers
            digest = first.digest(SERIAL)
            self.assertRegex(digest, r"^[0-9a-f]{16}$")
            self.assertNotEqual(digest, first.digest(OLD))
            for days, same, kept in (  # days after the first secret, whether a player keeps its digest
                    (0, True, ["2026-12-01.key"]),
                    (29.9, True, ["2026-12-01.key"]),
                    (30, False, ["2026-12-31.key"]),    # to the second
                    (45, False, ["2026-12-31.key"]),
                    (80, False, ["2027-02-19.key"]),    # the clock jumps forward,
                    (46, False, ["2027-01-16.key"])):   # and back within the minute: that day's secret goes
                with self.subTest(days=days):
                    clock[0] = player_key.start_of("2026-12-01") + days * player_key.DAY
                    self.assertEqual(first.digest(SERIAL) == digest, same)
                    self.assertEqual(other.digest(SERIAL), first.digest(SERIAL))
                    self.assertEqual(keys().digest(SERIAL), first.digest(SERIAL))  # a worker started now
                    self.assertEqual(sorted(os.listdir(folder)), kept)
            self.assertEqual(os.stat(os.path.join(folder, kept[0])).st_mode & 0o777, 0o600)
            # The log of a key's 30 days tells a player apart across a restart or an upgrade:
            # the digest is HMAC-SHA256 of the serial digest under the secret, cut to 16 digits.
            with open(os.path.join(folder, kept[0]), "rb") as key:
                self.assertEqual(first.digest(SERIAL), hmac.new(key.read(), SERIAL.encode(), "sha256").hexdigest()[:16])
            self.assertEqual(len([line for line in lines if line.startswith("new player key")]), 4, lines)
            # A folder that cannot be had, or today's key damaged: no digest, the service goes on,
            # and the log says why (never that a key was made).
            write(os.path.join(work, "file"), "x")
            damaged = os.path.join(work, "damaged")
            write(os.path.join(damaged, player_key.day_of(clock[0]) + ".key"), "short")
            for where, says in ((os.path.join(work, "file", "keys"), "cannot keep the player key in "),
                                (damaged, f"does not hold a {player_key.KEY_BYTES}-byte key (remove it)")):
                del lines[:]
                tick = [0.0]
                failing = player_key.PlayerKeys(where, lines.append, now=lambda: clock[0], steady=lambda: tick[0])
                for tick[0] in (0.0, player_key.RECHECK_SECONDS):  # tried again a minute on, said once
                    self.assertEqual(failing.digest(SERIAL), "-")
                self.assertEqual(len(lines), 1, lines)
                self.assertIn(says, lines[0])


def log_line(day, seconds, words, address="127.0.0.1"):
    """A line as nginx writes it: the service's words, then nginx's own, complete= last."""
    words, _, complete = words.partition(" complete=")
    return (f"{day}T10:00:{seconds:02d}+00:00 {address} status=200 {words} bytes=100 seconds=0.010"
            + (f" complete={complete}" if complete else "") + "\n")


class StatusFromTheLog(unittest.TestCase):
    def test_counts_per_flavour_and_day(self):
        """Five players, three days in three files (the oldest compressed): p1 installs the
        staged build, p2's install fails and it downloads again, p3's first download is cut
        and the second installs; p4 and p5 stay outside the share. Beside them what a
        careless hand or a hostile one leaves: a rotation both compressed and not (while
        logrotate compresses it), one cut short, one that is a FIFO, lines that are too
        long or hold words the service never writes. On the last day 250 players of the
        new build report their runs (5 crashed, 3 abnormal, 1 never ended), beside a report
        logged as invalid, checks of a flavour the site lacks, a client that loops on a
        failing install and crashes, and one address that forges 30 players' crashes."""
        today = datetime.date(2026, 12, 8)
        days = [(today - datetime.timedelta(days=n)).isoformat() for n in (10, 2, 1, 0)]

        def w7(client, verdict, player, served=None, share=None, complete="OK", ended=""):
            served = served or (51091 if verdict == "update" else client)
            return (f"flavour=w7 client={client} served={served} verdict={verdict}"
                    + (f" share={share}" if share is not None else "") + f" player={player}"
                    + (f" outcome={ended}" if ended else "") + f" complete={complete}")

        logs = {  # the log as logrotate leaves it: access.log.2.gz, access.log.1, access.log
            "access.log.2.gz": [(days[0], w7(51071, "update", "p1", served=51081))]
                               + [(days[1], w7(51081, "latest", p)) for p in ("p1", "p2", "p3", "p4", "p5")]
                               + [(days[1], "flavour=xp client=51082 served=51082 verdict=latest player=p9 complete=OK")],
            "access.log.1": [(days[2], w7(51081, "update", "p1", share=50)), (days[2], w7(51081, "update", "p2", share=50)),
                             (days[2], w7(51081, "update", "p3", share=50, complete="no")),
                             (days[2], w7(51081, "latest", "p4", share=50)), (days[2], w7(51081, "latest", "p5", share=50)),
                             (days[2], "flavour=- client=- verdict=refused"), (days[2], "verdict=not-found"),
                             (days[2], w7("²", "latest", "p6")), (days[2], w7("", "latest", "p6", served=51091).replace("client= ", "")), (days[2], w7("9" * 5000, "latest", "p6", served=51091)),
                             (days[2], "a=b " * 3000), (days[2], w7(51091, "latest", "p8", share=50, ended="clean"))],
            "access.log": [(days[3], w7(51091, "latest", "p1")), (days[3], w7(51081, "update", "p2")),
                           (days[3], w7(51081, "update", "p3")), (days[3], w7(51091, "latest", "p3")),
                           (days[3], w7(51081, "latest", "p4")), (days[3], w7(51081, "latest", "-")),
                           (days[3], w7(51091, "latest", "p1", ended="invalid")),
                           (days[3], "flavour=- client=51083 verdict=unknown-flavour"),
                           (days[3], "flavour=- client=51083 verdict=unknown-flavour")]
                          + [(days[3], w7(51091, "latest", f"r{i}", ended=(
                              "crashed fault=c0000005:hw.dll:0001a2b3" if i % 50 == 0 else "abnormal" if i % 100 == 1
                              else "unknown" if i == 7 else "clean")), f"192.0.2.{i % 200}") for i in range(250)]
                          + [(days[3], w7(51091, "latest", f"r{i}", ended="clean"), f"192.0.2.{i}") for i in range(10)]
                          + [(days[3], w7(51081, "update", "loop", ended="crashed fault=c0000005:-:00000000"),
                              "198.51.100.1") for _ in range(20)]
                          + [(days[3], w7(51091, "latest", f"forged{i}", ended="crashed fault=c0000005:-:00000000"),
                              "198.51.100.2") for i in range(30)]}
        with tempfile.TemporaryDirectory() as folder:
            for name, lines in logs.items():
                text = "".join(log_line(day, i % 60, *words) for i, (day, *words) in enumerate(lines))
                with (gzip.open if name.endswith(".gz") else open)(os.path.join(folder, name), "wt") as file:
                    file.write(text)
            write(os.path.join(folder, "access.log.old"), log_line(days[3], 0, w7(51081, "latest", "p7")))
            with gzip.open(os.path.join(folder, "access.log.2.gz"), "rb") as whole:
                write(os.path.join(folder, "access.log.2"), whole.read())  # being compressed: both there
            cut = gzip.compress("".join(log_line(days[0], i % 60, w7(51071, "latest", f"q{i}"))
                                        for i in range(2000)).encode())
            write(os.path.join(folder, "access.log.3.gz"), cut[:len(cut) // 2])
            os.mkfifo(os.path.join(folder, "access.log.4"))
            read = status.read_status(os.path.join(folder, "access.log"), 3, today)
            for line in (log_line(day, 0, *words) for lines in logs.values() for day, *words in lines):
                try:  # the service's own lines are read by one pattern; what it reads is what the words say
                    self.assertEqual(status.parse(line.rstrip("\n")), status.parse_words(line.rstrip("\n")), line)
                except status.Malformed:
                    self.assertRaises(status.Malformed, status.parse_words, line.rstrip("\n"))
            bomb, reading = os.path.join(folder, "bomb.gz"), files.LogReading()
            write(bomb, gzip.compress(b"\0" * (3 << 20)))
            self.assertEqual(list(files.log_lines([bomb], reading, cap=1 << 20)), [])
            # gzip's whole window: lines repeated 30 KB apart are read back as they were; a
            # last line over the cap, cut while it was written, is counted.
            far, cut_line = "".join(log_line(days[0], 0, w7(51071, "latest", os.urandom(8).hex()))
                                   for _ in range(200)) * 2, files.LogReading()
            write(os.path.join(folder, "far.gz"), gzip.compress(far.encode() + b"x" * 9000))
            self.assertEqual(list(files.log_lines([os.path.join(folder, "far.gz")], cut_line)), far.splitlines())
            self.assertEqual(cut_line.long_lines, 1)
            # The last line is read whether or not the writer ended it; an ended file adds no line.
            for text, lines in (("a\nb", ["a", "b"]), ("a\n", ["a"])):
                write(os.path.join(folder, "ends"), text)
                self.assertEqual(list(files.log_lines([os.path.join(folder, "ends")], files.LogReading())), lines)
        self.assertEqual([w.replace(folder, "LOGS") for w in read.warnings + reading.warnings], [
            "log LOGS/access.log.4 is not a regular file: not read",
            "log LOGS/access.log.3.gz ends before its end (cut while it was compressed?): read up to the cut",
            f"log LOGS/bomb.gz decompresses to more than the cap of {1 << 20} bytes: read up to there"])
        # The page's charts show the same figures: 51091's crash-free runs on the last day (its
        # axis from 95%), the second day's share of 50% at half the chart's height, its installs.
        page = status_page.page(read, "", {}, {})
        crash_free, share = (page.split(f'id="w7-{chart}"', 1)[1].split("</svg>", 1)[0] for chart in ("crash-free", "share"))
        for shown, where in (
                (f'<circle cx="138.0" cy="76.9" r="3" fill="{status_page.BUILD_COLOURS[0]}"><title>{days[3]}: '
                 f'build 51091, 98.08% of runs crash-free</title>', crash_free),
                ('end">95%</text>', crash_free), ('end">97.5%</text>', crash_free), ('end">100%</text>', crash_free),
                (f'<circle cx="102.0" cy="100.0" r="3" fill="{status_page.SHARE_COLOUR}"/>', page),
                ('end">50%</text>', share), ('end">100%</text>', share), (f"<title>{days[2]}: 1 installed</title>", page),
                (f"<title>{days[2]}: 1 failed</title>", page),
                ("<h2>Checks of builds no release of the site serves</h2>", page)):
            self.assertIn(shown, where)
        # Both headings name the log read and count its rotations; the page marks each
        # build's state by its kind.
        for names, text_says, page_says in (([], "no log", "no log"), (["L"], "L", "L"),
                                            (["L.1", "L"], "L (and 1 rotated)", "L and 1 rotated")):
            self.assertEqual(status_text.source(read._replace(files=names)), text_says)
            self.assertIn(f"<p>Checks in {page_says}.</p>", status_page.page(read._replace(files=names)))
        marked = status_page.states_html([(51101, "withdrawn (release 0002)"), (51091, "paused by the watch: w"),
                                          (51081, "to everyone (release 0001)")], "")
        for kind, build in (("withdrawn", 51101), ("paused", 51091), ("", 51081)):
            self.assertIn(f'<span class="{kind}">build {build}: ', marked)
        self.assertEqual(status_text.text(read).replace(folder, "LOGS"), f"""\
Update checks in LOGS/access.log (and 3 rotated), {days[1]} to {days[3]}
skipped 4 lines: 1 over 8192 bytes, 3 with words the service does not write
not counted, beyond 16 a day from one address or 4 runs from one player: 30 reported runs,
  14 players, 0 installs (from 2 addresses)
reported runs the plug-in does not send (logged as invalid): 1

w7
  day         checks players share newest build      offered       whole installed    failed
             (count) (count)   (%)                 (players) (downloads) (players) (players)
  {days[1]}       5       5   100 51081                   0           0         0         0
  {days[2]}       6       6    50 51091                   3           2         1         1
  {days[3]}     317     271   100 51091                   3          22         1         1
  day        build           players    runs   crash-free   crash-free abnormal unknown
                             (count) (count)     runs (%)  players (%)   (runs)  (runs)
  {days[1]} 51081                 5       0            -            -        0       0
  {days[2]} 51091                 1       1 too few runs too few runs        0       0 provisional
  {days[2]} 51081                 5       0            -            -        0       0
  {days[3]} 51091               268     276        98.08        98.00        3       1
              faults of 51091: c0000005:-:00000000 16, c0000005:hw.dll:0001a2b3 5; left out of the
                rates: 16 crashed runs of one address
  {days[3]} 51081                 3       4 too few runs too few runs        0       0
              faults of 51081: c0000005:-:00000000 4; left out of the rates: 4 crashed runs of one
                address

xp
  day         checks players share newest build      offered       whole installed    failed
             (count) (count)   (%)                 (players) (downloads) (players) (players)
  {days[1]}       1       1   100 51082                   0           0         0         0
  day        build           players    runs   crash-free   crash-free abnormal unknown
                             (count) (count)     runs (%)  players (%)   (runs)  (runs)
  {days[1]} 51082                 1       0            -            -        0       0

checks of builds no release of the site serves
  day        build      checks
                       (count)
  {days[3]} 51083           2
""")


    def test_the_log_keeps_a_run_report_only_as_the_words_the_plug_in_sends(self):
        """Each report as the application logs it, and as status reads that line back."""
        with tempfile.TemporaryDirectory() as root:
            make_release(root, "w7", 51091, "1", MODULE_W7)
            app = update_app.UpdateApp(root, log=quiet)
            for report, logged in (
                    ("", None),
                    ("&e=clean", "outcome=clean"), ("&e=abnormal&f=", "outcome=abnormal"),
                    ("&e=unknown", "outcome=unknown"),
                    ("&e=crashed&f=c0000005:hw.dll:0001a2b3", "outcome=crashed fault=c0000005:hw.dll:0001a2b3"),
                    ("&e=crashed&f=c00000fd:-:00000000", "outcome=crashed fault=c00000fd:-:00000000"),
                    ("&e=crashed&f=c0000005:" + "m" * 32 + ":0001a2b3", f"outcome=crashed fault=c0000005:{'m' * 32}:0001a2b3"),
                    ("&e=crashed", "outcome=invalid"), ("&e=crashed&f=c0000005:-:0001a2b3", "outcome=invalid"),
                    ("&e=crashed&f=c0000005:HW.DLL:0001a2b3", "outcome=invalid"),
                    ("&e=crashed&f=c0000005:" + "m" * 33 + ":0001a2b3", "outcome=invalid"),
                    ("&e=crashed&f=c0000005:a/b:0001a2b3", "outcome=invalid"),
                    ("&e=clean&f=c0000005:hw.dll:0001a2b3", "outcome=invalid"), ("&e=CLEAN", "outcome=invalid"),
                    ("&e=clean&e=clean", "outcome=invalid"), ("&f=", "outcome=invalid"),
                    ("&e=clean%20outcome=crashed", "outcome=invalid"), ("&e=clean%0Averdict=update", "outcome=invalid")):
                with self.subTest(report):
                    answer, words = check(app, "", SERIAL, 51081, report)
                    self.assertTrue(answer[2].startswith(b"SAVETO:"), answer[0])  # answered as before
                    tail = words.split(" player=", 1)[1].split(" ", 1)[1:]
                    self.assertEqual(tail[0] if tail else None, logged)
                    parsed = status.parse(log_line("2026-12-08", 0, words))
                    self.assertEqual(parsed.outcome, (logged or "=").split()[0].split("=")[1])


class CommandLine(unittest.TestCase):
    def start(self, root, *extra):
        port_file = os.path.join(root, "port")
        process = subprocess.Popen(
            [sys.executable, SERVER_SCRIPT, "--releases", root, "--port", "0",
             "--port-file", port_file, "--log", os.path.join(root, "log"), *extra])
        deadline = time.monotonic() + 10
        while not os.path.exists(port_file) and time.monotonic() < deadline:
            time.sleep(0.05)
        with open(port_file) as file:
            return process, int(file.read())

    def log(self, root):
        with open(os.path.join(root, "log")) as file:
            return file.read()

    def test_port_zero_port_file_and_lifetime(self):
        with tempfile.TemporaryDirectory() as root:
            make_release(root, "w7", 51091, "1", MODULE_W7)
            process, port = self.start(root, "--lifetime", "3")
            try:
                self.assertEqual(split(request(port, "", SERIAL, 51091))[1], b"LATEST_VERSION")
                self.assertEqual(process.wait(timeout=10), 0)
            finally:
                process.kill()
            self.assertRegex(self.log(root), r"127\.0\.0\.1 flavour=w7 client=51091 served=51091 "
                                             r"verdict=latest player=[0-9a-f]{16} status=200 bytes=\d+ seconds=")

    def test_sighup_reopens_the_log_and_says_what_is_now_served(self):
        with tempfile.TemporaryDirectory() as root:
            make_release(root, "w7", 51091, "1", MODULE_W7)
            process, port = self.start(root, "--lifetime", "20")
            try:
                os.rename(os.path.join(root, "log"), os.path.join(root, "log.1"))  # rotated
                make_release(root, "w7", 51101, "1", MODULE_W7)
                process.send_signal(signal.SIGHUP)
                deadline = time.monotonic() + 10
                while "now serving" not in (self.log(root) if os.path.exists(os.path.join(root, "log")) else "") \
                        and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertEqual(split(request(port, "", SERIAL, 51101))[1], b"LATEST_VERSION")
            finally:
                process.terminate()
                process.wait(timeout=10)
            self.assertRegex(self.log(root), r"now serving .*: w7: build 51101 \(builds ending in 1\)")
            self.assertIn("served=51101 verdict=latest", self.log(root))

    def test_a_broken_releases_folder_stops_the_start(self):
        with tempfile.TemporaryDirectory() as root:
            result = subprocess.run([sys.executable, SERVER_SCRIPT, "--releases", root, "--port", "0"],
                                    capture_output=True, timeout=20, text=True)
            self.assertEqual(result.returncode, 2)
            self.assertIn("cannot load releases", result.stderr)


if __name__ == "__main__":
    unittest.main()
