"""What a site has published, read once per command: every flavour folder of every kept
release. Each module may still run on some players' machines: a new build must be above
every published one, and every published module checks a new release with the keys built
into it (one built without keys takes any)."""

from typing import NamedTuple

from . import files
from .release import MODULE_CAP, ReleaseError, check_build, flavour_folders, module_keys, read_manifest
from .site import COMMAND, Refused


class PublishedModule(NamedTuple):
    """One module the site has published: its build, the builds it answers (suffix), the
    release that first holds it, the release keys built into it and the key that signed
    it ("" unsigned)."""
    build: int
    suffix: str
    release: str
    keys: list
    signed_by: str


def short(key):
    return key[:16] + "..."


class Published:
    """What `site` has published, for one command."""

    def __init__(self, site):
        self.site = site
        self._flavours = None
        self._modules = None

    def flavours(self):
        """(release, flavour folder, its [release] section) for every flavour folder of
        every kept release, oldest first. Refuses one whose release.ini cannot be read."""
        if self._flavours is None:
            self.site.check()
            found = []
            for release in self.site.release_ids():
                for folder in flavour_folders(self.site.release_path(release)):
                    try:
                        _, section = read_manifest(folder)
                        check_build(section.get("build", "").strip())
                    except ReleaseError as error:
                        raise Refused(f"{folder}/release.ini: {error}") from None
                    found.append((release, folder, section))
            self._flavours = found
        return self._flavours

    def highest_builds(self):
        """{build suffix: (highest build ever published, the release that holds it)}, over
        every kept release (a rolled-back build is still on some players' machines)."""
        highest = {}
        for release, _, section in self.flavours():
            suffix, build = section.get("suffix", "").strip(), int(section["build"])
            if build > highest.get(suffix, (0, ""))[0]:
                highest[suffix] = (build, release)
        return highest

    def modules(self):
        """Every module the site has published, once per build, oldest first: each may still
        run on some players' machines, and checks a new release with its own keys. Refuses a
        module that cannot be read: the keys its players carry would be unknown."""
        if self._modules is not None:
            return self._modules
        modules = {}
        for release, folder, section in self.flavours():
            build = int(section["build"])
            if build in modules:  # the same module, left as it was by a later release
                continue
            try:
                module = files.read_in_folder(folder, section.get("module", "").strip(), MODULE_CAP, "module")
            except files.Unreadable as error:
                raise Refused(f"{folder}: {error}; the keys of build {build}'s players are unknown: put the "
                              f"module back (the release's zip holds it)") from None
            signed = section.get("signature", "").strip()
            modules[build] = PublishedModule(build, section.get("suffix", "").strip(), release, module_keys(module),
                                             section.get("public_key", "").strip() if signed else "")
        self._modules = list(modules.values())
        return self._modules

    def check_build_is_new(self, what, build):
        published, release = max(((b, r) for suffix, (b, r) in self.highest_builds().items()
                                  if suffix and str(build).endswith(suffix)), default=(0, ""))
        if build > published:
            return
        current = self.site.current_id()
        if current and int(release) > int(current):
            raise Refused(f"{what}: build {build} is not above build {published} of release {release}, "
                          f"which is above the served release {current}: if an earlier publish stopped "
                          f"before switching to it, `{COMMAND} rollback {self.site.path} {release}` serves "
                          f"it; otherwise raise the build in flavours/build_numbers.h and rebuild")
        raise Refused(f"{what}: build {build} is not above the published build {published}; "
                      f"raise it in flavours/build_numbers.h and rebuild")

    def check_players_take(self, what, suffix, build, public_key):
        return check_players_take(what, suffix, build, public_key, self.modules())

    def key_report(self):
        """key_report of the modules, or why they are unknown."""
        try:
            return key_report(self.modules())
        except Refused as error:
            return f"keys of the published modules unknown: {error}\n"


def check_players_take(what, suffix, build, public_key, modules):
    """Refuses unless the players of every published module of the flavour take a
    release of `build` signed by public_key ("" unsigned). A module without the
    key is left behind only across a key change made in order: a later one carries its
    key and the new one, signed so that its players took it. Returns a note on the ones
    left behind."""
    keyed = [m for m in modules if m.suffix == suffix and m.build < build and m.keys]

    def bridge(module, key):
        return next((b for b in keyed if b.build > module.build and key in b.keys
                     and b.signed_by in module.keys), None)

    def stranded(key):
        return [m for m in keyed if key not in m.keys and not (key and bridge(m, key))]

    left = stranded(public_key)
    if left:
        carried = "; ".join(f"players on {m.build} (release {m.release}) carry only "
                            f"{' and '.join(short(k) for k in m.keys)}" for m in left)
        reaching = [k for k in sorted({k for m in keyed for k in m.keys}) if not stranded(k)]
        sign_with = (" or ".join(short(k) for k in reaching) if reaching else
                     "a key they carry, in a module that also carries the new one (README, key rotation)")
        how = f"signed by {short(public_key)}" if public_key else "unsigned"
        raise Refused(f"{what}: {how}, but {carried}: they would refuse it (SIGNATURE_ERROR) and never "
                      f"update again; sign with {sign_with}")
    return "".join(f"note: players still on {m.build} (release {m.release}) take {what} only through "
                   f"{bridge(m, public_key).build}, which carries its key: publish it once "
                   f"{bridge(m, public_key).build} is the lowest build in the field\n"
                   for m in keyed if public_key not in m.keys)


def key_report(modules):
    """Per release key, the published builds that carry it: which key still reaches every
    player (a release must be signed by one that all the builds of its flavour carry)."""
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
