#!/usr/bin/env bash
# Whole-program benchmarks on fresh sample installations in a temporary folder (never /mox). Builds nothing:
# build first (scripts/build.sh, with the benchmarks on, as by default).
# Usage: bench/run-whole-program.sh [BUILD_DIR] [RUNS]   (default build, 20)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath "${1:-build}")"
runs="${2:-20}"
bench="$build/bench"
for program in bench_startup bench_startup_window bench_startup_bare bench_startup_form bench_generation bench_reload \
               noop-openssl/openssl; do
  [ -x "$bench/$program" ] || { echo "missing $bench/$program: build with -DMOX_BUILD_BENCH=ON first" >&2; exit 1; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen MOX_PRINT_FLAGS=0
sample() { "$here/scripts/install-sample.sh" "$work/$1" >/dev/null; }

echo "== Start-up: process start to first paint, our window vs. its form alone and a bare QMainWindow"
sample startup
echo "sample installation as laid down:"
"$bench/bench_startup" "$work/startup" "$runs"
# With a key in place the window also reads it in process to check the pass phrase and the certificate.
own="$work/startup/mox/OpcUa/pki/own"
mkdir -p "$own/private"
openssl genrsa -out "$own/private/key.pem" 2048 2>/dev/null
openssl req -new -x509 -key "$own/private/key.pem" -subj /CN=bench -days 1 -out "$own/cert.pem" 2>/dev/null
echo "with the OPC UA key and certificate generated (key and certificate read at start-up):"
"$bench/bench_startup" "$work/startup" "$runs"

echo "== Generation: the certificate dialog's OK vs. its three openssl commands run directly"
sample generation
echo "real openssl:"
"$bench/bench_generation" "$work/generation/mox/OpenSSL" "$runs"
echo "stand-in openssl that only touches its output (the dialog's own cost):"
PATH="$bench/noop-openssl:$PATH" "$bench/bench_generation" "$work/generation/mox/OpenSSL" "$runs"

echo "== Reload: reloadData with 1,000 users"
sample reload
echo "sample installation as laid down (no key, so no pass-phrase check):"
"$bench/bench_reload" "$work/reload" 1000 "$runs"
echo "with the OPC UA key and certificate generated (every reload reads both in process):"
"$bench/bench_reload" "$work/startup" 1000 "$runs"
