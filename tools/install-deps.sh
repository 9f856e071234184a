#!/usr/bin/env bash
# Installs what the three build presets and their test runs need on Debian 12:
# the MinGW cross compilers, 64-bit and 32-bit Wine, and qemu-user registered
# for i386 ELF binaries (this kernel cannot run 32-bit x86 code itself).
# Safe to run again: it installs only what is missing.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for p in cmake ninja-build g++ libgtest-dev libbenchmark-dev libsqlite3-dev libicu-dev sqlite3 \
  pkg-config clang libclang-rt-14-dev libcli11-dev nlohmann-json3-dev llvm g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 qemu-user; do
  have "$p" || need+=("$p")
done
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  updated=0
fi
have wine32:i386 || need+=("wine32:i386")

if [ ${#need[@]} -gt 0 ]; then
  echo "install-deps: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# Let the kernel hand i386 ELF binaries (32-bit Wine's loader) to qemu.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
fi
if [ -e "$binfmt/register" ] && [ ! -e "$binfmt/qemu-i386" ]; then
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:OC' \
    >"$binfmt/register"
fi
echo "install-deps: ready"
