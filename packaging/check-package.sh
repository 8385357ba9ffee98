#!/usr/bin/env bash
# Builds the Debian package, installs it, validates its desktop entry, metainfo and polkit policy, starts the installed program for a few seconds (it must still be
# running: no crash at start-up), and removes the package again. Needs root (or sudo).
set -euo pipefail
build="$1"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/moxsecurityconfig_*.deb | head -n 1)
echo "package: $deb"
dpkg-deb -f "$deb" Depends

if dpkg-query -W -f='${Status}' moxsecurityconfig 2>/dev/null | grep -q "ok installed"; then
  echo "moxsecurityconfig is already installed here; not touching it"
  exit 1
fi
cleanup() { DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq moxsecurityconfig >/dev/null 2>&1 || true; }
trap cleanup EXIT
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$(realpath "$deb")" >/dev/null

# The desktop entry, the metainfo and the polkit policy, where the package put them.
"$(dirname "$0")/validate-data.sh" /usr

log=$(mktemp)
QT_QPA_PLATFORM=offscreen MOX_PRINT_FLAGS=0 /usr/bin/MoxSecurityConfig >"$log" 2>&1 &
pid=$!
sleep 4
if ! kill -0 "$pid" 2>/dev/null; then
  wait "$pid" && status=0 || status=$?
  echo "the installed program ended at start-up (status $status):"
  cat "$log"
  exit 1
fi
kill "$pid"
wait "$pid" 2>/dev/null || true
echo "package check passed: the installed program started and kept running"
