"""The watch over a staged release: a simulated player base (5,000 players who start the
game twice a day, each start's check reporting the run before it, 2% of the old build's
runs crashing, the new build staged to 10% of them) looked at every hour, through the
log's own format and the watch's counts for the seeds that print lines, straight from
the same checks for the many seeds; and murmelon-release watch on a site: it pauses under
the site's lock, status says so, a maintainer's widening restarts its hours, it only
reports once everyone is offered the build, and status flags a withdrawn build."""

import datetime
import hashlib
import io
import math
import os
import random
import sys
import tempfile
import threading
import time
import types
import unittest
from contextlib import redirect_stdout

sys.dont_write_bytecode = True
from murmelon_update import release, release_tool, rollout, status, watch, watch_rule
from murmelon_update.site import Site
from test_update_server import MODULE_W7, MODULE_XP

NEW, OLD = 51101, 51091
PLAYERS, SHARE, OLD_RATE = 5000, 10, 0.02
SERIALS = [hashlib.md5(str(i).encode()).hexdigest() for i in range(PLAYERS)]
INSIDE = [rollout.in_share(serial, NEW, SHARE) for serial in SERIALS]
START = datetime.datetime(2026, 12, 1, tzinfo=datetime.timezone.utc)
FORGER = "198.51.100.66"
FAULT = "c0000005:hw.dll:0001a2b3"


def checks_of_a_day(rng, new_rate):
    """Per hour of a day, the checks: (player, whether the run it reports crashed)."""
    hours = [[] for _ in range(24)]
    for player, inside in enumerate(INSIDE):
        rate = new_rate if inside else OLD_RATE
        for _ in (0, 1):
            hours[int(rng.random() * 24)].append((player, rng.random() < rate))
    return hours


def hours_of(seed, new_rate, days):
    rng = random.Random(seed)
    for day in range(days):
        yield from checks_of_a_day(rng, new_rate)


def counted_straight(seed, new_rate, days):
    """(totals, top) after each hour, summed from the checks as the watch sums them: the
    new build's runs and crashes, the old one's, and the player (each its own address)
    with the most crashed runs of the new build."""
    sums, runs, crashes, top = [0, 0, 0, 0], [0] * PLAYERS, [0] * PLAYERS, None
    for checks in hours_of(seed, new_rate, days):
        for player, crashed in checks:
            if INSIDE[player]:
                sums[0] += 1
                runs[player] += 1
                if crashed:
                    sums[1] += 1
                    crashes[player] += 1
                    if top is None or crashes[player] > crashes[top]:
                        top = player
            else:
                sums[2] += 1
                sums[3] += crashed
        yield sums, [runs[top], crashes[top], 0, 0] if top is not None else [0, 0, 0, 0]


def paused_after(seed, new_rate, days):
    """Hours until the watch pauses, or None."""
    for hour, (totals, top) in enumerate(counted_straight(seed, new_rate, days), 1):
        if watch.decide(totals, top).tripped:
            return hour
    return None


def nginx_line(when, address, words):
    """A line of the access log, as the site's log_format writes it."""
    return (f"{when.isoformat()} {address} status=200 {words} bytes=14 seconds=0.001 complete=OK\n")


def lines_of_an_hour(hour, checks, forged=0):
    """The access log's lines of those checks, as the service's words come to nginx."""
    start = START + datetime.timedelta(hours=hour)
    out = []
    for n, (player, crashed) in enumerate(checks):
        build = NEW if INSIDE[player] else OLD
        ended = f"crashed fault={FAULT}" if crashed else "clean"
        out.append(nginx_line(start + datetime.timedelta(seconds=n), f"198.18.{player // 250}.{player % 250}",
                              f"flavour=w7 client={build} served={build} verdict=latest share={SHARE} "
                              f"player={player:016x} outcome={ended}"))
    for n in range(forged):
        out.append(nginx_line(start + datetime.timedelta(seconds=n * 60), FORGER,
                              f"flavour=w7 client={NEW} served={NEW} verdict=latest share={SHARE} "
                              f"player=f{hour:06d}{n:09d} outcome=crashed fault={FAULT}"))
    return out


