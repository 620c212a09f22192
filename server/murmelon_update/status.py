"""Who runs what, from the update service's access logs (the current file and the rotated
ones beside it, compressed or not): per flavour and day, the checks, the distinct
players (by the keyed digest the service logs, player=), the players per build (the
build each ran last that day), the share of a rollout, how many players were offered the
day's newest build, how many downloads of it went out whole, and how many of the players
who got it whole came back on it (installed) or on an older build (the install failed).
A player's return is counted for the day of the download, whenever it comes.

The log is read through files.log_lines (each rotation once, a cap per line and per
file); a check line whose words are not what the service writes is skipped and counted.
"""

import datetime
import re
from typing import NamedTuple

from . import files

DEFAULT_LOG = "/var/log/murmelon-update/access.log"
DEFAULT_DAYS = 14
DAY = re.compile(r"(\d{4}-\d{2}-\d{2})T")
# Verdicts that answer a check of a known flavour.
ANSWERS = ("latest", "future", "update", "unavailable")
# The words of a check line as the service writes them.
WORD_FORMS = {"flavour": re.compile(r"[a-z0-9]{1,16}"), "client": re.compile(r"[1-9][0-9]{0,8}"),
              "served": re.compile(r"[1-9][0-9]{0,8}"), "share": re.compile(r"[0-9]{1,3}"),
              "player": re.compile(r"[0-9A-Za-z-]{1,64}"), "complete": re.compile(r"OK|no")}


class Check(NamedTuple):
    """One answered check of a known flavour, as its log line says."""
    day: str
    flavour: str
    verdict: str
    client: int
    served: int       # 0 when unavailable
    share: int        # 100 when no rollout ran
    player: str       # "-" when the service had no key
    complete: bool


class Malformed(Exception):
    pass


def parse(line):
    """The Check of a check's log line; None for any other line; Malformed for a check
    line whose words are not the service's."""
    day = DAY.match(line)
    if not day:
        return None
    words = dict(w.split("=", 1) for w in line.split() if "=" in w)
    if words.get("verdict") not in ANSWERS or words.get("flavour", "-") == "-":
        return None
    if any(name in words and not form.fullmatch(words[name]) for name, form in WORD_FORMS.items()) \
            or "client" not in words:
        raise Malformed(line)
    return Check(day.group(1), words["flavour"], words["verdict"], int(words["client"]),
                 int(words.get("served", "0")), int(words.get("share", "100")), words.get("player", "-"),
                 words.get("complete") == "OK")


class Day:
    """One flavour's day."""

    def __init__(self, day):
        self.day = day
        self.checks = 0
        self.last_build = {}     # player -> the build of its last check that day
        self.share = 100
        self.newest = None       # the newest build served that day
        self.offered = {}        # build -> players offered it
        self.whole = {}          # build -> downloads of it that went out whole
        self.installed = {}      # build -> players who came back on it after a whole download
        self.failed = {}         # build -> ... who came back on an older build

    @property
    def players(self):
        return len(self.last_build)

    def builds(self):
        counts = {}
        for build in self.last_build.values():
            counts[build] = counts.get(build, 0) + 1
        return dict(sorted(counts.items()))

    def summary(self):
        """The counts of the day's newest build."""
        return {"offered": len(self.offered.get(self.newest, ())), "whole": self.whole.get(self.newest, 0),
                "installed": self.installed.get(self.newest, 0), "failed": self.failed.get(self.newest, 0)}


def count(checks):
    """{flavour: {day: Day}} from checks in the order they were logged."""
    flavours = {}
    pending = {}  # (flavour, player) -> (Day, build) of a whole download not yet followed by a check
    for check in checks:
        by_day = flavours.setdefault(check.flavour, {})
        day = by_day.get(check.day) or by_day.setdefault(check.day, Day(check.day))
        day.checks += 1
        day.share = check.share
        if check.served and (day.newest is None or check.served > day.newest):
            day.newest = check.served
        if check.player == "-":
            continue
        day.last_build[check.player] = check.client
        download = pending.pop((check.flavour, check.player), None)
        if download:
            got, build = download
            table = got.installed if check.client >= build else got.failed
            table[build] = table.get(build, 0) + 1
        if check.verdict == "update" and check.served:
            day.offered.setdefault(check.served, set()).add(check.player)
            if check.complete:
                day.whole[check.served] = day.whole.get(check.served, 0) + 1
                pending[(check.flavour, check.player)] = (day, check.served)
    return flavours


class Status(NamedTuple):
    """What status shows: the files read, the days of the window, {flavour: [Day of each
    day of the window that has checks]}, the lines skipped and why, and warnings."""
    files: list
    span: list
    flavours: dict
    long_lines: int
    malformed: int
    warnings: list


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


def read_status(log=DEFAULT_LOG, days=DEFAULT_DAYS, today=None):
    reading, malformed = files.LogReading(), [0]
    span = window(today or datetime.date.today(), days)
    counted = count(checks_in(files.log_lines(files.log_files(log), reading), malformed))
    return Status(reading.files, span, {flavour: [by_day[d] for d in span if d in by_day]
                                        for flavour, by_day in sorted(counted.items())},
                  reading.long_lines, malformed[0], reading.warnings)


COLUMNS = (("day", 10, lambda d: d.day), ("checks", 7, lambda d: d.checks), ("players", 8, lambda d: d.players),
           ("share", 6, lambda d: f"{d.share}%"), ("newest", 10, lambda d: d.newest or "-"),
           *((name, width, lambda d, name=name: d.summary()[name])
             for name, width in (("offered", 8), ("whole", 6), ("installed", 10), ("failed", 7))))


def source(status):
    rotated = f" (and {len(status.files) - 1} rotated)" if len(status.files) > 1 else ""
    return (status.files[-1] if status.files else "no log") + rotated


def skipped(status):
    """A line on what was not counted; "" when everything was."""
    reasons = [f"{status.long_lines} over {files.LINE_CAP} bytes"] if status.long_lines else []
    reasons += [f"{status.malformed} with words the service does not write"] if status.malformed else []
    total = status.long_lines + status.malformed
    return f"skipped {total} line{'s' if total != 1 else ''}: {', '.join(reasons)}\n" if reasons else ""


def text(status, heading=""):
    out = [f"Update checks in {source(status)}, {status.span[0]} to {status.span[-1]}\n", skipped(status), heading]
    for flavour, days in status.flavours.items():
        out.append(f"\n{flavour}\n  " + " ".join(f"{name:<{width}}" if i == 0 else f"{name:>{width}}"
                                                 for i, (name, width, _) in enumerate(COLUMNS))
                   + "  players per build\n")
        for day in days:
            out.append("  " + " ".join(f"{value(day):<{width}}" if i == 0 else f"{value(day):>{width}}"
                                       for i, (_, width, value) in enumerate(COLUMNS))
                       + "  " + ", ".join(f"{b}: {n}" for b, n in day.builds().items()) + "\n")
    if not status.flavours:
        out.append("\nno checks in these days\n")
    return "".join(out)
