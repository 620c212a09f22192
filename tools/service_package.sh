#!/usr/bin/env bash
# Builds the update service's Debian package in place, from server/ (the package's source
# folder: debian/, the murmelon_update package, bin/, conf/) with Debian's own tools, and
# checks it with lintian:
#
#   tools/service_package.sh [--out DIR] [--version VERSION] [--no-lintian]
#
# --out         where murmelon-update_<version>_all.deb goes (default dist/)
# --version     builds VERSION instead of the version of server/debian/changelog, from a
#               copy of server/ whose changelog gains that entry (the checkout's stays as
#               it is), e.g. to try an upgrade
# --no-lintian  leaves out the lintian check
#
# dpkg-buildpackage writes the package beside the folder it builds; it is moved to --out
# and the build's leftovers in debian/ are cleaned away. Lintian fails the build on any
# error or warning. On the update server: apt install ./dist/murmelon-update_<version>_all.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/dist"
version=""
lintian=1

usage() { awk 'NR > 1 && !/^#/ {exit} NR > 1 {sub(/^# ?/, ""); print}' "$0" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --out) [ $# -ge 2 ] || usage; out=$2; shift 2 ;;
    --version) [ $# -ge 2 ] || usage; version=$2; shift 2 ;;
    --no-lintian) lintian=0; shift ;;
    -h|--help) usage ;;
    *) echo "service_package: unknown argument $1" >&2; usage ;;
  esac
done
for tool in dpkg-buildpackage dh dh_python3 po2debconf; do
  command -v "$tool" >/dev/null 2>&1 || {
    echo "service_package: $tool is missing (tools/setup.sh installs it)" >&2; exit 1; }
done
[ "$lintian" = 0 ] || command -v lintian >/dev/null 2>&1 || {
  echo "service_package: lintian is missing (tools/setup.sh installs it)" >&2; exit 1; }
mkdir -p "$out"
out=$(cd "$out" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/murmelon-package.XXXXXX")
source="$root/server"
if [ -n "$version" ]; then
  # A copy to build another version from; its own debian/ links point into its own conf/.
  source="$work/murmelon-update"
  cp -a "$root/server" "$source"
  maintainer=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Maintainer)
  distribution=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Distribution)
  { printf 'murmelon-update (%s) %s; urgency=medium\n\n  * Built as version %s from the checkout.\n\n -- %s  %s\n\n' \
      "$version" "$distribution" "$version" "$maintainer" "$(date -R)"
    cat "$root/server/debian/changelog"; } > "$source/debian/changelog"
fi
version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
parent=$(dirname "$source")
cleanup() {
  (cd "$source" && debian/rules clean >/dev/null 2>&1) || true
  rm -f "$parent/murmelon-update_${version}_"*.{deb,buildinfo,changes}
  rm -rf "$work"
}
trap cleanup EXIT

echo "service_package: building murmelon-update $version in $source"
# Binary only: a source package would be a tarball of the checkout's folder beside it.
if ! (cd "$source" && PYTHONDONTWRITEBYTECODE=1 dpkg-buildpackage -b -us -uc >"$work/build.log" 2>&1); then
  cat "$work/build.log" >&2
  echo "service_package: the package build failed (above)" >&2
  exit 1
fi
if [ "$lintian" = 1 ]; then
  echo "service_package: lintian"
  lintian --fail-on error,warning --info "$parent/murmelon-update_${version}_"*.changes || {
    echo "service_package: lintian found errors or warnings (above)" >&2; exit 1; }
fi
cp "$parent/murmelon-update_${version}_all.deb" "$out/"
echo "service_package: $out/murmelon-update_${version}_all.deb"
