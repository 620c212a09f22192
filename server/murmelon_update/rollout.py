"""A staged release: the site's newest release offered to a share of the players first.

    <site>/rollout.ini     [rollout] release = 0002, previous = 0001, share = 10
                           (and after the watch paused it: paused_by = why; after a
                           maintainer widened it again: watched_from = when, UTC)

While `current` names `release`, a player is offered it only when the position of its
serial digest for the new build falls below the share (in_share); everyone else gets the
answer `previous` gives, which is what they got before the publish. The file names the
release it stages, so it takes effect with the switch of `current` and ends with any
switch away; the release command writes it (publish --share, share) and removes it
(rollback, a publish to everyone).
"""

import datetime
import hashlib
import os
import re
from typing import NamedTuple

from . import files

ROLLOUT_FILE = "rollout.ini"
ROLLOUT_CAP = 4096
EVERYONE = 100
SHARE_TEXT = re.compile(r"[0-9]{1,3}")
RELEASE_ID = re.compile(r"[0-9]{4,9}")
REASON = re.compile(r"[ -~]{1,400}")   # one printable line


class RolloutError(Exception):
    pass


class Rollout(NamedTuple):
    """The staged release, the release before it (what players outside the share get)
    and the share of the players offered the staged one, in percent."""
    release: str
    previous: str
    share: int
    paused_by: str = ""      # why the watch paused it ("" when it did not)
    watched_from: str = ""   # the watch judges runs from here on ("": from the first offer)


def position(serial, build):
    """Where a player stands for one build, in [0, 100): stable for the machine and the
    build, so each release draws its own group and a wider share keeps those already in."""
    digest = hashlib.sha256(f"murmelon-rollout\n{build}\n{serial}\n".encode("ascii")).digest()
    return int.from_bytes(digest[:8], "big") * 100 / 2 ** 64


def in_share(serial, build, share):
    return position(serial, build) < share


def check_share(share):
    """A share as the commands take it: a whole percentage from 0 (paused) to 100."""
    text = str(share).strip()
    if not SHARE_TEXT.fullmatch(text) or int(text) > EVERYONE:
        raise RolloutError(f"share {share!r} is not a whole percentage from 0 to 100")
    return int(text)


def make_rollout(release, previous, share, paused_by="", watched_from=""):
    if not (RELEASE_ID.fullmatch(release) and RELEASE_ID.fullmatch(previous)):
        raise RolloutError(f"release {release!r} and previous {previous!r} must be release numbers")
    if release == previous:
        raise RolloutError(f"previous names the staged release {release} itself")
    share = check_share(share)
    if paused_by and (not REASON.fullmatch(paused_by) or share):
        raise RolloutError(f"paused_by {paused_by[:40]!r}...: one line of text, and only at share 0")
    if watched_from:
        when_text(watched_from)
    return Rollout(release, previous, share, paused_by, watched_from)


def when_text(text):
    """The time of a `watched_from`, or RolloutError."""
    try:
        when = datetime.datetime.fromisoformat(text)
    except ValueError:
        when = None
    if when is None or when.tzinfo is None:
        raise RolloutError(f"watched_from {text!r} is not a time with its zone (2026-12-09T05:00:00+00:00)")
    return when


def rollout_path(site):
    return os.path.join(site, ROLLOUT_FILE)


def read_rollout(site):
    """The site's rollout, None when there is none, or RolloutError."""
    path = rollout_path(site)
    if not os.path.lexists(path):
        return None
    try:
        _, section = files.read_ini(path, ROLLOUT_CAP, "rollout", ROLLOUT_FILE)
        return make_rollout(section["release"].strip(), section["previous"].strip(), section["share"],
                            section.get("paused_by", "").strip(), section.get("watched_from", "").strip())
    except KeyError as error:
        raise RolloutError(f"{path}: no {error} in it") from None
    except (files.Unreadable, RolloutError) as error:
        raise RolloutError(f"{path}: {error}" if path not in f"{error}" else f"{error}") from None


def write_rollout(site, release, previous, share, paused_by="", watched_from=""):
    """Written whole, then renamed: the service reads the old rollout or the new one."""
    rollout = make_rollout(release, previous, share, paused_by, watched_from)
    files.write_whole(rollout_path(site), (
        f"[rollout]\nrelease = {rollout.release}\nprevious = {rollout.previous}\nshare = {rollout.share}\n"
        + (f"paused_by = {rollout.paused_by}\n" if rollout.paused_by else "")
        + (f"watched_from = {rollout.watched_from}\n" if rollout.watched_from else "")).encode("ascii"))
    return rollout


def remove_rollout(site):
    """Every player gets the served release; True when a rollout file was there."""
    return files.remove_if_there(rollout_path(site))
