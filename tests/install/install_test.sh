#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks what a user of it gets: the
# program in bin, the manual page where man finds it, and a page that renders
# without a single warning.
# Usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -euo pipefail
cmake=$1 build=$2 source=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

fail() { echo "install_test: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" > /dev/null
[ -x "$prefix/bin/brenzolt" ] || fail "no executable $prefix/bin/brenzolt"
page="$prefix/share/man/man1/brenzolt.1"
cmp -s "$page" "$build/doc/brenzolt.1" || fail "$page is missing or not doc/brenzolt.1 with its version"

# The installed program runs: without names it shows its usage line.
usage=$("$prefix/bin/brenzolt" < /dev/null | tr -d '\r' || true)
grep -qx 'usage: brenzolt <binary file> <Surfer-Ascii-file> \[<precision>\]' <<< "$usage" \
  || fail "the installed brenzolt does not print its usage line"

# Renders the page and fails on any warning of the formatter.
render() {
  local warnings text
  warnings=$(mktemp)
  if command -v man > /dev/null; then
    text=$(MANWIDTH=80 MANPAGER=cat PAGER=cat man --warnings "$@" 2> "$warnings")
  else
    text=$(groff -man -Tutf8 -ww "${@: -1}" 2> "$warnings")
  fi
  if [ -s "$warnings" ]; then
    cat "$warnings" >&2
    rm -f "$warnings"
    fail "the manual page renders with warnings"
  fi
  rm -f "$warnings"
  grep -q 'brenzolt - convert a binary grid file into a Surfer ASCII grid' <<< "$text" \
    || fail "the rendered page lacks its NAME line"
  for section in SYNOPSIS DESCRIPTION 'PRECISION CODES' 'FILE FORMATS' DIAGNOSTICS 'EXIT STATUS'; do
    grep -q "^$section" <<< "$text" || fail "the rendered page lacks $section"
  done
}

render -l "$build/doc/brenzolt.1"
if command -v man > /dev/null; then
  # man finds the installed page by name under the prefix.
  [ "$(man -M "$prefix/share/man" -w brenzolt)" = "$page" ] || fail "man does not find $page"
  render -M "$prefix/share/man" brenzolt
fi
echo "install_test: brenzolt and brenzolt.1 installed under a prefix; the page renders cleanly"
