"""The Murmelon update service as a WSGI application (Python standard library only).

It answers the plug-in's update check from a releases folder: one sub-folder per flavour,
each with a release.ini, the flavour's newest module and its news (service/README.md).
Production runs it under gunicorn behind nginx (deploy/); service/update_server.py runs it
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
import stat
import subprocess
import sys
import threading
import time
from urllib.parse import parse_qs, quote

import player_key  # (beside this module)
import rollout

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
# The last digit of a build names the flavour: its release folder and deliverable.
FLAVOURS = {"1": ("w7", "Murmelon_W_7_D"), "2": ("xp", "Murmelon_W_XP_D")}
# Which builds a deliverable sends.
DELIVERABLE_SUFFIXES = {deliverable: suffix for suffix, (_, deliverable) in FLAVOURS.items()}

# The plug-in reads a build number of at most 9 digits, with no sign and no leading zero.
BUILD_TEXT = re.compile(r"[1-9][0-9]{0,8}")
# Beside release.ini: the whole update answer (keys, news, module), sent by nginx from disk.
ANSWER_FILE = "update.answer"

# What the plug-in takes (src/update): it gives up on an answer whose "DATA:" lies more than
# 64 KiB into the stream, status line and headers included, and on a download above 64 MiB.
PLUGIN_ANSWER_CAP = 64 * 1024
HTTP_HEAD_ALLOWANCE = 1024  # the front server's status line and headers (about 200 bytes)
ANSWER_HEAD_CAP = PLUGIN_ANSWER_CAP - HTTP_HEAD_ALLOWANCE  # the answer up to "DATA:", included
MODULE_CAP = 64 * 1024 * 1024
INI_CAP = 64 * 1024
READ_PIECE = 1024 * 1024
# Request headers that make the front server answer from a file with less than all of it.
CONDITIONAL_HEADERS = ("HTTP_IF_MATCH", "HTTP_IF_NONE_MATCH", "HTTP_IF_MODIFIED_SINCE",
                       "HTTP_IF_UNMODIFIED_SINCE", "HTTP_IF_RANGE", "HTTP_RANGE")
# How long a worker waits before it tries again a releases folder it could not load.
RETRY_SECONDS = 10

SIGNED_MESSAGE_TAG = b"murmelon-update-v1\n"
ED25519_PUBLIC_DER_PREFIX = bytes.fromhex("302a300506032b6570032100")

BAD_NAME_CHARACTERS = set('<>:"/\\|?*')
DEVICE_NAMES = {"con", "prn", "aux", "nul", "conin$", "conout$"} | {
    f"{kind}{n}" for kind in ("com", "lpt") for n in range(1, 10)}


class ReleaseError(Exception):
    pass


def check_build(build):
    """A build number the plug-in can read, or ReleaseError."""
    if not BUILD_TEXT.fullmatch(str(build)):
        raise ReleaseError(f"build {build} is not a number the plug-in reads (1 to 9 digits, "
                           f"no leading zero)")
    return int(build)


def module_keys(module):
    """The release keys built into a module: its key list is the only NUL-delimited text of
    one or two comma-separated 64-digit hex keys (cmake/release_keys.cmake)."""
    found = re.search(rb"\0([0-9a-f]{64}(?:,[0-9a-f]{64})?)\0", module)
    return found.group(1).decode("ascii").split(",") if found else []


def check_query(build, serial, module_digest=""):
    """The query string of the check the plug-in of `build` sends: its module's digest
    (empty at a first check), its machine's serial digest, and their joint digest."""
    joint = hashlib.md5((module_digest + serial).encode("ascii")).hexdigest()
    return f"mode=debug&a={module_digest}&b={serial}&c={joint}&d={build}"


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


def memory_file(name, data):
    """A descriptor of a file in memory holding data: openssl reads it as /dev/fd/N. Nothing
    goes through the temporary folder, so a full one cannot make a release fail to load."""
    fd = os.memfd_create(name, os.MFD_CLOEXEC)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        return fd
    except OSError:
        os.close(fd)
        raise


def verify_signature(public_hex, message, signature_hex):
    """Ed25519 through the openssl command (this application links nothing but Python's
    standard library). True when the signature verifies."""
    fds = []
    try:
        for name, data in (("key", public_key_pem(public_hex)), ("message", message),
                           ("signature", bytes.fromhex(signature_hex))):
            fds.append(memory_file(name, data))
        key, message_fd, signature = (f"/dev/fd/{fd}" for fd in fds)
        result = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", key, "-rawin",
                                 "-in", message_fd, "-sigfile", signature], pass_fds=fds,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise ReleaseError(f"cannot run openssl to check the signature: {error}") from None
    finally:
        for fd in fds:
            os.close(fd)
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


