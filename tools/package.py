#!/usr/bin/env python3
"""The packaging step behind tools/package.sh: signs each flavour's module and lays out the
zips and the server folders that `murmelon-release publish` puts on a site. Refuses what
the site's players could not take, with the checks of the installed release command
(murmelon_update, from server/ on PYTHONPATH).

    package.py --asi-dir DIR --out DIR --key KEY --published SITE [--notes FILE]
               [--version LABEL] [--news-file FILE] [--build-numbers FILE]
    package.py --public-key --key KEY      # the key's public half, 64 hex digits
"""

import argparse
import hashlib
import os
import re
import shutil
import sys
import tempfile
import zipfile

from murmelon_update import files
from murmelon_update.published import Published
from murmelon_update.release import FLAVOURS, MODULE_CAP, MODULE_WHY, ReleaseError, check_build, load_flavours, \
    module_keys, signed_message, write_release
from murmelon_update.signature import SignatureError, public_key_hex, sign, verify
from murmelon_update.site import Refused, Site

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = ("players.en.md", "players.ru.md")
# Archives hold this date for every entry, so the same inputs give the same bytes.
ZIP_DATE = (2013, 8, 19, 0, 0, 0)


def module_build(module, path):
    # The flavour's identity text, as GetBuildStr answers it.
    found = re.search(rb"Murmelon_Build_Num (\d+)\x00", module)
    if not found:
        raise Refused(f"{path}: no build number text in the module")
    try:
        return check_build(found.group(1).decode("ascii"))
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


def package(args):
    public_hex = public_key_hex(args.key)
    published = Published(Site(args.published))
    published.modules()  # refuses a path that is not a site before anything is signed
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
        for suffix, (folder, flavour) in FLAVOURS.items():
            asi_path = os.path.join(args.asi_dir, flavour + ".asi")
            if not os.path.isfile(asi_path):
                raise Refused(f"{asi_path} is missing")
            module = files.read(asi_path, MODULE_CAP, "module", MODULE_WHY)
            build = module_build(module, asi_path)
            if not str(build).endswith(suffix):
                raise Refused(f"{asi_path}: build {build} does not end in {suffix}, the flavour's digit")
            if flavour in expected and expected[flavour] != build:
                raise Refused(f"{asi_path}: built as {build}, but {args.build_numbers} says "
                              f"{expected[flavour]}; rebuild")
            published.check_build_is_new(asi_path, build)
            notes.append(published.check_players_take(asi_path, suffix, build, public_hex))
            if public_hex not in module_keys(module):
                raise Refused(f"{asi_path}: the module's built-in keys do not include the signing "
                              f"key's public half {public_hex}: configure the build with "
                              f"-DMURMELON_UPDATE_PUBLIC_KEYS={public_hex}")
            message = signed_message(flavour, build, module)
            signature = sign(args.key, message)
            if not verify(public_hex, message, signature):
                raise Refused(f"{asi_path}: the signature just made does not verify")
            write_release(os.path.join(staging, folder), build, module, label, news,
                          public_key=public_hex, signature=signature)
            sha256, md5 = hashlib.sha256(module).hexdigest(), hashlib.md5(module).hexdigest()
            made.append((flavour, build, module, f"SHA256 ({flavour}.asi) = {sha256}\nMD5 ({flavour}.asi) = {md5}\n"))
        try:
            load_flavours(staging)
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
          f"publish with murmelon-release publish {args.out} <site folder>)")


def add_to_zip(archive, name, data):
    info = zipfile.ZipInfo(name, ZIP_DATE)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.external_attr = 0o644 << 16
    archive.writestr(info, data)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--key", help="Ed25519 private key (PEM) that signs the modules")
    parser.add_argument("--public-key", action="store_true", help="print the key's public half and stop")
    parser.add_argument("--asi-dir")
    parser.add_argument("--out")
    parser.add_argument("--published", help="site folder whose releases the new builds must exceed")
    parser.add_argument("--notes", default=os.path.join(ROOT, "flavours", "release_notes.txt"))
    parser.add_argument("--version", dest="notes_version", default="")
    parser.add_argument("--news-file", default="")
    parser.add_argument("--build-numbers", help="the modules must carry the numbers of this file")
    args = parser.parse_args(argv)
    try:
        if args.public_key:
            print(public_key_hex(args.key))
            return 0
        if not (args.asi_dir and args.out and args.published):
            parser.error("--asi-dir, --out and --published are needed")
        package(args)
        return 0
    except (Refused, ReleaseError, SignatureError, files.Unreadable, OSError) as error:
        sys.stderr.write(f"package: {error}\n")
        return 1


if __name__ == "__main__":
    sys.exit(main())
