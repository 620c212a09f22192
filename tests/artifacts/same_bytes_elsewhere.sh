#!/usr/bin/env bash
# The same source builds the same bytes in any folder: the checkout's files (as they are
# now, committed or not) are copied to a fresh folder elsewhere, the two flavours are
# built there with the same settings and the same prebuilt libraries, and each must equal,
# byte for byte, the one this build tree shipped. So a maintainer can check a release
# against its source.
#
#   same_bytes_elsewhere.sh SOURCE_DIR BUILT_DIST_DIR DEPS_DIR UPDATE_HOST PUBLIC_KEYS
set -euo pipefail
source_dir=$1 built=$2 deps=$3 host=$4 keys=$5
work=$(mktemp -d /tmp/murmelon-elsewhere.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/checkout"
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
   while IFS= read -r -d '' file; do
     [ -e "$file" ] && printf '%s\0' "$file"
   done | xargs -0 cp --parents -t "$work/checkout")
cmake -S "$work/checkout" -B "$work/checkout/build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$work/checkout/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMURMELON_DEPS_DIR="$deps" \
      -DMURMELON_UPDATE_HOST="$host" -DMURMELON_UPDATE_PUBLIC_KEYS="$keys" >/dev/null
cmake --build "$work/checkout/build" --target Murmelon_W_7_D Murmelon_W_XP_D >/dev/null
failed=0
for flavour in Murmelon_W_7_D Murmelon_W_XP_D; do
  if cmp -s "$built/$flavour.asi" "$work/checkout/build/dist/$flavour.asi"; then
    echo "$flavour.asi: the same $(stat -c %s "$built/$flavour.asi") bytes built in $work/checkout"
  else
    echo "$flavour.asi differs when built elsewhere; first differing bytes:"
    cmp -l "$built/$flavour.asi" "$work/checkout/build/dist/$flavour.asi" | head -5 || true
    failed=1
  fi
done
exit $failed
