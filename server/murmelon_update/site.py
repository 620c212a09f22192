"""A site of the update service, as the release commands read and change it:

    <site>/releases/0001/{w7,xp}/   ...   <site>/releases/0002/{w7,xp}/
    <site>/current -> releases/0002        (the update service serves <site>/current)
    <site>/.lock                           (held by the command that changes the site)
    <site>/rollout.ini                     (a release staged to a share of the players)
    <site>/player-keys/                    (the service's secrets for the players in its log)

One Site serves one command: it loads each release of the site at most once (what it has
published is read once too: published.py). Everything here checks before it writes, and
refuses with a message that names the fix.
"""

import contextlib
import datetime
import errno
import fcntl
import os
import re
import shutil
import tempfile
from typing import NamedTuple, Optional

from . import files
from .release import FlavourRelease, ReleaseError, copy_flavour, load_flavours
from .rollout import EVERYONE, RolloutError, read_rollout, remove_rollout, write_rollout

RELEASE_ID = re.compile(r"[0-9]{4,}")
LOCK_FILE = ".lock"
KEYS_FOLDER = "player-keys"   # the service's secrets for the log (conf/gunicorn.conf.py)
COMMAND = "murmelon-release"


class Refused(Exception):
    pass


class StagedFlavour(NamedTuple):
    """A flavour a rollout changes: its staged release and the release before (None when
    the rollout is at 100% and that one cannot be loaded: nobody needs it then)."""
    new: FlavourRelease
    before: Optional[FlavourRelease]


