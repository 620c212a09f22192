"""A site folder of the update service, as the release commands change it:

    <site>/releases/0001/{w7,xp}/   ...   <site>/releases/0002/{w7,xp}/
    <site>/current -> releases/0002        (the update service serves <site>/current)
    <site>/.lock                           (held by the command that changes the site)
    <site>/rollout.ini                     (a release staged to a share of the players)
    <site>/player-keys/                    (the service's secrets for the players in its log)

Everything here checks before it writes, and refuses with a message that names the fix.
"""

import collections
import contextlib
import errno
import fcntl
import os
import re
import shutil

import update_app  # (service/, on the path of release_tool.py)

RELEASE_ID = re.compile(r"[0-9]{4,}")
LOCK_FILE = ".lock"
KEYS_FOLDER = "player-keys"   # the service's secrets for the log (deploy/gunicorn.conf.py)


class Refused(Exception):
    pass


@contextlib.contextmanager
def locked(site):
    """Holds the site's lock for one command that changes it; refuses at once when
    another command holds it."""
    fd = os.open(os.path.join(site, LOCK_FILE), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            if error.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise
            raise Refused(f"{site} is being changed by another publish or rollback (it holds "
                          f"{os.path.join(site, LOCK_FILE)}); run this again when that one has finished") from None
        yield
    finally:
        os.close(fd)


def check(site):
    """Refuses a path that is not a site: missing, a folder with other things in it, or a
    site whose `current` is not this tool's link."""
    if not os.path.isdir(site):
        raise Refused(f"{site}: no such site folder (check the path; for a first release, "
                      f"make an empty folder)")
    entries = set(os.listdir(site)) - {LOCK_FILE, KEYS_FOLDER}
    if "releases" not in entries and entries:
        raise Refused(f"{site} is not a site folder: no releases/ in it, and not empty "
                      f"(check the path; the site is the folder that holds releases/ and current)")
    link = os.path.join(site, "current")
    if os.path.lexists(link) and not os.path.islink(link):
        raise Refused(f"{link} is a folder or file, not the link to releases/NNNN that publish makes: move it "
                      f"out of the site (a release goes into releases/ under the next free number), then "
                      f"publish again")


def check_current(site):
    """Refuses a `current` link that leads anywhere but to a release folder of the site."""
    link = os.path.join(site, "current")
    if os.path.islink(link) and current_id(site) is None:
        raise Refused(f"{link} leads to {os.readlink(link)}, not to a release folder of this site: "
                      f"switch it to one first (tools/publish.sh --rollback {site} NNNN)")


def release_ids(site):
    """The site's releases: folders named by a number directly in releases/, oldest first.
    A link there is not one, wherever it leads."""
    folder = os.path.join(site, "releases")
    if not os.path.isdir(folder):
        return []
    return sorted((e for e in os.listdir(folder) if RELEASE_ID.fullmatch(e)
                   and not os.path.islink(os.path.join(folder, e))
                   and os.path.isdir(os.path.join(folder, e))), key=int)


def strangers(site):
    """Entries of releases/ named like a release that are not release folders of the site."""
    folder = os.path.join(site, "releases")
    if not os.path.isdir(folder):
        return []
    releases = set(release_ids(site))
    return sorted(e for e in os.listdir(folder) if RELEASE_ID.fullmatch(e) and e not in releases)


def check_release_id(site, release):
    if release in release_ids(site):
        return
    path = os.path.join(site, "releases", release)
    if os.path.lexists(path):
        raise Refused(f"{path} is not a release folder of this site ("
                      + (f"a link to {os.readlink(path)}" if os.path.islink(path) else "not a folder")
                      + "): remove it from releases/")
    raise Refused(f"{site}: no release {release} (releases: {' '.join(release_ids(site)) or 'none'})")


def current_id(site):
    link = os.path.join(site, "current")
    if not os.path.islink(link):
        return None
    target = os.readlink(link)
    release = target[len("releases/"):] if target.startswith("releases/") else ""
    return release if release in release_ids(site) else None


def release_folder(site, release):
    return os.path.join(site, "releases", release)


# One module the site has published: its build, the builds it answers (suffix), the
# release that first holds it, the release keys built into it and the key that signed it
# ("" unsigned).
Module = collections.namedtuple("Module", "build suffix release keys signed_by")


def published_flavours(site):
    """(release, flavour folder, its [release] section) for every flavour folder of every
    kept release, oldest first. Refuses one whose release.ini cannot be read."""
    check(site)
    found = []
    for release in release_ids(site):
        folder = release_folder(site, release)
        for entry in sorted(os.listdir(folder)):
            if os.path.lexists(os.path.join(folder, entry, "release.ini")):
                try:
                    section = update_app.read_manifest(os.path.join(folder, entry))
                except update_app.ReleaseError as error:
                    raise Refused(f"{folder}/{entry}/release.ini: {error}") from None
                if not section.get("build", "").strip().isdigit():
                    raise Refused(f"{folder}/{entry}/release.ini: no build number")
                found.append((release, os.path.join(folder, entry), section))
    return found


def published_builds(site):
    """{build suffix: (highest build ever published, the release that holds it)}, over
    every kept release (a rolled-back build is still on some players' machines)."""
    highest = {}
    for release, _, section in published_flavours(site):
        suffix, build = section.get("suffix", "").strip(), int(section["build"])
        if build > highest.get(suffix, (0, ""))[0]:
            highest[suffix] = (build, release)
    return highest


def published_modules(site):
    """Every module the site has published, once per build, oldest first: each may still
    run on some players' machines, and checks a new release with its own keys. Refuses a
    module that cannot be read: the keys its players carry would be unknown."""
    modules = {}
    for release, folder, section in published_flavours(site):
        build = int(section["build"])
        if build in modules:  # the same module, left as it was by a later release
            continue
        try:
            module = update_app.read_in_folder(folder, section.get("module", "").strip(), "module",
                                               update_app.MODULE_CAP)
        except update_app.ReleaseError as error:
            raise Refused(f"{folder}: {error}; the keys of build {build}'s players are unknown: put the "
                          f"module back (the release's zip holds it)") from None
        modules[build] = Module(build, section.get("suffix", "").strip(), release, update_app.module_keys(module),
                                section.get("public_key", "").strip() if section.get("signature", "").strip() else "")
    return list(modules.values())


def key_report(site):
    """Per release key, the published builds that carry it: which key still reaches every
    player (a release must be signed by one that all the builds of its flavour carry)."""
    try:
        modules = published_modules(site)
    except Refused as error:
        return f"keys of the published modules unknown: {error}\n"
    lines = ["keys of the published modules (a release reaches the builds that carry its key):\n"]
    for key in sorted({k for m in modules for k in m.keys}):
        carrying = [m.build for m in modules if key in m.keys]
        missing = [m.build for m in modules if m.keys and key not in m.keys]
        lines.append(f"  {key}: {' '.join(map(str, carrying))}"
                     + (f" (not {' '.join(map(str, missing))})\n" if missing else " (every published build with keys)\n"))
    unkeyed = [m.build for m in modules if not m.keys]
    if unkeyed:
        lines.append(f"  no key, any release reaches them: {' '.join(map(str, unkeyed))}\n")
    return "".join(lines)


def check_build_is_new(site, what, build, highest):
    published, release = max(((b, r) for suffix, (b, r) in highest.items()
                              if suffix and str(build).endswith(suffix)), default=(0, ""))
    if build > published:
        return
    current = current_id(site)
    if current and int(release) > int(current):
        raise Refused(f"{what}: build {build} is not above build {published} of release {release}, "
                      f"which is above the served release {current}: if an earlier publish stopped "
                      f"before switching to it, `tools/publish.sh --rollback {site} {release}` serves "
                      f"it; otherwise raise the build in flavours/build_numbers.h and rebuild")
    raise Refused(f"{what}: build {build} is not above the published build {published}; "
                  f"raise it in flavours/build_numbers.h and rebuild")


def remove_leftovers(site):
    """Folders of publishes that stopped while copying (under the lock, nobody else's)."""
    folder = os.path.join(site, "releases")
    for entry in os.listdir(folder):
        if entry.startswith(".") and RELEASE_ID.fullmatch(entry[1:].split(".")[0]):
            shutil.rmtree(os.path.join(folder, entry), ignore_errors=True)


def switch(site, release):
    """Points <site>/current at releases/<release> with one rename."""
    link = os.path.join(site, "current")
    temporary = os.path.join(site, ".current.new")
    if os.path.lexists(temporary):
        os.remove(temporary)
    os.symlink(os.path.join("releases", release), temporary)
    os.replace(temporary, link)
