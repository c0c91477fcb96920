#!/usr/bin/env bash
# Builds the Debian package of a build folder (cpack -G DEB), unpacks it with
# dpkg-deb -x into a temporary folder, and runs what it holds from there:
# `talmira --version`, `talmira score` and TalmiraConsole on the example pair
# (the counts those of the build's own talmira), `man -l` on every page (each
# must format without a warning from groff, but for words too long for 80
# columns, and hold its sections, EXAMPLES included), and the
# Python module imported from the package's dist-packages folder.
#
#   tests/packaging/deb_package.sh BUILD_DIR EXAMPLES_DIR [PYTHON]
#
# PYTHON (the Python the module was built for) is given when the build has
# the module. Exits 77 (skipped) when cpack, dpkg-deb or man is missing.
set -euo pipefail

build="$(realpath "$1")"
examples="$(realpath "$2")"
python="${3:-}"

for command in cpack dpkg-deb dpkg-shlibdeps man; do
  if ! command -v "$command" >/dev/null; then
    echo "Debian package test skipped: $command is not installed (tools/install-deps --for tests installs dpkg-dev and man-db)"
    exit 77
  fi
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack -G DEB did not make the package"
fi
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made ${#debs[@]} .deb files, not one"
deb="${debs[0]}"
echo "Made $(basename "$deb") ($(stat -c %s "$deb") bytes)"

info="$(dpkg-deb --info "$deb")"
grep -q '^ Package: talmira$' <<<"$info" || fail "the package is not named talmira:"$'\n'"$info"
# dpkg-shlibdeps found what the executables link against.
grep -q '^ Depends: .*libc6' <<<"$info" || fail "the package depends on no libc6:"$'\n'"$info"

root="$work/root"
dpkg-deb -x "$deb" "$root"
for path in usr/bin/talmira usr/bin/TalmiraConsole usr/share/man/man1/talmira.1.gz \
            usr/share/man/man1/talmira-score.1.gz usr/share/man/man1/talmira-convert.1.gz; do
  [ -e "$root/$path" ] || fail "the package holds no /$path; it holds:"$'\n'"$(cd "$root" && find . -type f | sort)"
done

# The programs, run from the unpacked folder.
version="$("$root/usr/bin/talmira" --version)"
[ "$version" = "$("$build/talmira/talmira" --version)" ] || fail "talmira --version of the package says '$version'"
grep -q '[0-9]\.[0-9]' <<<"$version" || fail "talmira --version says no version: '$version'"
echo "talmira --version: $version"

"$root/usr/bin/talmira" score "$examples/groundtruth.csv" "$examples/systemoutput.csv" >"$work/score.txt"
"$build/talmira/talmira" score "$examples/groundtruth.csv" "$examples/systemoutput.csv" >"$work/expected.txt"
cmp -s "$work/score.txt" "$work/expected.txt" || fail "talmira score from the package differs from the build's:"$'\n'"$(diff "$work/expected.txt" "$work/score.txt")"
grep -q '^All  *41  *41  *2  *2  *6  *0\.902439$' "$work/score.txt" || fail "talmira score from the package:"$'\n'"$(cat "$work/score.txt")"

(cd "$work" && "$root/usr/bin/TalmiraConsole" "$examples/groundtruth.csv" "$examples/systemoutput.csv" result.csv </dev/null >/dev/null) ||
  fail "TalmiraConsole from the package ended with status $?"
grep -q '^All, 41, 41, 2, 2, 6, 0.902439' "$work/result.csv" || fail "TalmiraConsole's result file:"$'\n'"$(cat "$work/result.csv")"

# Every page formats without a warning and holds its sections.
pages=0
for page in "$root"/usr/share/man/man1/*.1.gz; do
  name="$(basename "$page" .1.gz)"
  MANWIDTH=80 man --warnings -l "$page" >"$work/page.txt" 2>"$work/page.err" </dev/null ||
    fail "man -l $name.1.gz failed:"$'\n'"$(cat "$work/page.err")"
  # A word too long for 80 columns (a format's column list) is not a fault of the page.
  if grep -v "cannot adjust line\|can't break line" "$work/page.err" | grep -q .; then
    fail "man -l $name.1.gz warns:"$'\n'"$(cat "$work/page.err")"
  fi
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "SEE ALSO"; do
    grep -q "^$section" "$work/page.txt" || fail "$name(1) has no $section section:"$'\n'"$(cat "$work/page.txt")"
  done
  grep -q -- "--help" "$work/page.txt" || fail "$name(1) lists no option from the program's help"
  grep -q '^EXAMPLES' "$work/page.txt" || fail "$name(1) has no EXAMPLES section"
  pages=$((pages + 1))
done
MANWIDTH=80 man -l "$root/usr/share/man/man1/talmira.1.gz" >"$work/talmira.txt" 2>/dev/null </dev/null
grep -q '^EXAMPLES' "$work/talmira.txt" || fail "talmira(1) has no EXAMPLES section"
grep -q 'talmira score groundtruth.csv systemoutput.csv' "$work/talmira.txt" || fail "talmira(1) shows no example of score"
for subcommand in score check events explain sweep batch merge view compare convert; do
  grep -q "^ *$subcommand" "$work/talmira.txt" || fail "talmira(1) does not list the subcommand $subcommand"
done
echo "man -l: $pages pages format without a warning"

# The Python module, from the package's folder only.
if [ -n "$python" ]; then
  site="$root/usr/lib/python3/dist-packages"
  [ -d "$site/talmira" ] || fail "the package holds no /usr/lib/python3/dist-packages/talmira"
  (cd "$work" && PYTHONPATH="$site" "$python" -c '
import sys, talmira
assert talmira.__file__.startswith(sys.argv[1]), talmira.__file__
all_ = talmira.score(sys.argv[2], sys.argv[3])["All"]
assert (all_["gt"], all_["fn"], all_["fp"]) == (41, 2, 2), all_
print("import talmira from the package:", all_)' "$root" "$examples/groundtruth.csv" "$examples/systemoutput.csv") ||
    fail "the package's Python module"
fi
echo "The Debian package installs and runs"