def open_regular(path, cap, what, why=""):
    """A descriptor of the regular file at path, at most cap bytes long, or ReleaseError.
    Opened without blocking and looked at before anything is read: a FIFO or a device in a
    release's place would hold the reading process (the master, at a reload) for good."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as error:
        raise ReleaseError(f"{what}: {error.strerror}: {path}") from None
    try:
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode):
            raise ReleaseError(f"{what} {path} is not a regular file")
        if status.st_size > cap:
            raise ReleaseError(f"{what} {path} is {status.st_size} bytes, above the cap of {cap}{why}")
        return fd
    except BaseException:
        os.close(fd)
        raise


def read_pieces(fd, cap, what):
    """The file's bytes piece by piece, up to cap: one that grows past it while it is read
    is refused without holding more than cap bytes."""
    total = 0
    while True:
        try:
            piece = os.read(fd, READ_PIECE)
        except OSError as error:
            raise ReleaseError(f"{what}: {error.strerror}") from None
        if not piece:
            return
        total += len(piece)
        if total > cap:
            raise ReleaseError(f"{what} grew above the cap of {cap} bytes while it was read")
        yield piece


def read_regular(path, cap, what, why=""):
    fd = open_regular(path, cap, what, why)
    try:
        return b"".join(read_pieces(fd, cap, what))
    finally:
        os.close(fd)


def file_digest(path, cap, what):
    """SHA-256 of a regular file of at most cap bytes, read in pieces."""
    digest = hashlib.sha256()
    fd = open_regular(path, cap, what)
    try:
        for piece in read_pieces(fd, cap, what):
            digest.update(piece)
    finally:
        os.close(fd)
    return digest.hexdigest()


def read_in_folder(folder, name, what, cap, why=""):
    """The bytes of the file `name` directly in `folder`: a description may not reach
    outside its release folder, by path or by symbolic link."""
    if not name or name in (".", "..") or os.path.basename(name) != name or "\\" in name:
        raise ReleaseError(f"{what} {name!r} is not a file name in the release folder")
    path = os.path.join(folder, name)
    if os.path.dirname(os.path.realpath(path)) != os.path.realpath(folder):
        raise ReleaseError(f"{what} {name!r} leads outside the release folder")
    return read_regular(path, cap, what, why)


def read_manifest(folder):
    """The [release] section of folder/release.ini, or ReleaseError."""
    parser = configparser.ConfigParser(interpolation=None)
    try:
        parser.read_string(read_regular(os.path.join(folder, "release.ini"), INI_CAP, "release.ini")
                           .decode("utf-8"))
    except (configparser.Error, UnicodeError) as error:
        raise ReleaseError(f"{error}") from None
    if "release" not in parser:
        raise ReleaseError("no [release] section")
    return parser["release"]


class Release:
    """The newest module of one flavour, as served, from the releases folder `source`."""

    def __init__(self, folder):
        self.folder = folder
        self.name = os.path.basename(os.path.normpath(folder))
        self.source = os.path.dirname(os.path.normpath(folder))
        manifest = os.path.join(folder, "release.ini")
        try:
            self._load(folder)
        except ReleaseError as error:
            raise ReleaseError(f"{manifest}: {error}") from None

    def _load(self, folder):
        section = read_manifest(folder)
        try:
            self.build = check_build(section["build"].strip())
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
        # A player's build ends in its flavour's digit: any other suffix serves nobody, or
        # takes another flavour's players.
        if self.suffix not in FLAVOURS:
            raise ReleaseError(f"suffix {self.suffix!r} is not a flavour's digit ({', '.join(FLAVOURS)})")
        if not str(self.build).endswith(self.suffix):
            raise ReleaseError(f"build {self.build} does not end in suffix {self.suffix!r}")

        self.module = read_in_folder(folder, module_name, "module", MODULE_CAP,
                                     " (the largest download a player takes)")
        self.news = b""
        # No news file named and none at the usual name: the release has no news.
        if news_name or os.path.lexists(os.path.join(folder, "news.txt")):
            self.news = read_in_folder(folder, news_name or "news.txt", "news", ANSWER_HEAD_CAP,
                                       " (what a player reads of an answer before DATA:)")
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
        if len(self.answer_head) > ANSWER_HEAD_CAP:
            raise ReleaseError(f"the answer before the module is {len(self.answer_head)} bytes (news "
                               f"{len(self.news)}), above the {ANSWER_HEAD_CAP} a player reads before "
                               f"DATA: (64 KiB with the HTTP head): shorten the news")
        answer = hashlib.sha256(self.answer_head)
        answer.update(self.module)
        self.answer_digest = answer.hexdigest()
        self.answer_file = self._check_answer_file(folder)

    def _check_answer_file(self, folder):
        """The path of the answer file when it holds exactly this answer; None when there is
        none. A file that holds anything else means the folder was changed."""
        path = os.path.join(folder, ANSWER_FILE)
        if not os.path.lexists(path):
            return None
        if answer_file_digest(path) != self.answer_digest:
            raise ReleaseError(f"{ANSWER_FILE} does not hold this release's answer")
        return path

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


def answer_file_digest(path):
    """Compared with the answer's own: a file rewritten in place keeps its size and can
    keep its time."""
    return file_digest(path, ANSWER_HEAD_CAP + MODULE_CAP, "answer file")


def release_folders(root):
    return [os.path.join(root, entry) for entry in sorted(os.listdir(root))
            if not entry.startswith(".") and os.path.lexists(os.path.join(root, entry, "release.ini"))]


def check_claims(releases):
    for i, one in enumerate(releases):
        for other in releases[i + 1:]:
            if one.suffix == other.suffix:
                raise ReleaseError(f"{one.folder} and {other.folder} claim the same builds")


def load_releases(root):
    """Every release folder of root, or ReleaseError: what the release tools accept."""
    releases = [Release(folder) for folder in release_folders(root)]
    check_claims(releases)
    if not releases:
        raise ReleaseError(f"{root}: no release folders (*/release.ini)")
    return releases


def log_to_stderr(text):
    sys.stderr.write(time.strftime("%Y-%m-%d %H:%M:%S ") + text + "\n")
    sys.stderr.flush()


class UpdateApp:
    """The WSGI application over one releases folder.

    `root` may be a symbolic link that tools/publish.sh switches to another folder: the
    application notices at its next request and loads the new folder. What it serves comes
    from the folder `root` names, in every process: a flavour folder it cannot load is
    logged and skipped, the release of that flavour it last loaded whole from that same
    folder stays served (none: its players get a plain 503), and the folder is tried again
    after RETRY_SECONDS (or at reload()), so the service catches up once the cause is gone.
    A release from another folder is never served again once `root` has left it: under
    gunicorn a new worker starts from the master's copy, which may predate a rollback.

    With `files` (a folder that holds the release folders) and `files_uri`, an update is
    answered by an internal redirect to the release's answer file under files_uri, which
    the front server (nginx) sends from disk; otherwise from memory.

    A rollout beside `root` (rollout.py) stages the served release to a share of the
    players; the log names players by a keyed digest under the secrets in `keys`
    (player_key.py; None: a secret of this process's own).
    """

    def __init__(self, root, log=log_to_stderr, files=None, files_uri="/murmelon-files/", keys=None):
        self.root = root
        self.log = log
        self.staging = rollout.Staging(root, Release, log, RETRY_SECONDS)
        self.players = player_key.PlayerKeys(keys, log)
        self.files = os.path.realpath(files) if files else None
        self.files_uri = files_uri
        self._lock = threading.Lock()
        self.releases = []
        self._source = None      # the folder served whole, if one is
        self._failed = None      # the folder that did not load whole, and when to try again
        self._retry_at = 0.0
        self._changed_answers = set()
        self.refresh(force=True)

    def refresh(self, force=False):
        """Follows `root` to the folder it now names and loads it, unless it is already
        served or failed less than RETRY_SECONDS ago (force: try now). True when the
        folder is served whole."""
        source = os.path.realpath(self.root)
        self.staging.refresh(source, force)
        if source == self._source and not force:
            return True
        if source == self._failed and not force and time.monotonic() < self._retry_at:
            return False
        with self._lock:
            return self._load(source)

    def reload(self):
        """SIGHUP, gunicorn's reload: try the folder now, whatever failed before."""
        return self.refresh(force=True)

    def _load(self, source):
        loaded, problems = {}, []
        try:
            for folder in release_folders(source):
                try:
                    loaded[os.path.basename(folder)] = Release(folder)
                except (ReleaseError, OSError) as error:
                    problems.append(f"{error}")
            if not loaded and not problems:
                problems.append(f"{source}: no release folders (*/release.ini)")
        except OSError as error:
            problems.append(f"{error}")
        # Unless the folder loaded whole, each flavour it did not give keeps the release it had
        # from this same folder, and only that.
        same = [r for r in self.releases if r.source == source]
        kept = [r for r in same if r.name not in loaded] if problems else []
        releases = sorted(list(loaded.values()) + kept, key=lambda r: r.name)
        try:
            check_claims(releases)
        except ReleaseError as error:
            problems, releases = [f"{error}"], same
        verb = "now serving" if self.releases else "serving"
        self.releases = releases
        if problems:
            self._source, self._failed, self._retry_at = None, source, time.monotonic() + RETRY_SECONDS
            served = "; ".join(r.describe() for r in releases) or "nothing"
            self.log(f"cannot load all of {source} (trying again in {RETRY_SECONDS} s or at reload): "
                     + "; ".join(problems) + f"; still serving {served}")
            return False
        self._source, self._failed = source, None
        self.log(f"{verb} {source}: " + "; ".join(r.describe() for r in releases))
        return True

    def decide(self, query):
        """(status, body parts, log text, the release when the answer is an update) for
        the check's query string."""
        fields = parse_qs(query, keep_blank_values=True)
        a, b, c, d = (fields.get(key, [""])[0] for key in "abcd")
        if (a and not HEX_DIGEST.fullmatch(a)) or not HEX_DIGEST.fullmatch(b) \
                or c != hashlib.md5((a + b).encode("ascii")).hexdigest() \
                or not BUILD_TEXT.fullmatch(d):  # the plug-in sends no leading zero
            return "200 OK", [b"ERROR"], "flavour=- client=- verdict=refused", None
        build = int(d)
        release = next((r for r in self.releases if r.serves(build)), None)
        if release is None and self._failed:
            # Its flavour may be in the folder that did not load: no verdict rather than a wrong one.
            return "503 Service Unavailable", [b"unavailable\n"], f"flavour=- client={build} verdict=unavailable", None
        if release is None:
            return "200 OK", [b"ERROR"], f"flavour=- client={build} verdict=unknown-flavour", None
        flavour = release.name
        release, tail = self.staging.choose(release, build, a, b)
        tail += f" player={self.players.digest(b)}"  # never b itself
        if release is None:
            return "503 Service Unavailable", [b"unavailable\n"], f"flavour={flavour} client={build} verdict=unavailable{tail}", None
        words = f"flavour={release.name} client={build} served={release.build} verdict="
        if build == release.build or a == release.digest:
            return "200 OK", [b"LATEST_VERSION"], words + "latest" + tail, None
        if build > release.build:
            return "200 OK", [b"FUTURE_VERSION"], words + "future" + tail, None
        return "200 OK", [release.answer_head, release.module], words + "update" + tail, release

    def _file_uri(self, release):
        """Where the front server finds the release's answer file, while it still holds the
        answer (by its digest, at each update); None otherwise: the answer then goes out
        from memory."""
        if not self.files or not release.answer_file:
            return None
        path = release.answer_file
        relative = os.path.relpath(path, self.files)
        if relative.startswith(".."):
            return None
        try:
            found = answer_file_digest(path)
        except ReleaseError as error:
            found = f"{error}"
        if found != release.answer_digest:
            if (path, found) not in self._changed_answers:  # once for each thing found there
                self._changed_answers.add((path, found))
                self.log(f"{path} changed since it was loaded: answering {release.name} from memory")
            return None
        return self.files_uri + quote(relative)

    def __call__(self, environ, start_response):
        release = None
        if environ.get("PATH_INFO") != CHECK_PATH:
            status, parts, words = "404 Not Found", [b"not found\n"], "verdict=not-found"
        elif environ.get("REQUEST_METHOD") != "GET":
            status, parts, words = "405 Method Not Allowed", [b"not allowed\n"], "verdict=not-allowed"
        else:
            self.refresh()
            status, parts, words, release = self.decide(environ.get("QUERY_STRING", ""))
        # From the file, the front server would answer these itself (304, 412, a part of it);
        # the plug-in takes whatever comes as the answer, so they get it whole, from memory.
        conditional = any(header in environ for header in CONDITIONAL_HEADERS)
        uri = self._file_uri(release) if release and not conditional else None
        if uri:
            start_response(status, [("X-Accel-Redirect", uri), ("Content-Length", "0"), (LOG_HEADER, words)])
            return []
        kind = "application/octet-stream" if len(parts) > 1 else "text/plain"
        start_response(status, [("Content-Type", kind),
                                ("Content-Length", str(sum(len(p) for p in parts))),
                                (LOG_HEADER, words)])
        return parts


def create_app(releases=None, files=None, files_uri="/murmelon-files/", keys=None):
    """For WSGI servers: the releases folder from the argument or MURMELON_RELEASES; see
    UpdateApp for files, files_uri and keys."""
    return UpdateApp(releases or os.environ["MURMELON_RELEASES"], files=files, files_uri=files_uri, keys=keys)
