"""A site's staged release as the release commands change it (service/rollout.py holds the
file and the share function): what publish refuses before it stages, the rollout it
writes before the switch and ends after one, and whether the running service answers by
the share (a player inside it is offered the new build, one outside gets the answer of
the release before)."""

import argparse
import hashlib
import os

import release_site as site_folder
import rollout  # (service/, on the path of release_tool.py)
import service_check
import update_app
from release_site import Refused

# Publish's share when none is given: every player at once.
EVERYONE = 100
PROBE_SERIALS = 100000


def active_plan(site):
    """The rollout of the served release, or None (a file naming another release is over)."""
    try:
        plan = rollout.read_plan(site)
    except rollout.RolloutError as error:
        raise Refused(f"{error}: remove it, or write it again with `release_tool.py share {site} N`") from None
    return plan if plan and plan.release == site_folder.current_id(site) else None


def share_argument(text):
    try:
        return rollout.check_share(text)
    except rollout.RolloutError as error:
        raise argparse.ArgumentTypeError(f"{error}") from None


def check_publish(site, share, current):
    """Refuses, before anything is written, a staged publish with no release to keep for
    the others or over a rollout that has not reached everyone."""
    if share >= EVERYONE:
        return
    if not current:
        raise Refused(f"{site}: no served release for the players outside the share: the first "
                      f"release goes to every player (publish it without --share)")
    plan = active_plan(site)
    if plan and plan.share < EVERYONE:
        raise Refused(f"release {plan.release} is still staged to {plan.share}% of players: widen it to "
                      f"everyone (release_tool.py share {site} 100) or roll it back "
                      f"(tools/publish.sh --rollback {site}) before staging another; --critical "
                      f"publishes to every player at once")


def stage(site, release_id, current, share):
    """Before the switch: the rollout of release_id, or None when it goes to everyone."""
    return rollout.write_plan(site, release_id, current, share) if share < EVERYONE else None


def after_switch(site, plan):
    """A release that goes to everyone ends any rollout (the switch already ended it for
    the service; the file must not come back with a later switch)."""
    if plan is None:
        rollout.end(site)


def end(site):
    """After a rollback: ends any rollout, whatever its file holds; words that say so."""
    try:
        plan = rollout.read_plan(site)
    except rollout.RolloutError:
        plan = None
    ended = rollout.end(site)
    return f"; the rollout of release {plan.release} ended" if ended and plan else ""


def change_share(site, share):
    """The share of the served release's rollout, under the site's lock: (before, after)."""
    plan = active_plan(site)
    if not plan:
        current = site_folder.current_id(site)
        raise Refused(f"{site}: " + (f"the served release {current} is not staged (it went to every player); "
                                     f"stage a release with publish --share N" if current else "no served release"))
    if share < EVERYONE:
        staged_releases(site, plan)  # the players outside the share need the release before
    return plan, rollout.write_plan(site, plan.release, plan.previous, share)


def staged_releases(site, plan):
    """{flavour: (staged release, the one before)} of the plan, or Refused."""
    loaded = []
    for release in (plan.release, plan.previous):
        try:
            loaded.append(update_app.load_releases(site_folder.release_folder(site, release)))
        except (update_app.ReleaseError, OSError) as error:
            raise Refused(f"release {release} of the rollout cannot be loaded ({error}): roll back "
                          f"(tools/publish.sh --rollback {site}) or widen it to everyone") from None
    return rollout.staged_pairs(*loaded)


def describe(site):
    """Lines for publish, share, rollback and status: who gets what while a rollout runs."""
    try:
        plan = active_plan(site)
        pairs = staged_releases(site, plan) if plan else {}
    except Refused as error:
        return f"  rollout: {error}\n"
    return "".join(f"  {name}: build {new.build} to {plan.share}% of players, the others keep build "
                   f"{before.build} (release {plan.previous})\n" for name, (new, before) in sorted(pairs.items()))


def probe_serial(build, inside, share):
    """A serial digest whose player stands inside (or outside) the share for build."""
    for i in range(PROBE_SERIALS):
        serial = hashlib.md5(f"release check {i}".encode()).hexdigest()
        if rollout.in_share(serial, build, share) == inside:
            return serial
    raise Refused(f"no probe player found {'inside' if inside else 'outside'} a {share}% share")


def offers(release, status, body, redirect):
    """Whether an answer is the update to `release` (from memory, or by nginx from its file)."""
    folder = os.path.basename(os.path.dirname(release.folder))
    return status == 200 and (redirect.endswith(f"/releases/{folder}/{release.name}/{update_app.ANSWER_FILE}")
                              or (not redirect and body == release.answer_head))


def not_taken(address, site, timeout=5):
    """None when the service answers by the rollout (or there is none); else what it said."""
    try:
        plan = active_plan(site)
        pairs = staged_releases(site, plan) if plan else {}
    except Refused as error:
        return f"{error}"
    for name, (new, before) in sorted(pairs.items()):
        for inside in (True, False):
            if (plan.share == 0 and inside) or (plan.share == EVERYONE and not inside):
                continue
            serial = probe_serial(new.build, inside, plan.share)
            for _ in range(service_check.TRIES):
                status, body, redirect = service_check.ask(address, before.build, timeout, serial,
                                                           len(new.answer_head))
                if inside and not offers(new, status, body, redirect):
                    return (f"a player of build {before.build} inside the {plan.share}% share of {name} was "
                            f"not offered build {new.build}")
                if not inside and (status, body) != (200, b"LATEST_VERSION"):
                    said = f"status {status}" if status != 200 else redirect or body[:20].decode("ascii", "replace")
                    return (f"a player of build {before.build} outside the {plan.share}% share of {name} got "
                            f"{said!r}, not LATEST_VERSION")
    return None
