"""Who runs what, from the update service's access logs (the current file and the rotated
ones beside it, compressed or not): per flavour and day, the checks, the distinct
players (by the keyed digest the service logs, player=), the players per build (the
build each ran last that day), the share of a rollout, how many players were offered the
day's newest build, how many downloads of it went out whole, and how many of the players
who got it whole came back on it (installed) or on an older build (the install failed).
A player's return is counted for the day of the download, whenever it comes.

    release_tool.py status SITE [--days N] [--log FILE] [--html FILE]
"""

import datetime
import gzip
import os
import re

import release_site as site_folder
import site_rollout
import status_page

DEFAULT_LOG = "/var/log/murmelon-update/access.log"
DEFAULT_DAYS = 14
ROTATED = re.compile(r"\.(\d+)(\.gz)?")
DAY = re.compile(r"(\d{4}-\d{2}-\d{2})")
# Verdicts that answer a check of a known flavour.
ANSWERS = ("latest", "future", "update", "unavailable")


def log_files(path):
    """The log and its rotations, oldest first (access.log.2.gz, access.log.1, access.log)."""
    folder, name = os.path.split(os.path.abspath(path))
    rotated = []
    for entry in os.listdir(folder):
        match = ROTATED.fullmatch(entry[len(name):]) if entry.startswith(name + ".") else None
        if match:
            rotated.append((int(match.group(1)), os.path.join(folder, entry)))
    return [p for _, p in sorted(rotated, reverse=True)] + ([path] if os.path.isfile(path) else [])


def read_lines(paths):
    for path in paths:
        opener = gzip.open if path.endswith(".gz") else open
        with opener(path, "rt", encoding="utf-8", errors="replace") as file:
            yield from file


def parse(line):
    """(day, words) of a check's log line, None for any other line."""
    day = DAY.match(line)
    if not day:
        return None
    words = dict(w.split("=", 1) for w in line.split() if "=" in w)
    if words.get("verdict") not in ANSWERS or words.get("flavour", "-") == "-":
        return None
    return day.group(1), words


def number(text):
    return int(text) if text and text.isdigit() else None


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


def count(lines):
    """{flavour: {day: Day}} from log lines in the order they were written."""
    flavours = {}
    pending = {}  # (flavour, player) -> (Day, build) of a whole download not yet followed by a check
    for line in lines:
        parsed = parse(line)
        if not parsed:
            continue
        day_text, words = parsed
        flavour = words["flavour"]
        by_day = flavours.setdefault(flavour, {})
        if day_text not in by_day:
            by_day[day_text] = Day(day_text)
        day = by_day[day_text]
        day.checks += 1
        day.share = number(words.get("share")) if "share" in words else 100
        served, client = number(words.get("served")), number(words.get("client"))
        if served and (day.newest is None or served > day.newest):
            day.newest = served
        player = words.get("player", "-")
        if player == "-" or client is None:
            continue
        day.last_build[player] = client
        download = pending.pop((flavour, player), None)
        if download:
            got, build = download
            table = got.installed if client >= build else got.failed
            table[build] = table.get(build, 0) + 1
        if words["verdict"] == "update" and served:
            day.offered.setdefault(served, set()).add(player)
            if words.get("complete") == "OK":
                day.whole[served] = day.whole.get(served, 0) + 1
                pending[(flavour, player)] = (day, served)
    return flavours


def window(today, days):
    first = today - datetime.timedelta(days=days - 1)
    return [(first + datetime.timedelta(days=i)).isoformat() for i in range(days)]


def read_status(log=DEFAULT_LOG, days=DEFAULT_DAYS, today=None):
    """(the files read, the days of the window, {flavour: [Day of each day of the window
    that has checks]})."""
    files = log_files(log)
    span = window(today or datetime.date.today(), days)
    counted = count(read_lines(files))
    return files, span, {flavour: [by_day[d] for d in span if d in by_day]
                         for flavour, by_day in sorted(counted.items())}


COLUMNS = (("day", 10, lambda d: d.day), ("checks", 7, lambda d: d.checks), ("players", 8, lambda d: d.players),
           ("share", 6, lambda d: f"{d.share}%"), ("newest", 10, lambda d: d.newest or "-"),
           *((name, width, lambda d, name=name: d.summary()[name])
             for name, width in (("offered", 8), ("whole", 6), ("installed", 10), ("failed", 7))))


def text(files, span, flavours, heading=""):
    rotated = f" (and {len(files) - 1} rotated)" if len(files) > 1 else ""
    out = [f"Update checks in {files[-1] if files else 'no log'}{rotated}, {span[0]} to {span[-1]}\n", heading]
    for flavour, days in flavours.items():
        out.append(f"\n{flavour}\n  " + " ".join(f"{name:<{width}}" if i == 0 else f"{name:>{width}}"
                                                 for i, (name, width, _) in enumerate(COLUMNS))
                   + "  players per build\n")
        for day in days:
            out.append("  " + " ".join(f"{value(day):<{width}}" if i == 0 else f"{value(day):>{width}}"
                                       for i, (_, width, value) in enumerate(COLUMNS))
                       + "  " + ", ".join(f"{b}: {n}" for b, n in day.builds().items()) + "\n")
    if not flavours:
        out.append("\nno checks in these days\n")
    return "".join(out)


def command(args):
    """release_tool.py status: the text, and the page when --html names a file."""
    site_folder.check(args.site)
    if args.days < 1:
        raise site_folder.Refused(f"--days {args.days}: at least one day")
    files, span, flavours = read_status(args.log, args.days)
    heading = site_rollout.describe(args.site)
    print(text(files, span, flavours, heading), end="")
    if site_folder.release_ids(args.site):
        print("\n" + site_folder.key_report(args.site), end="")
    if args.html:
        with open(args.html + ".tmp", "w", encoding="utf-8") as file:
            file.write(status_page.page(files, span, flavours, heading))
        os.replace(args.html + ".tmp", args.html)
        print(f"page     {args.html}")
