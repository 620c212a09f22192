"""The Murmelon update service as a WSGI application (Python standard library only).

It answers the plug-in's update check from a releases folder: one sub-folder per flavour,
each with a release.ini, the flavour's newest module and its news (tools/update_server.md).
Production runs it under gunicorn behind nginx (deploy/); tools/update_server.py runs it
for development, demos and tests.

The plug-in reads the whole answer, status line and headers included, as one byte stream
and searches it for its markers without regard to case. So a release whose texts hold a
marker is refused when it is loaded, and the one header this application adds for the
front server's log (LOG_HEADER) is removed by the front before anything is sent.
"""

import base64
import configparser
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
from urllib.parse import parse_qs

CHECK_PATH = "/Murmelon/CheckUpdate_v2.php"
LOG_HEADER = "X-Murmelon-Log"
HEX_DIGEST = re.compile(r"[0-9a-f]{32}")
HEX_SIGNATURE = re.compile(r"[0-9a-f]{128}")
HEX_PUBLIC_KEY = re.compile(r"[0-9a-f]{64}")

# Every text the plug-in searches for (without regard to case). No served text may hold
# one, nor may anything a server in front adds.
MARKERS = ("error", "latest_version", "future_version", "saveto:", "md5:", "whatnew:",
           "version:", "data:", "build:", "signature:")
# The module's bytes up to its first zero byte are searched before "DATA:" is cut off.
VERDICT_MARKERS = ("error", "latest_version", "future_version", "data:")
# Which builds a deliverable sends: the last digit of the build number names the flavour.
DELIVERABLE_SUFFIXES = {"Murmelon_W_7_D": "1", "Murmelon_W_XP_D": "2"}

SIGNED_MESSAGE_TAG = b"murmelon-update-v1\n"
ED25519_PUBLIC_DER_PREFIX = bytes.fromhex("302a300506032b6570032100")

BAD_NAME_CHARACTERS = set('<>:"/\\|?*')
DEVICE_NAMES = {"con", "prn", "aux", "nul", "conin$", "conout$"} | {
    f"{kind}{n}" for kind in ("com", "lpt") for n in range(1, 10)}


class ReleaseError(Exception):
    pass


def find_marker(data, markers=MARKERS):
    lowered = data.lower()
    return next((m for m in markers if m.encode("ascii") in lowered), None)


def signed_message(deliverable, build, module):
    """The bytes a release's signature covers; the plug-in builds the same from its own
    name and the module it downloaded."""
    return (SIGNED_MESSAGE_TAG + f"{deliverable}\n{build}\n{len(module)}\n"
            f"{hashlib.sha256(module).hexdigest()}\n".encode("ascii"))


def public_key_pem(public_hex):
    der = ED25519_PUBLIC_DER_PREFIX + bytes.fromhex(public_hex)
    return b"-----BEGIN PUBLIC KEY-----\n" + base64.b64encode(der) + b"\n-----END PUBLIC KEY-----\n"


def verify_signature(public_hex, message, signature_hex):
    """Ed25519 through the openssl command (this application links nothing but Python's
    standard library). True when the signature verifies."""
    with tempfile.TemporaryDirectory(prefix="murmelon-verify.") as work:
        paths = {name: os.path.join(work, name) for name in ("key", "msg", "sig")}
        for name, data in (("key", public_key_pem(public_hex)), ("msg", message),
                           ("sig", bytes.fromhex(signature_hex))):
            with open(paths[name], "wb") as file:
                file.write(data)
        try:
            result = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", paths["key"],
                                     "-rawin", "-in", paths["msg"], "-sigfile", paths["sig"]],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        except (OSError, subprocess.TimeoutExpired) as error:
            raise ReleaseError(f"cannot run openssl to check the signature: {error}") from None
        return result.returncode == 0


def is_safe_file_name(name):
    """What the plug-in accepts as a download name, in plain ASCII: the plug-in opens it
    with the player's ANSI code page and counts its length in bytes."""
    if not name or len(name) > 200 or name[-1] in ". ":
        return False
    if any(c in BAD_NAME_CHARACTERS or not 32 <= ord(c) < 127 for c in name):
        return False
    base = name.split(".", 1)[0].rstrip(" ").lower()
    return base not in DEVICE_NAMES and name.lower() != "stufftata.btz"


