"""The update server (tools/update_server.py): its answers byte for byte, the release
checks that keep the plug-in's markers out of served texts, and its command line."""

import hashlib
import importlib.util
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SERVER_SCRIPT = os.path.join(ROOT, "tools", "update_server.py")
loader_info = importlib.util.spec_from_file_location("update_server", SERVER_SCRIPT)
update_server = importlib.util.module_from_spec(loader_info)
loader_info.loader.exec_module(update_server)
update_server.log = lambda text: None  # the in-process server stays quiet

MODULE_W7 = b"MZ\x90\x00" + bytes(range(256)) * 40
MODULE_XP = b"MZ\x90\x00XP" + bytes(range(255, -1, -1)) * 40
SERIAL = hashlib.md5(b"-1056969215").hexdigest()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as file:
        file.write(data if isinstance(data, bytes) else data.encode("utf-8"))


def make_release(root, folder, build, suffix, module, news="Новое.\n", version="1.1",
                 extra=""):
    write(os.path.join(root, folder, "release.ini"),
          f"[release]\nbuild = {build}\nsuffix = {suffix}\nversion = {version}\n"
          f"module = Murmelon.asi\nnews = news.txt\n{extra}")
    write(os.path.join(root, folder, "news.txt"), news)
    write(os.path.join(root, folder, "Murmelon.asi"), module)


def request(port, a, b, d, c=None, path="/Murmelon/CheckUpdate_v2.php"):
    c = hashlib.md5((a + b).encode()).hexdigest() if c is None else c
    with socket.create_connection(("127.0.0.1", port), timeout=5) as connection:
        connection.sendall(f"GET {path}?mode=debug&a={a}&b={b}&c={c}&d={d} HTTP/1.0\r\n"
                           f"Host: 127.0.0.1:{port}\r\n\r\n".encode())
        answer = b""
        while True:
            piece = connection.recv(65536)
            if not piece:
                return answer
            answer += piece


def body(answer):
    head, _, rest = answer.partition(b"\r\n\r\n")
    return head, rest


class ServedAnswers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        make_release(cls.folder.name, "w7", 51091, "1", MODULE_W7,
                     news="Голосовой чат.\nThanks.", version="1.1 (Sep 02 2013)")
        make_release(cls.folder.name, "xp", 51092, "2", MODULE_XP)
        cls.server = update_server.Server(("127.0.0.1", 0), update_server.Handler)
        cls.server.releases = update_server.load_releases(cls.folder.name)
        cls.port = cls.server.server_address[1]
        cls.thread = threading.Thread(target=cls.server.serve_forever, daemon=True)
        cls.thread.start()

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        cls.server.server_close()
        cls.folder.cleanup()

    def verdict(self, *args, **kwargs):
        head, rest = body(request(self.port, *args, **kwargs))
        # The plug-in searches the whole answer: the head must hold no marker.
        for marker in (b"error", b"latest_version", b"future_version", b"data:", b"md5:"):
            self.assertNotIn(marker, head.lower())
        return rest

    def test_an_older_build_gets_its_flavour_newest_module(self):
        a = hashlib.md5(b"old module").hexdigest()
        answer = request(self.port, a, SERIAL, 51081)
        digest = hashlib.md5(MODULE_W7).hexdigest().encode()
        expected_body = (b"SAVETO:Murmelon.asi.newMD5:" + digest + "WHATNEW:Голосовой чат.\nThanks."
                         .encode() + b"VERSION:1.1 (Sep 02 2013)DATA:" + MODULE_W7)
        self.assertEqual(answer, b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                         + f"Content-Length: {len(expected_body)}\r\nConnection: close\r\n\r\n".encode()
                         + expected_body)
        _, rest = body(request(self.port, a, SERIAL, 51082))
        self.assertTrue(rest.endswith(b"DATA:" + MODULE_XP))

    def test_the_newest_build_or_its_very_bytes_are_the_latest(self):
        a = hashlib.md5(b"old module").hexdigest()
        self.assertEqual(self.verdict(a, SERIAL, 51091), b"LATEST_VERSION")
        self.assertEqual(self.verdict(hashlib.md5(MODULE_W7).hexdigest(), SERIAL, 51081),
                         b"LATEST_VERSION")

    def test_a_build_past_the_newest_is_from_the_future(self):
        self.assertEqual(self.verdict("", SERIAL, 51101), b"FUTURE_VERSION")

    def test_requests_that_do_not_add_up_are_refused(self):
        a = hashlib.md5(b"old module").hexdigest()
        self.assertEqual(self.verdict(a, SERIAL, 51081, c="0" * 32), b"ERROR")
        self.assertEqual(self.verdict(a, SERIAL.upper(), 51081), b"ERROR")
        self.assertEqual(self.verdict(a, SERIAL, "51081x"), b"ERROR")
        self.assertEqual(self.verdict(a, SERIAL, 51083), b"ERROR")  # no such flavour
        # An unreadable module file sends an empty a; that alone is no reason to refuse.
        self.assertTrue(self.verdict("", SERIAL, 51081).startswith(b"SAVETO:"))

    def test_other_paths_are_not_found_and_say_nothing_the_plug_in_reads(self):
        answer = request(self.port, "", SERIAL, 51081, path="/other")
        self.assertTrue(answer.startswith(b"HTTP/1.0 404 Not Found\r\n"))
        for marker in (b"error", b"latest_version", b"future_version", b"data:"):
            self.assertNotIn(marker, answer.lower())


