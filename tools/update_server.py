#!/usr/bin/env python3
"""Update server for the Murmelon plug-in.

Answers the plug-in's update check from a folder of releases: one sub-folder per
flavour, each holding the flavour's newest module, its version label and news text.
See tools/update_server.md for the folder layout and for deployment.

The plug-in reads the answer as one byte stream, status line and headers included, and
looks for its markers anywhere in it. So every answer is built here byte for byte, and
a release whose texts would contain a marker is refused when the releases are loaded.
"""

import argparse
import configparser
import hashlib
import os
import re
import signal
import socket
import socketserver
import sys
import threading
import time
from urllib.parse import parse_qs, urlsplit

CHECK_PATH = "/Murmelon/CheckUpdate_v2.php"
MAX_REQUEST_HEAD = 8192
REQUEST_TIMEOUT = 10.0
HEX_DIGEST = re.compile(r"[0-9a-f]{32}")

# Texts the plug-in searches for (without regard to case). A value that contained one
# would end the plug-in's reading early or turn an update into a refusal.
VERDICT_MARKERS = ("error", "latest_version", "future_version", "data:")
BAD_NAME_CHARACTERS = set('<>:"/\\|?*')
DEVICE_NAMES = {"con", "prn", "aux", "nul", "conin$", "conout$"} | {
    f"{kind}{n}" for kind in ("com", "lpt") for n in range(1, 10)}


class ReleaseError(Exception):
    pass


class Release:
    """The newest module of one flavour."""

    def __init__(self, folder):
        manifest = os.path.join(folder, "release.ini")
        parser = configparser.ConfigParser(interpolation=None)
        if not parser.read(manifest, encoding="utf-8") or "release" not in parser:
            raise ReleaseError(f"{manifest}: no [release] section")
        section = parser["release"]
        try:
            self.build = int(section["build"])
            self.suffix = section["suffix"].strip()
            self.version = section["version"]
            module_name = section.get("module", "").strip()
            self.save_as = section.get("save_as", "").strip() or module_name + ".new"
            news_name = section.get("news", "").strip()
        except (KeyError, ValueError) as error:
            raise ReleaseError(f"{manifest}: {error!r}") from None
        if not self.suffix.isdigit() or not str(self.build).endswith(self.suffix):
            raise ReleaseError(f"{manifest}: build {self.build} does not end in suffix {self.suffix!r}")
        self.folder = folder
        try:
            with open(os.path.join(folder, module_name), "rb") as file:
                self.module = file.read()
            self.news = b""
            # No news file named and none at the usual name: the release has no news.
            news_path = os.path.join(folder, news_name or "news.txt")
            if news_name or os.path.exists(news_path):
                with open(news_path, "rb") as file:
                    self.news = file.read()
        except OSError as error:
            raise ReleaseError(f"{manifest}: {error}") from None
        self.digest = hashlib.md5(self.module).hexdigest()
        self._check_texts(manifest)

    def _check_texts(self, manifest):
        version = self.version.encode("utf-8")
        save_as = self.save_as.encode("utf-8")
        head = self.module.split(b"\0", 1)[0]  # the plug-in searches up to the first zero byte
        for what, value, extra in (("version", version, ()), ("news", self.news, ("version:",)),
                                   ("save_as", save_as, ("md5:", "saveto:")),
                                   ("module start", head, ())):
            lowered = value.lower()
            for marker in VERDICT_MARKERS + extra:
                if marker.encode() in lowered:
                    raise ReleaseError(f"{manifest}: {what} contains {marker!r}")
            if b"\0" in value and what != "module start":
                raise ReleaseError(f"{manifest}: {what} contains a zero byte")
        if not is_safe_file_name(self.save_as):
            raise ReleaseError(f"{manifest}: save_as {self.save_as!r} is not a bare file name")

    def serves(self, build):
        return str(build).endswith(self.suffix)


def is_safe_file_name(name):
    """What the plug-in accepts as a download name, in plain ASCII: the plug-in opens it
    with the player's ANSI code page and counts its length in bytes."""
    if not name or len(name) > 200 or name[-1] in ". ":
        return False
    if any(c in BAD_NAME_CHARACTERS or not 32 <= ord(c) < 127 for c in name):
        return False
    base = name.split(".", 1)[0].rstrip(" ").lower()
    return base not in DEVICE_NAMES and name.lower() != "stufftata.btz"


def load_releases(root):
    releases = []
    for entry in sorted(os.listdir(root)):
        folder = os.path.join(root, entry)
        if os.path.isfile(os.path.join(folder, "release.ini")):
            releases.append(Release(folder))
    for i, one in enumerate(releases):
        for other in releases[i + 1:]:
            if one.suffix.endswith(other.suffix) or other.suffix.endswith(one.suffix):
                raise ReleaseError(f"{one.folder} and {other.folder} claim the same builds")
    if not releases:
        raise ReleaseError(f"{root}: no release folders (*/release.ini)")
    return releases


