#!/usr/bin/env bash
# Validates what the package gives the desktop, as installed under PREFIX: the desktop entry, the AppStream
# metainfo (and that it launches that entry) and the polkit policy (against polkit's DTD, and that its action
# runs the installed program, with the display kept for the window).
set -euo pipefail
prefix="$1"
id=com.mox.MoxSecurityConfig
policy="$prefix/share/polkit-1/actions/$id.policy"
metainfo="$prefix/share/metainfo/$id.metainfo.xml"
desktop="$prefix/share/applications/$id.desktop"

xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$policy"
annotation() { xmllint --xpath "string(//action/annotate[@key='org.freedesktop.policykit.exec.$1'])" "$policy"; }
[ "$(annotation path)" = /usr/bin/MoxSecurityConfig ] ||
  { echo "the policy runs '$(annotation path)', not /usr/bin/MoxSecurityConfig"; exit 1; }
[ "$(annotation allow_gui)" = true ] || { echo "the policy does not keep the display for the window"; exit 1; }
[ -x "$prefix/bin/MoxSecurityConfig" ] || { echo "no program at $prefix/bin/MoxSecurityConfig"; exit 1; }

appstreamcli validate --no-net "$metainfo" >/dev/null || { appstreamcli validate --no-net "$metainfo"; exit 1; }
launched=$(xmllint --xpath 'string(//launchable[@type="desktop-id"])' "$metainfo")
[ "$launched" = "$id.desktop" ] || { echo "the metainfo launches '$launched', not $id.desktop"; exit 1; }
grep -q '<screenshot' "$metainfo" || { echo "the metainfo shows no screenshot"; exit 1; }

desktop-file-validate "$desktop"
grep -qx 'Exec=MoxSecurityConfig' "$desktop" || { echo "the desktop entry does not start the program as is"; exit 1; }
echo "desktop files valid: $desktop, $metainfo, $policy"
