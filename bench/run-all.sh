#!/usr/bin/env bash
# Runs every benchmark and prints one table of their figures: work, ours, floor, ratio, aim, met or not, as
# Markdown for the README. Builds nothing: build first (scripts/build.sh; the benchmarks are on by default).
# Everything runs in temporary folders, never /mox. Each benchmark's own output goes to standard error.
# Usage: bench/run-all.sh [BUILD_DIR] [RUNS]   (default build, 15)
#
# A benchmark reports a figure by printing one line per figure:
#   RESULT|work|ours|floor|ratio|aim
# work: what was measured (no "|"); ours, floor: a number and its unit ("8.1 ms"), floor empty where there is
# none; ratio: ours / floor as a number, empty without a floor; aim: either a ratio ("1.1": met when ratio is at
# most that) or a bound with the unit of ours ("50 ms": met when ours is at most that), empty for a figure
# without one. A new benchmark plugs in by printing such lines and being added to the list at the end. For the
# benchmarks that print none, the parsers below read their human lines.
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath "${1:-build}")"
runs="${2:-15}"
bench="$build/bench"
moxsec="$build/HOST/MoxSecurityConfig/cli/moxsec"
sample="$here/scripts/install-sample.sh"
export QT_QPA_PLATFORM=offscreen

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
results="$out/results"
: >"$results"

# Human lines to RESULT lines, for the benchmarks that print none.
parse_ini() {
  awk '/^[a-z-]+ +[0-9.]+ MB/ {file = $1}
    /processor time: ours/ && (file == "config" || file == "users") {
      match($0, /ours [0-9.]+ ms/); o = substr($0, RSTART + 5, RLENGTH - 8)
      match($0, /inih [0-9.]+ ms/); t = substr($0, RSTART + 5, RLENGTH - 8)
      printf "RESULT|INI read, %s file, processor time, vs. inih|%s ms|%s ms|%.2f|1.0\n", file, o, t, o / t }
    /^users +[0-9]+: file/ {users = $2}
    /^  (add|rename|remove) +[0-9]+ x: mean/ {
      match($0, /mean +[0-9.]+/); m = substr($0, RSTART + 5, RLENGTH - 5) + 0
      printf "RESULT|INI: one user %s in a %d-user file, save included, mean|%.2f ms|||20 ms\n", $1, users, m }' "$1"
}
parse_trust_list() {
  awk '/^[0-9]+ certificates/ {n = $1}
    /^plain libcrypto loop:/ {p = $4}
    /^TrustStore::list, every core:/ {
      printf "RESULT|listing %d client certificates on every core vs. a plain single-threaded libcrypto loop|%s ms|%s ms|%.2f|0.7\n", n, $4, p, $4 / p }
    /^tab: first rows painted/ {printf "RESULT|Client Certificates tab with %d certificates: first rows painted|%s ms|||100 ms\n", n, $5}
    /^tab: every row in/ {
      match($0, /gap [0-9.]+/); g = substr($0, RSTART + 4, RLENGTH - 4)
      printf "RESULT|the same tab: every row in (the window'"'"'s longest wait meanwhile: %s ms)|%s ms|||\n", g, $5 }' "$1"
}
parse_trust_status() {
  awk '/rejected folder empty/ {e = $4}
    /files in it/ {printf "RESULT|moxsec status with %d certificates in the rejected folder (empty: %s ms)|%s ms|||50 ms\n", $1, e, $5}' "$1"
}
parse_renew() {
  awk '/^cert renew/ {o = $6} /^openssl x509/ {t = $5}
    END {if (t) printf "RESULT|cert renew opcua, key kept, vs. one openssl x509 -signkey run|%s ms|%s ms|%.2f|1.2\n", o, t, o / t}' "$1"
}
parse_install() {
  awk -F'  median ' '/^cert install,/ {sub(/ +$/, "", $1); split($2, w, " ")
    printf "RESULT|%s|%s ms|||50 ms\n", $1, w[1]}' "$1"
}
parse_whole_program() {
  # The form alone is more than 1.5x a bare window, so the window's aim is 1.1x the form; with a key, 1.1x
  # the start-up without one.
  awk '/:$/ && !/^==/ {context = substr($0, 1, length($0) - 1)}
    /^start-up to first paint/ {
      match($0, /window [0-9.]+/); o = substr($0, RSTART + 7, RLENGTH - 7)
      match($0, /form only [0-9.]+/); f = substr($0, RSTART + 10, RLENGTH - 10)
      match($0, /bare [0-9.]+/); b = substr($0, RSTART + 5, RLENGTH - 5)
      if (keyless == "") {
        printf "RESULT|start-up to first paint, the form alone vs. a bare QMainWindow|%s ms|%s ms|%.2f|\n", f, b, f / b
        printf "RESULT|start-up to first paint vs. the form alone, %s|%s ms|%s ms|%.2f|1.1\n", context, o, f, o / f
        keyless = o
      } else
        printf "RESULT|start-up to first paint, %s, vs. without a key|%s ms|%s ms|%.2f|1.1\n", context, o, keyless, o / keyless }
    /^generation,/ {
      match($0, /dialog [0-9.]+/); o = substr($0, RSTART + 7, RLENGTH - 7)
      match($0, /openssl [0-9.]+/); t = substr($0, RSTART + 8, RLENGTH - 8)
      if (context ~ /^real/)
        printf "RESULT|generation (certificate dialog) vs. its openssl commands, real openssl|%s ms|%s ms|%.2f|1.05\n", o, t, o / t
      else
        printf "RESULT|generation, the dialog'"'"'s own cost over its commands (stand-in openssl, %s)|%.1f ms|||%s\n",
          context ~ /tmpfs/ ? "tmpfs" : "disk", o - t, context ~ /tmpfs/ ? "5 ms" : "" }
    /^reloadData with/ {
      printf "RESULT|reloadData with %s users, %s|%s ms|||5 ms\n", $3, context, $(NF - 1) }' "$1"
}