def http_answer(body, status="200 OK", content_type="text/plain"):
    head = (f"HTTP/1.0 {status}\r\nContent-Type: {content_type}\r\n"
            f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n")
    return head.encode("ascii") + body


def decide(releases, target):
    """(log word, answer bytes) for a request target such as "/Murmelon/...?a=..."."""
    parts = urlsplit(target)
    if parts.path != CHECK_PATH:
        return "not-found", http_answer(b"not found\n", "404 Not Found")
    query = parse_qs(parts.query, keep_blank_values=True)
    a = query.get("a", [""])[0]
    b = query.get("b", [""])[0]
    c = query.get("c", [""])[0]
    d = query.get("d", [""])[0]
    if (a and not HEX_DIGEST.fullmatch(a)) or not HEX_DIGEST.fullmatch(b) \
            or c != hashlib.md5((a + b).encode("ascii")).hexdigest() \
            or not re.fullmatch(r"[0-9]{1,9}", d):
        return "refused", http_answer(b"ERROR")
    build = int(d)
    release = next((r for r in releases if r.serves(build)), None)
    if release is None:
        return "unknown-flavour", http_answer(b"ERROR")
    if build == release.build or a == release.digest:
        return "latest", http_answer(b"LATEST_VERSION")
    if build > release.build:
        return "future", http_answer(b"FUTURE_VERSION")
    body = (b"SAVETO:" + release.save_as.encode("utf-8") + b"MD5:" + release.digest.encode("ascii")
            + b"WHATNEW:" + release.news + b"VERSION:" + release.version.encode("utf-8")
            + b"DATA:" + release.module)
    return f"update-to-{release.build}", http_answer(body, content_type="application/octet-stream")


def read_request_head(connection):
    data = b""
    while b"\r\n\r\n" not in data and len(data) < MAX_REQUEST_HEAD:
        piece = connection.recv(4096)
        if not piece:
            break
        data += piece
    return data


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.settimeout(REQUEST_TIMEOUT)
        try:
            head = read_request_head(self.request)
            line = head.split(b"\r\n", 1)[0].decode("latin-1")
            fields = line.split(" ")
            if len(fields) != 3 or fields[0] != "GET" or not fields[2].startswith("HTTP/1."):
                word, answer = "bad-request", http_answer(b"bad request\n", "400 Bad Request")
            else:
                word, answer = decide(self.server.releases, fields[1])
            self.request.sendall(answer)
            self.request.shutdown(socket.SHUT_WR)
        except OSError as error:
            word = f"failed ({error})"
        log(f"{self.client_address[0]} {word}")


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def log(text):
    sys.stderr.write(time.strftime("%Y-%m-%d %H:%M:%S ") + text + "\n")
    sys.stderr.flush()


def write_port_file(path, port):
    # Written whole, then renamed: a reader never sees a half-written number.
    temporary = path + ".tmp"
    with open(temporary, "w") as file:
        file.write(f"{port}\n")
    os.replace(temporary, path)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--releases", required=True, help="folder of release folders")
    parser.add_argument("--bind", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=80, help="TCP port; 0 picks a free one (default 80)")
    parser.add_argument("--port-file", help="write the port listened on to this file")
    parser.add_argument("--log", help="append the log here instead of standard error "
                        "(standard input and output are then closed too)")
    parser.add_argument("--lifetime", type=float, help="stop after this many seconds")
    return parser.parse_args(argv)


def detach_standard_streams(log_path):
    # A caller waiting on our inherited output (a test runner) is released at once.
    null = os.open(os.devnull, os.O_RDWR)
    os.dup2(null, 0)
    os.dup2(null, 1)
    log_fd = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    os.dup2(log_fd, 2)


def main(argv=None):
    args = parse_arguments(argv)
    if args.log:
        detach_standard_streams(args.log)
    try:
        releases = load_releases(args.releases)
    except (ReleaseError, OSError) as error:
        log(f"cannot load releases: {error}")
        return 2
    server = Server((args.bind, args.port), Handler)
    server.releases = releases
    port = server.server_address[1]
    for release in releases:
        log(f"serving build {release.build} (builds ending in {release.suffix}) "
            f"as {release.save_as}, md5 {release.digest}")

    def reload(*_):
        try:
            server.releases = load_releases(args.releases)
            log("releases reloaded")
        except (ReleaseError, OSError) as error:
            log(f"reload failed, keeping the old releases: {error}")

    if hasattr(signal, "SIGHUP"):
        signal.signal(signal.SIGHUP, reload)
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    if args.lifetime:
        timer = threading.Timer(args.lifetime, server.shutdown)
        timer.daemon = True
        timer.start()
    if args.port_file:
        write_port_file(args.port_file, port)
    log(f"listening on {args.bind}:{port}")
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
