#!/usr/bin/env bash
# Makes the README's screenshots again from the real program: lays down two sample installations in a
# temporary folder (never /mox), and runs tools/mox_screenshots under Xvfb on them.
# Usage: scripts/screenshots.sh [OUTDIR]   (default docs/screenshots; the build dir is $BUILD_DIR or build)
set -euo pipefail
cd "$(dirname "$0")/.."
out="$(realpath -m "${1:-docs/screenshots}")"
build="${BUILD_DIR:-build}"

[ -f "$build/build.ninja" ] || [ -f "$build/Makefile" ] || scripts/build.sh
cmake --build "$build" --target mox_screenshots -j 2 >/dev/null

work="$(mktemp -d /tmp/mox.XXX)"
trap 'rm -rf "$work"' EXIT
scripts/install-sample.sh "$work/sample" >/dev/null
scripts/install-sample.sh "$work/broken" >/dev/null

# One fixed screen and style, so a change of the pictures means a change of the interface.
# openssl's own chatter (and its complaint about the broken copy's pass phrase) is shown only on failure.
# Then the same on the screens of operator panels and small laptops, each in a folder of its own.
for screen in 1280x1024 1024x768 1366x768; do
  rm -rf "$work/sample" "$work/broken"
  scripts/install-sample.sh "$work/sample" >/dev/null
  scripts/install-sample.sh "$work/broken" >/dev/null
  dest="$out"
  [ "$screen" = 1280x1024 ] || dest="$out/$screen"
  if ! MOX_PRINT_FLAGS=0 QT_STYLE_OVERRIDE=Fusion XDG_CONFIG_HOME="$work/config" \
       xvfb-run -a -s "-screen 0 ${screen}x24" \
       "$build/tools/mox_screenshots" "$work/sample" "$work/broken" "$dest" 2>"$work/log"; then
    cat "$work/log" >&2
    exit 1
  fi
done
