#!/usr/bin/env bash
# Makes the packages from a Linux and a Windows build and checks them:
# build-packages/brenzolt_VERSION_amd64.deb and brenzolt-VERSION-win64.zip,
# each with a .sha256 beside it. The Debian package must have no lintian
# error, and unpacked (not installed) it must convert the sample grid.
#
#   bash scripts/package.sh build build-win
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=$1 windows_build=$2
out=build-packages
rm -rf "$out" && mkdir "$out"

for build in "$linux_build" "$windows_build"; do
  (cd "$build" && rm -rf _CPack_Packages && cpack > cpack.log 2>&1) || { cat "$build/cpack.log"; exit 1; }
  mv "$build"/brenzolt[-_]*.{deb,zip}{,.sha256} "$out"/ 2>/dev/null || true
done
deb=$(ls "$out"/brenzolt_*_amd64.deb)
zip=$(ls "$out"/brenzolt-*-win64.zip)
(cd "$out" && sha256sum -c --quiet ./*.sha256)

# The zip: the program, the README and the sample grid, in one folder.
[ "$(cmake -E tar tf "$zip" | sed 's|^[^/]*/||' | LC_ALL=C sort | tr '\n' ' ')" = "README.txt brenzolt.exe sample.grd " ] ||
  { cmake -E tar tf "$zip"; echo "package: $zip does not hold exactly brenzolt.exe, README.txt and sample.grd"; exit 1; }

# The README's install commands name these packages.
for package in "$deb" "$zip"; do
  grep -q "$(basename "$package")" README.md || { echo "package: README.md does not name $(basename "$package")"; exit 1; }
done

# Lintian's errors fail; its warnings are shown.
lintian --fail-on error "$deb" 2> /dev/null

# Unpacked into a directory of its own (nothing is installed), the program
# converts the sample grid and the manual page shows the package's version.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
(cd "$work" && root/usr/bin/brenzolt "$OLDPWD/examples/sample.grd" sample.txt > /dev/null)
head -n 1 "$work/sample.txt" | grep -q '^DSAA' || { echo "package: the unpacked brenzolt did not convert"; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
page=$(MANWIDTH=80 man -l "$work/root/usr/share/man/man1/brenzolt.1.gz" 2> /dev/null)
grep -q "brenzolt $version" <<< "$page" || { echo "package: the manual page does not show brenzolt $version"; exit 1; }
echo "package: unpacked $deb, brenzolt converts and its manual page shows version $version"
ls -l "$out"
