"""Asks the running update service whether it took a site's switch: for each release, a
check as a player of exactly that build sends it, which the service answers
LATEST_VERSION only when it serves that release. Each request also makes the worker that
gets it follow the switched link. Several requests, since each may reach another worker."""

import hashlib
import http.client

import update_app  # (service/, on the path of release_tool.py)

SERIAL = hashlib.md5(b"release check").hexdigest()
DEFAULT = "127.0.0.1:8700"   # gunicorn, as deploy/gunicorn.conf.py binds it
TRIES = 6


def ask(address, build, timeout, serial=SERIAL, size=64):
    """(status, the first `size` bytes of the body, the internal redirect if it is one)."""
    host, _, port = address.rpartition(":")
    connection = http.client.HTTPConnection(host, int(port), timeout=timeout)
    try:
        connection.request("GET", f"{update_app.CHECK_PATH}?{update_app.check_query(build, serial)}")
        answer = connection.getresponse()
        return answer.status, answer.read(size), answer.getheader("X-Accel-Redirect", "")
    finally:
        connection.close()


def not_taken(address, releases, timeout=5):
    """None when the service at address serves every release; else what it answered.
    Raises OSError when nothing answers there."""
    for release in releases:
        for _ in range(TRIES):
            status, body, _ = ask(address, release.build, timeout)
            if status != 200 or body != b"LATEST_VERSION":
                said = body[:20].decode("ascii", "replace") if status == 200 else f"status {status}"
                return f"to build {release.build} of {release.name} it answered {said!r}"
    return None
