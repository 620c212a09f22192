#!/usr/bin/env bash
# Builds the update service's Debian package with Debian's own tools (debhelper) and
# checks it with lintian:
#
#   tools/service_package.sh [--out DIR] [--version VERSION] [--no-lintian]
#
# --out         where murmelon-update_<version>_all.deb goes (default dist/)
# --version     builds VERSION instead of the version of deploy/debian/changelog (an
#               entry added in the scratch tree only), e.g. to try an upgrade
# --no-lintian  leaves out the lintian check
#
# The packaging is deploy/debian: the files the package installs are listed in its
# murmelon-update.install (a new module of the service or the tools is one line there),
# its version is the top entry of its changelog. The build runs in a scratch tree of those
# files with deploy/debian as its debian/, so the checkout stays as it was. Lintian fails
# the build on any error or warning that deploy/debian's lintian-overrides do not name.
# On the update server: apt install ./dist/murmelon-update_<version>_all.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
packaging="$root/deploy/debian"
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

work=$(mktemp -d "${TMPDIR:-/tmp}/murmelon-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
tree="$work/murmelon-update"
mkdir -p "$tree"
# The installed files (the first column of the install list) and deploy/ (the site, the
# units and log rotation that debian/ names); debian/'s links to deploy/ become copies.
(cd "$root" && awk 'NF && $1 !~ /^#/ {print $1}' "$packaging/murmelon-update.install" \
   | xargs cp --parents -t "$tree")
mkdir -p "$tree/deploy"
find "$root/deploy" -maxdepth 1 -type f -exec cp -t "$tree/deploy" {} +
cp -rL "$packaging" "$tree/debian"

if [ -n "$version" ]; then
  maintainer=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Maintainer)
  distribution=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Distribution)
  { printf 'murmelon-update (%s) %s; urgency=medium\n\n  * Built as version %s from the checkout.\n\n -- %s  %s\n\n' \
      "$version" "$distribution" "$version" "$maintainer" "$(date -R)"
    cat "$packaging/changelog"; } > "$tree/debian/changelog"
fi
version=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Version)

echo "service_package: building murmelon-update $version"
if ! (cd "$tree" && dpkg-buildpackage -us -uc >"$work/build.log" 2>&1); then
  cat "$work/build.log" >&2
  echo "service_package: the package build failed (above)" >&2
  exit 1
fi
if [ "$lintian" = 1 ]; then
  echo "service_package: lintian"
  lintian --fail-on error,warning --info "$work/murmelon-update_${version}_"*.changes || {
    echo "service_package: lintian found errors or warnings (above)" >&2; exit 1; }
fi
mkdir -p "$out"
cp "$work/murmelon-update_${version}_all.deb" "$out/"
echo "service_package: $out/murmelon-update_${version}_all.deb"
