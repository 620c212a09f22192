"""What the service logs for a player instead of its serial digest.

The serial digest (the check's `b`) is the MD5 of a volume serial number: one of 2**32
values, found again from the MD5 in minutes. So the log gets a keyed digest of it
(HMAC-SHA-256 under a secret, cut to 16 hex digits): the log alone tells players apart and
names none. The secret is a file in the site's key folder, named by the UTC day it was
made, and serves 30 days from then; the first process that needs a newer one makes it
and deletes the others, so a log older than that can no longer be tied to a machine by
anyone. Processes share the folder: a new secret is written aside and linked into place
under its day's name, and whoever loses that race reads the winner's.
"""

import calendar
import hashlib
import hmac
import os
import re
import time

KEY_DAYS = 30
KEY_BYTES = 32
# How long a process trusts the secret it read before it looks at the folder again (a
# secret deleted or replaced by hand reaches every worker within this).
RECHECK_SECONDS = 60
KEY_NAME = re.compile(r"(\d{4}-\d{2}-\d{2})\.key")
DAY = 86400


def day_of(seconds):
    return time.strftime("%Y-%m-%d", time.gmtime(seconds))


def start_of(day):
    return calendar.timegm(time.strptime(day, "%Y-%m-%d"))


class PlayerKeys:
    """digest(serial) -> the logged text. `folder` None: a secret for this process's life
    only (the development server, tests); `now` is the clock (seconds since the epoch)."""

    def __init__(self, folder=None, log=lambda text: None, now=time.time):
        self.folder, self.log, self.now = folder, log, now
        self._secret = os.urandom(KEY_BYTES) if folder is None else None
        self._expires = float("inf") if folder is None else 0.0
        self._recheck_at = 0.0
        self._failing = False

    def digest(self, serial):
        secret = self._current()
        if secret is None:
            return "-"
        return hmac.new(secret, serial.encode("ascii"), hashlib.sha256).hexdigest()[:16]

    def _current(self):
        now = self.now()
        if self.folder is None or (now < self._recheck_at and now < self._expires):
            return self._secret
        try:
            day, secret = self._newest(now) or self._make(now)
            self._delete_others(day)
        except OSError as error:
            if not self._failing:
                self.log(f"cannot keep the player key in {self.folder} ({error}): players are logged "
                         f"as player=- until it can")
            self._failing = True
            self._recheck_at = now + RECHECK_SECONDS
            return self._secret if now < self._expires else None
        if self._failing:
            self.log(f"player key in {self.folder} usable again")
        self._failing = False
        self._secret, self._expires = secret, start_of(day) + KEY_DAYS * DAY
        self._recheck_at = now + RECHECK_SECONDS
        return secret

    def _newest(self, now):
        """(day, secret) of the newest secret still in its 30 days, or None."""
        today = day_of(now)
        if not os.path.isdir(self.folder):
            return None
        days = sorted((m.group(1) for m in map(KEY_NAME.fullmatch, os.listdir(self.folder)) if m), reverse=True)
        for day in days:
            if day <= today and now < start_of(day) + KEY_DAYS * DAY:
                with open(os.path.join(self.folder, day + ".key"), "rb") as file:
                    secret = file.read(KEY_BYTES + 1)
                if len(secret) == KEY_BYTES:
                    return day, secret
        return None

    def _make(self, now):
        day = day_of(now)
        path = os.path.join(self.folder, day + ".key")
        os.makedirs(self.folder, mode=0o700, exist_ok=True)
        aside = os.path.join(self.folder, f".{day}.{os.getpid()}.new")
        fd = os.open(aside, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        try:
            with os.fdopen(fd, "wb") as file:
                file.write(os.urandom(KEY_BYTES))
            try:
                os.link(aside, path)
                self.log(f"new player key {path}: players are told apart afresh from today")
            except FileExistsError:
                pass  # another process made today's first, or a damaged one is there: read it
        finally:
            os.remove(aside)
        with open(path, "rb") as file:
            secret = file.read(KEY_BYTES + 1)
        if len(secret) != KEY_BYTES:
            raise OSError(f"{path} does not hold a {KEY_BYTES}-byte key (remove it)")
        return day, secret

    def _delete_others(self, day):
        for entry in os.listdir(self.folder):
            match = KEY_NAME.fullmatch(entry)
            if match and match.group(1) != day:
                try:
                    os.remove(os.path.join(self.folder, entry))
                except FileNotFoundError:
                    pass
