#!/usr/bin/env python3
"""Release steps behind tools/package.sh and tools/publish.sh.

package    signs each flavour's module and lays out the zips and the server folders
publish    adds a packaged release to a site folder and switches the site to it
rollback   switches a site back to an earlier release
list       shows a site's releases
public-key prints the public half of a signing key (64 hex digits)

A site folder keeps every published release and a link to the one that is served:

    <site>/releases/0001/{w7,xp}/   ...   <site>/releases/0002/{w7,xp}/
    <site>/current -> releases/0002        (the update service serves <site>/current)

The link is replaced with one rename, so a service reading it sees the old release or
the new one, never a mix; the service notices the switch at its next request.
"""

import argparse
import configparser
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import update_app  # noqa: E402  (beside this script)
from update_app import ReleaseError  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Deliverable, server folder, the last digit of its builds.
FLAVOURS = (("Murmelon_W_7_D", "w7", "1"), ("Murmelon_W_XP_D", "xp", "2"))
DOCS = ("players.en.md", "players.ru.md")
# Archives hold this date for every entry, so the same inputs give the same bytes.
ZIP_DATE = (2013, 8, 19, 0, 0, 0)
RELEASE_ID = re.compile(r"[0-9]{4,}")


class Refused(Exception):
    pass


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
    return int(found.group(1))


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


# --- site folders ---------------------------------------------------------------------

def release_ids(site):
    folder = os.path.join(site, "releases")
    if not os.path.isdir(folder):
        return []
    return sorted((e for e in os.listdir(folder) if RELEASE_ID.fullmatch(e)), key=int)


def current_id(site):
    link = os.path.join(site, "current")
    if not os.path.islink(link):
        return None
    target = os.path.basename(os.readlink(link))
    return target if RELEASE_ID.fullmatch(target) else None


def published_builds(site):
    """The highest build ever published for each build suffix, over every kept release
    (a rolled-back build is still on some players' machines)."""
    check_site(site)
    highest = {}
    for release in release_ids(site):
        folder = os.path.join(site, "releases", release)
        for entry in os.listdir(folder):
            ini = configparser.ConfigParser(interpolation=None)
            if ini.read(os.path.join(folder, entry, "release.ini"), encoding="utf-8") and "release" in ini:
                suffix, build = ini["release"].get("suffix", ""), ini["release"].get("build", "")
                if not build.strip().isdigit():
                    raise Refused(f"{folder}/{entry}/release.ini: no build number")
                highest[suffix] = max(highest.get(suffix, 0), int(build))
    return highest


def check_site(site):
    # Anything else (a releases folder given by mistake, say) would pass for a site with
    # nothing published, and let any build through.
    if not os.path.isdir(site):
        raise Refused(f"{site}: no such site folder (for a first release, make it empty)")
    if not os.path.isdir(os.path.join(site, "releases")) and os.listdir(site):
        raise Refused(f"{site} is not a site folder: no releases/ in it, and not empty")


def highest_for(highest, build):
    return max((b for suffix, b in highest.items() if suffix and str(build).endswith(suffix)), default=0)


def check_build_is_new(what, build, highest):
    published = highest_for(highest, build)
    if build <= published:
        raise Refused(f"{what}: build {build} is not above the published build {published}; "
                      f"raise it in flavours/build_numbers.h and rebuild")


def switch(site, release):
    """Points <site>/current at releases/<release> with one rename."""
    link = os.path.join(site, "current")
    temporary = os.path.join(site, ".current.new")
    if os.path.lexists(temporary):
        os.remove(temporary)
    os.symlink(os.path.join("releases", release), temporary)
    os.replace(temporary, link)


def served_text(site):
    release = current_id(site)
    releases = update_app.load_releases(os.path.join(site, "current"))
    return (f"now served from {os.path.join(site, 'current')} (release {release}):\n"
            + "".join(f"  {r.describe()}\n" for r in releases))


# --- commands -------------------------------------------------------------------------

