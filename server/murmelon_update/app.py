"""The Murmelon update service as a WSGI application (Python standard library only).

It answers the plug-in's update check from a releases folder: one sub-folder per flavour
in the release format (release.py). Production runs it under gunicorn behind nginx
(conf/); tools/update_server.py runs it for development, demos and tests.

The plug-in reads the whole answer, status line and headers included, as one byte stream
and searches it for its markers without regard to case: the one header this application
adds for the front server's log (LOG_HEADER) is removed by the front before anything is
sent.
"""

import hashlib
import os
import re
import sys
import threading
import time
from urllib.parse import parse_qs, quote

from . import outcome, player_key
from .release import BUILD_TEXT, CHECK_PATH, FlavourRelease, ReleaseError, check_claims, flavour_folders
from .staging import Staging

LOG_HEADER = "X-Murmelon-Log"
HEX_DIGEST = re.compile(r"[0-9a-f]{32}")
# Request headers that make the front server answer from a file with less than all of it.
CONDITIONAL_HEADERS = ("HTTP_IF_MATCH", "HTTP_IF_NONE_MATCH", "HTTP_IF_MODIFIED_SINCE",
                       "HTTP_IF_UNMODIFIED_SINCE", "HTTP_IF_RANGE", "HTTP_RANGE")
# How long a worker waits before it tries again a releases folder it could not load.
RETRY_SECONDS = 10


def log_to_stderr(text):
    sys.stderr.write(time.strftime("%Y-%m-%d %H:%M:%S ") + text + "\n")
    sys.stderr.flush()


class UpdateApp:
    """The WSGI application over one releases folder.

    `root` may be a symbolic link that `murmelon-release` switches to another folder: the
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

    A rollout beside `root` (rollout.py, staging.py) stages the served release to a share of the
    players; the log names players by a keyed digest under the secrets in `keys`
    (player_key.py; None: a secret of this process's own).
    """

    def __init__(self, root, log=log_to_stderr, files=None, files_uri="/murmelon-files/", keys=None):
        self.root = root
        self.log = log
        self.staging = Staging(root, FlavourRelease, log, RETRY_SECONDS)
        self.players = player_key.PlayerKeys(keys, log)
        self.files = os.path.realpath(files) if files else None
        self.files_uri = files_uri
        self._lock = threading.Lock()
        self.releases = []
        self._source = None      # the folder served whole, if one is
        self._failed = None      # the folder that did not load whole, and when to try again
        self._retry_at = 0.0
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
            for folder in flavour_folders(source):
                try:
                    loaded[os.path.basename(folder)] = FlavourRelease(folder)
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
        # never b itself; the run it reports only as validated words
        tail += f" player={self.players.digest(b)}" + outcome.log_words(fields)
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
        answer; None otherwise: the answer then goes out from memory."""
        if not self.files or not release.answer_file:
            return None
        relative = os.path.relpath(release.answer_file, self.files)
        if relative.startswith(".."):
            return None
        holds, changed = release.answer_file_holds()
        if not holds:
            if changed:  # once for each thing found there
                self.log(f"{release.answer_file} changed since it was loaded: answering {release.name} from memory")
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