def read_in_folder(folder, name, what):
    """The bytes of the file `name` directly in `folder`: a description may not reach
    outside its release folder, by path or by symbolic link."""
    if not name or name in (".", "..") or os.path.basename(name) != name or "\\" in name:
        raise ReleaseError(f"{what} {name!r} is not a file name in the release folder")
    path = os.path.join(folder, name)
    if os.path.dirname(os.path.realpath(path)) != os.path.realpath(folder):
        raise ReleaseError(f"{what} {name!r} leads outside the release folder")
    try:
        with open(path, "rb") as file:
            return file.read()
    except OSError as error:
        raise ReleaseError(f"{what}: {error}") from None


class Release:
    """The newest module of one flavour, as served."""

    def __init__(self, folder):
        self.folder = folder
        self.name = os.path.basename(os.path.normpath(folder))
        manifest = os.path.join(folder, "release.ini")
        try:
            self._load(folder)
        except ReleaseError as error:
            raise ReleaseError(f"{manifest}: {error}") from None

    def _load(self, folder):
        parser = configparser.ConfigParser(interpolation=None)
        try:
            if not parser.read(os.path.join(folder, "release.ini"), encoding="utf-8"):
                raise ReleaseError("cannot be read")
        except (configparser.Error, UnicodeError) as error:
            raise ReleaseError(f"{error}") from None
        if "release" not in parser:
            raise ReleaseError("no [release] section")
        section = parser["release"]
        try:
            self.build = int(section["build"])
            self.suffix = section["suffix"].strip()
            self.version = section["version"]
            module_name = section["module"].strip()
        except (KeyError, ValueError) as error:
            raise ReleaseError(f"{error!r}") from None
        self.save_as = section.get("save_as", "").strip() or module_name + ".new"
        news_name = section.get("news", "").strip()
        self.deliverable = section.get("deliverable", "").strip() or module_name.rsplit(".", 1)[0]
        self.signature = section.get("signature", "").strip()
        self.public_key = section.get("public_key", "").strip()
        if not self.suffix.isdigit() or not str(self.build).endswith(self.suffix):
            raise ReleaseError(f"build {self.build} does not end in suffix {self.suffix!r}")

        self.module = read_in_folder(folder, module_name, "module")
        self.news = b""
        # No news file named and none at the usual name: the release has no news.
        if news_name or os.path.exists(os.path.join(folder, "news.txt")):
            self.news = read_in_folder(folder, news_name or "news.txt", "news")
        self.digest = hashlib.md5(self.module).hexdigest()
        self._check_texts()
        self._check_signature()

        head = b""
        if self.signature:
            head = b"BUILD:" + str(self.build).encode("ascii") + b"SIGNATURE:" + self.signature.encode("ascii")
        # Everything before the module's bytes, made once: an answer then costs no copy.
        self.answer_head = (head + b"SAVETO:" + self.save_as.encode("ascii") + b"MD5:"
                            + self.digest.encode("ascii") + b"WHATNEW:" + self.news + b"VERSION:"
                            + self.version.encode("utf-8") + b"DATA:")

    def _check_texts(self):
        if not is_safe_file_name(self.save_as):
            raise ReleaseError(f"save_as {self.save_as!r} is not a bare file name")
        head = self.module.split(b"\0", 1)[0]  # the plug-in searches up to the first zero byte
        for what, value, markers in (("version", self.version.encode("utf-8"), MARKERS),
                                     ("news", self.news, MARKERS),
                                     ("save_as", self.save_as.encode("ascii"), MARKERS),
                                     ("module start", head, VERDICT_MARKERS)):
            marker = find_marker(value, markers)
            if marker:
                raise ReleaseError(f"{what} contains {marker!r}")
            if b"\0" in value and what != "module start":
                raise ReleaseError(f"{what} contains a zero byte")

    def _check_signature(self):
        if not self.signature and not self.public_key:
            return
        if not HEX_SIGNATURE.fullmatch(self.signature) or not HEX_PUBLIC_KEY.fullmatch(self.public_key):
            raise ReleaseError("a signed release needs signature (128 lower-case hex digits) "
                               "and public_key (64)")
        suffix = DELIVERABLE_SUFFIXES.get(self.deliverable)
        if suffix is None or not str(self.build).endswith(suffix):
            raise ReleaseError(f"deliverable {self.deliverable!r} does not send builds ending in {self.suffix!r}")
        if not verify_signature(self.public_key, signed_message(self.deliverable, self.build, self.module),
                                self.signature):
            raise ReleaseError(f"the signature does not verify under key {self.public_key}")

    def serves(self, build):
        return str(build).endswith(self.suffix)

    def describe(self):
        signed = f"signed by key {self.public_key[:16]}..." if self.signature else "unsigned"
        return (f"{self.name}: build {self.build} (builds ending in {self.suffix}), "
                f"version {self.version!r}, {len(self.module)} bytes, md5 {self.digest}, {signed}")


