#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that every file the install rules name is there, that
# the desktop entry, the metainfo and the polkit policy are valid, and that the installed program finds its
# library.
set -euo pipefail
build="$1"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
manifest="$build/install_manifest.txt"
[ -s "$manifest" ] || { echo "no install manifest"; exit 1; }
missing=0
while IFS= read -r file; do
  [ -e "$file" ] || { echo "missing after install: $file"; missing=1; }
done < "$manifest"
[ "$missing" -eq 0 ]

for expected in bin/MoxSecurityConfig bin/moxsec share/man/man1/moxsec.1 share/applications/com.mox.MoxSecurityConfig.desktop \
                share/polkit-1/actions/com.mox.MoxSecurityConfig.policy \
                share/metainfo/com.mox.MoxSecurityConfig.metainfo.xml \
                share/icons/hicolor/16x16/apps/MoxSecurityConfig.png \
                share/icons/hicolor/256x256/apps/MoxSecurityConfig.png; do
  grep -qx "$prefix/$expected" "$manifest" || { echo "not installed: $expected"; exit 1; }
done
for png in "$prefix"/share/icons/hicolor/*/apps/MoxSecurityConfig.png; do
  size=$(basename "$(dirname "$(dirname "$png")")")
  actual=$(file -b "$png" | sed -n 's/.*, \([0-9]*\) x \([0-9]*\),.*/\1x\2/p')
  [ "$actual" = "$size" ] || { echo "$png is $actual, not $size"; exit 1; }
done

"$(dirname "$0")/validate-data.sh" "$prefix"

# The RPATH must lead the installed executable to the installed library, not to the build tree.
if ldd "$prefix/bin/MoxSecurityConfig" "$prefix/bin/moxsec" | grep -E 'libMox_H.*(not found|'"$build"')'; then
  echo "the installed program does not find its own libMox_H"
  exit 1
fi
echo "install check passed"
