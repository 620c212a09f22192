"""What the service makes of a site's rollout (rollout.py): the release before, loaded
beside the served one, and which of the two decides each check.

The release before is loaded with the same guarantees as the served one: a flavour folder
of it that cannot be loaded keeps the copy loaded last and is tried again after `retry`
seconds (or at a forced refresh); with no copy at all, players outside the share get no
verdict (503) rather than the staged build. A rollout file that cannot be read keeps what
the process read of it before; a process that read nothing of it gives no verdict to a
player it would offer the served release to, since it cannot tell whether that player is
in the share. What a check reads is one record, replaced whole, so a thread never sees
half a change.
"""

import os
import time
from typing import NamedTuple, Optional

from . import files
from .release import MANIFEST
from .rollout import Rollout, RolloutError, in_share, read_rollout, rollout_path


class StagingState(NamedTuple):
    """The rollout of the served folder; that folder's real path; per flavour the release
    before it (None: not loadable); whether the folder of that release could be listed (if
    not, every flavour may be staged); and whether a rollout file stands there that this
    process never could read."""
    rollout: Optional[Rollout]
    folder: Optional[str]
    previous: dict
    listed: bool
    unreadable: bool = False


NO_ROLLOUT = StagingState(None, None, {}, True)


class Staging:
    def __init__(self, root, load, log, retry):
        """`root` is the link the service follows (<site>/current); the rollout file sits
        beside it. `load` makes a release of a flavour folder, `log` says what changes."""
        self.site = os.path.dirname(os.path.abspath(root))
        self.load, self.log, self.retry = load, log, retry
        self._seen = None        # (rollout file identity, served folder) last looked at
        self._retry_at = None    # when to load the release before again, after a failure
        self.state = NO_ROLLOUT

    def refresh(self, source, force=False):
        """`source`: the folder the service now serves (the real path of root)."""
        identity = files.identity(rollout_path(self.site))
        due = self._retry_at is not None and time.monotonic() >= self._retry_at
        if (identity, source) == self._seen and not force and not due:
            return
        self._seen = (identity, source)
        before = self.state
        try:
            rollout = read_rollout(self.site)
        except RolloutError as error:
            if before.rollout:
                self.log(f"cannot read the rollout ({error}): keeping what it said before")
            elif before.unreadable:
                self.state = before._replace(folder=source)
            else:
                self.log(f"cannot read the rollout ({error}): until it can be read, players who would be "
                         f"offered the served release get no verdict (503)")
                self.state = StagingState(None, source, {}, False, unreadable=True)
            return
        if rollout and os.path.realpath(os.path.join(self.site, "releases", rollout.release)) != source:
            rollout = None  # a rollout of a release that is not served
        if rollout is None:
            if before.rollout or before.unreadable:
                self.log(f"rollout of release {before.rollout.release if before.rollout else '(unread)'} ended: "
                         f"every player gets the served release")
            self.state, self._retry_at = NO_ROLLOUT, None
            return
        previous, listed = before.previous, before.listed
        same_previous = before.rollout and before.rollout.previous == rollout.previous
        if not same_previous or force or due:
            previous, listed = self._load_previous(rollout, previous if same_previous else {})
        self.state = StagingState(rollout, source, previous, listed)
        if rollout != before.rollout:
            self.log(f"staging release {rollout.release} to {rollout.share}% of players; the others get release "
                     f"{rollout.previous}: " + "; ".join(f"{name} build {r.build if r else '(not loaded)'}"
                                                        for name, r in sorted(previous.items())))

    def _load_previous(self, rollout, kept):
        """Per flavour, the release before: loaded now, else the copy in `kept`, else None;
        and whether its folder could be listed."""
        folder = os.path.join(self.site, "releases", rollout.previous)
        previous, problems = dict(kept), []
        try:
            names = sorted(e for e in os.listdir(folder) if os.path.lexists(os.path.join(folder, e, MANIFEST)))
            listed = True
        except OSError as error:
            names, problems, listed = [], [f"{error}"], False
        for name in names:
            try:
                previous[name] = self.load(os.path.join(folder, name))
            except Exception as error:  # noqa: BLE001  (whatever the folder holds, serving goes on)
                previous.setdefault(name, None)
                problems.append(f"{error}")
        if not names and not problems:
            problems.append(f"{folder}: no release folders")
        self._retry_at = time.monotonic() + self.retry if problems else None
        if problems:
            self.log(f"cannot load all of the release before the staged one, {folder} (trying again in "
                     f"{self.retry} s or at reload): " + "; ".join(problems)
                     + "; players outside the share get what was loaded of it, else no verdict (503)")
        return previous, listed

    def choose(self, release, build, a, b):
        """(the release that decides the check, words for the log): `release` itself unless
        the player is outside the share and runs a build below it; None when that cannot
        be told, or the release before is needed and cannot be loaded."""
        state = self.state
        staged = os.path.dirname(release.folder) == state.folder
        current = build >= release.build or a == release.digest
        if state.unreadable:
            return (release if current or not staged else None), ""
        if not state.rollout or not staged or (state.listed and release.name not in state.previous):
            return release, ""
        before = state.previous.get(release.name)
        if before is not None and before.build >= release.build:
            return release, ""  # a flavour this release does not change
        words = f" share={state.rollout.share}"
        # A build above the release before's is one the site withdrew: its players need the
        # staged fix first, whatever the share.
        withdrawn = before is not None and build > before.build
        if current or withdrawn or in_share(b, release.build, state.rollout.share):
            return release, words
        return before, words
