"""The update service through the production stack on loopback (tools/local_stack.py:
nginx with server/conf's site in front of gunicorn with its settings): nothing the stack
adds holds a marker, up to each of nginx's request limits, and no request gets less than
the whole answer; release folders that break under a running service (a killed worker, a
reload) leave every answer whole; a rolled-back release stays served through kills and
reloads; the access log tells cut answers from whole ones and nginx's error log names no
player, refused or not; the real plug-in under Wine (a
build with keys) updates itself across two starts through it from a signed release, and a
client reading at 100 KB/s receives the whole module; a release staged to 10% of 1000
players reaches about 100 of them, and the status read from the access log counts what
they did."""

import concurrent.futures
import contextlib
import datetime
import email.utils
import hashlib
import io
import os
import random
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import unittest.mock

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
COMMAND = os.path.join(ROOT, "server", "bin", "murmelon-release")

import local_stack  # tools/, on PYTHONPATH as CTest sets it
from murmelon_update import app, release, release_tool, signature
from package import build_numbers

BUILD = os.environ.get("MURMELON_BUILD", os.path.join(ROOT, "build", "mingw"))
SCENARIOS = os.path.join(BUILD, "bin", "update_download_test.exe")
# The keyed variant (tests/signed_release) and the test key that signs its releases: the
# stack serves a signed release, as in production.
MODULE = os.path.join(BUILD, "dist-signed", "Murmelon_W_7_D.asi")
SIGNING_KEY = os.path.join(BUILD, "test-keys", "release.pem")
# The release the download scenarios' two starts expect (tests/scenarios/update_download_test.cpp).
NEWS = "Голосовой чат стал чище.\nWith thanks to our testers."
VERSION = "1.1 (Sep 02 2013)"
NEWER_TAIL = b"\0NEWER BUILD FOR THE UPDATE TESTS\0"
SERIAL = hashlib.md5(b"0").hexdigest()
# The build the plug-in sends, and the release's.
OURS = build_numbers(os.path.join(ROOT, "flavours", "build_numbers.h"))["Murmelon_W_7_D"]
NEWER = OURS + 10


def check_query(a, build):
    return release.check_query(build, SERIAL, a)


def ask(port, raw, timeout=10):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as connection:
        connection.sendall(raw)
        answer = b""
        while True:
            try:
                piece = connection.recv(65536)
            except ConnectionResetError:
                return answer
            if not piece:
                return answer
            answer += piece


def throttled_download(port, request, rate, deadline_s):
    """Reads the answer at `rate` bytes/s through a small receive buffer, as a slow link
    would; returns the bytes and the seconds it took."""
    connection = socket.socket()
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)  # before connect: the window
    connection.settimeout(deadline_s)
    started = time.monotonic()
    with connection:
        connection.connect(("127.0.0.1", port))
        connection.sendall(request)
        answer = bytearray()
        while time.monotonic() - started < deadline_s:
            piece = connection.recv(4096)
            if not piece:
                break
            answer += piece
            ahead = len(answer) / rate - (time.monotonic() - started)
            if ahead > 0:
                time.sleep(ahead)
    return bytes(answer), time.monotonic() - started


@unittest.skipIf(local_stack.available(), local_stack.available())
@unittest.skipUnless(os.path.isfile(SCENARIOS) and os.path.isfile(MODULE) and os.path.isfile(SIGNING_KEY),
                     f"no mingw build with test keys in {BUILD}")
