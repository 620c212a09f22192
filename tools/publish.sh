#!/usr/bin/env bash
# Publishes a packaged release (tools/package.sh) on an update site, or switches back.
#
#   tools/publish.sh <release dir> <site>     add <release dir>/server as the site's next
#                                             release and switch the site to it
#   tools/publish.sh --rollback <site> [ID]   switch back to the release before the
#                                             current one (or to release ID)
#   tools/publish.sh --list <site>            the site's releases; * marks the served one
#
# A site keeps every release in <site>/releases/NNNN and serves <site>/current, a link
# replaced in one rename: the update service (started with --releases <site>/current, or
# MURMELON_RELEASES for gunicorn) notices the switch at its next request. Each command
# prints what is now served. Publishing refuses a build not above every build published
# on the site, a release the service would refuse (bad signature, misread texts), and a
# signing key the served module does not carry; the current release then stays.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tool="$root/tools/release_tool.py"
usage() { awk 'NR > 1 && !/^#/ {exit} NR > 1 {sub(/^# ?/, ""); print}' "$0" >&2; exit 2; }
case "${1:-}" in
  --rollback) shift; [ $# -ge 1 ] || usage; exec python3 "$tool" rollback "$@" ;;
  --list) shift; [ $# -eq 1 ] || usage; exec python3 "$tool" list "$@" ;;
  ""|-h|--help) usage ;;
esac
[ $# -eq 2 ] || { usage; }
exec python3 "$tool" publish "$1" "$2"
