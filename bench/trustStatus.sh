#!/usr/bin/env bash
# moxsec status on a sample installation (in a temporary folder, never /mox) whose rejected folder holds
# FILES refused clients' certificates (hard links to one, half PEM, half DER names), against the same
# installation with the folder empty. Medians of RUNS interleaved runs, in milliseconds.
# Usage: bench/trustStatus.sh [BUILD_DIR] [FILES] [RUNS]   (default build, 10000, 20)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath "${1:-build}")"
files="${2:-10000}"
runs="${3:-20}"
moxsec="$build/HOST/MoxSecurityConfig/cli/moxsec"
[ -x "$moxsec" ] || { echo "missing $moxsec: build first (scripts/build.sh)" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for install in empty full; do
  "$here/scripts/install-sample.sh" "$work/$install" >/dev/null
  mkdir -p "$work/$install/mox/OpcUa/pki/rejected"
done
rejected="$work/full/mox/OpcUa/pki/rejected"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=refused \
  -keyout "$work/key.pem" -out "$work/client.pem" -days 30 2>/dev/null
openssl x509 -in "$work/client.pem" -outform DER -out "$work/client.der"
for ((i = 0; i < files; i++)); do
  if ((i % 2)); then ln "$work/client.der" "$rejected/client$i.der"; else ln "$work/client.pem" "$rejected/client$i.pem"; fi
done

declare -A times
measure() { # name root
  local start end
  start=$(date +%s%N)
  "$moxsec" --root "$2" status >/dev/null 2>&1 || true
  end=$(date +%s%N)
  times[$1]+="$(( (end - start) / 1000 )) "
}
for ((i = 0; i < runs; i++)); do
  measure empty "$work/empty"
  measure full "$work/full"
done
median() { tr ' ' '\n' <<<"${times[$1]}" | grep . | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
e=$(median empty); f=$(median full)
echo "moxsec status, medians of $runs runs:"
printf '  rejected folder empty            %8.1f ms\n' "$(bc -l <<<"$e/1000")"
printf '  %6d files in it                %8.1f ms   (aim: under 50 ms)\n' "$files" "$(bc -l <<<"$f/1000")"
