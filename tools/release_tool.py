#!/usr/bin/env python3
"""Release steps behind tools/package.sh and tools/publish.sh.

package    signs each flavour's module and lays out the zips and the server folders
publish    adds a packaged release to a site folder and switches the site to it
rollback   switches a site back to an earlier release (and ends a rollout)
share      widens, narrows or pauses (0) the rollout of the served release
status     who runs what, per flavour and day, from the service's access logs
list       shows a site's releases, and per release key the published builds that carry it
public-key prints the public half of a signing key (64 hex digits)

A site folder (release_site.py) keeps every published release and a link to the one that
is served. The link is replaced with one rename, so a service reading it sees the old
release or the new one, never a mix; the service notices the switch at its next request,
and publish and rollback then ask it whether it took the switch (service_check.py).
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "service"))
import release_folder  # noqa: E402  (the service's own writer and loader of release folders)
import update_app  # noqa: E402
from update_app import ReleaseError  # noqa: E402
import release_site as site_folder  # noqa: E402  (beside this script)
import release_status  # noqa: E402
import service_check  # noqa: E402
import site_rollout  # noqa: E402
from release_site import Refused  # noqa: E402

DOCS = ("players.en.md", "players.ru.md")
# Archives hold this date for every entry, so the same inputs give the same bytes.
ZIP_DATE = (2013, 8, 19, 0, 0, 0)


def run_openssl(*args, data=None):
    try:
        result = subprocess.run(["openssl", *args], input=data, capture_output=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise Refused(f"cannot run openssl: {error}") from None
    if result.returncode != 0:
        raise Refused(f"openssl {args[0]}: {result.stderr.decode(errors='replace').strip()}")
    return result.stdout


def public_key_hex(key_path):
    if not key_path or not os.path.isfile(key_path):
        raise Refused("a signing key is needed: --key FILE (make one with "
                      "`openssl genpkey -algorithm ed25519 -out key.pem`; keep it out of the repository)")
    der = run_openssl("pkey", "-in", key_path, "-pubout", "-outform", "DER")
    if len(der) != 44 or not der.startswith(update_app.ED25519_PUBLIC_DER_PREFIX):
        raise Refused(f"{key_path} is not an Ed25519 private key")
    return der[-32:].hex()


def sign(key_path, message):
    with tempfile.NamedTemporaryFile(prefix="murmelon-message.") as file:
        file.write(message)
        file.flush()
        signature = run_openssl("pkeyutl", "-sign", "-rawin", "-inkey", key_path, "-in", file.name)
    if len(signature) != 64:
        raise Refused(f"openssl gave a {len(signature)}-byte signature, not an Ed25519 one")
    return signature.hex()


def module_build(module, path):
    # The flavour's identity text, as GetBuildStr answers it.
    found = re.search(rb"Murmelon_Build_Num (\d+)\x00", module)
    if not found:
        raise Refused(f"{path}: no build number text in the module")
    try:
        return update_app.check_build(found.group(1).decode("ascii"))
    except ReleaseError as error:
        raise Refused(f"{path}: {error}; set a shorter one in flavours/build_numbers.h and rebuild") from None


def build_numbers(path):
    """flavours/build_numbers.h: deliverable -> build number."""
    with open(path, encoding="utf-8") as file:
        return {name: int(number) for name, number in
                re.findall(r"^#define MURMELON_BUILD_(\w+) ([0-9]+)\s*$", file.read(), re.M)}


def read_notes(path):
    """version: <label> on one line, then news: and the news text up to the end."""
    label, news = None, None
    with open(path, encoding="utf-8") as file:
        lines = file.read().split("\n")
    for i, line in enumerate(lines):
        if line.startswith("#") and news is None:
            continue
        if line.startswith("version:") and label is None:
            label = line[len("version:"):].strip()
        elif line.strip() == "news:":
            news = "\n".join(lines[i + 1:]).strip("\n") + "\n"
            break
    if not label or news is None:
        raise Refused(f"{path}: needs a 'version:' line and a 'news:' line followed by the news text")
    return label, news


def short(key):
    return key[:16] + "..."


def check_players_take(what, suffix, build, public_key, modules):
    """Every published module of the flavour checks a release with its own keys (one built
    without keys takes any). A module without the signing key is left behind only across a
    key change made in order: a later one carries its key and the new one, signed so that
    its players took it. Refuses otherwise: those players would refuse this release, and
    every later one signed so, at every start. Returns a note on the ones left behind."""
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


def served_text(site, release, releases, how, note=""):
    return (f"{how} {os.path.join(site, 'current')} (release {release}){note}:\n"
            + "".join(f"  {r.describe()}\n" for r in releases) + site_rollout.describe(site))


# --- commands -------------------------------------------------------------------------

def package(args):
    public_hex = public_key_hex(args.key)
    highest = site_folder.published_builds(args.published)
    modules = site_folder.published_modules(args.published)
    notes = []
    expected = build_numbers(args.build_numbers) if args.build_numbers else {}
    if args.notes_version and args.news_file:
        label, news = args.notes_version, None
    else:
        label, news = read_notes(args.notes)
    label = args.notes_version or label
    if args.news_file:
        with open(args.news_file, encoding="utf-8") as file:
            news = file.read()
    if "\n" in label or not label.strip():
        raise Refused("the version label must be one non-empty line")

    os.makedirs(args.out, exist_ok=True)
    # The server folders are made aside and loaded with the service's own loader (which
    # checks each signature again) before they replace the old ones.
    staging = tempfile.mkdtemp(prefix=".server.", dir=args.out)
    os.chmod(staging, 0o755)
    try:
        made = []
        for suffix, (folder, flavour) in update_app.FLAVOURS.items():
            asi_path = os.path.join(args.asi_dir, flavour + ".asi")
            if not os.path.isfile(asi_path):
                raise Refused(f"{asi_path} is missing")
            module = update_app.read_regular(asi_path, update_app.MODULE_CAP, "module",
                                             " (the largest download a player takes)")
            build = module_build(module, asi_path)
            if not str(build).endswith(suffix):
                raise Refused(f"{asi_path}: build {build} does not end in {suffix}, the flavour's digit")
            if flavour in expected and expected[flavour] != build:
                raise Refused(f"{asi_path}: built as {build}, but {args.build_numbers} says "
                              f"{expected[flavour]}; rebuild")
            site_folder.check_build_is_new(args.published, asi_path, build, highest)
            notes.append(check_players_take(asi_path, suffix, build, public_hex, modules))
            if public_hex not in update_app.module_keys(module):
                raise Refused(f"{asi_path}: the module's built-in keys do not include the signing "
                              f"key's public half {public_hex}: configure the build with "
                              f"-DMURMELON_UPDATE_PUBLIC_KEYS={public_hex}")
            message = update_app.signed_message(flavour, build, module)
            signature = sign(args.key, message)
            if not update_app.verify_signature(public_hex, message, signature):
                raise Refused(f"{asi_path}: the signature just made does not verify")

            release_folder.write_release(os.path.join(staging, folder), build, module, label, news,
                                         public_key=public_hex, signature=signature)
            sha256, md5 = hashlib.sha256(module).hexdigest(), hashlib.md5(module).hexdigest()
            made.append((flavour, build, module, f"SHA256 ({flavour}.asi) = {sha256}\nMD5 ({flavour}.asi) = {md5}\n"))
        try:
            update_app.load_releases(staging)
        except ReleaseError as error:
            raise Refused(f"the update server would refuse this release: {error}") from None

        archives = []
        for flavour, build, module, checksums in made:
            archive_path = os.path.join(args.out, f"{flavour}-{build}.zip")
            with zipfile.ZipFile(archive_path + ".tmp", "w") as archive:
                add_to_zip(archive, flavour + ".asi", module)
                for doc in DOCS:
                    with open(os.path.join(ROOT, "docs", doc), "rb") as file:
                        add_to_zip(archive, doc, file.read())
                add_to_zip(archive, "CHECKSUMS.txt", checksums)
            os.replace(archive_path + ".tmp", archive_path)
            archives.append(archive_path)
        server = os.path.join(args.out, "server")
        shutil.rmtree(server, ignore_errors=True)
        os.replace(staging, server)
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    print("".join(notes), end="")
    for path in archives:
        print(f"archive  {path}")
    print(f"server   {server}  (version {label!r}, signed by {public_hex}; "
          f"publish with tools/publish.sh {args.out} <site folder>)")


def add_to_zip(archive, name, data):
    info = zipfile.ZipInfo(name, ZIP_DATE)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.external_attr = 0o644 << 16
    archive.writestr(info, data)


def publish(args):
    source = os.path.join(args.release, "server")
    if not os.path.isdir(source):
        raise Refused(f"no {source}; run tools/package.sh first")
    site = args.site
    site_folder.check(site)
    try:
        new = update_app.load_releases(source)  # every signature verified before anything is written
    except ReleaseError as error:
        raise Refused(f"the update server would refuse this release: {error}") from None
    site_rollout.check_publish(site, args.share, site_folder.current_id(site))  # and again under the lock
    with site_folder.locked(site):
        site_folder.check(site)
        site_folder.check_current(site)
        os.makedirs(os.path.join(site, "releases"), exist_ok=True)
        site_folder.remove_leftovers(site)
        current = site_folder.current_id(site)
        site_rollout.check_publish(site, args.share, current)
        served = served_releases(site, current)
        again = same_release(site, current, new)
        if current and again == current:
            print(f"release {current} already holds this release and is current (published before; "
                  f"nothing to do but ask the service)")
            return report_switch(args, site, current)
        if again:
            # A publish that stopped between its folder's rename and the switch, or a
            # release rolled back from: the same bytes, served again.
            print(f"release {again} already holds this release (a publish stopped before switching "
                  f"to it, or the site was rolled back from it): switching to it")
            release_id = again
        else:
            print(check_new(site, new), end="")
            release_id = add_release(site, new, served)
        plan = site_rollout.stage(site, release_id, current, args.share)
        site_folder.switch(site, release_id)
        site_rollout.after_switch(site, plan)
        print(f"published release {release_id}" + (f" (was {current}; back with "
              f"tools/publish.sh --rollback {site})" if current else ""))
        return report_switch(args, site, release_id)


def served_releases(site, current):
    if not current:
        return []
    try:
        return update_app.load_releases(site_folder.release_folder(site, current))
    except ReleaseError as error:
        raise Refused(f"the served release {current} cannot be loaded ({error}): the flavours this release "
                      f"leaves as they are cannot be carried over; roll back to a release that loads, "
                      f"then publish") from None


def same_release(site, current, new):
    """The release that holds exactly these releases: the current one (a publish that ran
    to its end, run again), or the newest one above it (a publish that stopped before its
    switch, or a release rolled back from)."""
    ids = site_folder.release_ids(site)
    candidates = [current] if current else []
    if ids and (not current or int(ids[-1]) > int(current)):
        candidates.append(ids[-1])
    for release in candidates:
        try:
            there = {r.name: r for r in update_app.load_releases(site_folder.release_folder(site, release))}
        except ReleaseError:
            continue
        if all(r.name in there and (there[r.name].answer_head, there[r.name].digest) == (r.answer_head, r.digest)
               for r in new):
            return release
    return None


def check_new(site, new):
    """Refuses what players in the field could not take; returns notes for the maintainer."""
    highest = site_folder.published_builds(site)
    modules = site_folder.published_modules(site)
    notes = ""
    for release in new:
        site_folder.check_build_is_new(site, release.folder, release.build, highest)
        notes += check_players_take(release.folder, release.suffix, release.build,
                                    release.public_key if release.signature else "", modules)
    return notes


def add_release(site, new, served):
    """releases/NNNN with the new flavours and the served ones this release leaves as
    they are, each with its answer file, checked by the service's loader, then renamed
    into place. Returns NNNN."""
    taken = [int(i) for i in site_folder.release_ids(site) + site_folder.strangers(site)]
    release_id = f"{max(taken, default=0) + 1:04d}"
    trial = tempfile.mkdtemp(prefix=f".{release_id}.", dir=os.path.join(site, "releases"))
    try:
        names = {r.name for r in new}
        for release in [r for r in served if r.name not in names] + new:
            shutil.copytree(release.folder, os.path.join(trial, release.name))
            release_folder.write_answer(os.path.join(trial, release.name))
        try:
            update_app.load_releases(trial)
        except ReleaseError as error:
            raise Refused(f"the update server would refuse the result: {error}") from None
        # nginx (another user) sends the answer files from here, whatever the umask was.
        for folder, _, files in os.walk(trial):
            os.chmod(folder, 0o755)
            for name in files:
                os.chmod(os.path.join(folder, name), 0o644)
        os.rename(trial, site_folder.release_folder(site, release_id))
    finally:
        shutil.rmtree(trial, ignore_errors=True)
    return release_id


def report_switch(args, site, release_id):
    """Says what is served now, as far as the running service confirms it; 1 when it did
    not take the switch."""
    releases = update_app.load_releases(os.path.join(site, "current"))
    if args.service == "none":
        print(served_text(site, release_id, releases, "now current in", "; the service was not asked"), end="")
        return 0
    try:
        problem = service_check.not_taken(args.service, releases) or site_rollout.not_taken(args.service, site)
    except OSError as error:
        print(served_text(site, release_id, releases, "now current in",
                          f"; no service answers at {args.service} ({error.strerror or error}), it serves "
                          f"this release when it starts"), end="")
        return 0
    if problem:
        print(served_text(site, release_id, releases, "now current in", ", NOT served"), end="")
        sys.stderr.write(f"{args.command}: the service at {args.service} did not take release {release_id}: "
                         f"{problem}. Its log says why (journalctl -u murmelon-update); it tries again "
                         f"every {update_app.RETRY_SECONDS} s and at `systemctl reload murmelon-update`\n")
        return 1
    print(served_text(site, release_id, releases, "now served from"), end="")
    return 0


def rollback(args):
    site = args.site
    site_folder.check(site)
    with site_folder.locked(site):
        site_folder.check(site)
        ids, current = site_folder.release_ids(site), site_folder.current_id(site)
        if args.to:
            target = args.to
            site_folder.check_release_id(site, target)
        else:
            earlier = [i for i in ids if current and int(i) < int(current)]
            if not earlier:
                raise Refused(f"{site}: no release before {current or 'the current one'}")
            target = earlier[-1]
        try:
            update_app.load_releases(site_folder.release_folder(site, target))
        except ReleaseError as error:
            raise Refused(f"release {target} would be refused: {error}") from None
        site_folder.switch(site, target)
        print(f"switched {site} from release {current} to {target}" + site_rollout.end(site))
        return report_switch(args, site, target)


def share(args):
    site = args.site
    site_folder.check(site)
    with site_folder.locked(site):
        site_folder.check(site)
        before, plan = site_rollout.change_share(site, args.share)
        print(f"release {plan.release}: from {before.share}% of players to {plan.share}%")
        return report_switch(args, site, plan.release)


def list_site(args):
    site_folder.check(args.site)
    current = site_folder.current_id(args.site)
    ids = site_folder.release_ids(args.site)
    for release in ids:
        try:
            texts = [r.describe() for r in update_app.load_releases(site_folder.release_folder(args.site, release))]
        except ReleaseError as error:
            texts = [f"cannot be loaded: {error}"]
        print(("* " if release == current else "  ") + release + ": " + "; ".join(texts))
    for entry in site_folder.strangers(args.site):
        print(f"  {entry}: not a release folder of this site (remove it from releases/)")
    if not ids:
        print(f"{args.site}: no releases yet")
        return
    print(site_folder.key_report(args.site), end="")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("package")
    p.add_argument("--asi-dir", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--key", help="Ed25519 private key (PEM) that signs the modules")
    p.add_argument("--published", required=True, help="site folder whose releases the new builds must exceed")
    p.add_argument("--notes", default=os.path.join(ROOT, "flavours", "release_notes.txt"))
    p.add_argument("--version", dest="notes_version", default="")
    p.add_argument("--news-file", default="")
    p.add_argument("--build-numbers", help="the modules must carry the numbers of this file")
    p.set_defaults(run=package)
    service = argparse.ArgumentParser(add_help=False)
    service.add_argument("--service", default=os.environ.get("MURMELON_SERVICE", service_check.DEFAULT),
                         help="the running service to ask whether it took the switch (host:port), or none")
    p = commands.add_parser("publish", parents=[service])
    p.add_argument("release")
    p.add_argument("site")
    staging = p.add_mutually_exclusive_group()
    staging.add_argument("--share", type=site_rollout.share_argument, default=site_rollout.EVERYONE,
                         help="offer the release to this percentage of players first (default 100: everyone)")
    staging.add_argument("--critical", dest="share", action="store_const", const=site_rollout.EVERYONE,
                         help="a security fix: every player at once, never staged")
    p.set_defaults(run=publish)
    p = commands.add_parser("rollback", parents=[service])
    p.add_argument("site")
    p.add_argument("to", nargs="?")
    p.set_defaults(run=rollback)
    p = commands.add_parser("share", parents=[service])
    p.add_argument("site")
    p.add_argument("share", type=site_rollout.share_argument, help="0 (paused) to 100 (everyone)")
    p.set_defaults(run=share)
    p = commands.add_parser("status")
    p.add_argument("site")
    p.add_argument("--days", type=int, default=release_status.DEFAULT_DAYS)
    p.add_argument("--log", default=release_status.DEFAULT_LOG, help="the service's access log (nginx's)")
    p.add_argument("--html", help="also write the status as one self-contained page here")
    p.set_defaults(run=release_status.command)
    p = commands.add_parser("list")
    p.add_argument("site")
    p.set_defaults(run=list_site)
    p = commands.add_parser("public-key")
    p.add_argument("--key")
    p.set_defaults(run=lambda a: print(public_key_hex(a.key)))
    args = parser.parse_args(argv)
    try:
        return args.run(args) or 0
    except (Refused, ReleaseError, OSError) as error:
        sys.stderr.write(f"{args.command}: {error}\n")
        return 1


if __name__ == "__main__":
    sys.exit(main())
