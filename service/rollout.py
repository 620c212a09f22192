"""A staged release: the site's newest release offered to a share of the players first.

    <site>/rollout.ini     [rollout] release = 0002, previous = 0001, share = 10

While `current` names `release`, a player is offered it only when the position of its
serial digest for the new build falls below the share (in_share); everyone else gets the
answer `previous` gives, which is what they got before the publish. The file names the
release it stages, so it takes effect with the switch of `current` and ends with any
switch away; tools/release_tool.py writes it (publish --share, share) and removes it
(rollback, a publish to everyone).

Staging is what the service makes of it: the release before, loaded beside the served
one, and the choice of the release that decides each check.
"""

import configparser
import hashlib
import os
import time

ROLLOUT_FILE = "rollout.ini"


class RolloutError(Exception):
    pass


def position(serial, build):
    """Where a player stands for one build, in [0, 100): stable for the machine and the
    build, so each release draws its own group and a wider share keeps those already in."""
    digest = hashlib.sha256(f"murmelon-rollout\n{build}\n{serial}\n".encode("ascii")).digest()
    return int.from_bytes(digest[:8], "big") * 100 / 2 ** 64


def in_share(serial, build, share):
    return position(serial, build) < share


def check_share(share):
    """A share as the tools take it: a whole percentage from 0 (paused) to 100."""
    text = str(share).strip()
    if not text.isdigit() or int(text) > 100:
        raise RolloutError(f"share {share!r} is not a whole percentage from 0 to 100")
    return int(text)


class Plan:
    def __init__(self, release, previous, share):
        self.release, self.previous, self.share = release, previous, check_share(share)

    def __eq__(self, other):
        return isinstance(other, Plan) and vars(self) == vars(other)


def plan_path(site):
    return os.path.join(site, ROLLOUT_FILE)


def read_plan(site):
    """The site's rollout, None when there is none, or RolloutError."""
    parser = configparser.ConfigParser(interpolation=None)
    try:
        if not parser.read(plan_path(site), encoding="utf-8"):
            if os.path.lexists(plan_path(site)):
                raise RolloutError("cannot be read")
            return None
        section = parser["rollout"]
        plan = Plan(section["release"].strip(), section["previous"].strip(), section["share"])
    except (configparser.Error, UnicodeError, KeyError, OSError, RolloutError) as error:
        raise RolloutError(f"{plan_path(site)}: {error!r}") from None
    if not (plan.release.isdigit() and plan.previous.isdigit()):
        raise RolloutError(f"{plan_path(site)}: release and previous must be release numbers")
    return plan


def write_plan(site, release, previous, share):
    """Written whole, then renamed: the service reads the old rollout or the new one."""
    plan = Plan(release, previous, share)
    temporary = plan_path(site) + ".new"
    with open(temporary, "w", encoding="utf-8") as file:
        file.write(f"[rollout]\nrelease = {plan.release}\nprevious = {plan.previous}\nshare = {plan.share}\n")
    os.chmod(temporary, 0o644)
    os.replace(temporary, plan_path(site))
    return plan


def end(site):
    """Every player gets the served release; True when a rollout was ended."""
    try:
        os.remove(plan_path(site))
        return True
    except FileNotFoundError:
        return False


def staged_pairs(new, previous):
    """{flavour: (new release, the one before)} for the flavours the new release changes;
    a flavour the release before lacks is not staged (it has no answer to keep)."""
    before = {r.name: r for r in previous}
    return {r.name: (r, before[r.name]) for r in new if r.name in before and before[r.name].build < r.build}


class Staging:
    """The service's side: which release decides a check while a rollout runs.

    `root` is the link the service follows (<site>/current); the rollout file sits beside
    it. `load` makes a release of a flavour folder (update_app.Release), `log` says what
    changes. The release before is loaded with the same guarantees as the served one: a
    flavour folder of it that cannot be loaded keeps the copy loaded last and is tried
    again after `retry` seconds (or at a forced refresh); with no copy at all, players
    outside the share get no verdict (None) rather than the staged build. What a check
    reads is one tuple, replaced whole, so a thread never sees half a change."""

    def __init__(self, root, load, log, retry):
        self.site = os.path.dirname(os.path.abspath(root))
        self.load, self.log, self.retry = load, log, retry
        self._seen = None        # (rollout file identity, served folder) last looked at
        self._retry_at = None    # when to load the release before again, after a failure
        # The rollout of the served folder, that folder's real path, per flavour the release
        # before it (None: not loadable), and whether the folder of that release could be
        # listed (if not, every flavour may be staged); no rollout: (None, None, {}, True).
        self.state = (None, None, {}, True)

    def refresh(self, source, force=False):
        """`source`: the folder the service now serves (the real path of root)."""
        try:
            status = os.stat(plan_path(self.site))
            identity = (status.st_ino, status.st_size, status.st_mtime_ns)
        except OSError:
            identity = None
        due = self._retry_at is not None and time.monotonic() >= self._retry_at
        if (identity, source) == self._seen and not force and not due:
            return
        self._seen = (identity, source)
        try:
            plan = read_plan(self.site) if identity else None
        except RolloutError as error:
            self.log(f"cannot read the rollout ({error}): keeping what it said before")
            return
        if plan and os.path.realpath(os.path.join(self.site, "releases", plan.release)) != source:
            plan = None  # a rollout of a release that is not served
        before, _, previous, listed = self.state
        if plan is None:
            if before:
                self.log(f"rollout of release {before.release} ended: every player gets the served release")
            self.state, self._retry_at = (None, None, {}, True), None
            return
        if not before or before.previous != plan.previous or force or due:
            previous, listed = self._load_previous(plan, previous if before and before.previous == plan.previous else {})
        self.state = (plan, source, previous, listed)
        if plan != before:
            self.log(f"staging release {plan.release} to {plan.share}% of players; the others get release "
                     f"{plan.previous}: " + "; ".join(f"{name} build {r.build if r else '(not loaded)'}"
                                                     for name, r in sorted(previous.items())))

    def _load_previous(self, plan, kept):
        """Per flavour, the release before: loaded now, else the copy in `kept`, else None;
        and whether its folder could be listed."""
        folder = os.path.join(self.site, "releases", plan.previous)
        previous, problems = dict(kept), []
        try:
            names = sorted(e for e in os.listdir(folder) if os.path.isfile(os.path.join(folder, e, "release.ini")))
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
        the player is outside the share and runs a build below it; None when the release
        before is needed and cannot be loaded."""
        plan, staged, previous, listed = self.state
        if not plan or os.path.dirname(release.folder) != staged or (listed and release.name not in previous):
            return release, ""
        before = previous.get(release.name)
        if before is not None and before.build >= release.build:
            return release, ""  # a flavour this release does not change
        words = f" share={plan.share}"
        if build >= release.build or a == release.digest or in_share(b, release.build, plan.share):
            return release, words
        return before, words
