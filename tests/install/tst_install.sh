#!/usr/bin/env bash
# The install tree: installs the build into a temporary prefix and checks what a Debian user
# gets there. Usage: tst_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source="$2"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"
failed=0
fail() {
  echo "FAIL: $*"
  failed=$((failed + 1))
}

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || {
  cat "$tmp/install.log"
  echo "FAIL: cmake --install"
  exit 1
}

for exe in tessaran tessaran-collect tessaran-sim; do
  [ -x "$prefix/bin/$exe" ] || fail "bin/$exe is not an executable"
done

data="$prefix/share/tessaran"
cmp -s "$source/data/sensor.ini" "$data/sensor.ini" || fail "share/tessaran/sensor.ini is not data/sensor.ini"
for icon in "$source"/icon/*.png; do
  name="$(basename "$icon")"
  [ "$name" = tessaran-48.png ] && continue
  cmp -s "$icon" "$data/icon/$name" || fail "share/tessaran/icon/$name is missing or differs"
done
[ -f "$data/scenarios/demo.ini" ] || fail "share/tessaran/scenarios/demo.ini is missing"

desktop="$prefix/share/applications/tessaran.desktop"
if [ ! -f "$desktop" ]; then
  fail "share/applications/tessaran.desktop is missing"
elif command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop" || fail "tessaran.desktop does not validate"
fi
for icon in 48x48/apps/tessaran.png 128x128/apps/tessaran.png scalable/apps/tessaran.svg; do
  [ -s "$prefix/share/icons/hicolor/$icon" ] || fail "share/icons/hicolor/$icon is missing"
done

for page in tessaran tessaran-collect tessaran-sim; do
  file="$prefix/share/man/man1/$page.1.gz"
  if [ ! -f "$file" ]; then
    fail "share/man/man1/$page.1.gz is missing"
    continue
  fi
  text="$(MANWIDTH=80 man -P cat -l "$file" 2>"$tmp/man.err")" || fail "man -l $page failed"
  grep -q "^NAME" <<<"$text" || fail "man -l $page renders no NAME section"
  grep -q "$page" <<<"$text" || fail "man -l $page does not name $page"
  MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null | grep . && fail "man $page: roff warnings"
done

# The installed collector, run from a folder with nothing in it and a user without settings:
# it answers --help, and a run finds the installed catalogue beside it (no warning about one)
# before it refuses a port that is not there.
mkdir -p "$tmp/empty" "$tmp/home"
cd "$tmp/empty"
export XDG_CONFIG_HOME="$tmp/home/config" XDG_DATA_HOME="$tmp/home/data"
# Read whole: grep -q would leave at the first match and a help longer than one pipe write
# would end on SIGPIPE, which pipefail counts as a failure.
help="$("$prefix/bin/tessaran-collect" --help)" || fail "installed tessaran-collect --help exits $?"
grep -q -- "--port <PATH>" <<<"$help" || fail "installed tessaran-collect --help"
status=0
"$prefix/bin/tessaran-collect" --port "$tmp/no-port" --sensors 1 >/dev/null 2>"$tmp/collect.err" || status=$?
[ "$status" -eq 2 ] || fail "installed tessaran-collect on a missing port exits $status, not 2"
grep -q "sensor.ini" "$tmp/collect.err" && fail "installed tessaran-collect did not find its catalogue: $(cat "$tmp/collect.err")"

if [ "$failed" -ne 0 ]; then
  echo "$failed check(s) of the install tree failed"
  exit 1
fi
echo "install tree at $prefix: every check passed"
