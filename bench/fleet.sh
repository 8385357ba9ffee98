#!/usr/bin/env bash
# The Ansible example's second run on one host (nothing left to change), with moxsec against the same play
# with moxsec replaced by bench/fleetStub.sh, which answers "nothing to change" at once: what moxsec adds to
# a fleet run that finds every host in order. Runs with ansible-core against a sample installation in a
# temporary folder (never /mox), -c local. Medians of RUNS interleaved runs.
# Usage: bench/fleet.sh [BUILD_DIR] [RUNS]   (default build, 5)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath "${1:-build}")"
runs="${2:-5}"
moxsec="$build/HOST/MoxSecurityConfig/cli/moxsec"
[ -x "$moxsec" ] || { echo "missing $moxsec: build first (scripts/build.sh)" >&2; exit 1; }
command -v ansible-playbook >/dev/null || { echo "ansible-playbook not installed: skipped" >&2; exit 77; }

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
# Nothing of this machine's Ansible set-up may count.
for v in $(env | sed -n 's/^\(ANSIBLE_[A-Z_]*\)=.*/\1/p'); do unset "$v"; done
export HOME="$tmp/home" ANSIBLE_CONFIG="$tmp/play/ansible.cfg" ANSIBLE_HOME="$tmp/ansible-home"
export ANSIBLE_LOCAL_TEMP="$tmp/local-tmp" ANSIBLE_REMOTE_TEMP="$tmp/remote-tmp" ANSIBLE_NOCOLOR=1 TMPDIR="$tmp/host-tmp"
mkdir -p "$HOME" "$TMPDIR"

"$here/scripts/install-sample.sh" "$tmp/root" >/dev/null
cp -r "$here/examples/ansible" "$tmp/play"
# The vault's variables in plain text: both sides would decrypt the same vault, and its password is not ours.
vars=$(grep -o 'vault_[a-z0-9_]*' "$tmp/play/group_vars/all/vars.yml" | sort -u)
for v in $vars; do echo "$v: \"Pw-$(openssl rand -hex 8)\""; done >"$tmp/play/group_vars/all/vault.yml"
printf '[mox_runtimes]\nlocalhost ansible_connection=local ansible_python_interpreter=%s\n' "$(command -v python3)" \
  >"$tmp/inventory"
extra() { # extra MOXSEC: the role's variables for this host with that moxsec
  printf '{"moxsec_install_package": false, "moxsec_become": false, "moxsec_binary": "%s", "moxsec_root": "%s"}\n' \
    "$1" "$tmp/root" >"$tmp/extra.json"
}

play() { # play MOXSEC: one playbook run; prints its wall time in microseconds, fails unless it changed nothing
  extra "$1"
  local start end recap
  start=$(date +%s%N)
  (cd "$tmp/play" && ansible-playbook -i "$tmp/inventory" site.yml -e "@$tmp/extra.json") >"$tmp/log" 2>&1 ||
    { cat "$tmp/log" >&2; echo "the play failed with $1" >&2; return 1; }
  end=$(date +%s%N)
  recap=$(grep -E '^localhost +: ok=' "$tmp/log")
  [[ "$recap" == *" changed=0 "*" failed=0 "* ]] || { cat "$tmp/log" >&2; echo "not a no-change run: $recap" >&2; return 1; }
  echo $(((end - start) / 1000))
}

# The first run makes the key, the certificate, the folders and the users; every later one changes nothing.
extra "$moxsec"
(cd "$tmp/play" && ansible-playbook -i "$tmp/inventory" site.yml -e "@$tmp/extra.json") >"$tmp/first.log" 2>&1 ||
  { cat "$tmp/first.log" >&2; echo "the first run failed" >&2; exit 1; }
ours=() stub=()
for ((i = 0; i < runs; i++)); do
  ours+=("$(play "$moxsec")")
  stub+=("$(play "$here/bench/fleetStub.sh")")
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
o=$(median "${ours[@]}"); s=$(median "${stub[@]}")
ratio=$(awk -v o="$o" -v s="$s" 'BEGIN {printf "%.2f", o / s}')
echo "the example play's second run on one host, medians of $runs interleaved runs:"
printf '  with moxsec                %8.0f ms\n' "$(bc -l <<<"$o/1000")"
printf '  with a no-change stub      %8.0f ms   ratio %s\n' "$(bc -l <<<"$s/1000")" "$ratio"
printf 'RESULT|fleet: Ansible second run, one host, vs. a no-change stub|%.0f ms|%.0f ms|%s|1.3\n' \
  "$(bc -l <<<"$o/1000")" "$(bc -l <<<"$s/1000")" "$ratio"
