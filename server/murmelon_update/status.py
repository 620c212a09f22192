"""Who runs what, and how their runs ended, from the service's access log (nginx's
format, conf/nginx-murmelon-update.conf): per flavour and day the checks, the players (by
the keyed digest `player=`), the share of a rollout, the builds offered, the downloads
that went out whole and whether each player came back on the new build (installed) or on
an older one (the install failed); per build and day the runs reported (`outcome=`),
how many ended without a crash, which players saw none, the abnormal ends and the faults.
A player's return is counted for the day of the download.

Counts a hostile client cannot bend: from one address a day at most PER_ADDRESS players,
reported runs and installs are counted, and from one player at most RUNS_PER_PLAYER runs;
a player counts once as a player and once per build as an install, however often it
comes back. What goes beyond is counted as excess and said.

The log is read through files.log_lines (each rotation once, a cap per line and per
file); a check line whose words are not what the service writes is skipped and counted.
"""

import datetime
import re
from typing import NamedTuple

from . import files
from .outcome import FAULT, INVALID, OUTCOMES

DEFAULT_LOG = "/var/log/murmelon-update/access.log"
DEFAULT_DAYS = 14
PER_ADDRESS = 16      # players, reported runs and installs counted from one address a day
RUNS_PER_PLAYER = 4   # reported runs counted from one player a day
PLAYERS, RUNS, INSTALLS = range(3)   # what a day's quota of an address counts
STAMP = re.compile(r"((\d{4}-\d{2}-\d{2})T\S*) (\S{1,64}) ")
# Verdicts that answer a check of a known flavour; the plug-in takes each as the answer
# that delivered its report, except a 503 (it reports the run again at its next check).
ANSWERS = ("latest", "future", "update", "unavailable")
ANSWERED = ("latest", "future", "update")
ELSEWHERE = "unknown-flavour"   # a build no release of the site serves
# The words of a check line as the service writes them.
WORD_FORMS = {"flavour": re.compile(r"[a-z0-9]{1,16}|-"), "client": re.compile(r"[1-9][0-9]{0,8}"),
              "served": re.compile(r"[1-9][0-9]{0,8}"), "share": re.compile(r"[0-9]{1,3}"),
              "player": re.compile(r"[0-9A-Za-z-]{1,64}"), "complete": re.compile(r"OK|no"),
              "outcome": re.compile("|".join(OUTCOMES + (INVALID,))), "fault": FAULT}


class Check(NamedTuple):
    """One answered check, as its log line says."""
    day: str
    stamp: str        # the line's time (ISO 8601, nginx's)
    address: str
    flavour: str      # "-": a build no release of the site serves
    verdict: str
    client: int
    served: int       # 0 when unavailable
    share: int        # 100 when no rollout ran
    player: str       # "-" when the service had no key
    complete: bool
    outcome: str      # "" when the check reported no run
    fault: str


class Malformed(Exception):
    pass


# A check's line as nginx writes the service's words, in their order: most lines are read
# by this one pattern; any other line by its words (parse_words), which says the same.
LINE = re.compile(r"((\d{4}-\d{2}-\d{2})T\S*) (\S{1,64}) status=\S* flavour=([a-z0-9]{1,16}) "
                  r"client=([1-9][0-9]{0,8}) served=([1-9][0-9]{0,8}) verdict=(latest|future|update)"
                  r"(?: share=([0-9]{1,3}))? player=([0-9A-Za-z-]{1,64})"
                  r"(?: outcome=(clean|abnormal|unknown|invalid|crashed fault=(" + FAULT.pattern + r")))?"
                  r" bytes=\S* seconds=\S* complete=(OK|no)")


def parse(line):
    """The Check of a check's log line; None for any other line; Malformed for a check
    line whose words are not the service's."""
    found = LINE.fullmatch(line)
    if not found:
        return parse_words(line)
    stamp, day, address, flavour, client, served, verdict, share, player, outcome, fault, complete = found.groups()
    return Check(day, stamp, address, flavour, verdict, int(client), int(served), int(share or 100), player,
                 complete == "OK", outcome.split()[0] if outcome else "", fault or "")


def parse_words(line):
    """parse() of any line, word by word."""
    head = STAMP.match(line)
    if not head:
        return None
    words = dict(w.split("=", 1) for w in line.split() if "=" in w)
    verdict, flavour = words.get("verdict"), words.get("flavour", "-")
    if not (verdict in ANSWERS and flavour != "-") and verdict != ELSEWHERE:
        return None
    if any(name in words and not form.fullmatch(words[name]) for name, form in WORD_FORMS.items()) \
            or "client" not in words or ("fault" in words) != (words.get("outcome") == "crashed"):
        raise Malformed(line)
    return Check(head.group(2), head.group(1), head.group(3), flavour, verdict, int(words["client"]),
                 int(words.get("served", "0")), int(words.get("share", "100")), words.get("player", "-"),
                 words.get("complete") == "OK", words.get("outcome", ""), words.get("fault", ""))


