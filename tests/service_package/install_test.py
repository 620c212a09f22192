"""The update service's Debian package: tools/service_package.sh builds it in place from
server/ (lintian finds nothing), and it goes through a server's course for real in a
throwaway root of this machine (throwaway_root.py), a minimal one without procps's kill:
nginx runs with its default site; installing leaves that site alone until the
maintainer's switch lets the update site take its place; the service starts as its units
start it, sandboxed well enough for systemd-analyze (3.0 at most); the installed command
publishes a release; update checks go through the installed nginx site; the unit's reload
restarts the workers; a release staged to a tenth of the players whose new build crashes
in the reports of players' checks through nginx is paused by the watch's unit, which
the package's timer starts (enabled at install, as sandboxed as the service); an upgrade
to a second version restarts the service while checks run, and none fails; remove keeps
the data; purge leaves nothing but the site with its releases."""

import concurrent.futures
import grp
import hashlib
import os
import pwd
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

import throwaway_root
from murmelon_update import release, rollout, signature
from package import build_numbers  # tools/, on PYTHONPATH as CTest sets it

PACKAGE = "murmelon-update"
SITE = "/srv/murmelon-update"
COMMAND = "/usr/bin/murmelon-release"
UNITS = "/lib/systemd/system"
AVAILABLE = "/etc/nginx/sites-available/murmelon-update"
ENABLED = "/etc/nginx/sites-enabled/murmelon-update"
DEFAULT_SITE = "/etc/nginx/sites-enabled/default"
BUILDS = build_numbers(os.path.join(ROOT, "flavours", "build_numbers.h"))
OURS = BUILDS["Murmelon_W_7_D"]
SERIAL = hashlib.md5(b"package test").hexdigest()
# What the package manager itself keeps of an install after purge.
BOOKKEEPING = ("var/lib/dpkg/", "var/cache/", "var/lib/apt/", "var/log/apt/", "var/log/dpkg.log",
               "var/log/nginx/", "tmp/")


def run(args, timeout=120, **options):
    # What is installed runs as installed: the checkout's package stays off its path.
    environment = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
    result = subprocess.run(args, capture_output=True, text=True, timeout=timeout,
                            env=dict(environment, DEBIAN_FRONTEND="noninteractive"), **options)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(args)} exited {result.returncode}:\n{result.stdout}{result.stderr}")
    return result.stdout + result.stderr


def apt(*args):
    return run(["apt-get", "-y", "-q", "--no-install-recommends", *args])


def ask(path, timeout=15):
    """The answer of the installed nginx on port 80 to one request as the plug-in sends it."""
    with socket.create_connection(("127.0.0.1", 80), timeout=timeout) as connection:
        connection.sendall(f"GET {path} HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n".encode())
        answer = b""
        while piece := connection.recv(65536):
            answer += piece
    return answer


def check(build, serial=SERIAL, report="", source=None):
    """A check as the plug-in sends it, with its run report; from `source` (a loopback
    address of its own) when told."""
    if source is None:
        return ask(f"{release.CHECK_PATH}?{release.check_query(build, serial)}{report}")
    with socket.create_connection(("127.0.0.1", 80), timeout=15, source_address=(source, 0)) as connection:
        connection.sendall(f"GET {release.CHECK_PATH}?{release.check_query(build, serial)}{report} HTTP/1.0\r\n"
                           f"Host: 127.0.0.1\r\n\r\n".encode())
        answer = b""
        while piece := connection.recv(65536):
            answer += piece
    return answer


def crash_reports(build, players, crashed, first):
    """`players` players of `build`, each from its own loopback address, report their last
    run; `crashed` of them a crash."""
    def one(n):
        report = "&e=crashed&f=c0000005:hw.dll:0001a2b3" if n < crashed else "&e=clean"
        serial = hashlib.md5(f"player {first + n}".encode()).hexdigest()
        return check(build, serial, report, f"127.0.{1 + (first + n) // 250}.{1 + (first + n) % 250}")

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        answers = list(pool.map(one, range(players)))
    assert all(a.startswith(b"HTTP/1.1 200 ") for a in answers), [a[:80] for a in answers if not a.startswith(b"HTTP/1.1 200 ")][:3]


