"""Which published modules take a release signed by a key: every module a site has
published may still run somewhere, and checks a new release with the keys built into it
(one built without keys takes any)."""

from .site import Refused


def short(key):
    return key[:16] + "..."


def check_players_take(what, suffix, build, public_key, modules):
    """Refuses unless the players of every published module of the flavour
    take a release of `build` signed by public_key ("" unsigned). A module without the
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
