#!/usr/bin/env bash
# moxsec as whole processes on a sample installation (in a temporary folder, never /mox) whose users file
# holds 10,000 users, against a bare QCoreApplication that starts and exits, and against the same program
# reading the users file. Medians of RUNS runs each, interleaved, printed with their ratios and as RESULT lines
# for bench/run-all.sh.
# Usage: bench/cli.sh [BUILD_DIR] [RUNS]   (default build, 15)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath "${1:-build}")"
runs="${2:-15}"
moxsec="$build/HOST/MoxSecurityConfig/cli/moxsec"
bare="$build/bench/bench_cli_bare"
for program in "$moxsec" "$bare"; do
  [ -x "$program" ] || { echo "missing $program: build first (scripts/build.sh)" >&2; exit 1; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$here/scripts/install-sample.sh" "$work" >/dev/null
users="$work/mox/OpcUa/users.ini"
"$moxsec" --root "$work" auth create >/dev/null
# A real entry's hash, copied to every user: listing reads every line but checks no hash.
printf 'Bench-pw-1\n' | "$moxsec" --root "$work" users add seed --role admin --password-stdin >/dev/null
hash=$(sed -n 's/^seed=//p' "$users")
awk -v hash="$hash" 'BEGIN {
  split("ADMIN OPERATOR GUEST", sections, " ")
  for (s = 1; s <= 3; s++) {
    print "[" sections[s] "]"
    for (i = s; i <= 10000; i += 3) printf "user%05d=%s\n", i, hash
  }
}' > "$users"
[ "$("$moxsec" --root "$work" users list | wc -l)" -eq 10000 ] || { echo "the users file did not load" >&2; exit 1; }

declare -A times
measure() { # name command...
  local name=$1; shift
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s%N)
  times[$name]+="$(( (end - start) / 1000 )) "
}
for ((i = 0; i < runs; i++)); do
  measure bare "$bare"
  measure bareRead "$bare" "$users"
  measure list "$moxsec" --root "$work" users list --json
  measure status "$moxsec" --root "$work" status
done
median() { tr ' ' '\n' <<<"${times[$1]}" | grep . | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
b=$(median bare); r=$(median bareRead); l=$(median list); s=$(median status)
echo "medians of $runs runs, microseconds (10,000 users):"
printf '  bare QCoreApplication            %8.0f\n' "$b"
printf '  bare + reading the users file    %8.0f\n' "$r"
printf '  moxsec users list --json         %8.0f   %.2fx bare+read   %.2fx bare\n' "$l" "$(bc -l <<<"$l/$r")" "$(bc -l <<<"$l/$b")"
printf '  moxsec status                    %8.0f   %.2fx bare+read   %.2fx bare\n' "$s" "$(bc -l <<<"$s/$r")" "$(bc -l <<<"$s/$b")"
ms() { awk -v us="$1" 'BEGIN {printf "%.1f ms", us / 1000}'; }
printf 'RESULT|moxsec users list --json, 10,000 users, vs. bare + read|%s|%s|%.2f|1.1\n' "$(ms "$l")" "$(ms "$r")" \
  "$(bc -l <<<"$l/$r")"
printf 'RESULT|moxsec status, 10,000 users, vs. bare + read|%s|%s|%.2f|1.5\n' "$(ms "$s")" "$(ms "$r")" \
  "$(bc -l <<<"$s/$r")"
