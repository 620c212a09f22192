#!/usr/bin/env bash
# One-time (idempotent) preparation of a Debian 12 machine: cross toolchain, Wine,
# the native test tools, nginx and gunicorn (the update service's tests), Debian's
# packaging tools (the service's package), Chromium (the status page's test, headless),
# mingw builds of OpenSSL's libcrypto and of libsodium, and a private Wine prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
deps="$root/deps"
mkdir -p "$deps"

need_pkgs=0
for tool in i686-w64-mingw32-g++ wine cmake ninja; do
  command -v "$tool" >/dev/null 2>&1 || need_pkgs=1
done
[ -f /usr/include/doctest/doctest.h ] || need_pkgs=1
[ -f /usr/include/openssl/md5.h ] || need_pkgs=1
[ -f /usr/include/sodium.h ] || need_pkgs=1
# libsodium's source package is built with the autotools; openssl makes the test keys.
for tool in autoreconf libtoolize openssl; do command -v "$tool" >/dev/null 2>&1 || need_pkgs=1; done
dpkg -s wine32:i386 >/dev/null 2>&1 || need_pkgs=1
command -v python3 >/dev/null 2>&1 || need_pkgs=1
# The update service's production stack and the release signing (tests/update_server).
for tool in /usr/sbin/nginx /usr/bin/gunicorn openssl; do
  command -v "$tool" >/dev/null 2>&1 || need_pkgs=1
done
# The update service's Debian package (tools/service_package.sh) and its install test
# (tests/service_package: a throwaway root with a network namespace of its own, where
# systemd-analyze rates the unit). The package's own dependencies are there too, as that
# root cannot download any.
for tool in dh dh_python3 po2debconf lintian ip systemd-sysusers systemd-analyze; do
  command -v "$tool" >/dev/null 2>&1 || need_pkgs=1
done
# clang's libFuzzer for the update answer's fuzz target (tests/native/fuzz).
command -v clang++-14 >/dev/null 2>&1 || need_pkgs=1
# GCC's source (libbacktrace, cross-built below) and lldb (tools/read_crash.py).
ls /usr/src/gcc-12/gcc-*.tar.xz >/dev/null 2>&1 || need_pkgs=1
command -v lldb-14 >/dev/null 2>&1 || need_pkgs=1
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need_pkgs=1
# Debian's Chromium renders the release status page in its test (tests/update_server).
command -v chromium >/dev/null 2>&1 || need_pkgs=1
# The mutation tools (tools/mutation): libclang's bindings read C and C++, coverage.py
# picks the tests of a Python mutant; both for Debian's interpreter.
for module in clang.cindex coverage; do
  /usr/bin/python3 -c "import $module" >/dev/null 2>&1 || need_pkgs=1
done

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

if [ "$need_pkgs" = 1 ]; then
  echo "setup: installing packages"
  as_root dpkg --add-architecture i386
  packages=(g++-mingw-w64-i686 wine wine32:i386 cmake ninja-build doctest-dev libssl-dev
    python3 make perl ca-certificates xz-utils dpkg-dev clang-14 libclang-rt-14-dev
    nginx-light gunicorn libsodium-dev autoconf automake libtool openssl
    gcc-12-source lldb-14 debhelper dh-python po-debconf lintian iproute2 systemd chromium
    python3-clang-14 python3-coverage)
  install_packages() {
    as_root apt-get update -qq "$@"
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq -o DPkg::Lock::Timeout=300 \
      --no-install-recommends "$@" "${packages[@]}" >/dev/null
  }
  if ! install_packages; then
    # A mirror caught mid-sync can serve one architecture's security index stale; wine32's
    # multiarch pairs then cannot be met. The release's own archive alone can.
    echo "setup: installing from the release's archive without its security suite"
    parts=$(mktemp -d)
    awk 'BEGIN { RS = ""; ORS = "\n\n" } !/debian-security/' /etc/apt/sources.list.d/debian.sources \
      >"$parts/debian.sources"
    install_packages -o Dir::Etc::sourceparts="$parts"
    rm -rf "$parts"
  fi
fi

# Wine's i386 loader must run; on a 64-bit-only kernel it runs under emulation.
bash "$root/tools/i386_emulation.sh"