def hour_of(stamp):
    """Hours since the epoch of a log time stamp; None for one that is no time."""
    try:
        return int(datetime.datetime.fromisoformat(stamp).timestamp() // 3600)
    except ValueError:
        return None


class Runs:
    """The runs of one build reported on one day. Its rates leave out the one address that
    reported the most crashed runs of it that day, when that is more than one: a forger
    behind one address moves them by one crash at most."""

    def __init__(self):
        self.reports = 0
        self.ended = dict.fromkeys(OUTCOMES, 0)
        self.players = {}    # player -> whether a run of it crashed
        self.faults = {}     # fault -> crashed runs
        self.by_address = {}  # address -> [runs, crashed runs, the players whose run crashed (or None)]

    def add(self, check):
        self.reports += 1
        self.ended[check.outcome] += 1
        crashed = check.outcome == "crashed"
        if crashed:
            self.faults[check.fault] = self.faults.get(check.fault, 0) + 1
        one = self.by_address.get(check.address) or self.by_address.setdefault(check.address, [0, 0, None])
        one[0] += 1
        if crashed:
            one[1] += 1
            one[2] = (one[2] or set()) | {check.player}
        if check.player != "-":
            self.players[check.player] = self.players.get(check.player, False) or crashed

    @property
    def crashed(self):
        return self.ended["crashed"]

    def left_out(self):
        """[runs, crashed runs, players whose run crashed] of the address left out of the rates."""
        top = max(self.by_address.values(), key=lambda one: one[1], default=None)
        return top if top and top[1] > 1 else [0, 0, None]

    def rates(self):
        """(runs, crashed runs, players, players who saw a crash) without the address left
        out (and without the players whose runs crashed there)."""
        runs, crashed, players = self.left_out()
        kept = {p: c for p, c in self.players.items() if p not in (players or ())}
        return self.reports - runs, self.crashed - crashed, len(kept), sum(kept.values())

    def top_faults(self, n=3):
        return sorted(self.faults.items(), key=lambda f: (-f[1], f[0]))[:n]


class Day:
    """One flavour's day."""

    def __init__(self, day):
        self.day = day
        self.checks = 0
        self.last_build = {}     # player -> the build of its last check that day
        self.share = 100         # as the day's last check had it
        self.shares = {}         # build -> the share of the day's last check it was served to
        self.served = set()      # the builds served that day
        self.offered = {}        # build -> players offered it
        self.whole = {}          # build -> downloads of it that went out whole
        self.installed = {}      # build -> players who came back on it after a whole download
        self.failed = {}         # build -> ... who came back on an older build
        self.runs = {}           # build -> Runs reported that day

    @property
    def players(self):
        return len(self.last_build)

    def share_of(self, build):
        return self.shares.get(build, self.share)

    @property
    def newest(self):
        return max(self.served, default=None)

    def builds(self):
        counts = {}
        for build in self.last_build.values():
            counts[build] = counts.get(build, 0) + 1
        return dict(sorted(counts.items()))

    def summary(self, build=None):
        """The counts of one build's offers (the day's newest unless told)."""
        build = self.newest if build is None else build
        return {"offered": len(self.offered.get(build, ())), "whole": self.whole.get(build, 0),
                "installed": len(self.installed.get(build, ())), "failed": len(self.failed.get(build, ()))}


class Excess:
    """What one address or one player sent beyond what is counted."""

    def __init__(self):
        self.players = self.reports = self.installs = 0
        self.addresses = set()

    def __bool__(self):
        return bool(self.players or self.reports or self.installs)


def provisional(tally, flavour, build, day):
    """Whether `day` is the first day the log shows `build` served: its counts are of the
    few who took it first, and of part of a day. (The log's own first day tells nothing.)"""
    first = tally.first_day.get((flavour, build))
    return first == day and first != tally.log_first_day


class Tally:
    """Counts checks in the order they were logged (add); `on_run(check)` sees each
    reported run that is counted."""

    def __init__(self, on_run=None):
        self.flavours = {}       # flavour -> {day: Day}
        self.elsewhere = {}      # day -> {build: checks} of builds no release serves
        self.first_day = {}      # (flavour, build) -> the first day it was served
        self.log_first_day = None
        self.first_served = {}   # (flavour, build) -> the hour it was first served
        self.invalid = {}        # day -> reports logged as invalid
        self.excess = {}         # day -> Excess
        self.on_run = on_run
        self._pending = {}       # (flavour, player) -> (Day, build, address) of a whole download
        self._quota = {}         # day -> {address: what its quota counted}, the last two days only
        self._player_runs = {}   # day -> {player: runs counted}, the same

    def quota(self, check, kind, key=None):
        """Whether the check's address has room left that day for one more of `kind`:
        PLAYERS and INSTALLS count distinct keys (a key it counted already takes no more
        room), RUNS every one."""
        by_address = self._quota.get(check.day)
        if by_address is None:
            by_address = self._quota[check.day] = {}
            self.forget_before(check.day)
        used = by_address.get(check.address) or by_address.setdefault(check.address, {PLAYERS: set(), RUNS: 0,
                                                                                       INSTALLS: set()})
        if kind == RUNS:
            if used[RUNS] >= PER_ADDRESS:
                return False
            used[RUNS] += 1
            return True
        if key in used[kind]:
            return True
        if len(used[kind]) >= PER_ADDRESS:
            return False
        used[kind].add(key)
        return True

    def forget_before(self, day):
        """The quotas of days before the one before `day`: the log comes in time order, and
        what they counted is counted (a return days after its download starts afresh)."""
        for kept in (self._quota, self._player_runs):
            for old in sorted(d for d in kept if d < day)[:-1]:
                del kept[old]

    def overflow(self, check, what):
        excess = self.excess.get(check.day) or self.excess.setdefault(check.day, Excess())
        setattr(excess, what, getattr(excess, what) + 1)
        excess.addresses.add(check.address)

    def add(self, check):
        self.log_first_day = self.log_first_day or check.day
        if check.flavour == "-":
            builds = self.elsewhere.setdefault(check.day, {})
            builds[check.client] = builds.get(check.client, 0) + 1
            return
        by_day = self.flavours.setdefault(check.flavour, {})
        day = by_day.get(check.day) or by_day.setdefault(check.day, Day(check.day))
        day.checks += 1
        day.share = check.share
        if check.served:
            day.served.add(check.served)
            day.shares[check.served] = check.share
            self.first_day.setdefault((check.flavour, check.served), check.day)
            if (check.flavour, check.served) not in self.first_served:
                self.first_served[(check.flavour, check.served)] = hour_of(check.stamp)
        if check.outcome and check.verdict in ANSWERED:
            self.add_run(check, day)
        if check.player == "-":
            return
        if check.player in day.last_build or self.quota(check, PLAYERS, check.player):
            day.last_build[check.player] = check.client
        else:
            self.overflow(check, "players")
            return
        download = self._pending.pop((check.flavour, check.player), None)
        if download:
            got, build, address = download
            if self.quota(check._replace(day=got.day, address=address), INSTALLS, (check.player, build)):
                table = got.installed if check.client >= build else got.failed
                table.setdefault(build, set()).add(check.player)
            else:
                self.overflow(check, "installs")
        if check.verdict == "update" and check.served:
            day.offered.setdefault(check.served, set()).add(check.player)
            if check.complete:
                day.whole[check.served] = day.whole.get(check.served, 0) + 1
                self._pending[(check.flavour, check.player)] = (day, check.served, check.address)

    def add_run(self, check, day):
        if check.outcome == INVALID:
            self.invalid[check.day] = self.invalid.get(check.day, 0) + 1
            return
        of_day = self._player_runs.get(check.day) or self._player_runs.setdefault(check.day, {})
        player_runs = of_day.get(check.player, 0)
        if (check.player != "-" and player_runs >= RUNS_PER_PLAYER) or not self.quota(check, RUNS):
            self.overflow(check, "reports")
            return
        of_day[check.player] = player_runs + 1
        day.runs.setdefault(check.client, Runs()).add(check)
        if self.on_run:
            self.on_run(check)


def count(checks, on_run=None):
    tally = Tally(on_run)
    if on_run is not None and hasattr(on_run, "tally"):
        on_run.tally = tally  # what it gathers may depend on what the tally saw first
    for check in checks:
        tally.add(check)
    return tally


class Status(NamedTuple):
    """What status shows: the files read, the days of the window, {flavour: [Day of each
    day of the window that has checks]}, the lines skipped and why, warnings, and the
    tally of the whole log (builds elsewhere, first days, excess, invalid reports)."""
    files: list
    span: list
    flavours: dict
    long_lines: int
    malformed: int
    warnings: list
    tally: Tally


def window(today, days):
    first = today - datetime.timedelta(days=days - 1)
    return [(first + datetime.timedelta(days=i)).isoformat() for i in range(days)]


def checks_in(lines, skipped):
    for line in lines:
        try:
            check = parse(line)
        except Malformed:
            skipped[0] += 1
            continue
        if check:
            yield check


def read_tally(log, on_run=None, since=None):
    """(the Tally of the log and of its rotations written since `since`, the LogReading,
    the lines malformed)."""
    reading, malformed = files.LogReading(), [0]
    tally = count(checks_in(files.log_lines(files.log_files(log, since), reading), malformed), on_run)
    return tally, reading, malformed[0]


def day_start(day):
    """Seconds since the epoch at the start of a day of the window, a day early: the log's
    times are the server's, and its zone may not be this process's."""
    return datetime.datetime.combine(datetime.date.fromisoformat(day), datetime.time()).timestamp() - 86400


def in_window(tally, reading, malformed, span):
    return Status(reading.files, span, {flavour: [by_day[d] for d in span if d in by_day]
                                        for flavour, by_day in sorted(tally.flavours.items())},
                  reading.long_lines, malformed, reading.warnings, tally)


def read_status(log=DEFAULT_LOG, days=DEFAULT_DAYS, today=None):
    return in_window(*read_tally(log), window(today or datetime.date.today(), days))
