#!/usr/bin/env python3
"""What the watch and status cost on a site's access log: a release staged to 10% of
PLAYERS players who check twice a day for DAYS days (each check reporting the run before,
2% of them crashed), the log and its rotations as logrotate leaves them (one file a day,
all but the two newest compressed). Prints, for `murmelon-release watch` (what the hourly
timer runs) and `murmelon-release status`, each run once in a fresh process: the seconds,
the log lines per second and the peak memory of that process.

    PYTHONPATH=server:tools python3 bench/watch_bench.py [--players 5000] [--days 30]
"""

import argparse
import datetime
import gzip
import hashlib
import os
import random
import subprocess
import sys
import tempfile
import time

from murmelon_update import release, release_tool, rollout

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMMAND = os.path.join(ROOT, "server", "bin", "murmelon-release")
NEW, OLD = 51101, 51091


def make_site(work):
    site = os.path.join(work, "site")
    os.makedirs(site)
    module = b"MZ\x90\x00" + bytes(range(256)) * 40
    for name, build, share in (("0001", OLD, []), ("0002", NEW, ["--share", "10"])):
        package = os.path.join(work, name)
        release.write_release(os.path.join(package, "server", "w7"), build, module, name)
        with open(os.devnull, "w") as quiet:
            stdout, sys.stdout = sys.stdout, quiet
            try:
                assert release_tool.main(["publish", "--service", "none", *share, package, site]) == 0
            finally:
                sys.stdout = stdout
    return site


def write_log(folder, players, days):
    """The log of `days` days ending now, a file a day; the number of lines."""
    rng = random.Random(1)
    inside = [rollout.in_share(hashlib.md5(str(p).encode()).hexdigest(), NEW, 10) for p in range(players)]
    end = datetime.datetime.now(datetime.timezone.utc).replace(minute=0, second=0, microsecond=0)
    lines = 0
    for age in range(days - 1, -1, -1):
        start = end - datetime.timedelta(days=age + 1)
        day = []
        for p in range(players):
            build = NEW if inside[p] else OLD
            for _ in (0, 1):
                when = start + datetime.timedelta(seconds=int(rng.random() * 86400))
                ended = "crashed fault=c0000005:hw.dll:0001a2b3" if rng.random() < 0.02 else "clean"
                day.append((when, f"{when.isoformat()} 10.{p >> 16}.{(p >> 8) & 255}.{p & 255} status=200 "
                                  f"flavour=w7 client={build} served={build} verdict=latest share=10 "
                                  f"player={p:016x} outcome={ended} bytes=14 seconds=0.001 complete=OK\n"))
        day.sort()
        text = "".join(line for _, line in day).encode()
        lines += len(day)
        name = os.path.join(folder, "access.log" + (f".{age}" if age else ""))
        if age >= 2:
            with gzip.open(name + ".gz", "wb", compresslevel=6) as file:
                file.write(text)
        else:
            with open(name, "wb") as file:
                file.write(text)
    return lines


def measure(*args):
    """(seconds, peak memory in MB) of one run of the command in a fresh process."""
    started = time.monotonic()
    with open(os.devnull, "w") as quiet:
        process = subprocess.Popen([sys.executable, COMMAND, *args], stdout=quiet, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode:
        raise SystemExit(f"{args[0]} exited {process.returncode}")
    return time.monotonic() - started, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--players", type=int, default=5000)
    parser.add_argument("--days", type=int, default=30)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="murmelon-watch-bench.") as work:
        site = make_site(work)
        lines = write_log(work, args.players, args.days)
        log = os.path.join(work, "access.log")
        print(f"{args.players} players, {args.days} days: {lines} lines "
              f"({sum(os.path.getsize(os.path.join(work, f)) for f in os.listdir(work) if f.startswith('access.log')) >> 20} MiB on disk)")
        for name, command in (("watch", ("watch", site, "--log", log)),
                              ("status", ("status", site, "--log", log, "--days", "14"))):
            seconds, peak = measure(*command)
            print(f"{name:<7} {seconds:7.1f} s  {lines / seconds:9.0f} lines/s  peak memory {peak:6.0f} MB")


if __name__ == "__main__":
    main()
