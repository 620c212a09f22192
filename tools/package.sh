#!/usr/bin/env bash
# Packages a signed release of both flavours:
#   <out>/Murmelon_W_7_D-<build>.zip, <out>/Murmelon_W_XP_D-<build>.zip
#       the .asi, docs/players.en.md, docs/players.ru.md and CHECKSUMS.txt (SHA-256 and
#       MD5 of the .asi, in the tagged form that `cksum -c` checks)
#   <out>/server/w7, <out>/server/xp
#       the folders the update service serves (release.ini with the build, the signature
#       and the signing key's public half, the module, news.txt); `murmelon-release
#       publish <out> <site>` puts them on a site (on the update server).
#
#   tools/package.sh --key KEY.pem --published SITE [--build-dir DIR | --asi-dir DIR]
#                    [--out DIR] [--notes FILE] [--version LABEL] [--news-file FILE]
#                    [--build-numbers FILE]
#   tools/package.sh --public-key --key KEY.pem    # prints the key's public half (64 hex digits)
#
# --key      the Ed25519 private key that signs (never in the repository); make one with
#            `openssl genpkey -algorithm ed25519 -out key.pem`
# --published the site folder (or a copy of it) the release will be published to: each
#            module's build number must be above every build published there (an empty
#            folder for the first release)
# --asi-dir  packages the .asi files found there and builds nothing; otherwise both
#            flavours are built in --build-dir (default build/release, configured with
#            the signing key's public half as the modules' built-in key), and their build
#            numbers must be those of flavours/build_numbers.h (with --asi-dir, those of
#            --build-numbers FILE when given).
# The version label and news text come from flavours/release_notes.txt unless given.
# Refused: no key, a module without the key among its built-in keys, a build number not
# above the published one or that the plug-in cannot read (over 9 digits), a signing key
# that players of a build published on SITE would refuse, texts the plug-in would misread
# or that are longer than it reads, a --published path that is not a site.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export PYTHONPATH="$root/server${PYTHONPATH:+:$PYTHONPATH}" PYTHONDONTWRITEBYTECODE=1
build="$root/build/release"
asi_dir=""
key=""
out="$root/release"
args=()
public_only=0

usage() { awk 'NR > 1 && !/^#/ {exit} NR > 1 {sub(/^# ?/, ""); print}' "$0" >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$2; shift 2 ;;
    --asi-dir) asi_dir=$2; shift 2 ;;
    --key) key=$2; args+=("$1" "$2"); shift 2 ;;
    --public-key) public_only=1; shift ;;
    --out) out=$2; shift 2 ;;
    --notes|--version|--news-file|--published|--build-numbers) args+=("$1" "$2"); shift 2 ;;
    -h|--help) usage ;;
    *) echo "package: unknown argument $1" >&2; usage ;;
  esac
done
[ -n "$key" ] || { echo "package: a signing key is needed (--key FILE)" >&2; usage; }
[ "$public_only" = 0 ] || exec python3 "$root/tools/package.py" --public-key --key "$key"

if [ -z "$asi_dir" ]; then
  public=$(python3 "$root/tools/package.py" --public-key --key "$key")
  if [ ! -f "$build/build.ninja" ]; then
    (cd "$root" && cmake --preset mingw -B "$build" -DMURMELON_UPDATE_PUBLIC_KEYS="$public" >/dev/null)
  fi
  cmake --build "$build" --target Murmelon_W_7_D Murmelon_W_XP_D >/dev/null
  asi_dir="$build/dist"
  args+=(--build-numbers "$root/flavours/build_numbers.h")
fi
exec python3 "$root/tools/package.py" --asi-dir "$asi_dir" --out "$out" "${args[@]}"
