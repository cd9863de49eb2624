#!/usr/bin/env bash
# Makes the macOS package from the two cross-builds (cmake/zig-macos.cmake):
# build-packages/brenzolt-VERSION-macos.tar.gz, with its .sha256, holding one
# universal program for Intel and Apple silicon, its manual page, the README,
# the licence and the sample grid in one folder. The same builds make the same
# bytes: names sorted, owner and dates fixed (SOURCE_DATE_EPOCH, else the last
# commit's date).
#
#   bash scripts/package-macos.sh build-macos-x86_64 build-macos-aarch64
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-packages
mkdir -p "$out"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt")
name=brenzolt-$version-macos
lipo=$(command -v llvm-lipo || command -v llvm-lipo-14)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/$name"
"$lipo" -create "$1/app/brenzolt" "$2/app/brenzolt" -output "$work/$name/brenzolt"
cp doc/brenzolt.1 README.md LICENSE examples/sample.grd "$work/$name/"
chmod 755 "$work/$name/brenzolt" && chmod 644 "$work/$name"/{brenzolt.1,README.md,LICENSE,sample.grd}
date=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
tar -C "$work" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$date" -cf - "$name" |
  gzip -n -9 > "$out/$name.tar.gz"
(cd "$out" && sha256sum "$name.tar.gz" > "$name.tar.gz.sha256")
file "$work/$name/brenzolt"
grep -q "$name.tar.gz" README.md || { echo "package: README.md does not name $name.tar.gz"; exit 1; }
ls -l "$out/$name.tar.gz"
