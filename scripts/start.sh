#!/usr/bin/env bash
# Sets up, builds and starts MoxSecurityConfig.
# Without a runtime installation in /mox it first lays down a sample one (scripts/install-sample.sh) and says
# so; an existing /mox is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
if [ ! -e /mox ] && [ ! -L /mox ]; then
  echo "No Mox runtime installation in /mox: laying down a sample one with scripts/install-sample.sh."
  scripts/install-sample.sh / || echo "Could not lay down the sample installation; the tool will list what is missing."
fi
exec "${BUILD_DIR:-build}/HOST/MoxSecurityConfig/MoxSecurityConfig" "$@"
