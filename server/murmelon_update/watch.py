"""The watch: while a staged release runs, compares the runs of its new build with those
of the build the players outside the share keep, over the same hours, and pauses the
rollout (its share to 0, under the site's lock) when the new build crashes more
(watch_rule.py). It never widens a rollout: only the maintainer does.

The hours: from the first offer of the new build in the log (or from the moment a
maintainer widened a rollout the watch had paused: watched_from), for both builds alike.
The counts are those of status.py (a day's quota per address and per player), and the
one address that reported the most crashed runs of the new build is left out: forged
reports from one address cannot pause a rollout.

Once a rollout reached everyone (100%) the players still on the old build are those who
did not update yet, no fair group to compare with: the watch then reports what it sees
and changes nothing; rolling back is the maintainer's call.

Also what status shows of the site: the state of each published build, and the next step.
"""

import datetime
import os
import textwrap
import time
from typing import NamedTuple, Optional

from . import files, status, watch_rule
from .published import Published
from .rollout import EVERYONE, when_text
from .site import COMMAND, Refused

LOCK_TRIES = 30   # seconds the watch waits for a site another command is changing
WIDTH = 100


class Gathered:
    """The reported runs of the builds a rollout compares, summed per address over the
    hours the watch judges (the on_run of a status.Tally, whose first offers it reads):
    from the hour of the new build's first offer in the log (that whole hour) or from
    `watched_hour`, whichever is later. The log comes in time order, so only the hour
    under way is held until the first offer shows."""

    def __init__(self, builds, watched_hour=None):
        self.builds = builds   # {flavour: (new build, old build)}
        self.watched_hour = watched_hour
        self.tally = None      # the status.Tally this gathers for (its first offers)
        self.since = {}        # flavour -> the first hour judged, once the first offer showed
        self.waiting = {}      # flavour -> (hour, [checks]) of the hour under way before it
        self.running = {}      # flavour -> [sums, {address: counts}, the address of most new crashes]

    def __call__(self, check):
        pair = self.builds.get(check.flavour, ())
        if check.client not in pair:
            return
        hour = status.hour_of(check.stamp)
        if hour is None or (self.watched_hour is not None and hour < self.watched_hour):
            return
        flavour = check.flavour
        if flavour not in self.since:
            offered = self.tally.first_served.get((flavour, pair[0])) if self.tally else None
            held_hour, held = self.waiting.get(flavour, (hour, []))
            if hour < held_hour:
                return  # a late line of an hour before: before the first offer
            if hour > held_hour:
                held = []
            if offered is None:
                self.waiting[flavour] = (hour, held + [check])
                return
            self.since[flavour] = max(offered, self.watched_hour or offered)
            self.waiting.pop(flavour, None)
            for one in held:
                self.add(flavour, pair, one)
        if hour >= self.since[flavour]:
            self.add(flavour, pair, check)

    def add(self, flavour, pair, check):
        crashed = check.outcome == "crashed"
        sums, per_address, top = self.running.setdefault(flavour, [[0, 0, 0, 0], {}, None])
        slot = 0 if check.client == pair[0] else 2
        counts = per_address.setdefault(check.address, [0, 0, 0, 0])
        for row in (sums, counts):
            row[slot] += 1
            row[slot + 1] += crashed
        if slot == 0 and crashed and (top is None or counts[1] > per_address[top][1]):
            self.running[flavour][2] = check.address

    def totals(self, flavour):
        """(the sums [runs_new, crashes_new, runs_old, crashes_old], the same of the address
        with the most crashed runs of the new build)."""
        if flavour not in self.running:
            return [0, 0, 0, 0], [0, 0, 0, 0]
        sums, per_address, top = self.running[flavour]
        return list(sums), list(per_address[top]) if top else [0, 0, 0, 0]


def decide(totals, top):
    """The rule's verdict on the totals without the address `top` (its four counts)."""
    return watch_rule.judge([a - b for a, b in zip(totals, top)] if top[1] else totals)


