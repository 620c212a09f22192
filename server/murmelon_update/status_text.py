"""The status (status.py) as the terminal shows it: lines of at most 100 columns, every
column headed by what it counts and in which unit. Per flavour: the state of each
published build and the next step, then per day the checks and the offers of the day's
newest build, then per build and day the players on it and how their runs ended."""

import textwrap

from . import files
from .status import PER_ADDRESS, RUNS_PER_PLAYER, provisional
from .watch_rule import MIN_RUNS

# (heading, unit, width); a negative width aligns the column left, the others right.
DAY_COLUMNS = (("day", "", -10), ("checks", "(count)", 7), ("players", "(count)", 7), ("share", "(%)", 5),
               ("newest build", "", -15), ("offered", "(players)", 9), ("whole", "(downloads)", 11),
               ("installed", "(players)", 9), ("failed", "(players)", 9))
BUILD_COLUMNS = (("day", "", -10), ("build", "", -15), ("players", "(count)", 7), ("runs", "(count)", 7),
                 ("crash-free", "runs (%)", 12), ("crash-free", "players (%)", 12), ("abnormal", "(runs)", 8),
                 ("unknown", "(runs)", 7), ("", "", -11))
ELSEWHERE_COLUMNS = (("day", "", -10), ("build", "", -9), ("checks", "(count)", 7))
FEW = "too few runs"
WIDTH = 100


def row(columns, values):
    return "  " + " ".join(f"{value:<{-width}}" if width < 0 else f"{value:>{width}}"
                           for (_, _, width), value in zip(columns, values)).rstrip() + "\n"


def heading(columns):
    return row(columns, [c[0] for c in columns]) + row(columns, [c[1] for c in columns])


def percent(part, whole):
    return f"{100 * part / whole:.2f}" if whole else "-"


def source(status):
    rotated = f" (and {len(status.files) - 1} rotated)" if len(status.files) > 1 else ""
    return (status.files[-1] if status.files else "no log") + rotated


def skipped(status):
    """Lines on what was not counted; "" when everything was."""
    reasons = [f"{status.long_lines} over {files.LINE_CAP} bytes"] if status.long_lines else []
    reasons += [f"{status.malformed} with words the service does not write"] if status.malformed else []
    total = status.long_lines + status.malformed
    out = f"skipped {total} line{'s' if total != 1 else ''}: {', '.join(reasons)}\n" if reasons else ""
    excess = [status.tally.excess[d] for d in status.span if d in status.tally.excess]
    if excess:
        addresses = len(set().union(*(e.addresses for e in excess)))
        out += (f"not counted, beyond {PER_ADDRESS} a day from one address or {RUNS_PER_PLAYER} runs from one "
                f"player: {sum(e.reports for e in excess)} reported runs,\n  {sum(e.players for e in excess)} "
                f"players, {sum(e.installs for e in excess)} installs (from {addresses} "
                f"address{'es' if addresses != 1 else ''})\n")
    invalid = sum(status.tally.invalid.get(d, 0) for d in status.span)
    if invalid:
        out += f"reported runs the plug-in does not send (logged as invalid): {invalid}\n"
    return out


def day_rows(days, named):
    """The cells of the day table; `named`: {build: state}."""
    for d in days:
        s, newest = d.summary(), d.newest
        build = f"{newest} withdrawn" if newest and named.get(newest, "").startswith("withdrawn") else newest or "-"
        yield (d.day, d.checks, d.players, d.share_of(newest), build, s["offered"], s["whole"], s["installed"],
               s["failed"])


def build_rows(flavour, days, status, named):
    """(cells of the build table, the top faults' text or "") per build and day."""
    for d in days:
        players = d.builds()
        for build in sorted(set(players) | set(d.runs), reverse=True):
            runs = d.runs.get(build)
            state = named.get(build, "").split(" ", 1)[0].split(":")[0]
            cells = [d.day, f"{build} {state}" if state in ("withdrawn", "staged", "paused") else f"{build}",
                     players.get(build, 0)]
            if not runs:
                yield tuple(cells + [0, "-", "-", 0, 0, ""]), ""
                continue
            reports, crashed, players_run, players_crashed = runs.rates()
            enough = reports >= MIN_RUNS  # runs of the build, not players: a rate of too few says little
            cells += [runs.reports, percent(reports - crashed, reports) if enough else FEW,
                      percent(players_run - players_crashed, players_run) if enough else FEW,
                      runs.ended["abnormal"], runs.ended["unknown"],
                      "provisional" if provisional(status.tally, flavour, build, d.day) else ""]
            faults = ", ".join(f"{fault} {n}" for fault, n in runs.top_faults())
            left = runs.left_out()[1]
            yield tuple(cells), faults + (f"; left out of the rates: {left} crashed runs of one address"
                                          if left else "")


def state_lines(states, days):
    """The states of the builds, a withdrawn one with the players who still ran it on the
    last day counted."""
    last = days[-1].builds() if days else {}
    return [(build, f"{state}: {last.get(build, 0)} players ran it on {days[-1].day}"
             if state.startswith("withdrawn") and days else state) for build, state in states]


def flavour_text(flavour, days, status, states, step):
    named = dict(states)
    out = [f"\n{flavour}\n"] + [f"  build {build}: {state}\n" for build, state in state_lines(states, days)]
    if step:
        out.append(f"  next step: {step}\n")
    out.append(heading(DAY_COLUMNS))
    out += [row(DAY_COLUMNS, cells) for cells in day_rows(days, named)]
    out.append(heading(BUILD_COLUMNS))
    for cells, faults in build_rows(flavour, days, status, named):
        out.append(row(BUILD_COLUMNS, cells))
        if faults:
            out.append(textwrap.fill(f"faults of {cells[1].split()[0]}: {faults}", WIDTH, initial_indent=" " * 14,
                                     subsequent_indent=" " * 16, break_long_words=False) + "\n")
    return "".join(out)


def elsewhere_rows(status):
    for day, builds in sorted(status.tally.elsewhere.items()):
        if day in status.span:
            yield from ((day, build, n) for build, n in sorted(builds.items()))


def elsewhere_text(status):
    rows = [row(ELSEWHERE_COLUMNS, cells) for cells in elsewhere_rows(status)]
    return "".join(["\nchecks of builds no release of the site serves\n", heading(ELSEWHERE_COLUMNS)] + rows) \
        if rows else ""


def text(status, heading_lines="", states=None, steps=None):
    states, steps = states or {}, steps or {}
    out = [f"Update checks in {source(status)}, {status.span[0]} to {status.span[-1]}\n", skipped(status),
           heading_lines]
    for flavour, days in status.flavours.items():
        out.append(flavour_text(flavour, days, status, states.get(flavour, []), steps.get(flavour, "")))
    if not status.flavours:
        out.append("\nno checks in these days\n")
    out.append(elsewhere_text(status))
    return "".join(out)
