#!/usr/bin/env bash
# Sets up, builds and starts MoxSecurityConfig.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
exec "${BUILD_DIR:-build}/HOST/MoxSecurityConfig/MoxSecurityConfig" "$@"