class Look(NamedTuple):
    """One staged flavour, as the watch sees it: its new and old builds, the first hour
    compared (None: the log shows no offer of the new build yet), the verdict and the
    crashed runs of the new build from the one address left out."""
    flavour: str
    new: int
    old: int
    since: Optional[int]
    verdict: Optional[watch_rule.Verdict]
    left_out: int


def staged_builds(site, rollout):
    """{flavour: (new build, old build)} of a rollout; {} when its releases cannot be loaded."""
    try:
        staged = site.staged_flavours(rollout)
    except Refused:
        return {}
    return {name: (one.new.build, one.before.build) for name, one in staged.items() if one.before}


def watched_hour(rollout):
    return int(when_text(rollout.watched_from).timestamp() // 3600) if rollout.watched_from else None


def looks(gathered):
    found = []
    for flavour, (new, old) in sorted(gathered.builds.items()):
        since = gathered.since.get(flavour)
        offered = gathered.tally.first_served.get((flavour, new)) if gathered.tally else None
        if since is None and offered is not None:  # offered, but no run reported since the hour judged from
            since = max(offered, gathered.watched_hour or offered)
        if since is None:
            found.append(Look(flavour, new, old, None, None, 0))
            continue
        totals, top = gathered.totals(flavour)
        found.append(Look(flavour, new, old, since, decide(totals, top), top[1]))
    return found


def read(site, log, rollout, since=None):
    """(the status.Tally of the log, the Looks at the rollout's flavours), reading the
    log once: the rotations written since `since` and since the staged release came to
    the site (an hour early), none older."""
    gathered = Gathered(staged_builds(site, rollout) if rollout else {}, watched_hour(rollout) if rollout else None)
    if rollout:
        came = files.identity(site.release_path(rollout.release))
        arrived = came.modified_ns / 1e9 - 3600 if came else 0.0
        since = arrived if since is None else min(since, arrived)
    tally, reading, malformed = status.read_tally(log, gathered, since)
    return (tally, reading, malformed), looks(gathered) if rollout else []


def hour_text(hour):
    return datetime.datetime.fromtimestamp(hour * 3600, datetime.timezone.utc).strftime("%Y-%m-%d %H:00 UTC")


def describe(look):
    if look.verdict is None:
        return f"{look.flavour}: build {look.new} against {look.old}: no offer of {look.new} in the log yet"
    v, c = look.verdict, look.verdict.counts
    seen = (f"{look.flavour}: build {look.new} against {look.old} since {hour_text(look.since)}: "
            f"{c.crashes_new} crashed of {c.runs_new} runs, {c.crashes_old} of {c.runs_old}")
    if look.left_out:
        seen += f" (without the one address that sent {look.left_out} crashed runs of {look.new})"
    if v.tripped:
        return f"{seen}: WORSE: {v.why()}"
    if c.crashes_new < watch_rule.MIN_CRASHES:
        return f"{seen}: too few crashes to judge ({watch_rule.MIN_CRASHES} needed)"
    return f"{seen}: not shown worse (P = {v.p:.2g})"


def say(text, out):
    out(textwrap.fill(text, WIDTH, subsequent_indent="  ", break_long_words=False, break_on_hyphens=False))


def look(site, log, out=print):
    """One look of the watch at the site (the command's work); its exit status."""
    site.check()
    rollout = site.rollout()
    if rollout is None:
        say(f"watch: {site.path} runs no rollout: nothing to watch", out)
        return 0
    (_, reading, _), found = read(site, log, rollout)
    for warning in reading.warnings:  # a log it cannot read is no reason to see nothing
        say(f"watch: {warning}", out)
    say(f"watch: release {rollout.release} at {rollout.share}% of players, the others keep release "
        f"{rollout.previous}", out)
    for one in found:
        say("  " + describe(one), out)
    worse = [one for one in found if one.verdict and one.verdict.tripped]
    if rollout.paused_by:
        say(f"watch: paused by the watch: {rollout.paused_by}; it never widens it again", out)
        return 0
    if not worse:
        return 0
    reason = f"{worse[0].flavour}: {worse[0].verdict.why()}"
    if rollout.share >= EVERYONE:
        say(f"watch: release {rollout.release} reached everyone: the watch only reports, and changes "
            f"nothing ({COMMAND} rollback {site.path} rolls it back)", out)
        return 0
    if rollout.share == 0:
        say(f"watch: release {rollout.release} is paused already (by hand)", out)
        return 0
    for attempt in range(LOCK_TRIES):
        try:
            with site.lock():
                paused = site.pause_by_watch(rollout, reason)
            break
        except Refused as error:
            if "being changed" not in f"{error}" or attempt == LOCK_TRIES - 1:
                raise
            time.sleep(1)
    if paused is None:
        say(f"watch: the rollout of release {rollout.release} changed while the watch looked: nothing done; "
            f"it looks again at its next run", out)
        return 0
    say(f"watch: PAUSED release {rollout.release} (share {rollout.share}% -> 0%): {reason}. The service "
        f"follows at its next request; widen again ({COMMAND} share {site.path} N) or roll back "
        f"({COMMAND} rollback {site.path})", out)
    return 0


# --- what status shows of the site --------------------------------------------------------

def states(site, rollout):
    """{flavour: [(build, state)]}, newest first, for every published build above the ones
    before the served one: staged (with its share), kept for the others, to everyone,
    withdrawn (players who took it still run it)."""
    current = site.current_id()
    if not current:
        return {}
    try:
        published = Published(site).flavours()
    except Refused:
        return {}
    served, builds = {}, {}
    for release, folder, section in published:
        name, build = os.path.basename(folder), int(section["build"])
        builds.setdefault(name, {}).setdefault(build, release)
        if release == current:
            served[name] = build
    staged = staged_builds(site, rollout) if rollout else {}
    found = {}
    for name, build in sorted(served.items()):
        lines = []
        # Above what the players get (during a rollout, those outside the share), other than
        # the staged build: a rollback left it behind, and a fix staged since is above it.
        everyone = staged[name][1] if name in staged else build
        for other, release in sorted(builds[name].items(), reverse=True):
            if other > everyone and other != build:
                lines.append((other, f"withdrawn (release {release})"))
        if name in staged:
            lines.append((build, staged_state(rollout)))
            lines.append((staged[name][1], f"kept for the others (release {rollout.previous})"
                          if rollout.share < EVERYONE else f"the release before (release {rollout.previous})"))
        else:
            lines.append((build, f"to everyone (release {current})"))
        found[name] = sorted(lines, key=lambda line: -line[0])
    return found


def staged_state(rollout):
    if rollout.paused_by:
        return f"paused by the watch: {rollout.paused_by}"
    if rollout.share == 0:
        return f"paused (share 0%, release {rollout.release})"
    if rollout.share >= EVERYONE:
        return f"to everyone (staged release {rollout.release} at 100%)"
    return f"staged at {rollout.share}% (release {rollout.release})"


WIDER = (1, 5, 10, 25, 50, 100)


def next_step(site, rollout, one):
    """What the maintainer could do next about a staged flavour."""
    v = one.verdict
    if rollout.paused_by:
        return f"paused: {rollout.paused_by.split(': ', 1)[-1]}; roll back or publish a fix"
    if v is not None and v.tripped:
        if rollout.share >= EVERYONE:
            return f"roll back by hand ({COMMAND} rollback {site.path}): {v.why()}"
        return f"pause: {v.why()}"
    if v is None or v.counts.runs_new < watch_rule.MIN_RUNS:
        runs = v.counts.runs_new if v else 0
        return f"wait: too few runs of build {one.new} ({runs} of {watch_rule.MIN_RUNS})"
    if rollout.share >= EVERYONE:
        return "nothing: every player is offered it"
    if rollout.share == 0:
        return f"widen again ({COMMAND} share {site.path} {WIDER[0]}) or roll back: not shown worse"
    wider = next(n for n in WIDER if n > rollout.share)
    return f"widen ({COMMAND} share {site.path} {wider}): not shown worse"