class ReleaseChecks(unittest.TestCase):
    def refused(self, **kwargs):
        with tempfile.TemporaryDirectory() as root:
            make_release(root, "w7", kwargs.pop("build", 51091), kwargs.pop("suffix", "1"),
                         kwargs.pop("module", MODULE_W7), **kwargs)
            with self.assertRaises(update_server.ReleaseError):
                update_server.load_releases(root)

    def test_texts_that_would_change_the_plug_in_verdict_are_refused(self):
        self.refused(news="Fixed an Error in voice.")
        self.refused(news="see latest_version")
        self.refused(news="a VERSION: inside the news")
        self.refused(version="2.0 data: x")
        self.refused(module=b"MZERROR\x00")
        self.refused(news="zero\x00byte")

    def test_unsafe_download_names_are_refused(self):
        # Non-ASCII would reach the player under another code page, and longer in bytes.
        for name in ("../x.asi", "C:x", "sub/x", "x.", "NUL.asi", "stufftata.btz", "xMD5:y",
                     "модуль.asi", "x" * 201):
            self.refused(extra=f"save_as = {name}\n")

    def test_inconsistent_releases_are_refused(self):
        self.refused(build=51092)  # does not end in its own suffix
        with tempfile.TemporaryDirectory() as root:
            make_release(root, "a", 51091, "1", MODULE_W7)
            make_release(root, "b", 51101, "01", MODULE_XP)
            with self.assertRaises(update_server.ReleaseError):
                update_server.load_releases(root)


class CommandLine(unittest.TestCase):
    def test_port_zero_port_file_and_lifetime(self):
        with tempfile.TemporaryDirectory() as root:
            make_release(root, "w7", 51091, "1", MODULE_W7)
            port_file = os.path.join(root, "port")
            started = time.monotonic()
            process = subprocess.Popen(
                [sys.executable, SERVER_SCRIPT, "--releases", root, "--port", "0",
                 "--port-file", port_file, "--lifetime", "3", "--log", os.path.join(root, "log")])
            try:
                while not os.path.exists(port_file) and time.monotonic() - started < 10:
                    time.sleep(0.05)
                with open(port_file) as file:
                    port = int(file.read())
                self.assertEqual(body(request(port, "", SERIAL, 51091))[1], b"LATEST_VERSION")
                self.assertEqual(process.wait(timeout=10), 0)
            finally:
                process.kill()
            with open(os.path.join(root, "log")) as log:
                self.assertIn("127.0.0.1 latest", log.read())

    def test_a_broken_releases_folder_stops_the_start(self):
        with tempfile.TemporaryDirectory() as root:
            result = subprocess.run([sys.executable, SERVER_SCRIPT, "--releases", root, "--port", "0"],
                                    capture_output=True, timeout=20, text=True)
            self.assertEqual(result.returncode, 2)
            self.assertIn("cannot load releases", result.stderr)


if __name__ == "__main__":
    unittest.main()
