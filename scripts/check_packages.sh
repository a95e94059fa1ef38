#!/usr/bin/env bash
# Checks the install rules and the package of one build, as a user meets them.
#
#   bash scripts/check_packages.sh posix BUILD_DIR     install rules, the .deb
#   bash scripts/check_packages.sh windows BUILD_DIR   install rules, the .zip
#
# The packages are left in BUILD_DIR/packages. With QUORREX_INSTALL_DEB=1 the
# .deb is also installed on this machine (with sudo when not root) and the
# installed program and manual page are tried.
set -euo pipefail
cd "$(dirname "$0")/.."

kind=$1
build=$2
version=$(sed -n 's/^project(Quorrex VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
work=$(mktemp -d /tmp/quorrex-packages.XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() { echo "check_packages: $*" >&2; exit 1; }
expect_file() { [ -f "$1" ] || fail "missing after install: $1"; }

# A small tree with one symbolic link and one pair of hard links, and what a
# run on it must end with.
make_tree() {
  mkdir -p "$1/sub"
  echo data >"$1/sub/a"
  ln "$1/sub/a" "$1/b"
  ln -s sub "$1/link"
}
check_run() {
  local program=$1 tree=$2 out
  out=$("$program" "$tree" -s) || fail "$program exited with $?"
  grep -qx 'reparse point (symlink) '"$tree"'/link' <<<"$out" || fail "no link in: $out"
  grep -qx '\* 1 reparse point:' <<<"$out" || fail "wrong count in: $out"
  grep -qx '\* 1 hard link group' <<<"$out" || fail "no group in: $out"
}

case $kind in
posix)
  DESTDIR="$work/destdir" cmake --install "$build" --prefix /opt/q >/dev/null
  expect_file "$work/destdir/opt/q/bin/quorrex"
  expect_file "$work/destdir/opt/q/share/man/man1/quorrex.1.gz"
  cmake --install "$build" --prefix "$work/prefix" >/dev/null
  expect_file "$work/prefix/bin/quorrex"
  make_tree "$work/tree"
  check_run "$work/prefix/bin/quorrex" "$work/tree"
  echo "install rules: bin/quorrex, share/man/man1/quorrex.1.gz (DESTDIR and --prefix)"

  rm -rf "$build/packages"
  cpack --config "$build/CPackConfig.cmake" -B "$build/packages" >/dev/null
  deb=$(ls "$build"/packages/quorrex_"$version"_*.deb)
  dpkg-deb -c "$deb" | tee "$work/contents"
  grep -q ' \./usr/bin/quorrex$' "$work/contents" || fail "no /usr/bin/quorrex in $deb"
  grep -q ' \./usr/share/man/man1/quorrex\.1\.gz$' "$work/contents" ||
    fail "no manual page in $deb"
  dpkg-deb -I "$deb" | tee "$work/control"
  grep -qx ' Package: quorrex' "$work/control" || fail "package name"
  grep -qx " Version: $version" "$work/control" || fail "version is not $version"
  grep -qx ' Section: utils' "$work/control" || fail "section"
  grep -q '^ Maintainer: .* <.*>$' "$work/control" || fail "maintainer"
  grep -q '^ Depends: .*libc6' "$work/control" || fail "no dependencies from dpkg-shlibdeps"
  grep -q '^ Description: ' "$work/control" || fail "description"

  dpkg-deb -x "$deb" "$work/root"
  check_run "$work/root/usr/bin/quorrex" "$work/tree"
  [ "$(MANPATH="$work/root/usr/share/man" man -w quorrex)" = \
    "$work/root/usr/share/man/man1/quorrex.1.gz" ] || fail "man -w does not find the page"
  MANWIDTH=80 man -l "$work/root/usr/share/man/man1/quorrex.1.gz" | grep -q 'EXIT STATUS' ||
    fail "the packaged manual page is not the program's"
  echo "package: $deb"

  if [ "${QUORREX_INSTALL_DEB:-0}" = 1 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    # Minimal images keep manual pages out of installed packages; this one's
    # page is what is being checked.
    $sudo dpkg --path-include='/usr/share/man/man1/quorrex.1.gz' -i "$deb"
    check_run /usr/bin/quorrex "$work/tree"
    [ "$(man -w quorrex)" = /usr/share/man/man1/quorrex.1.gz ] ||
      fail "man -w quorrex does not find the installed page"
    man quorrex | grep -q 'EXIT STATUS' || fail "man quorrex shows no page"
    echo "installed: /usr/bin/quorrex, man quorrex"
  fi
  ;;
windows)
  DESTDIR="$work/destdir" cmake --install "$build" --prefix /q >/dev/null
  expect_file "$work/destdir/q/quorrex.exe"
  expect_file "$work/destdir/q/README.md"

  rm -rf "$build/packages"
  cpack --config "$build/CPackConfig.cmake" -B "$build/packages" >/dev/null
  zip=$(ls "$build"/packages/quorrex-"$version"-windows-*.zip)
  top=$(basename "$zip" .zip)
  unzip -l "$zip" | tee "$work/contents"
  grep -q " $top/quorrex\.exe$" "$work/contents" || fail "no quorrex.exe in $zip"
  grep -q " $top/README\.md$" "$work/contents" || fail "no README.md in $zip"
  [ "$(grep -c " $top/" "$work/contents")" -eq 2 ] || fail "$zip holds more than the two files"
  unzip -q "$zip" -d "$work/zip"
  if [[ $top == *-windows-x86 ]]; then
    file "$work/zip/$top/quorrex.exe" | grep -q 'PE32 executable (console) Intel 80386' ||
      fail "quorrex.exe is not a 32-bit console program: $(file "$work/zip/$top/quorrex.exe")"
  fi
  echo "package: $zip"
  ;;
*)
  fail "unknown kind $kind"
  ;;
esac