def body(answer):
    return answer.partition(b"\r\n\r\n")[2]


class Checks(threading.Thread):
    """Update checks one after another until stopped; each one's times and what was wrong."""

    def __init__(self, expected):
        super().__init__(daemon=True)
        self.expected, self.results, self.stopping = expected, [], threading.Event()

    def run(self):
        while not self.stopping.is_set():
            started = time.monotonic()
            try:
                answer = check(OURS)
                problem = None if answer.startswith(b"HTTP/1.1 200 ") and body(answer) == self.expected \
                    else f"{len(answer)} bytes: {answer[:120]!r}"
            except OSError as error:
                problem = f"{error}"
            self.results.append((started, time.monotonic(), problem))
            time.sleep(0.02)

    def stop(self):
        self.stopping.set()
        self.join(30)


def step(text):
    print(f"-- {text}", flush=True)


def course(work, first, second):
    root = throwaway_root.Root(os.path.join(work, "overlay"))
    debs = os.path.join(work, "debs")
    deb = {version: os.path.join(debs, f"{PACKAGE}_{version}_all.deb") for version in (first, second)}

    step("a minimal system: procps's kill is not there")
    os.remove("/bin/kill")
    step("nginx as on a fresh server, with its default site")
    throwaway_root.start_forking(f"{UNITS}/nginx.service")
    assert b"Welcome to nginx" in ask("/"), ask("/")
    before = root.changes()

    step(f"install {first}: the default site stays")
    said = apt("install", deb[first])
    assert "dpkg-reconfigure murmelon-update" in said, said
    assert os.path.islink(DEFAULT_SITE) and not os.path.lexists(ENABLED)
    assert b"Welcome to nginx" in ask("/")
    assert pwd.getpwnam(PACKAGE).pw_shell == "/usr/sbin/nologin"
    site, keys = os.stat(SITE), os.stat(f"{SITE}/player-keys")
    assert (site.st_uid, site.st_mode & 0o7777, os.listdir(SITE)) == (0, 0o755, ["player-keys"]), os.listdir(SITE)
    assert (keys.st_uid, keys.st_mode & 0o7777) == (pwd.getpwnam(PACKAGE).pw_uid, 0o700), keys
    logs = os.stat("/var/log/murmelon-update")
    assert (logs.st_uid, logs.st_gid) == (0, grp.getgrnam("adm").gr_gid)

    step("the switch while nginx's check fails: nginx keeps its sites")
    run(["debconf-set-selections"], input=f"{PACKAGE} {PACKAGE}/replace-default-site boolean true\n")
    broken = "/etc/nginx/conf.d/broken.conf"
    with open(broken, "w") as file:
        file.write("not nginx\n")
    refused = subprocess.run(["dpkg-reconfigure", "-f", "noninteractive", PACKAGE], capture_output=True,
                             text=True, timeout=60)
    assert refused.returncode != 0 and "nginx was not reloaded" in refused.stderr, refused
    assert os.path.islink(DEFAULT_SITE) and not os.path.lexists(ENABLED)
    assert b"Welcome to nginx" in ask("/")
    os.remove(broken)

    step("the switch: the update site takes the default site's place")
    run(["dpkg-reconfigure", "-f", "noninteractive", PACKAGE])
    assert not os.path.lexists(DEFAULT_SITE) and os.path.realpath(ENABLED) == AVAILABLE
    # nginx was reloaded: the update site answers, once nginx's new workers run.
    throwaway_root.wait_for(lambda: ask("/").startswith(b"HTTP/1.1 404 "), "the update site in nginx", 10)

    step("the service, started as its units start it, and sandboxed")
    rating = run(["systemd-analyze", "security", "--offline=true", f"{UNITS}/{PACKAGE}.service"])
    exposure = float(re.search(r"Overall exposure level for \S+: ([0-9.]+)", rating).group(1))
    assert exposure <= 3.0, rating
    service = throwaway_root.SocketActivated(f"{UNITS}/{PACKAGE}.service", f"{UNITS}/{PACKAGE}.socket",
                                             "/run/murmelon-update-service.log")
    service.start()

    step("the first publish, with the installed command")
    said = run([COMMAND, "publish", os.path.join(work, "release"), SITE])
    assert "now served from" in said, said + throwaway_root.tail(service.log)

    step("update checks through the installed nginx site")
    w7 = next(r for r in release.load_flavours(f"{SITE}/current") if r.name == "w7")
    expected = w7.answer_head + w7.module
    assert body(check(OURS)) == expected
    assert body(check(w7.build)) == b"LATEST_VERSION"
    with open("/var/log/murmelon-update/access.log") as log:
        assert f"{w7.build}" in log.read()  # the installed site logs its exchanges

    step("the unit's reload: new workers, the same master")
    workers = service.workers()
    service.reload()
    throwaway_root.wait_for(lambda: len(service.workers()) == len(workers) and not set(service.workers()) & set(workers),
                            "the workers started again", 20)
    assert body(check(OURS)) == expected

    step("the watch: its timer enabled at install, its unit as sandboxed as the service's")
    timer = "/etc/systemd/system/timers.target.wants/murmelon-update-watch.timer"
    assert os.path.islink(timer) and os.path.samefile(timer, f"{UNITS}/murmelon-update-watch.timer"), timer
    watch_unit = f"{UNITS}/murmelon-update-watch.service"
    rating = run(["systemd-analyze", "security", "--offline=true", watch_unit])
    assert float(re.search(r"Overall exposure level for \S+: ([0-9.]+)", rating).group(1)) <= 3.0, rating
    code, said = throwaway_root.run_oneshot(watch_unit)
    assert code == 0 and "runs no rollout: nothing to watch" in said, said

    step("a staged release whose build crashes in the players' reports: the watch pauses it")
    said = run([COMMAND, "publish", "--share", "10", os.path.join(work, "staged"), SITE])
    assert "now served from" in said and "to 10% of players" in said, said + throwaway_root.tail(service.log)
    new, old = w7.build + 10, w7.build
    crash_reports(old, 800, 16, 0)
    crash_reports(new, 200, 20, 800)
    code, said = throwaway_root.run_oneshot(watch_unit)
    assert code == 0 and "PAUSED release 0002 (share 10% -> 0%): w7: new build crashes" in said, said
    said = run([COMMAND, "status", SITE, "--days", "1"])
    assert "build %d: paused by the watch: w7: new build crashes" % new in said, said
    assert max(map(len, said.split("\n"))) <= 100, said
    # The service follows: a player of the old build inside the share is kept on it now.
    inside = next(s for s in (hashlib.md5(f"inside {n}".encode()).hexdigest() for n in range(1000))
                  if rollout.in_share(s, new, 10))
    assert body(check(old, inside)) == b"LATEST_VERSION"
    assert body(check(OURS)) == expected

    step(f"upgrade to {second} while checks run")
    checks = Checks(expected)
    checks.start()
    time.sleep(0.5)
    apt("install", deb[second])
    # What systemd does for the upgraded package's postinst: restart the service; its
    # socket stays open.
    service.stop()
    stopped = time.monotonic()
    service.start()
    restarted = time.monotonic()
    time.sleep(0.5)
    checks.stop()
    failed = [problem for _, _, problem in checks.results if problem]
    assert not failed, f"{len(failed)} of {len(checks.results)} checks failed: {failed[:3]}"
    # The check under way while no gunicorn ran waited in the socket's queue: the new one
    # answers only after it said READY.
    waited = [ended - started for started, ended, _ in checks.results if started < restarted < ended]
    assert waited, f"no check was under way while the service was down ({len(checks.results)} checks)"
    print(f"{len(checks.results)} checks; the service was down {restarted - stopped:.2f} s, "
          f"the check under way then took {waited[0]:.2f} s")
    assert run(["dpkg-query", "-W", "-f", "${Version}", PACKAGE]) == second
    assert body(check(OURS)) == expected

    step("remove: stopped, the data kept")
    apt("remove", PACKAGE)
    service.stop()  # the units' stop at removal under systemd
    service.close()
    assert not os.path.lexists(ENABLED) and os.path.isfile(AVAILABLE)
    assert not os.path.lexists("/usr/share/murmelon-update")
    assert pwd.getpwnam(PACKAGE) and os.path.islink(f"{SITE}/current")
    assert os.path.getsize("/var/log/murmelon-update/access.log") > 0
    try:
        assert not check(OURS).startswith(b"HTTP/1.1 200 ")
    except ConnectionRefusedError:
        pass

    step("purge: only the site with its releases is left")
    apt("purge", PACKAGE)
    for lookup in (pwd.getpwnam, grp.getgrnam):
        try:
            lookup(PACKAGE)
            raise AssertionError(f"{lookup.__name__}({PACKAGE}) still answers after purge")
        except KeyError:
            pass
    left = {path: how for path, how in root.changes().items()
            if before.get(path) != how and not path.startswith(BOOKKEEPING)}
    site_left = {path for path in left if path == SITE[1:] or path.startswith(SITE[1:] + "/")}
    assert SITE[1:] in site_left and os.path.islink(f"{SITE}/current"), left
    # nginx's default site stays disabled, as the README says.
    assert {p: h for p, h in left.items() if p not in site_left} == {DEFAULT_SITE[1:]: "removed"}, left


