"""murmelon-release: the release steps on the update server.

publish    adds a packaged release (tools/package.sh) to a site and switches the site to it
rollback   switches a site back to an earlier release (and ends a rollout)
share      widens, narrows or pauses (0) the rollout of the served release
status     who runs what and how their runs ended, per flavour, build and day, from the
           service's access logs; the state of each build and the next step
watch      pauses a staged release whose new build crashes more than the old one (the
           package's timer runs it every hour; watch.py)
list       shows a site's releases, and per release key the published builds that carry it

A site (site.py) keeps every published release and a link to the one that is served. The
link is replaced with one rename, so a service reading it sees the old release or the new
one, never a mix; the service notices the switch at its next request, and publish,
rollback and share then ask it whether it answers as the site now says (service_check.py).
"""

import argparse
import datetime
import os
import sys
import textwrap

from . import files, service_check, status, status_page, status_text, watch
from .app import RETRY_SECONDS
from .published import Published
from .release import ReleaseError, load_flavours
from .rollout import EVERYONE, RolloutError, check_share
from .site import COMMAND, Refused, Site
from .status import DEFAULT_DAYS, DEFAULT_LOG

WIDTH = 100   # what a line of the terminal takes


def fit(text, indent="      "):
    """Each line of text within WIDTH columns, broken at blanks, continued indented."""
    return "".join(textwrap.fill(line, WIDTH, subsequent_indent=indent, break_long_words=False,
                                 break_on_hyphens=False) + "\n" if len(line) > WIDTH else line + "\n"
                   for line in text.rstrip("\n").split("\n")) if text else ""


def served_text(site, release, releases, how, note=""):
    return fit(f"{how} {site.current_link()} (release {release}){note}:\n"
               + "".join(f"  {r.describe()}\n" for r in releases) + site.describe_rollout())


def publish(args):
    source = os.path.join(args.package, "server")
    if not os.path.isdir(source):
        raise Refused(f"no {source}; run tools/package.sh first")
    site = Site(args.site).check()
    try:
        new = load_flavours(source)  # every signature verified before anything is written
    except ReleaseError as error:
        raise Refused(f"the update server would refuse this release: {error}") from None
    site.check_staging(args.share, site.current_id())  # and again under the lock
    with site.lock():
        site.check_current()
        site.make_releases_folder()
        site.remove_leftovers()
        current = site.current_id()
        site.check_staging(args.share, current)
        served = served_flavours(site, current)
        again = site.same_release(current, new)
        if current and again == current:
            print(f"release {current} already holds this release and is current (published before; "
                  f"nothing to do but ask the service)")
            return report_switch(args, site, current)
        if again:
            # A publish that stopped between its folder's rename and the switch, or a
            # release rolled back from: the same bytes, served again.
            print(f"release {again} already holds this release (a publish stopped before switching "
                  f"to it, or the site was rolled back from it): switching to it")
            release = again
        else:
            print(check_new(site, new), end="")
            release = site.add_release(new, served)
        site.stage(release, current, args.share)
        site.switch(release)
        if args.share >= EVERYONE:
            site.end_rollout()  # the switch ended it for the service; it must not come back with a later one
        print(f"published release {release}" + (f" (was {current}; back with "
              f"{COMMAND} rollback {site.path})" if current else ""))
        return report_switch(args, site, release)


def served_flavours(site, current):
    if not current:
        return []
    try:
        return site.flavours(current)
    except ReleaseError as error:
        raise Refused(f"the served release {current} cannot be loaded ({error}): the flavours this release "
                      f"leaves as they are cannot be carried over; roll back to a release that loads, "
                      f"then publish") from None


def check_new(site, new):
    """Refuses what players in the field could not take; returns notes for the maintainer."""
    published, notes = Published(site), ""
    for release in new:
        published.check_build_is_new(release.folder, release.build)
        notes += published.check_players_take(release.folder, release.suffix, release.build,
                                              release.public_key if release.signature else "")
    return notes


def report_switch(args, site, release):
    """Says what is served now, as far as the running service confirms it; 1 when it does
    not answer as the site says."""
    releases = site.flavours(release)
    if args.service == "none":
        print(served_text(site, release, releases, "now current in", "; the service was not asked"), end="")
        return 0
    try:
        rollout = site.rollout()
        problem = service_check.switch_not_taken(args.service, releases) or (
            rollout and service_check.rollout_not_answered(args.service, rollout, site.staged_flavours(rollout)))
    except OSError as error:
        print(served_text(site, release, releases, "now current in",
                          f"; no service answers at {args.service} ({error.strerror or error}), it serves "
                          f"this release when it starts"), end="")
        return 0
    except (Refused, LookupError) as error:
        problem = f"{error}"
    if problem:
        print(served_text(site, release, releases, "now current in", ", NOT served"), end="")
        sys.stderr.write(f"{args.command}: the service at {args.service} did not take release {release}: "
                         f"{problem}. Its log says why (journalctl -u murmelon-update); it tries again "
                         f"every {RETRY_SECONDS} s and at `systemctl reload murmelon-update`\n")
        return 1
    print(served_text(site, release, releases, "now served from"), end="")
    return 0


