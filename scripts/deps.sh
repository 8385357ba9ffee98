#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when any is missing.
set -euo pipefail

# ansible-core runs the Ansible example in the fleet test; appstream, libxml2-utils and polkitd (its DTD)
# validate the metainfo and the polkit policy; Qt 6 is for the second build (cmake -DMOX_QT=6).
packages=(build-essential cmake ninja-build pkg-config qtbase5-dev qtbase5-dev-tools qt6-base-dev
          qt6-base-dev-tools openssl libssl-dev
          libinih-dev clang-14 libclang-rt-14-dev xvfb xauth imagemagick desktop-file-utils dpkg-dev file
          ansible-core appstream libxml2-utils polkitd)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
# Node.js and npm run the OPC UA interoperability test; any installed Node.js of version 18 or later will do.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
