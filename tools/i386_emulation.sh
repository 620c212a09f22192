#!/usr/bin/env bash
# Makes 32-bit Linux programs (Wine's i386 loader and the programs it starts) runnable on a
# host whose kernel runs 64-bit user code only: there the kernel refuses every i386 program
# with "Exec format error", and Wine cannot start at all. QEMU's user-mode emulator is then
# registered with the kernel for i386 programs, wine64 brings a native wineserver, and
# tools/emulation/fault_trap.c is built for Wine's processes (tools/common.sh preloads it).
# Where i386 programs run natively, nothing is done. The registration does not survive a
# reboot; tools/common.sh checks for it at every run.
#
# QEMU 7.2 (Debian 12) spends about 50 s of CPU in each Wine process start (its page-flag
# walks over Wine's large address reservations); the QEMU of bookworm-backports (10.x)
# takes a second or two, so that is the one installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
loader=/usr/lib/wine/wine
binfmt=/proc/sys/fs/binfmt_misc
shim="$root/deps/emulation/lib"

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
install_pkgs() {
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq -o DPkg::Lock::Timeout=300 \
    --no-install-recommends "$@" >/dev/null
}
qemu_major() { qemu-i386-static --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p'; }

if ! "$loader" --version >/dev/null 2>&1; then
  echo "setup: this kernel runs no i386 programs; Wine's loader runs under QEMU's emulator"
  major=$(qemu_major)
  if [ -z "$major" ] || [ "$major" -lt 8 ]; then
    if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      echo 'deb http://deb.debian.org/debian bookworm-backports main' \
        | as_root tee /etc/apt/sources.list.d/bookworm-backports.list >/dev/null
    fi
    as_root apt-get update -qq
    install_pkgs -t bookworm-backports qemu-user-static
  fi
  dpkg -s wine64 >/dev/null 2>&1 || install_pkgs wine64

  [ -e "$binfmt/register" ] || as_root mount -t binfmt_misc binfmt_misc "$binfmt"
  # An older registration may name another emulator (the F flag keeps the file it opened).
  for entry in "$binfmt"/qemu-i386*; do
    if [ -e "$entry" ]; then echo -1 | as_root tee "$entry" >/dev/null; fi
  done
  # ELF, 32-bit, little-endian, executable or shared object (e_type 2 or 3), machine 3.
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
    | as_root tee "$binfmt/register" >/dev/null
  "$loader" --version >/dev/null 2>&1 || { echo "setup: i386 programs still do not run" >&2; exit 1; }
fi

# Under the emulator, Wine's processes preload the fault-number mend; the dynamic loader picks
# the build of the program's own class through $LIB (64-bit programs get an empty one).
if grep -qs '^enabled' "$binfmt/qemu-i386" && [ ! -f "$shim/i386-linux-gnu/libfault_trap.so" ]; then
  [ -f /usr/lib32/crt1.o ] || install_pkgs gcc-multilib
  mkdir -p "$shim/i386-linux-gnu" "$shim/x86_64-linux-gnu"
  gcc -m32 -O2 -Wall -Wextra -shared -fPIC -o "$shim/i386-linux-gnu/libfault_trap.so" \
    "$root/tools/emulation/fault_trap.c" -ldl
  gcc -O2 -Wall -Wextra -shared -fPIC -o "$shim/x86_64-linux-gnu/libfault_trap.so" \
    "$root/tools/emulation/fault_trap.c"
fi
