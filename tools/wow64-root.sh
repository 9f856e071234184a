#!/usr/bin/env bash
# A Debian sid root whose Wine runs in WoW64 mode: 64-bit Windows programs and
# 32-bit ones, the latter through the 64-bit side as on 64-bit Windows, with no
# 32-bit support from the kernel and no emulator.
#
#   wow64-root.sh ensure                  make the root, or reuse a sound one
#   wow64-root.sh run [--bind DIR]... -- COMMAND [ARGS...]
#                                         COMMAND inside the root, each DIR
#                                         mounted at its own path
#   wow64-root.sh path                    print where the root is
#
# The root lives outside the checkout (KX_WOW64_ROOT, default
# /var/lib/kelmix/wow64-sid for root, ~/.cache/kelmix/wow64-sid otherwise). As
# root it is entered with chroot; otherwise through an unprivileged user
# namespace. Every run gets a mount namespace of its own, so no mount outlives
# it on the host.
set -euo pipefail

if [ "$(id -u)" = 0 ]; then
  default_root=/var/lib/kelmix/wow64-sid
else
  default_root=${XDG_CACHE_HOME:-$HOME/.cache}/kelmix/wow64-sid
fi
root=${KX_WOW64_ROOT:-$default_root}
# The loader runs 64-bit and 32-bit programs alike.
loader=/usr/lib/x86_64-linux-gnu/wine/wine

# The Debian archive apt on this machine already uses: the first URI of a
# source whose path ends in /debian (security and update archives end
# otherwise). KX_WOW64_MIRROR overrides it.
apt_mirror() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -r "$f" ] || continue
    awk '
      /^[[:space:]]*#/ { next }
      $1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { print $i; break } }
      $1 == "URIs:" { for (i = 2; i <= NF; i++) print $i }
    ' "$f"
  done | grep -E '^https?://[^ ]+/debian/?$' | head -1 | sed 's,/$,,'
  true
}
mirror=${KX_WOW64_MIRROR:-$(apt_mirror)}

die() {
  echo "wow64-root: $*" >&2
  exit 1
}

sound() {
  [ -f "$root/.kelmix-ready" ] && [ -x "$root$loader" ] &&
    [ -d "$root/usr/lib/x86_64-linux-gnu/wine/i386-windows" ] &&
    run_inside "$loader" --version >/dev/null 2>&1
}

# run_inside [--bind DIR]... COMMAND...: enters the root in a fresh mount
# namespace (a user namespace too when not root).
run_inside() {
  local binds=()
  while [ "${1:-}" = --bind ]; do
    binds+=("$(realpath "$2")")
    shift 2
  done
  [ "${1:-}" = -- ] && shift
  local ns=(unshare --mount --propagation private)
  [ "$(id -u)" = 0 ] || ns=(unshare --user --map-root-user --mount --propagation private)
  "${ns[@]}" -- /bin/sh -c "$enter" sh "$root" "${binds[@]}" -- "$@"
}

# Runs in the new namespace: the mounts, then the command in the root.
enter='
set -e
root=$1
shift
mount --rbind /proc "$root/proc"
mount --rbind /dev "$root/dev"
while [ "$1" != -- ]; do
  mkdir -p "$root$1"
  mount --rbind "$1" "$root$1"
  shift
done
shift
# Under a user namespace the real root'"'"'s home is not writable.
if [ -w "$root/root" ]; then home=/root; else home=/tmp; fi
# Wine wants a runtime folder of its own user.
runtime=${XDG_RUNTIME_DIR:-}
if [ -z "$runtime" ] || [ ! -d "$root$runtime" ]; then
  runtime=/tmp/runtime-$(id -u)
  mkdir -p -m 0700 "$root$runtime"
fi
# The caller'"'"'s folder holds inside too when it is mounted there.
exec env -u LD_PRELOAD -u LD_LIBRARY_PATH HOME="$home" XDG_RUNTIME_DIR="$runtime" \
  PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin chroot "$root" /bin/sh -c \
  "cd \"\$0\" 2>/dev/null || cd /; exec \"\$@\"" "$PWD" "$@"
'

make_root() {
  [ "$(id -u)" = 0 ] || die "making $root needs root (apt-get and debootstrap); run as root once, or set KX_WOW64_ROOT"
  command -v debootstrap >/dev/null || die "debootstrap is missing (tools/install-deps.sh installs it)"
  [ -n "$mirror" ] || die "no Debian archive in apt's sources; set KX_WOW64_MIRROR"
  if [ -e "$root" ]; then
    # Never delete through a mount a crashed run might have left behind.
    if findmnt -rn -o TARGET | grep -q "^$root/"; then die "$root has mounts inside; unmount them first"; fi
    echo "wow64-root: $root is incomplete or broken: making it again"
    rm -rf --one-file-system "$root"
  fi
  mkdir -p "$(dirname "$root")"
  local tmp=$root.new
  rm -rf --one-file-system "$tmp"
  echo "wow64-root: debootstrap sid into $root"
  debootstrap --variant=minbase sid "$tmp" "$mirror" >"$tmp.log" 2>&1 ||
    { tail -20 "$tmp.log" >&2; die "debootstrap failed (log: $tmp.log)"; }
  # The archive's Release file may be past its validity date.
  local apt=(apt-get -o Acquire::Check-Valid-Until=false -o Dpkg::Use-Pty=0 -qq)
  root=$tmp run_inside "${apt[@]}" update >>"$tmp.log" 2>&1 ||
    { tail -20 "$tmp.log" >&2; die "apt-get update in the root failed (log: $tmp.log)"; }
  root=$tmp run_inside env DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y \
    --no-install-recommends wine64 wine >>"$tmp.log" 2>&1 ||
    { tail -20 "$tmp.log" >&2; die "installing Wine in the root failed (log: $tmp.log)"; }
  root=$tmp run_inside "${apt[@]}" clean >/dev/null 2>&1 || true
  root=$tmp run_inside "$loader" --version >"$tmp/.kelmix-ready"
  mv "$tmp" "$root"
  rm -f "$tmp.log"
  echo "wow64-root: ready ($(cat "$root/.kelmix-ready"))"
}

case "${1:-}" in
  ensure)
    mkdir -p "$(dirname "$root")"
    exec 9>"$root.lock"
    flock 9
    sound || make_root
    ;;
  run)
    shift
    [ -f "$root/.kelmix-ready" ] || die "no root at $root: run tools/wow64-root.sh ensure"
    run_inside "$@"
    ;;
  path)
    echo "$root"
    ;;
  *)
    die "usage: wow64-root.sh ensure | run [--bind DIR]... -- COMMAND... | path"
    ;;
esac
