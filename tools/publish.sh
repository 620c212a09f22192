#!/usr/bin/env bash
# Publishes a packaged release (tools/package.sh) on an update site, or switches back.
#
#   tools/publish.sh [--service ADDR] [--share N | --critical] <release dir> <site>
#                                             add <release dir>/server as the site's next
#                                             release and switch to it; --share N offers it
#                                             to N% of the players first (the others keep
#                                             the release before), --critical to everyone
#   tools/publish.sh [--service ADDR] --rollback <site> [ID]   switch back to the release
#                                             before the current one (or to release ID)
#   tools/publish.sh --list <site>            the site's releases; * marks the served one
#
# A site keeps every release in <site>/releases/NNNN and serves <site>/current, a link
# replaced in one rename: the update service (gunicorn over <site>/current) notices the
# switch at its next request. Publish and rollback then ask the running service at ADDR
# (default 127.0.0.1:8700, or MURMELON_SERVICE; "none" asks nothing) whether it serves
# the new release, say so, and exit 1 when it does not. They take the site's lock
# (<site>/.lock) and refuse while another holds it. Publishing refuses a path that is not
# a site, a build not above every build published on the site or that the plug-in cannot
# read, a release the service would refuse (bad signature, misread texts, sizes above what
# the plug-in takes), an unsigned release or a signing key that players of a published
# build would refuse (every module in <site>/releases counts; see the README's key
# rotation); the current release then stays. Publishing the same release again after an
# interrupted publish is safe, and after a finished one says it is already current.
# --list also shows, per release key, which published builds carry it. A staged release
# is widened, narrowed or paused with `tools/release_tool.py share <site> N`; a rollback
# ends its rollout.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tool="$root/tools/release_tool.py"
usage() { awk 'NR > 1 && !/^#/ {exit} NR > 1 {sub(/^# ?/, ""); print}' "$0" >&2; exit 2; }
service=() staging=()
while :; do
  case "${1:-}" in
    --service) [ $# -ge 2 ] || usage; service=(--service "$2"); shift 2 ;;
    --share) [ $# -ge 2 ] || usage; staging=(--share "$2"); shift 2 ;;
    --critical) staging=(--critical); shift ;;
    *) break ;;
  esac
done
case "${1:-}" in
  --rollback) shift; [ $# -ge 1 ] || usage; exec python3 "$tool" rollback "${service[@]}" "$@" ;;
  --list) shift; [ $# -eq 1 ] || usage; exec python3 "$tool" list "$@" ;;
  ""|-h|--help) usage ;;
esac
[ $# -eq 2 ] || { usage; }
exec python3 "$tool" publish "${service[@]}" "${staging[@]}" "$1" "$2"
