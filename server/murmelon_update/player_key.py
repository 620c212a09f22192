"""What the service logs for a player instead of its serial digest.

The serial digest (the check's `b`) is the MD5 of a volume serial number: one of 2**32
values, found again from the MD5 in minutes. So the log gets a keyed digest of it
(HMAC-SHA-256 under a secret, cut to 16 hex digits): the log alone tells players apart and
names none. The secret is a file in the site's key folder, named by the UTC day it was
made, and serves 30 days from then; the first process that needs a newer one makes it
and deletes the others, so a log older than that can no longer be tied to a machine by
anyone. Processes share the folder: a new secret is written aside and linked into place
under its day's name, and whoever loses that race reads the winner's.

A process keeps the secret it read for a minute of its own steady clock, and only while
the wall clock stands within the secret's 30 days: a clock that jumped forward and came
back makes it look at the folder again, where the secret of that later day is deleted.
"""

import calendar
import hashlib
import hmac
import os
import re
import time

from . import files

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
    only (the development server, tests); `now` is the wall clock (seconds since the
    epoch), `steady` a clock that never jumps."""

    def __init__(self, folder=None, log=lambda text: None, now=time.time, steady=time.monotonic):
        self.folder, self.log, self.now, self.steady = folder, log, now, steady
        self._secret = os.urandom(KEY_BYTES) if folder is None else None
        # The wall-clock span the secret serves: from the start of its day for 30 days.
        self._serves = (float("-inf"), float("inf")) if folder is None else (0.0, 0.0)
        self._recheck_at = None
        self._failing = False

    def digest(self, serial):
        secret = self._current()
        if secret is None:
            return "-"
        return hmac.new(secret, serial.encode("ascii"), hashlib.sha256).hexdigest()[:16]

    def _serving(self, now):
        return self._serves[0] <= now < self._serves[1]

    def _current(self):
        now, steady = self.now(), self.steady()
        if self.folder is None or (self._recheck_at is not None and steady < self._recheck_at
                                   and self._serving(now)):
            return self._secret
        try:
            day, secret = self._newest(now) or self._make(now)
            self._delete_others(day)
        except OSError as error:
            if not self._failing:
                self.log(f"cannot keep the player key in {self.folder} ({error}): players are logged "
                         f"as player=- until it can")
            self._failing = True
            self._recheck_at = steady + RECHECK_SECONDS
            return self._secret if self._serving(now) else None
        if self._failing:
            self.log(f"player key in {self.folder} usable again")
        self._failing = False
        self._secret, self._serves = secret, (start_of(day), start_of(day) + KEY_DAYS * DAY)
        self._recheck_at = steady + RECHECK_SECONDS
        return secret

    def _newest(self, now):
        """(day, secret) of the newest secret still in its 30 days, or None."""
        today = day_of(now)
        if not os.path.isdir(self.folder):
            return None
        days = sorted((m.group(1) for m in map(KEY_NAME.fullmatch, os.listdir(self.folder)) if m), reverse=True)
        for day in days:
            if day <= today and now < start_of(day) + KEY_DAYS * DAY:
                secret = self._read(os.path.join(self.folder, day + ".key"))
                if secret:
                    return day, secret
        return None

    def _make(self, now):
        day = day_of(now)
        path = os.path.join(self.folder, day + ".key")
        os.makedirs(self.folder, mode=0o700, exist_ok=True)
        # Another process may have made today's first, or a damaged one is there: read it.
        if files.link_new(path, os.urandom(KEY_BYTES), 0o600):
            self.log(f"new player key {path}: players are told apart afresh from today")
        secret = self._read(path)
        if not secret:
            raise OSError(f"{path} does not hold a {KEY_BYTES}-byte key (remove it)")
        return day, secret

    @staticmethod
    def _read(path):
        """The secret in the file, or None when it holds anything but one."""
        try:
            secret = files.read(path, KEY_BYTES, "player key")
        except files.Unreadable:
            return None
        return secret if len(secret) == KEY_BYTES else None

    def _delete_others(self, day):
        for entry in os.listdir(self.folder):
            match = KEY_NAME.fullmatch(entry)
            if match and match.group(1) != day:
                files.remove_if_there(os.path.join(self.folder, entry))