# Debian's source packages through apt (which verifies what it fetches).
source_entries() {
  if ! ls /etc/apt/sources.list.d/*-src.sources >/dev/null 2>&1; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      | as_root tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
    as_root apt-get update -qq
  fi
}

# Fetches the upstream tarball of Debian's source package $1 into $deps/$1-src (with
# Debian's own tarball when apt gets it too) and unpacks it; prints the unpacked folder.
fetch_source() {
  local package=$1 work="$deps/$1-src" tarball
  rm -rf "$work" && mkdir -p "$work"
  (cd "$work" && apt-get source --download-only "$package" >/dev/null 2>&1 || true)
  tarball=$(ls "$work/${package}_"*.orig.tar.gz 2>/dev/null | head -n 1)
  [ -n "$tarball" ] || { echo "setup: could not fetch the $package source" >&2; return 1; }
  tar -xzf "$tarball" -C "$work"
  find "$work" -maxdepth 1 -mindepth 1 -type d -name "$package-*" | head -n 1
}

# OpenSSL's libcrypto for i686-w64-mingw32, built once from Debian's source package.
if [ ! -f "$deps/openssl/lib/libcrypto.a" ]; then
  echo "setup: cross-building OpenSSL libcrypto (takes a few minutes)"
  source_entries
  src=$(fetch_source openssl)
  (cd "$src" && ./Configure mingw no-shared no-asm no-threads no-dso no-engine no-tests \
      no-module no-legacy --cross-compile-prefix=i686-w64-mingw32- \
      --prefix="$deps/openssl" --libdir=lib >/dev/null \
   && make -j"$(nproc)" build_libs >/dev/null 2>&1 \
   && mkdir -p "$deps/openssl/lib" "$deps/openssl/include" \
   && cp libcrypto.a "$deps/openssl/lib/" \
   && cp -r include/openssl "$deps/openssl/include/")
  rm -rf "$deps/openssl-src"
fi

# libsodium for i686-w64-mingw32 (signed releases: Ed25519, SHA-256), built once from
# Debian 12's 1.0.18 source package with Debian's patches, static, without debug data.
if [ ! -f "$deps/libsodium/lib/libsodium.a" ]; then
  echo "setup: cross-building libsodium (takes a few minutes)"
  source_entries
  src=$(fetch_source libsodium)
  debian=$(ls "$deps"/libsodium-src/libsodium_*.debian.tar.xz 2>/dev/null | head -n 1)
  if [ -n "$debian" ]; then
    tar -xJf "$debian" -C "$src"
    if [ -f "$src/debian/patches/series" ]; then
      while read -r patch; do
        case "$patch" in ''|'#'*) continue ;; esac
        patch -d "$src" -p1 -s < "$src/debian/patches/$patch"
      done < "$src/debian/patches/series"
    fi
  fi
  # The orig tarball carries no configure script: made here, as Debian's build does.
  (cd "$src" && autoreconf -fi >/dev/null 2>&1 \
   && ./configure --host=i686-w64-mingw32 --disable-shared --enable-static --enable-minimal \
      --disable-ssp --prefix="$deps/libsodium" CFLAGS="-O2 -DNDEBUG -ffunction-sections -fdata-sections" >/dev/null 2>&1 \
   && make -j"$(nproc)" >/dev/null 2>&1 \
   && make install >/dev/null)
  rm -rf "$deps/libsodium-src"
  [ -f "$deps/libsodium/lib/libsodium.a" ] || { echo "setup: the libsodium build failed" >&2; exit 1; }
fi

# GCC's libbacktrace for i686-w64-mingw32: the error log reads the plug-in's own DWARF
# with it where the symbol handler gives no line (Windows' dbghelp reads no DWARF).
# Debian's gcc-12-source ships GCC's tarball; only libbacktrace and the configure
# helpers it needs are unpacked. The headers kept include internal.h: the plug-in hands
# libbacktrace's DWARF reader the sections of its loaded image through it.
if [ ! -f "$deps/libbacktrace/lib/libbacktrace.a" ]; then
  echo "setup: cross-building libbacktrace"
  tarball=$(ls /usr/src/gcc-12/gcc-*.tar.xz 2>/dev/null | head -n 1)
  [ -n "$tarball" ] || { echo "setup: no GCC source tarball (gcc-12-source)" >&2; exit 1; }
  work="$deps/libbacktrace-src"
  rm -rf "$work" && mkdir -p "$work"
  # Only the folders and configure helpers libbacktrace's build needs, without GCC's
  # top folder name.
  tar -xJf "$tarball" -C "$work" --strip-components=1 --wildcards '*/libbacktrace/*' \
    '*/include/*' '*/config.sub' '*/config.guess' '*/install-sh' '*/ltmain.sh' '*/missing'
  mkdir -p "$work/build"
  (cd "$work/build" \
   && "$work/libbacktrace/configure" --host=i686-w64-mingw32 --disable-shared \
      --enable-static CFLAGS="-Os -ffunction-sections -fdata-sections" >/dev/null 2>&1 \
   && make -j"$(nproc)" libbacktrace.la >/dev/null 2>&1 \
   && mkdir -p "$deps/libbacktrace/lib" "$deps/libbacktrace/include" \
   && cp .libs/libbacktrace.a "$deps/libbacktrace/lib/" \
   && cp backtrace-supported.h "$work/libbacktrace/backtrace.h" \
         "$work/libbacktrace/internal.h" "$deps/libbacktrace/include/")
  rm -rf "$work"
  [ -f "$deps/libbacktrace/lib/libbacktrace.a" ] || { echo "setup: the libbacktrace build failed" >&2; exit 1; }
fi

# A private Wine prefix: no crash debugger prompt, nothing that waits for a person.
export WINEPREFIX="$deps/wineprefix" WINEDEBUG=-all WINEARCH=win32
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "setup: creating the Wine prefix"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
# An unhandled exception that nobody handles must end the program at once, not start
# Wine's debugger (it would print for many seconds, or wait for a person).
if ! grep -q '"Debugger"="no-debugger-configured"' "$WINEPREFIX/system.reg" 2>/dev/null; then
  key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
  wine reg add "$key" /v Auto /t REG_SZ /d 1 /f >/dev/null 2>&1 || true
  wine reg add "$key" /v Debugger /t REG_SZ /d no-debugger-configured /f >/dev/null 2>&1 || true
  wineserver -w || true
fi
echo "setup: ready"
