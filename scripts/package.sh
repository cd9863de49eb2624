#!/usr/bin/env bash
# Makes the packages from a Linux and a Windows build, and from a Linux build
# for arm64 when one is given, and checks them: build-packages/
# brenzolt_VERSION_amd64.deb, brenzolt-VERSION-win64.zip and
# brenzolt_VERSION_arm64.deb, each with a .sha256 beside it. A Debian package
# must have no lintian error, and unpacked (not installed) it must convert the
# sample grid, the arm64 one under qemu-aarch64.
#
#   bash scripts/package.sh build [build-win] [build-arm64]
#
# A package is what its builds give: the builds not given are skipped, and
# said so. The Debian packages are reproducible: their files are dated as the
# changelog's newest entry (SOURCE_DATE_EPOCH, when set, gives another date).
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-packages
rm -rf "$out" && mkdir "$out"
release=$(sed -n 's/^ -- .*  //p' packaging/changelog.in | head -n 1)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date -d "$release" +%s)}

for build in "$@"; do
  (cd "$build" && rm -rf _CPack_Packages && cpack > cpack.log 2>&1) || { cat "$build/cpack.log"; exit 1; }
  mv "$build"/brenzolt[-_]*.{deb,zip}{,.sha256} "$out"/ 2>/dev/null || true
done
shopt -s nullglob
debs=("$out"/brenzolt_*.deb)
zips=("$out"/brenzolt-*-win64.zip)
native=("$out"/brenzolt_*_amd64.deb)
[ ${#native[@]} = 1 ] || { echo "package: no amd64 .deb: give a Linux build of this machine first"; exit 1; }
[ ${#zips[@]} = 1 ] || echo "package: no Windows zip made (no Windows build given): skipped"
[ ${#debs[@]} -gt 1 ] || echo "package: no arm64 .deb made (no arm64 build given): skipped"
(cd "$out" && sha256sum -c --quiet ./*.sha256)

# The zip: the program, its README, the licence and the sample grid, in one folder.
for zip in "${zips[@]}"; do
  [ "$(cmake -E tar tf "$zip" | sed 's|^[^/]*/||' | LC_ALL=C sort | tr '\n' ' ')" = \
    "LICENSE.txt README.txt brenzolt.exe sample.grd " ] ||
    { cmake -E tar tf "$zip"; echo "package: $zip does not hold exactly brenzolt.exe, README.txt, LICENSE.txt and sample.grd"; exit 1; }
done

# The README's install commands name these packages.
for package in "${debs[@]}" "${zips[@]}"; do
  grep -q "$(basename "$package")" README.md || { echo "package: README.md does not name $(basename "$package")"; exit 1; }
done

# Lintian's errors fail; its warnings are shown. Unpacked into a directory of
# its own (nothing is installed), the program converts the sample grid and the
# manual page shows the package's version. A cross-built package depends on
# what the native one does (cmake/packaging.cmake names it).
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for deb in "${debs[@]}"; do
  lintian --fail-on error "$deb" 2> /dev/null
  rm -rf "$work"/* && dpkg-deb -x "$deb" "$work/root"
  runner=()
  [ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] && runner=(qemu-aarch64 -L /usr/aarch64-linux-gnu)
  (cd "$work" && "${runner[@]}" root/usr/bin/brenzolt "$OLDPWD/examples/sample.grd" sample.txt > /dev/null)
  head -n 1 "$work/sample.txt" | grep -q '^DSAA' || { echo "package: the unpacked brenzolt of $deb did not convert"; exit 1; }
  version=$(dpkg-deb -f "$deb" Version)
  page=$(MANWIDTH=80 man -l "$work/root/usr/share/man/man1/brenzolt.1.gz" 2> /dev/null)
  grep -q "brenzolt $version" <<< "$page" || { echo "package: the manual page of $deb does not show brenzolt $version"; exit 1; }
  [ "$(dpkg-deb -f "$deb" Depends)" = "$(dpkg-deb -f "${native[0]}" Depends)" ] ||
    { echo "package: $deb does not depend on what ${native[0]} does"; exit 1; }
  echo "package: unpacked $deb, brenzolt ${runner[*]:+under ${runner[0]} }converts and its manual page shows version $version"
done
ls -l "$out"