def build_packages(work):
    """The package as the README builds it (lintian included), and a second version."""
    first = run(["dpkg-parsechangelog", "-l", os.path.join(ROOT, "server", "debian", "changelog"),
                 "-S", "Version"]).strip()
    second = first + "+upgrade1"
    script = os.path.join(ROOT, "tools", "service_package.sh")
    out = os.path.join(work, "debs")
    run(["bash", script, "--out", out], timeout=300)
    run(["bash", script, "--out", out, "--version", second, "--no-lintian"], timeout=300)
    return first, second


def make_release(work):
    """release/server as tools/package.sh makes it: both flavours, signed; and staged/server,
    the Windows 7 flavour of the next release."""
    key = os.path.join(work, "release.pem")
    run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", key])
    public = signature.public_key_hex(key)
    for name, step, flavours in (("release", 10, release.FLAVOURS), ("staged", 20, {"1": release.FLAVOURS["1"]})):
        for folder, deliverable in flavours.values():
            build = BUILDS[deliverable] + step
            module = b"MZ\x90\x00" + deliverable.encode() + bytes(range(256)) * 400 + name.encode()
            signed = signature.sign(key, release.signed_message(deliverable, build, module))
            release.write_release(os.path.join(work, name, "server", folder), build, module, name,
                                  "Новое.\n", signature=signed, public_key=public)


class InstalledPackage(unittest.TestCase):
    def test_a_server_course_from_install_to_purge(self):
        problem = throwaway_root.namespace_problem()
        if problem:
            self.skipTest(problem)
        with tempfile.TemporaryDirectory(prefix="murmelon-package-test.") as work:
            first, second = build_packages(work)
            make_release(work)
            os.mkdir(os.path.join(work, "overlay"))
            result = subprocess.run(throwaway_root.UNSHARE + [sys.executable, __file__, work, first, second],
                                    capture_output=True, text=True, timeout=240)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


if __name__ == "__main__":
    course(*sys.argv[1:4])
