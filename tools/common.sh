# Shared by the README's commands: set-up when something is missing, and the
# environment that runs Windows programs under Wine in the project's own prefix.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The developer's Python scripts (tools/) import the server's package from server/.
export PYTHONPATH="$root/server:$root/tools${PYTHONPATH:+:$PYTHONPATH}" PYTHONDONTWRITEBYTECODE=1

ensure_setup() {
  local missing=0
  for tool in i686-w64-mingw32-g++ wine cmake ninja python3 clang++-14 openssl /usr/sbin/nginx /usr/bin/gunicorn \
              dh dh_python3 po2debconf lintian ip systemd-sysusers systemd-analyze chromium; do
    command -v "$tool" >/dev/null 2>&1 || missing=1
  done
  [ -f "$root/deps/openssl/lib/libcrypto.a" ] || missing=1
  [ -f "$root/deps/libsodium/lib/libsodium.a" ] || missing=1
  [ -f "$root/deps/libbacktrace/lib/libbacktrace.a" ] || missing=1
  command -v lldb-14 >/dev/null 2>&1 || missing=1
  ls /usr/src/gcc-12/gcc-*.tar.xz >/dev/null 2>&1 || missing=1
  [ -f /usr/include/sodium.h ] || missing=1
  grep -q no-debugger-configured "$root/deps/wineprefix/system.reg" 2>/dev/null || missing=1
  [ -f /usr/include/doctest/doctest.h ] || missing=1
  # libclang's bindings (the mutation tools and their test in the default suite).
  [ -f /usr/lib/python3/dist-packages/clang/cindex.py ] || missing=1
  # Wine's i386 loader runs (natively, or through the emulator that setup registers).
  /usr/lib/wine/wine --version >/dev/null 2>&1 || missing=1
  if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
    [ -f "$root/deps/emulation/lib/i386-linux-gnu/libfault_trap.so" ] || missing=1
  fi
  if [ "$missing" = 1 ]; then
    bash "$root/tools/setup.sh" || return 1
  fi
  export WINEPREFIX="$root/deps/wineprefix" WINEDEBUG=-all WINEARCH=win32
  # Under QEMU's emulator (tools/i386_emulation.sh) Wine's processes take the fault-number
  # mend, and a scenario gets more time: each Wine start costs seconds, not milliseconds.
  if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
    export QEMU_SET_ENV="LD_PRELOAD=$root/deps/emulation/\$LIB/libfault_trap.so"
    scenario_timeout=400
  fi
  # One Wine server for the whole run instead of one per program, and the prefix's
  # background services started now, detached from any caller's output.
  wineserver -p 300 >/dev/null 2>&1 || true
  wine cmd /c exit >/dev/null 2>&1 </dev/null || true
}

scenario_timeout=60

build_preset() {
  local options=()
  [ "$1" = mingw ] && options=(-DMURMELON_SCENARIO_TIMEOUT="$scenario_timeout")
  cmake --preset "$1" "${options[@]}" >/dev/null
  cmake --build --preset "$1"
}