def package(args):
    public_hex = public_key_hex(args.key)
    highest = published_builds(args.published)
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
        for flavour, folder, suffix in FLAVOURS:
            asi_path = os.path.join(args.asi_dir, flavour + ".asi")
            if not os.path.isfile(asi_path):
                raise Refused(f"{asi_path} is missing")
            with open(asi_path, "rb") as file:
                module = file.read()
            build = module_build(module, asi_path)
            if not str(build).endswith(suffix):
                raise Refused(f"{asi_path}: build {build} does not end in {suffix}, the flavour's digit")
            if flavour in expected and expected[flavour] != build:
                raise Refused(f"{asi_path}: built as {build}, but {args.build_numbers} says "
                              f"{expected[flavour]}; rebuild")
            check_build_is_new(asi_path, build, highest)
            # A keyed module carries each built-in key as its hex text.
            if public_hex.encode("ascii") not in module:
                raise Refused(f"{asi_path}: the module's built-in keys do not include the signing "
                              f"key's public half {public_hex}: configure the build with "
                              f"-DMURMELON_UPDATE_PUBLIC_KEYS={public_hex}")
            message = update_app.signed_message(flavour, build, module)
            signature = sign(args.key, message)
            if not update_app.verify_signature(public_hex, message, signature):
                raise Refused(f"{asi_path}: the signature just made does not verify")

            target = os.path.join(staging, folder)
            os.makedirs(target)
            with open(os.path.join(target, flavour + ".asi"), "wb") as file:
                file.write(module)
            with open(os.path.join(target, "news.txt"), "w", encoding="utf-8", newline="") as file:
                file.write(news)
            with open(os.path.join(target, "release.ini"), "w", encoding="utf-8") as file:
                file.write(f"[release]\nbuild = {build}\nsuffix = {suffix}\nversion = {label}\n"
                           f"module = {flavour}.asi\nnews = news.txt\ndeliverable = {flavour}\n"
                           f"public_key = {public_hex}\nsignature = {signature}\n")
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
    os.makedirs(site, exist_ok=True)
    check_site(site)
    os.makedirs(os.path.join(site, "releases"), exist_ok=True)
    try:
        new = update_app.load_releases(source)
    except ReleaseError as error:
        raise Refused(f"the update server would refuse this release: {error}") from None
    highest = published_builds(site)
    current = current_id(site)
    served = update_app.load_releases(os.path.join(site, "current")) if current else []
    for release in new:
        check_build_is_new(release.folder, release.build, highest)
        before = next((r for r in served if r.suffix == release.suffix), None)
        # The players' running module must trust the new key (a key change ships a module
        # with both keys first).
        if before and before.signature and release.public_key.encode("ascii") not in before.module:
            raise Refused(f"{release.folder}: signed by {release.public_key}, which the served "
                          f"build {before.build} does not carry among its keys")

    ids = release_ids(site)
    release_id = f"{int(ids[-1]) + 1 if ids else 1:04d}"
    trial = tempfile.mkdtemp(prefix=f".{release_id}.", dir=os.path.join(site, "releases"))
    try:
        # The served flavours that this release does not replace stay as they are.
        names = {r.name for r in new}
        for release in served:
            if release.name not in names:
                shutil.copytree(release.folder, os.path.join(trial, release.name))
        for release in new:
            shutil.copytree(release.folder, os.path.join(trial, release.name))
        try:
            update_app.load_releases(trial)
        except ReleaseError as error:
            raise Refused(f"the update server would refuse the result: {error}") from None
        os.chmod(trial, 0o755)
        os.rename(trial, os.path.join(site, "releases", release_id))
    finally:
        shutil.rmtree(trial, ignore_errors=True)
    switch(site, release_id)
    print(f"published release {release_id}" + (f" (was {current}; back with "
          f"tools/publish.sh --rollback {site})" if current else ""))
    print(served_text(site), end="")


def rollback(args):
    site = args.site
    ids, current = release_ids(site), current_id(site)
    if args.to:
        target = args.to
        if target not in ids:
            raise Refused(f"{site}: no release {target} (releases: {' '.join(ids) or 'none'})")
    else:
        earlier = [i for i in ids if current and int(i) < int(current)]
        if not earlier:
            raise Refused(f"{site}: no release before {current or 'the current one'}")
        target = earlier[-1]
    try:
        update_app.load_releases(os.path.join(site, "releases", target))
    except ReleaseError as error:
        raise Refused(f"release {target} would be refused: {error}") from None
    switch(site, target)
    print(f"switched {site} from release {current} to {target}")
    print(served_text(site), end="")


def list_site(args):
    current = current_id(args.site)
    for release in release_ids(args.site):
        folder = os.path.join(args.site, "releases", release)
        try:
            texts = [r.describe() for r in update_app.load_releases(folder)]
        except ReleaseError as error:
            texts = [f"cannot be loaded: {error}"]
        print(("* " if release == current else "  ") + release + ": " + "; ".join(texts))


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
    p = commands.add_parser("publish")
    p.add_argument("release")
    p.add_argument("site")
    p.set_defaults(run=publish)
    p = commands.add_parser("rollback")
    p.add_argument("site")
    p.add_argument("to", nargs="?")
    p.set_defaults(run=rollback)
    p = commands.add_parser("list")
    p.add_argument("site")
    p.set_defaults(run=list_site)
    p = commands.add_parser("public-key")
    p.add_argument("--key")
    p.set_defaults(run=lambda a: print(public_key_hex(a.key)))
    args = parser.parse_args(argv)
    try:
        args.run(args)
    except (Refused, ReleaseError, OSError) as error:
        sys.stderr.write(f"{args.command}: {error}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