def counted_from_the_log(seed, new_rate, days, forged_per_hour=0):
    """(totals, top) after each hour, as the watch reads them from the log's lines."""
    gathered = watch.Gathered({"w7": (NEW, OLD)})
    tally = gathered.tally = status.Tally(gathered)
    for hour, checks in enumerate(hours_of(seed, new_rate, days)):
        for check in status.checks_in(lines_of_an_hour(hour, checks, forged_per_hour), [0]):
            tally.add(check)
        yield gathered.totals("w7")


class Simulation(unittest.TestCase):
    def test_a_worse_build_is_paused_a_better_or_an_equal_one_is_not(self):
        worse = {seed: paused_after(seed, 2 * OLD_RATE, 3) for seed in range(40)}
        within_a_day = sum(hours is not None and hours <= 24 for hours in worse.values())
        print(f"\ncrashing twice as often: paused within a day in {within_a_day} of 40 seeds, all within "
              f"{max(h or 999 for h in worse.values())} hours (median {sorted(worse.values())[20]} h)")
        self.assertGreaterEqual(within_a_day, 28, worse)
        self.assertLessEqual(max(h or 999 for h in worse.values()), 72, worse)
        better = {seed: paused_after(500 + seed, OLD_RATE / 2, 3) for seed in range(5)}
        self.assertEqual(better, dict.fromkeys(range(5)))  # one that crashes half as often: never
        equal = {seed: paused_after(1000 + seed, OLD_RATE, 14) for seed in range(40)}
        falsely = {seed: hours for seed, hours in equal.items() if hours is not None}
        print(f"equally good: paused in {len(falsely)} of 40 seeds over 14 days {falsely}")
        self.assertLessEqual(len(falsely), 1, falsely)

    def test_the_binomial_tail_holds_at_its_edges(self):
        """P(X >= k) against the exact sum: a tail far below what 1 - P(X < k) can hold, the
        side below n p, and the edges (a new build alone: p = 1)."""
        for n, p, k in ((1000, 1 / 128, 60), (1000, 1 / 128, 5), (10, 1.0, 3), (10, 0.5, 0), (5, 0.25, 6),
                        (40, 0.5, 20)):
            with self.subTest(n=n, p=p, k=k):
                a, d = p.as_integer_ratio()  # p = a / d exactly: the sum in integers, one division
                exact = sum(math.comb(n, i) * a ** i * (d - a) ** (n - i) for i in range(k, n + 1)) / d ** n
                self.assertAlmostEqual(watch_rule.at_least(n, p, k), exact, delta=1e-9 * exact)

    def test_the_verdict_names_the_check_that_tripped_with_its_p(self):
        """The words of each rule, its own P in them; the floor holds a new build whose old
        one has no runs left to compare with."""
        runs = "crashed of 1000 runs of the new build"
        for counts, tripped, why in (
                ([1000, 30, 100, 1], "floor", "new build's crash-free runs 97.00%, below 98.91% and the old build's "
                                              f"99.00% (30 {runs}, 1 of 100 of the old one; P = 1.2e-06)"),
                ([1000, 30, 0, 0], "floor", f"new build's crash-free runs 97.00%, below 98.91% (30 {runs}, 0 of 0 "
                                            "of the old one; P = 1.2e-06)"),
                ([1000, 40, 9000, 180], "test", f"new build crashes 2.0x the old one (40 {runs}, 180 of 9000 of the "
                                                "old one; P = 1.5e-04)"),
                ([1000, 25, 9000, 180], "", f"new build crashes 1.2x the old one (25 {runs}, 180 of 9000 of the "
                                            "old one; P = 1.7e-01)")):
            with self.subTest(counts=counts):
                verdict = watch_rule.judge(counts)
                self.assertEqual((verdict.tripped, verdict.why()), (tripped, why))

    def test_the_log_gives_the_watch_the_same_counts(self):
        for name, seed, rate, days in (("worse", 7, 2 * OLD_RATE, 2), ("equal", 1007, OLD_RATE, 1)):
            with self.subTest(name):
                straight = [(list(t), list(top)) for t, top in counted_straight(seed, rate, days)]
                logged = [(list(t), list(top)) for t, top in counted_from_the_log(seed, rate, days)]
                self.assertEqual([t for t, _ in logged], [t for t, _ in straight])
                self.assertEqual([watch.decide(*one).tripped for one in logged],
                                 [watch.decide(*one).tripped for one in straight])

    def test_a_thousand_forged_crashes_from_one_address_pause_nothing(self):
        """An equally good build over three days while one address sends 14 crashed runs
        of it every hour (1,008 in all, each as another player): the day's quota counts
        16 of them a day, and the watch leaves that address out."""
        hours = list(counted_from_the_log(1003, OLD_RATE, 3, forged_per_hour=14))
        self.assertEqual([h for h, one in enumerate(hours) if watch.decide(*one).tripped], [])
        totals, top = hours[-1]
        self.assertEqual(top[:2], [3 * status.PER_ADDRESS, 3 * status.PER_ADDRESS])
        # Counted with that address, the forged crashes would have paused it.
        self.assertTrue(any(watch_rule.judge(one[0]).tripped for one in hours))


