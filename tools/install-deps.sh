#!/usr/bin/env bash
# Installs what the builds need on Debian 12, and only what is missing.
#
#   install-deps.sh linux   the Linux libraries, tool, examples and tests
#   install-deps.sh release what tools/release.sh needs: also the MinGW cross
#                           compilers, llvm-dlltool and dpkg-shlibdeps
#   install-deps.sh         all presets: also clang's sanitizer runtime, the
#                           MinGW cross compilers, and the WoW64 Wine root
#                           (tools/wow64-root.sh) the Windows tests run in,
#                           and Mono for the C# example
#
# Wine is never installed on the host: both widths run in the root, where a
# 32-bit program runs through Wine's 64-bit side, with no emulator.
set -euo pipefail
cd "$(dirname "$0")/.."
scope=${1:-all}

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

packages=(cmake ninja-build g++ pkgconf python3 libgtest-dev libbenchmark-dev libsqlite3-dev
  libicu-dev sqlite3 libcli11-dev nlohmann-json3-dev)
if [ "$scope" = all ]; then
  # qtbase5-dev: QSettings, the peer the benchmarks time beside kelmix.
  # mono-mcs, mono-runtime: build and run the C# example (mcs pulls in the
  # class libraries it compiles against).
  # libglib2.0-dev, dconf-gsettings-backend, dbus-daemon: GSettings over
  # dconf, the other peer, in a session bus of its own (dbus-run-session).
  # dpkg-dev, file: the .deb's dependencies, read from the binaries by
  # dpkg-shlibdeps.
  packages+=(clang libclang-rt-14-dev llvm lld g++-mingw-w64-i686 g++-mingw-w64-x86-64 debootstrap
    qtbase5-dev libglib2.0-dev dconf-gsettings-backend dbus-daemon mono-mcs mono-runtime dpkg-dev
    file)
elif [ "$scope" = release ]; then
  packages+=(llvm g++-mingw-w64-i686 g++-mingw-w64-x86-64 dpkg-dev file)
elif [ "$scope" != linux ]; then
  echo "usage: install-deps.sh [linux|release]" >&2
  exit 2
fi

need=()
for p in "${packages[@]}"; do
  have "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "install-deps: missing ${need[*]}; run as root: apt-get install ${need[*]}" >&2
    exit 1
  fi
  echo "install-deps: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

if [ "$scope" = all ]; then
  # An earlier install handed i386 programs to qemu-user, under which 32-bit
  # Wine faults: that entry would go on catching them.
  if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    echo "install-deps: removing the qemu-i386 binfmt entry"
    echo -1 >/proc/sys/fs/binfmt_misc/qemu-i386 || true
  fi
  tools/wow64-root.sh ensure
fi
echo "install-deps: ready"