class Site:
    def __init__(self, path):
        self.path = path
        self._loaded = {}

    # --- layout ----------------------------------------------------------------------

    def check(self):
        """Refuses a path that is not a site: missing, a folder with other things in it, or
        a site whose `current` is not the link the release command makes."""
        if not os.path.isdir(self.path):
            raise Refused(f"{self.path}: no such site folder (check the path; for a first release, "
                          f"make an empty folder)")
        entries = set(os.listdir(self.path)) - {LOCK_FILE, KEYS_FOLDER}
        if "releases" not in entries and entries:
            raise Refused(f"{self.path} is not a site folder: no releases/ in it, and not empty "
                          f"(check the path; the site is the folder that holds releases/ and current)")
        link = self.current_link()
        if os.path.lexists(link) and not os.path.islink(link):
            raise Refused(f"{link} is a folder or file, not the link to releases/NNNN that publish makes: move "
                          f"it out of the site (a release goes into releases/ under the next free number), "
                          f"then publish again")
        return self

    @contextlib.contextmanager
    def lock(self):
        """Holds the site's lock for one command that changes it; refuses at once when
        another command holds it. The site is checked again once held."""
        fd = files.open_lock(os.path.join(self.path, LOCK_FILE))
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError as error:
                if error.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                    raise
                raise Refused(f"{self.path} is being changed by another publish or rollback (it holds "
                              f"{os.path.join(self.path, LOCK_FILE)}); run this again when that one has "
                              f"finished") from None
            self.check()
            yield
        finally:
            os.close(fd)

    def current_link(self):
        return os.path.join(self.path, "current")

    def releases_folder(self):
        return os.path.join(self.path, "releases")

    def make_releases_folder(self):
        """releases/, made by the first publish: nginx reaches the answer files through it."""
        folder = self.releases_folder()
        if not os.path.isdir(folder):
            os.mkdir(folder)
            files.open_folders_to_readers(folder)

    def release_path(self, release):
        return os.path.join(self.path, "releases", release)

    def check_current(self):
        """Refuses a `current` link that leads anywhere but to a release of the site."""
        link = self.current_link()
        if os.path.islink(link) and self.current_id() is None:
            raise Refused(f"{link} leads to {os.readlink(link)}, not to a release folder of this site: "
                          f"switch it to one first ({COMMAND} rollback {self.path} NNNN)")

    def release_ids(self):
        """The site's releases: folders named by a number directly in releases/, oldest
        first. A link there is not one, wherever it leads."""
        folder = self.releases_folder()
        if not os.path.isdir(folder):
            return []
        return sorted((e for e in os.listdir(folder) if RELEASE_ID.fullmatch(e)
                       and not os.path.islink(os.path.join(folder, e))
                       and os.path.isdir(os.path.join(folder, e))), key=int)

    def strangers(self):
        """Entries of releases/ named like a release that are not releases of the site."""
        folder = self.releases_folder()
        if not os.path.isdir(folder):
            return []
        releases = set(self.release_ids())
        return sorted(e for e in os.listdir(folder) if RELEASE_ID.fullmatch(e) and e not in releases)

    def check_release_id(self, release):
        if release in self.release_ids():
            return
        path = self.release_path(release)
        if os.path.lexists(path):
            raise Refused(f"{path} is not a release folder of this site ("
                          + (f"a link to {os.readlink(path)}" if os.path.islink(path) else "not a folder")
                          + "): remove it from releases/")
        raise Refused(f"{self.path}: no release {release} (releases: {' '.join(self.release_ids()) or 'none'})")

    def current_id(self):
        link = self.current_link()
        if not os.path.islink(link):
            return None
        target = os.readlink(link)
        release = target[len("releases/"):] if target.startswith("releases/") else ""
        return release if release in self.release_ids() else None

    # --- releases ----------------------------------------------------------------------

    def flavours(self, release):
        """The flavour releases of releases/<release>, loaded once; or ReleaseError."""
        if release not in self._loaded:
            try:
                self._loaded[release] = load_flavours(self.release_path(release))
            except ReleaseError as error:
                self._loaded[release] = error
        loaded = self._loaded[release]
        if isinstance(loaded, ReleaseError):
            raise loaded
        return loaded

    def same_release(self, current, new):
        """The release that holds exactly these flavour releases: the current one (a
        publish that ran to its end, run again), or the newest one above it (a publish
        that stopped before its switch, or a release rolled back from)."""
        ids = self.release_ids()
        candidates = [current] if current else []
        if ids and (not current or int(ids[-1]) > int(current)):
            candidates.append(ids[-1])
        for release in candidates:
            try:
                there = {r.name: r for r in self.flavours(release)}
            except ReleaseError:
                continue
            if all(r.name in there and (there[r.name].answer_head, there[r.name].digest) == (r.answer_head, r.digest)
                   for r in new):
                return release
        return None

    def add_release(self, new, served):
        """releases/NNNN with the new flavour releases and the served ones they leave as
        they are, each with its answer file, checked by the service's loader, then
        renamed into place. Returns NNNN."""
        taken = [int(i) for i in self.release_ids() + self.strangers()]
        release = f"{max(taken, default=0) + 1:04d}"
        trial = tempfile.mkdtemp(prefix=f".{release}.", dir=self.releases_folder())
        try:
            names = {r.name for r in new}
            for one in [r for r in served if r.name not in names] + new:
                copy_flavour(one, os.path.join(trial, one.name))
            try:
                loaded = load_flavours(trial)
            except ReleaseError as error:
                raise Refused(f"the update server would refuse the result: {error}") from None
            files.open_folders_to_readers(trial)
            os.rename(trial, self.release_path(release))
        finally:
            shutil.rmtree(trial, ignore_errors=True)
        self._loaded[release] = [r.moved_to(os.path.join(self.release_path(release), r.name)) for r in loaded]
        return release

    def remove_leftovers(self):
        """Folders of publishes that stopped while copying (under the lock, nobody else's)."""
        folder = self.releases_folder()
        for entry in os.listdir(folder):
            if entry.startswith(".") and RELEASE_ID.fullmatch(entry[1:].split(".")[0]):
                shutil.rmtree(os.path.join(folder, entry), ignore_errors=True)

    def switch(self, release):
        """Points <site>/current at releases/<release> with one rename."""
        temporary = os.path.join(self.path, ".current.new")
        files.remove_if_there(temporary)
        os.symlink(os.path.join("releases", release), temporary)
        os.replace(temporary, self.current_link())

    # --- its rollout -------------------------------------------------------------------

    def rollout(self):
        """The rollout of the served release, or None (a file naming another release is over)."""
        try:
            rollout = read_rollout(self.path)
        except RolloutError as error:
            raise Refused(f"{error}: remove it, or write it again with `{COMMAND} share {self.path} N`") from None
        return rollout if rollout and rollout.release == self.current_id() else None

    def check_staging(self, share, current):
        """Refuses, before anything is written, a staged publish with no release to keep for
        the others or over a rollout that has not reached everyone."""
        if share >= EVERYONE:
            return
        if not current:
            raise Refused(f"{self.path}: no served release for the players outside the share: the first "
                          f"release goes to every player (publish it without --share)")
        rollout = self.rollout()
        if rollout and rollout.share < EVERYONE:
            raise Refused(f"release {rollout.release} is still staged to {rollout.share}% of players: widen it "
                          f"to everyone ({COMMAND} share {self.path} 100) or roll it back ({COMMAND} rollback "
                          f"{self.path}) before staging another; --critical publishes to every player at once")

    def stage(self, release, current, share):
        """Before the switch: the rollout of release, or None when it goes to everyone."""
        return write_rollout(self.path, release, current, share) if share < EVERYONE else None

    def end_rollout(self):
        """After a rollback: ends any rollout, whatever its file holds; words that say so."""
        try:
            rollout = read_rollout(self.path)
        except RolloutError:
            rollout = None
        ended = remove_rollout(self.path)
        return f"; the rollout of release {rollout.release} ended" if ended and rollout else ""

    def change_share(self, share):
        """The share of the served release's rollout (under the site's lock): (before, after)."""
        rollout = self.rollout()
        if not rollout:
            current = self.current_id()
            raise Refused(f"{self.path}: " + (f"the served release {current} is not staged (it went to every "
                                              f"player); stage a release with publish --share N" if current
                                              else "no served release"))
        if share < EVERYONE:
            self.staged_flavours(rollout._replace(share=share))  # the others need the release before
        # Widened again after the watch paused it: the maintainer overrode the watch, which
        # then judges only the runs from now on (it would pause it again on the same ones).
        watched_from = rollout.watched_from
        if rollout.paused_by and share:
            watched_from = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
        return rollout, write_rollout(self.path, rollout.release, rollout.previous, share,
                                      watched_from=watched_from)

    def pause_by_watch(self, seen, reason):
        """Under the site's lock: the share of the rollout `seen` to 0, with the watch's
        reason; None (nothing written) when the rollout changed since or is not running
        below everyone any more."""
        rollout = self.rollout()
        if not rollout or rollout[:3] != seen[:3] or not 0 < rollout.share < EVERYONE:
            return None
        return write_rollout(self.path, rollout.release, rollout.previous, 0, reason, rollout.watched_from)

    def staged_flavours(self, rollout):
        """{flavour: StagedFlavour} of the rollout, or Refused. The release before is
        needed only while some players stay outside the share."""
        try:
            new = self.flavours(rollout.release)
        except ReleaseError as error:
            raise Refused(f"release {rollout.release} of the rollout cannot be loaded ({error}): roll back "
                          f"({COMMAND} rollback {self.path}) or widen it to everyone") from None
        try:
            before = {r.name: r for r in self.flavours(rollout.previous)}
        except ReleaseError as error:
            if rollout.share < EVERYONE:
                raise Refused(f"release {rollout.previous} of the rollout cannot be loaded ({error}): roll back "
                              f"({COMMAND} rollback {self.path}) or widen it to everyone") from None
            return {r.name: StagedFlavour(r, None) for r in new}
        # A flavour the release before lacks is not staged: it has no answer to keep.
        return {r.name: StagedFlavour(r, before[r.name]) for r in new
                if r.name in before and before[r.name].build < r.build}

    def describe_rollout(self):
        """Lines for publish, share, rollback and status: who gets what while a rollout runs."""
        try:
            rollout = self.rollout()
            staged = self.staged_flavours(rollout) if rollout else {}
        except Refused as error:
            return f"  rollout: {error}\n"
        return "".join(f"  {name}: build {one.new.build} to {rollout.share}% of players, "
                       + (f"the others keep build {one.before.build} (release {rollout.previous})\n" if one.before
                          else f"the release before ({rollout.previous}) is not needed\n")
                       for name, one in sorted(staged.items()))