def load_releases(root):
    releases = []
    for entry in sorted(os.listdir(root)):
        folder = os.path.join(root, entry)
        if not entry.startswith(".") and os.path.isfile(os.path.join(folder, "release.ini")):
            releases.append(Release(folder))
    for i, one in enumerate(releases):
        for other in releases[i + 1:]:
            if one.suffix.endswith(other.suffix) or other.suffix.endswith(one.suffix):
                raise ReleaseError(f"{one.folder} and {other.folder} claim the same builds")
    if not releases:
        raise ReleaseError(f"{root}: no release folders (*/release.ini)")
    return releases


def log_to_stderr(text):
    sys.stderr.write(time.strftime("%Y-%m-%d %H:%M:%S ") + text + "\n")
    sys.stderr.flush()


class UpdateApp:
    """The WSGI application over one releases folder.

    `root` may be a symbolic link that tools/publish.sh switches to another folder: the
    application notices at its next request and loads the new folder (a folder it cannot
    load is logged and the old releases stay served). reload() re-reads in place.
    """

    def __init__(self, root, log=log_to_stderr):
        self.root = root
        self.log = log
        self._lock = threading.Lock()
        self._failed = None
        self._source = os.path.realpath(root)
        self.releases = load_releases(self._source)
        self._say_served("serving")

    def _say_served(self, verb):
        self.log(f"{verb} {self._source}: " + "; ".join(r.describe() for r in self.releases))

    def reload(self, source=None):
        """True when the folder loaded; the old releases stay served otherwise."""
        source = source or os.path.realpath(self.root)
        with self._lock:
            try:
                releases = load_releases(source)
            except (ReleaseError, OSError) as error:
                self._failed = source
                self.log(f"reload failed, still serving {self._source}: {error}")
                return False
            self.releases, self._source, self._failed = releases, source, None
            self._say_served("now serving")
            return True

    def _follow_switch(self):
        source = os.path.realpath(self.root)
        if source != self._source and source != self._failed:
            self.reload(source)

    def decide(self, query):
        """(status, body parts, log text) for the check's query string."""
        fields = parse_qs(query, keep_blank_values=True)
        a, b, c, d = (fields.get(key, [""])[0] for key in "abcd")
        if (a and not HEX_DIGEST.fullmatch(a)) or not HEX_DIGEST.fullmatch(b) \
                or c != hashlib.md5((a + b).encode("ascii")).hexdigest() \
                or not re.fullmatch(r"[0-9]{1,9}", d):
            return [b"ERROR"], "flavour=- client=- verdict=refused"
        build = int(d)
        release = next((r for r in self.releases if r.serves(build)), None)
        if release is None:
            return [b"ERROR"], f"flavour=- client={build} verdict=unknown-flavour"
        words = f"flavour={release.name} client={build} served={release.build} verdict="
        if build == release.build or a == release.digest:
            return [b"LATEST_VERSION"], words + "latest"
        if build > release.build:
            return [b"FUTURE_VERSION"], words + "future"
        return [release.answer_head, release.module], words + "update"

    def __call__(self, environ, start_response):
        if environ.get("PATH_INFO") != CHECK_PATH:
            status, parts, words = "404 Not Found", [b"not found\n"], "verdict=not-found"
        elif environ.get("REQUEST_METHOD") != "GET":
            status, parts, words = "405 Method Not Allowed", [b"not allowed\n"], "verdict=not-allowed"
        else:
            self._follow_switch()
            parts, words = self.decide(environ.get("QUERY_STRING", ""))
            status = "200 OK"
        kind = "application/octet-stream" if len(parts) > 1 else "text/plain"
        start_response(status, [("Content-Type", kind),
                                ("Content-Length", str(sum(len(p) for p in parts))),
                                (LOG_HEADER, words)])
        return parts


def create_app(releases=None):
    """For WSGI servers: the releases folder from the argument or MURMELON_RELEASES."""
    return UpdateApp(releases or os.environ["MURMELON_RELEASES"])
