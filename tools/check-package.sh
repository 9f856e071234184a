#!/usr/bin/env bash
# Makes a built preset's packages and checks each as a user meets it.
#   linux         the tarball's and the .deb's files against the list below;
#                 the .deb installed with dpkg, a host built against it with
#                 pkg-config and with find_package and run, the tool run, and
#                 the package removed again
#   win32, win64  the zip unpacked into an empty folder, its files against
#                 the list; a C and a C++ host built with MinGW against only
#                 what it holds and run under Wine beside its DLLs, with the
#                 tool; its DLLs and MSVC import libraries checked as CTest
#                 checks the build's
# usage: check-package.sh PRESET [--no-run]
#   --no-run  build the hosts but run nothing (a kernel that runs no 32-bit
#             code)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=$1 run=${2:-}
build=$PWD/build/$preset
work=$build/package-check
src=$PWD/tests/package/consumer

cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version=$(cache CMAKE_PROJECT_VERSION)
fail() {
  echo "check-package: $preset: $*" >&2
  exit 1
}

rm -rf "$work"
mkdir -p "$work"
cmake --build --preset "$preset" --target package >"$work/package.log" 2>&1 ||
  { cat "$work/package.log"; fail "packaging failed"; }
(cd "$build/packages" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"

# The files a package holds, one per line, sorted; the build type in the
# CMake targets file's name is left out.
same_files() { # WHAT EXPECTED... (the actual list on stdin)
  local what=$1
  shift
  local want got
  want=$(printf '%s\n' "$@" | sort)
  got=$(sed 's/kelmixTargets-[a-z]*\.cmake$/kelmixTargets-CONFIG.cmake/' | sort)
  [ "$want" = "$got" ] || {
    diff <(echo "$want") <(echo "$got") | sed -n 's/^</  missing:/p; s/^>/  extra:  /p' >&2
    fail "$what does not hold what it should"
  }
}
cmake_files=(lib/cmake/kelmix/kelmixConfig.cmake lib/cmake/kelmix/kelmixConfigVersion.cmake
  lib/cmake/kelmix/kelmixTargets.cmake lib/cmake/kelmix/kelmixTargets-CONFIG.cmake)

if [ "$preset" = linux ]; then
  files=(bin/kelmix include/kelmix.h lib/libkelmix2.so lib/libkelmix_x64.so
    lib/pkgconfig/kelmix2.pc lib/pkgconfig/kelmix_x64.pc "${cmake_files[@]}"
    share/doc/kelmix/README.md share/doc/kelmix/LICENSE share/doc/kelmix/CHANGELOG.md)
  tarball=$build/packages/kelmix-$version-Linux.tar.gz
  tar tzf "$tarball" | grep -v '/$' | sed "s|^kelmix-$version-Linux/||" |
    same_files "$(basename "$tarball")" "${files[@]}"
  deb=$(echo "$build"/packages/kelmix_"$version"_*.deb)
  [ -f "$deb" ] || fail "no .deb in $build/packages"
  dpkg-deb -c "$deb" | awk '/^-/ { print $6 }' | sed 's|^\./usr/||' |
    same_files "$(basename "$deb")" "${files[@]}"
  dpkg-deb -f "$deb" Depends | grep libsqlite3 >/dev/null || fail "the .deb does not depend on SQLite"

  if [ "$(id -u)" != 0 ]; then
    echo "check-package: linux: not root, so the .deb is not installed"
    exit 0
  fi
  # Only on a machine where it changes nothing but itself: dpkg would
  # overwrite files that no package owns, a `cmake --install` into /usr's.
  if dpkg-query -W -f='${Status}' kelmix 2>/dev/null | grep 'ok installed' >/dev/null; then
    fail "a kelmix package is installed already; it is left alone"
  fi
  for f in "${files[@]}"; do
    [ ! -e "/usr/$f" ] || fail "/usr/$f exists already; the .deb would replace it"
  done
  trap 'dpkg -P kelmix >/dev/null || true' EXIT
  dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i failed"; }

  export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work
  # find_package with no hints; it must be the package's files it found.
  cmake -S "$src" -B "$work/cmake" -G Ninja >"$work/configure.log" ||
    { cat "$work/configure.log"; fail "find_package(kelmix) failed"; }
  [ "$(sed -n 's/^kelmix_DIR:PATH=//p' "$work/cmake/CMakeCache.txt")" = /usr/lib/cmake/kelmix ] ||
    fail "find_package(kelmix) found another install"
  cmake --build "$work/cmake" >"$work/build.log" || { cat "$work/build.log"; fail "build failed"; }
  "$work/cmake/consumer_c" KelmixDebC$$
  "$work/cmake/consumer_cxx" KelmixDebCxx$$
  [ "$(pkg-config --path kelmix_x64)" = /usr/lib/pkgconfig/kelmix_x64.pc ] ||
    fail "pkg-config finds another kelmix_x64.pc"
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Werror -o "$work/consumer_pc" "$src/consumer.c" \
    $(pkg-config --cflags --libs kelmix_x64)
  # /lib is /usr/lib on a merged /usr.
  ldd "$work/consumer_pc" | grep -E '=> (/usr)?/lib/libkelmix_x64\.so' >/dev/null ||
    fail "the host does not load the package's library"
  "$work/consumer_pc" KelmixDebPc$$
  kelmix set KelmixDebTool$$ answer --int 42
  [ "$(kelmix get KelmixDebTool$$ answer)" = 42 ] || fail "kelmix get did not read back"
  kelmix wipe KelmixDebTool$$

  dpkg -P kelmix >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -P failed"; }
  trap - EXIT
  for f in "${files[@]}"; do
    [ ! -e "/usr/$f" ] || fail "/usr/$f is left after dpkg -P"
  done
  echo "check-package: linux: $(basename "$tarball") and $(basename "$deb") ok"
  exit 0
fi

# Windows: the zip.
lib_arch=x86-64 bits=64-bit defs=(lib/kelmix.def)
if [ "$preset" = win32 ]; then
  lib_arch=i386 bits=32-bit defs=(lib/kelmix.def lib/kelmix32.def)
fi
zip=$build/packages/kelmix-$version-$preset.zip
unpacked=$work/unpacked
mkdir -p "$unpacked"
(cd "$unpacked" && cmake -E tar xf "$zip")
(cd "$unpacked" && find . -type f -printf '%P\n') |
  same_files "$(basename "$zip")" README.md LICENSE CHANGELOG.md bin/kelmix.exe bin/kelmix2.dll \
    bin/kelmix_x64.dll include/kelmix.h lib/libkelmix2.dll.a lib/libkelmix_x64.dll.a \
    lib/kelmix2.lib lib/kelmix_x64.lib "${defs[@]}" "${cmake_files[@]}"
head -3 "$unpacked/README.md" | grep "$bits" >/dev/null || fail "the README does not say $bits"

# A host as its user builds it: the zip's header and import libraries, the
# runtime linked in so that only system DLLs and ours are imported.
host=$work/host
mkdir -p "$host"
toolchain=$(cache CMAKE_TOOLCHAIN_FILE)
cc=$(sed -n 's/^set(CMAKE_C_COMPILER \(.*\))$/\1/p' "$toolchain")
cxx=$(sed -n 's/^set(CMAKE_CXX_COMPILER \(.*\))$/\1/p' "$toolchain")
"$cc" -std=c99 -Wall -Werror -DKELMIX_NARROW -I"$unpacked/include" -o "$host/consumer_c.exe" \
  "$src/consumer.c" -L"$unpacked/lib" -lkelmix_x64 -static-libgcc
"$cxx" -std=c++17 -Wall -Werror -I"$unpacked/include" -o "$host/consumer_cxx.exe" \
  "$src/consumer.cc" -L"$unpacked/lib" -lkelmix2 -static
objdump=${cc%-gcc*}-objdump
for exe in "$host"/*.exe; do
  "$objdump" -p "$exe" | grep -i 'DLL Name: kelmix' >/dev/null ||
    fail "$(basename "$exe") imports no kelmix DLL"
done

# The DLLs as shipped (stripped): exports, ordinals, imports, version.
for dll in kelmix2 kelmix_x64; do
  python3 tools/check-dll.py "$objdump" "$unpacked/bin/$dll.dll" >/dev/null &&
    python3 tools/check-version-resource.py "$objdump" "$unpacked/bin/$dll.dll" "$version" \
      >/dev/null || fail "bin/$dll.dll"
done
msvc_host=()
if [[ "$(cache KX_CLANG)$(cache KX_LLD_LINK)" != *NOTFOUND* ]]; then
  msvc_host=("$(cache KX_CLANG)" "$(cache KX_LLD_LINK)" "$objdump")
fi
for dll in kelmix2 kelmix_x64; do
  python3 tools/check-import-lib.py "$(cache KX_LLVM_NM)" "$unpacked/lib/$dll.lib" "$lib_arch" \
    "$unpacked/include" "${msvc_host[@]}" || fail "$dll.lib"
done

if [ "$run" = --no-run ]; then
  echo "check-package: $preset: $(basename "$zip") ok; its hosts were built, not run"
  exit 0
fi
cp "$unpacked"/bin/*.dll "$host/"
wine=(tools/wine-run.sh "$preset" "$build/wineprefix")
"${wine[@]}" "$host/consumer_c.exe" KelmixZipC$$
"${wine[@]}" "$host/consumer_cxx.exe" KelmixZipCxx$$
"${wine[@]}" "$unpacked/bin/kelmix.exe" set KelmixZipTool$$ answer --int 42
"${wine[@]}" "$unpacked/bin/kelmix.exe" wipe KelmixZipTool$$
echo "check-package: $preset: $(basename "$zip") ok"