class ThroughNginxAndGunicorn(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory(prefix="murmelon-stack-test.")
        releases = os.path.join(cls.work.name, "releases")
        with open(MODULE, "rb") as file:
            cls.module = file.read() + NEWER_TAIL
        signed = signature.sign(SIGNING_KEY, release.signed_message("Murmelon_W_7_D", NEWER, cls.module))
        release.write_release(os.path.join(releases, "w7"), NEWER, cls.module, VERSION, NEWS,
                              signature=signed, public_key=signature.public_key_hex(SIGNING_KEY))
        cls.release = release.load_flavours(releases)[0]
        cls.stack = local_stack.Stack(releases, os.path.join(cls.work.name, "stack"), lifetime=170)
        cls.port = cls.stack.port

    @classmethod
    def tearDownClass(cls):
        cls.stack.stop()
        cls.work.cleanup()

    def test_the_plug_in_updates_itself_across_two_starts(self):
        host = f"127.0.0.1:{self.port}"
        game = "update_through_nginx.game"
        folder = os.path.join(BUILD, "scenarios")
        for mode in ("update_first_start", "update_second_start"):
            result = subprocess.run([os.path.join(ROOT, "tools", "wine-run"), SCENARIOS, "--game", f"{game}.{mode}",
                                     "--child", mode, game, host, "keyed"],
                                    cwd=folder, capture_output=True, timeout=60)
            output = result.stdout.decode("utf-8", "replace")
            self.assertEqual(result.returncode, 0, f"{mode}: {output}{result.stderr.decode('utf-8', 'replace')}")
            self.assertIn(f"{mode}: ", output)
            self.assertIn(" (0 failures)", output)
        with open(self.stack.access_log) as log:
            lines = log.read()
        whole = len(self.release.answer_head) + len(self.module)
        self.assertRegex(lines, rf"status=200 flavour=w7 client={OURS} served={NEWER} verdict=update "
                                rf"player=[0-9a-f]{{16}} bytes={whole} seconds=[\d.]+ complete=OK")
        # The second start also tells how the first run ended: the host stopped it.
        self.assertRegex(lines, rf"client={OURS} served={NEWER} verdict=latest player=[0-9a-f]{{16}} "
                                rf"outcome=clean bytes=14 ")

    def test_a_client_at_100_kb_per_second_receives_the_whole_module(self):
        request = (f"GET {release.CHECK_PATH}?{check_query('', OURS)} HTTP/1.0\r\n"
                   f"Host: 127.0.0.1\r\n\r\n").encode()
        answer, seconds = throttled_download(self.port, request, 100 * 1000, 90)
        self.assertTrue(answer.endswith(b"DATA:" + self.module), f"{len(answer)} bytes in {seconds:.1f} s")
        self.assertGreater(seconds, 0.9 * len(answer) / (100 * 1000))  # it really was that slow


def request(build, a=""):
    return f"GET {release.CHECK_PATH}?{check_query(a, build)} HTTP/1.0\r\n\r\n".encode()


def wait_for(condition, what, seconds=20, details=lambda: ""):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"waited {seconds} s for {what}{details()}")
        time.sleep(0.05)


class Workers:
    """The stack's gunicorn workers, killed or reloaded as a bad day would."""

    def __init__(self, test, stack):
        self.test, self.stack = test, stack

    def gunicorn_log(self):  # why a worker ended, when one ends that should not have
        return "; gunicorn's log ends:\n" + read(self.stack.gunicorn_log).decode("utf-8", "replace")[-3000:]

    def all(self):
        # The master starts its workers a moment apart: right after start-up some may still
        # be missing, and would later look like replacements.
        wait_for(lambda: len(self.stack.gunicorn_workers()) == 3, "three workers", details=self.gunicorn_log)
        return self.stack.gunicorn_workers()

    def kill_one(self):
        old = self.all()
        os.kill(old[0], signal.SIGKILL)
        wait_for(lambda: old[0] not in self.stack.gunicorn_workers(), "the killed worker to be reaped")
        self.test.assertEqual(len(set(self.all()) - set(old)), 1, self.gunicorn_log())

    def reload(self):
        old = self.all()
        os.kill(self.stack.gunicorn_master(), signal.SIGHUP)
        wait_for(lambda: not set(self.stack.gunicorn_workers()) & set(old)
                 and len(self.stack.gunicorn_workers()) == 3, "new workers")


def bodies(port, count=9, build=51081):
    """Enough answers to an old build to reach every worker more than once."""
    return [ask(port, request(build)).partition(b"\r\n\r\n")[2] for _ in range(count)]