def rollback(args):
    site = Site(args.site).check()
    with site.lock():
        ids, current = site.release_ids(), site.current_id()
        if args.to:
            target = args.to
            site.check_release_id(target)
        else:
            earlier = [i for i in ids if current and int(i) < int(current)]
            if not earlier:
                raise Refused(f"{site.path}: no release before {current or 'the current one'}")
            target = earlier[-1]
        try:
            site.flavours(target)
        except ReleaseError as error:
            raise Refused(f"release {target} would be refused: {error}") from None
        site.switch(target)
        print(f"switched {site.path} from release {current} to {target}" + site.end_rollout())
        return report_switch(args, site, target)


def share(args):
    site = Site(args.site).check()
    with site.lock():
        before, after = site.change_share(args.share)
        print(f"release {after.release}: from {before.share}% of players to {after.share}%")
        return report_switch(args, site, after.release)


def list_site(args):
    site = Site(args.site).check()
    current = site.current_id()
    ids = site.release_ids()
    for release in ids:
        try:
            texts = [r.describe() for r in site.flavours(release)]
        except ReleaseError as error:
            texts = [f"cannot be loaded: {error}"]
        print(fit(("* " if release == current else "  ") + release + ": " + texts[0]
                  + "".join(f"\n        {t}" for t in texts[1:]), "          "), end="")
    for entry in site.strangers():
        print(f"  {entry}: not a release folder of this site (remove it from releases/)")
    if not ids:
        print(f"{site.path}: no releases yet")
        return
    print(fit(Published(site).key_report()), end="")


def status_command(args):
    """The text, and the page when --html names a file."""
    site = Site(args.site).check()
    if args.days < 1:
        raise Refused(f"--days {args.days}: at least one day")
    try:
        rollout = site.rollout()
    except Refused:
        rollout = None  # describe_rollout says what is wrong with it
    span = status.window(datetime.date.today(), args.days)
    (tally, reading, malformed), looks = watch.read(site, args.log, rollout, status.day_start(span[0]))
    found = status.in_window(tally, reading, malformed, span)
    for warning in found.warnings:
        sys.stderr.write(f"status: {warning}\n")
    heading = site.describe_rollout()
    states = watch.states(site, rollout)
    steps = {one.flavour: watch.next_step(site, rollout, one) for one in looks}
    print(fit(status_text.text(found, heading, states, steps)), end="")
    if site.release_ids():
        print("\n" + fit(Published(site).key_report()), end="")
    if args.html:
        files.write_whole(args.html, status_page.page(found, heading, states, steps).encode("utf-8"))
        print(f"page     {args.html}")


def watch_command(args):
    return watch.look(Site(args.site), args.log, lambda line: print(line, flush=True))


def share_argument(text):
    try:
        return check_share(text)
    except RolloutError as error:
        raise argparse.ArgumentTypeError(f"{error}") from None


def parser():
    top = argparse.ArgumentParser(prog=COMMAND, description=__doc__.split("\n\n")[0].split(": ", 1)[1])
    commands = top.add_subparsers(dest="command", required=True)
    service = argparse.ArgumentParser(add_help=False)
    service.add_argument("--service", default=os.environ.get("MURMELON_SERVICE", service_check.DEFAULT),
                         help="the running service to ask whether it took the switch (host:port), or none")
    p = commands.add_parser("publish", parents=[service], help="add a packaged release and switch to it")
    p.add_argument("package", help="what tools/package.sh wrote (the folder that holds server/)")
    p.add_argument("site")
    staging = p.add_mutually_exclusive_group()
    staging.add_argument("--share", type=share_argument, default=EVERYONE,
                         help="offer the release to this percentage of players first (default 100: everyone)")
    staging.add_argument("--critical", dest="share", action="store_const", const=EVERYONE,
                         help="a security fix: every player at once, never staged")
    p.set_defaults(run=publish)
    p = commands.add_parser("rollback", parents=[service], help="switch back to the release before, or to TO")
    p.add_argument("site")
    p.add_argument("to", nargs="?")
    p.set_defaults(run=rollback)
    p = commands.add_parser("share", parents=[service], help="change the share of the staged release")
    p.add_argument("site")
    p.add_argument("share", type=share_argument, help="0 (paused) to 100 (everyone)")
    p.set_defaults(run=share)
    p = commands.add_parser("status", help="who runs what, from the access logs")
    p.add_argument("site")
    p.add_argument("--days", type=int, default=DEFAULT_DAYS)
    p.add_argument("--log", default=DEFAULT_LOG, help="the service's access log (nginx's)")
    p.add_argument("--html", help="also write the status as one self-contained page here")
    p.set_defaults(run=status_command)
    p = commands.add_parser("watch", help="pause a staged release whose new build crashes more than the old one")
    p.add_argument("site")
    p.add_argument("--log", default=DEFAULT_LOG, help="the service's access log (nginx's)")
    p.set_defaults(run=watch_command)
    p = commands.add_parser("list", help="the site's releases and the keys their modules carry")
    p.add_argument("site")
    p.set_defaults(run=list_site)
    return top


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        return args.run(args) or 0
    except (Refused, ReleaseError, OSError) as error:
        sys.stderr.write(f"{args.command}: {error}\n")
        return 1
