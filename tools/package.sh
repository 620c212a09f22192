#!/usr/bin/env bash
# Packages a release of both flavours:
#   <out>/Murmelon_W_7_D-<build>.zip, <out>/Murmelon_W_XP_D-<build>.zip
#       the .asi, docs/players.en.md, docs/players.ru.md and CHECKSUMS.txt (SHA-256 and
#       MD5 of the .asi, in the tagged form that `cksum -c` checks)
#   <out>/server/w7, <out>/server/xp
#       the folders tools/update_server.py serves (release.ini, module, news.txt);
#       tools/publish.sh <out> <server releases folder> puts them in place.
# The version label and news text come from flavours/release_notes.txt unless given.
#
#   tools/package.sh [--build-dir DIR] [--asi-dir DIR] [--out DIR] [--notes FILE]
#                    [--version LABEL] [--news-file FILE]
#
# --asi-dir packages the .asi files found there and builds nothing; otherwise both
# flavours are built (or brought up to date) in --build-dir (default build/mingw).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/mingw"
asi_dir=""
out="$root/release"
notes="$root/flavours/release_notes.txt"
version=""
news_file=""

usage() { sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$2; shift 2 ;;
    --asi-dir) asi_dir=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --notes) notes=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --news-file) news_file=$2; shift 2 ;;
    -h|--help) usage ;;
    *) echo "package: unknown argument $1" >&2; usage ;;
  esac
done

if [ -z "$asi_dir" ]; then
  if [ ! -f "$build/build.ninja" ]; then
    (cd "$root" && cmake --preset mingw -B "$build" >/dev/null)
  fi
  cmake --build "$build" --target Murmelon_W_7_D Murmelon_W_XP_D >/dev/null
  asi_dir="$build/dist"
fi

exec python3 - "$root" "$asi_dir" "$out" "$notes" "$version" "$news_file" <<'PY'
import hashlib
import importlib.util
import os
import re
import shutil
import sys
import tempfile
import zipfile

root, asi_dir, out, notes_path, version, news_path = sys.argv[1:]
FLAVOURS = (("Murmelon_W_7_D", "w7"), ("Murmelon_W_XP_D", "xp"))
DOCS = ("players.en.md", "players.ru.md")
# Archives hold this date for every entry, so the same inputs give the same bytes.
ZIP_DATE = (2013, 8, 19, 0, 0, 0)


def fail(message):
    sys.stderr.write(f"package: {message}\n")
    sys.exit(1)


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
        fail(f"{path}: needs a 'version:' line and a 'news:' line followed by the news text")
    return label, news


def build_number(module, path):
    # The flavour's identity text, as GetBuildStr answers it; the server compares the
    # number a client sends with it.
    found = re.search(rb"Murmelon_Build_Num (\d+)\x00", module)
    if not found:
        fail(f"{path}: no build number text in the module")
    return int(found.group(1))


def add(archive, name, data):
    info = zipfile.ZipInfo(name, ZIP_DATE)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.external_attr = 0o644 << 16
    archive.writestr(info, data)


label, news = read_notes(notes_path) if not (version and news_path) else (None, None)
if version:
    label = version
if news_path:
    with open(news_path, encoding="utf-8") as file:
        news = file.read()
if "\n" in label or not label.strip():
    fail("the version label must be one non-empty line")

loader_info = importlib.util.spec_from_file_location("update_server", os.path.join(root, "tools", "update_server.py"))
update_server = importlib.util.module_from_spec(loader_info)
loader_info.loader.exec_module(update_server)

os.makedirs(out, exist_ok=True)
# The server folders are made aside and checked with the server's own loader before
# they replace the old ones: a release the server would refuse is never left behind.
staging = tempfile.mkdtemp(prefix=".server.", dir=out)
os.chmod(staging, 0o755)
try:
    made = []
    for flavour, folder in FLAVOURS:
        asi_path = os.path.join(asi_dir, flavour + ".asi")
        if not os.path.isfile(asi_path):
            fail(f"{asi_path} is missing")
        with open(asi_path, "rb") as file:
            module = file.read()
        build = build_number(module, asi_path)
        sha256, md5 = hashlib.sha256(module).hexdigest(), hashlib.md5(module).hexdigest()

        target = os.path.join(staging, folder)
        os.makedirs(target)
        with open(os.path.join(target, flavour + ".asi"), "wb") as file:
            file.write(module)
        with open(os.path.join(target, "news.txt"), "w", encoding="utf-8", newline="") as file:
            file.write(news)
        with open(os.path.join(target, "release.ini"), "w", encoding="utf-8") as file:
            file.write(f"[release]\nbuild = {build}\nsuffix = {str(build)[-1]}\nversion = {label}\n"
                       f"module = {flavour}.asi\nnews = news.txt\n")

        checksums = f"SHA256 ({flavour}.asi) = {sha256}\nMD5 ({flavour}.asi) = {md5}\n"
        made.append((flavour, build, module, checksums))
    try:
        update_server.load_releases(staging)
    except update_server.ReleaseError as error:
        fail(f"the update server would refuse this release: {error}")

    archives = []
    for flavour, build, module, checksums in made:
        archive_path = os.path.join(out, f"{flavour}-{build}.zip")
        with zipfile.ZipFile(archive_path + ".tmp", "w") as archive:
            add(archive, flavour + ".asi", module)
            for doc in DOCS:
                with open(os.path.join(root, "docs", doc), "rb") as file:
                    add(archive, doc, file.read())
            add(archive, "CHECKSUMS.txt", checksums)
        os.replace(archive_path + ".tmp", archive_path)
        archives.append(archive_path)

    server = os.path.join(out, "server")
    shutil.rmtree(server, ignore_errors=True)
    os.replace(staging, server)
finally:
    shutil.rmtree(staging, ignore_errors=True)

for path in archives:
    print(f"archive  {path}")
print(f"server   {server}  (version {label!r}; publish with tools/publish.sh {out} <releases folder>)")
PY