def megabyte_module(seed):
    return b"MZ" + b"".join(hashlib.sha256(seed + bytes([i % 256, i // 256])).digest() for i in range(32768))


@unittest.skipIf(local_stack.available(), local_stack.available())
class StackUnderFaults(unittest.TestCase):
    """A site with one release of both flavours (1 MB modules), served as in production."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory(prefix="murmelon-stack-faults.")
        cls.site = os.path.join(cls.work.name, "site")
        cls.write_release()
        os.symlink("releases/0001", os.path.join(cls.site, "current"))
        cls.stack = local_stack.Stack(os.path.join(cls.site, "current"), os.path.join(cls.work.name, "stack"),
                                      lifetime=170)
        cls.port = cls.stack.port

    @classmethod
    def write_release(cls):
        for build, seed in ((51091, b"w7"), (51092, b"xp")):
            folder = release.write_release(os.path.join(cls.site, "releases", "0001", seed.decode()),
                                                  build, megabyte_module(seed), "1.1", "Новое.\n")
            if build == 51091:
                cls.w7 = folder
                cls.update = read(os.path.join(folder, release.ANSWER_FILE))

    @classmethod
    def tearDownClass(cls):
        cls.stack.stop()
        cls.work.cleanup()

    def log(self, name):
        return read(getattr(self.stack, name)).decode("utf-8", "replace")

    def test_nothing_the_stack_adds_holds_a_marker(self):
        check = release.CHECK_PATH
        target = f"GET {check}?x= HTTP/1.0"

        def line_of(length):  # a request line of exactly length bytes, CR LF not counted
            return f"GET {check}?x={'a' * (length - len(target))} HTTP/1.0\r\n"

        def fields(count, length):  # header lines of length bytes each
            return "".join(f"X{i:03d}: {'v' * (length - 6)}\r\n" for i in range(count))

        update = f"GET {check}?{check_query('', 51081)} HTTP/1.0\r\n"
        modified = email.utils.formatdate(os.stat(os.path.join(self.w7, release.ANSWER_FILE)).st_mtime,
                                          usegmt=True)
        cases = (  # name, request, status, the body the application answers (None: nginx's own)
            ("latest", f"GET {check}?{check_query('', 51091)} HTTP/1.0\r\nHost: h\r\n\r\n", 200, b"LATEST_VERSION"),
            # From its answer file nginx would send 304, 412 or a part: the plug-in reads any of them as the answer.
            ("an update, If-None-Match: *", update + "If-None-Match: *\r\n\r\n", 200, self.update),
            ("an update, If-Modified-Since its file", update + f"If-Modified-Since: {modified}\r\n\r\n", 200,
             self.update),
            ("an update, If-Match", update + 'If-Match: "x"\r\n\r\n', 200, self.update),
            ("an update, If-Unmodified-Since 1990", update + "If-Unmodified-Since: Mon, 01 Jan 1990 00:00:00 GMT"
                                                             "\r\n\r\n", 200, self.update),
            ("an update, Range", update + "Range: bytes=0-99\r\nIf-Range: " + modified + "\r\n\r\n", 200,
             self.update),
            ("refused", f"GET {check}?a=1 HTTP/1.0\r\nHost: h\r\n\r\n", 200, b"ERROR"),
            ("other method", f"POST {check} HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc", 405, b"not allowed\n"),
            ("other path", "GET /other HTTP/1.0\r\n\r\n", 404, None),
            ("an answer file asked for", "GET /murmelon-files/releases/0001/w7/update.answer HTTP/1.0\r\n\r\n", 404, None),
            ("not a request", "GARBAGE\r\n\r\n", 400, None),
            ("body too large", f"POST {check} HTTP/1.0\r\nContent-Length: 5000\r\n\r\n" + "x" * 5000, 413, None),
            # nginx's limits, each side: below them the application answers, above them nginx.
            ("request line of 4094 bytes", line_of(4094) + "\r\n", 200, b"ERROR"),
            ("request line of 4095 bytes", line_of(4095) + "\r\n", 414, None),
            ("request line of 8190 bytes", line_of(8190) + "\r\n", 414, None),
            ("header line of 4094 bytes", f"GET {check} HTTP/1.0\r\n{fields(1, 4094)}\r\n", 200, b"ERROR"),
            ("header line of 4095 bytes", f"GET {check} HTTP/1.0\r\n{fields(1, 4095)}\r\n", 400, None),
            ("header line of 8185 bytes", f"GET {check} HTTP/1.0\r\n{fields(1, 8185)}\r\n", 400, None),
            ("150 header lines", f"GET {check} HTTP/1.0\r\n{fields(150, 10)}\r\n", 200, b"ERROR"),
            ("4 header lines of 4000 bytes", f"GET {check} HTTP/1.0\r\n{fields(4, 4000)}\r\n", 200, b"ERROR"),
            ("5 header lines of 4000 bytes", f"GET {check} HTTP/1.0\r\n{fields(5, 4000)}\r\n", 400, None),
            ("header too large", f"GET {check} HTTP/1.0\r\nX: {'a' * 20000}\r\n\r\n", 400, None),
            ("target too long", f"GET /{'a' * 20000} HTTP/1.0\r\n\r\n", 414, None))
        for name, raw, status, body in cases:
            with self.subTest(name):
                head, _, rest = ask(self.port, raw.encode()).partition(b"\r\n\r\n")
                self.assertTrue(head.startswith(f"HTTP/1.1 {status} ".encode()), head)
                self.assertIsNone(release.find_marker(head), head)
                self.assertNotIn(app.LOG_HEADER.lower().encode(), head.lower())
                if body is None:
                    self.assertIsNone(release.find_marker(rest), rest)
                else:
                    self.assertEqual(rest, body)
        # The head of an update, up to the application's first key: nginx sent it from disk,
        # within what the plug-in's answer cap leaves it.
        head = ask(self.port, request(51081)).split(b"SAVETO:")[0]
        self.assertIsNone(release.find_marker(head), head)
        self.assertLessEqual(len(head), release.HTTP_HEAD_ALLOWANCE)
        self.assertTrue(re.match(rb"HTTP/1.1 200 OK\r\n.*\r\n\r\n$", head, re.S), head)
        self.assertNotIn(b"X-Accel", head)

    def test_release_faults_leave_every_answer_whole(self):
        workers = Workers(self, self.stack)

        def cut(name):  # truncated in place, as a full disk or a stray command leaves it
            with open(os.path.join(self.w7, name), "r+b") as file:
                file.truncate(1000)

        def rewrite_in_place():  # other bytes of the same length, and the time put back
            path = os.path.join(self.w7, release.ANSWER_FILE)
            before = os.stat(path)
            with open(path, "r+b") as file:
                file.seek(-4, os.SEEK_END)
                file.write(b"XXXX")
            os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))

        for name, change, logged in (  # what happens to the site, what gunicorn's log then says
                ("a worker killed over a cut module", lambda: (cut("Murmelon_W_7_D.asi"), workers.kill_one()), None),
                ("a reload over a cut module", workers.reload, r"cannot load all of .*/releases/0001 .*still serving w7"),
                ("the answer file rewritten in place, its size and time kept", rewrite_in_place,
                 r"update.answer changed since it was loaded: answering w7 from memory"),
                ("the answer file cut", lambda: cut(release.ANSWER_FILE), r"update.answer changed since it "
                                                                              r"was loaded: answering w7 from memory"),
                ("repaired, reloaded", lambda: (self.write_release(), workers.reload()),
                 r"now serving .*/releases/0001: w7")):
            with self.subTest(name):
                before = len(self.log("gunicorn_log"))
                change()
                answers = bodies(self.port)
                self.assertEqual([len(a) for a in answers], [len(self.update)] * 9)
                self.assertTrue(all(a == self.update for a in answers))
                os.kill(self.stack.gunicorn_master(), 0)  # the master still runs
                if logged:
                    self.assertRegex(self.log("gunicorn_log")[before:], logged)

    def test_the_access_log_tells_cut_answers_from_whole_ones(self):
        def updates():
            return [line for line in self.log("access_log").splitlines() if "verdict=update" in line]

        whole = len(self.update)
        for received in (None, 64000, 300000, whole - 200000, whole - 150000):  # None: all of it
            with self.subTest(received=received):
                before = len(updates())
                with socket.socket() as connection:
                    connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)  # before connect: the window
                    connection.settimeout(10)
                    connection.connect(("127.0.0.1", self.port))
                    connection.sendall(request(51081))
                    got = 0
                    while received is None or got < received:  # then a player that gives up
                        piece = connection.recv(8192)
                        if not piece:
                            break
                        got += len(piece)
                wait_for(lambda: len(updates()) == before + 1, "the answer's log line")
                if received is None:
                    self.assertRegex(updates()[-1], rf"bytes={whole} .* complete=OK$")
                else:
                    self.assertRegex(updates()[-1], r"bytes=\d+ .* complete=no$")
                    self.assertLess(int(re.search(r"bytes=(\d+)", updates()[-1]).group(1)), whole)

    def test_when_the_application_is_gone_nginx_answers_a_plain_503_and_names_no_player(self):
        # Runs last (unittest orders by name): it stops gunicorn. Before, one address holds
        # more downloads than nginx lets it (it refuses those above 32 connections).
        held = []
        for _ in range(40):
            connection = socket.socket()
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # it reads nothing
            connection.settimeout(10)
            connection.connect(("127.0.0.1", self.port))
            connection.sendall(request(51081))
            held.append(connection)
        refused = sum(c.recv(20).startswith(b"HTTP/1.1 503 ") for c in held)
        for connection in held:
            connection.close()
        self.assertGreater(refused, 0)
        self.stack.stop_gunicorn()
        answer = ask(self.port, request(51091))
        self.assertTrue(answer.startswith(b"HTTP/1.1 503 "), answer)
        self.assertIsNone(release.find_marker(answer), answer)
        # The players' guides promise that no log keeps the serial digest itself.
        errors = self.log("nginx_log")
        self.assertNotIn(SERIAL, errors + self.log("access_log"), errors[-2000:])


@unittest.skipIf(local_stack.available(), local_stack.available())
class WithdrawnRelease(unittest.TestCase):
    """A site served from release 0003 (signed, as in production) is rolled back to 0002;
    then the temporary folder goes (as when it fills: checking a signature once needed it),
    a worker is killed and the master reloaded. The master still holds 0003, loaded at its
    start: no worker may serve it again."""

    def test_a_rolled_back_release_stays_served_through_kills_and_reloads(self):
        with tempfile.TemporaryDirectory(prefix="murmelon-withdrawn.") as work:
            key = os.path.join(work, "key.pem")
            subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", key], check=True,
                           capture_output=True, timeout=30)
            site, answers = os.path.join(work, "site"), {}
            for release_id, build in (("0002", 51101), ("0003", 51111)):
                module = b"MZ" + hashlib.sha256(release_id.encode()).digest() * 4096
                signed = signature.sign(key, release.signed_message("Murmelon_W_7_D", build, module))
                folder = release.write_release(os.path.join(site, "releases", release_id, "w7"), build, module,
                                               "1.1", "Новое.\n", signature=signed,
                                               public_key=signature.public_key_hex(key))
                answers[read(os.path.join(folder, release.ANSWER_FILE))] = release_id
            os.symlink("releases/0003", os.path.join(site, "current"))
            temp = os.path.join(work, "temp")
            os.makedirs(temp)
            stack = local_stack.Stack(os.path.join(site, "current"), os.path.join(work, "stack"), lifetime=120,
                                      temp=temp)
            try:
                def served():  # which release each answer is
                    return [answers.get(body, body[:40]) for body in bodies(stack.port, 12)]

                workers = Workers(self, stack)
                self.assertEqual(served(), ["0003"] * 12)
                rollback = subprocess.run([sys.executable, COMMAND, "rollback", "--service",
                                           f"127.0.0.1:{stack.port}", site, "0002"],
                                          capture_output=True, text=True, timeout=60)
                self.assertEqual(rollback.returncode, 0, rollback.stderr)
                self.assertIn("now served from", rollback.stdout)
                for name, change in (("rolled back", lambda: None), ("the temporary folder gone", lambda: os.rmdir(temp)),
                                     ("a worker killed", workers.kill_one), ("the master reloaded", workers.reload),
                                     ("a worker killed after the reload", workers.kill_one)):
                    with self.subTest(name):
                        change()
                        self.assertEqual(served(), ["0002"] * 12, workers.gunicorn_log())
            finally:
                stack.stop()


class StagedRollout(unittest.TestCase):
    def test_a_tenth_of_1000_players_is_offered_the_staged_build_and_status_counts_them(self):
        """Release 0002 (w7 51091) staged to 10% over 0001 (w7 51081), 1000 players on 51081:
        those offered it download it (every tenth gives up part-way), then come back, on the
        new build or, for every fifth whole download, on the old one (the install failed),
        and are offered it again. `status` on nginx's access log prints what they did."""
        work = tempfile.TemporaryDirectory(prefix="murmelon-stack-rollout.")
        self.addCleanup(work.cleanup)
        site = os.path.join(work.name, "site")
        os.makedirs(site)
        modules = {}
        for name, w7 in (("0001", 51081), ("0002", 51091)):
            modules[w7] = megabyte_module(name.encode())
            package = os.path.join(work.name, name)
            release.write_release(os.path.join(package, "server", "w7"), w7, modules[w7], name, "Новое.\n")
            if name == "0001":
                release.write_release(os.path.join(package, "server", "xp"), 51082, modules[w7] + b"xp", name)
            options = ["--share", "10"] if name == "0002" else []
            with contextlib.redirect_stdout(io.StringIO()), unittest.mock.patch.object(
                    release.FlavourRelease, "_load", autospec=True, side_effect=release.FlavourRelease._load) as loads:
                self.assertEqual(release_tool.main(["publish", "--service", "none", *options, package, site]), 0)
            # Each flavour folder is loaded (and its signature checked) once: the package's w7, the
            # served release's two and the new release's two.
            self.assertEqual(loads.call_count, 5 if name == "0002" else 4)
            if name == "0001":
                stack = local_stack.Stack(os.path.join(site, "current"), os.path.join(work.name, "stack"),
                                          lifetime=170, listen_options="sndbuf=64k")
                self.addCleanup(stack.stop)
        day = datetime.date.today()
        digests = {build: hashlib.md5(module).hexdigest() for build, module in modules.items()}

        def check(serial, build, cut=False):
            """Asks as a player of build, each from a loopback address of its own (status
            counts at most 16 players an address a day); True when offered the staged build
            (read whole, unless cut: then the player leaves after a few kilobytes)."""
            raw = (f"GET {release.CHECK_PATH}?{release.check_query(build, serial, digests[build])} "
                   f"HTTP/1.0\r\n\r\n").encode()
            with socket.socket() as connection:
                if cut:  # a small window: nginx still holds most of the answer when the player leaves
                    connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
                connection.settimeout(10)
                number = numbers[serial]
                connection.bind((f"127.0.{1 + number // 250}.{1 + number % 250}", 0))
                connection.connect(("127.0.0.1", stack.port))
                connection.sendall(raw)
                answer = b""
                while (not cut or b"DATA:" not in answer) and (piece := connection.recv(1 << 20)):
                    answer += piece
            offered = f"VERSION:0002DATA:".encode() in answer
            self.assertTrue(offered or answer.endswith(b"\r\n\r\nLATEST_VERSION"), answer[:200])
            return offered

        # As the plug-in makes it: the MD5 of a volume serial number's decimal text.
        serials = [hashlib.md5(str(n).encode()).hexdigest() for n in random.Random(24).sample(range(1 << 32), 1000)]
        numbers = {serial: number for number, serial in enumerate(serials)}

        def player(i):
            """What the player did: offered, cut, installed, failed (its install)."""
            serial = serials[i]
            cut = i % 10 == 0
            if not check(serial, 51081, cut):
                return ()
            done = ["offered"] + (["cut"] if cut else [])
            if cut:
                check(serial, 51081)  # its next start downloads it whole
            done.append("failed" if i % 5 == 1 else "installed")
            check(serial, 51081 if done[-1] == "failed" else 51091)
            return done

        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            done = list(pool.map(player, range(1000)))
        counted = {what: sum(what in d for d in done) for what in ("offered", "cut", "installed", "failed")}
        self.assertTrue(70 <= counted["offered"] <= 130, counted)
        checks = 1000 + counted["cut"] + counted["offered"]
        updates = counted["offered"] + counted["cut"] + counted["failed"]

        def logged_updates():
            return read(stack.access_log).count(b"verdict=update")

        wait_for(lambda: logged_updates() >= updates, f"{updates} update lines in the access log")
        log = read(stack.access_log).decode()
        self.assertFalse([s for s in serials if s in log])  # serial digests stay out of the log
        self.assertEqual(log.count(f"complete=no"), counted["cut"], log[-2000:])
        if datetime.date.today() != day:
            self.skipTest("the run crossed midnight: its checks are counted on two days")
        status = subprocess.run([sys.executable, COMMAND, "status", site,
                                 "--log", stack.access_log, "--days", "1"], capture_output=True, text=True, timeout=60)
        self.assertEqual(status.returncode, 0, status.stderr)
        installed, whole = counted["installed"], counted["offered"] + counted["failed"]
        self.assertIn(f"\n  {day} {checks:>7} {1000:>7} {10:>5} {51091:<15} {counted['offered']:>9} {whole:>11} "
                      f"{installed:>9} {counted['failed']:>9}\n", status.stdout)
        for build, players in (("51091 staged", installed), ("51081", 1000 - installed)):
            self.assertIn(f"\n  {day} {build:<15} {players:>7}       0            -            -        0       0\n",
                          status.stdout)
        self.assertIn("  w7: build 51091 to 10% of players, the others keep build 51081 (release 0001)\n",
                      status.stdout)


def read(path):
    with open(path, "rb") as file:
        return file.read()


if __name__ == "__main__":
    unittest.main()
