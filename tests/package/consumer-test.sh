#!/usr/bin/env bash
# Installs a build into a fresh prefix and builds a host project against it,
# through find_package and (Linux) pkg-config, then runs what was built.
# usage: consumer-test.sh CMAKE BUILD_DIR WORK_DIR [TOOLCHAIN_FILE [RUNNER...]]
# With a toolchain file (MinGW) the consumer is cross-built; RUNNER (Wine)
# then runs it.
set -euo pipefail
cmake=$1 build=$2 work=$3
toolchain=${4:-}
runner=("${@:5}")
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix

rm -rf "$work"
mkdir -p "$work"
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log"

# The static cores are inside the libraries; the package must not ask for them.
if grep -l "_core" "$prefix"/lib*/cmake/kelmix/*.cmake; then
  echo "installed package files refer to the internal static cores"
  exit 1
fi

args=(-S "$here/consumer" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_PREFIX_PATH="$prefix")
if [ -n "$toolchain" ]; then
  # The host imports only system DLLs and ours, as it would on Windows.
  args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_EXE_LINKER_FLAGS=-static)
fi
"$cmake" "${args[@]}" >"$work/configure.log" || { cat "$work/configure.log"; exit 1; }
"$cmake" --build "$work/build"

tag=$$
if [ -z "$toolchain" ]; then
  export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work
  "$work/build/consumer_c" "KelmixConsumerC$tag"
  "$work/build/consumer_cxx" "KelmixConsumerCxx$tag"

  # The same sources through pkg-config.
  pcdir=$(dirname "$(find "$prefix" -name kelmix_x64.pc)")
  export PKG_CONFIG_PATH=$pcdir
  libdir=$(pkg-config --variable=libdir kelmix_x64)
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Werror -o "$work/consumer_pc_c" "$here/consumer/consumer.c" \
    $(pkg-config --cflags --libs kelmix_x64) -Wl,-rpath,"$libdir"
  # shellcheck disable=SC2046
  c++ -std=c++17 -Wall -Werror -o "$work/consumer_pc_cxx" "$here/consumer/consumer.cc" \
    $(pkg-config --cflags --libs kelmix2) -Wl,-rpath,"$libdir"
  "$work/consumer_pc_c" "KelmixConsumerPcC$tag"
  "$work/consumer_pc_cxx" "KelmixConsumerPcCxx$tag"
elif [ ${#runner[@]} -gt 0 ]; then
  cp "$prefix"/bin/*.dll "$work/build/"
  "${runner[@]}" "$work/build/consumer_c.exe" "KelmixConsumerC$tag"
  "${runner[@]}" "$work/build/consumer_cxx.exe" "KelmixConsumerCxx$tag"
fi
echo "consumer: ok"
