"""Asks the running update service whether it answers as the site now says.

After a switch: for each flavour release, a check as a player of exactly that build
sends it, which the service answers LATEST_VERSION only when it serves that release.
While a rollout runs: a player inside the share must be offered the staged build, one
outside it must hear LATEST_VERSION on the build before. Each request also makes the
worker that gets it follow the switched link; several are sent, since each may reach
another worker.
"""

import hashlib
import http.client
from typing import NamedTuple

from .release import ANSWER_FILE, CHECK_PATH, check_query
from .rollout import EVERYONE, in_share

SERIAL = hashlib.md5(b"release check").hexdigest()
DEFAULT = "127.0.0.1:8700"   # gunicorn, as conf/gunicorn.conf.py binds it
TRIES = 6
PROBE_SERIALS = 100000


class Answer(NamedTuple):
    status: int
    body: bytes            # its first bytes
    redirect: str          # the internal redirect, if the answer is one ("" otherwise)


def ask(address, build, timeout, serial=SERIAL, size=64):
    host, _, port = address.rpartition(":")
    connection = http.client.HTTPConnection(host, int(port), timeout=timeout)
    try:
        connection.request("GET", f"{CHECK_PATH}?{check_query(build, serial)}")
        answer = connection.getresponse()
        return Answer(answer.status, answer.read(size), answer.getheader("X-Accel-Redirect", ""))
    finally:
        connection.close()


def said(answer):
    return f"status {answer.status}" if answer.status != 200 else answer.redirect or \
        answer.body[:20].decode("ascii", "replace")


def switch_not_taken(address, releases, timeout=5):
    """None when the service at address serves every flavour release; else what it
    answered. Raises OSError when nothing answers there."""
    for release in releases:
        for _ in range(TRIES):
            answer = ask(address, release.build, timeout)
            if answer.status != 200 or answer.body != b"LATEST_VERSION":
                return f"to build {release.build} of {release.name} it answered {said(answer)!r}"
    return None


def probe_serial(build, inside, share):
    """A serial digest whose player stands inside (or outside) the share for build."""
    for i in range(PROBE_SERIALS):
        serial = hashlib.md5(f"release check {i}".encode()).hexdigest()
        if in_share(serial, build, share) == inside:
            return serial
    raise LookupError(f"no probe player found {'inside' if inside else 'outside'} a {share}% share")


def offers(release_id, release, answer):
    """Whether an answer is the update to `release` (from memory, or by nginx from its file)."""
    return answer.status == 200 and (answer.redirect.endswith(f"/releases/{release_id}/{release.name}/{ANSWER_FILE}")
                                     or (not answer.redirect and answer.body == release.answer_head))


def rollout_not_answered(address, rollout, staged, timeout=5):
    """None when the service answers by the rollout; else what it said. `staged`: per
    flavour its staged release and the release before (site.StagedFlavour)."""
    for name, one in sorted(staged.items()):
        # A player below the staged build: on the build before, or one of the flavour's below it.
        build = one.before.build if one.before else one.new.build - 10
        for inside in (True, False):
            if (rollout.share == 0 and inside) or (rollout.share == EVERYONE and not inside):
                continue
            serial = probe_serial(one.new.build, inside, rollout.share)
            for _ in range(TRIES):
                answer = ask(address, build, timeout, serial, len(one.new.answer_head))
                if inside and not offers(rollout.release, one.new, answer):
                    return (f"a player of build {build} inside the {rollout.share}% share of {name} was "
                            f"not offered build {one.new.build}")
                if not inside and (answer.status, answer.body) != (200, b"LATEST_VERSION"):
                    return (f"a player of build {build} outside the {rollout.share}% share of {name} got "
                            f"{said(answer)!r}, not LATEST_VERSION")
    return None
