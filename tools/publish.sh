#!/usr/bin/env bash
# Publishes a packaged release (tools/package.sh) to an update server's releases folder:
# each flavour folder of <release dir>/server replaces the one of the same name there,
# and the whole releases folder is checked with the server's own loader first.
#
#   tools/publish.sh <release dir> <server releases folder> [--reload PID]
#
# --reload sends SIGHUP to the running server (tools/update_server.py) so that it
# serves the new release at once; without it, reload or restart the server yourself.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 2 ] || { sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
release=$1
releases=$2
pid=""
if [ "${3:-}" = "--reload" ]; then pid=${4:?--reload needs the server process id}; fi
[ -d "$release/server" ] || { echo "publish: no $release/server; run tools/package.sh first" >&2; exit 1; }
mkdir -p "$releases"

python3 - "$root" "$release/server" "$releases" <<'PY'
import importlib.util
import os
import shutil
import sys
import tempfile

root, source, releases = sys.argv[1:]
loader_info = importlib.util.spec_from_file_location("update_server", os.path.join(root, "tools", "update_server.py"))
update_server = importlib.util.module_from_spec(loader_info)
loader_info.loader.exec_module(update_server)

# A trial copy of the releases folder with the new flavour folders in it: if the server
# would refuse the result (a broken release, two folders claiming one flavour), nothing
# in the real folder changes.
trial = tempfile.mkdtemp(prefix=".publish.", dir=releases)
try:
    flavours = sorted(e for e in os.listdir(source) if os.path.isfile(os.path.join(source, e, "release.ini")))
    if not flavours:
        sys.exit(f"publish: {source} holds no release folders")
    for entry in os.listdir(releases):
        folder = os.path.join(releases, entry)
        if entry not in flavours and not entry.startswith(".") and os.path.isdir(folder):
            shutil.copytree(folder, os.path.join(trial, entry))
    for flavour in flavours:
        shutil.copytree(os.path.join(source, flavour), os.path.join(trial, flavour))
    try:
        update_server.load_releases(trial)
    except update_server.ReleaseError as error:
        sys.exit(f"publish: the update server would refuse the result: {error}")
    # Each flavour folder is swapped in with two renames from the trial folder (same
    # file system); nothing with a release.ini lies beside them meanwhile, so a server
    # reloading at that moment never sees two folders claiming one flavour.
    for flavour in flavours:
        target = os.path.join(releases, flavour)
        if os.path.exists(target):
            os.rename(target, os.path.join(trial, f"old.{flavour}"))
        os.rename(os.path.join(trial, flavour), target)
        print(f"published {target}")
finally:
    shutil.rmtree(trial, ignore_errors=True)
PY

if [ -n "$pid" ]; then
  kill -HUP "$pid"
  echo "asked server $pid to reload"
else
  echo "reload the server (kill -HUP <pid>) or restart it to serve the new release"
fi
