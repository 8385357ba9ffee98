#!/usr/bin/env bash
# Sets up, builds and starts MoxSecurityConfig.
# Builds only the window and what it links (not the tests, benchmarks or moxsec), in the build folder that
# scripts/test.sh shares, so its options stay as they are.
# Without a runtime installation in /mox it first lays down a sample one (scripts/install-sample.sh) and says
# so; an existing /mox is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
if [ ! -x "$build/HOST/MoxSecurityConfig/MoxSecurityConfig" ]; then
  echo "The first build takes a few minutes (on two cores); later starts only rebuild what changed."
fi
scripts/deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$build" --target MoxSecurityConfig -j "$(nproc)"
if [ ! -e /mox ] && [ ! -L /mox ]; then
  echo "No Mox runtime installation in /mox: laying down a sample one with scripts/install-sample.sh."
  scripts/install-sample.sh / || echo "Could not lay down the sample installation; the tool will list what is missing."
fi
exec "$build/HOST/MoxSecurityConfig/MoxSecurityConfig" "$@"