def site_with_a_rollout(work):
    """A site serving 0001 (w7 51091, xp 51092), with 0002 (w7 51101) staged to 10%."""
    site = os.path.join(work, "site")
    os.makedirs(site)
    for name, w7, share in (("0001", OLD, []), ("0002", NEW, ["--share", "10"])):
        publish(work, site, name, w7, share)
    return site


def publish(work, site, name, w7, share):
    package = os.path.join(work, name)
    release.write_release(os.path.join(package, "server", "w7"), w7, MODULE_W7, name)
    if name == "0001":
        release.write_release(os.path.join(package, "server", "xp"), 51092, MODULE_XP, name)
    return run("publish", "--service", "none", *share, package, site)


def run(*args):
    out = io.StringIO()
    with redirect_stdout(out):
        code = release_tool.main(list(args))
    if code:
        raise AssertionError(f"{args}: exit status {code}: {out.getvalue()}")
    return out.getvalue()


def log_of(path, seed, rate, hours, forged_per_hour=0):
    """The access log of the simulation's first hours, ending now (status counts days)."""
    lines = [line for hour, checks in zip(range(hours), hours_of(seed, rate, 1))
             for line in lines_of_an_hour(hour, checks, forged_per_hour)]
    shift = datetime.datetime.now(datetime.timezone.utc).replace(minute=0, second=0, microsecond=0) \
        - datetime.timedelta(hours=hours) - START
    with open(path, "w") as file:
        for line in lines:
            stamp, rest = line.split(" ", 1)
            file.write(f"{(datetime.datetime.fromisoformat(stamp) + shift).isoformat()} {rest}")


