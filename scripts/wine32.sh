#!/usr/bin/env bash
# Runs a command under a 32-bit Wine, for the 32-bit Windows programs:
#
#   bash scripts/wine32.sh wine build/windows-x86/tests/quorrex_tests.exe
#
# This machine kind executes no 32-bit x86 code, so the host's Wine cannot
# start a 32-bit program. The command runs instead in a Debian trixie root
# with Wine 10, whose 32-bit loader runs under qemu-i386. qemu is registered
# for 32-bit programs in a binfmt_misc of a private user namespace (Linux 6.7
# or later); nothing is registered or mounted on the host.
#
# The first run builds the root and a Wine prefix in a cache folder outside
# the checkout (about 4 minutes, 2.5 GB for the root and 1.4 GB for the
# prefix); later runs reuse them. Building the root needs root (or sudo) and
# Debian's mirror; running a command afterwards needs neither.
#
# The current folder is bound into the root at its own path and the command
# starts there, so paths below it, relative or absolute, work as on the host.
#
#   QUORREX_WINE32_CACHE   the cache folder (default
#                          ${XDG_CACHE_HOME:-$HOME/.cache}/quorrex-wine32)
#   QUORREX_DEBIAN_MIRROR  the Debian mirror (default http://deb.debian.org/debian)
set -euo pipefail

cache=${QUORREX_WINE32_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorrex-wine32}
mirror=${QUORREX_DEBIAN_MIRROR:-http://deb.debian.org/debian}
root=$cache/root
prefix=$cache/prefix
work=$(pwd -P)

die() {
  printf 'wine32.sh: %s\n' "$*" >&2
  exit 2
}

(($#)) || die "usage: bash scripts/wine32.sh COMMAND [ARGUMENT...]"
case "$(uname -m)" in
  x86_64) ;;
  *) die "this runs on x86-64 Linux only, not $(uname -m)" ;;
esac
mkdir -p "$cache"
cache=$(cd "$cache" && pwd -P)
root=$cache/root
prefix=$cache/prefix
mkdir -p "$prefix"
case "$cache/" in
  "$work"/*) die "the cache folder $cache is inside the current folder, which is bound into the root; choose another with QUORREX_WINE32_CACHE" ;;
esac

# --- What the kernel must offer ----------------------------------------------
if ! unshare --user --map-root-user true 2>/dev/null; then
  die "this kernel refuses a user namespace to this user (see kernel.unprivileged_userns_clone and user.max_user_namespaces); the 32-bit Wine runs only in one"
fi
probe=$(mktemp -d)
if ! unshare --user --map-root-user --mount sh -c 'mount -t binfmt_misc binfmt_misc "$1"' _ "$probe" 2>/dev/null; then
  rmdir "$probe"
  die "this kernel ($(uname -r)) gives a user namespace no binfmt_misc of its own (Linux 6.7 or later does); without one qemu-i386 cannot be registered for the 32-bit loader without registering it on the host, which this script does not do"
fi
rmdir "$probe"

# --- The namespace that runs anything inside the root -------------------------
# Inside a new user and mount namespace: a binfmt_misc of its own with
# qemu-i386 for 32-bit ELF programs (the F flag opens the interpreter now, so
# it is found from inside the chroot), /proc, /dev, the prefix and the
# current folder bound in, then chroot with a clean environment.
inside() {
  local cwd=$1
  shift
  unshare --user --map-root-user --mount --fork --kill-child bash -s -- "$root" "$prefix" "$work" "$cwd" "$@" <<'EOF'
set -eu
root=$1 prefix=$2 work=$3 cwd=$4
shift 4
binfmt=$root/run/quorrex-binfmt
mkdir -p "$binfmt" "$root/prefix" "$root$work"
mount -t binfmt_misc binfmt_misc "$binfmt"
printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$root"'/usr/bin/qemu-i386:F' \
  >"$binfmt/register"
mount --rbind /proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --bind "$prefix" "$root/prefix"
mount --bind "$work" "$root$work"
# A runtime folder of the user's own, which Wine asks for.
mkdir -p -m 700 "$root/run/quorrex-runtime"
# The root's own resolver settings, for apt.
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
  LANG=C.UTF-8 XDG_RUNTIME_DIR=/run/quorrex-runtime WINEPREFIX=/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  DEBIAN_FRONTEND=noninteractive /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$cwd" "$@"
EOF
}

# --- Building the root and the prefix, once -----------------------------------
build_root() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if ! command -v debootstrap >/dev/null 2>&1; then
    echo "wine32.sh: installing debootstrap" >&2
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap
  fi
  echo "wine32.sh: building a Debian trixie root with Wine in $root (about 4 minutes)" >&2
  $sudo rm -rf "$root"
  # debootstrap mounts /proc and /sys in the root; a private mount namespace
  # keeps those mounts off the host.
  $sudo unshare --mount --propagation private \
    debootstrap --variant=minbase trixie "$root" "$mirror"
  # The downloads run as root, outside the user namespace, where apt has its
  # own user to drop to; the 32-bit packages are only downloaded here, as
  # their maintainer scripts run 32-bit programs.
  $sudo unshare --mount --propagation private --fork sh -c '
    set -e
    root=$1
    mount -t proc proc "$root/proc"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin DEBIAN_FRONTEND=noninteractive sh -c "
      set -e
      dpkg --add-architecture i386
      apt-get update -q
      apt-get install -y -q --no-install-recommends wine64 wine qemu-user ca-certificates
      apt-get install -y -q -d --no-install-recommends wine32:i386
    "' sh "$root"
  if [ -n "$sudo" ]; then
    $sudo chown -R "$(id -u):$(id -g)" "$root"
  fi
  # In the user namespace only root is mapped: apt has no other user to
  # drop to, and chown to other users fails harmlessly.
  inside / apt-get install -y -q --no-install-recommends -o APT::Sandbox::User=root wine32:i386
  inside / apt-get clean
  touch "$root/.quorrex-ready"
}

build_prefix() {
  echo "wine32.sh: making a Wine prefix in $prefix" >&2
  rm -rf "$prefix"
  mkdir -p "$prefix"
  inside / sh -c 'wine wineboot -i && wineserver -w'
  touch "$prefix/.quorrex-ready"
}

exec 9>"$cache/lock"
flock 9
if [ ! -e "$root/.quorrex-ready" ]; then
  build_root >"$cache/setup.log" 2>&1 || {
    tail -n 30 "$cache/setup.log" >&2
    die "building the root failed; the whole log is $cache/setup.log"
  }
fi
if [ ! -e "$prefix/.quorrex-ready" ]; then
  build_prefix >>"$cache/setup.log" 2>&1 || {
    tail -n 30 "$cache/setup.log" >&2
    die "making the prefix failed; the whole log is $cache/setup.log"
  }
fi
flock -u 9

# --- The command ---------------------------------------------------------------
# The Wine server of the prefix is ended with the command, so that nothing
# keeps the namespace alive after it.
inside "$work" sh -c '"$@"; status=$?; wineserver -k 2>/dev/null || true; exit $status' sh "$@"