run() { # run NAME PARSER COMMAND...: runs one benchmark, keeps its RESULT lines (or the parser's)
  local name=$1 parser=$2; shift 2
  echo "== $name" >&2
  local started=$SECONDS
  "$@" >"$out/$name" 2>"$out/$name.err"
  local status=$?
  if [ "$status" -ne 0 ]; then
    cat "$out/$name.err" >&2
    echo "RESULT|$name: did not finish (exit status $status$([ "$status" = 77 ] && echo ", skipped"))|||||" \
      >>"$results"
  fi
  cat "$out/$name" >&2
  echo "($((SECONDS - started)) s)" >&2
  if grep -q '^RESULT|' "$out/$name"; then
    grep '^RESULT|' "$out/$name" >>"$results"
  elif [ "$parser" != - ]; then
    "$parser" "$out/$name" >>"$results"
  fi
}

machine="$(nproc) cores, $(sed -n 's/^model name\t*: //p' /proc/cpuinfo | head -n1)"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# Every benchmark bench/CMakeLists.txt builds; bench_startup*, bench_generation, bench_reload and the stand-in
# openssl run through run-whole-program.sh, bench_cli_bare through cli.sh.
run ini parse_ini "$bench/bench_ini"
run cli - "$here/bench/cli.sh" "$build" "$runs"
run whole-program parse_whole_program "$here/bench/run-whole-program.sh" "$build" "$runs"
# 10,000 certificates take seconds a run: a third of the runs, at least three.
run trust-list parse_trust_list "$bench/bench_trust_list" 10000 "$((runs / 3 > 3 ? runs / 3 : 3))"
run trust-status parse_trust_status "$here/bench/trustStatus.sh" "$build" 10000 "$runs"
run renew parse_renew "$bench/bench_renew" "$moxsec" "$sample" "$runs"
run install parse_install "$bench/bench_install" "$moxsec" "$sample" "$runs"
# A play takes seconds: a third of the runs, at least three.
run fleet - "$here/bench/fleet.sh" "$build" "$((runs / 3 > 3 ? runs / 3 : 3))"

echo "Machine: $machine; load $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after; medians of $runs runs" \
  "(the play: of $((runs / 3 > 3 ? runs / 3 : 3)))."
echo
echo "| Work | Ours | Floor | Ratio | Aim | Met |"
echo "|---|---|---|---|---|---|"
awk -F'|' '{
  aim = $6; met = "—"
  if (aim ~ /^[0-9.]+$/ && $5 != "") met = ($5 + 0 <= aim + 0) ? "met" : "missed"
  else if (aim ~ /^[0-9.]+ [a-z]+$/ && $3 != "") met = ($3 + 0 <= aim + 0) ? "met" : "missed"
  aimText = aim ~ /^[0-9.]+$/ ? "≤ " aim "×" : aim != "" ? "≤ " aim : "—"
  printf "| %s | %s | %s | %s | %s | %s |\n", $2, $3 == "" ? "—" : $3, $4 == "" ? "—" : $4,
    $5 == "" ? "—" : $5 "×", aimText, met }' "$results"