class WatchOnASite(unittest.TestCase):
    def test_the_watch_pauses_and_status_tells_each_state(self):
        with tempfile.TemporaryDirectory() as work:
            site = site_with_a_rollout(work)
            log = os.path.join(work, "access.log")

            def watched():
                return run("watch", site, "--log", log)

            def said():
                return run("status", site, "--log", log, "--days", "2")

            def share(n):
                return run("share", "--service", "none", site, str(n))

            for name, step, watch_says, status_says, share_after in (
                    ("an equal build, an hour in", lambda: log_of(log, 5, OLD_RATE, 1), "too few crashes to judge",
                     "next step: wait: too few runs of build 51101", 10),
                    ("an equal build, a day in", lambda: log_of(log, 5, OLD_RATE, 24), "not shown worse",
                     "build 51101: staged at 10% (release 0002) build 51091: kept for the others (release 0001) "
                     f"next step: widen (murmelon-release share {site} 25): not shown worse", 10),
                    ("a forger, a day", lambda: log_of(log, 5, OLD_RATE, 24, 20), "without the one address that sent",
                     "build 51101: staged at 10% (release 0002) build 51091: kept for the others (release 0001)", 10),
                    ("to everyone, a build that crashes four times as often", lambda: (
                        share(100), log_of(log, 6, 4 * OLD_RATE, 24)), "reached everyone: the watch only reports",
                     "build 51101: to everyone (staged release 0002 at 100%) build 51091: the release before "
                     "(release 0001) next step: roll back by hand", 100),
                    ("back to 10%", lambda: share(10), "PAUSED release 0002 (share 10% -> 0%): w7: new build crashes",
                     "build 51101: paused by the watch: w7: new build crashes", 0),
                    ("looked at again", lambda: None, "paused by the watch: w7: new build crashes",
                     "next step: paused: new build crashes", 0),
                    ("widened by hand: the watch judges only what comes after", lambda: share(10),
                     "too few crashes to judge", "build 51101: staged at 10% (release 0002)", 10),
                    ("paused by hand", lambda: share(0), "", "build 51101: paused (share 0%, release 0002)", 0),
                    ("rolled back", lambda: run("rollback", "--service", "none", site), "runs no rollout",
                     "build 51091: to everyone (release 0001)", None),
                    ("a fix staged over the release before", lambda: publish(work, site, "0003", NEW + 10, [
                        "--share", "10"]), "no offer of 51111 in the log yet",
                     "build 51111: staged at 10% (release 0003) build 51101: withdrawn (release 0002)", 10)):
                with self.subTest(name):
                    step()
                    seen = watched()
                    self.assertIn(watch_says, " ".join(seen.split()))
                    text = said()
                    self.assertIn(status_says, " ".join(text.split()))
                    for lines in (seen, text):
                        self.assertLessEqual(max(map(len, lines.split("\n"))), 100, lines)
                    state = rollout.read_rollout(site)
                    self.assertEqual(state.share if state else None, share_after)
            self.assertRegex(text, r"withdrawn \(release 0002\): \d+ players ran it on ")
            self.assertIn("51101 withdrawn", text.split("newest build")[1])  # the day's newest build flagged

    def test_a_rotation_made_after_the_release_came_is_read(self):
        """The log rotated half an hour after the staged release came: the watch sees the
        same runs as in one log."""
        with tempfile.TemporaryDirectory() as work:
            site = site_with_a_rollout(work)
            log = os.path.join(work, "access.log")
            log_of(log, 5, OLD_RATE, 24)
            whole = run("watch", site, "--log", log)
            came = os.stat(os.path.join(site, "releases", "0002")).st_mtime
            os.rename(log, log + ".1")
            open(log, "w").close()
            os.utime(log + ".1", (came + 1800, came + 1800))
            self.assertEqual(run("watch", site, "--log", log), whole)

    def test_the_watch_waits_for_another_commands_lock_then_pauses(self):
        with tempfile.TemporaryDirectory() as work:
            site = site_with_a_rollout(work)
            log = os.path.join(work, "access.log")
            log_of(log, 6, 4 * OLD_RATE, 24)
            taken = threading.Event()

            def another_command():
                with Site(site).lock():
                    taken.set()
                    time.sleep(1.5)
            holder = threading.Thread(target=another_command)
            holder.start()
            taken.wait(10)
            self.assertIn("PAUSED release 0002", run("watch", site, "--log", log))
            holder.join()
            self.assertEqual(rollout.read_rollout(site).share, 0)

    def test_the_next_step_widens_a_step_at_a_time_and_pauses_a_worse_build(self):
        site = types.SimpleNamespace(path="/srv/site")
        look = watch.Look("w7", NEW, OLD, 0, watch_rule.judge([1000, 20, 9000, 180]), 0)
        widen = "widen (murmelon-release share /srv/site"
        for share, step in ((0, "widen again (murmelon-release share /srv/site 1) or roll back"),
                            (1, f"{widen} 5)"), (10, f"{widen} 25)"), (49, f"{widen} 50)"), (50, f"{widen} 100)"),
                            (100, "nothing: every player is offered it")):
            with self.subTest(share=share):
                said = watch.next_step(site, rollout.Rollout("0002", "0001", share), look)
                self.assertTrue(said.startswith(step), said)
        # Shown worse: paused while staged, rolled back by hand once everyone has it.
        worse = look._replace(verdict=watch_rule.judge([1000, 40, 9000, 180]))
        for share, step in ((10, "pause: new build crashes 2.0x"),
                            (100, "roll back by hand (murmelon-release rollback /srv/site): new build crashes 2.0x")):
            with self.subTest(share=share, worse=True):
                said = watch.next_step(site, rollout.Rollout("0002", "0001", share), worse)
                self.assertTrue(said.startswith(step), said)
        # Ten crashes, the least the rule judges on: judged, not "too few".
        judged = look._replace(verdict=watch_rule.judge([1000, 10, 9000, 180]))
        self.assertIn("not shown worse (P = ", watch.describe(judged))


if __name__ == "__main__":
    unittest.main()
